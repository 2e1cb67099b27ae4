// Cost of one traffic-log append as the log grows, and the memory one line takes; and the
// cost of one piece of a line that never ends as that line grows.
// Each case fills a shown, unfocused log (so every append scrolls) with N lines of 70
// characters, then times further appends at that size. Every PAINT_EVERY appends the view
// paints itself and the posted events are delivered, as the event loop of a shown log does
// between bursts, so the text layouts a paint builds are part of both the time and the
// memory, and the events an append posts do not pile up over a million lines. The log view
// is compared with the same append done on a rich-text QTextEdit, the other candidate for
// the control.

#include "app/LogView.h"

#include <QApplication>
#include <QScrollBar>
#include <QTextEdit>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <map>
#include <type_traits>

namespace {

constexpr int LINE_LENGTH = 70;
constexpr int TIMED_BATCH = 1000;
constexpr int ITERATIONS = 10;
constexpr int PAINT_EVERY = 100;
constexpr int LONG_PIECE = 10000;   // characters of one piece of a line without end
constexpr int TIMED_PIECES = 100;

QString tagLine(int i)
{
    // A tag line as the reader sends it: hexadecimal EPC digits, then CR LF.
    QString line = QStringLiteral("%1").arg(i, LINE_LENGTH, 16, QLatin1Char('0')).toUpper();
    return line + QStringLiteral("\r\n");
}

size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::map<std::string, std::map<long, double>> g_nsPerLine;

// The reference: the same colour-only append and scroll-to-end on a QTextEdit.
void appendRichText(QTextEdit &edit, const QString &text, ColourRef colour)
{
    QTextCharFormat format;
    format.setForeground(ToQColor(colour));
    QTextCursor end(edit.document());
    end.movePosition(QTextCursor::End);
    end.insertText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")), format);
    edit.verticalScrollBar()->setValue(edit.verticalScrollBar()->maximum());
}

int lineCount(const CLogView &log)
{
    return log.LineCount();
}

int lineCount(const QTextEdit &edit)
{
    return edit.document()->blockCount();
}

// Objects of an earlier case that were only scheduled for deletion would otherwise count
// against the next case's heap.
void flushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
}

template <typename View, typename Append>
void appendLine(QWidget &window, View &view, Append &append, long i)
{
    append(view, tagLine(int(i)), LOG_COLOUR_RECEIVED);
    if (i % PAINT_EVERY == 0) {
        window.repaint();
        QApplication::processEvents();
    }
}

template <typename View, typename Append>
void runAppendBench(benchmark::State &state, Append append)
{
    const long lines = state.range(0);
    flushDeferredDeletes();
    const size_t heapBefore = heapInUse();
    QWidget window;
    auto *view = new View(&window);
    view->setGeometry(0, 0, 600, 400);
    window.resize(600, 400);
    window.show();
    QApplication::processEvents();
    for (long i = 0; i < lines; ++i)
        appendLine(window, *view, append, i);
    QApplication::processEvents();
    const int held = lineCount(*view);
    const double bytesPerLine = double(heapInUse() - heapBefore) / held;

    long appended = 0;
    for (auto _ : state) {
        for (int i = 0; i < TIMED_BATCH; ++i)
            appendLine(window, *view, append, lines + appended + i);
        appended += TIMED_BATCH;
    }
    state.SetItemsProcessed(appended);
    state.counters["lines_held"] = held;
    state.counters["heap_bytes_per_line"] = bytesPerLine;
    if constexpr (std::is_same_v<View, CLogView>)
        state.counters["own_bytes_per_line"] = double(view->MemoryBytes()) / held;
}

void BM_LogView_AppendLog(benchmark::State &state)
{
    runAppendBench<CLogView>(state,
                             [](CLogView &log, const QString &text, ColourRef) { log.AppendLog(text, LogKind::Received); });
}

void BM_TextEdit_Append(benchmark::State &state)
{
    runAppendBench<QTextEdit>(state, appendRichText);
}

// A reader that never ends its line: every piece goes to the same line, which shows its
// first CLogView::MAX_LINE_CHARS characters and counts the rest in its marker. The cost of a
// piece must not grow with the number of pieces before it.
void BM_LogView_AppendWithoutLineEnd(benchmark::State &state)
{
    const long before = state.range(0);
    QWidget window;
    auto *log = new CLogView(&window);
    log->setGeometry(0, 0, 600, 400);
    window.resize(600, 400);
    window.show();
    const QString piece(LONG_PIECE, QLatin1Char('A'));
    long appended = 0;
    auto appendPiece = [&] {
        log->AppendLog(piece, LogKind::Received);
        if (++appended % PAINT_EVERY == 0) {
            window.repaint();
            QApplication::processEvents();
        }
    };
    while (appended < before)
        appendPiece();
    for (auto _ : state) {
        for (int i = 0; i < TIMED_PIECES; ++i)
            appendPiece();
    }
    state.SetItemsProcessed(appended - before);
    state.counters["lines_held"] = log->LineCount();
}

BENCHMARK(BM_LogView_AppendLog)->Arg(10000)->Arg(100000)->Arg(1000000)->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogView_AppendWithoutLineEnd)->Arg(10)->Arg(1000)->Arg(10000)->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextEdit_Append)->Arg(10000)->Arg(100000)->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);

// Prints, after the table, the cost per line at each size relative to the smallest: from
// the median when the cases are repeated, else from the single run.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool single = run.repetitions <= 1;
            if (single ? run.run_type != Run::RT_Iteration : run.aggregate_name != "median")
                continue;
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            const long arg = std::stol(name.substr(slash + 1, name.find('/', slash + 1) - slash - 1));
            const auto items = run.counters.find("items_per_second");
            if (items != run.counters.end() && items->second.value > 0)
                g_nsPerLine[name.substr(0, slash)][arg] = 1e9 / items->second.value;
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const auto &[bench, byLines] : g_nsPerLine) {
            if (byLines.empty())
                continue;
            const double reference = byLines.begin()->second;
            for (const auto &[lines, ns] : byLines)
                std::printf("%s: %ld lines: %.0f ns per line, %.2f x the cost at %ld lines\n", bench.c_str(), lines,
                            ns, ns / reference, byLines.begin()->first);
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
