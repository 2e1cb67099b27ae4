#include "monitor/TagMonitor.h"

#include "epc/EpcDecoder.h"
#include "platform/Memory.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QHashFunctions>
#include <QLocale>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr qint64 MS_PER_SECOND = 1000;
// The index has at least twice the bound's slots, so a probe meets a free slot within a few
// steps; its pages are allocated when first written (at a million tags all are: 8 MB).
constexpr int INDEX_PAGE_BITS = 10;
constexpr std::size_t INDEX_PAGE_SLOTS = std::size_t(1) << INDEX_PAGE_BITS;
// Records and texts are kept in blocks allocated whole: growing adds a block and never
// copies the ones before, which at a million tags would hold the owner's thread for
// hundreds of milliseconds.
constexpr int RECORD_BLOCK_BITS = 12;
constexpr int RECORD_BLOCK = 1 << RECORD_BLOCK_BITS;
// A record finds its text by a chunk's number and an offset in it, in 32 bits: at most
// 16,384 chunks (4 GB of texts).
constexpr int TEXT_OFFSET_BITS = 18;
constexpr qsizetype TEXT_CHUNK_BYTES = qsizetype(1) << TEXT_OFFSET_BITS;
constexpr std::size_t MAX_TEXT_CHUNKS = std::size_t(1) << (32 - TEXT_OFFSET_BITS);
constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
// The decoded text kept per tag: a URI is well inside it; a longer one is cut.
constexpr int MAX_DECODED_BYTES = 0xFFFF;
constexpr int MAX_KEY_BYTES = 0xFF;

// Moves a ring of per-second counts, whose newest slot is `latest`, on to `second`: the
// seconds skipped over read nothing. A second before `latest` (the clock went back) is taken
// as `latest`. Returns the slot of the second counted into.
template <std::size_t N>
std::size_t slotOf(qint64 second)
{
    return std::size_t(((second % qint64(N)) + qint64(N)) % qint64(N));
}

template <typename T, std::size_t N>
std::size_t advance(std::array<T, N> &ring, qint64 &latest, qint64 second)
{
    if (second > latest) {
        if (second - latest >= qint64(N))
            ring.fill(0);
        else
            for (qint64 s = latest + 1; s <= second; ++s)
                ring[slotOf<N>(s)] = 0;
        latest = second;
    }
    return slotOf<N>(latest);
}

// The sum of the counts for the seconds `from` to `to` (both included), of a ring whose
// newest slot is `latest`.
template <typename T, std::size_t N>
quint64 sumSeconds(const std::array<T, N> &ring, qint64 latest, qint64 from, qint64 to)
{
    quint64 sum = 0;
    for (qint64 s = std::max(from, latest - qint64(N) + 1); s <= to && s <= latest; ++s)
        sum += ring[slotOf<N>(s)];
    return sum;
}

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Whether `text` holds `needle`, ASCII letters in either case; an empty needle is held.
bool containsAnyCase(const char *text, qsizetype bytes, const QByteArray &needle)
{
    const qsizetype n = needle.size();
    if (n == 0)
        return true;
    for (qsizetype at = 0; at + n <= bytes; ++at) {
        qsizetype i = 0;
        while (i < n && asciiLower(text[at + i]) == asciiLower(needle[i]))
            ++i;
        if (i == n)
            return true;
    }
    return false;
}

int nibbleOf(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Characters `from` to `to` of a packed text, as hexadecimal digits.
void unpack(const char *packed, quint32 from, quint32 to, char *out)
{
    for (quint32 i = from; i < to; ++i) {
        const quint8 byte = quint8(packed[i / 2]);
        *out++ = HEX_DIGITS[i % 2 != 0 ? byte & 0xF : byte >> 4];
    }
}

// A stored text's UTF-8 bytes from character `from` on.
using TextBuffer = QVarLengthArray<char, 64>;
void textFrom(const char *text, quint32 chars, bool packed, quint32 from, TextBuffer &out)
{
    from = std::min(from, chars);
    out.resize(qsizetype(chars - from));
    if (packed)
        unpack(text, from, chars, out.data());
    else
        std::memcpy(out.data(), text + from, chars - from);
}

int compareBytes(const char *a, quint32 aBytes, const char *b, quint32 bBytes)
{
    const int c = std::memcmp(a, b, std::min(aBytes, bBytes));
    if (c != 0)
        return c;
    return aBytes < bBytes ? -1 : aBytes > bBytes ? 1 : 0;
}

} // namespace

CTagMonitor::CTagMonitor(Clock clock, int maxTags)
    : m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentMSecsSinceEpoch(); })),
      m_maxTags(std::clamp(maxTags, 1, MAX_BOUND))
{
    // A million of them are most of the monitor's memory.
    static_assert(sizeof(Record) <= 56, "a tag's record grew");
    // Its blocks, and a table's row lists and sort keys (megabytes at a million tags, made
    // and freed every second on two threads), each go back to the system when freed.
    MapLargeBlocksApart();
    while ((quint32(1) << m_numberBits) <= quint32(m_maxTags))
        ++m_numberBits;
    std::size_t slotCount = INDEX_PAGE_SLOTS;
    while (slotCount < std::size_t(m_maxTags) * 2)
        slotCount *= 2;
    m_indexMask = slotCount - 1;
    m_index.resize(slotCount / INDEX_PAGE_SLOTS);
}

QString CTagMonitor::BoundNote(int maxTags)
{
    return QStringLiteral("The tag monitor holds at most %1 distinct tags: reads of new tags are counted together as "
                          "others.").arg(QLocale().toString(maxTags));
}

const CTagMonitor::Record &CTagMonitor::record(int tag) const
{
    return m_blocks[size_t(tag) >> RECORD_BLOCK_BITS][size_t(tag) & (RECORD_BLOCK - 1)];
}

CTagMonitor::Record &CTagMonitor::record(int tag)
{
    return m_blocks[size_t(tag) >> RECORD_BLOCK_BITS][size_t(tag) & (RECORD_BLOCK - 1)];
}

const char *CTagMonitor::textOf(const Record &r) const
{
    return m_chunks[r.textAt >> TEXT_OFFSET_BITS].constData() + (r.textAt & (TEXT_CHUNK_BYTES - 1));
}

quint32 CTagMonitor::slot(std::size_t at) const
{
    const QList<quint32> &page = m_index[at >> INDEX_PAGE_BITS];
    return page.empty() ? 0 : page[at & (INDEX_PAGE_SLOTS - 1)];
}

// RATE_SECONDS whole seconds and the current one so far.
double CTagMonitor::rateSpan(qint64 nowMs)
{
    return RATE_SECONDS + double(nowMs - secondOf(nowMs) * MS_PER_SECOND) / MS_PER_SECOND;
}

qint64 CTagMonitor::secondOf(qint64 ms)
{
    return ms >= 0 ? ms / MS_PER_SECOND : -((-ms + MS_PER_SECOND - 1) / MS_PER_SECOND);
}

quint32 CTagMonitor::hashOf(const char *bytes, qsizetype count)
{
    return quint32(qHash(QByteArrayView(bytes, count), 0));
}

// UTF-8 into the scratch buffer, which keeps its capacity: no allocation per read. A lone
// surrogate becomes U+FFFD, as the text's own conversion does.
void CTagMonitor::encode(QStringView line, QByteArray &into)
{
    into.resize(line.size() * 3);
    char *out = into.data();
    const qsizetype n = line.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = line[i].unicode();
        if (c < 0x80) {
            *out++ = char(c);
            continue;
        }
        if (QChar::isHighSurrogate(c) && i + 1 < n && line[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(char16_t(c), line[++i].unicode());
        } else if (QChar::isSurrogate(c)) {
            c = 0xFFFD;
        }
        if (c < 0x800) {
            *out++ = char(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            *out++ = char(0xE0 | (c >> 12));
            *out++ = char(0x80 | ((c >> 6) & 0x3F));
        } else {
            *out++ = char(0xF0 | (c >> 18));
            *out++ = char(0x80 | ((c >> 12) & 0x3F));
            *out++ = char(0x80 | ((c >> 6) & 0x3F));
        }
        *out++ = char(0x80 | (c & 0x3F));
    }
    into.truncate(out - into.constData());
}

// Upper-case hexadecimal digits (EPCs as the reader sends them) are packed two to a byte.
void CTagMonitor::storedForm(const QByteArray &utf8, StoredText &into)
{
    const qsizetype n = utf8.size();
    into.chars = quint32(n);
    into.packed = n > 0 && std::all_of(utf8.begin(), utf8.end(), [](char c) { return nibbleOf(c) >= 0; });
    // Resized, not assigned: the buffer keeps its capacity and is never shared.
    if (!into.packed) {
        into.bytes.resize(n);
        std::memcpy(into.bytes.data(), utf8.constData(), size_t(n));
        return;
    }
    into.bytes.resize((n + 1) / 2);
    char *out = into.bytes.data();
    for (qsizetype i = 0; i < n; i += 2)
        out[i / 2] = char(nibbleOf(utf8[i]) << 4 | (i + 1 < n ? nibbleOf(utf8[i + 1]) : 0));
}

void CTagMonitor::appendText(const Record &r, quint32 from, QByteArray &out) const
{
    TextBuffer text;
    textFrom(textOf(r), r.textChars, r.packed, from, text);
    out.append(text.constData(), text.size());
}

// The top bits of the hash, kept beside the record number in the index.
quint32 CTagMonitor::fingerprintOf(quint32 hash) const
{
    return hash >> m_numberBits;
}

int CTagMonitor::find(const StoredText &text, quint32 hash) const
{
    const quint32 numberMask = (quint32(1) << m_numberBits) - 1;
    const quint32 fingerprint = fingerprintOf(hash);
    for (std::size_t at = hash & m_indexMask;; at = (at + 1) & m_indexMask) {
        const quint32 entry = slot(at);
        if (entry == 0) {
            m_freeSlot = at;   // where the tag goes when it is added next
            return -1;
        }
        // Most slots met on the way hold other tags: their fingerprint tells so without
        // reading their record, a cache miss in a million of them.
        if (entry >> m_numberBits != fingerprint)
            continue;
        const int tag = int((entry & numberMask) - 1);
        const Record &r = record(tag);
        if (bool(r.packed) == text.packed && r.textChars == text.chars
            && std::memcmp(textOf(r), text.bytes.constData(), size_t(text.bytes.size())) == 0)
            return tag;
    }
}

QByteArrayView CTagMonitor::decodedOf(const Record &r) const
{
    if (r.headerDecoded)
        return QByteArrayView(m_headerTexts[r.header]);
    return QByteArrayView(textOf(r) + storedBytes(r), r.decodedBytes);
}

// The text in m_stored, the decoded text and the key, together in the last chunk (a new one
// when they do not fit in what it has left). False when the chunks are all taken.
bool CTagMonitor::store(Record &r, QByteArrayView decoded, const QByteArray &key)
{
    const qsizetype bytes = m_stored.bytes.size() + decoded.size() + key.size();
    if (m_chunks.empty() || m_chunks.back().size() + bytes > TEXT_CHUNK_BYTES) {
        if (m_chunks.size() >= MAX_TEXT_CHUNKS)
            return false;
        m_chunks.emplace_back();
        m_chunks.back().reserve(std::max(TEXT_CHUNK_BYTES, bytes));
    }
    // An entry starts inside the chunk's first TEXT_CHUNK_BYTES: one larger than that has a
    // chunk of its own, and the next entry a new one.
    QByteArray &chunk = m_chunks.back();
    r.textAt = quint32(m_chunks.size() - 1) << TEXT_OFFSET_BITS | quint32(chunk.size());
    r.textChars = m_stored.chars;
    r.packed = m_stored.packed;
    r.decodedBytes = quint16(decoded.size());
    r.keyBytes = quint8(key.size());
    chunk.append(m_stored.bytes).append(decoded.data(), decoded.size()).append(key);
    return true;
}

int CTagMonitor::addRecord(QStringView line, quint32 hash, TagKind kind, qint64 nowMs)
{
    if (m_count >= m_maxTags)
        return -1;
    QByteArray decoded;
    QByteArray key;
    int sharedHeader = -1;
    if (m_decoding) {
        const DecodedEpc epc = DecodeEpcLine(line);
        // What an unknown header says depends on the header alone: made and kept once for each.
        if (epc.status == EpcStatus::UnknownHeader && epc.header >= 0 && epc.header < int(m_headerTexts.size())) {
            QByteArray &text = m_headerTexts[size_t(epc.header)];
            if (text.isEmpty())
                text = epc.Summary().toUtf8().left(MAX_DECODED_BYTES);
            sharedHeader = epc.header;
        } else {
            decoded = epc.Summary().toUtf8().left(MAX_DECODED_BYTES);
        }
        if (!epc.key.isEmpty())
            key = (epc.keyName.toUpper() + u' ' + epc.key).toUtf8().left(MAX_KEY_BYTES);
    }
    Record r{};
    r.firstMs = nowMs;
    r.lastMs = nowMs;
    r.kind = kind;
    r.headerDecoded = sharedHeader >= 0;
    r.header = quint8(std::max(sharedHeader, 0));
    if (!store(r, decoded, key))
        return -1;
    if ((m_count & (RECORD_BLOCK - 1)) == 0) {
        m_blocks.emplace_back();
        m_blocks.back().reserve(RECORD_BLOCK);
    }
    m_blocks.back().push_back(r);
    ++m_count;
    // The probe for it ended at this free slot a moment ago.
    const std::size_t at = m_freeSlot;
    QList<quint32> &page = m_index[at >> INDEX_PAGE_BITS];
    if (page.empty())
        page.fill(0, qsizetype(INDEX_PAGE_SLOTS));
    page[at & (INDEX_PAGE_SLOTS - 1)] = fingerprintOf(hash) << m_numberBits | quint32(m_count);
    return m_count - 1;
}

void CTagMonitor::Count(QStringView line, TagKind kind)
{
    if (line.isEmpty())
        return;
    const qint64 now = m_clock();
    encode(line, m_scratch);
    storedForm(m_scratch, m_stored);
    const quint32 hash = hashOf(m_stored.bytes.constData(), m_stored.bytes.size());
    int tag = find(m_stored, hash);
    if (tag < 0) {
        tag = addRecord(line, hash, kind, now);
        if (tag < 0 && m_otherReads++ == 0 && m_onBound)
            m_onBound(m_maxTags);
    }
    if (tag >= 0) {
        Record &r = record(tag);
        qint64 latest = secondOf(r.lastMs);
        quint16 &inSecond = r.perSecond[advance(r.perSecond, latest, secondOf(now))];
        inSecond += inSecond < std::numeric_limits<quint16>::max() ? 1 : 0;
        r.reads += r.reads < std::numeric_limits<quint32>::max() ? 1 : 0;
        r.lastMs = std::max(r.lastMs, now);
        ++m_tagGeneration;
    }

    if (m_firstReadMs < 0) {
        m_firstReadMs = now;
        m_historySecond = secondOf(now);
    }
    ++m_history[advance(m_history, m_historySecond, secondOf(now))];
    ++m_reads;
    ++m_generation;
}

void CTagMonitor::Clear()
{
    m_blocks = {};
    m_chunks = {};
    const std::size_t pages = m_index.size();
    m_index = {};
    m_index.resize(pages);
    m_count = 0;
    m_reads = 0;
    m_otherReads = 0;
    m_firstReadMs = -1;
    m_historySecond = 0;
    m_history.fill(0);
    ++m_generation;
    ++m_tagGeneration;
    ++m_clears;
}

qint64 CTagMonitor::ElapsedMs(qint64 nowMs) const
{
    return m_firstReadMs < 0 ? 0 : std::max<qint64>(0, nowMs - m_firstReadMs);
}

double CTagMonitor::Rate(qint64 nowMs) const
{
    if (m_firstReadMs < 0)
        return 0.0;
    const qint64 current = secondOf(nowMs);
    return double(sumSeconds(m_history, m_historySecond, current - RATE_SECONDS, current)) / rateSpan(nowMs);
}

std::array<quint64, CTagMonitor::HISTORY_SECONDS> CTagMonitor::ReadsPerSecond(qint64 nowMs) const
{
    std::array<quint64, HISTORY_SECONDS> out{};
    if (m_firstReadMs < 0)
        return out;
    const qint64 current = secondOf(nowMs);
    for (int i = 0; i < HISTORY_SECONDS; ++i) {
        const qint64 s = current - HISTORY_SECONDS + i;
        if (s <= m_historySecond && s > m_historySecond - qint64(m_history.size()))
            out[size_t(i)] = m_history[slotOf<HISTORY_SECONDS + 1>(s)];
    }
    return out;
}

int CTagMonitor::IndexOf(QStringView text) const
{
    QByteArray bytes;
    encode(text, bytes);
    StoredText stored;
    storedForm(bytes, stored);
    return text.isEmpty() ? -1 : find(stored, hashOf(stored.bytes.constData(), stored.bytes.size()));
}

QByteArray CTagMonitor::TextUtf8(int tag) const
{
    QByteArray text;
    appendText(record(tag), 0, text);
    return text;
}

QString CTagMonitor::Text(int tag) const
{
    return QString::fromUtf8(TextUtf8(tag));
}

QString CTagMonitor::Decoded(int tag) const
{
    return QString::fromUtf8(decodedOf(record(tag)));
}

QString CTagMonitor::DecodedKey(int tag) const
{
    const Record &r = record(tag);
    return QString::fromUtf8(textOf(r) + storedBytes(r) + r.decodedBytes, r.keyBytes);
}

bool CTagMonitor::Matches(int tag, const QByteArray &needleUtf8) const
{
    const Record &r = record(tag);
    const char *stored = textOf(r);
    TextBuffer text;
    textFrom(stored, r.textChars, r.packed, 0, text);
    return containsAnyCase(text.constData(), text.size(), needleUtf8)
        || containsAnyCase(decodedOf(r).data(), decodedOf(r).size(), needleUtf8)
        || containsAnyCase(stored + storedBytes(r) + r.decodedBytes, r.keyBytes, needleUtf8);
}

double CTagMonitor::Rate(int tag, qint64 nowMs) const
{
    // The window's whole seconds and the current one so far: a tag just read shows at once,
    // and a steady rate is shown as it is at any moment of the second.
    const Record &r = record(tag);
    const qint64 current = secondOf(nowMs);
    return double(sumSeconds(r.perSecond, secondOf(r.lastMs), current - RATE_SECONDS, current)) / rateSpan(nowMs);
}

int CTagMonitor::CompareText(int a, int b) const
{
    const Record &ra = record(a);
    const Record &rb = record(b);
    if (!ra.packed && !rb.packed)
        return compareBytes(textOf(ra), ra.textChars, textOf(rb), rb.textChars);
    TextBuffer ta, tb;
    textFrom(textOf(ra), ra.textChars, ra.packed, 0, ta);
    textFrom(textOf(rb), rb.textChars, rb.packed, 0, tb);
    return compareBytes(ta.constData(), quint32(ta.size()), tb.constData(), quint32(tb.size()));
}

int CTagMonitor::CompareDecoded(int a, int b) const
{
    const Record &ra = record(a);
    const Record &rb = record(b);
    const QByteArrayView da = decodedOf(ra);
    const QByteArrayView db = decodedOf(rb);
    return compareBytes(da.data(), quint32(da.size()), db.data(), quint32(db.size()));
}

std::size_t CTagMonitor::MemoryBytes() const
{
    std::size_t bytes = m_blocks.capacity() * sizeof(m_blocks[0]) + m_chunks.capacity() * sizeof(QByteArray)
                      + m_index.capacity() * sizeof(m_index[0]);
    for (const auto &block : m_blocks)
        bytes += std::size_t(block.capacity()) * sizeof(Record);
    for (const QByteArray &chunk : m_chunks)
        bytes += std::size_t(chunk.capacity());
    for (const auto &page : m_index)
        bytes += std::size_t(page.capacity()) * sizeof(quint32);
    return bytes;
}

namespace {

// A text key: its first 16 bytes as two big-endian numbers, compared at once; the rest only
// when those are equal.
struct TextKey
{
    quint64 head[2];
    const char *text;
    quint32 bytes : 31;   // characters of a packed text
    quint32 packed : 1;
    int tag;
};

quint64 bigEndianAt(const char *text, quint32 bytes, quint32 from)
{
    quint64 v = 0;
    for (quint32 i = 0; i < 8; ++i)
        v = v << 8 | (from + i < bytes ? quint8(text[from + i]) : 0);
    return v;
}

} // namespace

bool CTagMonitor::Order(std::shared_ptr<const CTagMonitor> monitor, std::vector<int> &tags, OrderKey key,
                        bool descending, qint64 nowMs)
{
    if (key == OrderKey::Text || key == OrderKey::Decoded) {
        const bool decoded = key == OrderKey::Decoded;
        std::vector<TextKey> keyed;
        keyed.reserve(tags.size());
        for (int tag : tags) {
            const Record &r = monitor->record(tag);
            const QByteArrayView d = monitor->decodedOf(r);
            const char *text = decoded ? d.data() : monitor->textOf(r);
            const quint32 bytes = decoded ? quint32(d.size()) : r.textChars;
            const bool packed = !decoded && r.packed;
            TextBuffer head;
            if (packed)
                textFrom(text, std::min<quint32>(bytes, 16), true, 0, head);
            const char *headText = packed ? head.constData() : text;
            const quint32 headBytes = packed ? quint32(head.size()) : bytes;
            TextKey k{{bigEndianAt(headText, headBytes, 0), bigEndianAt(headText, headBytes, 8)}, text, bytes, packed, tag};
            keyed.push_back(k);
        }
        // The texts stay where they are (a chunk is only ever appended to); the records go.
        const std::vector<QByteArray> texts = monitor->m_chunks;
        const std::array<QByteArray, 256> headerTexts = monitor->m_headerTexts;
        monitor.reset();
        const auto before = [descending](const TextKey &a, const TextKey &b) {
            int c = 0;
            if (a.head[0] != b.head[0])
                c = a.head[0] < b.head[0] ? -1 : 1;
            else if (a.head[1] != b.head[1])
                c = a.head[1] < b.head[1] ? -1 : 1;
            else if ((a.bytes > 16 || b.bytes > 16) && !a.packed && !b.packed)
                c = compareBytes(a.text + 16, std::max<quint32>(a.bytes, 16) - 16, b.text + 16,
                                 std::max<quint32>(b.bytes, 16) - 16);
            else if (a.bytes > 16 || b.bytes > 16) {
                TextBuffer ta, tb;
                textFrom(a.text, a.bytes, a.packed, 16, ta);
                textFrom(b.text, b.bytes, b.packed, 16, tb);
                c = compareBytes(ta.constData(), quint32(ta.size()), tb.constData(), quint32(tb.size()));
            }
            else
                c = a.bytes < b.bytes ? -1 : a.bytes > b.bytes ? 1 : 0;
            return c != 0 ? (descending ? c > 0 : c < 0) : a.tag < b.tag;
        };
        if (std::is_sorted(keyed.begin(), keyed.end(), before))
            return false;
        std::sort(keyed.begin(), keyed.end(), before);
        for (size_t i = 0; i < keyed.size(); ++i)
            tags[i] = keyed[i].tag;
        return true;
    }
    // A number key of 32 bits above the tag's number: one 64-bit sort key a row, ties in
    // order of first read. A rate's order is that of its reads in the window (the span is
    // the same for every tag); times are taken from the earliest, when they span less than
    // 49 days.
    qint64 earliest = std::numeric_limits<qint64>::max();
    qint64 latest = std::numeric_limits<qint64>::min();
    if (key == OrderKey::FirstSeen || key == OrderKey::LastSeen) {
        for (int tag : tags) {
            const Record &r = monitor->record(tag);
            const qint64 ms = key == OrderKey::FirstSeen ? r.firstMs : r.lastMs;
            earliest = std::min(earliest, ms);
            latest = std::max(latest, ms);
        }
        if (!tags.empty() && quint64(latest - earliest) > std::numeric_limits<quint32>::max())
            return orderWide(std::move(monitor), tags, key, descending);
    }
    const qint64 current = secondOf(nowMs);
    std::vector<quint64> keyed;
    keyed.reserve(tags.size());
    for (int tag : tags) {
        const Record &r = monitor->record(tag);
        quint32 k = 0;
        switch (key) {
        case OrderKey::Kind: k = quint32(r.kind); break;
        case OrderKey::Reads: k = r.reads; break;
        case OrderKey::FirstSeen: k = quint32(r.firstMs - earliest); break;
        case OrderKey::LastSeen: k = quint32(r.lastMs - earliest); break;
        case OrderKey::Rate:
            k = quint32(sumSeconds(r.perSecond, secondOf(r.lastMs), current - RATE_SECONDS, current));
            break;
        case OrderKey::Text:
        case OrderKey::Decoded: break;
        }
        keyed.push_back(quint64(descending ? ~k : k) << 32 | quint32(tag));
    }
    monitor.reset();
    // Mostly the keys have not moved the rows since the last time (new tags come last in
    // their order, tags past the monitor's bound change nothing): a check in one pass then
    // spares the sort.
    if (std::is_sorted(keyed.begin(), keyed.end()))
        return false;
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 0; i < keyed.size(); ++i)
        tags[i] = int(quint32(keyed[i]));
    return true;
}

// First or last seen over more than 32 bits of milliseconds.
bool CTagMonitor::orderWide(std::shared_ptr<const CTagMonitor> monitor, std::vector<int> &tags, OrderKey key,
                            bool descending)
{
    std::vector<std::pair<qint64, int>> keyed;
    keyed.reserve(tags.size());
    for (int tag : tags) {
        const Record &r = monitor->record(tag);
        const qint64 k = key == OrderKey::FirstSeen ? r.firstMs : r.lastMs;
        keyed.emplace_back(descending ? -k : k, tag);
    }
    monitor.reset();
    if (std::is_sorted(keyed.begin(), keyed.end()))
        return false;
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 0; i < keyed.size(); ++i)
        tags[i] = keyed[i].second;
    return true;
}
