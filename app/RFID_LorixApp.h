#pragma once

#include "protocol/ReaderView.h"

#include <QApplication>

#include <QString>

#include <functional>
#include <memory>

class CSettingsStore;
class QWidget;

// The command line, read before the toolkit starts, so that --help, --version and a
// mistyped option work without a display. Options the toolkit itself takes (-platform,
// -display, -style and the rest, with one dash or two) are let through for it.
struct StartOptions
{
    enum Action { Run, ShowHelp, ShowVersion, Refuse };
    Action action = Run;
    int port = 0;             // --port: the COM number to open at start; 0: none
    QString platform;         // -platform's value, "" when not given
    bool displayGiven = false; // -display was given
    QString error;            // why the command line was refused
};

StartOptions ParseStartOptions(int argc, const char *const *argv);
// The --help text and the --version line, for `program` (the name it was started by).
QString StartUsage(const QString &program);
QString StartVersion();
// Whether the windowing platform the toolkit would pick can find its display, from the
// environment alone: a platform such as "offscreen" needs none, X11 needs DISPLAY (or
// -display), Wayland WAYLAND_DISPLAY; with none chosen either will do. The toolkit itself
// aborts the process when its platform finds no display, so this is asked before it starts.
bool DisplayAvailable(const StartOptions &options);

// What the settings store reports after each save, as log lines for the file at `path`: a
// file moved aside as a note; a failed save as an error with the path and the reason, once,
// and again only after a save has succeeded since. For CSettingsStore::SetSaveReport.
std::function<void(const QString &error, const QString &movedAsideTo)>
SettingsSaveLog(const QString &path, std::function<void(const QString &text, LogKind kind)> log);

// The application object: prepares the toolkit, binds the settings store and runs the main
// window modally; when the main window closes the application ends.
class CRFID_LorixApp : public QApplication
{
    Q_OBJECT

public:
    CRFID_LorixApp(int &argc, char **argv);
    ~CRFID_LorixApp() override;

    // Runs the whole session and returns false: the application does not enter an event
    // loop of its own once the main window has ended.
    virtual bool InitInstance();

    CSettingsStore *settingsStore() const { return m_settings.get(); }
    QWidget *mainWindow() const { return m_pMainWnd; }
    // The port the main window opens once it is shown (--port); 0: none.
    void setStartPort(int comNumber) { m_startPort = comNumber; }

private:
    std::unique_ptr<CSettingsStore> m_settings;
    QWidget *m_pMainWnd = nullptr;
    int m_startPort = 0;
};
