#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

// The tags already typed since the last trigger: kept in arrival order, compared exactly
// (case-sensitive), with a hash set beside the list so that a look-up stays constant-time
// however many tags a long inventory brings. User-interface thread only.
class CTagList
{
public:
    bool contains(const QString &tag) const { return m_index.contains(tag); }
    // Appends `tag` unless it is already there; true when it was new.
    bool insert(const QString &tag);
    void clear();
    qsizetype size() const { return m_order.size(); }
    const QStringList &items() const { return m_order; }
    // Counts the clears: tells one trigger's list from the next.
    quint64 generation() const { return m_generation; }

private:
    quint64 m_generation = 0;
    QStringList m_order;
    QSet<QString> m_index;
};
