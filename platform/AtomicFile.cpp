#include "platform/AtomicFile.h"

#include "platform/FileSync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int CREATE_ATTEMPTS = 16;
// Before the umask: what an ordinary new file of the user's gets, and a private one.
constexpr mode_t NEW_FILE_MODE = 0666;
constexpr mode_t PRIVATE_FILE_MODE = 0600;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// .<name>.<random>.tmp beside the file: hidden from the folder's listing while it is
// written, and a name nobody can have planted.
QByteArray temporaryName(const QFileInfo &target)
{
    return QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QLatin1Char('.')
                             + QString::number(QRandomGenerator::system()->generate64(), 16)
                             + QStringLiteral(".tmp"));
}

// Whether `name` is one that temporaryName gives for `target`.
bool isTemporaryName(const QString &name, const QFileInfo &target)
{
    const QString head = QStringLiteral(".") + target.fileName() + QLatin1Char('.');
    const QString tail = QStringLiteral(".tmp");
    if (!name.startsWith(head) || !name.endsWith(tail) || name.size() <= head.size() + tail.size())
        return false;
    const QStringView random = QStringView(name).mid(head.size(), name.size() - head.size() - tail.size());
    return random.size() <= 16
           && std::all_of(random.begin(), random.end(), [](QChar c) { return c.isDigit() || (c >= u'a' && c <= u'f'); });
}

// The file a write of `path` replaces: a link's target.
QFileInfo writtenFile(const QString &path)
{
    QFileInfo target(path);
    if (target.isSymLink())
        target = QFileInfo(target.canonicalFilePath().isEmpty() ? target.symLinkTarget() : target.canonicalFilePath());
    return target;
}

bool writeAll(int fd, const char *data, qsizetype size)
{
    for (qsizetype done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;   // a device that takes nothing more
            return false;
        }
        done += n;
    }
    return true;
}

QString writeAtomically(const QString &path, const QByteArray &bytes, mode_t newFileMode)
{
    // A link stays a link: the file it ends at is the one replaced.
    const QFileInfo target = writtenFile(path);
    const QByteArray finalName = QFile::encodeName(target.absoluteFilePath());
    struct stat old = {};
    const bool exists = ::stat(finalName.constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return systemError(S_ISDIR(old.st_mode) ? EISDIR : EINVAL);

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < CREATE_ATTEMPTS; ++attempt) {
        temporary = temporaryName(target);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, newFileMode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return systemError(errno);   // nothing was made

    auto fill = [&]() -> QString {
        // The temporary file is our own: its mode can always be set.
        if (exists)
            (void)::fchmod(fd, old.st_mode & 07777);
        if (!writeAll(fd, bytes.constData(), bytes.size()))
            return systemError(errno);
        const QString synced = SyncToDisk(fd);
        if (!synced.isEmpty())
            return synced;
        struct stat written = {};
        if (::fstat(fd, &written) != 0)
            return systemError(errno);
        // A short file without any write reporting it.
        return written.st_size == bytes.size() ? QString() : systemError(EIO);
    };
    QString error = fill();
    if (::close(fd) != 0 && error.isEmpty())
        error = systemError(errno);
    if (error.isEmpty() && ::rename(temporary.constData(), finalName.constData()) != 0)
        error = systemError(errno);
    if (!error.isEmpty()) {
        ::unlink(temporary.constData());
        return error;
    }
    // The new name reaches the disk with the folder; the file is complete whether it does or
    // not, so a failure here is no failure of the save.
    const int folder = ::open(QFile::encodeName(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        SyncToDisk(folder);
        ::close(folder);
    }
    return QString();
}

} // namespace

QString WriteFileAtomically(const QString &path, const QByteArray &bytes)
{
    return writeAtomically(path, bytes, NEW_FILE_MODE);
}

QString WritePrivateFileAtomically(const QString &path, const QByteArray &bytes)
{
    return writeAtomically(path, bytes, PRIVATE_FILE_MODE);
}

int RemoveStaleTemporaries(const QString &path)
{
    const QFileInfo target = writtenFile(path);
    const QDir folder = target.absoluteDir();
    const time_t now = ::time(nullptr);
    int removed = 0;
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!isTemporaryName(name, target))
            continue;
        const QByteArray file = QFile::encodeName(folder.filePath(name));
        struct stat st = {};
        if (::lstat(file.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()
            || now - st.st_mtime < STALE_TEMPORARY_SECONDS)
            continue;
        removed += ::unlink(file.constData()) == 0;
    }
    return removed;
}
