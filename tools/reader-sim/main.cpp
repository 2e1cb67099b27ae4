// A simulated RFID reader on a pseudo-terminal (or, with --socket, a UNIX stream socket),
// registered in the user's port map as COM<n>.
// It prints "COM<n> <terminal>" when it is ready (again after each return) and runs until it
// is told to quit (SIGINT, SIGTERM, "q" on stdin) or it hangs up for good. While it runs, a
// person can act for the reader by typing a letter and Enter:
//   t  pull the trigger ($trigger=1,0)      r  release it ($trigger=0,0)
//   s  scan trigger ($trigger=3,0)          x  scan release ($trigger=2,0)
//   b  battery report    o  online report   h  hang up    q  quit
// SIGUSR1 pulls the trigger and SIGUSR2 releases it, for scripts.

#include "tools/reader-sim/ReaderSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = { -1, -1 };

void onSignal(int signal)
{
    const char number = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[0], &number, 1);
}

// Signals arrive on a socket so that they are handled in the event loop, not in the handler.
void watchSignals(CReaderSim &sim)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    for (int s : { SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGHUP }) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(s, &action, nullptr);
    }
    auto *notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &sim);
    QObject::connect(notifier, &QSocketNotifier::activated, &sim, [&sim] {
        char number = 0;
        if (::read(g_signalPipe[1], &number, 1) != 1)
            return;
        if (number == SIGUSR1)
            sim.PullTrigger();
        else if (number == SIGUSR2)
            sim.ReleaseTrigger();
        else
            QCoreApplication::quit();
    });
}

void watchStdin(CReaderSim &sim)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &sim);
    QObject::connect(notifier, &QSocketNotifier::activated, &sim, [&sim, notifier] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {                       // no terminal, or it was closed: keep running
            notifier->setEnabled(false);
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            switch (buf[i]) {
            case 't': sim.PullTrigger(); break;
            case 'r': sim.ReleaseTrigger(); break;
            case 's': sim.StartScanTrigger(); break;
            case 'x': sim.StopScanTrigger(); break;
            case 'b': sim.ReportBattery(); break;
            case 'o': sim.ReportOnline(); break;
            case 'h': sim.HangUp(); break;
            case 'q': QCoreApplication::quit(); break;
            default: break;
            }
        }
    });
}

int intOption(const QCommandLineParser &parser, const QString &name, int fallback)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    return ok ? value : fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("reader-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A simulated RFID reader on a pseudo-terminal or a socket."));
    parser.addHelpOption();
    const SimOptions d;
    auto add = [&parser](const char *name, const char *help, const QString &fallback) {
        parser.addOption({ QString::fromLatin1(name), QString::fromLatin1(help),
                           QStringLiteral("value"), fallback });
    };
    add("com", "COM number to register (default: first free from 200).", QString());
    add("ports-folder", "Port map folder (default: the user's).", QString());
    add("tags", "Tags of a multi-mode inventory.", QString::number(d.tagCount));
    add("tag-digits", "Hexadecimal digits of one EPC.", QString::number(d.tagDigits));
    add("epc", "Serve GS1 EPCs: sgtin (SGTIN-96) or sscc (SSCC-96); default: E200 and a plain serial.", QString());
    add("epc-list", "File of EPCs to report, one a line, in turn across inventories.", QString());
    add("rate", "Tags per second (0: all at once).", QString::number(d.tagRate));
    add("split", "Cut writes into random pieces of 1..N bytes (0: whole).", QString::number(d.maxPiece));
    add("codepage", "Code page of the reader's text (default: the locale's).", QString());
    add("txp", "Transmit power answered to g,txp at first.", QString::number(d.txPower));
    add("events", "Pull the trigger and report the battery every N ms (0: never).", QString::number(d.eventPeriodMs));
    add("hangup-after", "Hang up N ms after opening (0: never).", QString::number(d.hangUpAfterMs));
    add("return-after", "Come back on a new terminal N ms after hanging up (default: end).", QString());
    add("record", "File that receives every line the reader received.", QString());
    add("seed", "Seed of the random piece sizes.", QString::number(d.seed));
    parser.addOption({QStringLiteral("socket"),
                      QStringLiteral("Serve over a UNIX stream socket (linked as COM<n>) instead of a pseudo-terminal, "
                                     "as a reader on a Bluetooth link: each connection in turn.")});
    parser.process(app);

    SimOptions options;
    options.comNumber = intOption(parser, QStringLiteral("com"), 0);
    options.portsFolder = parser.value(QStringLiteral("ports-folder"));
    options.tagCount = intOption(parser, QStringLiteral("tags"), d.tagCount);
    options.tagDigits = intOption(parser, QStringLiteral("tag-digits"), d.tagDigits);
    options.epcScheme = parser.value(QStringLiteral("epc")).toLower();
    if (!options.epcScheme.isEmpty() && options.epcScheme != QLatin1String("sgtin")
        && options.epcScheme != QLatin1String("sscc")) {
        QTextStream(stderr) << "reader-sim: --epc is sgtin or sscc" << Qt::endl;
        return 2;
    }
    if (const QString list = parser.value(QStringLiteral("epc-list")); !list.isEmpty()) {
        QFile file(list);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            QTextStream(stderr) << "reader-sim: " << list << ": " << file.errorString() << Qt::endl;
            return 2;
        }
        options.epcs = QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    options.tagRate = intOption(parser, QStringLiteral("rate"), d.tagRate);
    options.maxPiece = intOption(parser, QStringLiteral("split"), d.maxPiece);
    options.codeSet = parser.value(QStringLiteral("codepage"));
    options.txPower = intOption(parser, QStringLiteral("txp"), d.txPower);
    options.eventPeriodMs = intOption(parser, QStringLiteral("events"), d.eventPeriodMs);
    options.hangUpAfterMs = intOption(parser, QStringLiteral("hangup-after"), d.hangUpAfterMs);
    options.returnAfterMs = intOption(parser, QStringLiteral("return-after"), d.returnAfterMs);
    options.recordPath = parser.value(QStringLiteral("record"));
    options.seed = quint32(intOption(parser, QStringLiteral("seed"), int(d.seed)));
    options.socket = parser.isSet(QStringLiteral("socket"));

    CReaderSim sim(options);
    QTextStream out(stdout);
    QObject::connect(&sim, &CReaderSim::ready, &app, [&out](int number, const QString &path) {
        out << "COM" << number << ' ' << path << Qt::endl;
    });
    QObject::connect(&sim, &CReaderSim::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    watchSignals(sim);
    watchStdin(sim);

    QString error;
    if (!sim.Start(error)) {
        QTextStream(stderr) << "reader-sim: " << error << Qt::endl;
        return 1;
    }
    const int rc = app.exec();
    sim.Stop();
    return rc;
}
