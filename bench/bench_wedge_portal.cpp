// Characters per second through the key emulator and the desktop portal's key sink into a
// mock portal on a private session bus, with a check that no key is lost: one tag at a
// time, and a burst through the emulator's typing thread. The reference is the same
// emulator typing into a sink that only counts.
//
// Run inside a real desktop (tests/wedge/portal/desktop.sh, which names the recording
// window's file in DESKTOP_RECORDING), BM_TagsThroughRealPortal types through the desktop's
// own portal and compares what the recording window received with what was typed, byte for
// byte. bench/wedge-portal-desktops.sh runs it on GNOME and on KDE in one go.
//
// The sink sends each key after the reply to the one before, so the rate includes the
// portal's taking of every key, not only the sending.

#include "bench/WedgeBenchTag.h"
#include "wedge/KeySinkPortal.h"
#include "tests/support/BluezTestBus.h"
#include "wedge/KeyEmulator.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr const auto &TAG = WEDGE_BENCH_TAG;   // an array: sizeof counts its NUL, as TypeTagText wants
constexpr std::size_t TAG_CHARS = WEDGE_BENCH_TAG_CHARS;
// Key events the portal takes per tag: a press and a release of each character and of Return
// (the portal's sink types characters: no Shift of its own).
constexpr std::size_t EVENTS_PER_TAG = 2 * (TAG_CHARS + 1);

struct PortalSession
{
    PortalSession()
    {
        if (bus.startPortal(failure)) {
            KeySinkSetup setup;
            setup.sessionBusAddress = bus.address();
            sink = CKeySinkPortal::Open(setup);
            if (!sink || !sink->Failure().isEmpty())
                failure = sink ? sink->Failure() : QStringLiteral("no session bus");
        }
    }
    std::size_t keysTaken()
    {
        const QString keys = bus.mockCall(QStringLiteral("Keys")).arguments().value(0).toString();
        return keys.isEmpty() ? 0 : std::size_t(keys.count(QLatin1Char(' '))) + 1;
    }

    CBluezTestBus bus;
    std::shared_ptr<CKeySinkPortal> sink;
    QString failure;
};

PortalSession &session()
{
    static PortalSession s;
    return s;
}

void setRates(benchmark::State &state, std::size_t tags)
{
    state.counters["chars/s"] = benchmark::Counter(double(tags) * (TAG_CHARS + 1), benchmark::Counter::kIsRate);
    state.counters["events/s"] = benchmark::Counter(double(tags * EVENTS_PER_TAG), benchmark::Counter::kIsRate);
}

void checkNothingLost(benchmark::State &state, std::size_t expected, std::size_t taken)
{
    state.counters["lost keys"] = double(expected > taken ? expected - taken : 0);
    if (taken != expected)
        state.SkipWithError("keys were lost or added on the way to the portal");
}

void BM_TagsIntoCountingSink(benchmark::State &state)
{
    CCountingKeySink sink;
    for (auto _ : state)
        TypeTagText(sink, TAG, int(sizeof TAG), false);
    setRates(state, state.iterations());
}
BENCHMARK(BM_TagsIntoCountingSink)->UseRealTime();

void BM_TagsThroughPortal(benchmark::State &state)
{
    PortalSession &p = session();
    if (!p.failure.isEmpty()) {
        state.SkipWithError(qPrintable(p.failure));
        return;
    }
    const std::size_t before = p.keysTaken();
    for (auto _ : state)
        TypeTagText(*p.sink, TAG, int(sizeof TAG), false);
    setRates(state, state.iterations());
    checkNothingLost(state, state.iterations() * EVENTS_PER_TAG, p.keysTaken() - before);
}
BENCHMARK(BM_TagsThroughPortal)->MinTime(2.0)->UseRealTime();

// An inventory's worth of tags queued at once, as the window hands them over, typed by the
// emulator's thread into a portal session of its own: the rate the operator sees for a burst.
constexpr std::size_t BURST_TAGS = 200;

void BM_BurstThroughEmulatorThread(benchmark::State &state)
{
    PortalSession &p = session();
    if (!p.failure.isEmpty()) {
        state.SkipWithError(qPrintable(p.failure));
        return;
    }
    const QString address = p.bus.address();
    CKeyEmulator emulator([address](const KeySinkSetup &setup) {
        KeySinkSetup onBus = setup;
        onBus.sessionBusAddress = address;
        return KeySinkChoice(CKeySinkPortal::Open(onBus));
    });
    emulator.SetTypingOn(true);
    emulator.WaitUntilIdle(10000);
    const QString line = QString::fromLatin1(TAG);
    const QByteArray bytes(TAG);
    const std::size_t before = p.keysTaken();
    for (auto _ : state) {
        for (std::size_t i = 0; i < BURST_TAGS; ++i)
            emulator.QueueTag(line, bytes, false);
        emulator.WaitUntilIdle(60000);
    }
    setRates(state, state.iterations() * BURST_TAGS);
    checkNothingLost(state, state.iterations() * BURST_TAGS * EVENTS_PER_TAG, p.keysTaken() - before);
    if (!emulator.TakeSinkReports().empty())
        state.SkipWithError("the portal session failed");
}
BENCHMARK(BM_BurstThroughEmulatorThread)->MinTime(2.0)->UseRealTime();

// Through the desktop's own portal into the recording window: chars/s, and "exact" 1 when the
// window received every tag typed so far, in order, each ended by Enter.
void BM_TagsThroughRealPortal(benchmark::State &state)
{
    static const std::shared_ptr<CKeySinkPortal> sink = CKeySinkPortal::Open(KeySinkSetup());
    static QByteArray typed;   // all runs type into the same window
    if (!sink || !sink->Failure().isEmpty()) {
        state.SkipWithError(sink ? qPrintable(sink->Failure()) : "no session bus");
        return;
    }
    for (auto _ : state) {
        TypeTagText(*sink, TAG, int(sizeof TAG), false);
        typed += QByteArray(TAG) + '\n';
    }
    setRates(state, state.iterations());
    QFile recording(qEnvironmentVariable("DESKTOP_RECORDING"));
    QByteArray received;
    QDeadlineTimer deadline(10000);
    while (received.size() < typed.size() && !deadline.hasExpired()) {
        QThread::msleep(20);
        if (recording.open(QIODevice::ReadOnly)) {
            received = recording.readAll();
            recording.close();
        }
    }
    state.counters["exact"] = received == typed ? 1 : 0;
    if (!sink->Failure().isEmpty() || received != typed)
        state.SkipWithError("the desktop received other text than was typed");
}

} // namespace

// QtDBus needs an application object; the benchmarks run on its thread.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("DESKTOP_RECORDING"))
        benchmark::RegisterBenchmark("BM_TagsThroughRealPortal", BM_TagsThroughRealPortal)->MinTime(2.0)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
