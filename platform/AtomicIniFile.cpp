#include "platform/AtomicIniFile.h"

#include "platform/FileSync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtDebug>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr char TEMPORARY_SUFFIX[] = ".tmp";
// A value that starts with this marks a typed value in the toolkit's dialect; a plain text
// that starts with it is written with the marker doubled.
constexpr QChar TYPE_MARKER = QLatin1Char('@');
constexpr char STRING_TYPE[] = "@String(";
// A new settings file is the user's alone; an existing one keeps the mode it has.
constexpr mode_t NEW_FILE_MODE = 0600;
constexpr int CREATE_ATTEMPTS = 16;
constexpr int MAX_LINK_HOPS = 40;
// Parse notes logged at most this many times for one file; the rest are counted.
constexpr int MAX_NOTES = 10;
constexpr char UTF8_BOM[] = "\xEF\xBB\xBF";
// The toolkit writes a section literally called General this way.
constexpr char ESCAPED_GENERAL[] = "%General";
// Reads and writes of the file go in pieces of this size: large enough that a 100 MB file
// takes a hundred calls, small enough that no second copy of it is ever held.
constexpr qsizetype IO_CHUNK = 1 << 20;
// Room for this many bytes a line is made for the index at once, so that a typical file's
// index is not copied while it grows (what is reserved and never used is never touched).
constexpr qint64 TYPICAL_LINE_BYTES = 48;
constexpr size_t MIN_SLOTS = 16;

bool isPlainNameChar(ushort ch)
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-'
        || ch == '.';
}

// Section and key names: letters, digits, '_', '-' and '.' stay, '/' becomes '\', every
// other character is %XX (up to U+00FF) or %UXXXX.
QByteArray escapedName(const QString &name)
{
    QByteArray out;
    for (const QChar c : name) {
        const ushort ch = c.unicode();
        if (ch == '/') {
            out += '\\';
        } else if (isPlainNameChar(ch)) {
            out += char(ch);
        } else if (ch <= 0xFF) {
            out += '%';
            out += HEX_DIGITS[ch >> 4];
            out += HEX_DIGITS[ch & 0xF];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += HEX_DIGITS[(ch >> shift) & 0xF];
        }
    }
    return out;
}

int hexValue(QChar c)
{
    const ushort ch = c.unicode();
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// The value of a %XX or %UXXXX escape starting at text[at] ('%'), or -1 when there is none;
// length gets the escape's length.
int nameEscape(const QString &text, int at, int &length)
{
    const bool wide = at + 1 < text.size() && text.at(at + 1) == QLatin1Char('U');
    const int digits = wide ? 4 : 2;
    const int first = at + 1 + (wide ? 1 : 0);
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
    if (!text.contains(QLatin1Char('%')) && !text.contains(QLatin1Char('\\')))
        return text;
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\')) {
            out += QLatin1Char('/');
            continue;
        }
        int length = 0;
        const int value = c == QLatin1Char('%') ? nameEscape(text, i, length) : -1;
        if (value < 0) {
            out += c;   // not an escape: kept as written
            continue;
        }
        out += QChar(ushort(value));
        i += length - 1;
    }
    return out;
}

// The name between a section line's brackets. The toolkit's "%General" stands for General;
// files of this tool's older versions wrote a '%' before other names too, so a '%' that
// starts no escape is dropped as well. A '%U' with four hex digits is an escape.
QString sectionName(QString name)
{
    int length = 0;
    if (name.startsWith(QLatin1Char('%')) && (name.compare(QLatin1String(ESCAPED_GENERAL), Qt::CaseInsensitive) == 0
                                              || nameEscape(name, 0, length) < 0))
        name.remove(0, 1);
    return unescapedName(name);
}

// What the toolkit writes without quotes: an optional minus and 1 to 10 digits, nothing else
// (a line break after the digits would end the line).
bool isPlainInteger(const QString &text)
{
    const int first = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    const int digits = int(text.size()) - first;
    if (digits < 1 || digits > 10)
        return false;
    for (int i = first; i < text.size(); ++i) {
        if (text.at(i) < QLatin1Char('0') || text.at(i) > QLatin1Char('9'))
            return false;
    }
    return true;
}

bool isPlainName(const QString &name)
{
    for (const QChar c : name) {
        if (!isPlainNameChar(c.unicode()))
            return false;
    }
    return !name.isEmpty();
}

// Printable ASCII but the quote and the backslash, not starting with the type marker: goes
// between quotes as it is.
bool isPlainText(const QString &value)
{
    if (value.startsWith(TYPE_MARKER))
        return false;
    for (const QChar c : value) {
        const ushort ch = c.unicode();
        if (ch < 0x20 || ch >= 0x7F || ch == '"' || ch == '\\')
            return false;
    }
    return true;
}

// A text value in double quotes. Control and non-ASCII characters become \x escapes, so
// the file is plain ASCII whatever the reader's encoding; a hex digit right after such an
// escape is escaped too, or it would be read as part of it.
QByteArray quotedValue(const QString &value)
{
    QByteArray out = "\"";
    const QString text = value.startsWith(TYPE_MARKER) ? TYPE_MARKER + value : value;
    bool afterHexEscape = false;
    for (const QChar c : text) {
        const ushort ch = c.unicode();
        const bool hexDigit = hexValue(c) >= 0;
        switch (ch) {
        case '\\': out += "\\\\"; afterHexEscape = false; continue;
        case '"': out += "\\\""; afterHexEscape = false; continue;
        case '\a': out += "\\a"; afterHexEscape = false; continue;
        case '\b': out += "\\b"; afterHexEscape = false; continue;
        case '\f': out += "\\f"; afterHexEscape = false; continue;
        case '\n': out += "\\n"; afterHexEscape = false; continue;
        case '\r': out += "\\r"; afterHexEscape = false; continue;
        case '\t': out += "\\t"; afterHexEscape = false; continue;
        case '\v': out += "\\v"; afterHexEscape = false; continue;
        default: break;
        }
        if (ch < 0x20 || ch >= 0x7F || (afterHexEscape && hexDigit)) {
            out += "\\x";
            out += QByteArray::number(ch, 16);
            afterHexEscape = true;
        } else {
            out += char(ch);
            afterHexEscape = false;
        }
    }
    out += '"';
    return out;
}

// The value part of a line: quoted and unquoted pieces joined, backslash escapes resolved,
// white space outside quotes dropped at both ends. A comma outside quotes (a list in the
// toolkit's dialect, found only in files edited by hand) is kept as text.
QString typedValue(const QString &out)
{
    if (out.startsWith(QString(2, TYPE_MARKER)))
        return out.mid(1);
    if (out.startsWith(QLatin1String(STRING_TYPE)) && out.endsWith(QLatin1Char(')')))
        return out.mid(int(qstrlen(STRING_TYPE)), out.size() - int(qstrlen(STRING_TYPE)) - 1);
    return out;
}

QString unescapedValue(const QString &raw)
{
    int i = 0;
    while (i < raw.size() && (raw.at(i) == QLatin1Char(' ') || raw.at(i) == QLatin1Char('\t')))
        ++i;
    if (!raw.contains(QLatin1Char('\\'))) {
        // Most lines: one quoted text or a bare word, no escapes.
        int last = int(raw.size());
        while (last > i && raw.at(last - 1).isSpace())
            --last;
        const int quote = int(raw.indexOf(QLatin1Char('"'), i));
        if (quote < 0)
            return typedValue(raw.mid(i, last - i));
        if (quote == i && last - i >= 2 && raw.at(last - 1) == QLatin1Char('"') && raw.indexOf(QLatin1Char('"'), i + 1) == last - 1)
            return typedValue(raw.mid(i + 1, last - i - 2));
    }
    QString out;
    int keepUpTo = 0;   // out.size() after the last character that must not be trimmed
    bool inQuotes = false;
    for (; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
            keepUpTo = out.size();
            continue;
        }
        if (c != QLatin1Char('\\') || i + 1 >= raw.size()) {
            out += c;
            if (inQuotes || !c.isSpace())
                keepUpTo = out.size();
            continue;
        }
        const QChar e = raw.at(++i);
        switch (e.unicode()) {
        case 'a': out += QLatin1Char('\a'); break;
        case 'b': out += QLatin1Char('\b'); break;
        case 'f': out += QLatin1Char('\f'); break;
        case 'n': out += QLatin1Char('\n'); break;
        case 'r': out += QLatin1Char('\r'); break;
        case 't': out += QLatin1Char('\t'); break;
        case 'v': out += QLatin1Char('\v'); break;
        case 'x': {
            uint value = 0;
            while (i + 1 < raw.size() && hexValue(raw.at(i + 1)) >= 0)
                value = ((value << 4) | uint(hexValue(raw.at(++i)))) & 0xFFFF;
            out += QChar(ushort(value));
            break;
        }
        default:
            if (e >= QLatin1Char('0') && e <= QLatin1Char('7')) {
                uint value = uint(e.unicode() - '0');
                while (i + 1 < raw.size() && raw.at(i + 1) >= QLatin1Char('0') && raw.at(i + 1) <= QLatin1Char('7'))
                    value = ((value << 3) | uint(raw.at(++i).unicode() - '0')) & 0xFFFF;
                out += QChar(ushort(value));
            } else {
                out += e;   // \\ \" \' \? and anything unknown: the character itself
            }
        }
        keepUpTo = out.size();
    }
    out.truncate(keepUpTo);
    return typedValue(out);
}

// Moves `size` bytes by calls of `step(done)`, each a read or a write of what is left that
// returns what its system call returns; goes on after a signal. False when a call fails or
// moves nothing (a file shorter than it said, a disk that takes no more).
template <typename Step>
bool transferAll(qsizetype size, Step step)
{
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool readAt(int fd, qint64 offset, char *data, qsizetype size)
{
    return transferAll(size, [&](qsizetype done) {
        return ::pread(fd, data + done, size_t(size - done), off_t(offset + done));
    });
}

bool writeAll(int fd, const char *data, qsizetype size)
{
    return transferAll(size, [&](qsizetype done) { return ::write(fd, data + done, size_t(size - done)); });
}

bool syncFolder(const QString &folder, QString &error)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    error = SyncToDisk(fd);
    ::close(fd);
    return error.isEmpty();
}

// The rendered text's pieces (many small ones around a changed line, a few large spans of
// the held text) gathered into writes of about IO_CHUNK; a large span goes out as it is.
class CChunkedWriter
{
public:
    explicit CChunkedWriter(int fd) : m_fd(fd) { m_buffer.reserve(IO_CHUNK); }

    bool put(const char *data, qsizetype size)
    {
        if (m_buffer.size() + size <= IO_CHUNK) {
            m_buffer.append(data, size);
            return true;
        }
        return flush() && (size >= IO_CHUNK ? writeAll(m_fd, data, size) : (m_buffer.append(data, size), true));
    }
    bool flush()
    {
        const bool ok = writeAll(m_fd, m_buffer.constData(), m_buffer.size());
        m_buffer.clear();
        return ok;
    }

private:
    int m_fd;
    QByteArray m_buffer;
};

// Compares the rendered text, piece by piece, with what the file gives back, reading it in
// chunks: the written file is checked without being held whole.
class CReadBackComparer
{
public:
    CReadBackComparer(int fd, qint64 fileSize) : m_fd(fd), m_fileSize(fileSize) {}

    bool matches(const char *data, qsizetype size)
    {
        while (size > 0) {
            if (m_used == m_chunk.size()) {
                const qint64 left = m_fileSize - m_offset;
                if (left <= 0)
                    return false;   // the file is shorter than the text
                m_chunk.resize(qsizetype(std::min<qint64>(left, IO_CHUNK)));
                if (!readAt(m_fd, m_offset, m_chunk.data(), m_chunk.size()))
                    return false;
                m_offset += m_chunk.size();
                m_used = 0;
            }
            const qsizetype n = std::min(size, m_chunk.size() - m_used);
            if (std::memcmp(m_chunk.constData() + m_used, data, size_t(n)) != 0)
                return false;
            m_used += n;
            data += n;
            size -= n;
        }
        return true;
    }
    // Nothing of the file is left over.
    bool atEnd() const { return m_offset == m_fileSize && m_used == m_chunk.size(); }

private:
    int m_fd;
    qint64 m_fileSize;
    qint64 m_offset = 0;
    QByteArray m_chunk;
    qsizetype m_used = 0;
};

enum class LineKind { Blank, Section, Entry, NotASetting, EmptyKey };

struct ParsedLine
{
    LineKind kind = LineKind::Blank;
    QString name;    // the section's or the key's
    QString value;
};

// One line of the file without its line feed. Comments (';', '#') count as blank.
ParsedLine parseLine(QString line)
{
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#')))
        return {};
    if (trimmed.startsWith(QLatin1Char('['))) {
        const int close = int(trimmed.indexOf(QLatin1Char(']')));
        return {LineKind::Section, sectionName(trimmed.mid(1, close < 0 ? -1 : close - 1)), QString()};
    }
    const int equals = int(line.indexOf(QLatin1Char('=')));
    if (equals < 0)
        return {LineKind::NotASetting, QString(), QString()};
    const QString key = line.left(equals).trimmed();
    if (key.isEmpty())
        return {LineKind::EmptyKey, QString(), QString()};
    return {LineKind::Entry, unescapedName(key), unescapedValue(line.mid(equals + 1))};
}

bool isAsciiSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// What the index needs of a line: its kind and, for a setting or a section, its name. A
// setting's name in plain ASCII without escapes (nearly every line) comes as the bytes
// themselves in `plain`, with no string made; any other name in `name`. A line whose start
// up to its '=' is ASCII is classified on its bytes, with the same outcome as parseLine;
// any other line goes through parseLine.
struct LineHead
{
    LineKind kind = LineKind::Blank;
    QByteArrayView plain;
    QString name;

    QString fullName() const { return plain.isNull() ? name : QString::fromLatin1(plain); }
};

LineHead scanLine(const char *p, qsizetype n)
{
    const qsizetype full = n;
    if (n > 0 && p[n - 1] == '\r')
        --n;
    auto slow = [&] {
        ParsedLine line = parseLine(QString::fromUtf8(p, full));
        return LineHead{line.kind, QByteArrayView(), std::move(line.name)};
    };
    // Only what comes before the '=' decides: a value's bytes never change a line's kind.
    qsizetype a = 0;
    while (a < n && isAsciiSpace(p[a]))
        ++a;
    if (a == n)
        return {};
    if (uchar(p[a]) >= 0x80)
        return slow();   // perhaps a space of another script
    if (p[a] == ';' || p[a] == '#')
        return {};
    if (p[a] == '[')
        return {LineKind::Section, QByteArrayView(), parseLine(QString::fromUtf8(p, full)).name};
    const char *equals = static_cast<const char *>(std::memchr(p, '=', size_t(n)));
    if (!equals)
        return {LineKind::NotASetting, QByteArrayView(), QString()};
    qsizetype keyEnd = equals - p;
    for (qsizetype i = a; i < keyEnd; ++i) {
        if (uchar(p[i]) >= 0x80)
            return slow();
    }
    while (a < keyEnd && isAsciiSpace(p[keyEnd - 1]))
        --keyEnd;
    if (a == keyEnd)
        return {LineKind::EmptyKey, QByteArrayView(), QString()};
    const QByteArrayView key(p + a, keyEnd - a);
    if (key.contains('%') || key.contains('\\'))
        return {LineKind::Entry, QByteArrayView(), unescapedName(QString::fromLatin1(key))};
    return {LineKind::Entry, key, QString()};
}

// The index's hash of a setting: its section's number and its name in UTF-8.
quint32 entryHash(quint32 section, QByteArrayView name)
{
    return quint32(qHash(name, size_t(section)));
}

quint32 entryHash(quint32 section, const QString &name)
{
    return entryHash(section, QByteArrayView(name.toUtf8()));
}

// A value as the dialect writes it: plain digits bare, plain text quoted as it is, anything
// else quoted with escapes.
QByteArray encodedValue(const QString &value)
{
    if (isPlainInteger(value))
        return value.toLatin1();
    if (isPlainText(value))
        return '"' + value.toLatin1() + '"';
    return quotedValue(value);
}

// Whether a written line reads back as the setting meant; plain ones do by construction.
bool readsBack(const QByteArray &line, const QString &key, const QString &value)
{
    const ParsedLine back = parseLine(QString::fromUtf8(line));
    return back.kind == LineKind::Entry && back.name == key && back.value == value;
}

FileStamp stampOf(const struct stat &st)
{
    FileStamp stamp;
    stamp.exists = true;
    stamp.device = quint64(st.st_dev);
    stamp.inode = quint64(st.st_ino);
    stamp.size = qint64(st.st_size);
    stamp.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return stamp;
}

// The file a write replaces: the path itself, or where its chain of symbolic links ends (a
// settings file kept elsewhere and linked in stays linked). False for a loop.
bool linkTarget(const QString &path, QString &target)
{
    target = path;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        const QByteArray name = QFile::encodeName(target);
        struct stat st = {};
        if (::lstat(name.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        QByteArray link(PATH_MAX, Qt::Uninitialized);
        const ssize_t n = ::readlink(name.constData(), link.data(), size_t(link.size()));
        if (n <= 0 || n >= link.size())
            return false;
        link.truncate(n);
        target = QDir::cleanPath(QFileInfo(target).dir().absoluteFilePath(QFile::decodeName(link)));
    }
    return false;
}

// <file>.<pid>.<random>.tmp beside the file: the process id lets a later start recognise a
// killed writer's leftover, the random part makes the name unguessable.
QString temporaryPath(const QString &file)
{
    return file + QLatin1Char('.') + QString::number(::getpid()) + QLatin1Char('.')
        + QString::number(QRandomGenerator::system()->generate64(), 16) + QLatin1String(TEMPORARY_SUFFIX);
}

} // namespace

CAtomicIniFile::CAtomicIniFile(QString filePath)
    : m_filePath(std::move(filePath))
{
}

CIniDocument::CIniDocument(QByteArray text, IniNotes *skipped)
    : m_text(std::move(text))
{
    const char *data = m_text.constData();
    const qint64 size = m_text.size();
    const qint64 first = m_text.startsWith(UTF8_BOM) ? qint64(qstrlen(UTF8_BOM)) : 0;
    m_sections.push_back({QString(), first});
    m_sectionIds.insert(QString(), 0);
    m_entries.reserve(size_t(size / TYPICAL_LINE_BYTES));
    quint32 section = 0;
    int lineNumber = 0;
    for (qint64 at = first; at < size;) {
        const char *newline = static_cast<const char *>(std::memchr(data + at, '\n', size_t(size - at)));
        const qint64 end = newline ? newline - data : size;
        const qint64 next = newline ? end + 1 : size;
        ++lineNumber;
        const LineHead line = scanLine(data + at, end - at);
        switch (line.kind) {
        case LineKind::Blank:
            break;
        case LineKind::Section: {
            const auto known = m_sectionIds.constFind(line.name);
            if (known != m_sectionIds.cend()) {
                section = *known;
            } else {
                section = quint32(m_sections.size());
                m_sections.push_back({line.name, next});
                m_sectionIds.insert(line.name, section);
            }
            m_sections[section].insertAt = next;
            break;
        }
        case LineKind::Entry: {
            const quint32 hash = line.plain.isNull() ? entryHash(section, line.name) : entryHash(section, line.plain);
            addEntry({at, section, hash}, line.plain, line.name);
            m_sections[section].insertAt = next;
            break;
        }
        case LineKind::NotASetting:
        case LineKind::EmptyKey:
            // Skipped as the toolkit skips them; the next write leaves them out.
            m_skipped.push_back(at);
            if (skipped)
                skipped->add(QStringLiteral("line %1 skipped: %2")
                                 .arg(lineNumber)
                                 .arg(line.kind == LineKind::EmptyKey ? QStringLiteral("empty key")
                                                                      : QStringLiteral("not a setting")));
            break;
        }
        at = next;
    }
}

qint64 CIniDocument::lineEnd(qint64 start) const
{
    const qint64 size = m_text.size();
    const void *newline = std::memchr(m_text.constData() + start, '\n', size_t(size - start));
    return newline ? static_cast<const char *>(newline) - m_text.constData() : size;
}

QString CIniDocument::entryName(const Entry &entry) const
{
    return scanLine(m_text.constData() + entry.start, lineEnd(entry.start) - entry.start).fullName();
}

void CIniDocument::growIndex()
{
    // At most half full: a missing key is found absent after a probe or two.
    size_t capacity = std::max<size_t>(m_slots.size(), MIN_SLOTS);
    while (capacity < 2 * (m_entries.size() + 1))
        capacity *= 2;
    if (capacity == m_slots.size())
        return;
    // The held slots move, not the entries: a line that a later one of the same key
    // replaced must stay out of the index.
    const std::vector<quint64> held = std::exchange(m_slots, std::vector<quint64>(capacity, 0));
    const size_t mask = capacity - 1;
    for (const quint64 value : held) {
        if (value == 0)
            continue;
        size_t slot = size_t(value >> 32) & mask;
        while (m_slots[slot] != 0)
            slot = (slot + 1) & mask;
        m_slots[slot] = value;
    }
}

size_t CIniDocument::findSlot(quint32 section, quint32 hash, QByteArrayView plain, const QString &name) const
{
    const size_t mask = m_slots.size() - 1;
    size_t slot = hash & mask;
    for (; m_slots[slot] != 0; slot = (slot + 1) & mask) {
        if (quint32(m_slots[slot] >> 32) != hash)
            continue;   // most probes end here, without reading the entry
        const Entry &entry = m_entries[size_t(quint32(m_slots[slot]) - 1)];
        if (entry.section != section)
            continue;
        const QString held = entryName(entry);
        if (plain.isNull() ? held == name : held == QLatin1String(plain.data(), plain.size()))
            return slot;
    }
    return slot;
}

void CIniDocument::addEntry(const Entry &entry, QByteArrayView plain, const QString &name)
{
    growIndex();
    const size_t slot = findSlot(entry.section, entry.hash, plain, name);
    // A later line of the same key wins, as it does when read.
    m_duplicates = m_duplicates || m_slots[slot] != 0;
    m_slots[slot] = slotValue(entry.hash, m_entries.size());
    m_entries.push_back(entry);
}

int CIniDocument::findEntry(quint32 section, const QString &key, quint32 hash) const
{
    if (m_slots.empty())
        return -1;
    const quint64 held = m_slots[findSlot(section, hash, QByteArrayView(), key)];
    return held != 0 ? int(quint32(held) - 1) : -1;
}

QString CIniDocument::lineText(qint64 start) const
{
    return QString::fromUtf8(m_text.constData() + start, lineEnd(start) - start);
}

std::optional<QString> CIniDocument::value(const QString &section, const QString &key) const
{
    const auto id = m_sectionIds.constFind(section);
    if (id == m_sectionIds.cend())
        return std::nullopt;
    const int found = findEntry(*id, key, entryHash(*id, key));
    if (found < 0)
        return std::nullopt;
    return parseLine(lineText(m_entries[size_t(found)].start)).value;
}

IniValues CIniDocument::values() const
{
    IniValues values;
    for (const Entry &entry : m_entries) {
        const ParsedLine line = parseLine(lineText(entry.start));
        values[m_sections[entry.section].name].insert(line.name, line.value);
    }
    return values;
}

std::vector<CIniDocument::Edit> CIniDocument::edits(const IniChanges &changes, IniNotes *dropped) const
{
    std::vector<Edit> out;
    const qint64 size = m_text.size();
    auto removeLine = [&](qint64 start) {
        const qint64 end = lineEnd(start);
        out.push_back({start, end < size ? end + 1 : end, QByteArray()});
    };
    for (const qint64 start : m_skipped)
        removeLine(start);

    QByteArray appended;   // sections the file does not have yet, in order
    std::optional<QString> appendedSection;
    bool appendedWritable = false;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        const QString &section = it.key().first;
        const QString &key = it.key().second;
        const std::optional<QString> &value = it.value();
        if (key.isEmpty()) {
            if (value && dropped)
                dropped->add(QStringLiteral("[%1] key \"%2\" cannot be written").arg(section, key));
            continue;
        }
        const auto id = m_sectionIds.constFind(section);
        const quint32 hash = id != m_sectionIds.cend() ? entryHash(*id, key) : 0;
        const int found = id != m_sectionIds.cend() ? findEntry(*id, key, hash) : -1;
        if (!value) {
            if (found < 0)
                continue;
            removeLine(m_entries[size_t(found)].start);
            // An earlier line of the same key would be read once the last one is gone.
            for (size_t i = 0; m_duplicates && i < size_t(found); ++i) {
                const Entry &entry = m_entries[i];
                if (entry.hash == hash && entry.section == *id && entryName(entry) == key)
                    removeLine(entry.start);
            }
            continue;
        }
        if (found >= 0) {
            // The line keeps its key as written and its carriage return, if any.
            const qint64 start = m_entries[size_t(found)].start;
            qint64 end = lineEnd(start);
            if (end > start && m_text.at(end - 1) == '\r')
                --end;
            const qint64 equals = m_text.indexOf('=', start);
            const QByteArray line = m_text.mid(start, equals + 1 - start) + encodedValue(*value);
            if (readsBack(line, key, *value)) {
                out.push_back({start, end, line});
                continue;
            }
            removeLine(start);
        } else {
            const bool plainKey = isPlainName(key);
            const QByteArray line = (plainKey ? key.toLatin1() : escapedName(key)) + '=' + encodedValue(*value);
            if ((plainKey && (isPlainInteger(*value) || isPlainText(*value))) || readsBack(line, key, *value)) {
                if (id != m_sectionIds.cend()) {
                    const qint64 at = m_sections[*id].insertAt;
                    const bool needsBreak = at == size && size > 0 && !m_text.endsWith('\n');
                    out.push_back({at, at, (needsBreak ? "\n" : "") + line + '\n'});
                    continue;
                }
                if (section != appendedSection) {
                    appendedSection = section;
                    const QByteArray header = '[' + escapedName(section) + ']';
                    const ParsedLine back = parseLine(QString::fromLatin1(header));
                    appendedWritable = back.kind == LineKind::Section && back.name == section;
                    if (!appendedWritable) {
                        if (dropped)
                            dropped->add(QStringLiteral("section [%1] cannot be written").arg(section));
                        continue;
                    }
                    if (!appended.isEmpty() || size > 0)
                        appended += '\n';
                    appended += header + '\n';
                }
                if (appendedWritable)
                    appended += line + '\n';
                continue;
            }
        }
        if (dropped)
            dropped->add(QStringLiteral("[%1] key \"%2\" cannot be written").arg(section, key));
    }
    if (!appended.isEmpty())
        out.push_back({size, size, (size > 0 && !m_text.endsWith('\n') ? "\n" : "") + appended});
    // In file order; at one place an insertion comes before the removal of the line there.
    std::stable_sort(out.begin(), out.end(), [](const Edit &a, const Edit &b) {
        return a.from != b.from ? a.from < b.from : a.to < b.to;
    });
    return out;
}

bool CIniDocument::render(const IniChanges &changes, const Sink &sink, IniNotes *dropped) const
{
    const char *data = m_text.constData();
    qint64 at = 0;
    for (const Edit &edit : edits(changes, dropped)) {
        if (edit.from > at && !sink(data + at, qsizetype(edit.from - at)))
            return false;
        if (!edit.insert.isEmpty() && !sink(edit.insert.constData(), edit.insert.size()))
            return false;
        at = std::max(at, edit.to);
    }
    return at >= m_text.size() || sink(data + at, qsizetype(m_text.size() - at));
}

QByteArray CIniDocument::rendered(const IniChanges &changes, IniNotes *dropped) const
{
    QByteArray out;
    render(changes, [&out](const char *data, qsizetype size) {
        out.append(data, size);
        return true;
    }, dropped);
    return out;
}

IniChanges ChangesSetting(const IniValues &values)
{
    IniChanges changes;
    for (auto section = values.cbegin(); section != values.cend(); ++section) {
        for (auto entry = section->cbegin(); entry != section->cend(); ++entry)
            changes[qMakePair(section.key(), entry.key())] = entry.value();
    }
    return changes;
}

void IniNotes::add(const QString &note)
{
    if (count++ < MAX_NOTES)
        first << note;
}

void IniNotes::log(const char *what, const QString &filePath) const
{
    for (const QString &note : first)
        qWarning("%s %s: %s", what, qPrintable(filePath), qPrintable(note));
    if (count > first.size())
        qWarning("%s %s: %d more", what, qPrintable(filePath), int(count - first.size()));
}

FileStamp CAtomicIniFile::stamp() const
{
    struct stat st = {};
    if (::stat(QFile::encodeName(m_filePath).constData(), &st) != 0)
        return FileStamp();
    return stampOf(st);
}

bool CAtomicIniFile::read(std::shared_ptr<const CIniDocument> &document, FileStamp *stamp) const
{
    // Non-blocking so that a named pipe in its place cannot hold the start-up; only a regular
    // file is read.
    const int fd = ::open(QFile::encodeName(m_filePath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            return false;
        document = std::make_shared<const CIniDocument>();   // a missing file (or a link to one) reads as empty
        if (stamp)
            *stamp = FileStamp();
        return true;
    }
    struct stat st = {};
    QByteArray bytes;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        bytes.resize(qsizetype(st.st_size));
        ok = readAt(fd, 0, bytes.data(), bytes.size());
    }
    ::close(fd);
    if (!ok)
        return false;
    IniNotes skipped;
    document = std::make_shared<const CIniDocument>(std::move(bytes), &skipped);
    skipped.log("settings file", m_filePath);
    if (stamp)
        *stamp = stampOf(st);
    return true;
}

bool CAtomicIniFile::write(const CIniDocument &document, const IniChanges &changes, FileStamp *stamp) const
{
    QString target;
    if (!linkTarget(m_filePath, target)) {
        qWarning("settings not saved (%s): too many symbolic links", qPrintable(m_filePath));
        return false;
    }
    const QString folder = QFileInfo(target).absolutePath();
    QDir().mkpath(folder);
    const QByteArray finalName = QFile::encodeName(target);
    QByteArray temporaryName;
    struct stat old = {};
    const bool exists = ::stat(finalName.constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        // A link to a device or a folder: never replaced by a settings file.
        qWarning("settings not saved (%s): not a regular file", finalName.constData());
        return false;
    }

    auto fail = [&](const char *step, const QString &reason) {
        qWarning("settings not saved (%s %s): %s", step, temporaryName.constData(), qPrintable(reason));
        if (!temporaryName.isEmpty())
            ::unlink(temporaryName.constData());
        return false;
    };
    auto systemError = [] { return QString::fromLocal8Bit(strerror(errno)); };

    // A fresh name that nobody can have planted: created here or not at all, never through
    // a link.
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < CREATE_ATTEMPTS; ++attempt) {
        temporaryName = QFile::encodeName(temporaryPath(target));
        fd = ::open(temporaryName.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NEW_FILE_MODE);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const QString reason = systemError();
        temporaryName.clear();   // not ours: never removed
        return fail("create", reason);
    }
    if (exists && ::fchmod(fd, old.st_mode & 07777) != 0)
        qWarning("settings file %s: mode not kept: %s", finalName.constData(), strerror(errno));

    IniNotes dropped;
    CChunkedWriter out(fd);
    const bool written = document.render(changes, [&out](const char *data, qsizetype size) {
        return out.put(data, size);
    }, &dropped) && out.flush();
    const QString writeError = written ? QString() : systemError();
    dropped.log("settings value dropped from", m_filePath);
    if (!written) {
        ::close(fd);
        return fail("write", writeError);
    }
    const QString syncError = SyncToDisk(fd);
    struct stat st = {};
    if (!syncError.isEmpty() || ::fstat(fd, &st) != 0) {
        const QString reason = syncError.isEmpty() ? systemError() : syncError;
        ::close(fd);
        return fail("write", reason);
    }
    // What the disk gives back must be what was meant: a full disk can leave a short file
    // without any write reporting it. The text is rendered a second time to compare.
    CReadBackComparer back(fd, qint64(st.st_size));
    const bool same = document.render(changes, [&back](const char *data, qsizetype size) {
        return back.matches(data, size);
    }) && back.atEnd();
    if (::close(fd) != 0 || !same)
        return fail("verify", QString::fromLocal8Bit(strerror(EIO)));
    if (::rename(temporaryName.constData(), finalName.constData()) != 0)
        return fail("rename", systemError());
    QString folderError;
    if (!syncFolder(folder, folderError))
        qWarning("settings folder not flushed: %s", qPrintable(folderError));
    if (stamp)
        *stamp = stampOf(st);
    return true;
}

void CAtomicIniFile::removeStaleTemporaries() const
{
    QStringList files{m_filePath};
    QString target;
    if (linkTarget(m_filePath, target) && target != m_filePath)
        files << target;
    for (const QString &file : files) {
        const QFileInfo info(file);
        const QString prefix = info.fileName() + QLatin1Char('.');
        const QStringList names = info.dir().entryList({prefix + QLatin1Char('*') + QLatin1String(TEMPORARY_SUFFIX)},
                                                       QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &name : names) {
            // <file>.<pid>.<random>.tmp, or <file>.<pid>.tmp from older versions.
            const QString middle =
                name.mid(prefix.size(), name.size() - prefix.size() - int(qstrlen(TEMPORARY_SUFFIX)));
            bool ok = false;
            const pid_t pid = pid_t(middle.section(QLatin1Char('.'), 0, 0).toLongLong(&ok));
            if (!ok || pid <= 0 || pid == ::getpid() || middle.count(QLatin1Char('.')) > 1)
                continue;
            if (::kill(pid, 0) != 0 && errno == ESRCH)
                QFile::remove(info.dir().filePath(name));
        }
    }
}
