#pragma once

#include "platform/WorkQueue.h"

#include <QObject>
#include <QString>

#include <functional>

class CHistoryCombo;

// "Save History as Script..." on the command box's context menu: the commands of its history,
// oldest first, written as a script that rfid-lorix-cli's "run" takes unchanged. The file is
// asked for on the window's thread; the history is copied there and written, atomically, by
// a thread of its own. Made a child of the box it serves; the window's thread only.
class CHistoryScriptSaver : public QObject
{
    Q_OBJECT

public:
    // The question for the file, given the proposed one; "" cancels. Empty: the save dialog.
    using FileChooser = std::function<QString(const QString &proposedPath)>;

    CHistoryScriptSaver(CHistoryCombo &box, FileChooser chooser);

    // What the menu entry does: asks for the file, then writes the history as it is now.
    void OnSaveHistoryScript();

signals:
    // `error` is empty when the script was written.
    void saved(const QString &path, const QString &error);

protected:
    // The box's line edit shows its own context menu with the entry added.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    CHistoryCombo &m_box;
    FileChooser m_chooser;
    CWorkQueue m_writer;
};
