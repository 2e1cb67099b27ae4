#include "xml/XML.h"

#include <QCoreApplication>
#include <QtDebug>

#include <cstddef>
#include <utility>
#include <vector>

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

} // namespace

CAttribute::CAttribute(QString attributeName, QString attributeValue)
    : name(std::move(attributeName)), value(std::move(attributeValue))
{
}

// A block of exactly the class's size comes from the slabs; a subclass's larger object
// from the global heap.
void *CAttribute::operator new(std::size_t size)
{
    return size == sizeof(CAttribute) ? TakeTreeBlock(TreeObject::Attribute, size)
                                      : ::operator new(size);
}

void CAttribute::operator delete(void *block, std::size_t size)
{
    if (size == sizeof(CAttribute))
        GiveTreeBlock(TreeObject::Attribute, block);
    else
        ::operator delete(block);
}

void *CXML::operator new(std::size_t size)
{
    return size == sizeof(CXML) ? TakeTreeBlock(TreeObject::Element, size)
                                : ::operator new(size);
}

void CXML::operator delete(void *block, std::size_t size)
{
    if (size == sizeof(CXML))
        GiveTreeBlock(TreeObject::Element, block);
    else
        ::operator delete(block);
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
        element->TakeChildren(pending);
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
    QString out = s.toString();
    const qsizetype first = out.indexOf(u'&');
    if (first < 0)
        return out;
    QChar *const data = out.data();
    const qsizetype size = out.size();
    // Decoded in place: writing never overtakes reading, as a reference is never
    // shorter than its character.
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
    out.truncate(write);
    return out;
}

void ShowXMLWarning(const CXMLWarningFunction &warning, const QString &text)
{
    if (warning)
        warning(text, QCoreApplication::applicationName());
    else
        qWarning().noquote() << text;
}
