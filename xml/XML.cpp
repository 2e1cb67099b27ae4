#include "xml/XML.h"

#include <QCoreApplication>
#include <QtDebug>

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

int g_bUnicodeFile = 0;

namespace {

const QString UNKNOWN_ELEMENT_NAME = QStringLiteral("Unknown");

struct EntityReference
{
    QChar character;
    QLatin1StringView reference;
};

// The order matters for encoding only as far as "&" goes first; a one-pass
// encoder gives the same result as the five replacements one after the other.
constexpr EntityReference ENTITY_REFERENCES[] = {
    {u'&', QLatin1StringView("&amp;")},  {u'<', QLatin1StringView("&lt;")},
    {u'>', QLatin1StringView("&gt;")},   {u'\'', QLatin1StringView("&apos;")},
    {u'"', QLatin1StringView("&quot;")},
};

// The tree's elements and attributes come from slabs of many blocks, kept apart
// from the strings' small allocations: a parse makes and a free releases hundreds
// of thousands of them, and through the global heap they fragment it and make
// every free merge neighbouring chunks. Each thread keeps its own list of free
// blocks of each kind, so nothing is locked per block. Slabs are never returned:
// the memory held is the largest number of these objects alive at once (about
// 20 MB after a 10 MB catalogue, a few hundred KB for an ordinary one). Because a
// block stays valid for the whole process, a tree may be freed on another thread
// or during exit: its blocks simply join that thread's list.
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
        // Every slab stays reachable from here (never destroyed), also for leak checkers.
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

// Under AddressSanitizer every element and attribute goes to the global heap, so that a
// use after free inside the tree is reported rather than hidden by a recycled block.
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
    // The next take reads that block's link and its caller fills the block: both
    // find it in the cache if it is asked for now.
    if (freeList)
        __builtin_prefetch(freeList, 1);
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

// A block of exactly T's size comes from the list; a subclass's larger object from
// the global heap.
template <typename T>
void *takeSized(FreeBlock *&freeList, std::size_t size)
{
    return size == sizeof(T) ? takeBlock(freeList, size) : ::operator new(size);
}

template <typename T>
void giveSized(FreeBlock *&freeList, void *block, std::size_t size)
{
    if (size == sizeof(T))
        giveBlock(freeList, block);
    else
        ::operator delete(block);
}

thread_local FreeBlock *t_freeAttributes = nullptr;
thread_local FreeBlock *t_freeElements = nullptr;

// One free list per pointer-buffer size class: SMALLEST_CLASS, twice that, ... LARGEST_CLASS.
constexpr int POINTER_CLASSES = 5;
static_assert(xml_storage::SMALLEST_CLASS << (POINTER_CLASSES - 1) == xml_storage::LARGEST_CLASS);
thread_local FreeBlock *t_freePointers[POINTER_CLASSES] = {};

int pointerClass(qsizetype capacity)
{
    int sizeClass = 0;
    while ((xml_storage::SMALLEST_CLASS << sizeClass) < capacity)
        ++sizeClass;
    return sizeClass;
}

void prefetchElement(const CXML *element)
{
    const char *const at = reinterpret_cast<const char *>(element);
    for (std::size_t offset = 0; offset < sizeof(CXML); offset += 64)
        __builtin_prefetch(at + offset);
}

void prefetchBlocks(const CXML &element)
{
    __builtin_prefetch(element.text.constData());
    if (!element.attributes.isEmpty())
        __builtin_prefetch(element.attributes.at(0));
    if (!element.children.isEmpty())
        __builtin_prefetch(element.children.begin());
}

CXMLWarningFunction &warningFunction()
{
    static CXMLWarningFunction function;
    return function;
}

} // namespace

void **xml_storage::TakePointers(qsizetype wanted, qsizetype &granted)
{
    if (wanted > LARGEST_CLASS) {
        granted = wanted;
        return static_cast<void **>(::operator new(size_t(wanted) * sizeof(void *)));
    }
    const int sizeClass = pointerClass(wanted);
    granted = SMALLEST_CLASS << sizeClass;
    return static_cast<void **>(takeBlock(t_freePointers[sizeClass], size_t(granted) * sizeof(void *)));
}

void xml_storage::GivePointers(void **buffer, qsizetype capacity)
{
    if (capacity > LARGEST_CLASS)
        ::operator delete(buffer);
    else
        giveBlock(t_freePointers[pointerClass(capacity)], buffer);
}

CAttribute::CAttribute(QString attributeName, QString attributeValue)
    : name(std::move(attributeName)), value(std::move(attributeValue))
{
}

void *CAttribute::operator new(std::size_t size)
{
    return takeSized<CAttribute>(t_freeAttributes, size);
}

void CAttribute::operator delete(void *block, std::size_t size)
{
    giveSized<CAttribute>(t_freeAttributes, block, size);
}

void *CXML::operator new(std::size_t size)
{
    return takeSized<CXML>(t_freeElements, size);
}

void CXML::operator delete(void *block, std::size_t size)
{
    giveSized<CXML>(t_freeElements, block, size);
}

CAttributeList::~CAttributeList()
{
    DeleteAll();
}

void CAttributeList::DeleteAll()
{
    // Last to first; the list is emptied only afterwards, in one step.
    for (qsizetype i = size() - 1; i >= 0; --i)
        delete at(i);
    clear();
}

CXML::~CXML()
{
    if (parent)
        parent->RemoveChild(this);
    Clear();
}

void CXML::TakeChildren(std::vector<CXML *> &into)
{
    // Last to first, detached before deletion so that no destructor has to search
    // its parent's list.
    for (qsizetype i = children.size() - 1; i >= 0; --i) {
        CXML *child = children.at(i);
        child->parent = nullptr;
        into.push_back(child);
    }
    children.clear();
    m_childCursor = -1;
}

void CXML::Clear()
{
    attributes.DeleteAll();
    // An explicit work list instead of recursion: a tree nested a million levels
    // deep must not overflow the stack when it is freed.
    std::vector<CXML *> pending;
    TakeChildren(pending);
    while (!pending.empty()) {
        CXML *element = pending.back();
        pending.pop_back();
        // Freeing a large tree waits mostly on memory: the element's own blocks are
        // asked for before its children are taken, and the next element before this
        // one is deleted, so that the loads overlap.
        prefetchBlocks(*element);
        element->TakeChildren(pending);
        if (!pending.empty())
            prefetchElement(pending.back());
        delete element;
    }
    text.clear();
}

void CXML::AddChild(CXML *child)
{
    if (!child)
        return;
    if (child->name.isEmpty())
        child->name = UNKNOWN_ELEMENT_NAME;
    children.append(child);
    if (child->parent)
        child->parent->RemoveChild(child);
    child->parent = this;
}

void CXML::RemoveChild(CXML *child)
{
    const qsizetype index = children.indexOf(child);
    if (index < 0)
        return;
    children.removeAt(index);
    child->parent = nullptr;
    m_childCursor = -1;
}

CXML *CXML::GetFirstChild()
{
    m_childCursor = children.isEmpty() ? -1 : 0;
    return m_childCursor < 0 ? nullptr : children.at(0);
}

CXML *CXML::GetNextChild()
{
    if (m_childCursor < 0)
        return nullptr;
    ++m_childCursor;
    if (m_childCursor >= children.size()) {
        m_childCursor = -1;
        return nullptr;
    }
    return children.at(m_childCursor);
}

CAttribute *CXML::FindAttribute(QStringView attributeName) const
{
    for (CAttribute *attribute : attributes) {
        if (attribute->name == attributeName)
            return attribute;
    }
    return nullptr;
}

QString CXML::GetAttribute(const QString &attributeName) const
{
    const CAttribute *attribute = FindAttribute(attributeName);
    return attribute ? attribute->value : QString();
}

void CXML::SetAttribute(const QString &attributeName, const QString &attributeValue)
{
    if (CAttribute *attribute = FindAttribute(attributeName))
        attribute->value = attributeValue;
    else
        attributes.append(new CAttribute(attributeName, attributeValue));
}

QString EncodeEntities(QStringView s)
{
    QString out;
    out.reserve(s.size());
    for (QChar c : s) {
        bool replaced = false;
        for (const EntityReference &entity : ENTITY_REFERENCES) {
            if (c == entity.character) {
                out.append(entity.reference);
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out.append(c);
    }
    return out;
}

QString DecodeEntities(QStringView s)
{
    qsizetype amp = s.indexOf(u'&');
    if (amp < 0)
        return s.toString();
    QString out;
    out.reserve(s.size());
    qsizetype from = 0;
    while (amp >= 0) {
        out.append(s.mid(from, amp - from));
        const QStringView rest = s.mid(amp);
        qsizetype consumed = 1;
        QChar decoded = u'&';
        for (const EntityReference &entity : ENTITY_REFERENCES) {
            if (rest.startsWith(entity.reference)) {
                decoded = entity.character;
                consumed = entity.reference.size();
                break;
            }
        }
        out.append(decoded);
        from = amp + consumed;
        amp = s.indexOf(u'&', from);
    }
    out.append(s.mid(from));
    return out;
}

void DecodeEntitiesInPlace(QString &s)
{
    const qsizetype first = s.indexOf(u'&');
    if (first < 0)
        return;
    QChar *const data = s.data();
    const qsizetype size = s.size();
    // Writing never overtakes reading: a reference is never shorter than its character.
    qsizetype write = first;
    qsizetype read = first;
    while (read < size) {
        if (data[read] != u'&') {
            data[write++] = data[read++];
            continue;
        }
        const QStringView rest(data + read, size - read);
        qsizetype consumed = 1;
        QChar decoded = u'&';
        for (const EntityReference &entity : ENTITY_REFERENCES) {
            if (rest.startsWith(entity.reference)) {
                decoded = entity.character;
                consumed = entity.reference.size();
                break;
            }
        }
        data[write++] = decoded;
        read += consumed;
    }
    s.truncate(write);
}

CXMLWarningFunction SetXMLWarningFunction(CXMLWarningFunction function)
{
    CXMLWarningFunction previous = std::move(warningFunction());
    warningFunction() = std::move(function);
    return previous;
}

void ShowXMLWarning(const QString &text)
{
    const QString caption = QCoreApplication::applicationName();
    if (warningFunction())
        warningFunction()(text, caption);
    else
        qWarning().noquote() << text;
}
