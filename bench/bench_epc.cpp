// The EPC decoder: one tag line decoded (a 96-bit SGTIN and SSCC, a 198-bit SGTIN, an invalid
// SGTIN-96, and a barcode that is no EPC), beside the plain conversion of the same hex digits
// to bytes, in the same run. What a decode may cost: 1 µs for a 96-bit EPC.
//
//   ./build/bench/bench_epc --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "epc/EpcDecoder.h"

#include <QByteArray>
#include <QString>

#include <benchmark/benchmark.h>

namespace {

const char *const LINES[] = {
    "3074257BF7194E4000001A85",                                // sgtin-96
    "3174257BF4499602D2000000",                                // sscc-96
    "3674257BF7194E5B3770E4000000000000000000000000000000",    // sgtin-198
    "307C257BF7194E4000001A85",                                // sgtin-96, reserved partition
    "8801234567893",                                           // a barcode
};

void BM_DecodeEpcLine(benchmark::State &state)
{
    const QString line = QString::fromLatin1(LINES[state.range(0)]);
    for (auto _ : state) {
        DecodedEpc epc = DecodeEpcLine(line);
        benchmark::DoNotOptimize(epc);
    }
}
BENCHMARK(BM_DecodeEpcLine)->DenseRange(0, 4);

// The reference: the digits to bytes, as any use of the line begins.
void BM_HexToBytes(benchmark::State &state)
{
    const QString line = QString::fromLatin1(LINES[0]);
    for (auto _ : state) {
        QByteArray bytes = QByteArray::fromHex(line.toLatin1());
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_HexToBytes);

// What the tag monitor keeps of a new tag: the summary and the GS1 key as UTF-8.
void BM_DecodeForMonitor(benchmark::State &state)
{
    const QString line = QString::fromLatin1(LINES[0]);
    for (auto _ : state) {
        const DecodedEpc epc = DecodeEpcLine(line);
        QByteArray kept = epc.Summary().toUtf8() + (epc.keyName.toUpper() + u' ' + epc.key).toUtf8();
        benchmark::DoNotOptimize(kept);
    }
}
BENCHMARK(BM_DecodeForMonitor);

} // namespace

BENCHMARK_MAIN();
