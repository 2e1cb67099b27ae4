// rfid-lorix-cli watch --mqtt into a private mosquitto on this machine, each figure beside
// its reference in the same run (read the ratios):
//
//   messages/s       tag messages per second from one watch into the broker, counted by a
//                    subscriber (mosquitto_sub into a file: from the first message's arrival
//                    to the last), on one flood of --tags lines from the simulated reader;
//                    beside it the rate at which the same watch printed the flood
//   CPU per read     the command line's own CPU time (user and system, all its threads)
//                    for the flood with --mqtt (QoS 1, then QoS 0), beside the same watch
//                    --json without it
//   broker away      a flood of --million reads while the broker is down: the resident
//                    memory's peak beside watch --json's on the same flood, the queue on
//                    disk; then the broker comes back and the queue drains: messages
//                    acknowledged per second
//
//   ./build/bench/bench_publish [--tags 200000] [--million 1000000]

#include "tests/support/MqttBroker.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

constexpr int WAIT_LIMIT_MS = 600000;
constexpr int IDLE_LIMIT_MS = 5000;

QString binary(const char *relative)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../") + QLatin1String(relative);
}

// The process's CPU seconds (all threads) and its resident memory's peak.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
    // After the name: state is field 3, utime 14, stime 15 (1-based over the whole line).
    return (fields.value(12).toDouble() + fields.value(13).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

long statusKb(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    return -1;
}

struct FloodReader
{
    QProcess process;
    int comNumber = 0;

    bool start(const QString &ports, int tags)
    {
        process.start(binary("tools/reader-sim/reader-sim"), {"--ports-folder", ports, "--tags", QString::number(tags)});
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

// Serves the event loop until `count` reaches `wanted` or stays still for IDLE_LIMIT_MS; the
// milliseconds from its first change to its last.
qint64 countUntil(const std::function<qint64()> &count, qint64 wanted, const std::function<void()> &sample = {})
{
    QElapsedTimer clock;
    clock.start();
    qint64 seen = 0, firstAt = -1, lastAt = 0;
    while (seen < wanted && clock.elapsed() - lastAt < IDLE_LIMIT_MS && clock.elapsed() < WAIT_LIMIT_MS) {
        QTest::qWait(5);
        if (sample)
            sample();
        const qint64 now = count();
        if (now != seen) {
            seen = now;
            lastAt = clock.elapsed();
            if (firstAt < 0)
                firstAt = lastAt;
        }
    }
    return qMax<qint64>(1, lastAt - qMax<qint64>(0, firstAt));
}

struct Watch
{
    QProcess process;
    QString outPath;
    QFile out;
    qint64 lines = 0;
    qint64 tail = 0;          // where counting goes on in the file
    double cpuAtStart = 0;
    long peakKb = 0;

    bool start(const QTemporaryDir &dir, const QString &name, int port, const QStringList &extra)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_STATE_HOME", dir.filePath("state-" + name));
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.filePath("no-bus"));
        process.setProcessEnvironment(env);
        outPath = dir.filePath(name + ".json");
        process.setStandardOutputFile(outPath);
        process.start(binary("cli/rfid-lorix-cli"), QStringList{"watch", "--json", "--multi", "--port", QString::number(port)} + extra);
        QByteArray err;
        if (!QTest::qWaitFor([&] { return (err += process.readAllStandardError()).contains(" opened"); }, WAIT_LIMIT_MS)) {
            std::printf("%s: %s\n", qPrintable(name), err.constData());
            return false;
        }
        QTest::qWait(500);
        out.setFileName(outPath);
        out.open(QIODevice::ReadOnly);
        cpuAtStart = cpuSeconds(process.processId());
        return true;
    }
    qint64 countTags()
    {
        const QByteArray more = out.readAll();
        lines += more.count("\"class\":\"tag\"");
        return lines;
    }
    void sample() { peakKb = qMax(peakKb, statusKb(process.processId(), "VmRSS:")); }
    double cpu() const { return cpuSeconds(process.processId()) - cpuAtStart; }
    ~Watch()
    {
        process.terminate();
        process.waitForFinished(WAIT_LIMIT_MS);
    }
};

// One flood through watch --json --mqtt at the QoS given, a subscriber at the same QoS.
void live(const QTemporaryDir &dir, const QString &ports, const CMqttBroker &broker, int tags, int qos, double cpuPlain)
{
    FloodReader reader;
    QProcess subscriber;
    const QString received = dir.filePath(QStringLiteral("received-%1.txt").arg(qos));
    subscriber.setStandardOutputFile(received);
    subscriber.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-u", CMqttBroker::USER,
                                       "-P", CMqttBroker::PASSWORD, "-q", QString::number(qos), "-t", "rfid-lorix/+/+/tags"});
    Watch watch;
    const QString name = QStringLiteral("mqtt-qos%1").arg(qos);
    if (!reader.start(ports, tags) || !subscriber.waitForStarted()
        || !watch.start(dir, name, reader.comNumber,
                        {"--mqtt", broker.plainUrl(), "--mqtt-credentials", broker.credentialsFile(), "--mqtt-qos", QString::number(qos)}))
        return;
    QFile in(received);
    in.open(QIODevice::ReadOnly);
    qint64 messages = 0;
    // The broker's acknowledgements, as the queue's head file records them (QoS 1).
    QFile head(dir.filePath("state-" + name + "/rfid-lorix/mqtt/COM%1-tags/head").arg(reader.comNumber));
    QElapsedTimer clock;
    qint64 ackedAt = -1;
    reader.pullTrigger();
    clock.start();
    const qint64 ms = countUntil([&] { return messages += in.readAll().count('\n'); }, tags, [&] {
        if (ackedAt < 0 && head.open(QIODevice::ReadOnly) && head.readAll().trimmed().toLongLong() >= tags)
            ackedAt = clock.elapsed();
        head.close();
    });
    const double cpu = watch.cpu();
    watch.countTags();
    std::printf("watch --json --mqtt --mqtt-qos %d: %lld of %d messages at the subscriber, %.0f messages/s; CPU %.3f s "
                "(%.2f us a read), %+.1f%% against watch --json\n",
                qos, messages, tags, messages * 1000.0 / ms, cpu, cpu * 1e6 / qMax<qint64>(1, watch.lines),
                cpuPlain > 0 ? (cpu / cpuPlain - 1) * 100 : 0.0);
    if (ackedAt > 0)
        std::printf("  all %d taken by the broker %.2f s after the trigger: %.0f messages/s into the broker\n", tags,
                    ackedAt / 1000.0, tags * 1000.0 / ackedAt);
    subscriber.terminate();
    subscriber.waitForFinished();
}

int option(const QStringList &args, const char *name, int fallback)
{
    const int at = args.indexOf(QLatin1String(name));
    return at >= 0 && at + 1 < args.size() ? args[at + 1].toInt() : fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int tags = option(args, "--tags", 200000);
    const int million = option(args, "--million", 1000000);
    QTemporaryDir dir;
    const QString ports = dir.filePath("config/Local AppWizard-Generated Applications/ports");
    CMqttBroker broker(false);
    QString reason;
    if (!broker.start(&reason)) {
        std::printf("no broker: %s\n", qPrintable(reason));
        return 1;
    }
    const QStringList mqtt{"--mqtt", broker.plainUrl(), "--mqtt-credentials", broker.credentialsFile()};

    // The flood into watch --json alone, then the same with the broker.
    double cpuPlain = 0;
    {
        FloodReader reader;
        Watch watch;
        if (!reader.start(ports, tags) || !watch.start(dir, "plain", reader.comNumber, {}))
            return 1;
        reader.pullTrigger();
        const qint64 ms = countUntil([&] { return watch.countTags(); }, tags);
        cpuPlain = watch.cpu();
        std::printf("watch --json: %lld of %d tags, %.0f lines/s, CPU %.3f s (%.2f us a read)\n", watch.lines, tags,
                    watch.lines * 1000.0 / ms, cpuPlain, cpuPlain * 1e6 / qMax<qint64>(1, watch.lines));
    }
    live(dir, ports, broker, tags, 1, cpuPlain);
    live(dir, ports, broker, tags, 0, cpuPlain);

    // A million reads while the broker is away, beside watch --json's memory on the same.
    if (million > 0) {
        long plainPeak = 0;
        {
            FloodReader reader;
            Watch watch;
            if (!reader.start(ports, million) || !watch.start(dir, "plain-million", reader.comNumber, {}))
                return 1;
            reader.pullTrigger();
            countUntil([&] { return watch.countTags(); }, million, [&] { watch.sample(); });
            plainPeak = watch.peakKb;
        }
        broker.stop();
        FloodReader reader;
        Watch watch;
        if (!reader.start(ports, million) || !watch.start(dir, "away", reader.comNumber, mqtt))
            return 1;
        reader.pullTrigger();
        const qint64 ms = countUntil([&] { return watch.countTags(); }, million, [&] { watch.sample(); });
        QTest::qWait(1000);
        watch.sample();
        qint64 bytes = 0;
        const QString queue = dir.filePath("state-away/rfid-lorix/mqtt/COM%1-tags").arg(reader.comNumber);
        for (const QFileInfo &segment : QDir(queue).entryInfoList({"*.seg"}))
            bytes += segment.size();
        std::printf("broker away: %lld reads in %.1f s; resident peak %ld KiB against watch --json's %ld KiB (ratio %.2f); "
                    "queue on disk %.1f MB\n",
                    watch.lines, ms / 1000.0, watch.peakKb, plainPeak, plainPeak > 0 ? double(watch.peakKb) / plainPeak : 0.0,
                    bytes / 1e6);
        // The broker comes back: the queue drains, as the head file says.
        if (!broker.start(&reason)) {
            std::printf("broker does not come back: %s\n", qPrintable(reason));
            return 1;
        }
        QFile head(queue + "/head");
        const qint64 drainMs = countUntil([&] {
            head.open(QIODevice::ReadOnly);
            const qint64 at = head.readAll().trimmed().toLongLong();
            head.close();
            return at;
        }, watch.lines);
        head.open(QIODevice::ReadOnly);
        const qint64 drained = head.readAll().trimmed().toLongLong();
        std::printf("drain: %lld queued messages acknowledged in %.1f s, %.0f messages/s\n", drained, drainMs / 1000.0,
                    drained * 1000.0 / drainMs);
    }
    return 0;
}
