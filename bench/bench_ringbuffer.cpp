// The receive ring moving 2 KiB blocks from a producer thread to the benchmark thread,
// beside two references run in the same process: a plain single-thread memcpy of the same
// blocks (the ceiling) and boost::lockfree::spsc_queue with range push and pop (the bar:
// the ring should move at least 1.1 times its bytes per second).

#include "link/RingBuffer.h"
#include "link/SerialChannel.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>

#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int BLOCK = 2048;
constexpr int64_t BLOCKS_PER_RUN = 16384;   // 32 MiB per iteration
constexpr int64_t BYTES_PER_RUN = BLOCKS_PER_RUN * BLOCK;

std::vector<uint8_t> SourceBlock()
{
    std::vector<uint8_t> block(BLOCK);
    for (int i = 0; i < BLOCK; ++i)
        block[size_t(i)] = uint8_t(i * 7);
    return block;
}

void BM_PlainMemcpy(benchmark::State &state)
{
    const std::vector<uint8_t> source = SourceBlock();
    std::vector<uint8_t> middle(RX_BUFFER_SIZE);
    std::vector<uint8_t> sink(BLOCK);
    for (auto _ : state) {
        size_t at = 0;
        for (int64_t b = 0; b < BLOCKS_PER_RUN; ++b) {
            if (at + BLOCK > middle.size())
                at = 0;
            std::memcpy(middle.data() + at, source.data(), BLOCK);
            benchmark::ClobberMemory();
            std::memcpy(sink.data(), middle.data() + at, BLOCK);
            at += BLOCK;
        }
        benchmark::DoNotOptimize(sink.data());
    }
    state.SetBytesProcessed(state.iterations() * BYTES_PER_RUN);
}

void BM_RingBuffer(benchmark::State &state)
{
    const std::vector<uint8_t> source = SourceBlock();
    std::vector<uint8_t> sink(BLOCK);
    CRingBuffer ring;
    ring.Allocate(RX_BUFFER_SIZE);
    for (auto _ : state) {
        std::thread producer([&] {
            for (int64_t b = 0; b < BLOCKS_PER_RUN; ++b) {
                while (!ring.Put(source.data(), BLOCK))
                    std::this_thread::yield();
            }
        });
        // The producer puts whole blocks, so the consumer asks for whole blocks: Take is
        // all or nothing and looks at the producer's position only when its copy is short.
        int64_t received = 0;
        while (received < BYTES_PER_RUN) {
            if (!ring.Take(sink.data(), BLOCK)) {
                std::this_thread::yield();
                continue;
            }
            received += BLOCK;
        }
        producer.join();
        benchmark::DoNotOptimize(sink.data());
    }
    state.SetBytesProcessed(state.iterations() * BYTES_PER_RUN);
}

void BM_BoostSpscQueue(benchmark::State &state)
{
    const std::vector<uint8_t> source = SourceBlock();
    std::vector<uint8_t> sink(BLOCK);
    boost::lockfree::spsc_queue<uint8_t> queue(static_cast<size_t>(RX_BUFFER_SIZE));
    for (auto _ : state) {
        std::thread producer([&] {
            for (int64_t b = 0; b < BLOCKS_PER_RUN; ++b) {
                size_t pushed = 0;
                while (pushed < size_t(BLOCK)) {
                    const size_t n = queue.push(source.data() + pushed, BLOCK - pushed);
                    if (n == 0)
                        std::this_thread::yield();
                    pushed += n;
                }
            }
        });
        int64_t received = 0;
        while (received < BYTES_PER_RUN) {
            const size_t n = queue.pop(sink.data(), BLOCK);
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            received += int64_t(n);
        }
        producer.join();
        benchmark::DoNotOptimize(sink.data());
    }
    state.SetBytesProcessed(state.iterations() * BYTES_PER_RUN);
}

} // namespace

BENCHMARK(BM_PlainMemcpy)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RingBuffer)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoostSpscQueue)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
