#include "xml/XMLFast.h"

#include "xml/XMLInput.h"

#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// --- Blocks for the tree's objects ---

struct FreeBlock
{
    FreeBlock *next;
};

constexpr std::size_t BLOCKS_PER_SLAB = 256;

std::size_t roundedBlockSize(std::size_t size)
{
    constexpr std::size_t alignment = alignof(std::max_align_t);
    return (size + alignment - 1) / alignment * alignment;
}

// Cuts a new slab into blocks, in address order, and returns the first.
FreeBlock *addSlab(std::size_t blockSize)
{
    const std::size_t size = roundedBlockSize(blockSize);
    auto *slab = static_cast<char *>(::operator new(size * BLOCKS_PER_SLAB));
    {
        // Every slab stays reachable from here, also for leak checkers.
        static std::mutex mutex;
        static auto *slabs = new std::vector<void *>;
        const std::lock_guard<std::mutex> lock(mutex);
        slabs->push_back(slab);
    }
    FreeBlock *head = nullptr;
    for (std::size_t i = BLOCKS_PER_SLAB; i-- > 0;) {
        auto *block = reinterpret_cast<FreeBlock *>(slab + i * size);
        block->next = head;
        head = block;
    }
    return head;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool RECYCLE_BLOCKS = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool RECYCLE_BLOCKS = false;
#else
constexpr bool RECYCLE_BLOCKS = true;
#endif
#else
constexpr bool RECYCLE_BLOCKS = true;
#endif

void *takeBlock(FreeBlock *&freeList, std::size_t blockSize)
{
    if constexpr (!RECYCLE_BLOCKS)
        return ::operator new(blockSize);
    if (!freeList)
        freeList = addSlab(blockSize);
    FreeBlock *block = freeList;
    freeList = block->next;
    return block;
}

void giveBlock(FreeBlock *&freeList, void *memory)
{
    if constexpr (!RECYCLE_BLOCKS) {
        ::operator delete(memory);
        return;
    }
    auto *block = static_cast<FreeBlock *>(memory);
    block->next = freeList;
    freeList = block;
}

// One free list per kind of tree object and one per pointer-buffer size class:
// SMALLEST_CLASS, twice that, ... LARGEST_CLASS. Only the allocator touches them.
constexpr int POINTER_CLASSES = 5;
static_assert(SMALLEST_CLASS << (POINTER_CLASSES - 1) == LARGEST_CLASS);

struct ThreadBlocks
{
    FreeBlock *elements = nullptr;
    FreeBlock *attributes = nullptr;
    FreeBlock *pointers[POINTER_CLASSES] = {};
};

thread_local ThreadBlocks t_blocks;

FreeBlock *&treeList(TreeObject kind)
{
    return kind == TreeObject::Element ? t_blocks.elements : t_blocks.attributes;
}

int pointerClass(qsizetype capacity)
{
    int sizeClass = 0;
    while ((SMALLEST_CLASS << sizeClass) < capacity)
        ++sizeClass;
    return sizeClass;
}

// --- Shared names and short values ---

// A hash of every code unit of a short string, eight bytes at a time. Multiplying
// carries each bit of the input only towards the high bits, so the cache takes its
// slot from the top bits of the result.
quint64 hashUnits(const char16_t *units, qsizetype count)
{
    constexpr quint64 MULTIPLIER = 0x9E3779B97F4A7C15ull;
    const auto *p = reinterpret_cast<const char *>(units);
    size_t bytes = size_t(count) * sizeof(char16_t);
    quint64 hash = quint64(count) * MULTIPLIER;
    for (; bytes >= sizeof(quint64); bytes -= sizeof(quint64), p += sizeof(quint64)) {
        quint64 word;
        std::memcpy(&word, p, sizeof word);
        hash = (hash ^ word) * MULTIPLIER;
        hash ^= hash >> 32;
    }
    quint64 last = 0;
    for (; bytes >= sizeof(char16_t); bytes -= sizeof(char16_t), p += sizeof(char16_t)) {
        char16_t unit;
        std::memcpy(&unit, p, sizeof unit);
        last = last << 16 | unit;
    }
    return (hash ^ last) * MULTIPLIER;
}

constexpr char16_t LT = u'<';
constexpr char16_t GT = u'>';
constexpr char16_t DOUBLE_QUOTE = u'"';
constexpr char16_t APOSTROPHE = u'\'';

} // namespace

void *TakeTreeBlock(TreeObject kind, std::size_t size)
{
    return takeBlock(treeList(kind), size);
}

void GiveTreeBlock(TreeObject kind, void *block)
{
    giveBlock(treeList(kind), block);
}

void **TakePointers(qsizetype wanted, qsizetype &granted)
{
    if (wanted > LARGEST_CLASS) {
        granted = wanted;
        return static_cast<void **>(::operator new(size_t(wanted) * sizeof(void *)));
    }
    const int sizeClass = pointerClass(wanted);
    granted = SMALLEST_CLASS << sizeClass;
    return static_cast<void **>(takeBlock(t_blocks.pointers[sizeClass], size_t(granted) * sizeof(void *)));
}

void GivePointers(void **buffer, qsizetype capacity)
{
    if (capacity > LARGEST_CLASS)
        ::operator delete(buffer);
    else
        giveBlock(t_blocks.pointers[pointerClass(capacity)], buffer);
}

const char16_t *ScanTo(const char16_t *at, const char16_t *end, char16_t a, char16_t b, char16_t c)
{
#if defined(__SSE2__)
    const __m128i wantA = _mm_set1_epi16(short(a));
    const __m128i wantB = _mm_set1_epi16(short(b));
    const __m128i wantC = _mm_set1_epi16(short(c));
    while (end - at >= 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(units, wantA), _mm_cmpeq_epi16(units, wantB)),
                                          _mm_cmpeq_epi16(units, wantC));
        const int mask = _mm_movemask_epi8(hits);
        if (mask != 0)
            return at + qCountTrailingZeroBits(quint32(mask)) / 2;
        at += 8;
    }
#endif
    while (at != end && *at != a && *at != b && *at != c)
        ++at;
    return at;
}

QString StringCache::Intern(QStringView s)
{
    if (s.isEmpty())
        return QString();
    if (s.size() > MAX_CHARS)
        return s.toString();
    QString &slot = m_slots[hashUnits(s.utf16(), s.size()) >> (64 - SLOT_BITS)];
    if (QStringView(slot) != s)
        slot = s.toString();
    return slot;
}

QStringView TagInPlace(CXMLInput &input)
{
    const QStringView s = input.Read().chars;
    const char16_t *const begin = s.utf16();
    const char16_t *const end = begin + s.size();
    const char16_t *step = begin;
    while (step != end) {
        const char16_t doubleQuote = *step != DOUBLE_QUOTE ? DOUBLE_QUOTE : GT;
        const char16_t apostrophe = *step != APOSTROPHE ? APOSTROPHE : GT;
        const char16_t *const at = ScanTo(step, end, GT, doubleQuote, apostrophe);
        if (at == end || *at == APOSTROPHE)
            return QStringView();
        if (*at == GT) {
            const qsizetype length = at - begin + 1;
            const QStringView tag = input.WithConsumed(1, length);
            if (tag.isEmpty() || tag[0] != LT)
                return QStringView();
            input.Advance(length * input.CharWidth());
            return tag;
        }
        const char16_t *const close = ScanTo(at + 1, end, DOUBLE_QUOTE, DOUBLE_QUOTE, DOUBLE_QUOTE);
        if (close == end)
            return QStringView();
        step = close + 1;
    }
    return QStringView();
}
