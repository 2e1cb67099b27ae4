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
//
// With --watch-flood LINES, only `watch` at the pipe's pace: a flood of LINES distinct tag
// lines of 26 bytes, written by this program into a pseudo-terminal as fast as the reading
// side takes them, answering one trigger pull. Each path reads the same flood in turn:
//
//   the pipe         `cat` of the terminal into a file: the pace the line itself allows
//   watch --json     its output into a file
//   watch --log F    the log into a file, standard output to /dev/null
//
// Each prints lines per second (from the flood's first byte to its last line in the file),
// the process's CPU time per line, and its resident memory once the flood is in; every tag
// line of the output is checked in order against the flood: none lost, none twice.
//
//   ./build/bench/bench_cli --watch-flood 5000000

#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "engine/ReaderEngine.h"
#include "tests/support/XvfbRecorder.h"
#include "tools/reader-sim/PseudoTerminal.h"
#include "tools/reader-sim/ReaderSim.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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

// ---------------------------------------------------------------------------------------
// watch at the pipe's pace.

constexpr int FLOOD_TAG_DIGITS = 24;                 // with CR LF: 26 bytes a line
constexpr qsizetype FLOOD_WRITE_BYTES = 64 * 1024;
constexpr int FLOOD_STALL_MS = 30000;                // a reader that takes nothing this long is stuck
constexpr qsizetype VERIFY_BLOCK = 16 * 1024 * 1024;
constexpr double GOAL_JSON_LINES_PER_S = 1e6;
constexpr double GOAL_LOG_LINES_PER_S = 2e6;
constexpr double GOAL_CPU_US_PER_LINE = 1.0;
constexpr double GOAL_RESIDENT_MB = 30;
constexpr char FLOOD_TRIGGER[] = "$trigger=1,0\r\n";
constexpr char FLOOD_COMMAND[] = "i,0,0,0";          // the trigger's inventory in multi mode
constexpr int FLOOD_START_MS = 20000;

QByteArray floodTag(qint64 n)
{
    const QByteArray digits = QByteArray::number(n, 16).toUpper();
    return "E200" + QByteArray(FLOOD_TAG_DIGITS - 4 - digits.size(), '0') + digits;
}

// The tag lines, the inventory's end and the prompt, as the reader answers the trigger.
QByteArray floodBody(qint64 lines)
{
    QByteArray body;
    body.reserve(lines * (FLOOD_TAG_DIGITS + 2) + 64);
    for (qint64 i = 0; i < lines; ++i)
        body += floodTag(i) + "\r\n";
    return body + "end=" + QByteArray::number(lines) + "\r\n$>";
}

// Writes all of `bytes` to the non-blocking master, waiting for room as long as the reading
// side takes some: the line has no flow control but the reader's own pace.
bool floodWrite(int fd, const char *bytes, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size_t(std::min(size - done, FLOOD_WRITE_BYTES)));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, FLOOD_STALL_MS) == 0)
                return false;
        }
    }
    return true;
}

// User and system CPU of a process so far, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // After the name in parentheses: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

long statusKb(qint64 pid, const char *key)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLong();
    return -1;
}

struct FloodResult
{
    double linesPerS = 0;
    double cpuUsPerLine = 0;
    long residentKb = -1;
    long peakKb = -1;
    qint64 checked = 0;      // tag lines found in order
    qint64 misplaced = 0;    // tag lines out of order, twice, or unreadable
};

// Every output line holding a flood tag, in order: the first "E200" of a line and its digits.
void verifyFlood(const QString &path, FloodResult &result)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray carry;
    for (;;) {
        QByteArray block = carry + file.read(VERIFY_BLOCK);
        if (block.size() == carry.size())
            break;
        qsizetype from = 0;
        for (qsizetype end; (end = block.indexOf('\n', from)) >= 0; from = end + 1) {
            const QByteArrayView line(block.constData() + from, end - from);
            const qsizetype at = line.indexOf("E200");
            if (at < 0)
                continue;
            bool ok = false;
            const qint64 n = at + FLOOD_TAG_DIGITS > line.size() ? -1
                             : QByteArray::fromRawData(line.data() + at + 4, FLOOD_TAG_DIGITS - 4).toLongLong(&ok, 16);
            if (ok && n == result.checked)
                ++result.checked;
            else
                ++result.misplaced;
        }
        carry = block.mid(from);
    }
}

// One path through the flood: `reader` is started on the terminal's slave path and
// writes into `outPath`; its output is complete when its tail holds `lastLine`.
FloodResult runFlood(const QTemporaryDir &dir, const QByteArray &body, qint64 lines, bool answerTrigger,
                     const std::function<void(QProcess &, const QString &slave)> &start, const QString &outPath,
                     const QByteArray &lastLine)
{
    FloodResult result;
    CPseudoTerminal pty;
    if (!pty.Open()) {
        std::printf("no pseudo-terminal: %s\n", qPrintable(pty.errorString()));
        return result;
    }
    QFile::remove(outPath);
    QProcess reader;
    reader.setProcessEnvironment(cliEnvironment(dir, QString()));
    start(reader, pty.slavePath());
    if (!reader.waitForStarted())
        return result;
    QByteArray err;
    if (answerTrigger) {
        if (!QTest::qWaitFor([&] { return (err += reader.readAllStandardError()).contains(" opened"); }, FLOOD_START_MS)) {
            std::printf("the port did not open: %s\n", err.constData());
            return result;
        }
        // The trigger, and the inventory command the tool answers it with, not timed.
        floodWrite(pty.masterFd(), FLOOD_TRIGGER, qstrlen(FLOOD_TRIGGER));
        QByteArray command;
        bool hungUp = false;
        if (!QTest::qWaitFor([&] { return (command += pty.ReadAvailable(hungUp)).contains(FLOOD_COMMAND); }, FLOOD_START_MS)) {
            std::printf("no inventory for the trigger: %s\n", command.constData());
            return result;
        }
    } else {
        QTest::qWait(200);   // cat has opened the terminal
    }
    const double cpuBefore = cpuSeconds(reader.processId());
    QElapsedTimer clock;
    clock.start();
    const QByteArray echo = answerTrigger ? QByteArray(FLOOD_COMMAND) + "\r\n" : QByteArray();
    std::thread writer([&] { floodWrite(pty.masterFd(), echo.constData(), echo.size()) && floodWrite(pty.masterFd(), body.constData(), body.size()); });
    // The output is polled at its tail only: reading it all would load the machine measured.
    const int out = ::open(QFile::encodeName(outPath).constData(), O_RDONLY | O_CREAT, 0644);
    qint64 size = -1, doneAt = 0, lastChangeAt = 0;
    char tail[256];
    while (clock.elapsed() - lastChangeAt < FLOOD_STALL_MS) {
        const qint64 now = ::lseek(out, 0, SEEK_END);
        if (now != size) {
            size = now;
            lastChangeAt = clock.elapsed();
            const ssize_t n = ::pread(out, tail, sizeof tail, qMax<qint64>(0, now - qint64(sizeof tail)));
            if (n > 0 && QByteArrayView(tail, n).endsWith(lastLine)) {
                doneAt = clock.nsecsElapsed();
                break;
            }
        }
        ::usleep(500);
    }
    ::close(out);
    const double cpu = cpuSeconds(reader.processId()) - cpuBefore;
    result.residentKb = statusKb(reader.processId(), "VmRSS:");
    result.peakKb = statusKb(reader.processId(), "VmHWM:");
    writer.join();
    reader.terminate();
    reader.waitForFinished();
    if (doneAt == 0) {
        std::printf("the flood did not end in the output: %s\n", qPrintable(QString::fromLocal8Bit(err)));
        return result;
    }
    result.linesPerS = lines * 1e9 / doneAt;
    result.cpuUsPerLine = cpu * 1e6 / lines;
    verifyFlood(outPath, result);
    QFile::remove(outPath);
    return result;
}

// A row of the table; `goal` 0 for the pipe, which has none.
void printFlood(const char *path, const FloodResult &r, double pipe, double goal, qint64 lines)
{
    const bool goals = goal > 0;
    std::printf("%-17s %10.0f %9s %6.2f %7.2f %5s %7.1f %7.1f %5s  %lld of %lld in order", path, r.linesPerS,
                goals ? qPrintable(QString::number(goal, 'f', 0)) : "-", pipe > 0 ? r.linesPerS / pipe : 0.0,
                r.cpuUsPerLine, goals ? qPrintable(QString::number(GOAL_CPU_US_PER_LINE, 'f', 2)) : "-",
                r.residentKb / 1024.0, r.peakKb / 1024.0, goals ? qPrintable(QString::number(GOAL_RESIDENT_MB)) : "-",
                r.checked, lines);
    if (r.misplaced > 0)
        std::printf(", %lld misplaced", r.misplaced);
    std::printf("\n");
}

void watchFlood(const QTemporaryDir &dir, const QString &ports, qint64 lines)
{
    const QByteArray body = floodBody(lines);
    const QString outPath = dir.filePath("flood.out");
    const QString cli = binary("cli/rfid-lorix-cli");
    // The terminal as the last COM number of the private port map.
    const QString link = ports + QStringLiteral("/COM255");
    auto watch = [&](QStringList args, bool toFile) {
        return [=](QProcess &p, const QString &slave) {
            QDir().mkpath(ports);
            QFile::remove(link);
            QFile::link(slave, link);
            p.setStandardOutputFile(toFile ? outPath : QProcess::nullDevice());
            p.start(cli, QStringList{"watch", "--multi", "--port", "255"} + args);
        };
    };
    const FloodResult pipe = runFlood(dir, body, lines, false, [&](QProcess &p, const QString &slave) {
        p.setStandardOutputFile(outPath);
        p.start("cat", {slave});
    }, outPath, "$>");
    const FloodResult json = runFlood(dir, body, lines, true, watch({"--json"}, true), outPath, "\"line\":\"$>\"}\n");
    const FloodResult log = runFlood(dir, body, lines, true, watch({"--log", outPath}, false), outPath, "< $>\n");
    std::printf("watch at the pipe's pace: %lld distinct tag lines of %d bytes, one run\n", lines, FLOOD_TAG_DIGITS + 2);
    std::printf("%-17s %10s %9s %6s %7s %5s %7s %7s %5s  %s\n", "path", "lines/s", "goal", "/pipe", "us/line",
                "goal", "RSS MiB", "peak", "goal", "tag lines checked");
    printFlood("cat (the pipe)", pipe, pipe.linesPerS, 0, lines);
    printFlood("watch --json", json, pipe.linesPerS, GOAL_JSON_LINES_PER_S, lines);
    printFlood("watch --log FILE", log, pipe.linesPerS, GOAL_LOG_LINES_PER_S, lines);
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
    if (const int flood = option(args, "--watch-flood", 0); flood > 0) {
        watchFlood(dir, ports, flood);
        return 0;
    }

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
