#include "tools/reader-sim/PseudoTerminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int WRITE_WAIT_MS = 1000;    // longest wait for room on a full line
constexpr qsizetype READ_CHUNK = 4096;

QString lastError(const char *what)
{
    return QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
}

} // namespace

CPseudoTerminal::~CPseudoTerminal() { Close(); }

bool CPseudoTerminal::Open()
{
    Close();
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0) {
        m_error = lastError("posix_openpt");
        return false;
    }
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        m_error = lastError("unlockpt");
        Close();
        return false;
    }
    char name[128] = {};
    if (ptsname_r(m_master, name, sizeof name) != 0) {
        m_error = lastError("ptsname");
        Close();
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    m_slaveKeeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slaveKeeper < 0) {
        m_error = lastError("open slave");
        Close();
        return false;
    }
    termios tio {};
    if (tcgetattr(m_slaveKeeper, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_slaveKeeper, TCSANOW, &tio);
    }
    return true;
}

void CPseudoTerminal::Close()
{
    if (m_slaveKeeper >= 0)
        ::close(m_slaveKeeper);
    if (m_master >= 0)
        ::close(m_master);
    m_slaveKeeper = -1;
    m_master = -1;
}

bool CPseudoTerminal::WriteAll(const QByteArray &bytes)
{
    return WriteAllToStream(m_master, bytes);
}

QByteArray CPseudoTerminal::ReadAvailable(bool &hungUp)
{
    return ReadAvailableFromStream(m_master, hungUp);
}

bool WriteAllToStream(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    bool socket = true;
    while (fd >= 0 && done < bytes.size()) {
        const char *from = bytes.constData() + done;
        const size_t count = size_t(bytes.size() - done);
        ssize_t n = socket ? ::send(fd, from, count, MSG_NOSIGNAL) : ::write(fd, from, count);
        if (n < 0 && errno == ENOTSOCK) {
            socket = false;
            continue;
        }
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd p { fd, POLLOUT, 0 };
        if (::poll(&p, 1, WRITE_WAIT_MS) <= 0)
            return false;
    }
    return fd >= 0;
}

QByteArray ReadAvailableFromStream(int fd, bool &hungUp)
{
    hungUp = false;
    QByteArray out;
    char buf[READ_CHUNK];
    while (fd >= 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            hungUp = true;
        break;
    }
    return out;
}
