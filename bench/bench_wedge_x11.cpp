// Key events per second through the key emulator and the XTest sink into a window of a
// private Xvfb that records them, with a check that no key is lost: one tag at a time, and
// a burst through the emulator's typing thread. The reference is the same emulator typing
// into a sink that only counts.
//
// Each iteration types one tag line and waits until the window has received all of it, so
// the rate includes the server's delivery, not only the sending.

#include "bench/WedgeBenchTag.h"
#include "wedge/KeySinkX11.h"
#include "tests/support/XvfbRecorder.h"
#include "wedge/KeyEmulator.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr const auto &TAG = WEDGE_BENCH_TAG;   // an array: sizeof counts its NUL, as TypeTagText wants
constexpr std::size_t TAG_CHARS = WEDGE_BENCH_TAG_CHARS;
// Presses the window sees per tag.
constexpr std::size_t PRESSES_PER_TAG = WedgeBenchPressesPerTag();

// Members go in reverse order at exit: the clients disconnect before the server stops.
struct XSession
{
    XSession()
    {
        if (server.start(&failure) && recorder.open(server.displayName(), &failure))
            sink = std::make_shared<CKeySinkX11>(server.displayName());
    }

    CXvfbServer server;
    CXKeyRecorder recorder;
    std::shared_ptr<CKeySinkX11> sink;
    QString failure;
};

XSession &session()
{
    static XSession s;
    return s;
}

void typeOneTag(IKeySink &sink)
{
    TypeTagText(sink, TAG, int(sizeof TAG), false);
}

void setRates(benchmark::State &state, std::size_t keyEvents)
{
    state.counters["chars/s"] = benchmark::Counter(double(state.iterations()) * (TAG_CHARS + 1), benchmark::Counter::kIsRate);
    state.counters["events/s"] = benchmark::Counter(double(keyEvents), benchmark::Counter::kIsRate);
}

void BM_TagsIntoCountingSink(benchmark::State &state)
{
    CCountingKeySink sink;
    for (auto _ : state)
        typeOneTag(sink);
    setRates(state, sink.events);
}
BENCHMARK(BM_TagsIntoCountingSink)->UseRealTime();

void BM_TagsThroughXTestIntoWindow(benchmark::State &state)
{
    XSession &x = session();
    if (!x.sink) {
        state.SkipWithError(qPrintable(x.failure));
        return;
    }
    const std::string expected = std::string(TAG) + '\r';
    std::size_t lost = 0;
    std::size_t keyEvents = 0;
    for (auto _ : state) {
        x.recorder.clear();
        typeOneTag(*x.sink);
        if (!x.recorder.waitForKeys(PRESSES_PER_TAG) || x.recorder.text() != expected)
            ++lost;
        keyEvents += 2 * x.recorder.presses().size();
    }
    setRates(state, keyEvents);
    state.counters["lost tags"] = double(lost);
    if (lost != 0)
        state.SkipWithError("keys were lost or garbled on the way to the window");
}
BENCHMARK(BM_TagsThroughXTestIntoWindow)->MinTime(2.0)->UseRealTime();

// An inventory's worth of tags queued at once, as the window hands them over, typed by the
// emulator's thread and received by the window: the rate the operator sees for a burst.
constexpr std::size_t BURST_TAGS = 200;

void BM_BurstThroughEmulatorThread(benchmark::State &state)
{
    XSession &x = session();
    if (!x.sink) {
        state.SkipWithError(qPrintable(x.failure));
        return;
    }
    CKeyEmulator emulator([&x] { return x.sink; });
    const QString line = QString::fromLatin1(TAG);
    const QByteArray bytes(TAG);
    std::size_t lost = 0;
    for (auto _ : state) {
        x.recorder.clear();
        for (std::size_t i = 0; i < BURST_TAGS; ++i)
            emulator.QueueTag(line, bytes, false);
        if (!x.recorder.waitForKeys(BURST_TAGS * PRESSES_PER_TAG) || x.recorder.presses().size() != BURST_TAGS * PRESSES_PER_TAG)
            ++lost;
    }
    emulator.WaitUntilIdle(10000);
    state.counters["chars/s"] = benchmark::Counter(double(state.iterations() * BURST_TAGS) * (TAG_CHARS + 1), benchmark::Counter::kIsRate);
    if (lost != 0)
        state.SkipWithError("keys were lost on the way to the window");
}
BENCHMARK(BM_BurstThroughEmulatorThread)->MinTime(2.0)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
