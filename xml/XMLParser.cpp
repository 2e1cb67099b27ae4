#include "xml/XML.h"
#include "xml/XMLFast.h"
#include "xml/XMLInput.h"

#include <QHash>
#include <QIODevice>
#include <QtEndian>

#include <utility>
#include <vector>

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
            setter.set(name, input.Intern(DecodeEntities(value)));
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
        input.Warn(XML_WARNING_UNMATCHED_END + element.name);
    if (!endsWithChar(token, GT))
        input.Warn(XML_WARNING_INCOMPLETE_TAG);

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
        element.text = DecodeEntities(element.text);
}

// Appends with the capacity doubled whenever it runs out. The string's own growth
// rounds a block up to the next power of two, so a 16 MB text asks for 32 MB;
// exact doublings keep blocks at the size the text needs, which the allocator
// can hand back out on the next parse instead of mapping fresh pages each time.
void appendText(QString &text, QStringView s, CXMLInput &input)
{
    // The first piece of a text is shared like a name: a short text (a parameter's
    // description) recurs throughout a catalogue; a long one is allocated at its size.
    if (text.isNull()) {
        text = input.Intern(s);
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

CXMLInput::CXMLInput(QIODevice &device, int unicodeFile, CXMLWarningFunction warning)
    : m_unicodeFile(unicodeFile), m_warning(std::move(warning)), m_device(device)
{
    m_block.resize(FILL_BLOCK_BYTES);
}

void CXMLInput::Convert(const char *data, qint64 n)
{
    if (!m_detected) {
        // The first read decides: FF FE in front switches the tree to UTF-16.
        m_pending.append(data, n);
        if (m_pending.size() < 2 && !m_end)
            return;
        m_detected = true;
        if (!m_unicodeFile && m_pending.size() >= 2 && uchar(m_pending[0]) == BYTE_ORDER_MARK_0
            && uchar(m_pending[1]) == BYTE_ORDER_MARK_1)
            m_unicodeFile = 1;
        m_width = m_unicodeFile ? 2 : 1;
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

QStringView CXMLInput::WithConsumed(qsizetype consumedChars, qsizetype aheadChars) const
{
    if (consumedChars > m_index || m_index + aheadChars > m_chars.size())
        return QStringView();
    return QStringView(m_chars).mid(m_index - consumedChars, consumedChars + aheadChars);
}

void AppendText(CXML &element, QStringView s, CXMLInput &input)
{
    if (s.isEmpty())
        return;
    if (s.size() <= 2) {
        if (s[0] != CARRIAGE_RETURN && s[0] != LINE_FEED)
            appendText(element.text, s, input);
        return;
    }
    if (s[0] == CARRIAGE_RETURN || s[1] == LINE_FEED)
        s = s.mid(2);
    appendText(element.text, s, input);
}

void AppendTextBeforeTag(CXML &element, QStringView s, CXMLInput &input)
{
    if (s.isEmpty())
        return;
    qsizetype lineFeed = s.size() - 1;
    while (lineFeed >= 0 && s[lineFeed] != LINE_FEED)
        --lineFeed;
    for (QChar c : s.mid(lineFeed + 1)) {
        if (c.unicode() > LAST_BLANK_CODE) {
            appendText(element.text, s, input);
            return;
        }
    }
    // Only indentation after the last line break: the break and the indentation
    // belong to the layout, not to the text.
    if (lineFeed >= 1)
        AppendText(element, s.left(lineFeed), input);
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
                AppendText(element, s.left(quote + 1), input);
                quotedText = false;
                input.Advance((quote + 1) * w);
            } else {
                AppendText(element, s, input);
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
        const char16_t *const hit = ScanTo(begin, end, LT, quoteUnit, LT);
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
            AppendText(element, s.left(quote + 1), input);
            quotedText = true;
            input.Advance((quote + 1) * w);
        } else if (lt >= 0) {
            // The next step would begin with this "<" and take it at once.
            AppendTextBeforeTag(element, s.left(lt), input);
            input.Advance((lt + 1) * w);
            break;
        } else {
            AppendText(element, startsWithChar(s, LINE_FEED) ? s.mid(1) : s, input);
            input.Advance(piece.bytes);
        }
    }

    // Tag phase: up to the first ">" outside quotes; every quoted value comes out
    // delimited by double quotes.
    if (const QStringView tag = TagInPlace(input); !tag.isEmpty())
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

int Load(CXML &root, QIODevice &file, const QString &rootName, const CXMLWarningFunction &warning)
{
    const qint64 start = file.isSequential() ? 0 : file.pos();
    CXMLInput input(file, root.unicodeFile, warning);
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
    root.unicodeFile = input.UnicodeFile();
    // The input read ahead; leave the device where the parse stopped.
    if (!file.isSequential())
        file.seek(start + input.Position());
    return found;
}
