#include "app/HistoryScript.h"

#include "app/HistoryCombo.h"
#include "cli/Script.h"
#include "platform/AtomicFile.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>

#include <algorithm>
#include <memory>

namespace {

constexpr char MENU_TEXT[] = "Save History as Script...";
constexpr char PROPOSED_NAME[] = "history.rfid";
constexpr char FILTER[] = "Scripts (*.rfid *.txt);;All files (*)";

} // namespace

CHistoryScriptSaver::CHistoryScriptSaver(CHistoryCombo &box, FileChooser chooser)
    : QObject(&box)
    , m_box(box)
    , m_chooser(std::move(chooser))
{
    if (box.lineEdit())
        box.lineEdit()->installEventFilter(this);
}

bool CHistoryScriptSaver::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::ContextMenu || watched != m_box.lineEdit())
        return QObject::eventFilter(watched, event);
    const std::unique_ptr<QMenu> menu(m_box.lineEdit()->createStandardContextMenu());
    menu->addSeparator();
    QAction *save = menu->addAction(QString::fromLatin1(MENU_TEXT));
    save->setEnabled(m_box.count() > 0);
    connect(save, &QAction::triggered, this, &CHistoryScriptSaver::OnSaveHistoryScript);
    menu->exec(static_cast<QContextMenuEvent *>(event)->globalPos());
    return true;
}

void CHistoryScriptSaver::OnSaveHistoryScript()
{
    const QString proposed = QDir::home().filePath(QString::fromLatin1(PROPOSED_NAME));
    const QString path = m_chooser ? m_chooser(proposed)
                                   : QFileDialog::getSaveFileName(m_box.window(), QString(), proposed, QString::fromLatin1(FILTER));
    if (path.isEmpty())
        return;
    // The list holds the newest first; the script sends them in the order they were sent.
    QStringList commands = m_box.entries();
    std::reverse(commands.begin(), commands.end());
    const QByteArray bytes = ScriptFor(commands).toUtf8();
    // The job touches its copies only; `this` is for the closure it returns, on this thread.
    m_writer.Run([this, path, bytes]() -> CWorkQueue::Apply {
        const QString error = WriteFileAtomically(path, bytes);
        return [this, path, error] { emit saved(path, error); };
    });
}
