#include "app/RFID_LorixApp.h"

#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "platform/ComPorts.h"
#include "platform/SettingsLocation.h"
#include "platform/TerminationSignals.h"

#include <QStringList>
#include <QTimer>

#include <cstdlib>

namespace {

constexpr char APPLICATION_NAME[] = "RFID_Lorix";

// The toolkit's own command-line options: those that take the next argument (or
// "=value") and those that stand alone.
const QStringList TOOLKIT_OPTIONS_WITH_VALUE = {
    QStringLiteral("platform"),   QStringLiteral("platformpluginpath"), QStringLiteral("platformtheme"),
    QStringLiteral("plugin"),     QStringLiteral("qwindowgeometry"),    QStringLiteral("qwindowicon"),
    QStringLiteral("qwindowtitle"), QStringLiteral("session"),          QStringLiteral("display"),
    QStringLiteral("geometry"),   QStringLiteral("style"),              QStringLiteral("stylesheet"),
    QStringLiteral("name"),       QStringLiteral("title"),              QStringLiteral("visual"),
    QStringLiteral("dialogs"),    QStringLiteral("fontengine"),         QStringLiteral("qmljsdebugger"),
};
// The few the toolkit also takes as "-name=value"; for the rest "=" is no separator.
const QStringList TOOLKIT_INLINE_VALUES = {
    QStringLiteral("style"), QStringLiteral("stylesheet"), QStringLiteral("qmljsdebugger"),
};
const QStringList TOOLKIT_FLAGS = {
    QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
    QStringLiteral("dograb"),  QStringLiteral("sync"),        QStringLiteral("testability"),
};

constexpr char COM_PREFIX[] = "COM";

// "COM7", "com7" or "7", within the numbers a port can carry; 0 otherwise.
int ParsePortArgument(QString text)
{
    if (text.startsWith(QLatin1String(COM_PREFIX), Qt::CaseInsensitive))
        text = text.mid(int(qstrlen(COM_PREFIX)));
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok || number < FIRST_COM_PORT || number > LAST_COM_PORT)
        return 0;
    return number;
}

bool PlatformFindsDisplay(const QString &name, const StartOptions &options)
{
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY") || options.displayGiven;
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (name.isEmpty())
        return x11 || wayland;
    if (name.startsWith(QLatin1String("xcb")))
        return x11;
    if (name.startsWith(QLatin1String("wayland")))
        return wayland;
    return true;  // offscreen, minimal, vnc, linuxfb, eglfs: no display server to find
}

} // namespace

StartOptions ParseStartOptions(int argc, const char *const *argv)
{
    StartOptions options;
    auto refuse = [&options](const QString &why) {
        options.action = StartOptions::Refuse;
        options.error = why;
        return options;
    };
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options.action = StartOptions::ShowHelp;
            return options;
        }
        if (arg == QLatin1String("--version") || arg == QLatin1String("-v")) {
            options.action = StartOptions::ShowVersion;
            return options;
        }
        if (!arg.startsWith(u'-') || arg.size() < 2)
            return refuse(QStringLiteral("unexpected argument '%1'").arg(arg));
        // The toolkit takes "-name" and "--name" alike, and so does this tool.
        QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
        QString value;
        const qsizetype equals = name.indexOf(u'=');
        const bool inlineValue = equals >= 0;
        if (inlineValue) {
            value = name.mid(equals + 1);
            name.truncate(equals);
        }
        const bool ours = name == QLatin1String("port");
        const bool takesValue = ours || TOOLKIT_OPTIONS_WITH_VALUE.contains(name);
        if (!takesValue || (inlineValue && !ours && !TOOLKIT_INLINE_VALUES.contains(name))) {
            if (TOOLKIT_FLAGS.contains(name) && !inlineValue)
                continue;
            return refuse(QStringLiteral("unknown option '%1'").arg(arg));
        }
        if (!inlineValue) {
            if (i + 1 >= argc)
                return refuse(QStringLiteral("option '%1' needs a value").arg(arg));
            value = QString::fromLocal8Bit(argv[++i]);
        }
        if (name == QLatin1String("port")) {
            options.port = ParsePortArgument(value);
            if (options.port == 0)
                return refuse(QStringLiteral("'%1' is not a port: give COM%2 to COM%3 or a number %2 to %3")
                                  .arg(value)
                                  .arg(FIRST_COM_PORT)
                                  .arg(LAST_COM_PORT));
        } else if (name == QLatin1String("platform")) {
            options.platform = value;
        } else if (name == QLatin1String("display")) {
            options.displayGiven = true;
        }
    }
    return options;
}

QString StartUsage(const QString &program)
{
    return QStringLiteral("Usage: %1 [--port COMn] [toolkit options]\n"
                          "Test and configure a handheld RFID reader over a serial port.\n"
                          "\n"
                          "  --port COMn   open port COMn (or just n, %2 to %3) at start; the stored\n"
                          "                port is not changed\n"
                          "  -h, --help    show this text and exit\n"
                          "  -v, --version show the version and exit\n"
                          "\n"
                          "Toolkit options such as -platform offscreen, -display :1 and -style fusion\n"
                          "are passed on. Without a display, QT_QPA_PLATFORM=offscreen runs the tool\n"
                          "headless.\n")
        .arg(program)
        .arg(FIRST_COM_PORT)
        .arg(LAST_COM_PORT);
}

QString StartVersion()
{
    return QStringLiteral("%1 %2.%3.%4.%5\n")
        .arg(QLatin1String(APPLICATION_NAME))
        .arg(RFID_VERSION_MAJOR)
        .arg(RFID_VERSION_MINOR)
        .arg(RFID_VERSION_PATCH)
        .arg(RFID_VERSION_TWEAK);
}

bool DisplayAvailable(const StartOptions &options)
{
    const QString chosen =
        options.platform.isEmpty() ? qEnvironmentVariable("QT_QPA_PLATFORM") : options.platform;
    if (chosen.isEmpty())
        return PlatformFindsDisplay(QString(), options);
    // The toolkit tries a list "wayland;xcb" in order: one that finds its display will do.
    const QStringList names = chosen.split(u';', Qt::SkipEmptyParts);
    for (const QString &name : names) {
        if (PlatformFindsDisplay(name.section(u':', 0, 0), options))
            return true;
    }
    return names.isEmpty() && PlatformFindsDisplay(QString(), options);
}

std::function<void(const QString &, const QString &)>
SettingsSaveLog(const QString &path, std::function<void(const QString &, LogKind)> log)
{
    return [path, log = std::move(log), failureSaid = false](const QString &error, const QString &movedAsideTo) mutable {
        if (!movedAsideTo.isEmpty())
            log(QStringLiteral("Settings file too large: moved aside to %1, a new one started\r\n").arg(movedAsideTo), LogKind::Note);
        if (!error.isEmpty() && !failureSaid)
            log(QStringLiteral("Settings not saved to %1: %2\r\n").arg(path, error), LogKind::Error);
        failureSaid = !error.isEmpty();
    };
}

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
    setApplicationName(QString::fromLatin1(APPLICATION_NAME));
    setApplicationVersion(QStringLiteral("%1.%2.%3.%4")
                              .arg(RFID_VERSION_MAJOR)
                              .arg(RFID_VERSION_MINOR)
                              .arg(RFID_VERSION_PATCH)
                              .arg(RFID_VERSION_TWEAK));

    // Bind the settings store to the company key; it lives until the process ends.
    setOrganizationName(QString::fromLatin1(SETTINGS_ORGANISATION));
    m_settings = std::make_unique<CSettingsStore>();

    // A termination request (a logout, kill, Ctrl+C) closes the window as the operator would,
    // so that its last setting reaches the disk and the port is let go.
    CatchTerminationSignals(this, [] { closeAllWindows(); });

    // Run the main window modally; its result is of no interest.
    {
        CRFID_LorixDlg dialog(*m_settings);
        m_pMainWnd = &dialog;
        const auto report = SettingsSaveLog(m_settings->FileName(), [&dialog](const QString &text, LogKind kind) {
            dialog.AppendLog(text, kind);
        });
        report(QString(), m_settings->MovedAsideTo());
        m_settings->SetSaveReport(report);
        // Opened once the window is up, so that the log it writes to is on the screen.
        if (m_startPort != 0)
            QTimer::singleShot(0, &dialog, [&dialog, port = m_startPort] { dialog.OpenPortAtStart(port); });
        dialog.exec();
        m_settings->SetSaveReport(nullptr);
        m_pMainWnd = nullptr;
    }
    return false;
}
