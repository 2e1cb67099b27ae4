#pragma once

#include <cstdint>

// Virtual-key codes of the keys the keyboard wedge types, and the United States layout's
// virtual-key to scan-code mapping. The wedge speaks in these codes; each key sink turns
// them into what its own system understands (an X keysym, a Linux key code).

inline constexpr std::uint8_t VK_NONE = 0x00;     // "no key": sent for bytes the layout cannot type
inline constexpr std::uint8_t VK_RETURN = 0x0D;
inline constexpr std::uint8_t VK_SHIFT = 0x10;
inline constexpr std::uint8_t VK_HANGUL = 0x15;   // the Han/Yeong toggle of Korean keyboards
inline constexpr std::uint8_t VK_SPACE = 0x20;
inline constexpr std::uint8_t VK_0 = 0x30;        // '0'..'9' are 0x30..0x39
inline constexpr std::uint8_t VK_9 = 0x39;
inline constexpr std::uint8_t VK_A = 0x41;        // 'A'..'Z' are 0x41..0x5A
inline constexpr std::uint8_t VK_Z = 0x5A;
inline constexpr std::uint8_t VK_OEM_1 = 0xBA;       // ;:
inline constexpr std::uint8_t VK_OEM_PLUS = 0xBB;    // =+
inline constexpr std::uint8_t VK_OEM_COMMA = 0xBC;   // ,<
inline constexpr std::uint8_t VK_OEM_MINUS = 0xBD;   // -_
inline constexpr std::uint8_t VK_OEM_PERIOD = 0xBE;  // .>
inline constexpr std::uint8_t VK_OEM_2 = 0xBF;       // /?
inline constexpr std::uint8_t VK_OEM_3 = 0xC0;       // `~
inline constexpr std::uint8_t VK_OEM_4 = 0xDB;       // [{
inline constexpr std::uint8_t VK_OEM_5 = 0xDC;       // \|
inline constexpr std::uint8_t VK_OEM_6 = 0xDD;       // ]}
inline constexpr std::uint8_t VK_OEM_7 = 0xDE;       // '"

// Set-1 make code of the Han/Yeong key as Korean keyboard layouts report it. It is not a
// Linux key code (0x72 is KEY_VOLUMEDOWN there); the uinput sink maps it to KEY_HANGEUL.
inline constexpr std::uint8_t SCAN_HANGUL = 0x72;

// The set-1 scan code of a virtual key on the United States layout, 0 for a key the layout
// does not have. Only the keys above are known; Han/Yeong gets SCAN_HANGUL.
std::uint8_t MapVirtualKeyToScanCode(std::uint8_t virtualKey);
