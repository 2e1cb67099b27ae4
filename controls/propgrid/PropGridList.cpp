#include "controls/propgrid/PropGridList.h"

#include "controls/propgrid/PropGrid.h"
#include "controls/propgrid/PropGridItem.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <qdrawutil.h>

CPropGridList::CPropGridList(CPropGrid *owner) : QAbstractScrollArea(owner), ownerTree(owner)
{
    setFrameShape(QFrame::NoFrame); // the pane draws its own sunken edge
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::ArrowCursor);
    verticalScrollBar()->setSingleStep(PG_ROW_HEIGHT);
    // Scrolling by the bar takes the keyboard focus first (an open editor commits).
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this,
            [this] { setFocus(Qt::OtherFocusReason); });
}

// ----- geometry

QRect CPropGridList::InnerRect() const
{
    return viewport()->rect().adjusted(PG_FRAME, PG_FRAME, -PG_FRAME, -PG_FRAME);
}

int CPropGridList::ClientHeight() const
{
    return viewport()->height();
}

CPropGridItem *CPropGridList::rowAt(int y) const
{
    const int contentY = y + ownerTree->GetScrollY();
    for (CPropGridItem *row = ownerTree->GetVisibleHead(); row; row = row->GetNextVisible())
        if (contentY >= row->GetPosY() && contentY < row->GetPosY() + row->GetRowHeight())
            return row;
    return nullptr;
}

QRect CPropGridList::rowRect(const CPropGridItem *row) const
{
    return QRect(0, row->GetPosY() - ownerTree->GetScrollY(), viewport()->width(), row->GetRowHeight());
}

int CPropGridList::HitTest(const QPoint &pos, CPropGridItem **rowOut) const
{
    CPropGridItem *row = rowAt(pos.y());
    if (rowOut)
        *rowOut = row;
    if (!row)
        return PGHT_NOWHERE;
    const int splitter = ownerTree->GetSplitter();
    if (!row->IsTopLevel() && qAbs(pos.x() - splitter) <= PG_SPLITTER_GRIP)
        return PGHT_SPLITTER;
    if (pos.x() > splitter + PG_SPLITTER_GRIP)
        return PGHT_VALUE;
    const QPoint content = pos + QPoint(0, ownerTree->GetScrollY());
    if (row->GetExpandRect().contains(content))
        return PGHT_EXPAND;
    if (row->GetCheckRect().contains(content))
        return PGHT_CHECKBOX;
    return PGHT_LABEL;
}

QRect CPropGridList::DragBarRect(int x) const
{
    return QRect(x - PG_DRAG_BAR_HALF, 0, PG_DRAG_BAR_WIDTH, ClientHeight());
}

void CPropGridList::UpdateScrollRange()
{
    const int page = ClientHeight() + 1;
    const int total = ownerTree->ContentHeight();
    QScrollBar *bar = verticalScrollBar();
    // A QScrollBar's maximum is the highest offset, not the content's end.
    bar->setPageStep(page);
    bar->setRange(0, qMax(0, total - page));
    if (total < page && ownerTree->GetScrollY() != 0)
        ownerTree->SetScrollY(0);
    ownerTree->SetSplitter(ownerTree->GetSplitter());
}

void CPropGridList::ScrollTo(int y)
{
    const int highest = qMax(0, ownerTree->ContentHeight() - (ClientHeight() + 1));
    ownerTree->SetScrollY(qBound(0, y, highest));
}

void CPropGridList::scrollContentsBy(int, int)
{
    if (verticalScrollBar()->value() != ownerTree->GetScrollY())
        ownerTree->SetScrollY(verticalScrollBar()->value());
}

// ----- painting

void CPropGridList::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    const QSize client = viewport()->size();
    // The buffer only grows: a smaller pane keeps painting into the larger image.
    if (client.width() > bufferWidth || client.height() > bufferHeight) {
        const qreal ratio = devicePixelRatioF();
        backBuffer = QPixmap(client * ratio);
        backBuffer.setDevicePixelRatio(ratio);
        bufferWidth = client.width();
        bufferHeight = client.height();
    }
    UpdateScrollRange();
    ownerTree->UpdateLayout();
    viewport()->update();
    ownerTree->MoveAllItems();
}

void CPropGridList::PaintBackground(QPainter &painter, const QRect &client)
{
    const QPalette &pal = palette();
    painter.fillRect(client, pal.color(QPalette::Button));
    if (ownerTree->isEnabled())
        painter.fillRect(client.adjusted(PG_FRAME, PG_FRAME, -PG_FRAME, -PG_FRAME), pal.color(QPalette::Base));
    painter.fillRect(QRect(0, 0, PG_MARGIN, client.height()), pal.color(QPalette::Button));
    qDrawWinPanel(&painter, client, pal, true);
}

void CPropGridList::paintEvent(QPaintEvent *event)
{
    // The visible-row chain and the rows' geometry are rebuilt by every paint.
    ownerTree->UpdateLayout();
    const QRect client = viewport()->rect();
    const QRect damaged = event->rect() & client;
    if (backBuffer.isNull() || bufferWidth < client.width() || bufferHeight < client.height()) {
        const qreal ratio = devicePixelRatioF();
        backBuffer = QPixmap(client.size() * ratio);
        backBuffer.setDevicePixelRatio(ratio);
        bufferWidth = client.width();
        bufferHeight = client.height();
    }

    QPainter buffer(&backBuffer);
    buffer.setClipRect(damaged);
    PaintBackground(buffer, client);
    const QRect inner = InnerRect();
    buffer.setClipRect(inner & damaged);
    const bool focus = ownerTree->HasGridFocus();
    for (CPropGridItem *row = ownerTree->GetVisibleHead(); row; row = row->GetNextVisible())
        if (rowRect(row).intersects(damaged))
            row->DrawRow(buffer, inner, focus);
    buffer.end();

    QPainter screen(viewport());
    const qreal ratio = backBuffer.devicePixelRatio();
    const QRectF source(QPointF(damaged.topLeft()) * ratio, QSizeF(damaged.size()) * ratio);
    screen.drawPixmap(QRectF(damaged), backBuffer, source);
    if (dragging) {
        screen.setCompositionMode(QPainter::CompositionMode_Difference);
        screen.fillRect(DragBarRect(dragX) & damaged, Qt::white);
    }
}

// ----- input

bool CPropGridList::event(QEvent *event)
{
    // Tab belongs to the pane (it notifies the parent) rather than moving the focus.
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void CPropGridList::wheelEvent(QWheelEvent *event)
{
    // One line per wheel event, whatever its size; nothing when all rows fit.
    const int delta = event->angleDelta().y();
    if (ownerTree->ContentHeight() >= ClientHeight() && delta != 0) {
        setFocus(Qt::MouseFocusReason);
        ScrollTo(ownerTree->GetScrollY() + (delta > 0 ? -PG_ROW_HEIGHT : PG_ROW_HEIGHT));
    }
    event->accept();
}

bool CPropGridList::ToggleExpanded(CPropGridItem *row)
{
    if (ownerTree->Notify(PGN_EXPANDING, row) || !ownerTree->Contains(row))
        return false;
    row->SetExpanded(!row->IsExpanded());
    UpdateScrollRange();
    ownerTree->UpdateLayout();
    viewport()->update();

    CPropGridItem *focus = ownerTree->GetFocusItem();
    if (!focus)
        return true;
    for (CPropGridItem *shown = ownerTree->GetVisibleHead(); shown; shown = shown->GetNextVisible())
        if (shown == focus)
            return true;
    ownerTree->DropFocus();
    return true;
}

void CPropGridList::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    event->accept();
    setFocus(Qt::MouseFocusReason);
    CPropGridItem *row = nullptr;
    const int hit = HitTest(event->position().toPoint(), &row);
    switch (hit) {
    case PGHT_SPLITTER:
        if (!ownerTree->Notify(PGN_SPLITTERGRAB, nullptr)) {
            dragging = true;
            dragX = ownerTree->GetSplitter();
            viewport()->update(DragBarRect(dragX));
        }
        return;
    case PGHT_EXPAND:
        if (row->GetFirstChild())
            ToggleExpanded(row);
        return;
    case PGHT_CHECKBOX:
        row->SetFlag(PGIF_CHECKED, !row->HasFlag(PGIF_CHECKED));
        ownerTree->Notify(PGN_CHECKTOGGLED, row);
        viewport()->update();
        return;
    default:
        break;
    }
    if (!row) {
        ownerTree->DropFocus();
        return;
    }
    ownerTree->ChangeFocus(row);
    if (hit != PGHT_VALUE || row->IsTopLevel() || !ownerTree->Contains(row))
        return;
    if (!ownerTree->Notify(PGN_VALUECLICK, row) && ownerTree->Contains(row) && !row->IsReadOnly())
        row->Activate();
}

void CPropGridList::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    // Dragging is not limited; the release applies the splitter limits.
    viewport()->update(DragBarRect(dragX));
    dragX = event->position().toPoint().x();
    viewport()->update(DragBarRect(dragX));
}

void CPropGridList::mouseReleaseEvent(QMouseEvent *event)
{
    if (!dragging || event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    viewport()->update(DragBarRect(dragX));
    dragging = false;
    ownerTree->SetSplitter(event->position().toPoint().x());
    ownerTree->MoveAllItems();
    viewport()->update();
}

void CPropGridList::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    event->accept();
    CPropGridItem *row = nullptr;
    const int hit = HitTest(event->position().toPoint(), &row);
    // Only rows with children react to a double click.
    if (!row || !row->GetFirstChild())
        return;
    switch (hit) {
    case PGHT_SPLITTER:
        return;
    case PGHT_CHECKBOX:
        row->SetFlag(PGIF_CHECKED, !row->HasFlag(PGIF_CHECKED));
        ownerTree->Notify(PGN_CHECKTOGGLED, row);
        viewport()->update();
        return;
    case PGHT_VALUE:
        if (!row->IsTopLevel())
            return;
        [[fallthrough]];
    case PGHT_LABEL:
        ownerTree->ChangeFocus(row);
        if (!ownerTree->Contains(row))
            return;
        [[fallthrough]];
    case PGHT_EXPAND:
        ToggleExpanded(row);
        return;
    default:
        return;
    }
}

void CPropGridList::keyPressEvent(QKeyEvent *event)
{
    CPropGridItem *focus = ownerTree->GetFocusItem();
    const bool canCollapse = focus && focus->GetFirstChild() && focus->IsExpanded();
    const bool canExpand = focus && focus->GetFirstChild() && !focus->IsExpanded();
    switch (event->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        ownerTree->Notify(PGN_TABOUT, nullptr, event->key() == Qt::Key_Backtab ? PGN_TABOUT_BACKWARD : 0);
        break;
    case Qt::Key_Escape:
        ownerTree->Notify(PGN_ESCAPE, nullptr);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!focus || focus->IsTopLevel() || focus->IsReadOnly())
            ownerTree->Notify(PGN_SENDCOMMAND, nullptr);
        else
            focus->Activate();
        break;
    case Qt::Key_Space:
        ownerTree->Notify(PGN_SENDCOMMAND, nullptr);
        break;
    case Qt::Key_Home:
        ownerTree->MoveFocusFirst();
        break;
    case Qt::Key_End:
        ownerTree->MoveFocusLast();
        break;
    case Qt::Key_Left:
        if (!canCollapse || !ToggleExpanded(focus))
            ownerTree->MoveFocusPrev();
        break;
    case Qt::Key_Up:
        ownerTree->MoveFocusPrev();
        break;
    case Qt::Key_Right:
        if (!canExpand || !ToggleExpanded(focus))
            ownerTree->MoveFocusNext();
        break;
    case Qt::Key_Down:
        ownerTree->MoveFocusNext();
        break;
    default:
        // Other keys are not the pane's: the parent may use them.
        event->ignore();
        return;
    }
    event->accept();
}

void CPropGridList::focusInEvent(QFocusEvent *event)
{
    viewport()->update();
    QAbstractScrollArea::focusInEvent(event);
}

void CPropGridList::focusOutEvent(QFocusEvent *event)
{
    viewport()->update();
    QAbstractScrollArea::focusOutEvent(event);
}
