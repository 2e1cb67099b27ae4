#pragma once

#include <QFont>
#include <QList>
#include <QRect>
#include <QString>

// Dialog templates as tables. Positions and sizes are in dialog units: a horizontal unit is
// a quarter of the dialog font's average character width, a vertical unit an eighth of its
// height. The widgets convert them to pixels with the dialog font's base units.
enum class ControlKind {
    Icon, Label, PushButton, DefaultPushButton,
    CheckBox, PushLikeCheckBox, RadioButton, GroupBox, EtchedVerticalLine,
    DropDownList,     // sorted list without an edit field
    DropDownCombo,    // list with an edit field
    ReadOnlyEdit,     // multi-line, read-only, with a scroll bar and a border
    TreeView, RichEdit, TrackBar,
};

struct DialogControlTemplate
{
    int id;               // control id; -1 for a static control without one
    ControlKind kind;
    const char *text;     // label or button text, or nothing
    QRect rect;           // dialog units (x, y, width, height); an icon's size is its own
    bool hidden = false;  // created but not shown
};

struct DialogTemplate
{
    int id;
    const char *caption;
    QSize size;           // dialog units
    const char *fontFace;
    int fontPointSize;
    QList<DialogControlTemplate> controls;
};

// Template 100: the About box.
const DialogTemplate &AboutDialogTemplate();
// Template 102: the main window. A drop-down's height is that of its open list.
const DialogTemplate &MainDialogTemplate();

inline constexpr int IDC_STATIC = -1;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// The dialog font's base units in pixels: the average width of the Latin letters rounded
// as the platform does, and the line height.
struct DialogBaseUnits
{
    int x = 0;
    int y = 0;
};

// The template's font. Asking for it also makes the Windows dialog faces ("MS Shell Dlg",
// "Tahoma") resolve to an installed face with Arial's metrics, for every font of the process.
QFont DialogFont(const DialogTemplate &dialog);
DialogBaseUnits BaseUnitsFor(const QFont &font);

// x*baseX/4 and y*baseY/8, rounded to the nearest pixel (halves away from zero).
int DialogUnitsToPixelsX(int x, const DialogBaseUnits &units);
int DialogUnitsToPixelsY(int y, const DialogBaseUnits &units);
QRect DialogUnitsToPixels(const QRect &rect, const DialogBaseUnits &units);
QSize DialogUnitsToPixels(const QSize &size, const DialogBaseUnits &units);
