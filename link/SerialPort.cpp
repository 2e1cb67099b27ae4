#include "link/SerialPort.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Modem lines are sampled this often while the reader waits; the driver offers no
// cancellable wait for them.
constexpr std::chrono::milliseconds MODEM_SAMPLE_INTERVAL{250};

struct BaudEntry
{
    uint32_t rate;
    speed_t code;
};

constexpr BaudEntry BAUD_RATES[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedCode(uint32_t rate, speed_t &code)
{
    for (const BaudEntry &entry : BAUD_RATES) {
        if (entry.rate == rate) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

bool SizeFlag(uint8_t byteSize, tcflag_t &flag)
{
    switch (byteSize) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
    }
}

bool ParityFlags(uint8_t parity, tcflag_t &flags)
{
    switch (parity) {
    case PARITY_NONE: flags = 0; return true;
    case PARITY_ODD: flags = PARENB | PARODD; return true;
    case PARITY_EVEN: flags = PARENB; return true;
    case PARITY_MARK: flags = PARENB | PARODD | CMSPAR; return true;
    case PARITY_SPACE: flags = PARENB | CMSPAR; return true;
    default: return false;
    }
}

// True when the terminal is in exclusive mode already (TIOCGEXCL is missing before Linux
// 3.8: then we cannot tell, and the flock alone decides).
bool HeldExclusively(int fd)
{
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

void CloseFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Connects to the UNIX stream socket at `path`; -1 with errno set when that fails.
int ConnectUnixSocket(const QByteArray &path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::copy(path.cbegin(), path.cend(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A local connect does not wait for the peer: it is queued on its listening socket.
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The master side of a pseudo-terminal (what opening /dev/ptmx makes): a terminal, but a
// new one with no line behind it, never a reader's port. Refused as a node that is no
// terminal is.
bool IsTerminalMaster(int fd)
{
    unsigned int number = 0;
    if (::ioctl(fd, TIOCGPTN, &number) != 0)
        return false;
    errno = ENOTTY;
    return true;
}

} // namespace

unsigned ModemLineEvents(int previousLines, int currentLines)
{
    const int changed = previousLines ^ currentLines;
    unsigned events = 0;
    if (changed & TIOCM_DSR)
        events |= kSerialDsr;
    if (changed & TIOCM_CD)
        events |= kSerialRlsd;
    return events;
}

CSerialPort::~CSerialPort()
{
    Close();
}

bool CSerialPort::Open(const QString &devicePath, const SerialLineSettings &settings)
{
    Close();
    m_openError = ENOENT;
    const QByteArray path = QFile::encodeName(devicePath);
    if (path.isEmpty())
        return false;
    struct stat node {};
    if (::stat(path.constData(), &node) == 0 && S_ISSOCK(node.st_mode)) {
        const int fd = ConnectUnixSocket(path);
        if (fd < 0) {
            m_openError = errno;
            return false;
        }
        return AdoptSocket(fd);
    }
    m_fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        m_openError = errno;
        return false;
    }
    // flock holds against every other open file description, root included; TIOCEXCL
    // keeps other programs that do not take the lock out too. A terminal already in
    // exclusive mode belongs to such a program: only root gets this far with it, and must
    // not take it over.
    errno = 0;
    if (!::isatty(m_fd) || IsTerminalMaster(m_fd) || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0 || HeldExclusively(m_fd)
        || ::ioctl(m_fd, TIOCEXCL) != 0) {
        m_openError = errno != 0 ? errno : EBUSY;   // no errno: another program holds it
        CloseFd(m_fd);
        return false;
    }
    m_exclusive = true;
    if (!StartWaiting() || !Configure(settings)) {
        m_openError = errno != 0 ? errno : EINVAL;   // settings the driver refused set none
        Close();
        return false;
    }
    m_openError = 0;
    int lines = 0;
    // ENOTTY or EINVAL: the device has no modem lines (a pseudo-terminal, some adapters).
    m_modemLinesSupported = ::ioctl(m_fd, TIOCMGET, &lines) == 0;
    m_modemLines = lines;
    m_lastModemSample = std::chrono::steady_clock::now();
    return true;
}

bool CSerialPort::AdoptSocket(int fd)
{
    Close();
    m_fd = fd;
    m_socket = true;
    errno = 0;
    int type = 0;
    socklen_t length = sizeof type;
    const int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM
        || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0
        || !StartWaiting()) {
        m_openError = errno != 0 ? errno : ENOTSOCK;   // a socket of another type sets none
        Close();
        return false;
    }
    m_openError = 0;
    m_modemLinesSupported = false;
    return true;
}

bool CSerialPort::StartWaiting()
{
    m_linkError.store(0);
    m_cancelled.store(false);
    m_signalFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return m_signalFd >= 0;
}

bool CSerialPort::Configure(const SerialLineSettings &settings)
{
    speed_t speed = 0;
    tcflag_t size = 0;
    tcflag_t parity = 0;
    if (!SpeedCode(settings.baudRate, speed) || !SizeFlag(settings.byteSize, size)
        || !ParityFlags(settings.parity, parity)
        || (settings.stopBits != STOP_BITS_ONE && settings.stopBits != STOP_BITS_TWO))
        return false;

    termios tio {};
    if (::tcgetattr(m_fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= size | parity | CLOCAL | CREAD;
    if (settings.stopBits == STOP_BITS_TWO)
        tio.c_cflag |= CSTOPB;
    // VMIN 1 with O_NONBLOCK: no data gives EAGAIN, so a zero read can only be a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0)
        return false;
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
        return false;
    // tcsetattr succeeds when any part was applied: read back what the driver kept.
    termios applied {};
    if (::tcgetattr(m_fd, &applied) != 0 || ::cfgetospeed(&applied) != speed
        || (applied.c_cflag & CSIZE) != size)
        return false;
    // Pseudo-terminals have no modem lines; ENOTTY there is not a refusal.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(m_fd, TIOCMBIC, &lines);
    return true;
}

void CSerialPort::Close()
{
    CloseFd(m_signalFd);
    // The exclusive mode belongs to the terminal, not to our descriptor: it outlives the
    // close wherever the terminal stays alive (a pseudo-terminal whose master is open, a
    // device another program holds), and would refuse every later open but root's.
    if (m_fd >= 0 && m_exclusive)
        ::ioctl(m_fd, TIOCNXCL);
    m_exclusive = false;
    m_socket = false;
    CloseFd(m_fd);   // releases the flock
}

void CSerialPort::SampleModemLines(unsigned &events)
{
    m_lastModemSample = std::chrono::steady_clock::now();
    int lines = 0;
    if (::ioctl(m_fd, TIOCMGET, &lines) != 0) {
        if (errno == ENOTTY || errno == EINVAL)
            m_modemLinesSupported = false;
        return;
    }
    events |= ModemLineEvents(m_modemLines, lines);
    m_modemLines = lines;
}

unsigned CSerialPort::Wait(bool portEvents, bool wantWrite)
{
    if (m_fd < 0 || m_signalFd < 0 || m_cancelled.load())
        return kSerialCancelled;
    for (;;) {
        const short portMask = short(POLLIN | (wantWrite ? POLLOUT : 0));
        pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_fd, portMask, 0}};
        const nfds_t count = portEvents ? 2 : 1;
        int timeout = -1;
        if (portEvents && m_modemLinesSupported) {
            const auto due = m_lastModemSample + MODEM_SAMPLE_INTERVAL - std::chrono::steady_clock::now();
            timeout = int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(due).count()));
        }
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR) {
            NoteLinkLost(errno);
            return kSerialHangup;
        }
        unsigned events = 0;
        if (fds[0].revents)
            events |= TakeSignal();
        if (portEvents) {
            if (fds[1].revents & POLLIN)
                events |= kSerialRxChar;
            if (fds[1].revents & POLLOUT)
                events |= kSerialTxReady;
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                NoteLinkLost((fds[1].revents & POLLHUP) ? LINK_HUNG_UP : (fds[1].revents & POLLNVAL) ? EBADF : EIO);
                events |= kSerialHangup;
            }
            if (m_modemLinesSupported && std::chrono::steady_clock::now() - m_lastModemSample >= MODEM_SAMPLE_INTERVAL)
                SampleModemLines(events);
        }
        if (events)
            return events;
    }
}

// Empties the signal counter; a CancelWait stays in force through m_cancelled.
unsigned CSerialPort::TakeSignal()
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_signalFd, &count, sizeof count);
    return m_cancelled.load() ? kSerialCancelled : kSerialWoken;
}

void CSerialPort::CancelWait()
{
    m_cancelled.store(true);
    Wake();
}

void CSerialPort::Wake()
{
    if (m_signalFd >= 0) {
        const uint64_t one = 1;
        // The counter only saturates after 2^64-2 signals; a failed write cannot leave a
        // waiter asleep because any non-zero count wakes it.
        [[maybe_unused]] const ssize_t written = ::write(m_signalFd, &one, sizeof one);
    }
}

bool CSerialPort::WaitCancelOnly(int timeoutMs)
{
    if (m_signalFd < 0 || m_cancelled.load())
        return true;
    pollfd fd = {m_signalFd, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) > 0 && fd.revents != 0)
        return TakeSignal() == kSerialCancelled;
    return false;
}

long CSerialPort::Read(void *destination, std::size_t capacity)
{
    if (m_fd < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::read(m_fd, destination, capacity);
        if (n > 0)
            return long(n);
        if (n == 0 && capacity > 0) {
            NoteLinkLost(LINK_HUNG_UP);
            return -1;
        }
        if (n == 0 || errno == EAGAIN)
            return 0;
        if (errno == EINTR)
            continue;
        // Every failure of a socket ends its link (ECONNRESET, ETIMEDOUT, EHOSTDOWN from
        // RFCOMM); a terminal fails for good only with EIO.
        if (errno != EIO && !m_socket)
            return 0;
        NoteLinkLost(errno);
        return -1;
    }
}

void CSerialPort::NoteLinkLost(int error)
{
    // A node unlinked since the open says more than the error the driver gave for it
    // (EIO, a hang-up): the device itself is gone. The open descriptor still answers fstat.
    struct stat info {};
    if (m_fd >= 0 && !m_socket && ::fstat(m_fd, &info) == 0 && info.st_nlink == 0) {
        m_linkError.store(ENODEV);
        return;
    }
    int none = 0;
    m_linkError.compare_exchange_strong(none, error);
}

long CSerialPort::Write(const void *source, std::size_t count)
{
    if (m_fd < 0)
        return -1;
    for (;;) {
        // A socket whose peer has gone would raise SIGPIPE on write, and end the tool.
        const ssize_t n = m_socket ? ::send(m_fd, source, count, MSG_NOSIGNAL) : ::write(m_fd, source, count);
        if (n >= 0)
            return long(n);
        if (errno == EAGAIN)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

void CSerialPort::Purge()
{
    if (m_fd >= 0 && !m_socket)
        ::tcflush(m_fd, TCIOFLUSH);
}
