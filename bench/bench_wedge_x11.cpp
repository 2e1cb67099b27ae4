// Key events per second through the key emulator and the XTest sink into a window of a
// private Xvfb that records them, with a check that no key is lost: one tag at a time, and
// a burst through the emulator's typing thread. The reference is the same emulator typing
// into a sink that only counts.
//
// Each iteration types one tag line and waits until the window has received all of it, so
// the rate includes the server's delivery, not only the sending.

#include "platform/KeySinkX11.h"
#include "tests/support/XvfbRecorder.h"
#include "wedge/KeyEmulator.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// A 96-bit EPC as the reader reports it: upper-case hex letters cost a Shift each.
constexpr char kTag[] = "E2801160600002054A8B3C7F";
constexpr std::size_t kTagChars = sizeof kTag - 1;

// Presses the window sees per tag: each character, a Shift per upper-case letter, Return.
constexpr std::size_t pressesPerTag()
{
    std::size_t presses = kTagChars + 1;
    for (std::size_t i = 0; i < kTagChars; ++i)
        presses += kTag[i] >= 'A' && kTag[i] <= 'Z' ? 1 : 0;
    return presses;
}
constexpr std::size_t kPressesPerTag = pressesPerTag();

// Members go in reverse order at exit: the clients disconnect before the server stops.
struct XSession
{
    XSession()
    {
        if (server.start(&failure) && recorder.open(server.displayName(), &failure))
            sink = std::make_shared<platform::CKeySinkX11>(server.displayName());
    }

    xtest::XvfbServer server;
    xtest::XKeyRecorder recorder;
    std::shared_ptr<platform::CKeySinkX11> sink;
    QString failure;
};

XSession &session()
{
    static XSession s;
    return s;
}

class CountingSink final : public platform::IKeySink
{
public:
    void SendKey(std::uint8_t, std::uint8_t, platform::KeyDirection) override { ++events; }
    std::size_t events = 0;
};

void typeOneTag()
{
    std::lock_guard<std::mutex> guard(wedge::wedgeLock);
    wedge::TypeTagText(kTag, int(sizeof kTag), nullptr);
}

void setRates(benchmark::State &state, std::size_t keyEvents)
{
    state.counters["chars/s"] = benchmark::Counter(double(state.iterations()) * (kTagChars + 1), benchmark::Counter::kIsRate);
    state.counters["events/s"] = benchmark::Counter(double(keyEvents), benchmark::Counter::kIsRate);
}

void BM_TagsIntoCountingSink(benchmark::State &state)
{
    auto sink = std::make_shared<CountingSink>();
    wedge::SetKeySink(sink);
    for (auto _ : state)
        typeOneTag();
    wedge::SetKeySink(nullptr);
    setRates(state, sink->events);
}
BENCHMARK(BM_TagsIntoCountingSink)->UseRealTime();

void BM_TagsThroughXTestIntoWindow(benchmark::State &state)
{
    XSession &x = session();
    if (!x.sink) {
        state.SkipWithError(qPrintable(x.failure));
        return;
    }
    wedge::SetKeySink(x.sink);
    const std::string expected = std::string(kTag) + '\r';
    std::size_t lost = 0;
    std::size_t keyEvents = 0;
    for (auto _ : state) {
        x.recorder.clear();
        typeOneTag();
        if (!x.recorder.waitForKeys(kPressesPerTag) || x.recorder.text() != expected)
            ++lost;
        keyEvents += 2 * x.recorder.presses().size();
    }
    wedge::SetKeySink(nullptr);
    setRates(state, keyEvents);
    state.counters["lost tags"] = double(lost);
    if (lost != 0)
        state.SkipWithError("keys were lost or garbled on the way to the window");
}
BENCHMARK(BM_TagsThroughXTestIntoWindow)->MinTime(2.0)->UseRealTime();

// An inventory's worth of tags queued at once, as the window hands them over, typed by the
// emulator's thread and received by the window: the rate the operator sees for a burst.
constexpr std::size_t kBurstTags = 200;

void BM_BurstThroughEmulatorThread(benchmark::State &state)
{
    XSession &x = session();
    if (!x.sink) {
        state.SkipWithError(qPrintable(x.failure));
        return;
    }
    wedge::CKeyEmulator emulator([&x] { return x.sink; });
    const QString line = QString::fromLatin1(kTag);
    const QByteArray bytes(kTag);
    std::size_t lost = 0;
    for (auto _ : state) {
        x.recorder.clear();
        for (std::size_t i = 0; i < kBurstTags; ++i)
            emulator.QueueTag(line, bytes, false);
        if (!x.recorder.waitForKeys(kBurstTags * kPressesPerTag) || x.recorder.presses().size() != kBurstTags * kPressesPerTag)
            ++lost;
    }
    emulator.WaitUntilIdle(10000);
    state.counters["chars/s"] = benchmark::Counter(double(state.iterations() * kBurstTags) * (kTagChars + 1), benchmark::Counter::kIsRate);
    if (lost != 0)
        state.SkipWithError("keys were lost on the way to the window");
}
BENCHMARK(BM_BurstThroughEmulatorThread)->MinTime(2.0)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
