#include "platform/KeySinkX11.h"

#include "platform/VirtualKeys.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace platform {

namespace {

// After a failed or lost connection, keys are dropped for this long before the next try:
// connecting to a display that is gone costs a system call per attempt, not per key.
constexpr std::chrono::milliseconds kReconnectInterval{1000};

struct OemKeysym
{
    std::uint8_t virtualKey;
    KeySym keysym;
};

constexpr OemKeysym kOemKeysyms[] = {
    {VK_OEM_1, XK_semicolon},   {VK_OEM_PLUS, XK_equal},   {VK_OEM_COMMA, XK_comma},
    {VK_OEM_MINUS, XK_minus},   {VK_OEM_PERIOD, XK_period}, {VK_OEM_2, XK_slash},
    {VK_OEM_3, XK_grave},       {VK_OEM_4, XK_bracketleft}, {VK_OEM_5, XK_backslash},
    {VK_OEM_6, XK_bracketright}, {VK_OEM_7, XK_apostrophe},
};

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
    for (const OemKeysym &oem : kOemKeysyms) {
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
    if (m_display)
        XCloseDisplay(m_display);
    m_display = nullptr;
    m_lost = false;
}

bool CKeySinkX11::ensureConnection()
{
    if (m_display && m_lost) {
        closeConnection();
        m_nextAttempt = std::chrono::steady_clock::now() + kReconnectInterval;
    }
    if (m_display)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextAttempt)
        return false;
    m_nextAttempt = now + kReconnectInterval;

    Display *display = XOpenDisplay(m_displayName.c_str());
    if (!display)
        return false;
    XSetIOErrorExitHandler(display, &CKeySinkX11::onConnectionLost, this);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
        XCloseDisplay(display);
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
    if (keysym == NoSymbol || !ensureConnection())
        return;
    const KeyCode keycode = XKeysymToKeycode(m_display, keysym);
    if (keycode == 0)
        return;
    XTestFakeKeyEvent(m_display, keycode, direction == KeyDirection::Press ? True : False, CurrentTime);
    XFlush(m_display);
    drainEvents();
}

} // namespace platform
