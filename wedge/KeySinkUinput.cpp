#include "wedge/KeySinkUinput.h"

#include "wedge/VirtualKeys.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr std::uint16_t UINPUT_BUS_TYPE = BUS_VIRTUAL;
constexpr int KEY_PRESSED = 1;
constexpr int KEY_RELEASED = 0;

// Scan code -> Linux key code, built from the virtual-key table so that the two can never
// disagree about which keys exist.
std::array<std::uint16_t, 256> buildScanCodeTable()
{
    std::array<std::uint16_t, 256> table{};
    for (int vk = 1; vk < 256; ++vk) {
        const std::uint8_t scan = MapVirtualKeyToScanCode(static_cast<std::uint8_t>(vk));
        if (scan != 0)
            table[scan] = scan == SCAN_HANGUL ? KEY_HANGEUL : scan;
    }
    return table;
}

const std::array<std::uint16_t, 256> &scanCodeTable()
{
    static const std::array<std::uint16_t, 256> table = buildScanCodeTable();
    return table;
}

} // namespace

int LinuxKeyForScanCode(std::uint8_t scanCode)
{
    return scanCodeTable()[scanCode];
}

int LinuxKeyForKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode)
{
    if (scanCode == 0)
        scanCode = MapVirtualKeyToScanCode(virtualKey);
    return scanCode == 0 ? 0 : LinuxKeyForScanCode(scanCode);
}

std::shared_ptr<CKeySinkUinput> CKeySinkUinput::Open(const char *path)
{
    const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    std::shared_ptr<CKeySinkUinput> sink(new CKeySinkUinput(fd));

    bool ok = ::ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ::ioctl(fd, UI_SET_EVBIT, EV_SYN) == 0;
    for (std::uint16_t key : scanCodeTable()) {
        if (ok && key != 0)
            ok = ::ioctl(fd, UI_SET_KEYBIT, key) == 0;
    }
    uinput_setup setup{};
    setup.id.bustype = UINPUT_BUS_TYPE;
    std::strncpy(setup.name, UINPUT_DEVICE_NAME, UINPUT_MAX_NAME_SIZE - 1);
    ok = ok && ::ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ::ioctl(fd, UI_DEV_CREATE) == 0;
    return ok ? sink : nullptr;
}

CKeySinkUinput::CKeySinkUinput(int fd)
    : m_fd(fd)
{
}

CKeySinkUinput::~CKeySinkUinput()
{
    if (m_fd >= 0) {
        ::ioctl(m_fd, UI_DEV_DESTROY);
        ::close(m_fd);
    }
}

bool CKeySinkUinput::writeEvent(unsigned type, unsigned code, int value)
{
    input_event event{};
    event.type = static_cast<std::uint16_t>(type);
    event.code = static_cast<std::uint16_t>(code);
    event.value = value;
    ssize_t written;
    do {
        written = ::write(m_fd, &event, sizeof event);
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(sizeof event);
}

void CKeySinkUinput::SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction)
{
    const int key = LinuxKeyForKeyEvent(virtualKey, scanCode);
    if (key == 0)
        return;
    // A failed write (device removed) loses this key only; the sink stays usable.
    if (writeEvent(EV_KEY, static_cast<unsigned>(key), direction == KeyDirection::Press ? KEY_PRESSED : KEY_RELEASED))
        writeEvent(EV_SYN, SYN_REPORT, 0);
}
