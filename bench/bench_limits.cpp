// Close to the limit, in one run, each figure beside its goal and the pseudo-terminal's own
// pace measured in the same run:
//
//   pipe     the pseudo-terminal itself: a thread writes tag lines into the master as fast
//            as it takes them, another reads the slave and counts them (as `cat` would)
//   window   the real main window, shown (offscreen), its log shown and the tag monitor's
//            window closed, taking in a flood of N distinct tag lines (24 hexadecimal digits
//            and CR LF: 26 bytes) from the simulated reader (the program): lines a second,
//            its thread's CPU time per line, every line counted by the engine's tag monitor,
//            the log's bytes per line held, the resident memory at the end
//   monitor  the same with the tag monitor's window open, sorted by reads (descending)
//   sim      the simulated reader at 1,000 to 1,000,000 tags a second (two seconds of tags
//            each): the rate it kept from its first tag to its last, against the rate asked
//
//   QT_QPA_PLATFORM=offscreen ./build/bench/bench_limits [--lines N] [--parts pipe,window,monitor,sim]
//
// N is 5,000,000 unless given. The window parts run in child processes of their own (this
// program with --child), so that each has a fresh heap and its own resident figure.

#include "app/LogView.h"
#include "app/RFID_LorixDlg.h"
#include "engine/ReaderEngine.h"
#include "monitor/TagMonitor.h"
#include "monitor/TagTableModel.h"
#include "monitor/widgets/TagMonitorDlg.h"
#include "res/Resource.h"
#include "settings/SettingsStore.h"
#include "tools/reader-sim/PseudoTerminal.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int TAG_DIGITS = 24;
constexpr int LINE_BYTES = TAG_DIGITS + 2;
constexpr int WAIT_LIMIT_MS = 600000;
constexpr int IDLE_LIMIT_MS = 5000;
constexpr int SIM_SECONDS = 2;

// The goals.
constexpr double WINDOW_LINES_GOAL = 500000;      // lines a second, at least
constexpr double WINDOW_CPU_GOAL_US = 2.0;        // of the window's thread per line, at most
constexpr double LOG_BYTES_GOAL = 300;            // per line held, at most
constexpr double WINDOW_MB_GOAL = 150;            // resident, monitor open, at most
constexpr double SIM_DEVIATION_GOAL = 0.05;

QString binary(const char *relative)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../") + QLatin1String(relative);
}

// Serves the event loop until `done` or `ms` have passed.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(500);
    }
    return done();
}

void pump(int ms)
{
    waitFor([] { return false; }, ms);
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// Tag lines as the simulated reader writes them, `count` of them from serial `first` on.
QByteArray tagLines(qint64 first, int count)
{
    QByteArray all;
    all.reserve(qsizetype(count) * LINE_BYTES);
    for (qint64 i = first; i < first + count; ++i)
        all += "E200" + QByteArray::number(i, 16).toUpper().rightJustified(TAG_DIGITS - 4, '0') + "\r\n";
    return all;
}

// ---------------------------------------------------------------------------------------
// The pipe: the pseudo-terminal's own pace.

struct PipeResult
{
    double linesPerSecond = 0;
    double readerCpuUs = 0;
};

PipeResult runPipe(qint64 lines)
{
    CPseudoTerminal pty;
    if (!pty.Open())
        return {};
    const int slave = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return {};
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    constexpr int BLOCK_LINES = 1 << 16;
    const QByteArray block = tagLines(0, BLOCK_LINES);
    std::atomic<double> readerCpu{0};
    qint64 counted = 0;
    QElapsedTimer clock;
    clock.start();
    std::thread reader([&] {
        const double before = threadCpuSeconds();
        std::vector<char> buffer(1 << 16);
        while (counted < lines) {
            const ssize_t n = ::read(slave, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            counted += std::count(buffer.data(), buffer.data() + n, '\n');
        }
        readerCpu = threadCpuSeconds() - before;
    });
    for (qint64 sent = 0; sent < lines; sent += BLOCK_LINES) {
        const qint64 now = std::min<qint64>(BLOCK_LINES, lines - sent);
        if (!pty.WriteAll(block.left(qsizetype(now) * LINE_BYTES)))
            break;
    }
    reader.join();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    ::close(slave);
    return {double(counted) / seconds, readerCpu * 1e6 / double(std::max<qint64>(1, counted))};
}

// ---------------------------------------------------------------------------------------
// The window under a flood from the simulated reader (the program: it writes the whole
// inventory in one blocking write, which would stall a receiver on this thread).

struct FloodReader
{
    QProcess process;
    int comNumber = 0;

    bool start(const QString &ports, qint64 tags)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(binary("tools/reader-sim/reader-sim"), {"--ports-folder", ports, "--tags", QString::number(tags),
                                                              "--tag-digits", QString::number(TAG_DIGITS)});
        if (!process.waitForStarted() || !waitFor([&] { return process.canReadLine(); }, 30000))
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

int runWindow(qint64 lines, bool monitorOpen)
{
    QTemporaryDir home;
    const QString ports = home.filePath(QStringLiteral("ports"));
    FloodReader reader;
    if (!reader.start(ports, lines)) {
        std::printf("RESULT failed: no simulated reader\n");
        return 1;
    }
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
    if (monitorOpen) {
        for (QAction *action : window.actions()) {
            if (action->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_T))
                action->trigger();
        }
        if (window.tagMonitorWindow() != nullptr)
            window.tagMonitorWindow()->table()->sortByColumn(CTagTableModel::ReadsColumn, Qt::DescendingOrder);
    }
    pump(300);
    const CTagMonitor &monitor = window.tagMonitor();
    qint64 firstAt = -1, lastAt = 0;
    QElapsedTimer clock;
    clock.start();
    window.engine().protocol().setDispatchObserver([&](CResponseDispatcher::LineClass c, const QString &) {
        if (c != CResponseDispatcher::TagData)
            return;
        lastAt = clock.nsecsElapsed();
        if (firstAt < 0)
            firstAt = lastAt;
    });
    window.OnOpenPort();
    if (!window.isPortOpen()) {
        std::printf("RESULT failed: the port did not open\n");
        return 1;
    }
    const qint64 rssBefore = statusKiB("VmRSS:");
    const double cpuBefore = threadCpuSeconds();
    reader.pullTrigger();
    // Until every line is counted, or nothing moved for a while.
    qint64 seen = 0;
    QElapsedTimer idle;
    idle.start();
    while (qint64(monitor.Reads()) < lines && idle.elapsed() < IDLE_LIMIT_MS && clock.elapsed() < WAIT_LIMIT_MS) {
        pump(5);
        if (qint64(monitor.Reads()) != seen) {
            seen = qint64(monitor.Reads());
            idle.restart();
        }
    }
    const double cpu = threadCpuSeconds() - cpuBefore;
    pump(200);   // a last paint of the full log and table
    const auto *log = qobject_cast<CLogView *>(window.control(IDC_LOG_VIEW));
    const qint64 counted = qint64(monitor.Reads());
    std::printf("RESULT lines=%lld counted=%lld distinct=%d others=%llu lines_per_s=%.0f cpu_us_per_line=%.3f "
                "log_lines=%d log_bytes_per_line=%.1f rss_mb=%.1f rss_growth_mb=%.1f peak_mb=%.1f monitor_mb=%.1f\n",
                lines, counted, monitor.DistinctTags(), (unsigned long long)monitor.OtherReads(),
                double(counted - 1) * 1e9 / double(std::max<qint64>(1, lastAt - firstAt)),
                cpu * 1e6 / double(std::max<qint64>(1, counted)), log->LineCount(),
                double(log->MemoryBytes()) / log->LineCount(), statusKiB("VmRSS:") / 1024.0,
                (statusKiB("VmRSS:") - rssBefore) / 1024.0, statusKiB("VmHWM:") / 1024.0,
                double(monitor.MemoryBytes()) / 1048576.0);
    std::fflush(stdout);
    // The reader goes with the window; nothing else is worth waiting for.
    reader.process.kill();
    reader.process.waitForFinished();
    std::_Exit(0);
}

// ---------------------------------------------------------------------------------------
// The simulated reader's pace: the program asked for `rate` tags a second, read here.

double runSim(int rate)
{
    QTemporaryDir home;
    const qint64 tags = qint64(rate) * SIM_SECONDS;
    QProcess sim;
    sim.start(binary("tools/reader-sim/reader-sim"),
              {"--ports-folder", home.filePath("ports"), "--tags", QString::number(tags), "--rate", QString::number(rate),
               "--tag-digits", QString::number(TAG_DIGITS)});
    if (!sim.waitForStarted() || !waitFor([&] { return sim.canReadLine(); }, 30000))
        return 0;
    const QString path = QString::fromLatin1(sim.readLine()).section(' ', 1, 1).trimmed();
    const int line = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line < 0)
        return 0;
    termios raw{};
    ::tcgetattr(line, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(line, TCSANOW, &raw);
    const char command[] = "i,0,0,0\r\n";
    if (::write(line, command, sizeof(command) - 1) != ssize_t(sizeof(command) - 1))
        return 0;
    // Tag lines start with the EPC's prefix; the echo and the end line do not.
    qint64 seen = 0, firstAt = -1, lastAt = 0;
    QElapsedTimer clock;
    clock.start();
    std::vector<char> buffer(1 << 16);
    QByteArray partial;
    while (seen < tags && clock.elapsed() < qint64(SIM_SECONDS) * 5000 + 10000) {
        pollfd p{line, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        const ssize_t n = ::read(line, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        const qint64 now = clock.nsecsElapsed();
        partial.append(buffer.data(), n);
        qsizetype from = 0;
        for (qsizetype end; (end = partial.indexOf('\n', from)) >= 0; from = end + 1) {
            if (partial.at(from) == 'E') {
                if (firstAt < 0)
                    firstAt = now;
                lastAt = now;
                ++seen;
            }
        }
        partial.remove(0, from);
    }
    ::close(line);
    sim.terminate();
    sim.waitForFinished();
    if (seen < tags)
        std::printf("  (the reader sent %lld of %lld tags)\n", seen, tags);
    // The first tag goes one tick in: the span from it to the last holds seen - 1 intervals.
    return double(seen - 1) * 1e9 / double(std::max<qint64>(1, lastAt - firstAt));
}

double field(const QByteArray &line, const char *name)
{
    for (const QByteArray &part : line.split(' ')) {
        if (part.startsWith(QByteArray(name) + '='))
            return part.mid(qsizetype(std::strlen(name)) + 1).toDouble();
    }
    return 0;
}

QByteArray runChild(const QString &part, qint64 lines)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {"--child", part, "--lines", QString::number(lines)});
    child.waitForFinished(-1);
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        if (line.startsWith("RESULT "))
            return line;
    }
    return {};
}

const char *verdict(bool met)
{
    return met ? "met" : "NOT MET";
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qint64 lines = 5000000;
    QStringList parts{"pipe", "window", "monitor", "sim"};
    QString child;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--lines"))
            lines = std::max<qint64>(1000, args[i + 1].toLongLong());
        else if (args[i] == QLatin1String("--parts"))
            parts = args[i + 1].split(u',', Qt::SkipEmptyParts);
        else if (args[i] == QLatin1String("--child"))
            child = args[i + 1];
    }
    if (!child.isEmpty())
        return runWindow(lines, child == QLatin1String("monitor"));

    std::printf("%lld distinct tag lines of %d bytes\n", lines, LINE_BYTES);
    // The pipe's pace comes first and is the yardstick of the rest.
    const PipeResult pipe = runPipe(lines);
    std::printf("pipe: %.0f lines/s, its reader %.3f us CPU per line\n", pipe.linesPerSecond, pipe.readerCpuUs);
    std::fflush(stdout);
    auto ofPipe = [&pipe](double v) { return pipe.linesPerSecond > 0 ? 100.0 * v / pipe.linesPerSecond : 0.0; };
    for (const QString &part : parts) {
        if (part != QLatin1String("window") && part != QLatin1String("monitor"))
            continue;
        const QByteArray r = runChild(part, lines);
        if (r.isEmpty() || r.contains("failed")) {
            std::printf("%s: %s\n", qPrintable(part), r.isEmpty() ? "no result" : r.constData());
            continue;
        }
        const double perSecond = field(r, "lines_per_s");
        const double cpu = field(r, "cpu_us_per_line");
        const double counted = field(r, "counted");
        const double logBytes = field(r, "log_bytes_per_line");
        const double rss = field(r, "rss_mb");
        std::printf("%s (%s): %.0f lines/s, %.1f%% of the pipe (goal >= %.0f: %s); %.2f us of its thread per line "
                    "(goal <= %.1f: %s)\n",
                    qPrintable(part), part == QLatin1String("monitor") ? "monitor open" : "log shown, monitor closed",
                    perSecond, ofPipe(perSecond), WINDOW_LINES_GOAL, verdict(perSecond >= WINDOW_LINES_GOAL), cpu,
                    WINDOW_CPU_GOAL_US, verdict(cpu <= WINDOW_CPU_GOAL_US));
        std::printf("  counted by the engine: %.0f of %lld lines (lost %.0f); %.0f distinct tags held, %.0f reads of others\n",
                    counted, lines, double(lines) - counted, field(r, "distinct"), field(r, "others"));
        std::printf("  log: %.0f lines held, %.1f bytes per line (goal <= %.0f: %s)\n", field(r, "log_lines"), logBytes,
                    LOG_BYTES_GOAL, verdict(logBytes <= LOG_BYTES_GOAL));
        std::printf("  resident %.1f MB (peak %.1f MB, the monitor's arrays %.1f MB)", rss, field(r, "peak_mb"),
                    field(r, "monitor_mb"));
        if (part == QLatin1String("monitor"))
            std::printf(" (goal <= %.0f MB with the log full and the monitor open: %s)", WINDOW_MB_GOAL,
                        verdict(rss <= WINDOW_MB_GOAL));
        std::printf("\n");
        std::fflush(stdout);
    }
    if (parts.contains(QLatin1String("sim"))) {
        for (const int rate : {1000, 10000, 100000, 1000000}) {
            const double kept = runSim(rate);
            const double off = (kept - rate) / rate;
            std::printf("reader-sim asked %d tags/s: kept %.0f (%+.1f%%, goal within %.0f%%: %s), %.2f%% of the pipe\n",
                        rate, kept, off * 100, SIM_DEVIATION_GOAL * 100, verdict(std::abs(off) <= SIM_DEVIATION_GOAL),
                        ofPipe(kept));
            std::fflush(stdout);
        }
    }
    return 0;
}
