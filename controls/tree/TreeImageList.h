#pragma once

#include <QColor>
#include <QList>
#include <QPixmap>
#include <QSize>

class QImage;
class QPainter;
class QPoint;

// A list of equally sized pictures addressed by index, the tree's normal and
// state image lists. Pictures can be added one by one or cut from a strip
// whose mask colour becomes transparent.
class CTreeImageList
{
public:
    CTreeImageList() = default;
    explicit CTreeImageList(QSize cellSize);

    QSize cellSize() const { return m_cellSize; }
    int count() const { return int(m_images.size()); }
    bool isEmpty() const { return m_images.isEmpty(); }
    void clear() { m_images.clear(); }

    // Appends one picture (scaled to the cell size if it differs); returns its index.
    int add(const QPixmap &picture);
    // Cuts `strip` into cells of the cell size, left to right, turning every
    // pixel of `mask` transparent; returns the index of the first new picture,
    // or -1 when the strip is narrower than one cell.
    int addStrip(const QImage &strip, QColor mask);

    // An out-of-range index gives a null pixmap.
    QPixmap image(int index) const;
    // Draws picture `index` with its top left at `at`; nothing for a bad index.
    void draw(QPainter &painter, int index, QPoint at) const;

private:
    QSize m_cellSize{16, 16};
    QList<QPixmap> m_images;
};
