#include "platform/VirtualKeys.h"

namespace platform {

namespace {

// Set-1 scan codes of the letter keys A..Z, in alphabetical order.
constexpr std::uint8_t kLetterScanCodes[26] = {
    0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,
    0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C,
};

// The digit row: '1'..'9' are 0x02..0x0A and '0' follows '9'.
constexpr std::uint8_t kScanDigit1 = 0x02;
constexpr std::uint8_t kScanDigit0 = 0x0B;

constexpr std::uint8_t kScanReturn = 0x1C;
constexpr std::uint8_t kScanLeftShift = 0x2A;
constexpr std::uint8_t kScanSpace = 0x39;

struct OemScanCode
{
    std::uint8_t virtualKey;
    std::uint8_t scanCode;
};

constexpr OemScanCode kOemScanCodes[] = {
    {VK_OEM_1, 0x27},      {VK_OEM_PLUS, 0x0D},   {VK_OEM_COMMA, 0x33}, {VK_OEM_MINUS, 0x0C},
    {VK_OEM_PERIOD, 0x34}, {VK_OEM_2, 0x35},      {VK_OEM_3, 0x29},     {VK_OEM_4, 0x1A},
    {VK_OEM_5, 0x2B},      {VK_OEM_6, 0x1B},      {VK_OEM_7, 0x28},
};

} // namespace

std::uint8_t MapVirtualKeyToScanCode(std::uint8_t virtualKey)
{
    if (virtualKey >= VK_A && virtualKey <= VK_Z)
        return kLetterScanCodes[virtualKey - VK_A];
    if (virtualKey == VK_0)
        return kScanDigit0;
    if (virtualKey > VK_0 && virtualKey <= VK_9)
        return static_cast<std::uint8_t>(kScanDigit1 + (virtualKey - VK_0 - 1));
    switch (virtualKey) {
    case VK_RETURN: return kScanReturn;
    case VK_SHIFT: return kScanLeftShift;
    case VK_SPACE: return kScanSpace;
    case VK_HANGUL: return SCAN_HANGUL;
    default: break;
    }
    for (const OemScanCode &oem : kOemScanCodes) {
        if (oem.virtualKey == virtualKey)
            return oem.scanCode;
    }
    return 0;
}

} // namespace platform
