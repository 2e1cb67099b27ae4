#include "app/ColourRef.h"

QColor ToQColor(ColourRef colour)
{
    return QColor(int(colour & 0xFFu), int((colour >> 8) & 0xFFu), int((colour >> 16) & 0xFFu));
}
