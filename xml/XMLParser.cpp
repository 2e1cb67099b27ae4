#include "xml/XML.h"
#include "xml/XMLInput.h"

#include <QHash>
#include <QIODevice>
#include <QtEndian>

#include <cstring>
#include <mutex>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

// Bytes read from the device at a time; each is converted once and kept until
// the parser has moved past it.
constexpr qint64 FILL_BLOCK_BYTES = 64 * 1024;
// Above this many attributes on one element the parser looks names up in a hash,
// so that a tag with a huge number of attributes does not cost quadratic time.
constexpr qsizetype ATTRIBUTE_HASH_THRESHOLD = 16;
// Code of the last character counted as blank or control in the text rules.
constexpr char16_t LAST_BLANK_CODE = 0x20;

constexpr char16_t LT = u'<';
constexpr char16_t GT = u'>';
constexpr char16_t DOUBLE_QUOTE = u'"';
constexpr char16_t APOSTROPHE = u'\'';
constexpr char16_t LINE_FEED = u'\n';
constexpr char16_t CARRIAGE_RETURN = u'\r';
constexpr char16_t BLANK = u' ';
constexpr char16_t SLASH = u'/';
constexpr char16_t EQUALS = u'=';
constexpr char16_t AMPERSAND = u'&';
constexpr char16_t SKIPPED_TAG_MARK_COMMENT = u'!';
constexpr char16_t SKIPPED_TAG_MARK_DECLARATION = u'?';
constexpr uchar BYTE_ORDER_MARK_0 = 0xFF;
constexpr uchar BYTE_ORDER_MARK_1 = 0xFE;

// First index of `c` in `s` from `from` on, or -1. A plain loop: tags, names and
// values are short, and the library's search for one character goes through its
// general substring search.
qsizetype indexIn(QStringView s, char16_t c, qsizetype from = 0)
{
    const char16_t *const begin = s.utf16();
    const char16_t *const end = begin + s.size();
    for (const char16_t *at = begin + from; at < end; ++at) {
        if (*at == c)
            return at - begin;
    }
    return -1;
}

// First position in [at, end) holding `a`, `b` or `c`, or `end`. Eight code
// units are compared at a time where the processor has SSE2 (every x86-64 one),
// otherwise four with the zero-lane trick on 64-bit words.
const char16_t *scanToPortable(const char16_t *at, const char16_t *end, char16_t a, char16_t b, char16_t c)
{
#if defined(__SSE2__)
    const __m128i wantA = _mm_set1_epi16(short(a));
    const __m128i wantB = _mm_set1_epi16(short(b));
    const __m128i wantC = _mm_set1_epi16(short(c));
    while (end - at >= 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(units, wantA), _mm_cmpeq_epi16(units, wantB)),
                                          _mm_cmpeq_epi16(units, wantC));
        const int mask = _mm_movemask_epi8(hits);
        if (mask != 0)
            return at + qCountTrailingZeroBits(quint32(mask)) / 2;
        at += 8;
    }
#else
    constexpr quint64 LANE_ONES = 0x0001000100010001ull;
    constexpr quint64 LANE_HIGH_BITS = 0x8000800080008000ull;
    const quint64 wantA = LANE_ONES * a;
    const quint64 wantB = LANE_ONES * b;
    const quint64 wantC = LANE_ONES * c;
    const auto hasZeroLane = [](quint64 x) { return ((x - LANE_ONES) & ~x & LANE_HIGH_BITS) != 0; };
    while (end - at >= 4) {
        quint64 word;
        std::memcpy(&word, at, sizeof word);
        if (hasZeroLane(word ^ wantA) || hasZeroLane(word ^ wantB) || hasZeroLane(word ^ wantC))
            break;
        at += 4;
    }
#endif
    while (at != end && *at != a && *at != b && *at != c)
        ++at;
    return at;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Sixteen code units at a time where the processor has AVX2; the last few go to
// the portable scan.
__attribute__((target("avx2"))) const char16_t *scanToAvx2(const char16_t *at, const char16_t *end, char16_t a,
                                                            char16_t b, char16_t c)
{
    const __m256i wantA = _mm256_set1_epi16(short(a));
    const __m256i wantB = _mm256_set1_epi16(short(b));
    const __m256i wantC = _mm256_set1_epi16(short(c));
    while (end - at >= 16) {
        const __m256i units = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
        const __m256i hits = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi16(units, wantA), _mm256_cmpeq_epi16(units, wantB)),
            _mm256_cmpeq_epi16(units, wantC));
        const quint32 mask = quint32(_mm256_movemask_epi8(hits));
        if (mask != 0)
            return at + qCountTrailingZeroBits(mask) / 2;
        at += 16;
    }
    return scanToPortable(at, end, a, b, c);
}

bool hasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

const bool HAS_AVX2 = hasAvx2();
#endif

// First position in [at, end) holding `a`, `b` or `c`, or `end`.
const char16_t *scanTo(const char16_t *at, const char16_t *end, char16_t a, char16_t b, char16_t c)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (HAS_AVX2)
        return scanToAvx2(at, end, a, b, c);
#endif
    return scanToPortable(at, end, a, b, c);
}

bool startsWithChar(QStringView s, char16_t c)
{
    return !s.isEmpty() && s.front() == c;
}

bool endsWithChar(QStringView s, char16_t c)
{
    return !s.isEmpty() && s.back() == c;
}

// Blanks, tabs and line breaks: what the tag rules trim.
bool isTrimmed(QChar c)
{
    return c == BLANK || c == u'\t' || c == LINE_FEED || c == CARRIAGE_RETURN;
}

QStringView trimLeft(QStringView s)
{
    qsizetype i = 0;
    while (i < s.size() && isTrimmed(s[i]))
        ++i;
    return s.mid(i);
}

QStringView trim(QStringView s)
{
    s = trimLeft(s);
    qsizetype n = s.size();
    while (n > 0 && isTrimmed(s[n - 1]))
        --n;
    return s.left(n);
}

bool isSkippedTag(QStringView token)
{
    return token.size() > 1
        && (token[1] == SKIPPED_TAG_MARK_COMMENT || token[1] == SKIPPED_TAG_MARK_DECLARATION);
}

bool isEndTagOf(QStringView token, QStringView name)
{
    return token.size() == name.size() + 3 && token[0] == LT && token[1] == SLASH && endsWithChar(token, GT)
        && token.mid(2, name.size()) == name;
}

// SetAttribute with a name index once the element has many attributes.
class AttributeSetter
{
public:
    AttributeSetter(CXML &element, CXMLInput &input) : m_element(element), m_input(input) {}

    void set(QStringView name, QString value)
    {
        if (m_element.attributes.size() < ATTRIBUTE_HASH_THRESHOLD) {
            if (CAttribute *attribute = m_element.FindAttribute(name))
                attribute->value = std::move(value);
            else
                m_element.attributes.append(new CAttribute(m_input.Intern(name), std::move(value)));
            return;
        }
        if (m_index.isEmpty()) {
            // First occurrence wins the lookup, as in SetAttribute.
            for (CAttribute *attribute : std::as_const(m_element.attributes))
                m_index.insert(attribute->name, attribute);
        }
        const QString key = m_input.Intern(name);
        if (CAttribute *attribute = m_index.value(key)) {
            attribute->value = std::move(value);
            return;
        }
        auto *attribute = new CAttribute(key, std::move(value));
        m_element.attributes.append(attribute);
        m_index.insert(key, attribute);
    }

private:
    CXML &m_element;
    CXMLInput &m_input;
    QHash<QString, CAttribute *> m_index;
};

void readAttributes(CXML &element, QStringView rest, CXMLInput &input)
{
    AttributeSetter setter(element, input);
    while (rest.size() > 1) {
        const qsizetype equals = indexIn(rest, EQUALS);
        if (equals <= 0)
            return;
        const QStringView name = trim(rest.left(equals));
        const qsizetype open = indexIn(rest, DOUBLE_QUOTE, equals + 1);
        const qsizetype close = open < 0 ? -1 : indexIn(rest, DOUBLE_QUOTE, open + 1);
        if (close < 0) {
            // No quoted value after the "=": the attribute is set empty and the
            // rest of the tag is dropped, since nothing in it can be paired safely.
            setter.set(name, QString());
            return;
        }
        const QStringView value = rest.mid(open + 1, close - open - 1);
        if (indexIn(value, AMPERSAND) >= 0) {
            // Decoded in a reused buffer, then interned like any other value.
            QString &decoded = input.DecodeBuffer();
            decoded.resize(0);
            decoded.append(value);
            DecodeEntitiesInPlace(decoded);
            setter.set(name, input.Intern(decoded));
        } else {
            setter.set(name, input.Intern(value));
        }
        rest = trimLeft(rest.mid(close + 1));
    }
}

// The start-tag half of ParseElement. Returns true when content follows (the
// element is not empty), i.e. when the caller must read up to its end tag.
bool readStartTag(CXML &element, QStringView startTag, CXMLInput &input)
{
    // A new element (every one but the root) has nothing to clear.
    if (!element.attributes.isEmpty() || !element.children.isEmpty() || !element.text.isNull())
        element.Clear();
    const QStringView token = startTag.isEmpty() ? QStringView(u" ") : startTag;
    if (!startsWithChar(token, LT))
        return false;

    const qsizetype blank = indexIn(token, BLANK);
    QStringView name;
    if (blank >= 0) {
        name = token.mid(1, blank - 1);
    } else if (token.size() >= 2) {
        name = token.mid(1, token.size() - 2);
        if (endsWithChar(name, SLASH))
            name.chop(1);
    }
    element.name = input.Intern(name);

    if (startsWithChar(element.name, SLASH))
        ShowXMLWarning(XML_WARNING_UNMATCHED_END + element.name);
    if (!endsWithChar(token, GT))
        ShowXMLWarning(XML_WARNING_INCOMPLETE_TAG);

    // The last character stands for ">" and, with a "/" before it, marks an empty
    // element; both count as blanks at the end of the tag, which the trim below
    // removes, so they are simply cut off.
    const qsizetype last = token.size() - 1;
    qsizetype end = last;
    bool isEmptyElement = false;
    if (last >= 1 && token[last - 1] == SLASH) {
        isEmptyElement = true;
        end = last - 1;
    }
    const qsizetype restStart = 1 + element.name.size();
    const QStringView rest = restStart < end ? token.mid(restStart, end - restStart) : QStringView();
    readAttributes(element, trim(rest), input);
    return !isEmptyElement;
}

void finishText(CXML &element)
{
    if (endsWithChar(element.text, LINE_FEED))
        element.text[element.text.size() - 1] = BLANK;
    if (element.text.contains(QChar(AMPERSAND)))
        DecodeEntitiesInPlace(element.text);
}

// The input of the parse running on this thread, if any. The first piece of an
// element's text goes through its Intern: a short text (a parameter's description
// recurs throughout a catalogue) is then shared, and a long one allocated at its size.
thread_local CXMLInput *t_parsingInput = nullptr;

class ParsingInputScope
{
public:
    explicit ParsingInputScope(CXMLInput &input) : m_previous(t_parsingInput) { t_parsingInput = &input; }
    ~ParsingInputScope() { t_parsingInput = m_previous; }
    ParsingInputScope(const ParsingInputScope &) = delete;
    ParsingInputScope &operator=(const ParsingInputScope &) = delete;

private:
    CXMLInput *m_previous;
};

// Appends with the capacity doubled whenever it runs out. The string's own growth
// rounds a block up to the next power of two, so a 16 MB text asks for 32 MB;
// exact doublings keep blocks at the size the text needs, which the allocator
// can hand back out on the next parse instead of mapping fresh pages each time.
void appendText(QString &text, QStringView s)
{
    if (text.isNull() && t_parsingInput) {
        text = t_parsingInput->Intern(s);
        return;
    }
    const qsizetype needed = text.size() + s.size();
    if (needed > text.capacity())
        text.reserve(qMax(needed, 2 * text.capacity()));
    text.append(s);
}

// First index of `c` in `s`, or -1; the library's vectorised search, for text
// runs that may be long.
qsizetype find(QStringView s, char16_t c)
{
    return s.indexOf(QChar(c));
}

} // namespace

CXMLInput::CXMLInput(QIODevice &device) : m_device(device)
{
    m_block.resize(FILL_BLOCK_BYTES);
}

void CXMLInput::Convert(const char *data, qint64 n)
{
    if (!m_detected) {
        // The first read decides: FF FE in front switches the process to UTF-16.
        m_pending.append(data, n);
        if (m_pending.size() < 2 && !m_end)
            return;
        m_detected = true;
        if (!g_bUnicodeFile && m_pending.size() >= 2 && uchar(m_pending[0]) == BYTE_ORDER_MARK_0
            && uchar(m_pending[1]) == BYTE_ORDER_MARK_1)
            g_bUnicodeFile = 1;
        m_width = g_bUnicodeFile ? 2 : 1;
        const QByteArray first = m_pending;
        m_pending.clear();
        Convert(first.constData(), first.size());
        return;
    }
    if (m_width == 1) {
        m_chars.append(QLatin1StringView(data, n));
        return;
    }
    if (!m_pending.isEmpty() && n > 0) {
        // Complete the code unit whose first byte ended the previous read.
        const char unit[2] = {m_pending[0], data[0]};
        m_pending.clear();
        Convert(unit, 2);
        ++data;
        --n;
    }
    const qsizetype units = qsizetype(n / 2);
    const qsizetype old = m_chars.size();
    m_chars.resize(old + units);
    qFromLittleEndian<char16_t>(data, units, m_chars.data() + old);
    if (n % 2)
        m_pending.append(data[n - 1]);
}

void CXMLInput::Fill()
{
    while (!m_end && AvailableBytes() < READ_CHUNK_BYTES) {
        if (m_index > KEPT_BEHIND_CHARS) {
            m_chars.remove(0, m_index - KEPT_BEHIND_CHARS);
            m_index = KEPT_BEHIND_CHARS;
        }
        const qint64 n = m_device.read(m_block.data(), m_block.size());
        if (n <= 0)
            m_end = true;
        Convert(m_block.constData(), qMax<qint64>(n, 0));
    }
}

namespace {

// Compares whole words of type Word while at least one is left, moving both
// positions and the count on; false at the first difference.
template <typename Word>
bool sameWords(const char *&p, const char *&q, size_t &bytes)
{
    for (; bytes >= sizeof(Word); bytes -= sizeof(Word), p += sizeof(Word), q += sizeof(Word)) {
        Word u;
        Word v;
        std::memcpy(&u, p, sizeof u);
        std::memcpy(&v, q, sizeof v);
        if (u != v)
            return false;
    }
    return true;
}

// Equality of two short runs of code units, eight bytes at a time: inline, where the
// library's comparison is a call that pays for lengths a name never has.
bool sameUnits(const QChar *x, const char16_t *y, qsizetype count)
{
    const auto *p = reinterpret_cast<const char *>(x);
    const auto *q = reinterpret_cast<const char *>(y);
    size_t bytes = size_t(count) * sizeof(char16_t);
    return sameWords<quint64>(p, q, bytes) && sameWords<char16_t>(p, q, bytes);
}

// A hash of every code unit of a short string, eight bytes at a time. Multiplying
// carries each bit of the input only towards the high bits, so tables take their
// index from the top of the result.
quint64 hashUnits(const char16_t *units, qsizetype count)
{
    constexpr quint64 MULTIPLIER = 0x9E3779B97F4A7C15ull;
    const auto *p = reinterpret_cast<const char *>(units);
    size_t bytes = size_t(count) * sizeof(char16_t);
    quint64 hash = quint64(count) * MULTIPLIER;
    for (; bytes >= sizeof(quint64); bytes -= sizeof(quint64), p += sizeof(quint64)) {
        quint64 word;
        std::memcpy(&word, p, sizeof word);
        hash = (hash ^ word) * MULTIPLIER;
        hash ^= hash >> 32;
    }
    quint64 last = 0;
    for (; bytes >= sizeof(char16_t); bytes -= sizeof(char16_t), p += sizeof(char16_t)) {
        char16_t unit;
        std::memcpy(&unit, p, sizeof unit);
        last = last << 16 | unit;
    }
    return (hash ^ last) * MULTIPLIER;
}

// Names and short values kept for the whole process, each once, and handed out
// as strings over that storage (QString::fromRawData). Such a string has no
// reference count: copying and destroying it costs no atomic operation, where a
// shared string pays two for every element, attribute name and value. A string
// over raw data copies itself before any change, so callers see ordinary strings.
// Bounded: once PERMANENT_CHARS_MAX characters are held, further strings are
// plain copies. Any thread may parse: the store is locked, but only on a miss of
// the parser's own table. Its index is open addressing over the strings' hashes,
// kept at most half full.
class PermanentStrings
{
public:
    QString get(QStringView s, quint64 hash)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const char16_t *const units = s.utf16();
        const qsizetype size = s.size();
        const size_t mask = m_slots.size() - 1;
        size_t index = size_t(hash >> (64 - m_slotBits));
        for (;; index = (index + 1) & mask) {
            const Slot &slot = m_slots[index];
            if (!slot.chars)
                break;
            if (slot.hash == hash && slot.size == size && sameUnits(slot.chars, units, size))
                return QString::fromRawData(slot.chars, size);
        }
        if (m_chars + size > PERMANENT_CHARS_MAX)
            return s.toString();
        if (m_chunkUsed + size > CHUNK_CHARS || !m_chunk) {
            m_chunk = new QChar[CHUNK_CHARS]; // never freed: strings over it live on
            m_chunkUsed = 0;
        }
        QChar *const stored = m_chunk + m_chunkUsed;
        std::memcpy(static_cast<void *>(stored), units, size_t(size) * sizeof(QChar));
        m_chunkUsed += size;
        m_chars += size;
        m_slots[index] = Slot{stored, size, hash};
        if (++m_count * 2 > qsizetype(m_slots.size()))
            grow();
        return QString::fromRawData(stored, size);
    }

private:
    static constexpr qsizetype PERMANENT_CHARS_MAX = 1 << 20;
    static constexpr qsizetype CHUNK_CHARS = 1 << 14;
    static constexpr int FIRST_SLOT_BITS = 10;

    struct Slot
    {
        const QChar *chars = nullptr;
        qsizetype size = 0;
        quint64 hash = 0;
    };

    void grow()
    {
        std::vector<Slot> old(size_t(1) << ++m_slotBits);
        old.swap(m_slots);
        const size_t mask = m_slots.size() - 1;
        for (const Slot &slot : old) {
            if (!slot.chars)
                continue;
            size_t index = size_t(slot.hash >> (64 - m_slotBits));
            while (m_slots[index].chars)
                index = (index + 1) & mask;
            m_slots[index] = slot;
        }
    }

    std::mutex m_mutex;
    int m_slotBits = FIRST_SLOT_BITS;
    std::vector<Slot> m_slots = std::vector<Slot>(size_t(1) << FIRST_SLOT_BITS);
    qsizetype m_count = 0;
    QChar *m_chunk = nullptr;
    qsizetype m_chunkUsed = 0;
    qsizetype m_chars = 0;
};

PermanentStrings &permanentStrings()
{
    static auto *strings = new PermanentStrings; // never destroyed: trees may outlive statics
    return *strings;
}

} // namespace

QString CXMLInput::Intern(QStringView name)
{
    if (name.isEmpty())
        return QString();
    const qsizetype size = name.size();
    if (size > INTERNED_MAX_CHARS)
        return name.toString();
    const char16_t *const units = name.utf16();
    const quint64 hash = hashUnits(units, size);
    QString &slot = m_interned[hash >> (64 - INTERNED_SLOT_BITS)];
    // constData, not utf16: the latter copies a string over raw data to terminate it.
    if (slot.size() != size || !sameUnits(slot.constData(), units, size))
        slot = permanentStrings().get(name, hash);
    return slot;
}

QStringView CXMLInput::WithConsumed(qsizetype consumedChars, qsizetype aheadChars) const
{
    if (consumedChars > m_index || m_index + aheadChars > m_chars.size())
        return QStringView();
    return QStringView(m_chars).mid(m_index - consumedChars, consumedChars + aheadChars);
}

void AppendText(CXML &element, QStringView s)
{
    if (s.isEmpty())
        return;
    if (s.size() <= 2) {
        if (s[0] != CARRIAGE_RETURN && s[0] != LINE_FEED)
            appendText(element.text, s);
        return;
    }
    if (s[0] == CARRIAGE_RETURN || s[1] == LINE_FEED)
        s = s.mid(2);
    appendText(element.text, s);
}

void AppendTextBeforeTag(CXML &element, QStringView s)
{
    if (s.isEmpty())
        return;
    qsizetype lineFeed = s.size() - 1;
    while (lineFeed >= 0 && s[lineFeed] != LINE_FEED)
        --lineFeed;
    for (QChar c : s.mid(lineFeed + 1)) {
        if (c.unicode() > LAST_BLANK_CODE) {
            appendText(element.text, s);
            return;
        }
    }
    // Only indentation after the last line break: the break and the indentation
    // belong to the layout, not to the text.
    if (lineFeed >= 1)
        AppendText(element, s.left(lineFeed));
}

bool IsStartTag(QStringView token, QStringView wantedName)
{
    if (!startsWithChar(token, LT))
        return false;
    if (wantedName.isEmpty())
        return true;
    const qsizetype blank = indexIn(token, BLANK);
    QStringView name;
    if (blank >= 0) {
        name = token.mid(1, blank - 1);
    } else {
        if (!endsWithChar(token, GT))
            return false;
        name = token.mid(1, token.size() - 2);
        if (endsWithChar(name, SLASH))
            name.chop(1);
    }
    return name == wantedName;
}

namespace {

// The tag whose "<" was just consumed, seen in place in the input, when it lies
// wholly in the current piece and every quoted value in it is in double quotes:
// then the tag phase below would copy it unchanged, step by step. The steps are
// replayed here over the one piece, with the same rule for a quote at the start
// of a step. Empty when the tag needs the general path; nothing is consumed then.
QStringView tagInPlace(CXMLInput &input)
{
    const QStringView s = input.Read().chars;
    const char16_t *const begin = s.utf16();
    const char16_t *const end = begin + s.size();
    const char16_t *step = begin;
    while (step != end) {
        const char16_t doubleQuote = *step != DOUBLE_QUOTE ? DOUBLE_QUOTE : GT;
        const char16_t apostrophe = *step != APOSTROPHE ? APOSTROPHE : GT;
        const char16_t *const at = scanTo(step, end, GT, doubleQuote, apostrophe);
        if (at == end || *at == APOSTROPHE)
            return QStringView();
        if (*at == GT) {
            const qsizetype length = at - begin + 1;
            const QStringView tag = input.WithConsumed(1, length);
            if (tag.isEmpty() || tag[0] != LT)
                return QStringView();
            input.Advance(length * input.CharWidth());
            return tag;
        }
        const char16_t *const close = scanTo(at + 1, end, DOUBLE_QUOTE, DOUBLE_QUOTE, DOUBLE_QUOTE);
        if (close == end)
            return QStringView();
        step = close + 1;
    }
    return QStringView();
}

// ReadToken into the input's token buffer; the view is valid until the next call.
QStringView readToken(CXMLInput &input, CXML &element)
{
    // Text phase: everything up to the next "<" that is not inside a quoted run.
    bool quotedText = false;
    for (;;) {
        const CXMLInput::Piece piece = input.Read();
        if (piece.bytes == 0) {
            element.endOfInput = 1;
            return QStringView();
        }
        // Known once the first read has looked for the byte-order mark.
        const int w = input.CharWidth();
        const QStringView s = piece.chars;
        if (quotedText) {
            const qsizetype quote = find(s, DOUBLE_QUOTE);
            if (quote >= 0) {
                AppendText(element, s.left(quote + 1));
                quotedText = false;
                input.Advance((quote + 1) * w);
            } else {
                AppendText(element, s);
                input.Advance(piece.bytes);
            }
            continue;
        }
        // A quote counts only before the "<" and never at index 0 (a piece that
        // begins with a quote is taken as having none); one scan finds whichever
        // comes first, so the cost is what the step consumes.
        const char16_t *const begin = s.utf16();
        const char16_t *const end = begin + s.size();
        const char16_t quoteUnit = (!s.isEmpty() && s[0] != DOUBLE_QUOTE) ? DOUBLE_QUOTE : LT;
        const char16_t *const hit = scanTo(begin, end, LT, quoteUnit, LT);
        const qsizetype lt = (hit != end && *hit == LT) ? hit - begin : -1;
        const qsizetype quote = (hit != end && *hit != LT) ? hit - begin : -1;
        if (lt == 0) {
            input.Advance(w);
            break;
        }
        if (lt == 1 && s[0].unicode() <= LAST_BLANK_CODE) {
            input.Advance(2 * w);
            break;
        }
        if (quote >= 0) {
            AppendText(element, s.left(quote + 1));
            quotedText = true;
            input.Advance((quote + 1) * w);
        } else if (lt >= 0) {
            // The next step would begin with this "<" and take it at once.
            AppendTextBeforeTag(element, s.left(lt));
            input.Advance((lt + 1) * w);
            break;
        } else {
            AppendText(element, startsWithChar(s, LINE_FEED) ? s.mid(1) : s);
            input.Advance(piece.bytes);
        }
    }

    // Tag phase: up to the first ">" outside quotes; every quoted value comes out
    // delimited by double quotes.
    if (const QStringView tag = tagInPlace(input); !tag.isEmpty())
        return tag;
    QString &token = input.TokenBuffer();
    token.resize(1);
    token[0] = LT;
    bool inDoubleQuotes = false;
    bool inApostrophes = false;
    const int w = input.CharWidth();
    for (;;) {
        const CXMLInput::Piece piece = input.Read();
        if (piece.bytes == 0) {
            element.endOfInput = 1;
            return token;
        }
        const QStringView s = piece.chars;
        if (inDoubleQuotes || inApostrophes) {
            const qsizetype at = find(s, inDoubleQuotes ? DOUBLE_QUOTE : APOSTROPHE);
            if (at < 0) {
                token.append(s);
                input.Advance(piece.bytes);
                continue;
            }
            token.append(s.left(inDoubleQuotes ? at + 1 : at));
            if (inApostrophes)
                token.append(QChar(DOUBLE_QUOTE));
            inDoubleQuotes = inApostrophes = false;
            input.Advance((at + 1) * w);
            continue;
        }
        // The first quote of a kind counts only when it is not at index 0; when it
        // is, that kind counts as absent from the whole piece.
        const char16_t *const begin = s.utf16();
        const char16_t *const end = begin + s.size();
        const char16_t doubleQuote = (s.isEmpty() || s[0] != DOUBLE_QUOTE) ? DOUBLE_QUOTE : GT;
        const char16_t apostrophe = (s.isEmpty() || s[0] != APOSTROPHE) ? APOSTROPHE : GT;
        const char16_t *at = begin;
        while (at != end && *at != GT && *at != doubleQuote && *at != apostrophe)
            ++at;
        const qsizetype found = at - begin;
        if (at == end) {
            token.append(s);
            input.Advance(piece.bytes);
            continue;
        }
        if (*at == GT) {
            token.append(s.left(found + 1));
            input.Advance((found + 1) * w);
            return token;
        }
        token.append(s.left(found));
        token.append(QChar(DOUBLE_QUOTE));
        (*at == DOUBLE_QUOTE ? inDoubleQuotes : inApostrophes) = true;
        input.Advance((found + 1) * w);
    }
}

void parseElement(CXML &element, QStringView token, CXMLInput &input)
{
    const ParsingInputScope scope(input);
    if (!readStartTag(element, token, input))
        return;
    // The elements whose end tag is still awaited, innermost last. An explicit
    // stack instead of recursion: nesting depth is bounded by memory only.
    // A child joins its parent when it is complete, as a recursive descent would
    // add it; one with an empty name is deleted with everything parsed into it.
    std::vector<CXML *> open{&element};
    QStringView next = readToken(input, element);
    while (!open.empty()) {
        CXML *current = open.back();
        if (current->endOfInput || isEndTagOf(next, current->name)) {
            finishText(*current);
            open.pop_back();
            if (open.empty())
                break;
            CXML *owner = open.back();
            if (current->name.isEmpty())
                delete current;
            else
                owner->AddChild(current);
            next = readToken(input, *owner);
            continue;
        }
        if (!isSkippedTag(next)) {
            auto *child = new CXML;
            if (readStartTag(*child, next, input)) {
                open.push_back(child);
                next = readToken(input, *child);
                continue;
            }
            if (child->name.isEmpty())
                delete child;
            else
                current->AddChild(child);
        }
        next = readToken(input, *current);
    }
}

} // namespace

QString ReadToken(CXMLInput &input, CXML &element)
{
    return readToken(input, element).toString();
}

void ParseElement(CXML &element, const QString &token, CXMLInput &input)
{
    parseElement(element, token, input);
}

int Load(CXML &root, QIODevice &file, const QString &rootName)
{
    const qint64 start = file.isSequential() ? 0 : file.pos();
    CXMLInput input(file);
    root.name = rootName;
    QStringView token = readToken(input, root);
    while (isSkippedTag(token))
        token = readToken(input, root);
    while (!root.endOfInput && !IsStartTag(token, root.name))
        token = readToken(input, root);
    // Whatever came before the root (a byte-order mark included) is not text.
    root.text.clear();
    int found = 0;
    if (!root.endOfInput) {
        parseElement(root, token, input);
        found = 1;
    }
    // The input read ahead; leave the device where the parse stopped.
    if (!file.isSequential())
        file.seek(start + input.Position());
    return found;
}
