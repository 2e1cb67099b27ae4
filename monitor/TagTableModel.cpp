#include "monitor/TagTableModel.h"

#include "monitor/TagMonitor.h"

#include <QDateTime>

#include <algorithm>

namespace {

constexpr const char *COLUMN_TITLES[CTagTableModel::COLUMN_COUNT] = {
    "Tag", "Kind", "Reads", "First seen", "Last seen", "Reads/s (10 s)", "Decoded",
};
constexpr const char *KIND_TEXTS[] = {"RFID tag", "Barcode scan"};
constexpr char TIME_FORMAT[] = "yyyy-MM-dd HH:mm:ss.zzz";
constexpr int RATE_DECIMALS = 1;

} // namespace

CTagTableModel::CTagTableModel(const CTagMonitor &monitor, QObject *parent)
    : QAbstractTableModel(parent), m_monitor(monitor), m_clears(monitor.Clears())
{
}

int CTagTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int CTagTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : COLUMN_COUNT;
}

QString CTagTableModel::FormatTime(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch).toString(QLatin1String(TIME_FORMAT));
}

QString CTagTableModel::KindText(int kind)
{
    return QString::fromLatin1(KIND_TEXTS[kind == int(TagKind::BarcodeScan) ? 1 : 0]);
}

QVariant CTagTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()) || index.column() >= COLUMN_COUNT)
        return QVariant();
    const int tag = m_rows[size_t(index.row())];
    if (tag >= m_monitor.DistinctTags())
        return QVariant();   // cleared since the last refresh
    if (role == Qt::TextAlignmentRole)
        return index.column() == ReadsColumn || index.column() == RateColumn
                   ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole && index.column() == DecodedColumn) {
        const QString key = m_monitor.DecodedKey(tag);
        return key.isEmpty() ? QVariant() : QVariant(key);
    }
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case TagColumn:
        return m_monitor.Text(tag);
    case KindColumn:
        return KindText(int(m_monitor.Kind(tag)));
    case ReadsColumn:
        return m_monitor.ReadsOf(tag);
    case FirstSeenColumn:
        return FormatTime(m_monitor.FirstSeenMs(tag));
    case LastSeenColumn:
        return FormatTime(m_monitor.LastSeenMs(tag));
    case RateColumn:
        return QString::number(m_monitor.Rate(tag, m_nowMs), 'f', RATE_DECIMALS);
    case DecodedColumn:
        return m_monitor.Decoded(tag);
    }
    return QVariant();
}

QString CTagTableModel::ColumnTitle(int column)
{
    return column >= 0 && column < COLUMN_COUNT ? QString::fromLatin1(COLUMN_TITLES[column]) : QString();
}

QVariant CTagTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= COLUMN_COUNT)
        return QAbstractTableModel::headerData(section, orientation, role);
    return ColumnTitle(section);
}

void CTagTableModel::sort(int column, Qt::SortOrder order)
{
    m_sortColumn = column >= 0 && column < COLUMN_COUNT ? column : -1;
    m_sortOrder = order;
    reorderKeepingPersistent();
}

void CTagTableModel::SetFilter(const QString &text)
{
    const QByteArray filter = text.toUtf8();
    if (filter == m_filter)
        return;
    m_filter = filter;
    beginResetModel();
    rebuild();
    endResetModel();
}

// Every tag again, filtered and ordered.
void CTagTableModel::rebuild()
{
    m_rows.clear();
    m_clears = m_monitor.Clears();
    m_considered = m_monitor.DistinctTags();
    for (int tag = 0; tag < m_considered; ++tag) {
        if (m_monitor.Matches(tag, m_filter))
            m_rows.push_back(tag);
    }
    order();
}

void CTagTableModel::Refresh(qint64 nowMs)
{
    const bool newSecond = nowMs / 1000 != m_nowMs / 1000;
    m_nowMs = nowMs;
    if (m_monitor.Clears() != m_clears) {
        beginResetModel();
        rebuild();
        endResetModel();
        m_generation = m_monitor.Generation();
        return;
    }
    // Rates move with the clock's second even without reads.
    if (m_monitor.Generation() == m_generation && !newSecond)
        return;
    m_generation = m_monitor.Generation();

    std::vector<int> added;
    for (int tag = m_considered; tag < m_monitor.DistinctTags(); ++tag) {
        if (m_monitor.Matches(tag, m_filter))
            added.push_back(tag);
    }
    m_considered = m_monitor.DistinctTags();
    if (!added.empty()) {
        const int first = int(m_rows.size());
        beginInsertRows(QModelIndex(), first, first + int(added.size()) - 1);
        m_rows.insert(m_rows.end(), added.begin(), added.end());
        endInsertRows();
    }
    if (m_sortColumn >= 0)
        reorderKeepingPersistent();
    else if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(int(m_rows.size()) - 1, COLUMN_COUNT - 1));
}

// Sorts m_rows by a key per row computed once; ties keep the order of first read, so the
// order is the same at every refresh while the keys are.
void CTagTableModel::order()
{
    if (m_sortColumn < 0) {
        if (!std::is_sorted(m_rows.begin(), m_rows.end()))
            std::sort(m_rows.begin(), m_rows.end());
        return;
    }
    const bool descending = m_sortOrder == Qt::DescendingOrder;
    if (m_sortColumn == TagColumn || m_sortColumn == DecodedColumn) {
        const bool decoded = m_sortColumn == DecodedColumn;
        const auto before = [&](int a, int b) {
            const int c = decoded ? m_monitor.CompareDecoded(a, b) : m_monitor.CompareText(a, b);
            return c != 0 ? (descending ? c > 0 : c < 0) : a < b;
        };
        if (!std::is_sorted(m_rows.begin(), m_rows.end(), before))
            std::sort(m_rows.begin(), m_rows.end(), before);
        return;
    }
    std::vector<std::pair<double, int>> keyed;
    keyed.reserve(m_rows.size());
    for (int tag : m_rows) {
        double key = 0;
        switch (m_sortColumn) {
        case KindColumn: key = double(m_monitor.Kind(tag)); break;
        case ReadsColumn: key = double(m_monitor.ReadsOf(tag)); break;
        case FirstSeenColumn: key = double(m_monitor.FirstSeenMs(tag)); break;
        case LastSeenColumn: key = double(m_monitor.LastSeenMs(tag)); break;
        case RateColumn: key = m_monitor.Rate(tag, m_nowMs); break;
        }
        keyed.emplace_back(descending ? -key : key, tag);
    }
    // Mostly the keys have not moved the rows since the last refresh (new tags come last in
    // their order, tags past the monitor's bound change nothing): a check in one pass then
    // spares the sort, which at a million rows holds the window's thread for 100 ms or more.
    if (std::is_sorted(keyed.begin(), keyed.end()))
        return;
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 0; i < keyed.size(); ++i)
        m_rows[i] = keyed[i].second;
}

// A new order as a layout change: the view keeps its scroll position, and the selection and
// current row follow their tags.
void CTagTableModel::reorderKeepingPersistent()
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList persistent = persistentIndexList();
    std::vector<int> tags;
    tags.reserve(size_t(persistent.size()));
    for (const QModelIndex &i : persistent)
        tags.push_back(i.row() < int(m_rows.size()) ? m_rows[size_t(i.row())] : -1);
    order();
    if (!persistent.isEmpty()) {
        std::vector<int> rowOf(size_t(m_monitor.DistinctTags()), -1);
        for (size_t row = 0; row < m_rows.size(); ++row)
            rowOf[size_t(m_rows[row])] = int(row);
        QModelIndexList moved;
        moved.reserve(persistent.size());
        for (qsizetype i = 0; i < persistent.size(); ++i) {
            const int tag = tags[size_t(i)];
            const int row = tag >= 0 && tag < int(rowOf.size()) ? rowOf[size_t(tag)] : -1;
            moved << (row >= 0 ? index(row, persistent[i].column()) : QModelIndex());
        }
        changePersistentIndexList(persistent, moved);
    }
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
