#pragma once

// Resource ids of the tool: dialog templates, the application icon and the string table.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_RFID_LORIX_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;

// Control ids of the main window (template 102).
inline constexpr int IDC_DEVICE_LIST = 1000;
inline constexpr int IDC_CATALOGUE_TREE = 1001;
inline constexpr int IDC_PORT_PICKER = 1003;
inline constexpr int IDC_OPEN_PORT = 1004;
inline constexpr int IDC_SEND = 1006;
inline constexpr int IDC_SAVE_DATA = 1008;
inline constexpr int IDC_SAVE_AS = 1009;
inline constexpr int IDC_CLEAR = 1010;
inline constexpr int IDC_LOG_VIEW = 1012;
inline constexpr int IDC_COMMAND_BOX = 1013;
inline constexpr int IDC_KEY_EMULATOR = 1014;
inline constexpr int IDC_MULTI_MODE = 1015;
inline constexpr int IDC_SINGLE_MODE = 1016;
inline constexpr int IDC_TX_POWER = 1017;
inline constexpr int IDC_ASCII_MODE = 1018;
inline constexpr int IDC_AUTO_START = 1019;
inline constexpr int IDC_DETAILS = 1020;
inline constexpr int IDC_PROPERTY_TREE = 100;

// Command id of the About entry; the low four bits are reserved for the window manager's
// own use of the same id space, so a command matches when they are masked off.
inline constexpr int IDM_ABOUTBOX = 0x0010;

// String 101.
inline constexpr char ABOUT_ENTRY_TEXT[] = "&About RFID_Lorix...";

// Title of the main window's template; it stays when no version is compiled in.
inline constexpr char MAIN_DIALOG_TEMPLATE_TITLE[] = "z";
