#include "wedge/VirtualKeys.h"

namespace {

// Set-1 scan codes of the letter keys A..Z, in alphabetical order.
constexpr std::uint8_t LETTER_SCAN_CODES[26] = {
    0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,
    0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C,
};

// The digit row: '1'..'9' are 0x02..0x0A and '0' follows '9'.
constexpr std::uint8_t SCAN_DIGIT1 = 0x02;
constexpr std::uint8_t SCAN_DIGIT0 = 0x0B;

constexpr std::uint8_t SCAN_RETURN = 0x1C;
constexpr std::uint8_t SCAN_LEFT_SHIFT = 0x2A;
constexpr std::uint8_t SCAN_SPACE = 0x39;

struct OemScanCode
{
    std::uint8_t virtualKey;
    std::uint8_t scanCode;
};

constexpr OemScanCode OEM_SCAN_CODES[] = {
    {VK_OEM_1, 0x27},      {VK_OEM_PLUS, 0x0D},   {VK_OEM_COMMA, 0x33}, {VK_OEM_MINUS, 0x0C},
    {VK_OEM_PERIOD, 0x34}, {VK_OEM_2, 0x35},      {VK_OEM_3, 0x29},     {VK_OEM_4, 0x1A},
    {VK_OEM_5, 0x2B},      {VK_OEM_6, 0x1B},      {VK_OEM_7, 0x28},
};

} // namespace

std::uint8_t MapVirtualKeyToScanCode(std::uint8_t virtualKey)
{
    if (virtualKey >= VK_A && virtualKey <= VK_Z)
        return LETTER_SCAN_CODES[virtualKey - VK_A];
    if (virtualKey == VK_0)
        return SCAN_DIGIT0;
    if (virtualKey > VK_0 && virtualKey <= VK_9)
        return static_cast<std::uint8_t>(SCAN_DIGIT1 + (virtualKey - VK_0 - 1));
    switch (virtualKey) {
    case VK_RETURN: return SCAN_RETURN;
    case VK_SHIFT: return SCAN_LEFT_SHIFT;
    case VK_SPACE: return SCAN_SPACE;
    case VK_HANGUL: return SCAN_HANGUL;
    default: break;
    }
    for (const OemScanCode &oem : OEM_SCAN_CODES) {
        if (oem.virtualKey == virtualKey)
            return oem.scanCode;
    }
    return 0;
}
