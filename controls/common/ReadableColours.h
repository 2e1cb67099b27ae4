#pragma once

#include <QColor>

class QPalette;

// Colour choices that keep text readable whatever palette the desktop hands the tool: the
// contrast of two colours as the web's accessibility guidelines define it, and the pairs the
// controls fall back to where the palette's own would be harder to read.
// The least contrast of body text against its background (the guidelines' level AA).
inline constexpr double MIN_CONTRAST = 4.5;

double RelativeLuminance(const QColor &colour);
// From 1 (the same luminance) to 21 (black on white); symmetric.
double ContrastRatio(const QColor &a, const QColor &b);

struct ColourPair
{
    QColor back;
    QColor text;
};

// The selection of a control that does not have the focus: the palette's inactive
// Highlight and HighlightedText, or, when their contrast is below MIN_CONTRAST, that
// background with black or white text, whichever reads better (one of them always reaches
// it).
ColourPair InactiveSelection(const QPalette &palette);

// A palette whose window colour is dark (light text on a dark ground).
bool IsDarkPalette(const QPalette &palette);

// `colour` itself when it reaches MIN_CONTRAST against `base`, else the nearest shade of the
// same hue that does (lighter on a dark base, darker on a light one).
QColor ReadableOn(const QColor &colour, const QColor &base);
