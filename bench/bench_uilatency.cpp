// How late the main window's thread serves an event while a reader, a settings file or the
// operator loads it. The real window runs offscreen, its port a pseudo-terminal registered in
// the port map of a private folder; a reader peer written here plays each load on the other
// side. A probe thread posts a stamped event to the window's thread every 10 ms; the delay of
// each is the time from its post to its delivery, as a window manager's ping would see it.
//
//   QT_QPA_PLATFORM=offscreen ./build/bench/bench_uilatency [--load a,b,...] [--seconds N]
//                                                          [--settle N] [--no-x]
//
// Loads (names for --load):
//   idle          no traffic for 5 s: the machine's own noise
//   typing        a 5,000-tag inventory (24 hexadecimal digits a tag) answered to a trigger
//                 pull, Key Emulator Mode on; the keys go through XTest into a recording
//                 client on a private Xvfb, or into a counting sink without Xvfb or with --no-x
//   noend         1 MB/s of letters without a line end, 10 s
//   nul           NUL bytes as fast as the line takes them, 10 s
//   trigger500    500 trigger lines per second (pull and release alternate), 30 s
//   trigger100    100 trigger lines per second, 30 s
//   neverreads    a reader that never reads; a 2,040-character command sent 60 times, one
//                 every 100 ms, through the command box
//   tagflood      10 MB/s of tag lines, Key Emulator Mode off (all of it logged), 10 s
//   tagflood5     5 MB/s of distinct tag lines after an inventory command (all of it logged
//                 and counted by the tag monitor), 10 s
//   tagflood5monitor  the same with the tag monitor's window open, sorted by reads
//   settings      a 100 MB settings file; "ASCII Mode" clicked once
//   savelog       the largest log (8 million characters) saved with Save Log As
//   copylog       reference for savelog: the same log's text copied in one piece on the
//                 window's thread, as Save Log As once took it
//   savecatalogue a 50,000-command catalogue (about 19 MB) saved with "Save Data (xml)"
//   bytescatalogue reference for savecatalogue: the same catalogue turned into the file's
//                 bytes in one piece on the window's thread, as Save Data once did
//   savehtml      savelog with the file type "HTML with the log's colours": each line read
//                 back by the kinds of its pieces, escaped and put in spans
// --seconds N sets every timed load's duration to N seconds; --settle N is how long the
// window may take, after a load ends, to take in what the line accepted (default 120 s).
//
// Each load runs in a child process of its own (this program with --child), so each has a
// fresh window and its own peak resident memory. Per load it prints: the longest and the
// 99th-percentile delay; the peak resident memory (VmHWM); the bytes the reader offered,
// the bytes the line accepted, and of those the bytes the window had not taken in when the
// settle time ran out (lost). Delays move with the machine's load: read them beside idle.

#include "app/LogView.h"
#include "app/RFID_LorixDlg.h"
#include "monitor/TagTableModel.h"
#include "monitor/widgets/TagMonitorDlg.h"
#include "xml/XML.h"
#include "settings/SettingsStore.h"
#include "bench/LatencyProbe.h"
#include "wedge/KeySink.h"
#include "wedge/KeySinkX11.h"
#include "tools/reader-sim/PseudoTerminal.h"
#include "wedge/VirtualKeys.h"
#include "protocol/ReaderControl.h"
#include "res/Resource.h"
#include "tests/support/XvfbRecorder.h"
#include "wedge/KeyEmulator.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int COM_NUMBER = 250;
constexpr auto PROBE_PERIOD = 10ms;
constexpr auto PACE_PERIOD = 10ms;
constexpr int TYPING_TAGS = 5000;
constexpr int TAG_DIGITS = 24;
constexpr int LONG_COMMAND_CHARS = 2040;
constexpr int LONG_COMMAND_COUNT = 60;
constexpr int LONG_COMMAND_PERIOD_MS = 100;
constexpr qint64 SETTINGS_FILE_BYTES = 100LL * 1000 * 1000;

struct Options
{
    QStringList loads;
    int seconds = 0;          // 0: each load's own duration
    int settleSeconds = 120;
    bool useX = true;
};

// ---------------------------------------------------------------------------------------
// The reader's side of the line.

class CReaderPeer
{
public:
    ~CReaderPeer()
    {
        if (!m_link.isEmpty())
            QFile::remove(m_link);
    }

    bool Open(const QString &portsFolder, int number)
    {
        if (!m_pty.Open())
            return false;
        m_master = m_pty.masterFd();
        QDir().mkpath(portsFolder);
        m_link = portsFolder + QStringLiteral("/COM%1").arg(number);
        QFile::remove(m_link);
        return QFile::link(m_pty.slavePath(), m_link);
    }

    // Writes every byte unless `stop` is set first, waiting while the line is full; while
    // `drain` is on, what the window sends is read (and kept) meanwhile. Counts what the
    // line took in `accepted`.
    void Write(const char *bytes, std::size_t count, bool drain)
    {
        std::size_t done = 0;
        while (done < count && !stop.load()) {
            pollfd fd = {m_master, short(POLLOUT | (drain ? POLLIN : 0)), 0};
            if (::poll(&fd, 1, 20) <= 0)
                continue;
            if (fd.revents & POLLIN)
                ReadAvailable();
            if (!(fd.revents & POLLOUT))
                continue;
            const ssize_t n = ::write(m_master, bytes + done, count - done);
            if (n > 0) {
                done += std::size_t(n);
                accepted += n;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            }
        }
    }
    void Write(const QByteArray &bytes, bool drain) { Write(bytes.constData(), std::size_t(bytes.size()), drain); }

    // Reads what the window sent; waits up to `waitMs` for the first byte.
    void ReadAvailable(int waitMs = 0)
    {
        pollfd fd = {m_master, POLLIN, 0};
        if (waitMs > 0 && ::poll(&fd, 1, waitMs) <= 0)
            return;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(m_master, buffer, sizeof buffer)) > 0) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_received.append(buffer, n);
        }
    }

    QByteArray received()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_received;
    }

    std::atomic<bool> stop{false};
    std::atomic<qint64> accepted{0};
    std::atomic<qint64> offered{0};

private:
    CPseudoTerminal m_pty;   // the master side is the reader's end
    int m_master = -1;                 // m_pty's, non-blocking
    QString m_link;
    std::mutex m_mutex;
    QByteArray m_received;
};

// Calls `piece(tick)` every 10 ms for `seconds` and writes what it returns; a line that
// cannot keep up slows the writer, which does not catch up afterwards.
void Paced(CReaderPeer &peer, int seconds, bool drain, const std::function<QByteArray(qint64)> &piece)
{
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    Clock::time_point next = Clock::now();
    for (qint64 tick = 0; Clock::now() < end && !peer.stop.load(); ++tick) {
        const QByteArray bytes = piece(tick);
        peer.offered += bytes.size();
        peer.Write(bytes, drain);
        next = std::max(next + PACE_PERIOD, Clock::now());
        std::this_thread::sleep_until(next);
    }
}

QByteArray TagLine(qint64 number)
{
    QByteArray digits = QByteArray::number(number, 16).toUpper();
    return "E200" + QByteArray(TAG_DIGITS - 4 - digits.size(), '0') + digits + "\r\n";
}

// ---------------------------------------------------------------------------------------
// Key sinks for the typing load.

class CCountingSink final : public IKeySink
{
public:
    void SendKey(std::uint8_t virtualKey, std::uint8_t, KeyDirection direction) override
    {
        if (direction != KeyDirection::Press)
            return;
        ++presses;
        if (virtualKey == VK_RETURN)
            ++enters;
    }
    std::atomic<qint64> presses{0};
    std::atomic<qint64> enters{0};
};

// A private Xvfb with a recording client read on a thread of its own; the typed text is
// compared once typing ends.
struct CXTyping
{
    ~CXTyping() { Stop(); }

    bool Start(QString *reason)
    {
        if (!server.start(reason) || !recorder.open(server.displayName(), reason))
            return false;
        sink = std::make_shared<CKeySinkX11>(server.displayName());
        reading = std::thread([this] {
            std::size_t seen = 0;
            qint64 enterCount = 0;
            while (!stop.load()) {
                recorder.waitForKeys(recorder.presses().size() + 1, 100);
                for (const auto &presses = recorder.presses(); seen < presses.size(); ++seen)
                    enterCount += presses[seen].text == "\r";
                enters = enterCount;
            }
        });
        return true;
    }
    void Stop()
    {
        stop = true;
        if (reading.joinable())
            reading.join();
        recorder.close();   // before the server goes
    }

    CXvfbServer server;
    CXKeyRecorder recorder;
    std::shared_ptr<CKeySinkX11> sink;
    std::thread reading;
    std::atomic<bool> stop{false};
    std::atomic<qint64> enters{0};
};

// ---------------------------------------------------------------------------------------
// One load's run, in the child process.

struct Result
{
    double longestMs = 0;
    double p99Ms = 0;
    qint64 peakKiB = 0;
    qint64 offered = 0;
    qint64 accepted = 0;
    qint64 lost = 0;
    QString note;
};

qint64 PeakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

class CSession
{
public:
    explicit CSession(const Options &options) : m_options(options) {}
    ~CSession()
    {
        m_peer.stop = true;
        if (m_peerThread.joinable())
            m_peerThread.join();
        m_window.reset();
    }

    int duration(int ownSeconds) const { return m_options.seconds > 0 ? m_options.seconds : ownSeconds; }
    int settleMs() const { return m_options.settleSeconds * 1000; }
    CReaderPeer &peer() { return m_peer; }
    CRFID_LorixDlg &window() { return *m_window; }
    CLatencyProbe &probe() { return m_probe; }
    qint64 storeMs() const { return m_storeMs; }
    QString savedLogPath() const { return m_dir.filePath(QStringLiteral("saved-log.txt")); }
    QString cataloguePath() const { return m_dir.filePath(QStringLiteral("catalogue.xml")); }
    QString savedCataloguePath() const { return m_dir.filePath(QStringLiteral("saved-catalogue.xml")); }
    // The file type Save Log As is answered with; "": the dialog's first.
    void SetLogFileType(const QString &type) { m_logFileType = type; }

    // The settings file (with `paddingBytes` of other values in it), the window, its port open.
    // The key emulator types into `typingSink` (none: into nothing).
    bool OpenWindow(const QMap<QString, int> &config, qint64 paddingBytes, QString *reason,
                    std::shared_ptr<IKeySink> typingSink = nullptr)
    {
        if (!m_dir.isValid() || !m_peer.Open(m_dir.filePath(QStringLiteral("ports")), COM_NUMBER)) {
            *reason = QStringLiteral("no private folder or no pseudo-terminal");
            return false;
        }
        QFile file(m_dir.filePath(QStringLiteral("settings.ini")));
        if (!file.open(QIODevice::WriteOnly)) {
            *reason = file.errorString();
            return false;
        }
        QByteArray head = "[Config]\nComPort1=" + QByteArray::number(COM_NUMBER) + "\n";
        for (auto it = config.begin(); it != config.end(); ++it)
            head += it.key().toLatin1() + "=" + QByteArray::number(it.value()) + "\n";
        file.write(head);
        if (paddingBytes > 0) {
            file.write("[Padding]\n");
            const QByteArray value(100, 'v');
            for (qint64 i = 0, written = 0; written < paddingBytes; ++i) {
                const QByteArray line = "k" + QByteArray::number(i) + "=" + value + "\n";
                file.write(line);
                written += line.size();
            }
        }
        file.close();
        QElapsedTimer storeTimer;
        storeTimer.start();
        m_store = std::make_unique<CSettingsStore>(file.fileName());
        m_storeMs = storeTimer.elapsed();

        CRFID_LorixDlg::Environment env;
        env.ports.portsFolder = m_dir.filePath(QStringLiteral("ports"));
        env.ports.sysRoot = m_dir.path();
        env.bluetooth.bluez.busAddress = QStringLiteral("unix:path=") + m_dir.filePath(QStringLiteral("no-bus"));
        env.keySink = typingSink ? CKeySinkFactory([typingSink] { return typingSink; }) : CKeySinkFactory();
        env.nameBluetoothPorts = false;
        env.logSaveFile = [this](const QString &, const QString &, QString &chosen) {
            if (!m_logFileType.isEmpty())
                chosen = m_logFileType;
            return savedLogPath();
        };
        if (QFileInfo::exists(cataloguePath()))
            env.cataloguePath = cataloguePath();
        env.xmlSaveFile = [this](const QString &, const QString &) { return savedCataloguePath(); };
        m_window = std::make_unique<CRFID_LorixDlg>(*m_store, env);
        m_window->show();
        qobject_cast<QPushButton *>(m_window->control(IDC_OPEN_PORT))->click();
        if (!m_window->isPortOpen()) {
            *reason = QStringLiteral("the window did not open its port");
            return false;
        }
        RunFor(500);
        return true;
    }

    void StartPeer(std::function<void()> script)
    {
        m_peerThread = std::thread([this, script = std::move(script)] {
            script();
            m_peerDone = true;
        });
    }
    bool peerDone() const { return m_peerDone.load(); }
    void StopPeer()
    {
        m_peer.stop = true;
        if (m_peerThread.joinable())
            m_peerThread.join();
    }

    // Runs the window's event loop until `done` holds or `timeoutMs` passes; whether it held.
    bool RunUntil(const std::function<bool()> &done, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > timeoutMs)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        }
        return true;
    }
    void RunFor(int ms) { RunUntil([] { return false; }, ms); }

    // The line's bytes all taken in by the window, or the settle time gone.
    bool Settle()
    {
        return RunUntil([this] { return peerDone() && m_window->receivedRxBytes() >= m_peer.accepted.load(); }, settleMs());
    }

    Result Finish()
    {
        m_probe.Stop();
        Result r;
        std::vector<qint64> d = m_probe.delaysUs;
        std::sort(d.begin(), d.end());
        if (!d.empty()) {
            r.longestMs = double(d.back()) / 1000.0;
            r.p99Ms = double(d[std::min(d.size() - 1, std::size_t(double(d.size()) * 0.99))]) / 1000.0;
        }
        r.offered = m_peer.offered.load();
        r.accepted = m_peer.accepted.load();
        r.lost = std::max<qint64>(0, r.accepted - m_window->receivedRxBytes());
        r.peakKiB = PeakResidentKiB();
        return r;
    }

private:
    Options m_options;
    QTemporaryDir m_dir;
    CReaderPeer m_peer;
    std::unique_ptr<CSettingsStore> m_store;
    qint64 m_storeMs = 0;   // the store's reading of its file
    QString m_logFileType;
    std::unique_ptr<CRFID_LorixDlg> m_window;
    CLatencyProbe m_probe{PROBE_PERIOD};
    std::thread m_peerThread;
    std::atomic<bool> m_peerDone{false};
};

// A load that only streams bytes at the window: `piece(tick)` every 10 ms for `seconds`.
Result StreamLoad(CSession &s, int seconds, const std::function<QByteArray(qint64)> &piece, QString *reason,
                  const std::function<void()> &afterOpen = {})
{
    if (!s.OpenWindow({}, 0, reason))
        return {};
    if (afterOpen)
        afterOpen();
    s.probe().Start();
    s.StartPeer([&s, seconds, piece] { Paced(s.peer(), seconds, true, piece); });
    const bool settled = s.Settle();
    Result r = s.Finish();
    if (!settled)
        r.note = QStringLiteral("not taken in within the settle time");
    return r;
}

Result RunIdle(CSession &s, QString *reason)
{
    if (!s.OpenWindow({}, 0, reason))
        return {};
    s.probe().Start();
    s.RunFor(5000);
    return s.Finish();
}

Result RunTyping(CSession &s, bool useX, QString *reason)
{
    CXTyping x;
    QString xFailure;
    const bool withX = useX && x.Start(&xFailure);
    auto counting = std::make_shared<CCountingSink>();
    const std::shared_ptr<IKeySink> typingSink = withX ? std::shared_ptr<IKeySink>(x.sink) : counting;
    auto typedTags = [&] { return withX ? x.enters.load() : counting->enters.load(); };

    if (!s.OpenWindow({{QStringLiteral("EnableWedge"), 1}, {QStringLiteral("ReadMode"), 1}}, 0, reason, typingSink))
        return {};
    // The operator types into another program: while a window of the tool has the focus the
    // emulator types nothing.
    QApplication::setActiveWindow(nullptr);
    QByteArray answer = QByteArray(COMMAND_INVENTORY_MULTI) + "\r\n";
    QByteArray expectedText;
    for (int i = 0; i < TYPING_TAGS; ++i) {
        const QByteArray tag = TagLine(i);
        answer += tag;
        expectedText += tag.left(TAG_DIGITS) + "\r";
    }
    answer += "end=" + QByteArray::number(TYPING_TAGS) + "\r\n$>";

    s.probe().Start();
    s.StartPeer([&s, answer] {
        CReaderPeer &peer = s.peer();
        const QByteArray pull = "$trigger=1,0\r\n";
        peer.offered += pull.size();
        peer.Write(pull, true);
        const QByteArray command = QByteArray(COMMAND_INVENTORY_MULTI) + "\r\n";
        const Clock::time_point limit = Clock::now() + 30s;
        while (!peer.received().contains(command) && Clock::now() < limit && !peer.stop.load())
            peer.ReadAvailable(50);
        peer.offered += answer.size();
        peer.Write(answer, true);
    });
    QElapsedTimer typing;
    typing.start();
    const bool allTyped = s.RunUntil([&] { return typedTags() >= TYPING_TAGS; }, s.settleMs());
    const qint64 typingMs = typing.elapsed();
    s.Settle();
    Result r = s.Finish();
    if (withX) {
        x.Stop();
        const bool same = QByteArray::fromStdString(x.recorder.text()) == expectedText;
        r.note = QStringLiteral("XTest into Xvfb: %1 of %2 tags, %3 chars/s, text %4")
                     .arg(x.enters.load()).arg(TYPING_TAGS)
                     .arg(qint64(expectedText.size() * 1000.0 / std::max<qint64>(1, typingMs)))
                     .arg(same ? QStringLiteral("identical") : QStringLiteral("DIFFERENT"));
    } else {
        r.note = QStringLiteral("counting sink (%1): %2 of %3 tags")
                     .arg(useX ? xFailure : QStringLiteral("--no-x"))
                     .arg(counting->enters.load()).arg(TYPING_TAGS);
    }
    if (!allTyped)
        r.note += QStringLiteral(", not all typed within the settle time");
    return r;
}

Result RunNeverReads(CSession &s, QString *reason)
{
    if (!s.OpenWindow({}, 0, reason))
        return {};
    s.probe().Start();
    auto *box = qobject_cast<QComboBox *>(s.window().control(IDC_COMMAND_BOX));
    const QString command = QStringLiteral("w,") + QString(LONG_COMMAND_CHARS - 2, QLatin1Char('7'));
    int sent = 0;
    QTimer sender;
    QObject::connect(&sender, &QTimer::timeout, [&] {
        if (sent == LONG_COMMAND_COUNT)
            return;
        ++sent;
        box->setEditText(command);
        s.window().OnSend();
    });
    sender.start(LONG_COMMAND_PERIOD_MS);
    s.RunUntil([&] { return sent == LONG_COMMAND_COUNT; }, s.settleMs());
    s.RunFor(1000);
    Result r = s.Finish();
    // Now the reader reads: what of the commands reaches it.
    const Clock::time_point limit = Clock::now() + 5s;
    while (Clock::now() < limit) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        s.peer().ReadAvailable(20);
    }
    const qint64 expected = qint64(LONG_COMMAND_COUNT) * (LONG_COMMAND_CHARS + 2);
    r.note = QStringLiteral("%1 commands sent; %2 of %3 command bytes reached the reader once it read")
                 .arg(sent).arg(s.peer().received().size()).arg(expected);
    return r;
}

Result RunSettings(CSession &s, QString *reason)
{
    QElapsedTimer start;
    start.start();
    if (!s.OpenWindow({}, SETTINGS_FILE_BYTES, reason))
        return {};
    const qint64 startMs = start.elapsed();
    s.probe().Start();
    s.RunFor(500);
    QTimer::singleShot(0, [&s] { qobject_cast<QCheckBox *>(s.window().control(IDC_ASCII_MODE))->click(); });
    s.RunFor(3000);
    Result r = s.Finish();
    r.note = QStringLiteral("start-up with the file took %1 ms, %2 ms of it the store's reading (not in the delays)")
                 .arg(startMs).arg(s.storeMs());
    return r;
}

// The log filled to its character bound with 80-character lines, then saved through Save Log
// As (or, `atOnce`, its text only copied in one piece on the window's thread).
Result RunSaveLog(CSession &s, bool atOnce, QString *reason)
{
    if (!s.OpenWindow({}, 0, reason))
        return {};
    auto *log = qobject_cast<CLogView *>(s.window().control(IDC_LOG_VIEW));
    QString batch;
    for (int i = 0; i < 1000; ++i)
        batch += QString(78, QLatin1Char('L')) + QStringLiteral("\r\n");
    while (log->CharacterCount() < CLogView::KEEP_CHARS)
        s.window().AppendLog(batch, LogKind::Received);
    const qint64 logChars = log->CharacterCount();
    s.probe().Start();
    s.RunFor(500);
    qint64 copied = 0;
    QTimer::singleShot(0, [&] {
        if (atOnce)
            copied = log->toPlainText().size();
        else
            s.window().findChild<QAction *>(QStringLiteral("saveLog"))->trigger();
    });
    // The file is renamed into place once written whole.
    const QString path = s.savedLogPath();
    const bool done = s.RunUntil([&] { return atOnce ? copied > 0 : QFileInfo::exists(path); }, 60000);
    s.RunFor(500);
    Result r = s.Finish();
    r.note = !done ? QStringLiteral("not done within 60 s")
                   : QStringLiteral("%1 characters in the log; %2").arg(logChars).arg(
                         atOnce ? QStringLiteral("%1 copied").arg(copied)
                                : QStringLiteral("%1 bytes saved").arg(QFileInfo(path).size()));
    return r;
}

// A large catalogue: 50,000 commands of three parameters each, about 19 MB.
QByteArray LargeCatalogue()
{
    QByteArray text = "<?xml version=\"1.0\"?>\r\n<Catalogue name=\"Large\">\r\n";
    for (int g = 0; g < 500; ++g) {
        text += "  <Group name=\"Group " + QByteArray::number(g) + "\">\r\n";
        for (int c = 0; c < 100; ++c) {
            const QByteArray n = QByteArray::number(g * 100 + c);
            text += "    <Command name=\"Command " + n + " of the large catalogue\" instruction=\"cmd" + n
                    + "\">\r\n      What command " + n + " does, in a sentence or two of description.\r\n";
            for (int p = 1; p <= 3; ++p)
                text += "      <p" + QByteArray::number(p) + " name=\"Parameter " + QByteArray::number(p)
                        + "\" Default=\"" + QByteArray::number(p * 10) + "\">The parameter's meaning.</p"
                        + QByteArray::number(p) + ">\r\n";
            text += "    </Command>\r\n";
        }
        text += "  </Group>\r\n";
    }
    return text + "</Catalogue>\r\n";
}

Result RunSaveCatalogue(CSession &s, bool atOnce, QString *reason)
{
    const QByteArray file = LargeCatalogue();
    QFile out(s.cataloguePath());
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size()) {
        *reason = out.errorString();
        return {};
    }
    out.close();
    if (!s.OpenWindow({}, 0, reason))
        return {};
    // The reference's own copy of the tree, read before the measurement.
    CXML reference;
    if (atOnce) {
        QFile in(s.cataloguePath());
        in.open(QIODevice::ReadOnly);
        Load(reference, in, QString());
    }
    s.probe().Start();
    s.RunFor(500);
    qint64 made = 0;
    QTimer::singleShot(0, [&] {
        if (atOnce)
            made = XMLFileBytes(reference).size();
        else
            qobject_cast<QPushButton *>(s.window().control(IDC_SAVE_DATA))->click();
    });
    const QString path = s.savedCataloguePath();
    const bool done = s.RunUntil([&] {
        return atOnce ? made > 0 : QFileInfo::exists(path) && s.window().catalogueSavesPending() == 0;
    }, 60000);
    s.RunFor(500);
    Result r = s.Finish();
    r.note = !done ? QStringLiteral("not done within 60 s")
                   : QStringLiteral("%1 bytes of catalogue; %2").arg(file.size()).arg(
                         atOnce ? QStringLiteral("%1 bytes made").arg(made)
                                : QStringLiteral("%1 bytes saved").arg(QFileInfo(path).size()));
    return r;
}

Result RunLoad(const QString &name, const Options &options, QString *reason)
{
    CSession s(options);
    if (name == QLatin1String("idle"))
        return RunIdle(s, reason);
    if (name == QLatin1String("typing"))
        return RunTyping(s, options.useX, reason);
    if (name == QLatin1String("noend")) {
        // 10,000 bytes every 10 ms: 1 MB/s of capital letters, never a line end.
        return StreamLoad(s, s.duration(10), [](qint64 tick) {
            return QByteArray(10000, char('A' + tick % 26));
        }, reason);
    }
    if (name == QLatin1String("nul")) {
        const QByteArray zeros(256 * 1024, '\0');
        return StreamLoad(s, s.duration(10), [zeros](qint64) { return zeros; }, reason);
    }
    if (name == QLatin1String("trigger500") || name == QLatin1String("trigger100")) {
        const int perTick = name == QLatin1String("trigger500") ? 5 : 1;
        return StreamLoad(s, s.duration(30), [perTick](qint64 tick) {
            QByteArray lines;
            for (int i = 0; i < perTick; ++i)
                lines += (tick * perTick + i) % 2 == 0 ? "$trigger=1,0\r\n" : "$trigger=0,0\r\n";
            return lines;
        }, reason);
    }
    if (name == QLatin1String("neverreads"))
        return RunNeverReads(s, reason);
    if (name == QLatin1String("tagflood")) {
        // 100,000 bytes every 10 ms: 10 MB/s of distinct tag lines.
        const int perTick = 100000 / (TAG_DIGITS + 2);
        return StreamLoad(s, s.duration(10), [perTick](qint64 tick) {
            QByteArray lines;
            lines.reserve(perTick * (TAG_DIGITS + 2));
            for (int i = 0; i < perTick; ++i)
                lines += TagLine(tick * perTick + i);
            return lines;
        }, reason);
    }
    if (name == QLatin1String("tagflood5") || name == QLatin1String("tagflood5monitor")) {
        // 50,000 bytes every 10 ms: 5 MB/s of distinct tag lines, counted by the tag monitor
        // (an inventory was sent first); with the monitor's window open and sorted by reads,
        // descending, or closed.
        const bool monitor = name == QLatin1String("tagflood5monitor");
        const int perTick = 50000 / (TAG_DIGITS + 2);
        return StreamLoad(s, s.duration(10), [perTick](qint64 tick) {
            QByteArray lines;
            lines.reserve(perTick * (TAG_DIGITS + 2));
            for (int i = 0; i < perTick; ++i)
                lines += TagLine(tick * perTick + i);
            return lines;
        }, reason, [&s, monitor] {
            s.window().SendCommand(QString::fromLatin1(COMMAND_INVENTORY_MULTI));
            if (!monitor)
                return;
            for (QAction *action : s.window().actions()) {
                if (action->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_T))
                    action->trigger();
            }
            if (auto *dialog = s.window().findChild<CTagMonitorDlg *>())
                dialog->table()->sortByColumn(CTagTableModel::ReadsColumn, Qt::DescendingOrder);
        });
    }
    if (name == QLatin1String("settings"))
        return RunSettings(s, reason);
    if (name == QLatin1String("savelog") || name == QLatin1String("copylog"))
        return RunSaveLog(s, name == QLatin1String("copylog"), reason);
    if (name == QLatin1String("savecatalogue") || name == QLatin1String("bytescatalogue"))
        return RunSaveCatalogue(s, name == QLatin1String("bytescatalogue"), reason);
    if (name == QLatin1String("savehtml")) {
        s.SetLogFileType(QStringLiteral("HTML with the log's colours (*.html *.htm)"));
        return RunSaveLog(s, false, reason);
    }
    *reason = QStringLiteral("no such load");
    return {};
}

const QStringList ALL_LOADS = {QStringLiteral("idle"), QStringLiteral("typing"), QStringLiteral("noend"),
                               QStringLiteral("nul"), QStringLiteral("trigger500"), QStringLiteral("trigger100"),
                               QStringLiteral("neverreads"), QStringLiteral("tagflood"), QStringLiteral("tagflood5"),
                               QStringLiteral("tagflood5monitor"), QStringLiteral("settings"),
                               QStringLiteral("savelog"), QStringLiteral("copylog"), QStringLiteral("savehtml"),
                               QStringLiteral("savecatalogue"), QStringLiteral("bytescatalogue")};

// ---------------------------------------------------------------------------------------
// The parent: each load in a child, one table.

int RunChild(const QString &name, const Options &options)
{
    QString reason;
    const Result r = RunLoad(name, options, &reason);
    if (!reason.isEmpty()) {
        std::printf("RESULT\t%s\tFAILED\t%s\n", qPrintable(name), qPrintable(reason));
        return 1;
    }
    std::printf("RESULT\t%s\t%.1f\t%.1f\t%lld\t%lld\t%lld\t%lld\t%s\n", qPrintable(name), r.longestMs, r.p99Ms,
                r.peakKiB, r.offered, r.accepted, r.lost, qPrintable(r.note));
    std::fflush(stdout);
    // The window's threads and the port end with the process; nothing more to measure.
    std::_Exit(0);
}

int RunParent(const QStringList &arguments, const Options &options)
{
    std::printf("%-11s %11s %9s %9s %12s %12s %10s  %s\n", "load", "longest ms", "p99 ms", "peak MiB", "offered B",
                "accepted B", "lost B", "notes");
    std::fflush(stdout);
    int failures = 0;
    // Qt wants a private runtime folder; the children share one that goes with the run.
    QTemporaryDir runtimeDir;
    for (const QString &name : options.loads) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (!env.contains(QStringLiteral("XDG_RUNTIME_DIR")) && runtimeDir.isValid())
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--child"), name} + arguments);
        child.waitForFinished(-1);
        QList<QByteArray> fields;
        for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
            if (line.startsWith("RESULT\t"))
                fields = line.split('\t');
        }
        if (fields.size() < 9) {
            ++failures;
            std::printf("%-11s FAILED %s\n", qPrintable(name),
                        fields.size() > 3 ? fields.at(3).constData() : "(the child ended without a result)");
        } else {
            std::printf("%-11s %11s %9s %9.0f %12s %12s %10s  %s\n", qPrintable(name), fields.at(2).constData(),
                        fields.at(3).constData(), fields.at(4).toDouble() / 1024.0, fields.at(5).constData(),
                        fields.at(6).constData(), fields.at(7).constData(), fields.at(8).constData());
        }
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Options options;
    options.loads = ALL_LOADS;
    QStringList passOn;   // options the children get too
    QString child;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const QString value = args.value(i + 1);
        if (a == QLatin1String("--child")) {
            child = value;
            ++i;
        } else if (a == QLatin1String("--load")) {
            options.loads = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
            ++i;
        } else if (a == QLatin1String("--seconds") || a == QLatin1String("--settle")) {
            (a == QLatin1String("--seconds") ? options.seconds : options.settleSeconds) = value.toInt();
            passOn << a << value;
            ++i;
        } else if (a == QLatin1String("--no-x")) {
            options.useX = false;
            passOn << a;
        } else {
            std::fprintf(stderr, "usage: %s [--load %s] [--seconds N] [--settle N] [--no-x]\n", argv[0],
                         qPrintable(ALL_LOADS.join(QLatin1Char(','))));
            return 2;
        }
    }
    if (!child.isEmpty())
        return RunChild(child, options);
    return RunParent(passOn, options);
}
