#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <array>
#include <functional>
#include <vector>

// What kind of read a tag line was: an RFID inventory's tag or a scan's barcode (the
// protocol's scan mode when the line arrived).
enum class TagKind : quint8 { RfidTag, BarcodeScan };

// Counts every tag line the reader sends: one record per distinct tag (told apart exactly as
// the reader sent it, case included, as the typed-tag list does), with its kind, read count,
// first and last read and its reads of each of the last RATE_SECONDS whole seconds; beside
// them the totals and the reads of each of the last HISTORY_SECONDS whole seconds.
//
// Time is wall-clock milliseconds since the epoch from a clock the owner gives (tests feed
// one). Reads are counted per whole second of that clock. A tag's rate covers the last
// RATE_SECONDS whole seconds and the current second so far, divided by the time they span;
// the history holds whole seconds only. A clock that goes back counts the read into the
// latest second already seen.
//
// Memory, for speed and size at 100,000 distinct tags: the records sit in one array, the
// tag texts (UTF-8) one after the other in one byte array, and the index is an open
// addressing table of record numbers; no allocation per tag. A count costs a hash of the
// line and one probe.
//
// Threads: one owner thread (the window's). A copy (for an export on another thread) shares
// nothing with the original.
class CTagMonitor
{
public:
    using Clock = std::function<qint64()>;   // ms since the epoch, UTC

    static constexpr int RATE_SECONDS = 10;
    static constexpr int HISTORY_SECONDS = 60;

    // The system clock, or `clock`.
    explicit CTagMonitor(Clock clock = Clock());

public: // counting
    // One read of `line` now. Empty lines are not tags and are not counted.
    void Count(QStringView line, TagKind kind);
    // Forgets every tag and total.
    void Clear();
    qint64 Now() const { return m_clock(); }

public: // totals
    int DistinctTags() const { return int(m_records.size()); }
    quint64 Reads() const { return m_reads; }
    // The first read since the last clear; -1 while there was none.
    qint64 FirstReadMs() const { return m_firstReadMs; }
    // From the first read to `nowMs` (0 without reads), and the reads per second over it.
    qint64 ElapsedMs(qint64 nowMs) const;
    double OverallRate(qint64 nowMs) const;
    // Reads in each of the HISTORY_SECONDS whole seconds before the one `nowMs` falls in,
    // oldest first.
    std::array<quint64, HISTORY_SECONDS> ReadsPerSecond(qint64 nowMs) const;
    // Changes with every count and clear: tells a view whether anything changed.
    quint64 Generation() const { return m_generation; }
    // Changes with every clear: tells a view that the tag numbers start again.
    quint64 Clears() const { return m_clears; }

public: // the tags, numbered in order of first read, 0 .. DistinctTags() - 1
    // -1 when `text` was not read.
    int IndexOf(QStringView text) const;
    QString Text(int tag) const;
    QByteArray TextUtf8(int tag) const;
    // Whether the tag's text holds `needle` (case-insensitive for ASCII letters); an empty
    // needle is held by every tag.
    bool TextContains(int tag, const QByteArray &needleUtf8) const;
    TagKind Kind(int tag) const { return m_records[size_t(tag)].kind; }
    quint64 ReadsOf(int tag) const { return m_records[size_t(tag)].reads; }
    qint64 FirstSeenMs(int tag) const { return m_records[size_t(tag)].firstMs; }
    qint64 LastSeenMs(int tag) const { return m_records[size_t(tag)].lastMs; }
    // Reads per second over the RATE_SECONDS whole seconds before the one `nowMs` falls in
    // and that second up to `nowMs`.
    double Rate(int tag, qint64 nowMs) const;
    // Compares two tags' texts in code point order.
    int CompareText(int a, int b) const;

    // Bytes held for the tags (records, texts, index), capacity included.
    std::size_t MemoryBytes() const;

private:
    struct Record
    {
        qint64 firstMs;
        qint64 lastMs;       // its second is the newest of `perSecond`
        quint64 reads;
        quint32 textOffset;  // in m_texts
        quint32 textBytes;
        quint32 hash;
        TagKind kind;
        // By second modulo its size: the window's seconds and the current one.
        std::array<quint32, RATE_SECONDS + 1> perSecond;
    };

    static qint64 secondOf(qint64 ms);
    static quint32 hashOf(const char *bytes, qsizetype count);
    static void encode(QStringView line, QByteArray &into);
    int find(const QByteArray &text, quint32 hash) const;
    int addRecord(quint32 hash, TagKind kind, qint64 nowMs);
    void growIndex();

    Clock m_clock;
    std::vector<Record> m_records;
    QByteArray m_texts;
    std::vector<quint32> m_index;   // record number + 1; 0: free. Size a power of two.
    QByteArray m_scratch;           // the line being counted, in UTF-8
    quint64 m_reads = 0;
    qint64 m_firstReadMs = -1;
    qint64 m_historySecond = 0;     // the newest second of m_history
    std::array<quint64, HISTORY_SECONDS + 1> m_history{};   // as Record::perSecond
    quint64 m_generation = 0;
    quint64 m_clears = 0;
};
