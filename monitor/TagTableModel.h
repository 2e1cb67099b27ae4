#pragma once

#include <QAbstractTableModel>
#include <QByteArray>

#include <vector>

class CTagMonitor;

// The tag monitor's counts as a table: one row per distinct tag whose text, decoded EPC or
// GS1 key holds the filter text, in the chosen order. The rows follow the monitor only in Refresh, which the window calls
// at its own pace (at most 10 times a second): then new tags come in as inserted rows and the
// order is made again, so a view repaints at that pace however fast the reads come. Between
// refreshes a repainted row shows the live counts.
//
// Sorting 100,000 rows by a precomputed key per row takes a few milliseconds; filtering is a
// substring search in each tag's UTF-8 text and decoded text. Both run only when something
// changed. The decoded text was made once, when the monitor first counted the tag: a paint
// only copies it.
//
// Threads: the monitor's (the window's); the monitor outlives the model.
class CTagTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        TagColumn, KindColumn, ReadsColumn, FirstSeenColumn, LastSeenColumn, RateColumn, DecodedColumn, COLUMN_COUNT
    };

    explicit CTagTableModel(const CTagMonitor &monitor, QObject *parent = nullptr);

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

    // A time as the table shows it: local date and time with milliseconds.
    static QString FormatTime(qint64 msSinceEpoch);
    static QString KindText(int kind);
    static QString ColumnTitle(int column);

private:
    void rebuild();
    void order();
    void reorderKeepingPersistent();

    const CTagMonitor &m_monitor;
    std::vector<int> m_rows;
    int m_considered = 0;          // tags up to this number were filtered in or out
    quint64 m_clears = 0;
    quint64 m_generation = 0;
    qint64 m_nowMs = 0;
    QByteArray m_filter;           // UTF-8
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};
