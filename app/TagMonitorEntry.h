#pragma once

#include <QObject>

class CSettingsStore;
class CTagMonitor;
class CTagMonitorDlg;
class QAction;
class QWidget;

// The main window's tag monitor half: the engine counts, the monitor window shows. Owns the
// menu entry beside About (Ctrl+T) and the monitor window, a child of the main window made
// when first opened, whose geometry is kept in the settings. User-interface thread only.
class CTagMonitorEntry : public QObject
{
public:
    CTagMonitorEntry(QWidget &window, CTagMonitor &monitor, CSettingsStore &settings);
    // Stores the shown window's geometry and deletes the window: it shows the engine's tag
    // monitor, so this goes before the engine.
    ~CTagMonitorEntry() override;

    // Puts the entry before `aboutEntry` in the window's menu; the entry is returned.
    QAction *InstallTagMonitor(QAction *aboutEntry);
    void OnTagMonitor();
    CTagMonitorDlg *monitorWindow() const { return m_monitorWindow; }

private:
    void storeTagMonitorGeometry();

    QWidget &m_window;
    CTagMonitor &m_monitor;
    CSettingsStore &m_settings;
    CTagMonitorDlg *m_monitorWindow = nullptr;   // child window, made when first opened
};
