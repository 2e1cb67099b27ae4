#pragma once

// What the two keyboard-wedge benchmarks type, and the sink their reference rows type into.

#include "wedge/KeySink.h"

#include <cstddef>
#include <cstdint>

// A 96-bit EPC as the reader reports it: upper-case hex letters cost a Shift each.
inline constexpr char WEDGE_BENCH_TAG[] = "E2801160600002054A8B3C7F";
inline constexpr std::size_t WEDGE_BENCH_TAG_CHARS = sizeof WEDGE_BENCH_TAG - 1;

// Key presses per tag: each character, a Shift per upper-case letter, and Return. Each press
// has its release.
constexpr std::size_t WedgeBenchPressesPerTag()
{
    std::size_t presses = WEDGE_BENCH_TAG_CHARS + 1;
    for (std::size_t i = 0; i < WEDGE_BENCH_TAG_CHARS; ++i)
        presses += WEDGE_BENCH_TAG[i] >= 'A' && WEDGE_BENCH_TAG[i] <= 'Z' ? 1 : 0;
    return presses;
}

// The reference: a sink that only counts the key events it is given.
class CCountingKeySink final : public IKeySink
{
public:
    void SendKey(std::uint8_t, std::uint8_t, KeyDirection) override { ++events; }
    std::size_t events = 0;
};
