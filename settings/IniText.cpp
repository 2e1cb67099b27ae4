#include "settings/IniText.h"

#include <QHash>
#include <QRegularExpression>

namespace {

constexpr char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";
// A value that starts with this marks a typed value in the toolkit's dialect; a text that
// starts with it is written with the marker doubled.
constexpr QChar TYPE_MARKER = QLatin1Char('@');
constexpr char STRING_TYPE[] = "@String(";
constexpr char ESCAPED_GENERAL[] = "%General";   // how the toolkit writes a section called General
// The characters a quoted value writes as a backslash and a letter, and those letters.
const QString ESCAPED = QStringLiteral("\\\"\a\b\f\n\r\t\v");
const QString ESCAPE_LETTERS = QStringLiteral("\\\"abfnrtv");

// The value of c as a digit in that base (8 or 16), or -1.
int digitValue(QChar c, int base)
{
    const int value = QStringLiteral("0123456789abcdef").indexOf(c.toLower());
    return value < base ? value : -1;
}

// Section and key names: letters, digits, '_', '-' and '.' stay, '/' becomes '\', every
// other character is %XX (up to U+00FF) or %UXXXX: ASCII that no line syntax ('[', '=',
// ';', blanks) can claim.
QByteArray escapedName(const QString &name)
{
    QByteArray out;
    for (const QChar c : name) {
        if (c == u'/' || (c.unicode() < 0x80 && (c.isLetterOrNumber() || QStringLiteral("_-.").contains(c))))
            out += c == u'/' ? '\\' : char(c.unicode());
        else
            out += (c.unicode() <= 0xFF ? "%" : "%U") + QByteArray::number(c.unicode() | (c.unicode() <= 0xFF ? 0x100 : 0x10000), 16).mid(1);
    }
    return out;
}

// A name's %XX and %UXXXX escapes and its '\' (for '/'); a '%' that starts none stays.
const QRegularExpression NAME_ESCAPE(QStringLiteral("%(?:U([0-9a-fA-F]{4})|([0-9a-fA-F]{2}))|\\\\"));

QString unescapedName(const QString &text)
{
    QString out;
    qsizetype at = 0;
    for (auto it = NAME_ESCAPE.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch escape = it.next();
        const bool slash = escape.captured(0) == QLatin1String("\\");
        out += text.mid(at, escape.capturedStart() - at);
        out += slash ? QChar(u'/') : QChar(char16_t((escape.captured(1) + escape.captured(2)).toUInt(nullptr, 16)));
        at = escape.capturedEnd();
    }
    return out + text.mid(at);
}

// What the toolkit writes without quotes: an optional minus and 1 to 10 digits.
const QRegularExpression PLAIN_INTEGER(QStringLiteral("\\A-?[0-9]{1,10}\\z"));

// A value as the dialect writes it: plain digits bare, any other text in double quotes.
// Control and non-ASCII characters become \x escapes, so the file is ASCII whatever the
// reader's encoding; a hex digit right after such an escape is escaped too, or it would be
// read as part of it.
QByteArray encodedValue(const QString &value)
{
    if (PLAIN_INTEGER.match(value).hasMatch())
        return value.toLatin1();
    QByteArray out = "\"";
    bool afterHexEscape = false;
    for (const QChar c : value.startsWith(TYPE_MARKER) ? TYPE_MARKER + value : value) {
        const bool hex = c.unicode() < 0x20 || c.unicode() >= 0x7F || (afterHexEscape && digitValue(c, 16) >= 0);
        const int named = int(ESCAPED.indexOf(c));
        if (named >= 0)
            out += QByteArray("\\") + ESCAPE_LETTERS.at(named).toLatin1();
        else
            out += hex ? "\\x" + QByteArray::number(c.unicode(), 16) : QByteArray(1, char(c.unicode()));
        afterHexEscape = named < 0 && hex;
    }
    return out + '"';
}

// The value part of a line: quoted and unquoted pieces joined, backslash escapes resolved
// (\x hex and octal ones too), blanks outside quotes dropped at both ends. A comma outside
// quotes (a list in the toolkit's dialect, only in files edited by hand) is kept as text.
QString unescapedValue(const QString &raw)
{
    QString out;
    int keepFrom = -1;    // out.size() where the leading blanks end, once they did
    int keepUpTo = 0;     // out.size() after the last character that must not be trimmed
    bool inQuotes = false;
    for (int i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == u'"' || c != u'\\' || i + 1 == raw.size()) {
            inQuotes = c == u'"' ? !inQuotes : inQuotes;
            out += c == u'"' ? QString() : QString(c);
            const bool kept = c == u'"' || inQuotes || !c.isSpace();
            keepFrom = keepFrom < 0 && kept ? int(out.size()) - (c == u'"' ? 0 : 1) : keepFrom;
            keepUpTo = kept ? int(out.size()) : keepUpTo;
            continue;
        }
        const QChar e = raw.at(++i);
        const int base = e == u'x' ? 16 : digitValue(e, 8) >= 0 ? 8 : 0;
        if (base == 0) {
            const int named = int(ESCAPE_LETTERS.indexOf(e));
            out += named >= 0 ? ESCAPED.at(named) : e;   // \' \? and anything unknown: the character itself
        } else {
            uint value = base == 8 ? uint(digitValue(e, 8)) : 0;
            while (i + 1 < raw.size() && digitValue(raw.at(i + 1), base) >= 0)
                value = (value * uint(base) + uint(digitValue(raw.at(++i), base))) & 0xFFFF;
            out += QChar(char16_t(value));
        }
        keepFrom = keepFrom < 0 ? int(out.size()) - 1 : keepFrom;
        keepUpTo = int(out.size());
    }
    out = keepFrom < 0 ? QString() : out.mid(keepFrom, keepUpTo - keepFrom);
    const int prefix = int(qstrlen(STRING_TYPE));
    if (out.startsWith(QString(2, TYPE_MARKER)))
        return out.mid(1);
    return out.startsWith(QLatin1String(STRING_TYPE)) && out.endsWith(u')') ? out.mid(prefix, out.size() - prefix - 1) : out;
}

} // namespace

CIniText::CIniText(const QByteArray &bytes)
{
    m_byteOrderMark = bytes.startsWith(BYTE_ORDER_MARK);
    for (qsizetype at = m_byteOrderMark ? qstrlen(BYTE_ORDER_MARK) : 0, next = 0; at < bytes.size(); at = next) {
        next = bytes.indexOf('\n', at) < 0 ? bytes.size() : bytes.indexOf('\n', at) + 1;
        m_lines << bytes.mid(at, next - at);
    }
}

// Each line on its own, decoded as UTF-8; comments (';', '#') count as blank, and so do
// lines without '=' or with an empty key, as the toolkit skips them: they are kept as text.
QList<CIniText::Line> CIniText::parse() const
{
    QList<Line> out;
    QString section;
    for (const QByteArray &bytes : m_lines) {
        const QString line = QString::fromUtf8(bytes.chopped(bytes.endsWith("\r\n") ? 2 : bytes.endsWith('\n') || bytes.endsWith('\r') ? 1 : 0));
        const QString trimmed = line.trimmed();
        const int equals = int(line.indexOf(u'='));
        Line parsed;
        if (trimmed.startsWith(u'[')) {
            QString name = trimmed.mid(1, trimmed.indexOf(u']') < 0 ? -1 : trimmed.indexOf(u']') - 1);
            // "%General" stands for General; older files of this tool wrote a '%' before other
            // names too, so a '%' that starts no escape goes as well.
            const bool escaped = NAME_ESCAPE.match(name).capturedStart() == 0;
            if (name.startsWith(u'%') && (name.compare(QLatin1String(ESCAPED_GENERAL), Qt::CaseInsensitive) == 0 || !escaped))
                name.remove(0, 1);
            section = unescapedName(name);
            parsed.header = true;
        } else if (!trimmed.startsWith(u';') && !trimmed.startsWith(u'#') && equals >= 0) {
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
    QMap<int, QByteArray> inserted;    // after that line; new sections after the last
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        const QList<int> held = keyLines.value(it.key());
        if (it.key().second.isEmpty())
            continue;   // no line can hold it
        if (!it.value()) {
            for (const int line : held)
                replaced[line] = QByteArray();
        } else if (!held.isEmpty()) {
            // The key stays as written, the line end too.
            const QByteArray &old = m_lines.at(held.last());
            const qsizetype end = old.size() - (old.endsWith("\r\n") ? 2 : old.endsWith('\n') || old.endsWith('\r') ? 1 : 0);
            replaced[held.last()] = old.left(old.indexOf('=') + 1) + encodedValue(*it.value()) + old.mid(end);
        } else {
            if (!sectionEnd.contains(it.key().first)) {
                sectionEnd[it.key().first] = int(m_lines.size());
                inserted[int(m_lines.size())] += (inserted.isEmpty() && m_lines.isEmpty() ? "[" : "\n[") + escapedName(it.key().first) + "]\n";
            }
            inserted[sectionEnd.value(it.key().first)] += escapedName(it.key().second) + '=' + encodedValue(*it.value()) + '\n';
        }
    }
    QByteArray body;
    auto add = [&body](const QByteArray &text) {
        if (!text.isEmpty() && !body.isEmpty() && !body.endsWith('\n'))
            body += '\n';
        body += text;
    };
    for (int i = -1; i <= m_lines.size(); ++i) {
        add(i < 0 || i == m_lines.size() ? QByteArray() : replaced.contains(i) ? replaced.value(i) : m_lines.at(i));
        add(inserted.value(i));
    }
    // Bytes that look like a byte order mark at the top are the first line's own only when a
    // mark comes before them.
    const bool mark = m_byteOrderMark || body.startsWith(BYTE_ORDER_MARK);
    *this = CIniText((mark ? QByteArray(BYTE_ORDER_MARK) : QByteArray()) + body);
}

QByteArray CIniText::bytes() const
{
    return (m_byteOrderMark ? QByteArray(BYTE_ORDER_MARK) : QByteArray()) + m_lines.join();
}
