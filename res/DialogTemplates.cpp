#include "res/DialogTemplates.h"

#include "res/Resource.h"

#include <QFontMetrics>
#include <QStringList>

namespace {

// Round num*mul/div to the nearest integer, halves away from zero, without overflow for
// the small values of dialog geometry.
int mulDivRounded(int num, int mul, int div)
{
    const long long product = static_cast<long long>(num) * mul;
    const long long half = div / 2;
    const long long rounded = product >= 0 ? (product + half) / div : (product - half) / div;
    return static_cast<int>(rounded);
}

constexpr int HORIZONTAL_UNITS_PER_CHAR = 4;
constexpr int VERTICAL_UNITS_PER_LINE = 8;
constexpr char BASE_UNIT_SAMPLE[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int BASE_UNIT_SAMPLE_HALF = 26;

// The Windows dialog faces are not on Linux; fontconfig would pick its default sans face,
// which is far wider. These faces share Arial's metrics, the nearest to the Windows faces
// among free fonts (Debian: fonts-liberation2); the first one installed is used.
constexpr const char *WINDOWS_DIALOG_FACES[] = {"MS Shell Dlg", "MS Shell Dlg 2", "Tahoma"};
constexpr const char *METRIC_COMPATIBLE_FACES[] = {"Liberation Sans", "Arimo", "Nimbus Sans"};

void installFontSubstitutes()
{
    static const bool installed = [] {
        QStringList substitutes;
        for (const char *face : METRIC_COMPATIBLE_FACES)
            substitutes << QString::fromLatin1(face);
        for (const char *face : WINDOWS_DIALOG_FACES)
            QFont::insertSubstitutions(QString::fromLatin1(face), substitutes);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace

const DialogTemplate &AboutDialogTemplate()
{
    static const DialogTemplate about{
        IDD_ABOUTBOX,
        "About RFID_Lorix",
        QSize(235, 55),
        "MS Shell Dlg",
        8,
        {
            {IDC_STATIC, ControlKind::Icon, nullptr, QRect(11, 17, 0, 0)},
            {IDC_STATIC, ControlKind::Label, "RFID_Lorix Version 1.0", QRect(40, 10, 119, 8)},
            {IDOK, ControlKind::DefaultPushButton, "OK", QRect(178, 7, 50, 16)},
        }};
    return about;
}

QFont DialogFont(const DialogTemplate &dialog)
{
    installFontSubstitutes();
    QFont font(QString::fromLatin1(dialog.fontFace));
    font.setPointSize(dialog.fontPointSize);
    return font;
}

DialogBaseUnits BaseUnitsFor(const QFont &font)
{
    const QFontMetrics metrics(font);
    const int sampleWidth = metrics.horizontalAdvance(QString::fromLatin1(BASE_UNIT_SAMPLE));
    // The average over 52 letters, rounded: (width / 26 + 1) / 2.
    return DialogBaseUnits{(sampleWidth / BASE_UNIT_SAMPLE_HALF + 1) / 2, metrics.height()};
}

int DialogUnitsToPixelsX(int x, const DialogBaseUnits &units)
{
    return mulDivRounded(x, units.x, HORIZONTAL_UNITS_PER_CHAR);
}

int DialogUnitsToPixelsY(int y, const DialogBaseUnits &units)
{
    return mulDivRounded(y, units.y, VERTICAL_UNITS_PER_LINE);
}

QRect DialogUnitsToPixels(const QRect &rect, const DialogBaseUnits &units)
{
    // Convert the edges, not the size, so that adjacent controls stay adjacent.
    const int left = DialogUnitsToPixelsX(rect.x(), units);
    const int top = DialogUnitsToPixelsY(rect.y(), units);
    const int right = DialogUnitsToPixelsX(rect.x() + rect.width(), units);
    const int bottom = DialogUnitsToPixelsY(rect.y() + rect.height(), units);
    return QRect(left, top, right - left, bottom - top);
}

QSize DialogUnitsToPixels(const QSize &size, const DialogBaseUnits &units)
{
    return QSize(DialogUnitsToPixelsX(size.width(), units), DialogUnitsToPixelsY(size.height(), units));
}
