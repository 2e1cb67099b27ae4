#include "app/RFID_LorixApp.h"

#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int EXIT_NO_DISPLAY = 1;
constexpr int EXIT_USAGE = 2;

QString g_program;
QtMessageHandler g_toolkitHandler = nullptr;

void PrintNoDisplay(const QString &why);

// A display named in the environment may still be unreachable (no server there, no
// permission); the toolkit then ends with a fatal message about reinstalling and aborts.
// That one message is replaced with a plain one and an ordinary exit.
void StartupMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg && message.contains(QLatin1String("no Qt platform plugin could be initialized"))) {
        PrintNoDisplay(QStringLiteral("the display could not be opened"));
        std::_Exit(EXIT_NO_DISPLAY);
    }
    g_toolkitHandler(type, context, message);
}

void Print(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

void PrintNoDisplay(const QString &why)
{
    Print(stderr, QStringLiteral("%1: no display found: %2.\n"
                                 "To run without a display, start it with QT_QPA_PLATFORM=offscreen.\n")
                      .arg(g_program, why));
}

} // namespace

int main(int argc, char *argv[])
{
    // Decided before the toolkit starts: it needs a display for anything, and without one
    // it aborts the process with a message about reinstalling.
    const QString program = g_program = QFileInfo(QString::fromLocal8Bit(argc > 0 ? argv[0] : "RFID_Lorix")).fileName();
    const StartOptions options = ParseStartOptions(argc, argv);
    switch (options.action) {
    case StartOptions::ShowHelp:
        Print(stdout, StartUsage(program));
        return 0;
    case StartOptions::ShowVersion:
        Print(stdout, StartVersion());
        return 0;
    case StartOptions::Refuse:
        Print(stderr, QStringLiteral("%1: %2\nTry '%1 --help' for the options.\n").arg(program, options.error));
        return EXIT_USAGE;
    case StartOptions::Run:
        break;
    }
    if (!DisplayAvailable(options)) {
        PrintNoDisplay(QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set"));
        return EXIT_NO_DISPLAY;
    }

    g_toolkitHandler = qInstallMessageHandler(StartupMessageHandler);
    CRFID_LorixApp app(argc, argv);
    qInstallMessageHandler(g_toolkitHandler);
    app.setStartPort(options.port);
    // The whole session runs inside InitInstance; false means there is nothing left to run.
    if (app.InitInstance())
        return app.exec();
    return 0;
}
