#include "settings/IniText.h"

#include <QHash>
#include <QSet>

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";
// A value that starts with this marks a typed value in the toolkit's dialect; a text that
// starts with it is written with the marker doubled.
constexpr QChar TYPE_MARKER = QLatin1Char('@');
constexpr char STRING_TYPE[] = "@String(";
// The toolkit writes a section literally called General this way.
constexpr char ESCAPED_GENERAL[] = "%General";

bool isPlainNameChar(char16_t ch)
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-'
        || ch == '.';
}

int hexValue(QChar c)
{
    const char16_t ch = c.unicode();
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    return ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
}

// Section and key names: letters, digits, '_', '-' and '.' stay, '/' becomes '\', every
// other character is %XX (up to U+00FF) or %UXXXX. The result is ASCII that no line
// syntax ('[', '=', ';', blanks) can claim.
QByteArray escapedName(const QString &name)
{
    QByteArray out;
    for (const QChar c : name) {
        const char16_t ch = c.unicode();
        if (ch == '/' || isPlainNameChar(ch)) {
            out += ch == '/' ? '\\' : char(ch);
            continue;
        }
        out += ch <= 0xFF ? "%" : "%U";
        for (int shift = ch <= 0xFF ? 4 : 12; shift >= 0; shift -= 4)
            out += HEX_DIGITS[(ch >> shift) & 0xF];
    }
    return out;
}

// The value of a %XX or %UXXXX escape at text[at], or -1; length gets the escape's length.
int nameEscape(const QString &text, int at, int &length)
{
    const bool wide = at + 1 < text.size() && text.at(at + 1) == QLatin1Char('U');
    const int first = at + (wide ? 2 : 1);
    const int digits = wide ? 4 : 2;
    if (first + digits > text.size())
        return -1;
    int value = 0;
    for (int d = 0; d < digits; ++d) {
        const int v = hexValue(text.at(first + d));
        if (v < 0)
            return -1;
        value = value * 16 + v;
    }
    length = first + digits - at;
    return value;
}

QString unescapedName(const QString &text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        int length = 0;
        const int value = text.at(i) == QLatin1Char('%') ? nameEscape(text, i, length) : -1;
        if (value >= 0) {
            out += QChar(char16_t(value));
            i += length - 1;
        } else {
            out += text.at(i) == QLatin1Char('\\') ? QLatin1Char('/') : text.at(i);
        }
    }
    return out;
}

// The name between a section line's brackets. "%General" stands for General; older files of
// this tool wrote a '%' before other names too, so a '%' that starts no escape goes as well.
QString sectionName(QString name)
{
    int length = 0;
    if (name.startsWith(QLatin1Char('%'))
        && (name.compare(QLatin1String(ESCAPED_GENERAL), Qt::CaseInsensitive) == 0 || nameEscape(name, 0, length) < 0))
        name.remove(0, 1);
    return unescapedName(name);
}

// What the toolkit writes without quotes: an optional minus and 1 to 10 digits.
bool isPlainInteger(const QString &text)
{
    const int first = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    if (text.size() - first < 1 || text.size() - first > 10)
        return false;
    return std::all_of(text.begin() + first, text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// A value as the dialect writes it: plain digits bare, any other text in double quotes.
// Control and non-ASCII characters become \x escapes, so the file is ASCII whatever the
// reader's encoding; a hex digit right after such an escape is escaped too, or it would be
// read as part of it.
QByteArray encodedValue(const QString &value)
{
    if (isPlainInteger(value))
        return value.toLatin1();
    static const QHash<char16_t, QByteArray> named = {{'\\', "\\\\"}, {'"', "\\\""}, {'\a', "\\a"}, {'\b', "\\b"},
                                                      {'\f', "\\f"},  {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"},
                                                      {'\v', "\\v"}};
    QByteArray out = "\"";
    bool afterHexEscape = false;
    for (const QChar c : value.startsWith(TYPE_MARKER) ? TYPE_MARKER + value : value) {
        const char16_t ch = c.unicode();
        if (named.contains(ch)) {
            out += named.value(ch);
            afterHexEscape = false;
        } else if (ch < 0x20 || ch >= 0x7F || (afterHexEscape && hexValue(c) >= 0)) {
            out += "\\x" + QByteArray::number(ch, 16);
            afterHexEscape = true;
        } else {
            out += char(ch);
            afterHexEscape = false;
        }
    }
    return out + '"';
}

QString typedValue(const QString &text)
{
    if (text.startsWith(QString(2, TYPE_MARKER)))
        return text.mid(1);
    const int prefix = int(qstrlen(STRING_TYPE));
    if (text.startsWith(QLatin1String(STRING_TYPE)) && text.endsWith(QLatin1Char(')')))
        return text.mid(prefix, text.size() - prefix - 1);
    return text;
}

// The value part of a line: quoted and unquoted pieces joined, backslash escapes resolved,
// blanks outside quotes dropped at both ends. A comma outside quotes (a list in the
// toolkit's dialect, only in files edited by hand) is kept as text.
QString unescapedValue(const QString &raw)
{
    QString out;
    int keepUpTo = 0;   // out.size() after the last character that must not be trimmed
    bool inQuotes = false;
    int i = 0;
    while (i < raw.size() && (raw.at(i) == QLatin1Char(' ') || raw.at(i) == QLatin1Char('\t')))
        ++i;
    for (; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
            keepUpTo = int(out.size());
            continue;
        }
        if (c != QLatin1Char('\\') || i + 1 >= raw.size()) {
            out += c;
            keepUpTo = inQuotes || !c.isSpace() ? int(out.size()) : keepUpTo;
            continue;
        }
        const QChar e = raw.at(++i);
        static const QString named = QStringLiteral("abfnrtv");
        static const QString meant = QStringLiteral("\a\b\f\n\r\t\v");
        const bool hex = e == QLatin1Char('x');
        if (named.contains(e)) {
            out += meant.at(named.indexOf(e));
        } else if (hex || (e >= u'0' && e <= u'7')) {
            uint value = hex ? 0 : uint(e.unicode() - '0');
            auto digit = [&](QChar d) { return hex ? hexValue(d) : (d >= u'0' && d <= u'7' ? d.unicode() - '0' : -1); };
            while (i + 1 < raw.size() && digit(raw.at(i + 1)) >= 0)
                value = ((value << (hex ? 4 : 3)) | uint(digit(raw.at(++i)))) & 0xFFFF;
            out += QChar(char16_t(value));
        } else {
            out += e;   // \\ \" \' \? and anything unknown: the character itself
        }
        keepUpTo = int(out.size());
    }
    out.truncate(keepUpTo);
    return typedValue(out);
}

} // namespace

CIniText::CIniText(const QByteArray &bytes)
{
    m_byteOrderMark = bytes.startsWith(BYTE_ORDER_MARK);
    qsizetype at = m_byteOrderMark ? qstrlen(BYTE_ORDER_MARK) : 0;
    while (at < bytes.size()) {
        const qsizetype end = bytes.indexOf('\n', at);
        const qsizetype next = end < 0 ? bytes.size() : end + 1;
        m_lines << bytes.mid(at, next - at);
        at = next;
    }
}

// Each line on its own, decoded as UTF-8; comments (';', '#') count as blank, and so do
// lines without '=' or with an empty key, as the toolkit skips them: they are kept as text.
QList<CIniText::Line> CIniText::parse() const
{
    QList<Line> out;
    QString section;
    for (const QByteArray &bytes : m_lines) {
        QString line = QString::fromUtf8(bytes);
        line.chop(line.endsWith(QLatin1Char('\n')) ? 1 : 0);
        line.chop(line.endsWith(QLatin1Char('\r')) ? 1 : 0);
        const QString trimmed = line.trimmed();
        const int equals = int(line.indexOf(QLatin1Char('=')));
        Line parsed;
        if (trimmed.startsWith(QLatin1Char('['))) {
            const int close = int(trimmed.indexOf(QLatin1Char(']')));
            section = sectionName(trimmed.mid(1, close < 0 ? -1 : close - 1));
            parsed.header = true;
        } else if (!trimmed.startsWith(QLatin1Char(';')) && !trimmed.startsWith(QLatin1Char('#')) && equals >= 0) {
            parsed.key = unescapedName(line.left(equals).trimmed());
            parsed.value = parsed.key.isEmpty() ? QString() : unescapedValue(line.mid(equals + 1));
        }
        parsed.section = section;
        out << parsed;
    }
    return out;
}

IniValues CIniText::values() const
{
    IniValues values;
    for (const Line &line : parse()) {
        if (!line.key.isEmpty())
            values[line.section][line.key] = line.value;
    }
    return values;
}

void CIniText::apply(const IniChanges &changes)
{
    const QList<Line> lines = parse();
    QHash<QString, int> sectionEnd{{QString(), -1}};   // its last line; -1: the file's top
    QHash<QPair<QString, QString>, QList<int>> keyLines;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).header || !lines.at(i).key.isEmpty())
            sectionEnd[lines.at(i).section] = i;
        if (!lines.at(i).key.isEmpty())
            keyLines[qMakePair(lines.at(i).section, lines.at(i).key)] << i;
    }
    QHash<int, QByteArray> replaced;   // empty: removed
    QMap<int, QByteArray> inserted;    // after that line
    QMap<QString, QByteArray> newSections;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        const auto &[section, key] = it.key();
        const QList<int> held = keyLines.value(it.key());
        if (key.isEmpty())
            continue;   // no line can hold it
        if (!it.value()) {
            for (const int line : held)
                replaced[line] = QByteArray();
        } else if (!held.isEmpty()) {
            // The key stays as written, the line end too.
            const QByteArray &old = m_lines.at(held.last());
            const QByteArray end = old.endsWith("\r\n") ? "\r\n" : old.right(old.endsWith('\n') || old.endsWith('\r') ? 1 : 0);
            replaced[held.last()] = old.left(old.indexOf('=') + 1) + encodedValue(*it.value()) + end;
        } else {
            const QByteArray line = escapedName(key) + '=' + encodedValue(*it.value()) + '\n';
            if (sectionEnd.contains(section))
                inserted[sectionEnd.value(section)] += line;
            else
                newSections[section] += line;
        }
    }
    QByteArray body;
    auto add = [&body](const QByteArray &text) {
        if (text.isEmpty())
            return;
        if (!body.isEmpty() && !body.endsWith('\n'))
            body += '\n';
        body += text;
    };
    add(inserted.value(-1));
    for (int i = 0; i < m_lines.size(); ++i) {
        add(replaced.contains(i) ? replaced.value(i) : m_lines.at(i));
        add(inserted.value(i));
    }
    for (auto it = newSections.cbegin(); it != newSections.cend(); ++it)
        add((body.isEmpty() ? "[" : "\n[") + escapedName(it.key()) + "]\n" + it.value());
    // Bytes that look like a byte order mark at the top are the first line's own only when a
    // mark comes before them.
    const bool mark = m_byteOrderMark || body.startsWith(BYTE_ORDER_MARK);
    *this = CIniText((mark ? QByteArray(BYTE_ORDER_MARK) : QByteArray()) + body);
}

QByteArray CIniText::bytes() const
{
    return (m_byteOrderMark ? QByteArray(BYTE_ORDER_MARK) : QByteArray()) + m_lines.join();
}
