#include "controls/tree/TreeImageList.h"

#include <QImage>
#include <QPainter>

CTreeImageList::CTreeImageList(QSize cellSize) : m_cellSize(cellSize) {}

int CTreeImageList::add(const QPixmap &picture)
{
    QPixmap cell = picture;
    if (!cell.isNull() && cell.size() != m_cellSize)
        cell = cell.scaled(m_cellSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    m_images.append(cell);
    return count() - 1;
}

int CTreeImageList::addStrip(const QImage &strip, QColor mask)
{
    const int w = m_cellSize.width();
    const int h = m_cellSize.height();
    if (w < 1 || h < 1 || strip.width() < w || strip.height() < h)
        return -1;
    QImage argb = strip.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = mask.rgb();
    for (int y = 0; y < argb.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(argb.scanLine(y));
        for (int x = 0; x < argb.width(); ++x)
            if ((line[x] | 0xFF000000u) == key)
                line[x] = 0;
    }
    const int first = count();
    for (int x = 0; x + w <= argb.width(); x += w)
        m_images.append(QPixmap::fromImage(argb.copy(x, 0, w, h)));
    return first;
}

QPixmap CTreeImageList::image(int index) const
{
    if (index < 0 || index >= count())
        return {};
    return m_images.at(index);
}

void CTreeImageList::draw(QPainter &painter, int index, QPoint at) const
{
    if (index < 0 || index >= count())
        return;
    painter.drawPixmap(at, m_images.at(index));
}
