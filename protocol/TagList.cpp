#include "protocol/TagList.h"

bool CTagList::insert(const QString &tag)
{
    if (m_index.contains(tag))
        return false;
    m_index.insert(tag);
    m_order.append(tag);
    return true;
}

void CTagList::clear()
{
    m_order.clear();
    m_index.clear();
    ++m_generation;
}
