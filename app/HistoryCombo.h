#pragma once

#include <QComboBox>
#include <QString>

#include <memory>

class CSettingsStore;
class QKeyEvent;

// The command box: an editable combo box whose list holds the commands sent most recently,
// newest first (not sorted), completes what is typed from that list, and keeps the list
// and the last text in the settings store between runs. User-interface thread only.
class CHistoryCombo : public QComboBox
{
    Q_OBJECT

public:
    static constexpr char CONFIG_SECTION[] = "Example History Combos";
    static constexpr char KEY_PREFIX[] = "HistoryItem";
    static constexpr char FALLBACK_CURRENT_KEY[] = "Last";
    static constexpr int DEFAULT_MAX_HISTORY = 10;

    explicit CHistoryCombo(QWidget *parent = nullptr);
    ~CHistoryCombo() override;

    // The store the history is read from and written to; without one the user's store is
    // used. The store must outlive the box.
    void SetSettingsStore(CSettingsStore *store);

    // Fills the list from the store and restores the saved text; returns that text.
    QString LoadHistory();
    // Adds the text (without leading and trailing spaces) as the newest entry, dropping an
    // older entry equal to it in any letter case and entries beyond maxHistory; returns its
    // index, 0. An empty text is not added (-1): an empty entry would end the list at the
    // next load and lose the older ones.
    int AddToHistory(const QString &text);
    // Writes the list and the current text to the store; stale keys of a longer earlier
    // list are deleted.
    void SaveHistory();

    QStringList entries() const;

    QString sectionName;
    QString keyPrefix;
    QString currentKey;
    int saveCurrent = 1;
    int autoComplete = 1;
    int completeThisEdit = 1;
    int maxHistory = DEFAULT_MAX_HISTORY;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    // Completion of a user edit from the list.
    void OnEditUpdate();
    // Every key press arms the completion, Delete and Backspace disarm it for that edit.
    void PreTranslateMessage(const QKeyEvent *keyEvent);

    void selectNewest();
    QString currentTextKey() const;
    CSettingsStore &store();

    CSettingsStore *m_store = nullptr;
    std::unique_ptr<CSettingsStore> m_ownStore;
};
