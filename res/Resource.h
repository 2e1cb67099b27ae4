#pragma once

// Resource ids of the tool: dialog templates, the application icon and the string table.
namespace res {

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_RFID_LORIX_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;

// Command id of the About entry; the low four bits are reserved for the window manager's
// own use of the same id space, so a command matches when they are masked off.
inline constexpr int IDM_ABOUTBOX = 0x0010;

// String 101.
inline constexpr char kAboutEntryText[] = "&About RFID_Lorix...";

// Title of the main window's template; it stays when no version is compiled in.
inline constexpr char kMainDialogTemplateTitle[] = "z";

} // namespace res
