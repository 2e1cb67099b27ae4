#include "tests/support/XvfbRecorder.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int SERVER_START_TIMEOUT_MS = 15000;

} // namespace

CXvfbServer::~CXvfbServer()
{
    stop();
}

bool CXvfbServer::start(QString *reason)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *reason = QStringLiteral("pipe failed");
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        *reason = QStringLiteral("fork failed");
        return false;
    }
    if (pid == 0) {
        ::fcntl(fds[1], F_SETFD, 0);
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDOUT_FILENO);
            ::dup2(devNull, STDERR_FILENO);
        }
        const std::string fd = std::to_string(fds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "320x240x24",
                 static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    m_pid = pid;

    // The server writes its display number and a newline once it accepts connections;
    // the pipe closes without it when it cannot start.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (number.empty() || number.back() != '\n') {
        if (::poll(&p, 1, SERVER_START_TIMEOUT_MS) <= 0)
            break;
        char buffer[16];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        number.append(buffer, std::size_t(n));
    }
    ::close(fds[0]);
    if (number.empty() || number.back() != '\n') {
        stop();
        *reason = QStringLiteral("Xvfb could not be started (is it installed?)");
        return false;
    }
    number.pop_back();
    m_displayName = ":" + number;
    return true;
}

void CXvfbServer::stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

CXKeyRecorder::~CXKeyRecorder()
{
    close();
}

void CXKeyRecorder::close()
{
    if (m_display)
        XCloseDisplay(m_display);
    m_display = nullptr;
}

bool CXKeyRecorder::open(const std::string &displayName, QString *reason)
{
    m_display = XOpenDisplay(displayName.c_str());
    if (!m_display) {
        *reason = QStringLiteral("cannot open display %1").arg(QString::fromStdString(displayName));
        return false;
    }
    const int screen = DefaultScreen(m_display);
    m_window = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), 0, 0, 200, 100, 0,
                                   BlackPixel(m_display, screen), WhitePixel(m_display, screen));
    XSelectInput(m_display, m_window, KeyPressMask | KeyReleaseMask | FocusChangeMask | StructureNotifyMask);
    XMapRaised(m_display, m_window);

    XEvent event;
    do {
        XWindowEvent(m_display, m_window, StructureNotifyMask, &event);
    } while (event.type != MapNotify);
    XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
    do {
        XWindowEvent(m_display, m_window, FocusChangeMask, &event);
    } while (event.type != FocusIn);
    return true;
}

void CXKeyRecorder::clear()
{
    m_presses.clear();
    m_releases = 0;
}

bool CXKeyRecorder::readEvents(int timeoutMs)
{
    if (XPending(m_display) == 0) {
        pollfd p{ConnectionNumber(m_display), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
    }
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == KeyPress) {
            RecordedKey key;
            key.keysym = XLookupKeysym(&event.xkey, 0);
            key.shift = (event.xkey.state & ShiftMask) != 0;
            char text[16];
            KeySym shifted = 0;
            const int n = XLookupString(&event.xkey, text, sizeof text, &shifted, nullptr);
            key.text.assign(text, std::size_t(n > 0 ? n : 0));
            m_presses.push_back(key);
        } else if (event.type == KeyRelease) {
            ++m_releases;
        } else if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        }
    }
    return true;
}

bool CXKeyRecorder::waitForKeys(std::size_t presses, int timeoutMs)
{
    while (m_presses.size() < presses || m_releases < presses) {
        if (!readEvents(timeoutMs))
            return false;
    }
    return true;
}

std::string CXKeyRecorder::text() const
{
    std::string all;
    for (const RecordedKey &key : m_presses)
        all += key.text;
    return all;
}

int CXKeyRecorder::keysDown()
{
    char keys[32];
    XQueryKeymap(m_display, keys);
    int down = 0;
    for (char byte : keys) {
        for (int bit = 0; bit < 8; ++bit)
            down += (byte >> bit) & 1;
    }
    return down;
}
