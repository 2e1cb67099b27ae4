#include "app/TagMonitorEntry.h"

#include "settings/SettingsStore.h"
#include "monitor/widgets/TagMonitorDlg.h"

#include <QAction>
#include <QWidget>

#include <utility>

namespace {

constexpr char MONITOR_ENTRY_TEXT[] = "Tag &Monitor...";

} // namespace

CTagMonitorEntry::CTagMonitorEntry(QWidget &window, CTagMonitor &monitor, CSettingsStore &settings)
    : m_window(window)
    , m_monitor(monitor)
    , m_settings(settings)
{
}

CTagMonitorEntry::~CTagMonitorEntry()
{
    storeTagMonitorGeometry();
    delete std::exchange(m_monitorWindow, nullptr);
}

QAction *CTagMonitorEntry::InstallTagMonitor(QAction *aboutEntry)
{
    auto *entry = new QAction(QString::fromLatin1(MONITOR_ENTRY_TEXT), &m_window);
    entry->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    entry->setShortcutContext(Qt::WindowShortcut);
    connect(entry, &QAction::triggered, this, &CTagMonitorEntry::OnTagMonitor);
    m_window.insertAction(aboutEntry, entry);
    return entry;
}

void CTagMonitorEntry::OnTagMonitor()
{
    if (!m_monitorWindow) {
        m_monitorWindow = new CTagMonitorDlg(m_monitor, &m_window);
        m_monitorWindow->restoreGeometry(QByteArray::fromBase64(
            m_settings.ReadString(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_MONITOR_GEOMETRY)).toLatin1()));
        connect(m_monitorWindow, &CTagMonitorDlg::hidden, this, &CTagMonitorEntry::storeTagMonitorGeometry);
    }
    m_monitorWindow->show();
    m_monitorWindow->raise();
    m_monitorWindow->activateWindow();
}

// Written when the window is hidden and when the tool ends with it shown; the store writes
// only a changed value.
void CTagMonitorEntry::storeTagMonitorGeometry()
{
    if (!m_monitorWindow)
        return;
    m_settings.WriteString(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_MONITOR_GEOMETRY),
                           QString::fromLatin1(m_monitorWindow->saveGeometry().toBase64()));
}
