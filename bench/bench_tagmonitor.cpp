// The tag monitor under a flood: R tag reads a second over N distinct SGTIN-96 tags (default
// 100,000 and 100,000) for S seconds, with the monitor window shown and sorted by reads (the
// order made again at every refresh). The reads go as received bytes through the protocol's line
// assembly and classification, which hands each tag line to the counts, on the window's
// thread, in 10 ms slices, as the serial path does. A probe thread posts a stamped event to
// the window's thread every 10 ms; its delay is how late the window answers.
//
// Side by side, in the same run: the monitor without decoding and with its Decoded column
// hidden, and the same flood into a plain QStandardItemModel shown in a QTableView, fed row
// by row (a row appended for a new tag, its count and last-seen items set for a repeat), the
// way a table is commonly fed.
//
//   QT_QPA_PLATFORM=offscreen ./build/bench/bench_tagmonitor [--seconds S] [--rate R] [--tags N]
//       [--models monitor,undecoded,standard]
//
// With more distinct tags than the monitor's bound (--tags 5000000 --models monitor), the
// resident figure shows the bound: the tags past it are counted as others.
//
// --clicks 100000,1000000 measures instead a header click at each of those numbers of rows,
// with the reads streaming (at --rate over those tags): each sortable column clicked in
// turn, as the operator clicks it (a press and a release on the header section). Per click
// it prints the time the click itself held the window's thread, the time until the new order
// was shown, and the longest delay of the probe from the click until 300 ms after the order
// was shown (the order's hand-over to the view included), beside the goal of one frame at
// 30 Hz (33 ms).
//
// Each model runs in a child process of its own (this program with --child), so each has a
// fresh heap. Per model it prints: the reads fed and counted (lost = fed - counted), the
// reads a second taken in, the probe's median, 99th percentile and longest delay, the
// table's repaints a second (on average, and in the busiest whole second of the run), the
// memory per distinct tag (the monitor's own account of its arrays, and the process's
// resident growth over the run divided by the tags), the resident memory at the end, and the
// window thread's CPU time per read; then the ratios of the CPU time per read: the decoded
// column's cost, and the plain model against the monitor. A model that cannot keep up is
// stopped after twice the time; the reads it was still due are printed as not taken in.

#include "bench/LatencyProbe.h"
#include "monitor/TagMonitor.h"
#include "monitor/TagTableModel.h"
#include "monitor/widgets/TagMonitorDlg.h"
#include "protocol/ReaderView.h"
#include "protocol/ResponseDispatcher.h"
#include "protocol/TagTyper.h"

#include <QApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QHeaderView>
#include <QMouseEvent>
#include <QProcess>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto PROBE_PERIOD = 10ms;
constexpr int FEED_PERIOD_MS = 10;
constexpr int TAG_DIGITS = 24;
constexpr char INVENTORY_COMMAND[] = "i,0,0,0";

struct Options
{
    int seconds = 60;
    int rate = 100000;
    int tags = 100000;
    QStringList models{"monitor", "undecoded", "standard"};
    QList<int> clicks;   // numbers of rows for the header click
};

constexpr double CLICK_GOAL_MS = 33.0;

// The sample company's SGTIN-96 (filter 1, partition 5, 0614141.812345) up to its serial.
constexpr quint64 SGTIN_PREFIX_58 = quint64(0x30) << 50 | quint64(1) << 47 | quint64(5) << 44 | quint64(614141) << 20 | 812345;
constexpr int SGTIN_SERIAL_BITS = 38;

// The main window as the protocol sees it, minus the log (bench_uilatency measures the log).
class CQuietView final : public IReaderView, public ITagTyper
{
public:
    void AppendLog(const QString &, LogKind) override {}
    void SetCommandText(const QString &) override {}
    void OnSend() override {}
    QString LastCommand() const override { return QString::fromLatin1(INVENTORY_COMMAND); }
    bool IsMultiModeChecked() const override { return true; }
    void SetTxPower(int) override {}
    int TxPower() const override { return 0; }
    bool IsTypingOn() const override { return false; }
    void TypeTag(const QString &, const QByteArray &) override {}
    void TypeScan(const QString &) override {}
};

// The table's paints, by whole second of the run.
class CPaintCounter final : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && counting) {
            const auto second = size_t(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
            perSecond.resize(std::max(perSecond.size(), second + 1));
            ++perSecond[second];
            ++paints;
        }
        return false;
    }
    int busiestSecond() const { return perSecond.empty() ? 0 : *std::max_element(perSecond.begin(), perSecond.end()); }
    bool counting = false;
    Clock::time_point start;
    int paints = 0;
    std::vector<int> perSecond;
};

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The tags' lines, one after the other, all of the same length: SGTIN-96s, serial numbers 0 up.
QByteArray tagLines(int tags)
{
    QByteArray all;
    all.reserve(qsizetype(tags) * (TAG_DIGITS + 2));
    for (int i = 0; i < tags; ++i) {
        const quint64 high = SGTIN_PREFIX_58 << (64 - 58) | quint64(i) >> 32;
        all += QByteArray::number(high, 16).toUpper().rightJustified(16, '0')
               + QByteArray::number(quint64(i) & 0xFFFFFFFFu, 16).toUpper().rightJustified(TAG_DIGITS - 16, '0') + "\r\n";
    }
    static_assert(58 + SGTIN_SERIAL_BITS == TAG_DIGITS * 4);
    return all;
}

// A plain model fed row by row: the common way to fill a table.
class CStandardTable
{
public:
    CStandardTable()
    {
        model.setHorizontalHeaderLabels({"Tag", "Kind", "Reads", "First seen", "Last seen", "Reads/s (10 s)"});
    }
    void Count(const QString &line)
    {
        const QString now = CTagTableModel::FormatTime(QDateTime::currentMSecsSinceEpoch());
        const auto found = rows.constFind(line);
        if (found == rows.constEnd()) {
            rows.insert(line, model.rowCount());
            model.appendRow({new QStandardItem(line), new QStandardItem(QStringLiteral("RFID tag")),
                             new QStandardItem(QStringLiteral("1")), new QStandardItem(now), new QStandardItem(now),
                             new QStandardItem(QStringLiteral("0.0"))});
            return;
        }
        QStandardItem *reads = model.item(*found, CTagTableModel::ReadsColumn);
        reads->setData(reads->data(Qt::DisplayRole).toULongLong() + 1, Qt::DisplayRole);
        model.item(*found, CTagTableModel::LastSeenColumn)->setText(now);
        ++counted;
    }
    QStandardItemModel model;
    QHash<QString, int> rows;
    quint64 counted = 0;   // repeats; new rows are counted by rowCount
};

int runChild(const QString &which, const Options &options)
{
    const bool standard = which == QLatin1String("standard");
    CQuietView view;
    CResponseDispatcher dispatcher(view, view, QStringLiteral("ISO-8859-1"));
    CTagMonitor monitor;
    CStandardTable plain;
    QWidget *shown = nullptr;
    QTableView *table = nullptr;
    std::unique_ptr<CTagMonitorDlg> window;
    std::unique_ptr<QTableView> plainView;
    if (standard) {
        dispatcher.setTagReadObserver([&plain](const QString &line, int) { plain.Count(line); });
        plainView = std::make_unique<QTableView>();
        plainView->setModel(&plain.model);
        plainView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        plainView->resize(900, 600);
        shown = table = plainView.get();
    } else {
        dispatcher.setTagReadObserver([&monitor](const QString &line, int) { monitor.Count(line, TagKind::RfidTag); });
        window = std::make_unique<CTagMonitorDlg>(monitor);
        window->table()->sortByColumn(CTagTableModel::ReadsColumn, Qt::DescendingOrder);
        if (which == QLatin1String("undecoded")) {
            monitor.SetDecoding(false);
            window->table()->setColumnHidden(CTagTableModel::DecodedColumn, true);
        }
        shown = window.get();
        table = window->table();
    }
    shown->show();
    CPaintCounter paints;
    table->viewport()->installEventFilter(&paints);
    // The first paints of the shown window are not the flood's. Local loops: the
    // application's quit would close the window.
    QEventLoop loop;
    QTimer::singleShot(200, &loop, &QEventLoop::quit);
    loop.exec();

    const QByteArray lines = tagLines(options.tags);
    const qsizetype lineBytes = TAG_DIGITS + 2;
    const qint64 total = qint64(options.rate) * options.seconds;
    qint64 fed = 0;
    const qint64 rssBefore = residentKiB();
    const double cpuBefore = threadCpuSeconds();
    CLatencyProbe probe{PROBE_PERIOD};
    probe.Start();
    const Clock::time_point start = Clock::now();
    paints.start = start;
    paints.counting = true;
    QTimer feeder;
    feeder.setTimerType(Qt::PreciseTimer);
    QByteArray slice;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const qint64 due = std::min(total, qint64(elapsed * options.rate));
        slice.clear();
        for (; fed < due; ++fed)
            slice.append(lines.constData() + (fed % options.tags) * lineBytes, lineBytes);
        dispatcher.OnSerialData(slice);
        // A model that cannot keep up gets twice the time, then the reads still due are
        // reported as not taken in.
        if (fed >= total || elapsed > 2.0 * options.seconds)
            loop.quit();
    });
    feeder.start(FEED_PERIOD_MS);
    loop.exec();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    probe.Stop();
    const double cpu = threadCpuSeconds() - cpuBefore;
    const qint64 rssGrowth = (residentKiB() - rssBefore) * 1024;

    std::vector<qint64> d = probe.delaysUs;
    std::sort(d.begin(), d.end());
    auto at = [&d](double q) { return d.empty() ? 0.0 : d[size_t(q * double(d.size() - 1))] / 1000.0; };
    const quint64 counted = standard ? plain.counted + quint64(plain.model.rowCount()) : monitor.Reads();
    const int distinct = standard ? plain.model.rowCount() : monitor.DistinctTags();
    std::printf("%s fed=%lld not_taken_in=%lld counted=%llu lost=%lld distinct=%d others=%llu seconds=%.2f reads_per_s=%.0f "
                "p50_ms=%.2f p99_ms=%.2f max_ms=%.2f repaints_per_s=%.2f busiest_second_repaints=%d own_bytes_per_tag=%.1f "
                "rss_bytes_per_tag=%.1f rss_mb=%.0f cpu_ns_per_read=%.1f\n",
                qPrintable(which), fed, total - fed, counted, fed - qint64(counted), distinct,
                standard ? 0ull : (unsigned long long)monitor.OtherReads(),
                seconds, double(counted) / seconds, at(0.5), at(0.99), d.empty() ? 0.0 : d.back() / 1000.0,
                paints.paints / seconds, paints.busiestSecond(), standard ? 0.0 : double(monitor.MemoryBytes()) / std::max(1, distinct),
                double(rssGrowth) / std::max(1, distinct), double(residentKiB()) / 1024,
                cpu * 1e9 / std::max<double>(1, double(counted)));
    std::fflush(stdout);
    return 0;
}

// A header click at `rows` rows while reads stream over those tags. On a machine shared with
// other work a thread's wall time holds the time it waited for a core: the goal is read on the
// window thread's CPU time, its wall time and the probe's delays printed beside it.
int runClicks(int rows, const Options &options)
{
    CQuietView view;
    CResponseDispatcher dispatcher(view, view, QStringLiteral("ISO-8859-1"));
    CTagMonitor monitor;
    dispatcher.setTagReadObserver([&monitor](const QString &line, int) { monitor.Count(line, TagKind::RfidTag); });
    const QByteArray lines = tagLines(rows);
    const qsizetype lineBytes = TAG_DIGITS + 2;
    dispatcher.OnSerialData(lines);   // every tag read once
    CTagMonitorDlg window(monitor);
    window.resize(1000, 700);
    window.show();
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
    auto *model = qobject_cast<CTagTableModel *>(window.table()->model());
    QHeaderView *header = window.table()->horizontalHeader();

    qint64 fed = 0;
    const Clock::time_point start = Clock::now();
    QTimer feeder;
    feeder.setTimerType(Qt::PreciseTimer);
    QByteArray slice;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const qint64 due = qint64(elapsed * options.rate);
        slice.clear();
        for (; fed < due; ++fed)
            slice.append(lines.constData() + (fed % rows) * lineBytes, lineBytes);
        dispatcher.OnSerialData(slice);
    });
    feeder.start(FEED_PERIOD_MS);
    // The window's delays while the reads stream and nothing is clicked: the yardstick.
    double alone = 0;
    {
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
        CLatencyProbe probe{PROBE_PERIOD};
        probe.Start();
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        loop.exec();
        probe.Stop();
        alone = probe.delaysUs.empty() ? 0.0 : *std::max_element(probe.delaysUs.begin(), probe.delaysUs.end()) / 1000.0;
    }
    const int columns[] = {CTagTableModel::TagColumn, CTagTableModel::ReadsColumn, CTagTableModel::LastSeenColumn,
                           CTagTableModel::RateColumn, CTagTableModel::DecodedColumn};
    double worstHeld = 0, worstLongest = 0, worstCpu = 0;
    for (const int column : columns) {
        for (int click = 0; click < 2; ++click) {   // ascending, then descending
            QTimer::singleShot(300, &loop, &QEventLoop::quit);
            loop.exec();
            CLatencyProbe probe{PROBE_PERIOD};
            probe.Start();
            const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
            bool shown = false;
            double applyingCpu = 0;
            double applyMs = 0;
            const QMetaObject::Connection before = QObject::connect(model, &QAbstractItemModel::layoutAboutToBeChanged,
                                                                   [&] { applyingCpu = threadCpuSeconds(); });
            // The hand-over to the view, and the view's next layout and paint.
            const QMetaObject::Connection sorted = QObject::connect(model, &CTagTableModel::Sorted, [&] {
                window.table()->doItemsLayout();
                window.table()->viewport()->repaint();
                shown = true;
                applyMs = (threadCpuSeconds() - applyingCpu) * 1000.0;
            });
            const Clock::time_point clicked = Clock::now();
            const double cpuBefore = threadCpuSeconds();
            QMouseEvent press(QEvent::MouseButtonPress, at, header->viewport()->mapToGlobal(at), Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier);
            QMouseEvent release(QEvent::MouseButtonRelease, at, header->viewport()->mapToGlobal(at), Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(header->viewport(), &press);
            QApplication::sendEvent(header->viewport(), &release);
            const double heldMs = std::chrono::duration<double, std::milli>(Clock::now() - clicked).count();
            const double clickCpuMs = (threadCpuSeconds() - cpuBefore) * 1000.0;
            worstCpu = std::max(worstCpu, clickCpuMs);
            // Small tables are ordered within the click.
            shown = shown || !model->SortPending();
            while (!shown && Clock::now() - clicked < 60s)
                QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
            const double shownMs = std::chrono::duration<double, std::milli>(Clock::now() - clicked).count();
            QTimer::singleShot(300, &loop, &QEventLoop::quit);
            loop.exec();
            probe.Stop();
            QObject::disconnect(sorted);
            QObject::disconnect(before);
            const double longest = probe.delaysUs.empty() ? 0.0
                                   : *std::max_element(probe.delaysUs.begin(), probe.delaysUs.end()) / 1000.0;
            worstHeld = std::max(worstHeld, heldMs);
            worstLongest = std::max(worstLongest, longest);
            worstCpu = std::max(worstCpu, applyMs);
            std::printf("rows=%d column=%s order=%s click_ms=%.2f click_cpu_ms=%.2f shown_after_ms=%.0f "
                        "hand_over_and_paint_cpu_ms=%.2f longest_delay_ms=%.2f\n", rows,
                        qPrintable(CTagTableModel::ColumnTitle(column).section(' ', 0, 0)),
                        header->sortIndicatorOrder() == Qt::AscendingOrder ? "ascending" : "descending", heldMs,
                        clickCpuMs, shownMs, applyMs, longest);
            std::fflush(stdout);
        }
    }
    std::printf("RESULT rows=%d reads_fed=%lld worst_click_ms=%.2f worst_cpu_ms=%.2f worst_longest_delay_ms=%.2f "
                "streaming_alone_ms=%.2f\n", rows, fed, worstHeld, worstCpu, worstLongest, alone);
    std::fflush(stdout);
    return 0;
}

double field(const QByteArray &line, const char *name)
{
    for (const QByteArray &part : line.split(' ')) {
        if (part.startsWith(QByteArray(name) + '='))
            return part.mid(qsizetype(strlen(name)) + 1).toDouble();
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Options options;
    QString child;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--seconds"))
            options.seconds = qMax(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--rate"))
            options.rate = qMax(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--tags"))
            options.tags = qMax(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--models"))
            options.models = args[i + 1].split(u',', Qt::SkipEmptyParts);
        else if (args[i] == QLatin1String("--child"))
            child = args[i + 1];
        else if (args[i] == QLatin1String("--clicks")) {
            for (const QString &n : args[i + 1].split(u',', Qt::SkipEmptyParts))
                options.clicks << qMax(1, n.toInt());
        }
    }
    if (child.startsWith(QLatin1String("clicks:")))
        return runClicks(child.mid(7).toInt(), options);
    if (!child.isEmpty())
        return runChild(child, options);
    if (!options.clicks.isEmpty()) {
        std::printf("header clicks with %d reads/s streaming, window shown (offscreen)\n", options.rate);
        for (const int rows : options.clicks) {
            QProcess run;
            run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            run.start(QCoreApplication::applicationFilePath(), {"--child", QStringLiteral("clicks:%1").arg(rows), "--rate",
                                                                QString::number(options.rate)});
            run.waitForFinished(-1);
            for (const QByteArray &line : run.readAllStandardOutput().trimmed().split('\n')) {
                if (!line.startsWith("RESULT ")) {
                    std::printf("%s\n", line.constData());
                    continue;
                }
                const double cpu = field(line, "worst_cpu_ms");
                const double held = field(line, "worst_click_ms");
                const double longest = field(line, "worst_longest_delay_ms");
                std::printf("%d rows: the most CPU time of the window's thread for a click, or for its order's hand-over "
                            "with the next layout and paint: %.2f ms (goal <= %.0f ms: %s); a click's longest wall time "
                            "%.2f ms; the longest delay around the clicks %.2f ms, with the reads streaming alone %.2f ms\n",
                            rows, cpu, CLICK_GOAL_MS, cpu <= CLICK_GOAL_MS ? "met" : "NOT MET", held, longest,
                            field(line, "streaming_alone_ms"));
            }
            std::fflush(stdout);
        }
        return 0;
    }

    std::printf("%d reads/s over %d distinct tags for %d s, window shown (offscreen)\n", options.rate, options.tags,
                options.seconds);
    QHash<QString, double> cpuPerRead;
    for (const QString &model : options.models) {
        QProcess run;
        run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        run.start(QCoreApplication::applicationFilePath(),
                  {"--child", model, "--seconds", QString::number(options.seconds), "--rate",
                   QString::number(options.rate), "--tags", QString::number(options.tags)});
        run.waitForFinished(-1);
        const QByteArray result = run.readAllStandardOutput().trimmed();
        cpuPerRead.insert(model, field(result, "cpu_ns_per_read"));
        std::printf("%s\n", result.constData());
        std::fflush(stdout);
    }
    const double ours = cpuPerRead.value(QStringLiteral("monitor"));
    const double undecoded = cpuPerRead.value(QStringLiteral("undecoded"));
    const double plain = cpuPerRead.value(QStringLiteral("standard"));
    if (ours > 0 && undecoded > 0)
        std::printf("window thread CPU per read, monitor with the Decoded column / without: %.2f\n", ours / undecoded);
    if (ours > 0 && plain > 0)
        std::printf("window thread CPU per read, QStandardItemModel / CTagTableModel: %.1f\n", plain / ours);
    return 0;
}
