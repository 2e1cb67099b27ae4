#include "res/Bitmap129.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

constexpr int CELL = BITMAP129_CELL;

const QColor kOutline(0x30, 0x30, 0x30);
const QColor kCardColour(0xF4, 0xF0, 0xD8);
const QColor kAntennaColour(0xB8, 0x6B, 0x1E);
const QColor kChipColour(0x20, 0x20, 0x20);
const QColor kPaperColour(0xFF, 0xFF, 0xFF);
const QColor kBarColour(0x00, 0x00, 0x00);
const QColor kGearColour(0x80, 0x88, 0x90);
const QColor kGearEdge(0x40, 0x44, 0x48);
const QColor kPromptColour(0x00, 0x30, 0xE0);

// Draws into one cell of the strip; coordinates outside the cell are ignored.
class CellPainter
{
public:
    CellPainter(QImage &strip, int cell) : m_strip(strip), m_left(cell * CELL) {}

    void pixel(int x, int y, const QColor &colour)
    {
        if (x >= 0 && x < CELL && y >= 0 && y < CELL)
            m_strip.setPixel(m_left + x, y, colour.rgb());
    }
    void fill(int x0, int y0, int x1, int y1, const QColor &colour) // inclusive corners
    {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                pixel(x, y, colour);
    }
    void frame(int x0, int y0, int x1, int y1, const QColor &colour)
    {
        fill(x0, y0, x1, y0, colour);
        fill(x0, y1, x1, y1, colour);
        fill(x0, y0, x0, y1, colour);
        fill(x1, y0, x1, y1, colour);
    }

private:
    QImage &m_strip;
    int m_left;
};

// A card with a square spiral antenna winding in from its edge and a chip at its end.
void drawRfidTag(CellPainter &p)
{
    p.fill(1, 2, 14, 13, kCardColour);
    p.frame(1, 2, 14, 13, kOutline);
    // Spiral: a polyline of axis-aligned legs, each turn two pixels inside the last.
    static constexpr int SPIRAL[][2] = {{3, 12}, {3, 4}, {12, 4}, {12, 11}, {5, 11},
                                         {5, 6},  {10, 6}, {10, 9}, {7, 9}};
    for (size_t i = 1; i < std::size(SPIRAL); ++i) {
        const int x0 = std::min(SPIRAL[i - 1][0], SPIRAL[i][0]);
        const int x1 = std::max(SPIRAL[i - 1][0], SPIRAL[i][0]);
        const int y0 = std::min(SPIRAL[i - 1][1], SPIRAL[i][1]);
        const int y1 = std::max(SPIRAL[i - 1][1], SPIRAL[i][1]);
        p.fill(x0, y0, x1, y1, kAntennaColour);
    }
    p.fill(7, 7, 8, 8, kChipColour); // the chip at the antenna's inner end
}

// Black bars of different widths on white paper, with a quiet margin.
void drawBarcode(CellPainter &p)
{
    p.fill(1, 2, 14, 13, kPaperColour);
    p.frame(1, 2, 14, 13, kOutline);
    static constexpr int BARS[][2] = {{3, 1}, {5, 2}, {8, 1}, {10, 1}, {12, 1}}; // x, width
    for (const auto &bar : BARS)
        p.fill(bar[0], 4, bar[0] + bar[1] - 1, 11, kBarColour);
}

// A wheel with eight teeth and a hole, decided per pixel from radius and angle.
void drawGear(CellPainter &p)
{
    constexpr double CENTRE = 7.5;
    constexpr double BODY = 5.0;
    constexpr double TIP = 7.4;
    constexpr double HOLE = 2.0;
    constexpr int TEETH = 8;
    const double pi = std::acos(-1.0);
    for (int y = 0; y < CELL; ++y) {
        for (int x = 0; x < CELL; ++x) {
            const double dx = x - CENTRE, dy = y - CENTRE;
            const double r = std::sqrt(dx * dx + dy * dy);
            const double turn = (std::atan2(dy, dx) + pi) / (2 * pi) * TEETH;
            const bool onTooth = turn - std::floor(turn) < 0.5;
            if (r < HOLE)
                continue;
            if (r <= BODY || (onTooth && r <= TIP)) {
                const double rim = onTooth ? TIP : BODY;
                const bool edge = r < HOLE + 1 || r > rim - 1;
                p.pixel(x, y, edge ? kGearEdge : kGearColour);
            }
        }
    }
}

// A thick blue ">" with the cursor line of a command prompt.
void drawPrompt(CellPainter &p)
{
    for (int i = 0; i <= 4; ++i) {
        p.fill(2 + i, 3 + i, 4 + i, 3 + i, kPromptColour);   // down to the point
        p.fill(2 + i, 11 - i, 4 + i, 11 - i, kPromptColour); // back up from the bottom
    }
    p.fill(9, 11, 13, 12, kPromptColour);
}

} // namespace

QImage Bitmap129()
{
    QImage strip(CELL * BITMAP129_CELL_COUNT, CELL, QImage::Format_RGB32);
    strip.fill(BITMAP129_MASK);
    CellPainter tag(strip, BITMAP129_RFID_TAG);
    drawRfidTag(tag);
    CellPainter barcode(strip, BITMAP129_BARCODE);
    drawBarcode(barcode);
    CellPainter gear(strip, BITMAP129_GEAR);
    drawGear(gear);
    CellPainter prompt(strip, BITMAP129_PROMPT);
    drawPrompt(prompt);
    return strip;
}
