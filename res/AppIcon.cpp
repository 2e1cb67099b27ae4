#include "res/AppIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace res {

namespace {

// Geometry on a 32-unit grid, scaled to the requested size.
constexpr qreal kGrid = 32.0;
const QColor kBodyColour(0x1F, 0x6F, 0x78);
const QColor kBodyEdge(0x0E, 0x3E, 0x44);
const QColor kScreenColour(0xCF, 0xF1, 0xEA);
const QColor kWaveColour(0xE0, 0x6A, 0x1B);
const QColor kTagColour(0xF6, 0xD3, 0x5B);
const QColor kTagEdge(0x8A, 0x6D, 0x12);

constexpr int kIconSizes[] = {16, 24, 32, 48, 64};

void drawReader(QPainter &painter)
{
    // Body with a grip, tilted a little so that it reads as a handheld device.
    painter.save();
    painter.translate(10, 17);
    painter.rotate(-12);
    QPainterPath body;
    body.addRoundedRect(QRectF(-7, -13, 14, 26), 3.5, 3.5);
    painter.setPen(QPen(kBodyEdge, 1.2));
    painter.setBrush(kBodyColour);
    painter.drawPath(body);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kScreenColour);
    painter.drawRoundedRect(QRectF(-4.5, -10, 9, 7), 1.2, 1.2);
    painter.setBrush(kScreenColour.darker(130));
    painter.drawEllipse(QPointF(0, 4), 2.2, 2.2);
    painter.restore();
}

void drawWaves(QPainter &painter)
{
    painter.setBrush(Qt::NoBrush);
    for (int ring = 0; ring < 3; ++ring) {
        const qreal radius = 5.0 + ring * 3.5;
        QPen pen(kWaveColour, 1.6);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        const QRectF arc(17 - radius, 9 - radius, 2 * radius, 2 * radius);
        painter.drawArc(arc, -35 * 16, 70 * 16);
    }
}

void drawTag(QPainter &painter)
{
    painter.setPen(QPen(kTagEdge, 1.0));
    painter.setBrush(kTagColour);
    painter.drawRoundedRect(QRectF(21.5, 19, 9, 11), 1.5, 1.5);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(23.5, 21.5, 5, 6));
}

} // namespace

QPixmap DrawApplicationIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kGrid, size / kGrid);
    drawWaves(painter);
    drawTag(painter);
    drawReader(painter);
    return pixmap;
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (int size : kIconSizes)
        icon.addPixmap(DrawApplicationIcon(size));
    return icon;
}

} // namespace res
