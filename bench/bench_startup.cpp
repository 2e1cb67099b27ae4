// Start-up time, offscreen: from starting a process to the main window's first paint, with
// the shipped catalogue and the real environment (ports, BlueZ, key sink) the tool meets.
//
//   BM_StartToFirstPaint/window  a child process runs the tool's start-up (application
//                                object, settings, CRFID_LorixDlg, show) and reports its
//                                first painted frame; wall time from the parent's start()
//   BM_StartToFirstPaint/empty   the same for an empty QDialog: the toolkit's own floor
//
// Counters: catalogue_ms is the child's time to load the shipped catalogue into a command
// tree the way the window does (measured again after the paint, in the same process, so its
// files are warm as they are at start), ctor_ms the window's construction, show_ms from
// show() to the first paint. Run with repetitions and read the medians, e.g.
//   bench_startup --benchmark_repetitions=15 --benchmark_report_aggregates_only=true

#include "app/RFID_LorixApp.h"
#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "catalogue/Catalogue.h"
#include "catalogue/widgets/CatalogueTree.h"
#include "controls/tree/ExtTree.h"
#include "controls/tree/TreeImageList.h"
#include "platform/SettingsLocation.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

constexpr char CHILD_WINDOW[] = "--child-window";
constexpr char CHILD_EMPTY[] = "--child-empty";
constexpr int CHILD_TIMEOUT_MS = 30000;

// Reports once, right after the watched window's first paint has been handled.
class CFirstPaintWatch : public QObject
{
public:
    std::function<void()> painted;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && painted) {
            auto report = std::move(painted);
            painted = nullptr;
            // After the paint itself: queued behind it on the same event loop.
            QTimer::singleShot(0, watched, report);
        }
        return false;
    }
};

double catalogueLoadMs()
{
    QElapsedTimer timer;
    timer.start();
    CExtTree tree(nullptr, 0);
    CTreeImageList images;
    CXML catalogue;
    QList<CXML *> elements;
    LoadCatalogueTree(tree, images, catalogue, CatalogueFilePath(), elements);
    return double(timer.nsecsElapsed()) / 1e6;
}

int runChild(int argc, char **argv, bool window)
{
    QElapsedTimer phase;
    CRFID_LorixApp app(argc, argv);
    app.setApplicationName(QStringLiteral("RFID_Lorix"));
    app.setOrganizationName(QString::fromLatin1(SETTINGS_ORGANISATION));
    CSettingsStore settings;
    CFirstPaintWatch watch;
    std::unique_ptr<QDialog> dialog;
    phase.start();
    if (window)
        dialog = std::make_unique<CRFID_LorixDlg>(settings);
    else
        dialog = std::make_unique<QDialog>();
    const double ctorMs = double(phase.nsecsElapsed()) / 1e6;
    dialog->installEventFilter(&watch);
    watch.painted = [&] {
        const double showMs = double(phase.nsecsElapsed()) / 1e6;
        const double catalogueMs = window ? catalogueLoadMs() : 0.0;
        std::printf("painted %.3f %.3f %.3f\n", ctorMs, showMs, catalogueMs);
        std::fflush(stdout);
        std::_Exit(0);   // the measured part is over; tearing down is not start-up
    };
    phase.restart();
    dialog->show();
    return app.exec();
}

const char *g_self = nullptr;

void BM_StartToFirstPaint(benchmark::State &state, const char *mode)
{
    QTemporaryDir home;   // the child's own settings: the user's are not touched
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    double ctorMs = 0, showMs = 0, catalogueMs = 0;
    for (auto _ : state) {
        QProcess child;
        child.setProcessEnvironment(env);
        QElapsedTimer timer;
        timer.start();
        child.start(QString::fromLocal8Bit(g_self), {QString::fromLatin1(mode)});
        while (!child.canReadLine() && child.waitForReadyRead(CHILD_TIMEOUT_MS)) {
        }
        const double wallMs = double(timer.nsecsElapsed()) / 1e6;
        const QList<QByteArray> fields = child.readLine().trimmed().split(' ');
        child.waitForFinished(CHILD_TIMEOUT_MS);
        if (fields.size() != 4 || fields[0] != "painted") {
            state.SkipWithError("the child did not report its first paint");
            break;
        }
        state.SetIterationTime(wallMs / 1e3);
        ctorMs = fields[1].toDouble();
        showMs = fields[2].toDouble();
        catalogueMs = fields[3].toDouble();
    }
    state.counters["ctor_ms"] = ctorMs;
    state.counters["show_ms"] = showMs;
    state.counters["catalogue_ms"] = catalogueMs;
}

BENCHMARK_CAPTURE(BM_StartToFirstPaint, window, CHILD_WINDOW)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StartToFirstPaint, empty, CHILD_EMPTY)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], CHILD_WINDOW) == 0)
        return runChild(argc, argv, true);
    if (argc > 1 && std::strcmp(argv[1], CHILD_EMPTY) == 0)
        return runChild(argc, argv, false);
    QCoreApplication parent(argc, argv);   // the children's process handling needs one
    g_self = argv[0];
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
