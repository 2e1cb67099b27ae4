#include "app/HistoryCombo.h"

#include "settings/SettingsStore.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace {

// Stale entries are looked for up to this index.
constexpr int LAST_STALE_INDEX = 999;

QString trimSpaces(const QString &text)
{
    // Only the space character is trimmed; tabs and other white space are the command's.
    int first = 0;
    int last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' '))
        ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

} // namespace

CHistoryCombo::CHistoryCombo(QWidget *parent)
    : QComboBox(parent)
{
    setEditable(true);
    // The list is ours: Enter must not add entries, and the toolkit's own completer would
    // compete with the completion rules below.
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setDuplicatesEnabled(true);
    lineEdit()->installEventFilter(this);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] { OnEditUpdate(); });
}

CHistoryCombo::~CHistoryCombo() = default;

void CHistoryCombo::SetSettingsStore(CSettingsStore *store)
{
    m_store = store;
}

CSettingsStore &CHistoryCombo::store()
{
    if (m_store)
        return *m_store;
    if (!m_ownStore)
        m_ownStore = std::make_unique<CSettingsStore>();
    return *m_ownStore;
}

QString CHistoryCombo::currentTextKey() const
{
    if (!currentKey.isEmpty())
        return currentKey;
    if (!keyPrefix.isEmpty())
        return keyPrefix;
    return QString::fromLatin1(FALLBACK_CURRENT_KEY);
}

QStringList CHistoryCombo::entries() const
{
    QStringList list;
    for (int i = 0; i < count(); ++i)
        list << itemText(i);
    return list;
}

QString CHistoryCombo::LoadHistory()
{
    sectionName = QString::fromLatin1(CONFIG_SECTION);
    keyPrefix = QString::fromLatin1(KEY_PREFIX);
    currentKey.clear();
    saveCurrent = 1;

    clear();
    QString entry;
    int index = 0;
    do {
        entry = store().ReadString(sectionName, keyPrefix + QString::number(index));
        if (!entry.isEmpty())
            addItem(entry);
        ++index;
    } while (!entry.isEmpty() && index < maxHistory);
    // Filling an empty list selects its first entry on its own; the box starts empty.
    setCurrentIndex(-1);

    QString restored;
    if (saveCurrent) {
        restored = store().ReadString(sectionName, currentTextKey());
        if (!restored.isEmpty()) {
            const int match = findText(restored, Qt::MatchFixedString);
            if (match >= 0)
                setCurrentIndex(match);
            else
                setEditText(restored);
        }
    }
    return restored;
}

int CHistoryCombo::AddToHistory(const QString &text)
{
    const QString entry = trimSpaces(text);
    if (entry.isEmpty())
        return -1;
    if (count() > 0 && count() <= maxHistory && itemText(0) == entry) {
        // Already the newest entry, letter for letter: inserting it and removing the older
        // copy would give the same list, so the list and the saved history stay untouched.
        selectNewest();
        return 0;
    }
    insertItem(0, entry);
    for (int i = 1; i < count(); ++i) {
        if (QString::compare(itemText(i), entry, Qt::CaseInsensitive) == 0) {
            removeItem(i);
            break;
        }
    }
    while (count() > maxHistory)
        removeItem(maxHistory);
    selectNewest();
    return 0;
}

// As a chosen entry of a combo box: its whole text selected while the box has the focus, so
// that the next command typed replaces it rather than joining it. (Without the focus no
// selection shows; the focus coming back by the keyboard selects the whole text anyway.)
void CHistoryCombo::selectNewest()
{
    setCurrentIndex(0);
    QLineEdit *edit = lineEdit();
    if (edit && (hasFocus() || edit->hasFocus()))
        edit->selectAll();
}

void CHistoryCombo::SaveHistory()
{
    if (sectionName.isEmpty())
        return;
    const QString text = currentText();
    if (!text.isEmpty())
        AddToHistory(text);

    // The list and the text are one group, handed to the store together. The store writes
    // nothing when they are as they were (the same command sent again).
    store().BeginBatch();
    const int written = qMin(count(), maxHistory + 1);
    for (int i = 0; i < written; ++i)
        store().WriteString(sectionName, keyPrefix + QString::number(i), itemText(i));
    for (int i = written; i <= LAST_STALE_INDEX; ++i) {
        const QString key = keyPrefix + QString::number(i);
        if (store().ReadString(sectionName, key).isEmpty())
            break;
        store().DeleteValue(sectionName, key);
    }
    if (saveCurrent)
        store().WriteString(sectionName, currentTextKey(), currentText());
    store().EndBatch();
}

bool CHistoryCombo::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lineEdit() && event->type() == QEvent::KeyPress)
        PreTranslateMessage(static_cast<QKeyEvent *>(event));
    return QComboBox::eventFilter(watched, event);
}

// In a window the box itself has the focus (it is its line edit's focus proxy): the keys
// reach the line edit through here, handed on directly, past the line edit's filters.
void CHistoryCombo::keyPressEvent(QKeyEvent *event)
{
    PreTranslateMessage(event);
    QComboBox::keyPressEvent(event);
}

void CHistoryCombo::PreTranslateMessage(const QKeyEvent *keyEvent)
{
    if (!autoComplete)
        return;
    completeThisEdit = 1;
    if (keyEvent->key() == Qt::Key_Delete || keyEvent->key() == Qt::Key_Backspace)
        completeThisEdit = 0;
}

void CHistoryCombo::OnEditUpdate()
{
    if (!autoComplete || !completeThisEdit)
        return;
    QLineEdit *edit = lineEdit();
    const QString typed = edit->text();
    const int length = typed.size();
    // The edit selection is the caret when nothing is selected (start = end), as the box
    // reports it; the empty text is completed too (every entry begins with it).
    const bool hadSelection = edit->hasSelectedText();
    const int selectionStart = hadSelection ? edit->selectionStart() : edit->cursorPosition();
    const int selectionEnd = hadSelection ? edit->selectionEnd() : edit->cursorPosition();

    int match = -1;
    for (int i = 0; i < count() && match < 0; ++i) {
        if (itemText(i).startsWith(typed, Qt::CaseInsensitive))
            match = i;
    }
    if (match < 0) {
        // Nothing to complete: the typed text and its selection stay as they are.
        return;
    }
    // The entry's own text, letter case included; set even when it is already the current
    // entry, whose text the typing has replaced.
    setCurrentIndex(match);
    edit->setText(itemText(match));
    if (selectionEnd < length)
        edit->setSelection(selectionStart, selectionEnd - selectionStart);
    else
        edit->setSelection(length, edit->text().size() - length);
}
