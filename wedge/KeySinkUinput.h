#pragma once

#include "wedge/KeySink.h"

#include <memory>

inline constexpr char UINPUT_PATH[] = "/dev/uinput";
// The name the virtual keyboard is registered under (visible in /dev/input/by-id and to
// input stacks such as libinput).
inline constexpr char UINPUT_DEVICE_NAME[] = "RFID_Lorix keyboard wedge";

// Key sink for machines without an X display: a virtual keyboard through the kernel's
// uinput device. Keys are chosen by scan code; the US set-1 scan codes of the typed keys are
// the kernel's KEY_* codes, Han/Yeong becomes KEY_HANGEUL. A key event whose scan code is 0
// (the scan path sends 0 for character keys) uses the United States scan code of its virtual
// key instead, so that it still types. Not thread-safe: one thread at a time.
class CKeySinkUinput final : public IKeySink
{
public:
    // Creates the virtual keyboard; nullptr when the device cannot be opened or set up.
    static std::shared_ptr<CKeySinkUinput> Open(const char *path = UINPUT_PATH);
    ~CKeySinkUinput() override;
    CKeySinkUinput(const CKeySinkUinput &) = delete;
    CKeySinkUinput &operator=(const CKeySinkUinput &) = delete;

    void SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction) override;

private:
    explicit CKeySinkUinput(int fd);
    bool writeEvent(unsigned type, unsigned code, int value);

    int m_fd = -1;
};

// The Linux key code of a set-1 scan code of the keys the wedge types, 0 for any other code.
int LinuxKeyForScanCode(std::uint8_t scanCode);

// The Linux key code one key event types: by its scan code, or by its virtual key when the
// scan code is 0. 0 when it types nothing.
int LinuxKeyForKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode);
