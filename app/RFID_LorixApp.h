#pragma once

#include <QApplication>

#include <memory>

class CSettingsStore;
class QWidget;

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

private:
    std::unique_ptr<CSettingsStore> m_settings;
    QWidget *m_pMainWnd = nullptr;
};
