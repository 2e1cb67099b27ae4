#pragma once

#include <QList>

#include <algorithm>
#include <cstdint>
#include <cstring>

// Storage for the tree's pointer lists. Buffers of up to LARGEST_CLASS pointers come
// in a few size classes from per-thread free lists, like the tree's elements; larger
// ones from the global heap. A parse fills and a free empties a list per element, and
// through the global heap those hundreds of thousands of small buffers fragment it and
// make every free merge neighbouring chunks.
namespace xml_storage {
inline constexpr qsizetype SMALLEST_CLASS = 4;
inline constexpr qsizetype LARGEST_CLASS = 64;
// A buffer for at least `wanted` pointers; its capacity (a size class, or `wanted`
// itself above the largest class) is returned in `granted`.
void **TakePointers(qsizetype wanted, qsizetype &granted);
void GivePointers(void **buffer, qsizetype capacity);
} // namespace xml_storage

// An ordered list of pointers that does not own what they point to: the small part
// of QList's interface the tree needs. Not copyable; not implicitly shared.
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
        for (qsizetype i = 0; i < m_size; ++i) {
            if (m_data[i] == item)
                return i;
        }
        return -1;
    }
    bool contains(const T *item) const { return indexOf(item) >= 0; }
    qsizetype count(const T *item) const { return qsizetype(std::count(begin(), end(), item)); }

    void append(T *item)
    {
        if (m_size == m_capacity)
            reserve(m_capacity == 0 ? xml_storage::SMALLEST_CLASS : 2 * m_capacity);
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
        T **grown = reinterpret_cast<T **>(xml_storage::TakePointers(wanted, granted));
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

    QList<T *> toList() const { return QList<T *>(begin(), end()); }
    bool operator==(const QList<T *> &other) const
    {
        return m_size == other.size() && std::equal(begin(), end(), other.begin());
    }

private:
    void release()
    {
        if (m_data)
            xml_storage::GivePointers(reinterpret_cast<void **>(m_data), m_capacity);
    }

    T **m_data = nullptr;
    qsizetype m_size = 0;
    qsizetype m_capacity = 0;
};
