// The receive path end to end, offscreen: a pseudo-terminal, the serial channel with its
// reader thread, the ring buffer, response assembly and dispatch, and the traffic log.
//
//   BM_TagLinesThroughPipeline  lines of 70-byte tags (68 hexadecimal digits and CR LF)
//                               per second, written by a thread into the terminal's master
//
// The log's own cost per line at 10^4 to 10^6 lines is bench_applog's.

#include "app/LogView.h"
#include "app/RFID_LorixDlg.h"
#include "link/SerialChannel.h"
#include "tools/reader-sim/PseudoTerminal.h"
#include "protocol/ReaderView.h"
#include "protocol/ResponseDispatcher.h"
#include "protocol/TagTyper.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>

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
    const QByteArray batch = tagBatch(LINES_PER_BATCH);
    for (auto _ : state) {
        const qint64 target = window.lines + LINES_PER_BATCH;
        // The channel drops a chunk that does not fit its ring (there is no flow control on
        // the line), so the writer holds back while the ring is half full: the figure is the
        // pace the window keeps up with, not the pace of a writer that outruns it.
        std::thread writer([&pty, &batch, &window] {
            for (qsizetype at = 0; at < batch.size(); at += WRITE_SLICE) {
                while (window.channel.PendingBytes() > RX_BUFFER_SIZE / 2)
                    std::this_thread::yield();
                pty.WriteAll(batch.mid(at, WRITE_SLICE));
            }
        });
        QElapsedTimer limit;
        limit.start();
        while (window.lines < target && limit.elapsed() < WAIT_LIMIT_MS)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        writer.join();
        if (window.lines < target) {
            state.SkipWithError("lines were lost on the way");
            break;
        }
    }
    state.counters["lines/s"] = benchmark::Counter(double(state.iterations()) * LINES_PER_BATCH,
                                                   benchmark::Counter::kIsRate);
    window.channel.Close();
}
BENCHMARK(BM_TagLinesThroughPipeline)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

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
