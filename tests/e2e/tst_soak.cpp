// The real main window under load and faults, offscreen, with the test as the reader on a
// pseudo-terminal: a stream of reader traffic in random pieces with every byte accounted
// for, the reader hanging up mid-stream, open/close cycles, and a second window asking for
// the port the first one holds. Sizes come from the environment so that scripts/soak.sh
// runs the long versions: RFID_SOAK_MIB (traffic), RFID_SOAK_CYCLES (open/close),
// RFID_SOAK_LONG=1 (also the CPU figure after a hang-up). Figures go out as "soak:" lines.

#include "app/LogView.h"
#include "tests/support/SoakSupport.h"

#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "link/SerialChannel.h"
#include "protocol/ReaderView.h"
#include "res/Resource.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>
#include <thread>
#include <utility>

namespace {

constexpr int COM_NUMBER = 201;
constexpr int TRY_MS = 20000;
constexpr qint64 MAX_GROWTH_KI_B = 10 * 1024;          // after warm-up, whatever the length
constexpr int MAX_PIECE = 4096;

// FNV-1a, 64 bits: a running checksum that sees order as well as content.
struct Checksum
{
    quint64 value = 1469598103934665603ULL;
    qint64 bytes = 0;
    void add(const char *data, qsizetype count)
    {
        for (qsizetype i = 0; i < count; ++i)
            value = (value ^ uchar(data[i])) * 1099511628211ULL;
        bytes += count;
    }
};

// The real window; what it logs in the received colour is checksummed on the way to the
// log view, and its engine's line-drop events are counted.
class CountingWindow : public CRFID_LorixDlg
{
public:
    template <class... Args>
    explicit CountingWindow(Args &&...args) : CRFID_LorixDlg(std::forward<Args>(args)...)
    {
        engine().installEventFilter(this);
    }
    Checksum received;
    QByteArray *receivedBytes = nullptr;   // when set, also keeps what was logged
    int lineDrops = 0;

    void AppendLog(const QString &text, LogKind kind) override
    {
        if (kind == LogKind::Received) {
            const QByteArray bytes = text.toLatin1();
            received.add(bytes.constData(), bytes.size());
            if (receivedBytes)
                receivedBytes->append(bytes);
        }
        CRFID_LorixDlg::AppendLog(text, kind);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (watched == &engine() && e->type() == WM_SERIAL_LINEDROP)
            ++lineDrops;
        return CRFID_LorixDlg::eventFilter(watched, e);
    }
};

// Reader traffic: tag-like lines of printable characters ending in CR LF, in pieces of
// random sizes. No blanks and no doubled CR, so what the window logs is exactly what was sent.
class TrafficSource
{
public:
    explicit TrafficSource(quint32 seed) : m_random(seed) {}

    QByteArray next()
    {
        while (m_pending.size() < MAX_PIECE) {
            m_pending += "E2003412" + QByteArray::number(m_random.generate(), 16).toUpper() + "\r\n";
            if (m_random.bounded(8) == 0)
                m_pending += "$trigger=" + QByteArray::number(m_random.bounded(3)) + "\r\n";
        }
        const int size = 1 + int(m_random.bounded(MAX_PIECE));
        QByteArray piece = m_pending.left(size);
        m_pending.remove(0, size);
        return piece;
    }

    // The rest of the line in progress: the window holds back text until its line ends.
    QByteArray rest() { return std::exchange(m_pending, QByteArray()); }

private:
    QRandomGenerator m_random;
    QByteArray m_pending;
};

// The window's background threads (the Bluetooth searches, D-Bus's own thread once a search
// first reaches for the bus) start and end in their own time, later on a loaded machine. A
// baseline of threads and descriptors is taken once both counts have held still for half a
// second; a leak per cycle or per megabyte still shows against it.
void WaitUntilSteady()
{
    constexpr int SAMPLE_MS = 100;
    constexpr int STEADY_SAMPLES = 5;
    constexpr int MOST_SAMPLES = 200;
    QPair<int, int> last{-1, -1};
    int steady = 0;
    for (int i = 0; i < MOST_SAMPLES && steady < STEADY_SAMPLES; ++i) {
        QTest::qWait(SAMPLE_MS);
        const QPair<int, int> now{Threads(), OpenDescriptors()};
        steady = now == last ? steady + 1 : 0;
        last = now;
    }
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void trafficAccountedFor();
    void hangUpMidStream();
    void openCloseCycles();
    void secondWindowRefused();
    void silentReaderRefusesCommands();

private:
    std::unique_ptr<CountingWindow> makeWindow();
    QString logText(CRFID_LorixDlg &window) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CSettingsStore> m_store;
    std::unique_ptr<CReaderLine> m_line;
};

void TestSoak::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<CSettingsStore>(m_dir->filePath("settings.ini"));
    m_store->WriteInt(CONFIG_SECTION, CONFIG_AUTO_START, 0);
    m_store->WriteInt(CONFIG_SECTION, CONFIG_ENABLE_WEDGE, 0);
    m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, COM_NUMBER);
    m_line = std::make_unique<CReaderLine>();
    if (!m_line->Open(m_dir->filePath("ports"), COM_NUMBER))
        QSKIP("no pseudo-terminal can be opened here");
}

void TestSoak::cleanup()
{
    m_line.reset();
    m_store.reset();
    m_dir.reset();
}

std::unique_ptr<CountingWindow> TestSoak::makeWindow()
{
    CRFID_LorixDlg::Environment env;
    env.ports.portsFolder = m_dir->filePath("ports");
    env.bluetooth.bluez.busAddress = "unix:path=" + m_dir->filePath("no-bus");
    env.keySink = [] { return std::make_shared<CNullKeySink>(); };
    env.nameBluetoothPorts = false;
    auto window = std::make_unique<CountingWindow>(*m_store, env);
    window->show();
    return window;
}

QString TestSoak::logText(CRFID_LorixDlg &window) const
{
    return qobject_cast<CLogView *>(window.control(IDC_LOG_VIEW))->toPlainText();
}

// Every byte written by the reader is logged, in order (same checksum and count); memory
// stays flat after the warm-up (which fills the log past its line bound) and no descriptor
// is left behind.
void TestSoak::trafficAccountedFor()
{
    const qint64 total = EnvNumber("RFID_SOAK_MIB", 6) << 20;
    const qint64 warmUp = std::min<qint64>(total / 2, qint64(8) << 20);
    auto window = makeWindow();
    window->OnOpenPort();
    QVERIFY(window->isPortOpen());

    Checksum sent;
    std::atomic<qint64> written{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> writeFailed{false};
    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        struct Done { std::atomic<bool> &flag; ~Done() { flag = true; } } done{writerDone};
        TrafficSource source(20240611);
        while (written.load() < total) {
            const QByteArray piece = source.next();
            if (!m_line->WriteAll(piece.constData(), std::size_t(piece.size()), &stop)) {
                writeFailed = true;
                return;
            }
            sent.add(piece.constData(), piece.size());
            written += piece.size();
            m_line->Drain();   // the commands a trigger makes the window send
        }
        const QByteArray rest = source.rest();
        if (!m_line->WriteAll(rest.constData(), std::size_t(rest.size()), &stop))
            writeFailed = true;
        sent.add(rest.constData(), rest.size());
    });
    struct Join { std::thread &t; std::atomic<bool> &stop; ~Join() { stop = true; if (t.joinable()) t.join(); } } join{writer, stop};

    QElapsedTimer timer;
    timer.start();
    QVERIFY(QTest::qWaitFor([&] { return window->received.bytes >= warmUp || writeFailed.load(); }, 10 * TRY_MS));
    WaitUntilSteady();
    const qint64 rssAfterWarmUp = ResidentKiB();
    const int fdsAfterWarmUp = OpenDescriptors();
    // The writer's last piece goes out only while this thread keeps taking what the window
    // receives: join it once it has finished, never while it may still be writing.
    QVERIFY(QTest::qWaitFor([&] { return writerDone.load(); }, 100 * TRY_MS));
    writer.join();
    QVERIFY(!writeFailed.load());
    // The reader keeps reading what the window sends (commands after trigger events).
    QVERIFY2(QTest::qWaitFor([&] { m_line->Drain(); return window->received.bytes >= sent.bytes; }, TRY_MS),
             qPrintable(QStringLiteral("%1 of %2 bytes logged").arg(window->received.bytes).arg(sent.bytes)));
    const qint64 elapsedMs = timer.elapsed();
    const qint64 growthKiB = ResidentKiB() - rssAfterWarmUp;

    QCOMPARE(window->received.bytes, sent.bytes);
    QCOMPARE(window->received.value, sent.value);
    QCOMPARE(OpenDescriptors(), fdsAfterWarmUp);
    qInfo("soak: traffic %lld bytes in %lld ms (%.1f MiB/s), checksum %016llx both sides, "
          "memory growth after warm-up %lld KiB, descriptors %d",
          sent.bytes, elapsedMs, double(sent.bytes) / (1 << 20) / (double(std::max<qint64>(elapsedMs, 1)) / 1000.0),
          sent.value, growthKiB, fdsAfterWarmUp);
    if (MEMORY_FIGURES_MEANINGFUL)
        QVERIFY2(growthKiB < MAX_GROWTH_KI_B, qPrintable(QString::number(growthKiB)));
    QVERIFY(window->isPortOpen());
    QCOMPARE(window->lineDrops, 0);
}

// The reader's side closes in the middle of a stream: the window sees one line drop and
// closes its port, and what it logged is what was sent, in order. Everything logged before
// the hang-up was asked for is exactly the start of what was sent. Input still queued in the
// terminal at the hang-up is the kernel's to discard, and it may discard a stretch in the
// middle of it: a read under way can still return bytes pushed after the discard. What
// follows such a stretch in the log must then be one later run of what was sent. An
// unfinished line stays held back until the drop, then is shown. (Long run: the process is
// nearly idle afterwards.)
void TestSoak::hangUpMidStream()
{
    auto window = makeWindow();
    QByteArray logged;
    window->receivedBytes = &logged;
    window->OnOpenPort();
    QVERIFY(window->isPortOpen());
    const qint64 hangUpAfter = qint64(1) << 20;
    QByteArray sent;
    std::atomic<bool> hangUpNow{false};
    std::atomic<bool> hungUp{false};
    QElapsedTimer sinceHangUp;
    std::thread writer([&] {
        TrafficSource source(7);
        while (!hangUpNow.load()) {
            const QByteArray piece = source.next();
            std::size_t written = 0;
            const bool whole = m_line->WriteAll(piece.constData(), std::size_t(piece.size()), &hangUpNow, &written);
            sent += piece.left(qsizetype(written));   // a piece cut by the hang-up went out in part
            if (!whole)
                break;
            m_line->Drain();
        }
        sinceHangUp.start();
        m_line->HangUp();
        hungUp = true;
    });
    struct Join { std::thread &t; std::atomic<bool> &stop; ~Join() { stop = true; if (t.joinable()) t.join(); } } join{writer, hangUpNow};
    QVERIFY(QTest::qWaitFor([&] { return window->received.bytes >= hangUpAfter; }, 10 * TRY_MS));
    const qint64 loggedBeforeHangUp = window->received.bytes;
    hangUpNow = true;
    QVERIFY(QTest::qWaitFor([&] { return hungUp.load(); }, TRY_MS));
    writer.join();
    QVERIFY(QTest::qWaitFor([&] { return !window->isPortOpen(); }, TRY_MS));
    const qint64 seenAfterMs = sinceHangUp.elapsed();
    QTest::qWait(200);
    QCOMPARE(window->lineDrops, 1);
    QCOMPARE(qint64(logged.size()), window->received.bytes);
    QVERIFY(logged.size() <= sent.size());
    qsizetype same = 0;
    while (same < logged.size() && logged.at(same) == sent.at(same))
        ++same;
    QVERIFY2(same >= loggedBeforeHangUp,
             qPrintable(QStringLiteral("differs at %1, %2 logged before the hang-up").arg(same).arg(loggedBeforeHangUp)));
    qsizetype discarded = 0;
    if (same < logged.size()) {
        const QByteArray after = logged.mid(same);
        const qsizetype resumed = sent.indexOf(after, same + 1);
        QVERIFY2(resumed > same, qPrintable(QStringLiteral("the last %1 bytes logged were not sent in that order")
                                                .arg(after.size())));
        discarded = resumed - same;
    }
    qInfo("soak: hang-up seen after %lld ms; %lld bytes sent, %lld logged, %lld in flight at the hang-up, "
          "%lld of them discarded before the last %lld logged",
          seenAfterMs, qint64(sent.size()), qint64(logged.size()), qint64(sent.size() - logged.size()),
          qint64(discarded), qint64(logged.size() - same));

    if (EnvNumber("RFID_SOAK_LONG", 0)) {
        const qint64 ticks = CpuTicks();
        QTest::qWait(5000);
        const double percent = 100.0 * double(CpuTicks() - ticks) / double(5 * TicksPerSecond());
        qInfo("soak: CPU in the 5 s after the hang-up %.1f%% of one core", percent);
    }
    QCOMPARE(window->lineDrops, 1);
}

// Opening and closing the port many times leaves no descriptor, thread or memory behind.
void TestSoak::openCloseCycles()
{
    const int cycles = int(EnvNumber("RFID_SOAK_CYCLES", 100));
    constexpr int WARM_UP_CYCLES = 10;
    auto window = makeWindow();
    auto cycle = [&] {
        window->OnOpenPort();
        const bool opened = window->isPortOpen();
        window->OnOpenPort();
        return opened && !window->isPortOpen();
    };
    for (int i = 0; i < WARM_UP_CYCLES; ++i)
        QVERIFY(cycle());
    WaitUntilSteady();
    const int fds = OpenDescriptors();
    const int threads = Threads();
    const qint64 rss = ResidentKiB();
    for (int i = 0; i < cycles; ++i) {
        QVERIFY2(cycle(), qPrintable(QString::number(i)));
        m_line->Drain();
        if (i % 100 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    const qint64 growthKiB = ResidentKiB() - rss;
    qInfo("soak: %d open/close cycles: descriptors %d -> %d, threads %d -> %d, memory growth %lld KiB",
          cycles, fds, OpenDescriptors(), threads, Threads(), growthKiB);
    QCOMPARE(OpenDescriptors(), fds);
    QCOMPARE(Threads(), threads);
    if (MEMORY_FIGURES_MEANINGFUL)
        QVERIFY2(growthKiB < 1024, qPrintable(QString::number(growthKiB)));
}

// The port is opened exclusively: a second window gets a refusal and says why in its log;
// the first keeps the port and its traffic.
void TestSoak::secondWindowRefused()
{
    auto first = makeWindow();
    auto second = makeWindow();
    first->OnOpenPort();
    QVERIFY(first->isPortOpen());
    second->OnOpenPort();
    QVERIFY(!second->isPortOpen());
    QVERIFY2(logText(*second).contains(QStringLiteral("Cannot open COM%1: the port is in use by another program").arg(COM_NUMBER)),
             qPrintable(logText(*second)));
    QVERIFY(first->isPortOpen());
    const QByteArray line = "E200AA55\r\n";
    QVERIFY(m_line->WriteAll(line.constData(), std::size_t(line.size())));
    QTRY_COMPARE_WITH_TIMEOUT(first->received.bytes, qint64(line.size()), TRY_MS);
    QCOMPARE(second->received.bytes, qint64(0));

    // Once the first lets go, the second gets the port.
    first->OnOpenPort();
    QVERIFY(!first->isPortOpen());
    second->OnOpenPort();
    QVERIFY(second->isPortOpen());
}

// A reader that never reads and a 2,040-character command sent 60 times: the window does
// not wait; what the queue cannot take is refused whole, each refusal logged as not sent and
// the stall explained once; once the reader reads, every accepted command arrives whole, in
// order.
void TestSoak::silentReaderRefusesCommands()
{
    auto window = makeWindow();
    window->OnOpenPort();
    QVERIFY(window->isPortOpen());
    QByteArray accepted;
    bool refused = false;
    for (int i = 0; i < 60; ++i) {
        const QString command = QString(2036, QChar('a' + i % 26)) + QString::number(1000 + i);
        const int written = window->SendCommand(command);
        QVERIFY(written == 0 || written == command.size() + 2);
        accepted += written ? command.toLatin1() + "\r\n" : QByteArray();
        refused = refused || written == 0;
        // Until the first refusal the port's thread moves what it can into the line (the
        // window's own work between sends once gave it that time): the stall then begins
        // on a full line and lasts.
        int inLine = 0;
        if (!refused)
            QTest::qWaitFor([&] { return ::ioctl(m_line->master(), FIONREAD, &inLine) == 0 && inLine >= accepted.size(); },
                            200);
    }
    QVERIFY(accepted.size() < 60 * 2042);
    QCOMPARE(logText(*window).count("reader is not reading"), 1);
    QCOMPARE(logText(*window).count("Not sent ("), 60 - int(accepted.size() / 2042));
    QByteArray got;
    char buffer[4096];
    QVERIFY(QTest::qWaitFor([&] {
        for (ssize_t n; (n = ::read(m_line->master(), buffer, sizeof buffer)) > 0;)
            got.append(buffer, n);
        return got.size() >= accepted.size();
    }, TRY_MS));
    QCOMPARE(got, accepted);
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
