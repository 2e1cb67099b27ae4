// The main window's tag monitor half: it counts, the monitor window shows.

#include "app/RFID_LorixDlg.h"

#include "app/SettingsStore.h"
#include "monitor/widgets/TagMonitorDlg.h"

#include <QAction>

namespace {

constexpr char MONITOR_ENTRY_TEXT[] = "Tag &Monitor...";

} // namespace

QAction *CRFID_LorixDlg::InstallTagMonitor(QAction *aboutEntry)
{
    m_protocol.setTagReadObserver([this](const QString &line, int scanMode) {
        m_tagMonitor.Count(line, scanMode == CReaderControl::Scan ? TagKind::BarcodeScan : TagKind::RfidTag);
    });
    m_tagMonitor.SetBoundHandler([this](int maxTags) { AppendLog(CTagMonitor::BoundNote(maxTags), LogKind::Note); });
    auto *entry = new QAction(QString::fromLatin1(MONITOR_ENTRY_TEXT), this);
    entry->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    entry->setShortcutContext(Qt::WindowShortcut);
    connect(entry, &QAction::triggered, this, &CRFID_LorixDlg::OnTagMonitor);
    insertAction(aboutEntry, entry);
    return entry;
}

void CRFID_LorixDlg::OnTagMonitor()
{
    if (!m_monitorWindow) {
        m_monitorWindow = new CTagMonitorDlg(m_tagMonitor, this);
        m_monitorWindow->restoreGeometry(QByteArray::fromBase64(
            m_settings.ReadString(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_MONITOR_GEOMETRY)).toLatin1()));
        connect(m_monitorWindow, &CTagMonitorDlg::hidden, this, &CRFID_LorixDlg::storeTagMonitorGeometry);
    }
    m_monitorWindow->show();
    m_monitorWindow->raise();
    m_monitorWindow->activateWindow();
}

// Written when the window is hidden and when the tool ends with it shown; the store writes
// only a changed value.
void CRFID_LorixDlg::storeTagMonitorGeometry()
{
    if (!m_monitorWindow)
        return;
    m_settings.WriteString(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_MONITOR_GEOMETRY),
                           QString::fromLatin1(m_monitorWindow->saveGeometry().toBase64()));
}
