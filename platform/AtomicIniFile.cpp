#include "platform/AtomicIniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtDebug>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kTemporarySuffix[] = ".tmp";
// A value that starts with this marks a typed value in the toolkit's dialect; a plain text
// that starts with it is written with the marker doubled.
constexpr QChar kTypeMarker = QLatin1Char('@');
constexpr char kStringType[] = "@String(";
// A new settings file is the user's alone; an existing one keeps the mode it has.
constexpr mode_t kNewFileMode = 0600;
constexpr int kCreateAttempts = 16;
constexpr int kMaxLinkHops = 40;
// Parse notes logged at most this many times for one file; the rest are counted.
constexpr int kMaxNotes = 10;
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
// The toolkit writes a section literally called General this way.
constexpr char kEscapedGeneral[] = "%General";

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
            out += kHexDigits[ch >> 4];
            out += kHexDigits[ch & 0xF];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += kHexDigits[(ch >> shift) & 0xF];
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
    if (name.startsWith(QLatin1Char('%')) && (name.compare(QLatin1String(kEscapedGeneral), Qt::CaseInsensitive) == 0
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
    if (value.startsWith(kTypeMarker))
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
    const QString text = value.startsWith(kTypeMarker) ? kTypeMarker + value : value;
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
    if (out.startsWith(QString(2, kTypeMarker)))
        return out.mid(1);
    if (out.startsWith(QLatin1String(kStringType)) && out.endsWith(QLatin1Char(')')))
        return out.mid(int(qstrlen(kStringType)), out.size() - int(qstrlen(kStringType)) - 1);
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

// Reads size bytes from the start of an open file (a file shorter than it said fails).
bool readAll(int fd, qint64 size, QByteArray &bytes)
{
    bytes.resize(qsizetype(size));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size_t(bytes.size() - done), off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

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
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
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
        + QString::number(QRandomGenerator::system()->generate64(), 16) + QLatin1String(kTemporarySuffix);
}

} // namespace

CAtomicIniFile::CAtomicIniFile(QString filePath)
    : m_filePath(std::move(filePath))
{
}

QByteArray CAtomicIniFile::serialise(const IniValues &values, IniNotes *dropped)
{
    QByteArray out;
    for (auto section = values.cbegin(); section != values.cend(); ++section) {
        if (section.value().isEmpty())
            continue;
        const QByteArray header = '[' + escapedName(section.key()) + ']';
        // Every line is read back as the parser would before it is kept: whatever cannot be
        // written faithfully is left out with a note rather than stopping every later save.
        const ParsedLine headerBack = parseLine(QString::fromLatin1(header));
        if (headerBack.kind != LineKind::Section || headerBack.name != section.key()) {
            if (dropped)
                dropped->add(QStringLiteral("section [%1] cannot be written").arg(section.key()));
            continue;
        }
        if (!out.isEmpty())
            out += '\n';
        out += header + '\n';
        for (auto entry = section.value().cbegin(); entry != section.value().cend(); ++entry) {
            const QString &key = entry.key();
            const QString &value = entry.value();
            // Plain names and texts are written as they are and read back so by construction;
            // only the others are checked (most of a large file is plain).
            const bool plainKey = isPlainName(key);
            const bool plainValue = isPlainInteger(value);
            const bool plainText = !plainValue && isPlainText(value);
            const qsizetype start = out.size();
            out += plainKey ? key.toLatin1() : escapedName(key);
            out += '=';
            if (plainValue)
                out += value.toLatin1();
            else if (plainText)
                out += '"' + value.toLatin1() + '"';
            else
                out += quotedValue(value);
            if (!plainKey || !(plainValue || plainText)) {
                const ParsedLine back = parseLine(QString::fromLatin1(out.constData() + start, out.size() - start));
                if (back.kind != LineKind::Entry || back.name != key || back.value != value) {
                    out.truncate(start);
                    if (dropped)
                        dropped->add(QStringLiteral("[%1] key \"%2\" cannot be written").arg(section.key(), key));
                    continue;
                }
            }
            out += '\n';
        }
    }
    return out;
}

IniValues CAtomicIniFile::parse(const QByteArray &text, IniNotes *dropped)
{
    IniValues values;
    QString section;
    QMap<QString, QString> *entries = nullptr;   // the current section's, made at its first value
    qsizetype at = text.startsWith(kUtf8Bom) ? qsizetype(qstrlen(kUtf8Bom)) : 0;
    int lineNumber = 0;
    while (at < text.size()) {
        qsizetype end = text.indexOf('\n', at);
        if (end < 0)
            end = text.size();
        ++lineNumber;
        const ParsedLine line = parseLine(QString::fromUtf8(text.constData() + at, end - at));
        at = end + 1;
        switch (line.kind) {
        case LineKind::Blank:
            break;
        case LineKind::Section:
            section = line.name;
            entries = nullptr;
            break;
        case LineKind::Entry:
            if (!entries)
                entries = &values[section];
            entries->insert(line.name, line.value);
            break;
        case LineKind::NotASetting:
        case LineKind::EmptyKey:
            // Skipped as the toolkit skips them; the next write leaves them out.
            if (dropped)
                dropped->add(QStringLiteral("line %1 skipped: %2")
                                 .arg(lineNumber)
                                 .arg(line.kind == LineKind::EmptyKey ? QStringLiteral("empty key")
                                                                      : QStringLiteral("not a setting")));
            break;
        }
    }
    return values;
}

void IniNotes::add(const QString &note)
{
    if (count++ < kMaxNotes)
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

bool CAtomicIniFile::read(IniValues &values, FileStamp *stamp) const
{
    // Non-blocking so that a named pipe in its place cannot hold the start-up; only a regular
    // file is read.
    const int fd = ::open(QFile::encodeName(m_filePath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            return false;
        values.clear();   // a missing file (or a link to one) reads as empty
        if (stamp)
            *stamp = FileStamp();
        return true;
    }
    struct stat st = {};
    QByteArray bytes;
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && readAll(fd, st.st_size, bytes);
    ::close(fd);
    if (!ok)
        return false;
    IniNotes dropped;
    values = parse(bytes, &dropped);
    dropped.log("settings file", m_filePath);
    if (stamp)
        *stamp = stampOf(st);
    return true;
}

bool CAtomicIniFile::write(const IniValues &values, FileStamp *stamp) const
{
    IniNotes dropped;
    const QByteArray text = serialise(values, &dropped);
    dropped.log("settings value dropped from", m_filePath);

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

    auto fail = [&](const char *step) {
        qWarning("settings not saved (%s %s): %s", step, temporaryName.constData(), strerror(errno));
        if (!temporaryName.isEmpty())
            ::unlink(temporaryName.constData());
        return false;
    };

    // A fresh name that nobody can have planted: created here or not at all, never through
    // a link.
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kCreateAttempts; ++attempt) {
        temporaryName = QFile::encodeName(temporaryPath(target));
        fd = ::open(temporaryName.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int error = errno;
        temporaryName.clear();   // not ours: never removed
        errno = error;
        return fail("create");
    }
    if (exists && ::fchmod(fd, old.st_mode & 07777) != 0)
        qWarning("settings file %s: mode not kept: %s", finalName.constData(), strerror(errno));
    struct stat written = {};
    const bool ok = writeAll(fd, text) && ::fsync(fd) == 0 && ::fstat(fd, &written) == 0;
    if (!ok) {
        ::close(fd);
        return fail("write");
    }
    // What the disk gives back must be what was meant: a full disk can leave a short file
    // without any write reporting it.
    QByteArray back;
    const bool same = readAll(fd, written.st_size, back) && back == text;
    if (::close(fd) != 0 || !same) {
        errno = EIO;
        return fail("verify");
    }
    if (::rename(temporaryName.constData(), finalName.constData()) != 0)
        return fail("rename");
    if (!syncFolder(folder))
        qWarning("settings folder not flushed: %s", strerror(errno));
    if (stamp)
        *stamp = stampOf(written);
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
        const QStringList names = info.dir().entryList({prefix + QLatin1Char('*') + QLatin1String(kTemporarySuffix)},
                                                       QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &name : names) {
            // <file>.<pid>.<random>.tmp, or <file>.<pid>.tmp from older versions.
            const QString middle =
                name.mid(prefix.size(), name.size() - prefix.size() - int(qstrlen(kTemporarySuffix)));
            bool ok = false;
            const pid_t pid = pid_t(middle.section(QLatin1Char('.'), 0, 0).toLongLong(&ok));
            if (!ok || pid <= 0 || pid == ::getpid() || middle.count(QLatin1Char('.')) > 1)
                continue;
            if (::kill(pid, 0) != 0 && errno == ESRCH)
                QFile::remove(info.dir().filePath(name));
        }
    }
}

} // namespace platform
