#pragma once

#include "controls/propgrid/PropGridConstants.h"

#include <QAbstractScrollArea>
#include <QPixmap>

class CPropGrid;
class CPropGridItem;

// The row pane of the property grid: paints the rows through the items' own
// drawing into a back buffer, scrolls vertically, drags the column splitter
// and turns mouse and keys into focus moves, expansion, check toggles, editing
// and notifications. Rows, focus, splitter and scroll offset live in the grid;
// coordinates here are viewport (client) coordinates.
class CPropGridList : public QAbstractScrollArea
{
    Q_OBJECT
public: // API
    explicit CPropGridList(CPropGrid *owner);

    // The row under client y, or null.
    CPropGridItem *rowAt(int y) const;
    // The band a laid-out row covers, client coordinates.
    QRect rowRect(const CPropGridItem *row) const;
    // One of the PGHT_* codes; `row` receives the row under the point.
    int HitTest(const QPoint &pos, CPropGridItem **row = nullptr) const;
    // The client area inside the sunken frame.
    QRect InnerRect() const;
    // Scroll range from the rows' total height; page = client height + 1.
    void UpdateScrollRange();
    // Expands or collapses `row` unless vetoed (false), then drops a focus
    // that went out of sight.
    bool ToggleExpanded(CPropGridItem *row);
    bool IsDragging() const { return dragging; }
    int GetDragX() const { return dragX; }

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    int ClientHeight() const;
    void ScrollTo(int y);
    QRect DragBarRect(int x) const;
    void PaintBackground(QPainter &painter, const QRect &client);

    CPropGrid *ownerTree;
    QPixmap backBuffer;
    int bufferWidth = 0;
    int bufferHeight = 0;
    int dragX = 0;
    bool dragging = false;
};
