#include "controls/common/ReadableColours.h"

#include <QPalette>

#include <algorithm>
#include <cmath>

namespace {

double linearChannel(double value)
{
    return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

// The shade of `colour` at HSL lightness `lightness` (0..255), hue and saturation kept.
QColor withLightness(const QColor &colour, int lightness)
{
    const QColor hsl = colour.toHsl();
    return QColor::fromHsl(hsl.hslHue(), hsl.hslSaturation(), lightness).toRgb();
}

} // namespace

double RelativeLuminance(const QColor &colour)
{
    const QColor rgb = colour.toRgb();
    return 0.2126 * linearChannel(rgb.redF()) + 0.7152 * linearChannel(rgb.greenF())
           + 0.0722 * linearChannel(rgb.blueF());
}

double ContrastRatio(const QColor &a, const QColor &b)
{
    const double la = RelativeLuminance(a);
    const double lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

ColourPair InactiveSelection(const QPalette &palette)
{
    ColourPair pair{palette.color(QPalette::Inactive, QPalette::Highlight),
                    palette.color(QPalette::Inactive, QPalette::HighlightedText)};
    if (ContrastRatio(pair.back, pair.text) < MIN_CONTRAST) {
        const QColor black(Qt::black);
        const QColor white(Qt::white);
        pair.text = ContrastRatio(pair.back, black) >= ContrastRatio(pair.back, white) ? black : white;
    }
    return pair;
}

bool IsDarkPalette(const QPalette &palette)
{
    return palette.color(QPalette::Active, QPalette::Window).lightness() < 128;
}

QColor ReadableOn(const QColor &colour, const QColor &base)
{
    if (ContrastRatio(colour, base) >= MIN_CONTRAST)
        return colour;
    const int start = colour.toHsl().lightness();
    // Away from the base's own lightness first; on a mid-grey base only the other way may
    // reach the contrast.
    const int first = RelativeLuminance(base) < 0.18 ? 1 : -1;
    for (const int step : {first, -first}) {
        for (int lightness = start + step; lightness >= 0 && lightness <= 255; lightness += step) {
            const QColor shade = withLightness(colour, lightness);
            if (ContrastRatio(shade, base) >= MIN_CONTRAST)
                return shade;
        }
    }
    return colour;
}
