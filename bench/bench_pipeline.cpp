// The receive path end to end, offscreen: a pseudo-terminal, the serial channel with its
// reader thread, the ring buffer, response assembly and dispatch, and the traffic log.
// Lines of 70-byte tags (68 hexadecimal digits and CR LF) per second, written by a thread
// into the terminal's master:
//
//   BM_TagLinesThroughPipeline  the path as the window had it before the reader engine was
//                               its own: the window's handler, the dispatcher, the log view
//   BM_TagLinesThroughEngine    the reader engine alone (what a command line or a service
//                               runs): its log signal goes nowhere
//   BM_TagLinesThroughWindow    the real main window: the engine, its signal, the log view
//
// The log's own cost per line at 10^4 to 10^6 lines is bench_applog's.

#include "app/LogView.h"
#include "app/RFID_LorixDlg.h"
#if __has_include("settings/SettingsStore.h")
#include "settings/SettingsStore.h"
#else
#include "app/SettingsStore.h"
#endif
#if __has_include("engine/ReaderEngine.h")
#include "engine/ReaderEngine.h"
#define RFID_HAVE_ENGINE 1
#endif
#include "link/SerialChannel.h"
#if __has_include("tools/reader-sim/PseudoTerminal.h")
#include "tools/reader-sim/PseudoTerminal.h"
#else
#include "platform/PseudoTerminal.h"
#endif
#include "protocol/ReaderView.h"
#include "protocol/ResponseDispatcher.h"
#include "protocol/TagTyper.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <thread>

namespace {

constexpr int TAG_DIGITS = 68;          // with CR LF: 70 bytes a line
constexpr int LINES_PER_BATCH = 20000;
constexpr int WAIT_LIMIT_MS = 60000;
constexpr qsizetype WRITE_SLICE = 16384;

// The window's own event for the next slice, as the main window posts it.
class CSliceEvent final : public QEvent
{
public:
    CSliceEvent() : QEvent(WM_SERIAL_RXDATA) {}
};

// The window's part of the path, as the main window's receive handler does it: at most
// RX_SLICE_BYTES from the ring per posted event, one more event of its own for the rest (the
// reader thread's posts wait while it is queued), each slice to the dispatcher, which logs
// every tag line (key emulator off).
class CPipelineWindow : public QObject, public IReaderView, public ITagTyper
{
public:
    CPipelineWindow()
        : m_log(std::make_unique<CLogView>())
        , m_protocol(*this, *this)
    {
        m_protocol.setDispatchObserver([this](CResponseDispatcher::LineClass, const QString &) { ++lines; });
    }

    bool event(QEvent *e) override
    {
        if (e->type() != WM_SERIAL_RXDATA)
            return QObject::event(e);
        const bool ours = dynamic_cast<CSliceEvent *>(e) != nullptr;
        if (ours)
            m_sliceQueued = false;
        if (!ours && m_sliceQueued)
            return true;
        const QByteArray bytes = channel.TakePending(RX_SLICE_BYTES);
        if (!bytes.isEmpty()) {
            if (channel.PendingBytes() > 0 && !m_sliceQueued) {
                m_sliceQueued = true;
                QCoreApplication::postEvent(this, new CSliceEvent);
            }
            m_protocol.OnSerialData(bytes);
        }
        return true;
    }

    void AppendLog(const QString &text, LogKind kind) override { m_log->AppendLog(text, kind); }
    void SetCommandText(const QString &) override {}
    void OnSend() override {}
    // A command was sent once, so tag lines are not taken for its echo.
    QString LastCommand() const override { return QStringLiteral("i,0,0,0"); }
    bool IsTypingOn() const override { return false; }
    bool IsMultiModeChecked() const override { return true; }
    void SetTxPower(int) override {}
    int TxPower() const override { return 0; }
    void TypeTag(const QString &, const QByteArray &) override {}
    void TypeScan(const QString &) override {}

    CSerialChannel channel;
    qint64 lines = 0;

private:
    std::unique_ptr<CLogView> m_log;
    CResponseDispatcher m_protocol;
    bool m_sliceQueued = false;
};

QByteArray tagBatch(int count)
{
    QByteArray batch;
    batch.reserve(qsizetype(count) * (TAG_DIGITS + 2));
    for (int i = 0; i < count; ++i) {
        QByteArray tag = QByteArray::number(i, 16).toUpper();
        batch += QByteArray(TAG_DIGITS - tag.size(), 'E') + tag + "\r\n";
    }
    return batch;
}

// Feeds batches of tag lines into `pty` until `lines()` has counted each batch. The channel
// drops a chunk that does not fit its ring (there is no flow control on the line), so the
// writer holds back while the ring is half full: the figure is the pace the receiver keeps up
// with, not the pace of a writer that outruns it.
template <class Lines, class Pending>
void feedBatches(benchmark::State &state, CPseudoTerminal &pty, Lines lines, Pending pending)
{
    const QByteArray batch = tagBatch(LINES_PER_BATCH);
    for (auto _ : state) {
        const qint64 target = lines() + LINES_PER_BATCH;
        std::thread writer([&pty, &batch, &pending] {
            for (qsizetype at = 0; at < batch.size(); at += WRITE_SLICE) {
                while (pending() > RX_BUFFER_SIZE / 2)
                    std::this_thread::yield();
                pty.WriteAll(batch.mid(at, WRITE_SLICE));
            }
        });
        QElapsedTimer limit;
        limit.start();
        while (lines() < target && limit.elapsed() < WAIT_LIMIT_MS)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        writer.join();
        if (lines() < target) {
            state.SkipWithError("lines were lost on the way");
            break;
        }
    }
    state.counters["lines/s"] = benchmark::Counter(double(state.iterations()) * LINES_PER_BATCH,
                                                   benchmark::Counter::kIsRate);
}

void BM_TagLinesThroughPipeline(benchmark::State &state)
{
    CPseudoTerminal pty;
    if (!pty.Open()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    CPipelineWindow window;
    window.channel.SetOwnerWindow(&window);
    if (!window.channel.Open(pty.slavePath(), 115200, 8, 0, 0)) {
        state.SkipWithError("the channel did not open the terminal");
        return;
    }
    feedBatches(state, pty, [&] { return window.lines; }, [&] { return window.channel.PendingBytes(); });
    window.channel.Close();
}
BENCHMARK(BM_TagLinesThroughPipeline)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The terminal as COM200 of a private port map.
constexpr int BENCH_PORT = 200;

bool mapPort(const QTemporaryDir &dir, const CPseudoTerminal &pty)
{
    return QDir().mkpath(dir.filePath("ports"))
           && QFile::link(pty.slavePath(), dir.filePath(QStringLiteral("ports/COM%1").arg(BENCH_PORT)));
}

#ifdef RFID_HAVE_ENGINE
class CBenchFrontEnd : public IReaderFrontEnd
{
public:
    int PortToUse() override { return BENCH_PORT; }
};

void BM_TagLinesThroughEngine(benchmark::State &state)
{
    CPseudoTerminal pty;
    QTemporaryDir dir;
    if (!pty.Open() || !mapPort(dir, pty)) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    CBenchFrontEnd frontEnd;
    CReaderEngine::Environment env;
    env.ports.portsFolder = dir.filePath("ports");
    env.bluetooth.bluez.busAddress = QStringLiteral("unix:path=") + dir.filePath("no-bus");
    env.queryBluetooth = false;
    CReaderEngine engine(frontEnd, env);
    qint64 lines = 0;
    engine.protocol().setDispatchObserver([&](CResponseDispatcher::LineClass, const QString &) { ++lines; });
    engine.OpenPort();
    // A command was sent once, so tag lines are not taken for its echo.
    if (!engine.IsOpen() || engine.SendCommand(QStringLiteral("i,0,0,0")) == 0) {
        state.SkipWithError("the engine did not open the terminal");
        return;
    }
    bool hungUp = false;
    pty.ReadAvailable(hungUp);   // the command, from the master's input
    feedBatches(state, pty, [&] { return lines; }, [&] { return engine.pendingRxBytes(); });
}
BENCHMARK(BM_TagLinesThroughEngine)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
#endif

void BM_TagLinesThroughWindow(benchmark::State &state)
{
    CPseudoTerminal pty;
    QTemporaryDir dir;
    if (!pty.Open() || !mapPort(dir, pty)) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    CSettingsStore store(dir.filePath("settings.ini"));
    store.WriteInt(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_COM_PORT), BENCH_PORT);
    CRFID_LorixDlg::Environment env;
    env.ports.portsFolder = dir.filePath("ports");
    env.bluetooth.bluez.busAddress = QStringLiteral("unix:path=") + dir.filePath("no-bus");
    env.nameBluetoothPorts = false;
    env.keySink = nullptr;
    CRFID_LorixDlg window(store, env);
    window.show();
    // Counted by the tag monitor, which sees every tag line: the same calls build against the
    // window before the engine was its own (scripts/bench-window-before-engine.sh).
    auto lines = [&window] { return qint64(window.tagMonitor().Reads()); };
    window.OnOpenPort();
    if (!window.isPortOpen() || window.SendCommand(QStringLiteral("i,0,0,0")) == 0) {
        state.SkipWithError("the window did not open the terminal");
        return;
    }
    bool hungUp = false;
    pty.ReadAvailable(hungUp);   // the command, from the master's input
    feedBatches(state, pty, lines, [&] { return window.pendingRxBytes(); });
}
BENCHMARK(BM_TagLinesThroughWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
