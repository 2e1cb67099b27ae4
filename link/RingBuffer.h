#pragma once

#include <atomic>
#include <cstdint>

// Fixed-size circular byte queue between exactly one producer thread and one consumer
// thread, without a lock. The producer writes only writePos, the consumer only readPos;
// each copies its bytes before it publishes its position (release) and reads the other's
// position with acquire, so no side sees a position before the bytes behind it.
// Each side keeps the other's position as last seen and loads it afresh only when that
// copy says the request does not fit: a position can only move in the caller's favour.
// One byte always stays empty: a buffer of n bytes holds at most n - 1.
// Allocate and Free are not thread-safe: call them while neither side is active.
class CRingBuffer
{
public:
    CRingBuffer() = default;
    virtual ~CRingBuffer();
    CRingBuffer(const CRingBuffer &) = delete;
    CRingBuffer &operator=(const CRingBuffer &) = delete;

    // Obtains zero-filled storage; on failure (or a size below 1) the buffer has none and
    // stays empty and full.
    void Allocate(int32_t bytes);
    void Free();

    int32_t GetUsed() const;
    int32_t GetFree() const;
    // All or nothing: 1 when every byte was appended (taken), 0 when they do not fit (are
    // not there), in which case nothing changes. A count of 0 succeeds.
    int Put(const void *source, int32_t count);      // producer only
    int Take(void *destination, int32_t count);      // consumer only

    int32_t GetSize() const { return size; }
    int32_t GetReadPos() const { return readPos.load(std::memory_order_acquire); }
    int32_t GetWritePos() const { return writePos.load(std::memory_order_acquire); }

private:
    static int32_t UsedBetween(int32_t read, int32_t write, int32_t size);

    // Each position on its own cache line: the two sides write them from different cores,
    // and sharing one line would make every put and take fight over it.
    static constexpr int CACHE_LINE = 64;

    uint8_t *data = nullptr;
    int32_t size = 0;
    alignas(CACHE_LINE) std::atomic<int32_t> readPos{0};
    int32_t m_seenWritePos = 0;   // consumer only: writePos as last loaded
    alignas(CACHE_LINE) std::atomic<int32_t> writePos{0};
    int32_t m_seenReadPos = 0;    // producer only: readPos as last loaded
    char m_padding[CACHE_LINE - 2 * sizeof(int32_t)] = {};
};
