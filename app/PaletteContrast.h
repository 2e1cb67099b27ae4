#pragma once

#include <QColor>

class QWidget;

// The least contrast kept for a part that is not text proper: a placeholder, a tick, the
// frame of a box or a radio button.
inline constexpr double LEAST_PART_CONTRAST = 3.0;

// Keeps the faint parts of `window` readable in a palette whose style draws them too close to
// their background: the placeholder text against the base colour (in any palette), and in a
// dark one the outline that draws a slider's ticks and the frames of check boxes and radio
// buttons, which the style darkens from the window colour, invisible on a dark window, and
// the circle of an unticked radio button, which it draws from the base colour. Only
// what falls short changes; a palette that meets the bound is left as it is. Called again
// when the application's palette changes. User-interface thread only.
void KeepFaintPartsReadable(QWidget *window);
