#pragma once

#include <QColor>
#include <cstdint>

// Colours are 32-bit values with red in the low byte, green in the next and blue in the
// third; the high byte is unused.
using ColourRef = std::uint32_t;

QColor ToQColor(ColourRef colour);
