#include "link/RingBuffer.h"

#include <cstring>
#include <new>

// The string move is hidden from the sanitizers, which see only what the compiler
// emits: under them the copy stays an ordinary, checked one.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RFID_RING_PLAIN_COPY 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RFID_RING_PLAIN_COPY 1
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(RFID_RING_PLAIN_COPY)
#define RFID_RING_STRING_MOVES 1
#include <cpuid.h>
#endif

CRingBuffer::~CRingBuffer()
{
    Free();
}

void CRingBuffer::Allocate(int32_t bytes)
{
    Free();
    if (bytes < 1)
        return;
    // Cache-line aligned, so that a block copied in or out touches no more lines than it spans.
    data = static_cast<uint8_t *>(::operator new[](size_t(bytes), std::align_val_t(CACHE_LINE), std::nothrow));
    if (data) {
        std::memset(data, 0, size_t(bytes));
        size = bytes;
    }
}

void CRingBuffer::Free()
{
    ::operator delete[](data, std::align_val_t(CACHE_LINE));
    data = nullptr;
    size = 0;
    readPos.store(0, std::memory_order_relaxed);
    writePos.store(0, std::memory_order_relaxed);
    m_seenReadPos = 0;
    m_seenWritePos = 0;
}

namespace {

#if defined(RFID_RING_STRING_MOVES)
// Enhanced fast string moves (CPUID leaf 7, EBX bit 9).
bool HasFastStringMoves()
{
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    return (ebx & (1u << 9)) != 0;
}

const bool FAST_STRING_MOVES = HasFastStringMoves();
#endif

// The producer's copy into the ring. The lines it writes were last read by the
// consumer, on the other core: a string move on a processor with fast string moves
// writes whole lines without first fetching each one from there, which an ordinary
// copy does (measured: a fifth more bytes per second through the ring).
void CopyIntoRing(uint8_t *to, const uint8_t *from, size_t count)
{
#if defined(RFID_RING_STRING_MOVES)
    if (FAST_STRING_MOVES) {
        asm volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(count) : : "memory");
        return;
    }
#endif
    std::memcpy(to, from, count);
}

} // namespace

int32_t CRingBuffer::UsedBetween(int32_t read, int32_t write, int32_t size)
{
    return read <= write ? write - read : size - read + write;
}

int32_t CRingBuffer::GetUsed() const
{
    if (!data)
        return 0;
    return UsedBetween(readPos.load(std::memory_order_acquire), writePos.load(std::memory_order_acquire), size);
}

int32_t CRingBuffer::GetFree() const
{
    if (!data)
        return 0;
    return size - 1 - UsedBetween(readPos.load(std::memory_order_acquire), writePos.load(std::memory_order_acquire), size);
}

int CRingBuffer::Put(const void *source, int32_t count)
{
    if (count == 0)
        return 1;
    if (count < 0 || !source || !data)
        return 0;
    // Only this side moves writePos: its own value needs no ordering.
    const int32_t write = writePos.load(std::memory_order_relaxed);
    if (count > size - 1 - UsedBetween(m_seenReadPos, write, size)) {
        m_seenReadPos = readPos.load(std::memory_order_acquire);
        if (count > size - 1 - UsedBetween(m_seenReadPos, write, size))
            return 0;
    }
    const auto *bytes = static_cast<const uint8_t *>(source);
    int32_t next = write + count;
    if (next < size) {
        CopyIntoRing(data + write, bytes, size_t(count));
    } else {
        const int32_t tail = size - write;
        CopyIntoRing(data + write, bytes, size_t(tail));
        CopyIntoRing(data, bytes + tail, size_t(count - tail));
        next = count - tail;
    }
    writePos.store(next, std::memory_order_release);
    return 1;
}

int CRingBuffer::Take(void *destination, int32_t count)
{
    if (count == 0)
        return 1;
    if (count < 0 || !destination || !data)
        return 0;
    const int32_t read = readPos.load(std::memory_order_relaxed);
    if (count > UsedBetween(read, m_seenWritePos, size)) {
        m_seenWritePos = writePos.load(std::memory_order_acquire);
        if (count > UsedBetween(read, m_seenWritePos, size))
            return 0;
    }
    auto *bytes = static_cast<uint8_t *>(destination);
    int32_t next = read + count;
    if (next < size) {
        std::memcpy(bytes, data + read, size_t(count));
    } else {
        const int32_t tail = size - read;
        std::memcpy(bytes, data + read, size_t(tail));
        std::memcpy(bytes + tail, data, size_t(count - tail));
        next = count - tail;
    }
    readPos.store(next, std::memory_order_release);
    return 1;
}
