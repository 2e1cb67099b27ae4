#include "platform/AtomicIniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtDebug>

#include <cerrno>
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
constexpr mode_t kNewFileMode = 0666;   // narrowed by the umask, as for any new file

// Section and key names: letters, digits, '_', '-' and '.' stay, '/' becomes '\', every
// other character is %XX (up to U+00FF) or %UXXXX.
QByteArray escapedName(const QString &name)
{
    QByteArray out;
    for (const QChar c : name) {
        const ushort ch = c.unicode();
        if (ch == '/') {
            out += '\\';
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_'
                   || ch == '-' || ch == '.') {
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

QString unescapedName(const QString &text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\')) {
            out += QLatin1Char('/');
            continue;
        }
        if (c != QLatin1Char('%')) {
            out += c;
            continue;
        }
        const bool wide = i + 1 < text.size() && text.at(i + 1) == QLatin1Char('U');
        const int digits = wide ? 4 : 2;
        const int first = i + 1 + (wide ? 1 : 0);
        int value = 0;
        bool ok = first + digits <= text.size();
        for (int d = 0; ok && d < digits; ++d) {
            const int v = hexValue(text.at(first + d));
            ok = v >= 0;
            value = value * 16 + v;
        }
        if (!ok) {
            out += c;   // not an escape: kept as written
            continue;
        }
        out += QChar(ushort(value));
        i = first + digits - 1;
    }
    return out;
}

bool isPlainInteger(const QString &text)
{
    static const QRegularExpression integer(QStringLiteral("^-?[0-9]{1,10}$"));
    return integer.match(text).hasMatch();
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
    if (out.startsWith(QString(2, kTypeMarker)))
        return out.mid(1);
    if (out.startsWith(QLatin1String(kStringType)) && out.endsWith(QLatin1Char(')')))
        return out.mid(int(qstrlen(kStringType)), out.size() - int(qstrlen(kStringType)) - 1);
    return out;
}

bool readAll(const QString &path, QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bytes = file.readAll();
    return file.error() == QFile::NoError;
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

} // namespace

CAtomicIniFile::CAtomicIniFile(QString filePath)
    : m_filePath(std::move(filePath))
{
}

QString CAtomicIniFile::temporaryPath() const
{
    // One name per process: a second instance of the tool never writes into our file, and
    // a killed writer's leftover is recognised by its process id.
    return m_filePath + QLatin1Char('.') + QString::number(::getpid()) + QLatin1String(kTemporarySuffix);
}

QByteArray CAtomicIniFile::serialise(const IniValues &values)
{
    QByteArray out;
    for (auto section = values.cbegin(); section != values.cend(); ++section) {
        if (section.value().isEmpty())
            continue;
        if (!out.isEmpty())
            out += '\n';
        out += '[' + escapedName(section.key()) + "]\n";
        for (auto entry = section.value().cbegin(); entry != section.value().cend(); ++entry) {
            out += escapedName(entry.key()) + '=';
            out += isPlainInteger(entry.value()) ? entry.value().toLatin1() : quotedValue(entry.value());
            out += '\n';
        }
    }
    return out;
}

IniValues CAtomicIniFile::parse(const QByteArray &text)
{
    IniValues values;
    QString section;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#')))
            continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            const int close = trimmed.indexOf(QLatin1Char(']'));
            QString name = trimmed.mid(1, close < 0 ? -1 : close - 1);
            // The toolkit writes a section literally called General as %General.
            if (name.startsWith(QLatin1Char('%')) && (name.size() < 2 || hexValue(name.at(1)) < 0))
                name.remove(0, 1);
            section = unescapedName(name);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;   // not a setting; the toolkit skips such lines as well
        values[section][unescapedName(line.left(equals).trimmed())] = unescapedValue(line.mid(equals + 1));
    }
    return values;
}

bool CAtomicIniFile::read(IniValues &values) const
{
    if (!QFileInfo::exists(m_filePath)) {
        values.clear();
        return true;
    }
    QByteArray bytes;
    if (!readAll(m_filePath, bytes))
        return false;
    values = parse(bytes);
    return true;
}

bool CAtomicIniFile::write(const IniValues &values) const
{
    const QByteArray text = serialise(values);
    const QString folder = QFileInfo(m_filePath).absolutePath();
    QDir().mkpath(folder);
    const QString temporary = temporaryPath();
    const QByteArray temporaryName = QFile::encodeName(temporary);
    const QByteArray finalName = QFile::encodeName(m_filePath);

    auto fail = [&](const char *step) {
        qWarning("settings not saved (%s %s): %s", step, temporaryName.constData(), strerror(errno));
        ::unlink(temporaryName.constData());
        return false;
    };

    const int fd = ::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode);
    if (fd < 0)
        return fail("create");
    struct stat old = {};
    if (::stat(finalName.constData(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777);   // the file keeps the permissions it had
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written)
        return fail("write");

    // What the disk gives back must be what was meant, value for value: a full disk can
    // leave a short file without any write reporting it.
    QByteArray back;
    IniValues meant = values;
    meant.removeIf([](const auto &section) { return section.value().isEmpty(); });   // not written
    if (!readAll(temporary, back) || parse(back) != meant) {
        errno = EIO;
        return fail("verify");
    }
    if (::rename(temporaryName.constData(), finalName.constData()) != 0)
        return fail("rename");
    if (!syncFolder(folder))
        qWarning("settings folder not flushed: %s", strerror(errno));
    return true;
}

void CAtomicIniFile::removeStaleTemporaries() const
{
    const QFileInfo info(m_filePath);
    const QString prefix = info.fileName() + QLatin1Char('.');
    const QStringList names =
        info.dir().entryList({prefix + QLatin1Char('*') + QLatin1String(kTemporarySuffix)}, QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        bool ok = false;
        const QString middle = name.mid(prefix.size(), name.size() - prefix.size() - int(qstrlen(kTemporarySuffix)));
        const pid_t pid = pid_t(middle.toLongLong(&ok));
        if (!ok || pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            QFile::remove(info.dir().filePath(name));
    }
}

} // namespace platform
