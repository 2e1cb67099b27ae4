// rfid-lorix-cli against the window, each pair measured in the same run (read the ratios):
//
//   watch --json     tag lines per second of one flood from the simulated reader (one trigger,
//                    --tags lines of 70 bytes), taken in by the command line and printed as JSON,
//                    beside the window's receive path (the engine with the window's log view
//                    fed from its log signal, as the window wires it) taking in the same flood
//   wedge            characters per second typed through XTest into a recording client on a
//                    private Xvfb, and how many were lost
//   memory at rest   resident memory of `wedge` against the window (offscreen) after each has
//                    opened its port and settled
//
//   QT_QPA_PLATFORM=offscreen ./build/bench/bench_cli [--tags 50000] [--wedge-tags 2000]

#include "app/LogView.h"
#include "engine/ReaderEngine.h"
#include "tests/support/XvfbRecorder.h"
#include "tools/reader-sim/ReaderSim.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

namespace {

constexpr int WAIT_LIMIT_MS = 300000;
constexpr int SETTLE_MS = 3000;
constexpr int FLOOD_DIGITS = 68;   // with CR LF: 70 bytes a line, as bench_pipeline's
constexpr int WEDGE_DIGITS = 24;

struct FrontEnd : IReaderFrontEnd
{
    int port = 0;
    int PortToUse() override { return port; }
};

QString binary(const char *relative)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../") + QLatin1String(relative);
}

long residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

std::unique_ptr<CReaderSim> startReader(const QString &ports, int tags, int digits)
{
    SimOptions options;
    options.portsFolder = ports;
    options.tagCount = tags;
    options.tagDigits = digits;
    auto reader = std::make_unique<CReaderSim>(options);
    QString error;
    if (!reader->Start(error)) {
        std::fprintf(stderr, "reader: %s\n", qPrintable(error));
        return nullptr;
    }
    return reader;
}

// Waits, serving the reader, until `done`.
bool waitFor(const std::function<bool()> &done)
{
    return QTest::qWaitFor(done, WAIT_LIMIT_MS);
}

double windowLinesPerSecond(const QString &ports, int tags)
{
    auto reader = startReader(ports, tags, FLOOD_DIGITS);
    FrontEnd frontEnd;
    frontEnd.port = reader->comNumber();
    CReaderEngine::Environment env;
    env.queryBluetooth = false;
    CReaderEngine engine(frontEnd, env);
    engine.SetMultiMode(true);
    CLogView log;
    QObject::connect(&engine, &CReaderEngine::logged, &log, [&log](const QString &text, LogKind kind) { log.AppendLog(text, kind); });
    qint64 lines = 0;
    engine.protocol().setDispatchObserver([&lines](CResponseDispatcher::LineClass c, const QString &) {
        lines += c == CResponseDispatcher::TagData;
    });
    engine.OpenPort();
    QElapsedTimer clock;
    clock.start();
    reader->PullTrigger();
    if (!waitFor([&] { return lines >= tags; }))
        return 0;
    return lines * 1000.0 / qMax<qint64>(1, clock.elapsed());
}

QProcessEnvironment cliEnvironment(const QTemporaryDir &dir, const QString &display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("XDG_STATE_HOME", dir.filePath("state"));
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.filePath("no-bus"));
    env.remove("WAYLAND_DISPLAY");
    env.insert("XDG_SESSION_TYPE", "x11");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    if (!display.isEmpty())
        env.insert("DISPLAY", display);
    return env;
}

double cliLinesPerSecond(const QTemporaryDir &dir, const QString &ports, int tags)
{
    auto reader = startReader(ports, tags, FLOOD_DIGITS);
    QProcess cli;
    cli.setProcessEnvironment(cliEnvironment(dir, QString()));
    cli.start(binary("cli/rfid-lorix-cli"), {"watch", "--json", "--multi", "--port", QString::number(reader->comNumber())});
    QByteArray err;
    if (!waitFor([&] { return (err += cli.readAllStandardError()).contains(" opened"); }))
        return 0;
    qint64 lines = 0;
    QElapsedTimer clock;
    clock.start();
    reader->PullTrigger();
    waitFor([&] {
        lines += cli.readAllStandardOutput().count("\"class\":\"tag\"");
        return lines >= tags;
    });
    const qint64 elapsed = clock.elapsed();
    cli.terminate();
    cli.waitForFinished();
    return lines >= tags ? lines * 1000.0 / qMax<qint64>(1, elapsed) : 0;
}

void wedge(const QTemporaryDir &dir, const QString &ports, int tags, long &wedgeKb)
{
    CXvfbServer server;
    CXKeyRecorder recorder;
    QString reason;
    if (!server.start(&reason) || !recorder.open(server.displayName(), &reason)) {
        std::printf("wedge: skipped, no Xvfb: %s\n", qPrintable(reason));
        return;
    }
    auto reader = startReader(ports, tags, WEDGE_DIGITS);
    QProcess cli;
    cli.setProcessEnvironment(cliEnvironment(dir, QString::fromStdString(server.displayName())));
    cli.start(binary("cli/rfid-lorix-cli"), {"wedge", "--multi", "--port", QString::number(reader->comNumber())});
    QByteArray err;
    waitFor([&] { return (err += cli.readAllStandardError()).contains("types through"); });
    QTest::qWait(SETTLE_MS);
    wedgeKb = residentKb(cli.processId());
    // Each tag: its digits and Return, typed in the order read (the recorder's text).
    const std::size_t keys = std::size_t(tags) * (WEDGE_DIGITS + 1);
    QElapsedTimer clock;
    clock.start();
    reader->PullTrigger();
    qint64 lastKeyAt = 0;
    std::size_t seen = 0;
    while (seen < keys && clock.elapsed() - lastKeyAt < 10000) {
        recorder.waitForKeys(keys, 20);
        QCoreApplication::processEvents();
        if (recorder.presses().size() != seen) {
            seen = recorder.presses().size();
            lastKeyAt = clock.elapsed();
        }
    }
    std::printf("wedge: %zu of %zu characters typed in %.2f s: %.0f characters/s, %zu lost\n", seen, keys,
                lastKeyAt / 1000.0, seen * 1000.0 / qMax<qint64>(1, lastKeyAt), keys - seen);
    cli.terminate();
    cli.waitForFinished();
    recorder.close();
}

long windowRestingKb(const QTemporaryDir &dir, const QString &ports)
{
    auto reader = startReader(ports, 5, WEDGE_DIGITS);
    QProcess window;
    window.setProcessEnvironment(cliEnvironment(dir, QString()));
    window.start(binary("app/RFID_Lorix"), {"--port", QString::number(reader->comNumber())});
    if (!window.waitForStarted())
        return -1;
    QTest::qWait(SETTLE_MS * 2);
    const long kb = residentKb(window.processId());
    window.terminate();
    window.waitForFinished();
    return kb;
}

int option(const QStringList &args, const char *name, int fallback)
{
    const int at = args.indexOf(QLatin1String(name));
    return at >= 0 && at + 1 < args.size() ? args[at + 1].toInt() : fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int tags = option(args, "--tags", 50000);
    const int wedgeTags = option(args, "--wedge-tags", 2000);
    QTemporaryDir dir;
    const QString ports = dir.filePath("config/Local AppWizard-Generated Applications/ports");

    const double window = windowLinesPerSecond(ports, tags);
    const double cli = cliLinesPerSecond(dir, ports, tags);
    std::printf("watch --json: %.0f lines/s; the window's receive path: %.0f lines/s; ratio %.2f\n", cli, window,
                window > 0 ? cli / window : 0.0);
    long wedgeKb = -1;
    wedge(dir, ports, wedgeTags, wedgeKb);
    const long windowKb = windowRestingKb(dir, ports);
    std::printf("resident at rest: wedge %ld KiB, window %ld KiB; ratio %.2f\n", wedgeKb, windowKb,
                windowKb > 0 ? double(wedgeKb) / windowKb : 0.0);
    return 0;
}
