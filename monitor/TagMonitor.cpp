#include "monitor/TagMonitor.h"

#include "epc/EpcDecoder.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QHashFunctions>
#include <QLocale>

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
constexpr qsizetype TEXT_CHUNK_BYTES = 256 * 1024;
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
    return m_chunks[r.textChunk].constData() + r.textOffset;
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

// The top bits of the hash, kept beside the record number in the index.
quint32 CTagMonitor::fingerprintOf(quint32 hash) const
{
    return hash >> m_numberBits;
}

int CTagMonitor::find(const QByteArray &text, quint32 hash) const
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
        if (r.hash == hash && r.textBytes == quint32(text.size())
            && std::memcmp(textOf(r), text.constData(), size_t(text.size())) == 0)
            return tag;
    }
}

// The text in m_scratch, the decoded text and the key, together in the last chunk (a new one
// when they do not fit in what it has left).
QByteArrayView CTagMonitor::decodedOf(const Record &r) const
{
    if (r.headerDecoded)
        return QByteArrayView(m_headerTexts[r.header]);
    return QByteArrayView(textOf(r) + r.textBytes, r.decodedBytes);
}

void CTagMonitor::store(Record &r, QByteArrayView decoded, const QByteArray &key)
{
    const qsizetype bytes = m_scratch.size() + decoded.size() + key.size();
    if (m_chunks.empty() || m_chunks.back().size() + bytes > m_chunks.back().capacity()) {
        m_chunks.emplace_back();
        m_chunks.back().reserve(std::max(TEXT_CHUNK_BYTES, bytes));
    }
    QByteArray &chunk = m_chunks.back();
    r.textChunk = quint32(m_chunks.size() - 1);
    r.textOffset = quint32(chunk.size());
    r.textBytes = quint32(m_scratch.size());
    r.decodedBytes = quint16(decoded.size());
    r.keyBytes = quint8(key.size());
    chunk.append(m_scratch).append(decoded.data(), decoded.size()).append(key);
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
    if ((m_count & (RECORD_BLOCK - 1)) == 0) {
        m_blocks.emplace_back();
        m_blocks.back().reserve(RECORD_BLOCK);
    }
    Record r{};
    r.firstMs = nowMs;
    r.lastMs = nowMs;
    r.hash = hash;
    r.kind = kind;
    r.headerDecoded = sharedHeader >= 0;
    r.header = quint8(std::max(sharedHeader, 0));
    store(r, decoded, key);
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
    const quint32 hash = hashOf(m_scratch.constData(), m_scratch.size());
    int tag = find(m_scratch, hash);
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
    return text.isEmpty() ? -1 : find(bytes, hashOf(bytes.constData(), bytes.size()));
}

QByteArray CTagMonitor::TextUtf8(int tag) const
{
    const Record &r = record(tag);
    return QByteArray(textOf(r), r.textBytes);
}

QString CTagMonitor::Text(int tag) const
{
    const Record &r = record(tag);
    return QString::fromUtf8(textOf(r), r.textBytes);
}

QString CTagMonitor::Decoded(int tag) const
{
    return QString::fromUtf8(decodedOf(record(tag)));
}

QString CTagMonitor::DecodedKey(int tag) const
{
    const Record &r = record(tag);
    return QString::fromUtf8(textOf(r) + r.textBytes + r.decodedBytes, r.keyBytes);
}

bool CTagMonitor::Matches(int tag, const QByteArray &needleUtf8) const
{
    const Record &r = record(tag);
    const char *text = textOf(r);
    return containsAnyCase(text, r.textBytes, needleUtf8)
        || containsAnyCase(decodedOf(r).data(), decodedOf(r).size(), needleUtf8)
        || containsAnyCase(text + r.textBytes + r.decodedBytes, r.keyBytes, needleUtf8);
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
    return compareBytes(textOf(ra), ra.textBytes, textOf(rb), rb.textBytes);
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
    quint32 bytes;
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
            const quint32 bytes = decoded ? quint32(d.size()) : r.textBytes;
            keyed.push_back({{bigEndianAt(text, bytes, 0), bigEndianAt(text, bytes, 8)}, text, bytes, tag});
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
            else if (a.bytes > 16 || b.bytes > 16)
                c = compareBytes(a.text + 16, std::max<quint32>(a.bytes, 16) - 16, b.text + 16,
                                 std::max<quint32>(b.bytes, 16) - 16);
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
    std::vector<std::pair<double, int>> keyed;
    keyed.reserve(tags.size());
    for (int tag : tags) {
        const Record &r = monitor->record(tag);
        double k = 0;
        switch (key) {
        case OrderKey::Kind: k = double(r.kind); break;
        case OrderKey::Reads: k = double(r.reads); break;
        case OrderKey::FirstSeen: k = double(r.firstMs); break;
        case OrderKey::LastSeen: k = double(r.lastMs); break;
        case OrderKey::Rate: k = monitor->Rate(tag, nowMs); break;
        case OrderKey::Text:
        case OrderKey::Decoded: break;
        }
        keyed.emplace_back(descending ? -k : k, tag);
    }
    monitor.reset();
    // Mostly the keys have not moved the rows since the last time (new tags come last in
    // their order, tags past the monitor's bound change nothing): a check in one pass then
    // spares the sort.
    if (std::is_sorted(keyed.begin(), keyed.end()))
        return false;
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 0; i < keyed.size(); ++i)
        tags[i] = keyed[i].second;
    return true;
}
