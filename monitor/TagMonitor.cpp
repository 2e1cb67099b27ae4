#include "monitor/TagMonitor.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QHashFunctions>

#include <algorithm>
#include <cstring>

namespace {

constexpr qint64 MS_PER_SECOND = 1000;
// The index is kept at most half full, so a probe meets a free slot within a few steps.
constexpr std::size_t FIRST_INDEX_SLOTS = 1024;
constexpr quint64 MAX_TEXT_BYTES = 0xFFFFFFFFu;

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

} // namespace

CTagMonitor::CTagMonitor(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentMSecsSinceEpoch(); }))
{
    m_index.assign(FIRST_INDEX_SLOTS, 0);
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

int CTagMonitor::find(const QByteArray &text, quint32 hash) const
{
    const std::size_t mask = m_index.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const quint32 entry = m_index[slot];
        if (entry == 0)
            return -1;
        const Record &r = m_records[entry - 1];
        if (r.hash == hash && r.textBytes == quint32(text.size())
            && std::memcmp(m_texts.constData() + r.textOffset, text.constData(), size_t(text.size())) == 0)
            return int(entry - 1);
    }
}

void CTagMonitor::growIndex()
{
    std::vector<quint32> grown(m_index.size() * 2, 0);
    const std::size_t mask = grown.size() - 1;
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        std::size_t slot = m_records[i].hash & mask;
        while (grown[slot] != 0)
            slot = (slot + 1) & mask;
        grown[slot] = quint32(i + 1);
    }
    m_index.swap(grown);
}

int CTagMonitor::addRecord(quint32 hash, TagKind kind, qint64 nowMs)
{
    // Texts are found by 32-bit offsets: past 4 GB of them a new tag is counted in the
    // totals only.
    if (quint64(m_texts.size()) + quint64(m_scratch.size()) > MAX_TEXT_BYTES)
        return -1;
    if ((m_records.size() + 1) * 2 > m_index.size())
        growIndex();
    Record r{};
    r.firstMs = nowMs;
    r.lastMs = nowMs;
    r.textOffset = quint32(m_texts.size());
    r.textBytes = quint32(m_scratch.size());
    r.hash = hash;
    r.kind = kind;
    m_texts.append(m_scratch);
    m_records.push_back(r);
    const std::size_t mask = m_index.size() - 1;
    std::size_t slot = hash & mask;
    while (m_index[slot] != 0)
        slot = (slot + 1) & mask;
    m_index[slot] = quint32(m_records.size());
    return int(m_records.size() - 1);
}

void CTagMonitor::Count(QStringView line, TagKind kind)
{
    if (line.isEmpty())
        return;
    const qint64 now = m_clock();
    encode(line, m_scratch);
    const quint32 hash = hashOf(m_scratch.constData(), m_scratch.size());
    int tag = find(m_scratch, hash);
    if (tag < 0)
        tag = addRecord(hash, kind, now);
    if (tag >= 0) {
        Record &r = m_records[size_t(tag)];
        qint64 latest = secondOf(r.lastMs);
        ++r.perSecond[advance(r.perSecond, latest, secondOf(now))];
        ++r.reads;
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
    m_records.clear();
    m_records.shrink_to_fit();
    m_texts = QByteArray();
    m_index.assign(FIRST_INDEX_SLOTS, 0);
    m_reads = 0;
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

double CTagMonitor::OverallRate(qint64 nowMs) const
{
    const qint64 elapsed = ElapsedMs(nowMs);
    return elapsed > 0 ? double(m_reads) * MS_PER_SECOND / double(elapsed) : 0.0;
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
    const Record &r = m_records[size_t(tag)];
    return m_texts.mid(r.textOffset, r.textBytes);
}

QString CTagMonitor::Text(int tag) const
{
    const Record &r = m_records[size_t(tag)];
    return QString::fromUtf8(m_texts.constData() + r.textOffset, r.textBytes);
}

bool CTagMonitor::TextContains(int tag, const QByteArray &needleUtf8) const
{
    const Record &r = m_records[size_t(tag)];
    const qsizetype n = needleUtf8.size();
    if (n == 0)
        return true;
    const char *text = m_texts.constData() + r.textOffset;
    for (qsizetype at = 0; at + n <= qsizetype(r.textBytes); ++at) {
        qsizetype i = 0;
        while (i < n && asciiLower(text[at + i]) == asciiLower(needleUtf8[i]))
            ++i;
        if (i == n)
            return true;
    }
    return false;
}

double CTagMonitor::Rate(int tag, qint64 nowMs) const
{
    // The window's whole seconds and the current one so far: a tag just read shows at once,
    // and a steady rate is shown as it is at any moment of the second.
    const Record &r = m_records[size_t(tag)];
    const qint64 current = secondOf(nowMs);
    const double span = RATE_SECONDS + double(nowMs - current * MS_PER_SECOND) / MS_PER_SECOND;
    return double(sumSeconds(r.perSecond, secondOf(r.lastMs), current - RATE_SECONDS, current)) / span;
}

int CTagMonitor::CompareText(int a, int b) const
{
    const Record &ra = m_records[size_t(a)];
    const Record &rb = m_records[size_t(b)];
    const int c = std::memcmp(m_texts.constData() + ra.textOffset, m_texts.constData() + rb.textOffset,
                              std::min(ra.textBytes, rb.textBytes));
    if (c != 0)
        return c;
    return ra.textBytes < rb.textBytes ? -1 : ra.textBytes > rb.textBytes ? 1 : 0;
}

std::size_t CTagMonitor::MemoryBytes() const
{
    return m_records.capacity() * sizeof(Record) + std::size_t(m_texts.capacity())
         + m_index.capacity() * sizeof(quint32);
}
