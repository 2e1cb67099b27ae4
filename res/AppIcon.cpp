#include "res/AppIcon.h"

#include <QPainter>
#include <QPainterPath>

#include <vector>

namespace {

// Geometry on a 32-unit grid, scaled to the requested size.
constexpr qreal GRID = 32.0;
const QColor kBodyColour(0x1F, 0x6F, 0x78);
const QColor kBodyEdge(0x0E, 0x3E, 0x44);
const QColor kScreenColour(0xCF, 0xF1, 0xEA);
const QColor kWaveColour(0xE0, 0x6A, 0x1B);
const QColor kTagColour(0xF6, 0xD3, 0x5B);
const QColor kTagEdge(0x8A, 0x6D, 0x12);

constexpr int ICON_SIZES[] = {16, 24, 32, 48, 64};

// One filled and/or stroked outline of the drawing, in grid units. The pixel icons and the
// SVG are both made from this list, so the two cannot drift apart.
struct Shape {
    QPainterPath path;
    QColor fill;     // invalid: not filled
    QColor stroke;   // invalid: not stroked
    qreal strokeWidth = 0;
    Qt::PenCapStyle cap = Qt::SquareCap;
};

// Three waves whose pen is 1.6 units; where that pen would be thinner than a pixel (the
// 16-pixel icon) the three blur into one pale patch, so two waves one pixel wide with a
// pixel between them are drawn instead, their radii whole pixels so that the steep middle of
// each arc lies on one column of pixels (the centre, at 17 units, is a pixel's middle there).
void addWaves(std::vector<Shape> &shapes, qreal pixelsPerUnit)
{
    constexpr qreal PEN = 1.6;
    const bool small = PEN * pixelsPerUnit < 1.0;
    const int rings = small ? 2 : 3;
    const qreal pen = small ? 1.0 / pixelsPerUnit : PEN;
    for (int ring = 0; ring < rings; ++ring) {
        const qreal radius = small ? (3.0 + 2.0 * ring) / pixelsPerUnit : 5.0 + ring * 3.5;
        const QRectF arc(17 - radius, 9 - radius, 2 * radius, 2 * radius);
        QPainterPath path;
        path.arcMoveTo(arc, -35);
        path.arcTo(arc, -35, 70);
        shapes.push_back({path, QColor(), kWaveColour, pen, Qt::RoundCap});
    }
}

void addTag(std::vector<Shape> &shapes)
{
    QPainterPath card;
    card.addRoundedRect(QRectF(21.5, 19, 9, 11), 1.5, 1.5);
    shapes.push_back({card, kTagColour, kTagEdge, 1.0});
    QPainterPath antenna;
    antenna.addRect(QRectF(23.5, 21.5, 5, 6));
    shapes.push_back({antenna, QColor(), kTagEdge, 1.0});
}

void addReader(std::vector<Shape> &shapes)
{
    // Body with a grip, tilted a little so that it reads as a handheld device.
    QTransform tilt;
    tilt.translate(10, 17);
    tilt.rotate(-12);
    QPainterPath body;
    body.addRoundedRect(QRectF(-7, -13, 14, 26), 3.5, 3.5);
    shapes.push_back({tilt.map(body), kBodyColour, kBodyEdge, 1.2});
    QPainterPath screen;
    screen.addRoundedRect(QRectF(-4.5, -10, 9, 7), 1.2, 1.2);
    shapes.push_back({tilt.map(screen), kScreenColour, QColor()});
    QPainterPath button;
    button.addEllipse(QPointF(0, 4), 2.2, 2.2);
    shapes.push_back({tilt.map(button), kScreenColour.darker(130), QColor()});
}

// Back to front: the waves leave the reader from behind it. pixelsPerUnit is the scale the
// drawing is shown at; the SVG, shown at any scale, is drawn for the 32-pixel grid.
std::vector<Shape> iconShapes(qreal pixelsPerUnit)
{
    std::vector<Shape> shapes;
    addWaves(shapes, pixelsPerUnit);
    addTag(shapes);
    addReader(shapes);
    return shapes;
}

QString svgNumber(qreal value)
{
    return QString::number(value, 'g', 6);
}

// Path data of an outline: each closed subpath ends in "Z", so that its stroke is joined at
// the start point rather than capped there.
QString svgPathData(const QPainterPath &path)
{
    QString data;
    int subpathStart = 0;
    const auto closeIfBack = [&](int last) {
        if (last > subpathStart && QPointF(path.elementAt(last)) == QPointF(path.elementAt(subpathStart)))
            data += QStringLiteral(" Z");
    };
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const QString point = svgNumber(e.x) + u' ' + svgNumber(e.y);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            if (i > 0)
                closeIfBack(i - 1);
            subpathStart = i;
            data += (i > 0 ? QStringLiteral(" M") : QStringLiteral("M")) + point;
            break;
        case QPainterPath::LineToElement:
            data += QStringLiteral(" L") + point;
            break;
        case QPainterPath::CurveToElement:
            data += QStringLiteral(" C") + point;
            break;
        case QPainterPath::CurveToDataElement:
            data += u' ' + point;
            break;
        }
    }
    closeIfBack(path.elementCount() - 1);
    return data;
}

} // namespace

QPixmap DrawApplicationIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / GRID, size / GRID);
    for (const Shape &shape : iconShapes(size / GRID)) {
        if (shape.stroke.isValid())
            painter.setPen(QPen(shape.stroke, shape.strokeWidth, Qt::SolidLine, shape.cap));
        else
            painter.setPen(Qt::NoPen);
        painter.setBrush(shape.fill.isValid() ? QBrush(shape.fill) : QBrush(Qt::NoBrush));
        painter.drawPath(shape.path);
    }
    return pixmap;
}

QByteArray ApplicationIconSvg()
{
    const QString side = svgNumber(GRID);
    QString svg = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                                 "viewBox=\"0 0 %1 %1\">\n").arg(side);
    for (const Shape &shape : iconShapes(1.0)) {
        svg += QStringLiteral("  <path d=\"%1\" fill=\"%2\"")
                   .arg(svgPathData(shape.path),
                        shape.fill.isValid() ? shape.fill.name() : QStringLiteral("none"));
        if (shape.stroke.isValid()) {
            // QPen's joins are bevelled; SVG's default would be mitred.
            svg += QStringLiteral(" stroke=\"%1\" stroke-width=\"%2\" stroke-linecap=\"%3\" stroke-linejoin=\"bevel\"")
                       .arg(shape.stroke.name(), svgNumber(shape.strokeWidth),
                            shape.cap == Qt::RoundCap ? QStringLiteral("round") : QStringLiteral("square"));
        }
        svg += QStringLiteral("/>\n");
    }
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (int size : ICON_SIZES)
        icon.addPixmap(DrawApplicationIcon(size));
    return icon;
}
