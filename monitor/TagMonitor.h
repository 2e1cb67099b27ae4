#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <array>
#include <functional>
#include <memory>
#include <vector>

// What kind of read a tag line was: an RFID inventory's tag or a scan's barcode (the
// protocol's scan mode when the line arrived).
enum class TagKind : quint8 { RfidTag, BarcodeScan };

// Counts every tag line the reader sends: one record per distinct tag (told apart exactly as
// the reader sent it, case included, as the typed-tag list does), with its kind, read count,
// first and last read, its reads of each of the last RATE_SECONDS whole seconds, and its EPC
// decoded once, when it is first read; beside them the totals and the reads of each of the
// last HISTORY_SECONDS whole seconds.
//
// Time is wall-clock milliseconds since the epoch from a clock the owner gives (tests feed
// one). Reads are counted per whole second of that clock. A tag's rate covers the last
// RATE_SECONDS whole seconds and the current second so far, divided by the time they span;
// the history holds whole seconds only. A clock that goes back counts the read into the
// latest second already seen.
//
// Bounded: at most `maxTags` distinct tags (MAX_TAGS: about 130 MB with decoded SGTINs, 77 MB
// for 24-digit tags of unknown headers).
// Past the bound the known tags keep counting, and reads of new tags are counted together
// as others (in the totals, not as tags); the bound handler hears of it once after each clear.
//
// Memory, for speed and size: the records (56 bytes) sit in fixed blocks, the tag texts
// (hexadecimal digits packed two to a byte, any other text in UTF-8) with their decoded text
// one after the other in fixed chunks, and the index is an open
// addressing table of record numbers sized once for the bound, its pages allocated when
// first written. No allocation per tag, and growing never moves what is stored: no stall
// of the owner's thread at a million tags. A count costs a hash of the line and one probe.
//
// Threads: one owner thread (the window's). A copy (for an export on another thread) shares
// only blocks that neither side writes: Qt's implicit sharing copies a block before a write.
class CTagMonitor
{
public:
    using Clock = std::function<qint64()>;   // ms since the epoch, UTC
    using BoundHandler = std::function<void(int maxTags)>;

    static constexpr int RATE_SECONDS = 10;
    static constexpr int HISTORY_SECONDS = 60;
    static constexpr int MAX_TAGS = 1000000;
    // The largest bound a monitor takes: the index keeps a tag's number and a fingerprint of
    // its hash in 32 bits.
    static constexpr int MAX_BOUND = (1 << 26) - 1;

    // The system clock, or `clock`.
    explicit CTagMonitor(Clock clock = Clock(), int maxTags = MAX_TAGS);

public: // counting
    // One read of `line` now. Empty lines are not tags and are not counted.
    void Count(QStringView line, TagKind kind);
    // Forgets every tag and total.
    void Clear();
    qint64 Now() const { return m_clock(); }
    // Whether new tags have their EPC decoded (on at first); a view without the decoded
    // text saves the work.
    void SetDecoding(bool on) { m_decoding = on; }
    bool IsDecoding() const { return m_decoding; }
    // Called, on the counting thread, at the first read of a new tag past the bound.
    void SetBoundHandler(BoundHandler handler) { m_onBound = std::move(handler); }
    // What a front end tells the operator of the bound, once.
    static QString BoundNote(int maxTags);

public: // totals
    int DistinctTags() const { return m_count; }
    int MaxTags() const { return m_maxTags; }
    quint64 Reads() const { return m_reads; }
    // Reads of tags that came past the bound, counted together.
    quint64 OtherReads() const { return m_otherReads; }
    // The first read since the last clear; -1 while there was none.
    qint64 FirstReadMs() const { return m_firstReadMs; }
    // From the first read to `nowMs` (0 without reads).
    qint64 ElapsedMs(qint64 nowMs) const;
    // Reads per second of all tags, by the one definition every view uses (the tags' rate
    // below): the RATE_SECONDS whole seconds before the one `nowMs` falls in and that second
    // up to `nowMs`. In a steady stream it is what each second's bar of the history shows.
    double Rate(qint64 nowMs) const;
    // Reads in each of the HISTORY_SECONDS whole seconds before the one `nowMs` falls in,
    // oldest first.
    std::array<quint64, HISTORY_SECONDS> ReadsPerSecond(qint64 nowMs) const;
    // Changes with every count and clear: tells a view whether anything changed.
    quint64 Generation() const { return m_generation; }
    // Changes with every count of a tag held and every clear, not with reads of others: tells
    // a view whether an order by anything but the rate may have moved.
    quint64 TagGeneration() const { return m_tagGeneration; }
    // Changes with every clear: tells a view that the tag numbers start again.
    quint64 Clears() const { return m_clears; }

public: // the tags, numbered in order of first read, 0 .. DistinctTags() - 1
    // -1 when `text` was not read.
    int IndexOf(QStringView text) const;
    QString Text(int tag) const;
    QByteArray TextUtf8(int tag) const;
    // The decoded EPC as a table shows it (the pure identity URI, or why it is not one);
    // "" for a line that is no EPC or when decoding was off.
    QString Decoded(int tag) const;
    // The GS1 key the EPC names, with its name ("GTIN 80614141123458"), or "".
    QString DecodedKey(int tag) const;
    // Whether the tag's text, decoded text or key holds `needle` (case-insensitive for ASCII
    // letters); an empty needle is held by every tag.
    bool Matches(int tag, const QByteArray &needleUtf8) const;
    TagKind Kind(int tag) const { return record(tag).kind; }
    quint64 ReadsOf(int tag) const { return record(tag).reads; }
    qint64 FirstSeenMs(int tag) const { return record(tag).firstMs; }
    qint64 LastSeenMs(int tag) const { return record(tag).lastMs; }
    // Reads per second over the RATE_SECONDS whole seconds before the one `nowMs` falls in
    // and that second up to `nowMs`.
    double Rate(int tag, qint64 nowMs) const;
    // Compares two tags' texts, or their decoded texts, in code point order.
    int CompareText(int a, int b) const;
    int CompareDecoded(int a, int b) const;

    // Bytes held for the tags (records, texts, index), capacity included.
    std::size_t MemoryBytes() const;

public: // ordering, for a table
    enum class OrderKey { Text, Kind, Reads, FirstSeen, LastSeen, Rate, Decoded };
    // Orders `tags` by `key` (rates as of `nowMs`); ties keep the order of first read, so the
    // order is the same each time while the keys are. Each tag's key is read once, then
    // `monitor` is let go (the texts excepted, which are never written again): a copy that
    // shares its blocks with the counting monitor makes the counting copy each block it
    // writes while the copy lives. Returns whether the order changed. Runs on any thread,
    // given a monitor that no other thread writes.
    static bool Order(std::shared_ptr<const CTagMonitor> monitor, std::vector<int> &tags, OrderKey key,
                      bool descending, qint64 nowMs);

private:
    static bool orderWide(std::shared_ptr<const CTagMonitor> monitor, std::vector<int> &tags, OrderKey key,
                          bool descending);

    struct Record
    {
        qint64 firstMs;
        qint64 lastMs;       // its second is the newest of `perSecond`
        quint32 reads;       // stops at 4,294,967,295 (50 days of a tag read 1,000 times a second)
        // In m_chunks: the text, then the decoded text, then the key; the chunk's number
        // above TEXT_OFFSET_BITS, the offset in it below.
        quint32 textAt;
        // Characters of the text; packed: hexadecimal digits (0-9, A-F) two to a byte, the
        // first in the high half, rather than UTF-8 (a 24-digit EPC in 12 bytes, not 24).
        quint32 textChars : 31;
        quint32 packed : 1;
        quint16 decodedBytes;
        quint8 keyBytes;
        TagKind kind;
        // The decoded text is that of an unknown header (`header`), kept once for all tags
        // that have it (unprogrammed tags share a few headers), not after the text.
        bool headerDecoded;
        quint8 header;
        // By second modulo its size: the window's seconds and the current one. A tag is read
        // a few hundred times a second at most; a count stops at 65,535.
        std::array<quint16, RATE_SECONDS + 1> perSecond;
    };

    // The key a text is stored and found by: packed when it is all upper-case hexadecimal
    // digits, else its UTF-8 bytes.
    struct StoredText
    {
        QByteArray bytes;
        quint32 chars = 0;
        bool packed = false;
    };

    // Where a record's decoded text is, and how long.
    QByteArrayView decodedOf(const Record &r) const;
    static qint64 secondOf(qint64 ms);
    // The seconds a rate at `nowMs` is taken over.
    static double rateSpan(qint64 nowMs);
    static quint32 hashOf(const char *bytes, qsizetype count);
    static void encode(QStringView line, QByteArray &into);
    // `utf8` as it is stored, in `into`.
    static void storedForm(const QByteArray &utf8, StoredText &into);
    static quint32 storedBytes(const Record &r) { return r.packed ? (r.textChars + 1) / 2 : r.textChars; }
    // The text's UTF-8 bytes from its first `from` characters on, appended to `out`.
    void appendText(const Record &r, quint32 from, QByteArray &out) const;
    const Record &record(int tag) const;
    Record &record(int tag);
    const char *textOf(const Record &r) const;
    quint32 slot(std::size_t at) const;
    quint32 fingerprintOf(quint32 hash) const;
    int find(const StoredText &text, quint32 hash) const;
    int addRecord(QStringView line, quint32 hash, TagKind kind, qint64 nowMs);
    bool store(Record &r, QByteArrayView decoded, const QByteArray &key);

    Clock m_clock;
    int m_maxTags;
    int m_count = 0;
    // Each block, chunk and page is reserved whole and never moved, and is shared with a copy
    // until one side writes to it: a copy for an export costs reference counts, and the
    // counting that goes on copies each block it touches once, not all at once.
    std::vector<QList<Record>> m_blocks;
    std::vector<QByteArray> m_chunks;
    // Record number + 1 in the low m_numberBits, the hash's fingerprint above; 0: free. Pages
    // of slots; an empty page holds only free slots.
    std::vector<QList<quint32>> m_index;
    int m_numberBits = 1;
    std::size_t m_indexMask = 0;
    mutable std::size_t m_freeSlot = 0;   // where the last probe that found nothing ended
    QByteArray m_scratch;           // the line being counted, in UTF-8
    StoredText m_stored;            // and as it is stored
    quint64 m_reads = 0;
    quint64 m_otherReads = 0;
    qint64 m_firstReadMs = -1;
    qint64 m_historySecond = 0;     // the newest second of m_history
    std::array<quint64, HISTORY_SECONDS + 1> m_history{};   // as Record::perSecond
    quint64 m_generation = 0;
    quint64 m_tagGeneration = 0;
    quint64 m_clears = 0;
    bool m_decoding = true;
    std::array<QByteArray, 256> m_headerTexts;   // the decoded text of each unknown header
    BoundHandler m_onBound;
};
