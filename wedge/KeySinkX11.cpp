#include "wedge/KeySinkX11.h"

#include "wedge/VirtualKeys.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace {

// After a failed or lost connection, keys are dropped for this long before the next try:
// connecting to a display that is gone costs a system call per attempt, not per key.
constexpr std::chrono::milliseconds RECONNECT_INTERVAL{1000};

struct OemKeysym
{
    std::uint8_t virtualKey;
    KeySym keysym;
};

constexpr OemKeysym OEM_KEYSYMS[] = {
    {VK_OEM_1, XK_semicolon},   {VK_OEM_PLUS, XK_equal},   {VK_OEM_COMMA, XK_comma},
    {VK_OEM_MINUS, XK_minus},   {VK_OEM_PERIOD, XK_period}, {VK_OEM_2, XK_slash},
    {VK_OEM_3, XK_grave},       {VK_OEM_4, XK_bracketleft}, {VK_OEM_5, XK_backslash},
    {VK_OEM_6, XK_bracketright}, {VK_OEM_7, XK_apostrophe},
};

// Writing to a connection whose server has gone raises SIGPIPE, which would end the
// process. While one exists, SIGPIPE is blocked for this thread; one raised meanwhile is
// consumed before the old mask returns, so the write fails with EPIPE and Xlib reports a
// lost connection instead.
class SigpipeGuard
{
public:
    SigpipeGuard()
    {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &m_oldMask);
    }
    ~SigpipeGuard()
    {
        if (!m_wasPending) {
            sigset_t pipeOnly;
            sigemptyset(&pipeOnly);
            sigaddset(&pipeOnly, SIGPIPE);
            const timespec noWait{0, 0};
            while (sigtimedwait(&pipeOnly, nullptr, &noWait) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
    }
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

private:
    sigset_t m_oldMask;
    bool m_wasPending = false;
};

// Xlib's I/O error handler is process-wide and its default ends the process. The sinks'
// connections must survive a vanished server, others (the toolkit's own, if any) keep the
// handler they had: the handler installed here returns for the sinks' connections and
// passes every other one on to the handler it replaced. It is installed when the first
// sink connects, so after the toolkit has set up its own.
std::mutex g_sinkDisplaysMutex;
std::vector<Display *> g_sinkDisplays;
XIOErrorHandler g_previousIoErrorHandler = nullptr;

int onIoError(Display *display)
{
    {
        std::lock_guard<std::mutex> lock(g_sinkDisplaysMutex);
        if (std::find(g_sinkDisplays.begin(), g_sinkDisplays.end(), display) != g_sinkDisplays.end())
            return 0;
    }
    return g_previousIoErrorHandler ? g_previousIoErrorHandler(display) : 0;
}

void registerSinkDisplay(Display *display)
{
    static std::once_flag installed;
    std::call_once(installed, [] { g_previousIoErrorHandler = XSetIOErrorHandler(&onIoError); });
    std::lock_guard<std::mutex> lock(g_sinkDisplaysMutex);
    g_sinkDisplays.push_back(display);
}

void unregisterSinkDisplay(Display *display)
{
    std::lock_guard<std::mutex> lock(g_sinkDisplaysMutex);
    g_sinkDisplays.erase(std::remove(g_sinkDisplays.begin(), g_sinkDisplays.end(), display), g_sinkDisplays.end());
}

} // namespace

unsigned long KeysymForVirtualKey(std::uint8_t virtualKey)
{
    if (virtualKey >= VK_A && virtualKey <= VK_Z)
        return XK_a + (virtualKey - VK_A);
    if (virtualKey >= VK_0 && virtualKey <= VK_9)
        return XK_0 + (virtualKey - VK_0);
    switch (virtualKey) {
    case VK_RETURN: return XK_Return;
    case VK_SHIFT: return XK_Shift_L;
    case VK_SPACE: return XK_space;
    case VK_HANGUL: return XK_Hangul;
    default: break;
    }
    for (const OemKeysym &oem : OEM_KEYSYMS) {
        if (oem.virtualKey == virtualKey)
            return oem.keysym;
    }
    return NoSymbol;
}

CKeySinkX11::CKeySinkX11(std::string displayName)
    : m_displayName(std::move(displayName))
{
}

CKeySinkX11::~CKeySinkX11()
{
    closeConnection();
}

bool CKeySinkX11::IsConnected() const
{
    return m_display && !m_lost;
}

void CKeySinkX11::onConnectionLost(_XDisplay *, void *self)
{
    // Returning from here (instead of exiting, Xlib's default) leaves the connection marked
    // dead: later calls on it return at once. The sink closes it on its next key.
    static_cast<CKeySinkX11 *>(self)->m_lost = true;
}

void CKeySinkX11::closeConnection()
{
    const SigpipeGuard noSigpipe;
    if (m_display) {
        XCloseDisplay(m_display);
        unregisterSinkDisplay(m_display);
    }
    m_display = nullptr;
    m_lost = false;
}

bool CKeySinkX11::ensureConnection()
{
    if (m_display && m_lost) {
        closeConnection();
        m_nextAttempt = std::chrono::steady_clock::now() + RECONNECT_INTERVAL;
    }
    if (m_display)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextAttempt)
        return false;
    m_nextAttempt = now + RECONNECT_INTERVAL;

    Display *display = XOpenDisplay(m_displayName.c_str());
    if (!display)
        return false;
    registerSinkDisplay(display);
    XSetIOErrorExitHandler(display, &CKeySinkX11::onConnectionLost, this);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) || m_lost) {
        XCloseDisplay(display);
        unregisterSinkDisplay(display);
        m_lost = false;
        return false;
    }
    m_display = display;
    m_lost = false;
    return true;
}

void CKeySinkX11::drainEvents()
{
    // Nothing is selected on this connection, but the server still sends keymap changes to
    // every client; reading them keeps the queue short and the keycode lookup current.
    while (!m_lost && XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == MappingNotify)
            XRefreshKeyboardMapping(&event.xmapping);
    }
}

void CKeySinkX11::SendKey(std::uint8_t virtualKey, std::uint8_t, KeyDirection direction)
{
    const KeySym keysym = KeysymForVirtualKey(virtualKey);
    if (keysym != NoSymbol)
        m_pending.push_back({keysym, direction == KeyDirection::Press});
}

void CKeySinkX11::Flush()
{
    const SigpipeGuard noSigpipe;
    if (ensureConnection()) {
        for (const PendingKey &key : m_pending) {
            const KeyCode keycode = XKeysymToKeycode(m_display, key.keysym);
            if (keycode != 0)
                XTestFakeKeyEvent(m_display, keycode, key.press ? True : False, CurrentTime);
        }
        XFlush(m_display);
        drainEvents();
    }
    m_pending.clear();
}
