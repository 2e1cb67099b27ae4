// rfid-lorix-cli against the window, each pair measured in the same run (read the ratios):
//
//   watch --json     tag lines per second of one flood from the simulated reader (one trigger,
//                    --tags lines of 70 bytes), taken in by the command line and printed as JSON
//                    into a file (from the first tag line's time stamp to the last's), beside
//                    the real main window's receive path, shown (the engine, its log signal,
//                    the window's log view) taking in the same flood (from the
//                    first tag line dispatched to the last)
//   wedge            characters per second typed through XTest into a recording client on a
//                    private Xvfb, and how many were lost
//   memory at rest   resident memory of `wedge` against the window (offscreen) after each has
//                    opened its port and settled
//
//   QT_QPA_PLATFORM=offscreen ./build/bench/bench_cli [--tags 50000] [--wedge-tags 2000]

#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "engine/ReaderEngine.h"
#include "tests/support/XvfbRecorder.h"
#include "tools/reader-sim/ReaderSim.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
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

constexpr int IDLE_LIMIT_MS = 3000;

// The flood's reader runs as a program of its own: the simulated reader writes a whole
// inventory in one blocking write, which would stall a receiver on this thread.
struct FloodReader
{
    QProcess process;
    int comNumber = 0;

    bool start(const QString &ports, int tags)
    {
        process.start(binary("tools/reader-sim/reader-sim"),
                      {"--ports-folder", ports, "--tags", QString::number(tags), "--tag-digits", QString::number(FLOOD_DIGITS)});
        if (!process.waitForStarted() || !QTest::qWaitFor([&] { return process.canReadLine(); }, WAIT_LIMIT_MS))
            return false;
        comNumber = QString::fromLatin1(process.readLine()).section(' ', 0, 0).mid(3).toInt();
        return comNumber > 0;
    }
    void pullTrigger() { ::kill(pid_t(process.processId()), SIGUSR1); }
    ~FloodReader()
    {
        process.terminate();
        process.waitForFinished();
    }
};

// Waits, serving the reader, until `done`.
bool waitFor(const std::function<bool()> &done)
{
    return QTest::qWaitFor(done, WAIT_LIMIT_MS);
}

// Serves the reader until `count` reaches `wanted` or stays still for IDLE_LIMIT_MS; the time
// to the last change, in ms.
qint64 countUntil(const std::function<qint64()> &count, qint64 wanted)
{
    QElapsedTimer clock;
    clock.start();
    qint64 seen = 0, lastChangeAt = 0;
    while (seen < wanted && clock.elapsed() - lastChangeAt < IDLE_LIMIT_MS && clock.elapsed() < WAIT_LIMIT_MS) {
        QTest::qWait(5);
        const qint64 now = count();
        if (now != seen) {
            seen = now;
            lastChangeAt = clock.elapsed();
        }
    }
    return qMax<qint64>(1, lastChangeAt);
}

// The real main window, shown, with its own settings file naming the flooding reader's port:
// the engine, its log signal, the window's log view laid out and painted.
double windowLinesPerSecond(const QString &ports, int tags)
{
    FloodReader reader;
    if (!reader.start(ports, tags))
        return 0;
    QTemporaryDir home;
    CSettingsStore store(home.filePath("settings.ini"));
    store.WriteInt(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_COM_PORT), reader.comNumber);
    store.WriteInt(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_READ_MODE), 1);
    CRFID_LorixDlg::Environment env;
    env.ports.portsFolder = ports;
    env.bluetooth.bluez.busAddress = QStringLiteral("unix:path=") + home.filePath("no-bus");
    env.nameBluetoothPorts = false;
    env.keySink = nullptr;
    CRFID_LorixDlg window(store, env);
    window.show();
    qint64 lines = 0, firstAt = 0, lastAt = 0;
    QElapsedTimer clock;
    clock.start();
    window.engine().protocol().setDispatchObserver([&](CResponseDispatcher::LineClass c, const QString &) {
        if (c != CResponseDispatcher::TagData)
            return;
        lastAt = clock.nsecsElapsed();
        if (lines++ == 0)
            firstAt = lastAt;
    });
    window.OnOpenPort();
    if (!window.isPortOpen())
        return 0;
    reader.pullTrigger();
    countUntil([&] { return lines; }, tags);
    if (lines < tags)
        std::printf("the window's receive path: %lld of %d lines\n", lines, tags);
    return (lines - 1) * 1e9 / qMax<qint64>(1, lastAt - firstAt);
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
    FloodReader reader;
    if (!reader.start(ports, tags))
        return 0;
    // Its output goes to a file, as a log would: read through a pipe here, this program's
    // reading would be what is measured. The rate comes from the lines' own time stamps.
    QProcess cli;
    cli.setProcessEnvironment(cliEnvironment(dir, QString()));
    const QString outPath = dir.filePath("watch.json");
    cli.setStandardOutputFile(outPath);
    cli.start(binary("cli/rfid-lorix-cli"), {"watch", "--json", "--multi", "--port", QString::number(reader.comNumber)});
    QByteArray err;
    if (!waitFor([&] { return (err += cli.readAllStandardError()).contains(" opened"); }))
        return 0;
    qint64 lines = 0;
    reader.pullTrigger();
    QFile out(outPath);
    out.open(QIODevice::ReadOnly);
    QByteArray text;
    countUntil([&] {
        text += out.readAll();
        return lines = text.count("\"class\":\"tag\"");
    }, tags);
    cli.terminate();
    cli.waitForFinished();
    if (lines < tags)
        std::printf("watch --json: %lld of %d lines\n", lines, tags);
    // "time":"2026-03-01T14:05:09.120+01:00" of the first and the last tag line.
    auto timeOf = [&](qsizetype at) {
        const qsizetype start = text.lastIndexOf("{\"time\":\"", at) + 9;
        return QDateTime::fromString(QString::fromLatin1(text.mid(start, 29)), Qt::ISODateWithMs).toMSecsSinceEpoch();
    };
    const qint64 span = timeOf(text.lastIndexOf("\"class\":\"tag\"")) - timeOf(text.indexOf("\"class\":\"tag\""));
    return (lines - 1) * 1000.0 / qMax<qint64>(1, span);
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
    // Each tag: its digits and Return.
    const std::size_t keys = std::size_t(tags) * (WEDGE_DIGITS + 1);
    QElapsedTimer clock;
    clock.start();
    reader->PullTrigger();
    qint64 lastKeyAt = 0;
    std::size_t seen = 0;
    while (seen < keys && clock.elapsed() - lastKeyAt < 10000) {
        recorder.waitForKeys(keys * 2, 20);
        QCoreApplication::processEvents();
        // Shift is a press of its own: characters are counted in the typed text.
        if (recorder.text().size() != seen) {
            seen = recorder.text().size();
            lastKeyAt = clock.elapsed();
        }
    }
    std::printf("wedge: %zu of %zu characters typed in %.2f s: %.0f characters/s, %zu lost\n", seen, keys,
                lastKeyAt / 1000.0, seen * 1000.0 / qMax<qint64>(1, lastKeyAt), keys > seen ? keys - seen : 0);
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
