#pragma once

// The XML library's speed code, all of it. Each piece below stays because it pays on
// bench/bench_xmlparse (a generated 10 MB catalogue parsed and freed, and one 8 MiB text
// run); the share given is the time the whole benchmark lost when the piece alone was
// taken out. Anything that bought less than a tenth was removed. Internal to xml/: the
// element tree holds its lists in CXMLPointerList, so XML.h includes this header, but
// nothing outside the library calls into it.

#include <QList>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstring>

class CXMLInput;

// --- Blocks for the tree's objects -------------------------------------------------
// A parse makes and a free releases hundreds of thousands of elements, attributes and
// pointer buffers. Taken from slabs and recycled through a free list per thread, freeing
// the catalogue costs a quarter of what the global heap takes (the parse and free of the
// catalogue about a quarter faster overall). No lock per block: each thread keeps its own
// lists. Slabs stay until the process ends, so a tree may be freed on another thread (its
// blocks join that thread's lists); the memory held is the largest number of these
// objects alive at once. Under AddressSanitizer every block comes from the global heap,
// so that a use after free inside the tree is reported.
enum class TreeObject { Element, Attribute };
void *TakeTreeBlock(TreeObject kind, std::size_t size);
void GiveTreeBlock(TreeObject kind, void *block);

// Pointer buffers in size classes SMALLEST_CLASS, twice that, ... LARGEST_CLASS; larger
// ones from the global heap.
inline constexpr qsizetype SMALLEST_CLASS = 4;
inline constexpr qsizetype LARGEST_CLASS = 64;
// A buffer for at least `wanted` pointers; its capacity is returned in `granted`.
void **TakePointers(qsizetype wanted, qsizetype &granted);
void GivePointers(void **buffer, qsizetype capacity);

// --- Scanning for the tokenizer's delimiters ----------------------------------------
// First position in [at, end) holding `a`, `b` or `c`, or `end`. Eight code units at a
// time with SSE2 (every x86-64 processor): the 8 MiB text run takes half the time of a
// loop over single units.
const char16_t *ScanTo(const char16_t *at, const char16_t *end, char16_t a, char16_t b, char16_t c);

// --- Shared names and short values --------------------------------------------------
// Element and attribute names, short values ("0", "1", a parameter's name) and short
// texts (a parameter's description) repeat throughout a catalogue. The ones seen recently
// are handed out as one shared string: a copy costs no allocation, and freeing the tree
// no free per string. Without it the catalogue's free takes four times as long and the
// whole benchmark 40% longer; sharing texts too buys a further tenth. Owned by one parse
// (CXMLInput), passed explicitly to what adds text; the strings it hands out are ordinary
// shared strings that outlive it. Longer strings are copied as they are.
class StringCache
{
public:
    QString Intern(QStringView s);

private:
    // Direct-mapped by a hash of the characters: a lookup costs one comparison.
    static constexpr int SLOT_BITS = 9;
    static constexpr qsizetype MAX_CHARS = 32;
    QString m_slots[1 << SLOT_BITS];
};

// --- Tags read in place -------------------------------------------------------------
// The tag whose "<" was just consumed, seen in place in the input, when it lies wholly in
// the current piece and every quoted value in it is in double quotes: then the general
// tag phase of the tokenizer would copy it unchanged, step by step. The same steps are
// replayed over the one piece, with the same rule for a quote at the start of a step.
// Empty when the tag needs the general path; nothing is consumed then. Saves the copy of
// nearly every tag: the catalogue's parse is about a fifth faster.
QStringView TagInPlace(CXMLInput &input);

// An ordered list of pointers that does not own what they point to, in buffers from
// TakePointers: the small part of QList's interface the tree needs. Against QList the
// catalogue's free is a third faster and the whole benchmark over a tenth. Not copyable;
// not implicitly shared.
template <typename T>
class CXMLPointerList
{
public:
    using value_type = T *;
    using const_iterator = T *const *;

    CXMLPointerList() = default;
    CXMLPointerList(const CXMLPointerList &) = delete;
    CXMLPointerList &operator=(const CXMLPointerList &) = delete;
    ~CXMLPointerList() { release(); }

    qsizetype size() const { return m_size; }
    qsizetype count() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    qsizetype capacity() const { return m_capacity; }

    T *at(qsizetype i) const
    {
        Q_ASSERT(i >= 0 && i < m_size);
        return m_data[i];
    }
    T *operator[](qsizetype i) const { return at(i); }
    T *first() const { return at(0); }
    T *last() const { return at(m_size - 1); }

    const_iterator begin() const { return m_data; }
    const_iterator end() const { return m_data + m_size; }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }

    qsizetype indexOf(const T *item) const
    {
        const const_iterator found = std::find(begin(), end(), item);
        return found == end() ? -1 : found - begin();
    }
    bool contains(const T *item) const { return indexOf(item) >= 0; }
    qsizetype count(const T *item) const { return qsizetype(std::count(begin(), end(), item)); }

    void append(T *item)
    {
        if (m_size == m_capacity)
            reserve(m_capacity == 0 ? SMALLEST_CLASS : 2 * m_capacity);
        m_data[m_size++] = item;
    }
    void removeAt(qsizetype i)
    {
        Q_ASSERT(i >= 0 && i < m_size);
        std::memmove(static_cast<void *>(m_data + i), m_data + i + 1, size_t(m_size - i - 1) * sizeof(T *));
        --m_size;
    }
    void reserve(qsizetype wanted)
    {
        if (wanted <= m_capacity)
            return;
        qsizetype granted = 0;
        T **grown = reinterpret_cast<T **>(TakePointers(wanted, granted));
        if (m_size > 0)
            std::memcpy(static_cast<void *>(grown), m_data, size_t(m_size) * sizeof(T *));
        release();
        m_data = grown;
        m_capacity = granted;
    }
    // Forgets every pointer and gives the buffer back.
    void clear()
    {
        release();
        m_data = nullptr;
        m_size = 0;
        m_capacity = 0;
    }

    bool operator==(const QList<T *> &other) const
    {
        return m_size == other.size() && std::equal(begin(), end(), other.begin());
    }

private:
    void release()
    {
        if (m_data)
            GivePointers(reinterpret_cast<void **>(m_data), m_capacity);
    }

    T **m_data = nullptr;
    qsizetype m_size = 0;
    qsizetype m_capacity = 0;
};
