#include "app/RFID_LorixApp.h"

#include "app/RFID_LorixDlg.h"
#include "app/SettingsStore.h"
#include "platform/SettingsLocation.h"

namespace {

constexpr char kApplicationName[] = "RFID_Lorix";

} // namespace

CRFID_LorixApp::CRFID_LorixApp(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

CRFID_LorixApp::~CRFID_LorixApp() = default;

bool CRFID_LorixApp::InitInstance()
{
    // The toolkit's widget classes need no registration: constructing the QApplication has
    // readied them, and the log view is a built-in text widget, so nothing is loaded here.

    // The application's identity, as the executable's name gives it.
    setApplicationName(QString::fromLatin1(kApplicationName));
    setApplicationVersion(QStringLiteral("%1.%2.%3.%4")
                              .arg(RFID_VERSION_MAJOR)
                              .arg(RFID_VERSION_MINOR)
                              .arg(RFID_VERSION_PATCH)
                              .arg(RFID_VERSION_TWEAK));

    // Bind the settings store to the company key; it lives until the process ends.
    setOrganizationName(QString::fromLatin1(platform::kSettingsOrganisation));
    m_settings = std::make_unique<CSettingsStore>();

    // Run the main window modally; its result is of no interest.
    {
        CRFID_LorixDlg dialog(*m_settings);
        m_pMainWnd = &dialog;
        dialog.exec();
        m_pMainWnd = nullptr;
    }
    return false;
}
