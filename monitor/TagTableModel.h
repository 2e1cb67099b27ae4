#pragma once

#include "platform/WorkQueue.h"

#include <QAbstractTableModel>
#include <QByteArray>

#include <functional>
#include <vector>

class CTagMonitor;

// The tag monitor's counts as a table: one row per distinct tag whose text, decoded EPC or
// GS1 key holds the filter text, in the chosen order. The rows follow the monitor only in Refresh, which the window calls
// at its own pace (at most 10 times a second): then new tags come in as inserted rows and the
// order is made again, so a view repaints at that pace however fast the reads come. Between
// refreshes a repainted row shows the live counts.
//
// Up to SYNC_SORT_ROWS rows the order is made at once, by a precomputed key per row (a few
// milliseconds). A larger table is sorted on a thread of its own, from a copy of the monitor
// (its blocks are shared until the counting writes to one, so the copy costs reference counts)
// and of the rows: the window's thread only hands the work over and, when it is back, takes
// the new order, the rows that came meanwhile after it, in order of first read. A sort asked
// for while one runs waits for it and then runs once with what is current; a result that a
// clear, a new filter or another order made stale is dropped. A header click at a million
// rows thus costs the window a copy of the row numbers, and the order follows a few hundred
// milliseconds later. Filtering is a substring search in each tag's UTF-8 text and decoded
// text; it runs only when the filter changes. The decoded text was made once, when the
// monitor first counted the tag: a paint only copies it.
//
// Threads: the monitor's (the window's) for everything but the sorting job, which reads only
// its own copies; the monitor outlives the model.
class CTagTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        TagColumn, KindColumn, ReadsColumn, FirstSeenColumn, LastSeenColumn, RateColumn, DecodedColumn, COLUMN_COUNT
    };

    // The most rows ordered on the window's thread.
    static constexpr int SYNC_SORT_ROWS = 20000;
    // How often a table larger than that is ordered again as the counts move.
    static constexpr qint64 RESORT_INTERVAL_MS = 1000;

    explicit CTagTableModel(const CTagMonitor &monitor, QObject *parent = nullptr);
    ~CTagTableModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // Orders the rows at once and keeps the order at every refresh. Column -1: order of first read.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Shows only the tags whose text, decoded EPC or GS1 key holds `text` (ASCII letters in
    // either case).
    void SetFilter(const QString &text);
    // Brings the rows up to the monitor, with rates as of `nowMs`.
    void Refresh(qint64 nowMs);

    // The monitor's tag number shown in `row`, and the rows shown, in order.
    int TagAt(int row) const { return m_rows[size_t(row)]; }
    const std::vector<int> &Rows() const { return m_rows; }
    // Whether an order is being made on the sorting thread; Sorted() says when it is shown.
    bool SortPending() const { return m_sortRunning; }

signals:
    void Sorted();

public:

    // A time as the table shows it: local date and time with milliseconds.
    static QString FormatTime(qint64 msSinceEpoch);
    static QString KindText(int kind);
    static QString ColumnTitle(int column);

private:
    void rebuild();
    // Orders the rows now, or hands the order to the sorting thread; whether it did it now.
    bool order();
    void startSort();
    void applySort(std::vector<int> sorted, size_t requested, quint64 epoch);
    void reorderKeepingPersistent();
    void changePersistent(const std::function<void()> &reorder);

    const CTagMonitor &m_monitor;
    std::vector<int> m_rows;
    int m_considered = 0;          // tags up to this number were filtered in or out
    quint64 m_clears = 0;
    quint64 m_generation = 0;
    qint64 m_nowMs = 0;
    QByteArray m_filter;           // UTF-8
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    // Changes with whatever makes a sort under way stale (clear, filter, order, an order
    // made here).
    quint64 m_orderEpoch = 0;
    bool m_sortRunning = false;
    bool m_sortAgain = false;
    qint64 m_sortStartedMs = 0;
    // The monitor's tag generation the last sort started from: until it moves, only an order
    // by rate can change.
    quint64 m_sortedTagGeneration = 0;
    CWorkQueue m_sorter;           // last: its thread ends before the rest goes
};
