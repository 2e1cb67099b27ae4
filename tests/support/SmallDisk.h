#pragma once

#include <QByteArray>
#include <QFile>
#include <QStorageInfo>
#include <QString>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

// A full disk for a save test, without privileges: the test body runs in a child process
// that mounts a small tmpfs in a mount namespace of its own and fills it.

// Runs `body` in a child process and returns the text it reports ("" if it died).
inline QString ReportOfChild(const std::function<QString()> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return QString();
    const pid_t pid = fork();
    if (pid == 0) {
        const QByteArray report = body().toUtf8();
        _exit(write(fds[1], report.constData(), size_t(report.size())) == report.size() ? 0 : 1);
    }
    close(fds[1]);
    QFile in;
    in.open(fds[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray report = in.readAll();
    waitpid(pid, nullptr, 0);
    return QString::fromUtf8(report);
}

inline bool WriteProcFile(const char *path, const QByteArray &text)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(text) == text.size();
}

// For a child process: mounts a small tmpfs over `dir` in a mount namespace of its own
// (and a user namespace when not root), so that no privilege is needed and no mount
// outlives the child. Returns "" when mounted, otherwise why not.
inline QString MountSmallTmpfs(const QString &dir)
{
    const QByteArray uid = QByteArray::number(geteuid()), gid = QByteArray::number(getegid());
    if (unshare(uid == "0" ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return QStringLiteral("no mount namespace for this user: ") + strerror(errno);
    if (uid != "0"
        && !(WriteProcFile("/proc/self/setgroups", "deny") && WriteProcFile("/proc/self/uid_map", uid + ' ' + uid + " 1")
             && WriteProcFile("/proc/self/gid_map", gid + ' ' + gid + " 1")))
        return QStringLiteral("user namespace without an id map");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=256k") != 0)
        return QStringLiteral("tmpfs not mountable here: ") + strerror(errno);
    return QString();
}

// Fills the file system of `dir` with a file of pages but for `freeBytes`.
inline bool LeaveFree(const QString &dir, qint64 freeBytes)
{
    QFile filler(dir + QStringLiteral("/filler"));
    const QByteArray page(4096, 'f');
    qint64 size = 0;
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    while (filler.write(page) == page.size())
        size += page.size();
    return filler.resize(qMax<qint64>(0, size - freeBytes)) && QStorageInfo(dir).bytesAvailable() == freeBytes;
}
