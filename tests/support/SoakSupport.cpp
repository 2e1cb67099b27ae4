#include "tests/support/SoakSupport.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

int CountEntries(const char *folder)
{
    return int(QDir(QString::fromLatin1(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

} // namespace

qint64 ResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
int Threads() { return CountEntries("/proc/self/task"); }

qint64 CpuTicks()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The command name in parentheses may hold blanks: count fields after its ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

qint64 TicksPerSecond() { return ::sysconf(_SC_CLK_TCK); }

qint64 EnvNumber(const char *name, qint64 fallback)
{
    bool ok = false;
    const qint64 value = qEnvironmentVariable(name).toLongLong(&ok);
    return ok ? value : fallback;
}

CReaderLine::~CReaderLine()
{
    HangUp();
    if (!m_link.isEmpty())
        QFile::remove(m_link);
}

bool CReaderLine::Open(const QString &portsFolder, int number)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return false;
    termios tio {};
    if (::tcgetattr(m_master, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    if (::tcsetattr(m_master, TCSANOW, &tio) != 0)
        return false;
    QDir().mkpath(portsFolder);
    m_link = portsFolder + QStringLiteral("/COM%1").arg(number);
    QFile::remove(m_link);
    return QFile::link(QString::fromLocal8Bit(::ptsname(m_master)), m_link);
}

void CReaderLine::HangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool CReaderLine::WriteAll(const char *bytes, std::size_t count, const std::atomic<bool> *stop, std::size_t *written)
{
    std::size_t done = 0;
    std::size_t ignored = 0;
    std::size_t &reported = written ? *written : ignored;
    reported = 0;
    while (done < count) {
        if (m_master < 0 || (stop && stop->load()))
            return false;
        pollfd fd = {m_master, POLLOUT, 0};
        if (::poll(&fd, 1, 50) <= 0)
            continue;
        const ssize_t n = ::write(m_master, bytes + done, count - done);
        if (n > 0)
            reported = done += std::size_t(n);
        else if (errno != EAGAIN && errno != EINTR)
            return false;
    }
    return true;
}

void CReaderLine::Drain()
{
    char buffer[4096];
    while (m_master >= 0 && ::read(m_master, buffer, sizeof buffer) > 0) {
    }
}
