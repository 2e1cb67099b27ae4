#pragma once

#include <QtGlobal>

// Notification codes the property grid sends to its parent (CNotifyEvent::code()).
// The item pointer of the event is a CPropGridItem* or null.
enum : int {
    PGN_ITEMADDED = -1101,
    PGN_ITEMREMOVING = -1102,    // veto: the item and its subtree stay
    PGN_VALUECOMMITTED = -1105,
    PGN_FOCUSCHANGED = -1107,    // item: the new focus, or null
    PGN_EXPANDING = -1108,       // veto: the row keeps its state
    PGN_SPLITTERGRAB = -1109,    // veto: no dragging
    PGN_VALUECLICK = -1110,      // veto: no editing
    PGN_CHECKTOGGLED = -1112,
    PGN_ESCAPE = -1113,
    PGN_TABOUT = -1114,
    PGN_SENDCOMMAND = -1116,
};

// The parameter of PGN_TABOUT: Shift+Tab (0 for Tab).
constexpr qintptr PGN_TABOUT_BACKWARD = 1;

// Control style bit: without it the control sends no notification at all.
constexpr quint32 PGS_NOTIFY = 0x0001;

// Row flags (CPropGridItem::GetFlags).
constexpr quint32 PGIF_SELECTED = 0x01;
constexpr quint32 PGIF_EXPANDED = 0x02;
constexpr quint32 PGIF_CHECKBOX = 0x04;
constexpr quint32 PGIF_CHECKED = 0x08;
constexpr quint32 PGIF_READONLY = 0x20;

// Hit-test codes of the list pane, tested in the order none, splitter, value,
// expand button, check box, label.
enum : int {
    PGHT_NOWHERE = 1,
    PGHT_LABEL = 50,
    PGHT_SPLITTER = 51,
    PGHT_EXPAND = 52,
    PGHT_VALUE = 53,
    PGHT_CHECKBOX = 54,
};

// Control ids: the main window's grid and its list pane, and the description pane.
constexpr int PROPGRID_CONTROL_ID = 100;
constexpr int PROPGRID_LIST_ID = 100;
constexpr int PROPGRID_INFO_ID = 0xFFFF;

// Layout, in pixels.
constexpr int PG_ROW_HEIGHT = 21;         // every row kind, and the root's share of the scroll range
constexpr int PG_MARGIN = 16;             // left button-face margin, child indent, splitter limits
constexpr int PG_FRAME = 2;               // sunken edge of the list pane
constexpr int PG_SPLITTER_GRIP = 5;       // grab distance either side; value area starts this far right
constexpr int PG_SPLITTER_INITIAL = 150;
constexpr int PG_INFO_HEIGHT = 200;
constexpr int PG_INFO_PADDING = 4;
constexpr int PG_EXPAND_X = 4;            // expand button's left edge
constexpr int PG_EXPAND_HIT = 8;          // expand button's hit rectangle side
constexpr int PG_EXPAND_BOX = 9;          // expand button's drawn square side
constexpr int PG_EXPAND_BAR_FROM = 2;     // plus/minus bars inside the square
constexpr int PG_EXPAND_BAR_TO = 6;
constexpr int PG_EXPAND_BAR_MID = 4;
constexpr int PG_BUTTON_CENTRE_SHIFT = 6; // m = h / 2 - 6
constexpr int PG_CHECK_OFFSET = 5;        // check box left of the label area's left edge + this
constexpr int PG_CHECK_SIZE = 14;
constexpr int PG_CHECK_TEXT_SHIFT = 24;   // label moves right by this with a check box
constexpr int PG_LABEL_GAP = 5;           // label text starts this far into the label area
constexpr int PG_DOT_STEP = 2;            // dotted bottom line: every second pixel
constexpr int PG_DRAG_BAR_WIDTH = 5;
constexpr int PG_DRAG_BAR_HALF = 2;

// The description pane's title and text when no row has the focus.
inline constexpr const char *PG_NO_FOCUS_TITLE = "No property selected";
inline constexpr const char *PG_NO_FOCUS_TEXT = "Select a row to see its description.";
