#include "monitor/TagTableModel.h"

#include "monitor/TagMonitor.h"
#include "platform/Memory.h"

#include <QDateTime>

#include <algorithm>

namespace {

constexpr const char *COLUMN_TITLES[CTagTableModel::COLUMN_COUNT] = {
    "Tag", "Kind", "Reads", "First seen", "Last seen", "Reads/s (10 s)", "Decoded",
};
constexpr const char *KIND_TEXTS[] = {"RFID tag", "Barcode scan"};
constexpr char TIME_FORMAT[] = "yyyy-MM-dd HH:mm:ss.zzz";
constexpr int RATE_DECIMALS = 1;
constexpr qsizetype FEW_PERSISTENT = 8;

CTagMonitor::OrderKey orderKeyOf(int column)
{
    switch (column) {
    case CTagTableModel::KindColumn: return CTagMonitor::OrderKey::Kind;
    case CTagTableModel::ReadsColumn: return CTagMonitor::OrderKey::Reads;
    case CTagTableModel::FirstSeenColumn: return CTagMonitor::OrderKey::FirstSeen;
    case CTagTableModel::LastSeenColumn: return CTagMonitor::OrderKey::LastSeen;
    case CTagTableModel::RateColumn: return CTagMonitor::OrderKey::Rate;
    case CTagTableModel::DecodedColumn: return CTagMonitor::OrderKey::Decoded;
    default: break;
    }
    return CTagMonitor::OrderKey::Text;
}

} // namespace

CTagTableModel::CTagTableModel(const CTagMonitor &monitor, QObject *parent)
    : QAbstractTableModel(parent), m_monitor(monitor), m_clears(monitor.Clears())
{
    // A sort at a million rows takes a core for a few hundred milliseconds: never the
    // window thread's.
    m_sorter.SetBackground(true);
}

// The sorting thread ends with the sort under way; its result is dropped.
CTagTableModel::~CTagTableModel() = default;

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
    ++m_orderEpoch;
    reorderKeepingPersistent();
}

void CTagTableModel::SetFilter(const QString &text)
{
    const QByteArray filter = text.toUtf8();
    if (filter == m_filter)
        return;
    m_filter = filter;
    ++m_orderEpoch;
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
        ++m_orderEpoch;
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
    if (m_sortColumn >= 0) {
        // A large table is ordered again at most once a RESORT_INTERVAL_MS, and never
        // while a sort runs: the sorting thread would otherwise take a core for itself. Reads
        // of tags past the bound move no row (an order by rate excepted): no sort for them.
        if (m_rows.size() <= size_t(SYNC_SORT_ROWS))
            reorderKeepingPersistent();
        else if (!m_sortRunning && (nowMs - m_sortStartedMs >= RESORT_INTERVAL_MS || nowMs < m_sortStartedMs)
                 && (m_sortColumn == RateColumn || m_monitor.TagGeneration() != m_sortedTagGeneration))
            startSort();
        else if (!m_rows.empty())
            emit dataChanged(index(0, 0), index(int(m_rows.size()) - 1, COLUMN_COUNT - 1));
    } else if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(int(m_rows.size()) - 1, COLUMN_COUNT - 1));
}

// Sorts m_rows by a key per row computed once (CTagMonitor::Order), here when the rows are
// few, else on the sorting thread.
bool CTagTableModel::order()
{
    if (m_sortColumn < 0) {
        if (!std::is_sorted(m_rows.begin(), m_rows.end()))
            std::sort(m_rows.begin(), m_rows.end());
        ++m_orderEpoch;
        return true;
    }
    if (m_rows.size() > size_t(SYNC_SORT_ROWS)) {
        startSort();
        return false;
    }
    ++m_orderEpoch;
    // The monitor is only read here: a reference, not a copy.
    const std::shared_ptr<const CTagMonitor> monitor(&m_monitor, [](const CTagMonitor *) {});
    CTagMonitor::Order(monitor, m_rows, orderKeyOf(m_sortColumn), m_sortOrder == Qt::DescendingOrder, m_nowMs);
    return true;
}

void CTagTableModel::startSort()
{
    if (m_sortRunning) {
        m_sortAgain = true;
        return;
    }
    m_sortRunning = true;
    m_sortAgain = false;
    m_sortStartedMs = m_nowMs;
    m_sortedTagGeneration = m_monitor.TagGeneration();
    const quint64 epoch = m_orderEpoch;
    const size_t requested = m_rows.size();
    const CTagMonitor::OrderKey key = orderKeyOf(m_sortColumn);
    const bool descending = m_sortOrder == Qt::DescendingOrder;
    const qint64 nowMs = m_nowMs;
    auto snapshot = std::make_shared<const CTagMonitor>(m_monitor);
    m_sorter.Run([this, snapshot, rows = m_rows, requested, key, descending, nowMs, epoch]() mutable -> CWorkQueue::Apply {
        CTagMonitor::Order(std::move(snapshot), rows, key, descending, nowMs);
        // The keys (tens of megabytes at a million rows) were freed on this thread's heap.
        ReturnFreedMemory();
        return [this, rows = std::move(rows), requested, epoch]() mutable { applySort(std::move(rows), requested, epoch); };
    });
}

// The order made on the sorting thread for the first `requested` rows; the rows added
// since follow it as they are.
void CTagTableModel::applySort(std::vector<int> sorted, size_t requested, quint64 epoch)
{
    m_sortRunning = false;
    const bool again = m_sortAgain;
    m_sortAgain = false;
    if (epoch == m_orderEpoch && requested <= m_rows.size()) {
        sorted.insert(sorted.end(), m_rows.begin() + qsizetype(requested), m_rows.end());
        changePersistent([&] { m_rows.swap(sorted); });
        emit Sorted();
    }
    if ((again || epoch != m_orderEpoch) && m_sortColumn >= 0 && m_rows.size() > size_t(SYNC_SORT_ROWS))
        startSort();
}

// A new order as a layout change: the view keeps its scroll position, and the selection and
// current row follow their tags.
void CTagTableModel::reorderKeepingPersistent()
{
    if (m_sortColumn >= 0 && m_rows.size() > size_t(SYNC_SORT_ROWS)) {
        startSort();   // the view changes when the order is back
        return;
    }
    changePersistent([this] { order(); });
}

void CTagTableModel::changePersistent(const std::function<void()> &reorder)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList persistent = persistentIndexList();
    std::vector<int> tags;
    tags.reserve(size_t(persistent.size()));
    for (const QModelIndex &i : persistent)
        tags.push_back(i.row() < int(m_rows.size()) ? m_rows[size_t(i.row())] : -1);
    reorder();
    if (!persistent.isEmpty()) {
        // A view holds a few persistent rows (the current one, a selection's corners): each
        // is found by a scan of the rows, which at a million rows reads 4 MB in order; a
        // table of every tag's row would write 4 MB at random.
        std::vector<int> rowOf;
        const bool few = persistent.size() <= FEW_PERSISTENT;
        if (!few) {
            rowOf.assign(size_t(m_monitor.DistinctTags()), -1);
            for (size_t row = 0; row < m_rows.size(); ++row)
                rowOf[size_t(m_rows[row])] = int(row);
        }
        QModelIndexList moved;
        moved.reserve(persistent.size());
        for (qsizetype i = 0; i < persistent.size(); ++i) {
            const int tag = tags[size_t(i)];
            int row = -1;
            if (few && tag >= 0) {
                const auto at = std::find(m_rows.begin(), m_rows.end(), tag);
                row = at == m_rows.end() ? -1 : int(at - m_rows.begin());
            } else if (tag >= 0 && tag < int(rowOf.size())) {
                row = rowOf[size_t(tag)];
            }
            moved << (row >= 0 ? index(row, persistent[i].column()) : QModelIndex());
        }
        changePersistentIndexList(persistent, moved);
    }
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
