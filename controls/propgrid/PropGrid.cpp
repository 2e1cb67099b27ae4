#include "controls/propgrid/PropGrid.h"

#include "controls/propgrid/PropGridAccessible.h"
#include "controls/propgrid/PropGridList.h"
#include "controls/common/NotifyEvent.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <qdrawutil.h>

// ---------------------------------------------------------------------------
// CPropGridInfo

CPropGridInfo::CPropGridInfo(CPropGrid *owner) : QWidget(owner), m_owner(owner) {}

QString CPropGridInfo::TitleText() const
{
    const CPropGridItem *focus = m_owner->GetFocusItem();
    return focus ? focus->GetLabel() : QString::fromLatin1(PG_NO_FOCUS_TITLE);
}

QString CPropGridInfo::BodyText() const
{
    const CPropGridItem *focus = m_owner->GetFocusItem();
    return focus ? focus->GetInfo() : QString::fromLatin1(PG_NO_FOCUS_TEXT);
}

void CPropGridInfo::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QPalette &pal = palette();
    QRect area = rect();
    painter.fillRect(area, pal.color(QPalette::Button));
    qDrawShadeRect(&painter, area, pal, true, 1);
    area.adjust(PG_INFO_PADDING, PG_INFO_PADDING, -PG_INFO_PADDING, -PG_INFO_PADDING);

    painter.setPen(m_owner->isEnabled() ? pal.color(QPalette::ButtonText)
                                        : pal.color(QPalette::Disabled, QPalette::Text));
    painter.setFont(m_owner->BoldFont());
    const QString title = TitleText();
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine;
    const QRect titleRect = painter.boundingRect(area, flags, title);
    painter.drawText(titleRect, flags, title);

    painter.setFont(m_owner->NormalFont());
    const QRect bodyRect(QPoint(area.left(), titleRect.bottom() + 1), area.bottomRight());
    painter.drawText(bodyRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, BodyText());
}

// ---------------------------------------------------------------------------
// CPropGrid

CPropGrid::CPropGrid(QWidget *parent, quint32 style, int controlId)
    : QWidget(parent), m_style(style), m_controlId(controlId)
{
    m_boldFont = font();
    m_boldFont.setWeight(QFont::Bold);
    root.ownerTree = this;
    root.SetExpanded(true);
    listPane = new CPropGridList(this);
    infoPane = new CPropGridInfo(this);
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(listPane);
    InstallPropGridAccessibility();
}

CPropGrid::~CPropGrid()
{
    // Rows go without notifications: the parent may be half destroyed
    // already, and a veto now would only leak the rows.
    RemoveSubtree(&root, false);
    focusItem = nullptr;
    visibleHead = nullptr;
}

qintptr CPropGrid::Notify(int code, CPropGridItem *item, qintptr param)
{
    if (!(m_style & PGS_NOTIFY))
        return 0;
    CNotifyEvent event(CNotifyEvent::notifyType(), this, m_controlId, code, item, nullptr, param);
    return SendNotify(parentWidget(), event);
}

void CPropGrid::resizeEvent(QResizeEvent *)
{
    LayoutPanes();
}

void CPropGrid::LayoutPanes()
{
    const int width = this->width();
    const int height = this->height();
    const int listHeight = qMax(0, height - infoHeight);
    listPane->setGeometry(0, 0, width, listHeight);
    infoPane->setGeometry(0, listHeight, width, height - listHeight);
}

void CPropGrid::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange) {
        m_boldFont = font();
        m_boldFont.setWeight(QFont::Bold);
    }
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange
        || event->type() == QEvent::FontChange) {
        listPane->viewport()->update();
        infoPane->update();
    }
    QWidget::changeEvent(event);
}

void CPropGrid::SetInfoHeight(int height)
{
    infoHeight = qMax(0, height);
    LayoutPanes();
}

bool CPropGrid::HasGridFocus() const
{
    return hasFocus() || listPane->hasFocus();
}

// ----- tree

CPropGridItem *CPropGrid::AddItem(CPropGridItem *item, CPropGridItem *parent)
{
    if (!item || item == &root || item->ownerTree)
        return nullptr;
    if (!parent)
        parent = &root;
    else if (parent->ownerTree != this)
        return nullptr;

    CPropGridItem **link = &parent->firstChild;
    while (*link)
        link = &(*link)->nextSibling;
    *link = item;
    item->parent = parent;
    item->ownerTree = this;
    item->itemId = nextItemId++;
    Notify(PGN_ITEMADDED, item);
    RefreshAll();
    return item;
}

bool CPropGrid::RemoveItem(CPropGridItem *item)
{
    if (!item)
        item = &root;
    else if (item->ownerTree != this)
        return false;
    const bool removed = RemoveSubtree(item, true);
    RefreshAll();
    return removed;
}

bool CPropGrid::RemoveSubtree(CPropGridItem *item, bool notify)
{
    if (item != &root && notify && Notify(PGN_ITEMREMOVING, item))
        return false;
    bool allRemoved = true;
    CPropGridItem *child = item->firstChild;
    while (child) {
        CPropGridItem *next = child->nextSibling;
        if (!RemoveSubtree(child, notify))
            allRemoved = false;
        else if (notify)
            listPane->UpdateScrollRange();
        child = next;
    }
    // A row whose child refused to go stays as well, holding that child.
    if (item == &root || !allRemoved)
        return allRemoved;
    Unlink(item);
    if (item == focusItem)
        focusItem = nullptr;
    delete item;
    return true;
}

void CPropGrid::Unlink(CPropGridItem *item)
{
    if (!item->parent)
        return;
    CPropGridItem **link = &item->parent->firstChild;
    while (*link && *link != item)
        link = &(*link)->nextSibling;
    if (*link)
        *link = item->nextSibling;
    item->parent = nullptr;
    item->nextSibling = nullptr;
    item->nextVisible = nullptr;
    // Keep the chain free of the unlinked row until the next layout.
    UpdateLayout();
}

bool CPropGrid::ForEachItem(CPropGridItem *start, const std::function<bool(CPropGridItem *)> &callback)
{
    if (!start || !callback)
        return false;
    if (start != &root && !callback(start))
        return false;
    for (CPropGridItem *child = start->firstChild; child; child = child->nextSibling)
        if (!ForEachItem(child, callback))
            return false;
    return true;
}

bool CPropGrid::Contains(const CPropGridItem *item)
{
    if (!item)
        return false;
    return !ForEachItem(&root, [item](CPropGridItem *each) { return each != item; });
}

void CPropGrid::ClearAllMarks()
{
    ForEachItem(&root, [](CPropGridItem *each) {
        each->SetSelected(false);
        return true;
    });
}

void CPropGrid::MoveAllItems()
{
    ForEachItem(&root, [](CPropGridItem *each) {
        each->OnMove();
        return true;
    });
}

// ----- geometry

void CPropGrid::UpdateLayout()
{
    visibleHead = nullptr;
    CPropGridItem *tail = nullptr;
    int y = 0;
    for (CPropGridItem *row = root.firstChild; row; row = row->nextSibling)
        y += PlaceRow(row, 0, y, tail);
}

int CPropGrid::PlaceRow(CPropGridItem *item, int x, int y, CPropGridItem *&tail)
{
    item->nextVisible = nullptr;
    (tail ? tail->nextVisible : visibleHead) = item;
    tail = item;
    item->posX = x;
    item->posY = y;

    const int h = item->GetRowHeight();
    const int right = listPane->InnerRect().right() + 1;
    const int valueLeft = splitterX + PG_SPLITTER_GRIP;
    item->valueRect = QRect(valueLeft, y - scrollY, right - valueLeft, h - 1);

    const int m = h / 2 - PG_BUTTON_CENTRE_SHIFT;
    item->expandRect = item->firstChild ? QRect(PG_EXPAND_X, y + m, PG_EXPAND_HIT, PG_EXPAND_HIT) : QRect();
    const int labelLeft = x + PG_MARGIN;
    item->checkRect = item->HasFlag(PGIF_CHECKBOX)
                          ? QRect(labelLeft + PG_CHECK_OFFSET, y + m, PG_CHECK_SIZE, PG_CHECK_SIZE)
                          : QRect();

    int height = h;
    if (item->IsExpanded()) {
        const int childX = item->IsTopLevel() ? x : x + PG_MARGIN;
        for (CPropGridItem *child = item->firstChild; child; child = child->nextSibling)
            height += PlaceRow(child, childX, y + height, tail);
    }
    return height;
}

QRect CPropGrid::LabelArea(const CPropGridItem *item) const
{
    const int right = item->IsTopLevel() ? listPane->InnerRect().right() + 1 : splitterX;
    const int left = item->posX + PG_MARGIN;
    return QRect(left, item->posY - scrollY, right - left, item->GetRowHeight());
}

int CPropGrid::ContentHeight() const
{
    int total = root.GetRowHeight();
    for (const CPropGridItem *row = root.firstChild; row; row = row->nextSibling)
        total += row->GetTotalHeight();
    return total;
}

void CPropGrid::RefreshAll()
{
    UpdateLayout();
    listPane->UpdateScrollRange();
    listPane->viewport()->update();
    infoPane->update();
}

void CPropGrid::SetSplitter(int x)
{
    // A hidden pane has no real size yet (Qt lays it out when shown): the
    // right limit is applied by the resize that showing brings.
    const int width = listPane->isVisible() ? listPane->viewport()->width() : 0;
    if (width > 0 && x >= width - PG_MARGIN)
        splitterX = width - PG_MARGIN;
    else
        splitterX = qMax(x, PG_MARGIN);
    UpdateLayout();
    listPane->viewport()->update();
}

void CPropGrid::SetScrollY(int y)
{
    scrollY = y;
    QScrollBar *bar = listPane->verticalScrollBar();
    if (bar->value() != y)
        bar->setValue(y);
    UpdateLayout();
    listPane->viewport()->update();
}

// ----- focus

void CPropGrid::SetFocusItem(CPropGridItem *item)
{
    if (item && item->ownerTree != this)
        return;
    focusItem = item;
    if (item)
        ScrollIntoView(item);
    listPane->viewport()->update();
    infoPane->update();
}

void CPropGrid::ScrollIntoView(CPropGridItem *item)
{
    if (!item || item == &root || item->ownerTree != this)
        return;
    bool shown = false;
    for (const CPropGridItem *row = visibleHead; row && !shown; row = row->nextVisible)
        shown = row == item;
    if (!shown) {
        for (CPropGridItem *up = item->parent; up; up = up->parent)
            up->SetExpanded(true);
        RefreshAll();
    }

    const QRect client = listPane->viewport()->rect();
    const int h = item->GetRowHeight();
    const QRect seen(client.left(), client.top() + scrollY, client.width(), client.height() - h);
    if (seen.contains(QPoint(item->posX, item->posY)))
        return;
    const int target = item->posY < seen.top() ? item->posY : item->posY + 2 * h - client.height();
    listPane->setFocus(Qt::OtherFocusReason);
    // Short content has no room to scroll: the offset never goes below 0.
    const int highest = qMax(0, ContentHeight() - client.height() - 1);
    SetScrollY(qBound(0, target, highest));
}

void CPropGrid::ChangeFocus(CPropGridItem *row)
{
    CPropGridItem *old = focusItem;
    ClearAllMarks();
    focusItem = row;
    ScrollIntoView(row);
    row->SetSelected(true);
    listPane->viewport()->update();
    infoPane->update();
    if (old != row) {
        AnnouncePropGridFocus(this);
        Notify(PGN_FOCUSCHANGED, row);
    }
}

void CPropGrid::DropFocus()
{
    ClearAllMarks();
    focusItem = nullptr;
    listPane->viewport()->update();
    infoPane->update();
    Notify(PGN_FOCUSCHANGED, nullptr);
}

CPropGridItem *CPropGrid::LastVisible() const
{
    CPropGridItem *last = visibleHead;
    while (last && last->nextVisible)
        last = last->nextVisible;
    return last;
}

void CPropGrid::MoveFocusFirst()
{
    if (visibleHead)
        ChangeFocus(visibleHead);
}

void CPropGrid::MoveFocusLast()
{
    if (CPropGridItem *last = LastVisible())
        ChangeFocus(last);
}

void CPropGrid::MoveFocusPrev()
{
    if (!focusItem) {
        MoveFocusLast();
        return;
    }
    CPropGridItem *before = nullptr;
    for (CPropGridItem *row = visibleHead; row && row != focusItem; row = row->nextVisible)
        before = row;
    if (before)
        ChangeFocus(before);
}

void CPropGrid::MoveFocusNext()
{
    if (!focusItem) {
        MoveFocusFirst();
        return;
    }
    if (focusItem->nextVisible)
        ChangeFocus(focusItem->nextVisible);
}
