// Tri-state check boxes of CExtTree: the state image per item, smart-check
// propagation, hot tracking and the 17-cell image strip.

#include "controls/tree/ExtTree.h"
#include "controls/tree/ExtTreePrivate.h"

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QPainter>
#include <QStyleOptionButton>

namespace {

enum class CheckLook { Unused, Unchecked, Checked, TriState };

struct CheckCell
{
    const char *name;
    CheckLook look;
    bool hot;
    bool disabled;
};

// One row per cell of the strip, in cell order; the hot disabled cells look
// like the disabled ones.
constexpr CheckCell CHECK_IMAGE_CELLS[] = {
    {"unused", CheckLook::Unused, false, false},
    {"unchecked normal", CheckLook::Unchecked, false, false},
    {"checked normal", CheckLook::Checked, false, false},
    {"tri-state normal", CheckLook::TriState, false, false},
    {"unused", CheckLook::Unused, false, false},
    {"unchecked disabled", CheckLook::Unchecked, false, true},
    {"checked disabled", CheckLook::Checked, false, true},
    {"tri-state disabled", CheckLook::TriState, false, true},
    {"unused", CheckLook::Unused, false, false},
    {"unchecked normal", CheckLook::Unchecked, true, false},
    {"checked normal", CheckLook::Checked, true, false},
    {"tri-state normal", CheckLook::TriState, true, false},
    {"unused", CheckLook::Unused, false, false},
    {"unchecked disabled", CheckLook::Unchecked, false, true},
    {"checked disabled", CheckLook::Checked, false, true},
    {"tri-state disabled", CheckLook::TriState, false, true},
    {"unused", CheckLook::Unused, false, false},
};
static_assert(sizeof(CHECK_IMAGE_CELLS) / sizeof(CHECK_IMAGE_CELLS[0]) == CExtTree::CHECK_CELL_COUNT);

// The classic look: a flat box with a tick or a filled square, greyed when disabled.
void drawClassicBox(QPainter &p, const QRect &box, const CheckCell &cell, const QPalette &pal)
{
    const QColor frame = cell.disabled ? pal.color(QPalette::Disabled, QPalette::Text)
                                       : pal.color(QPalette::Active, QPalette::Text);
    const QColor fill = cell.disabled ? pal.color(QPalette::Disabled, QPalette::Button)
                                      : pal.color(QPalette::Active, QPalette::Base);
    p.fillRect(box, fill);
    p.setPen(frame);
    p.drawRect(box.adjusted(0, 0, -1, -1));
    const QRect inner = box.adjusted(3, 3, -3, -3);
    if (cell.look == CheckLook::Checked) {
        p.setPen(QPen(frame, 2));
        p.drawLine(inner.left(), inner.center().y(), inner.center().x(), inner.bottom());
        p.drawLine(inner.center().x(), inner.bottom(), inner.right(), inner.top());
    } else if (cell.look == CheckLook::TriState) {
        p.fillRect(inner, frame);
    }
}

} // namespace

int CExtTree::GetStateImage(QTreeWidgetItem *item) const
{
    return item ? item->data(0, StateImageRole).toInt() : 0;
}

void CExtTree::setStateImage(QTreeWidgetItem *item, int index)
{
    if (item && GetStateImage(item) != index)
        item->setData(0, StateImageRole, index); // the view repaints that row only
}

int CExtTree::GetCheckImageIndex(QTreeWidgetItem *item) const
{
    const EXTTREEDATA *rec = GetItemRecord(item);
    if (!rec)
        return 0;
    int index;
    if (m_smartCheck && rec->descendantCount != 0) {
        if (rec->checkedDescendantCount == 0)
            index = 1;
        else if (rec->checkedDescendantCount == rec->descendantCount)
            index = 2;
        else
            index = 3;
    } else {
        index = rec->isChecked ? 2 : 1;
    }
    if (!rec->enabled)
        index += CHECK_DISABLED_OFFSET;
    return index;
}

void CExtTree::applyCheckDown(QTreeWidgetItem *item, int value)
{
    for (int i = 0; i < item->childCount(); ++i) {
        QTreeWidgetItem *child = item->child(i);
        if (EXTTREEDATA *rec = GetItemRecord(child)) {
            if (rec->separator) {
                setStateImage(child, 0);
            } else if (rec->enabled) {
                rec->isChecked = value;
                rec->checkedDescendantCount = value ? rec->descendantCount : 0;
                setStateImage(child, value ? 2 : 1);
            }
        }
        applyCheckDown(child, value);
    }
}

void CExtTree::updateAncestors(QTreeWidgetItem *item, int delta)
{
    for (QTreeWidgetItem *up = item->parent(); up; up = up->parent()) {
        EXTTREEDATA *rec = GetItemRecord(up);
        if (!rec)
            continue;
        rec->checkedDescendantCount = std::max(0, rec->checkedDescendantCount + delta);
        const int was = rec->isChecked;
        rec->isChecked = rec->checkedDescendantCount == rec->descendantCount ? 1 : 0;
        setStateImage(up, GetCheckImageIndex(up));
        if (rec->isChecked != was)
            delta += rec->isChecked ? 1 : -1;
    }
}

void CExtTree::smartCheckInsert(QTreeWidgetItem *item)
{
    const EXTTREEDATA *rec = GetItemRecord(item);
    const int delta = rec && rec->isChecked ? 1 : 0;
    for (QTreeWidgetItem *up = item->parent(); up; up = up->parent())
        if (EXTTREEDATA *upRec = GetItemRecord(up))
            upRec->descendantCount = std::max(0, upRec->descendantCount + 1);
    updateAncestors(item, delta);
}

void CExtTree::SetCheck(QTreeWidgetItem *item, int value)
{
    EXTTREEDATA *rec = GetItemRecord(item);
    if (!item || !m_checkBoxes || !rec || !rec->enabled || rec->separator)
        return;
    value = value ? 1 : 0;
    const int old = rec->isChecked;
    rec->isChecked = value;
    setStateImage(item, GetCheckImageIndex(item));
    if (m_smartCheck && value != old) {
        const int delta = value ? rec->descendantCount - rec->checkedDescendantCount + 1
                                : -(rec->checkedDescendantCount + 1);
        rec->checkedDescendantCount = value ? rec->descendantCount : 0;
        setStateImage(item, GetCheckImageIndex(item));
        applyCheckDown(item, value);
        updateAncestors(item, delta);
    }
    sendRegistered(WM_EXTTREE_CHECKBOX_CLICKED, item, value);
}

void CExtTree::SetCheckBoxes(bool on)
{
    m_checkBoxes = on;
    if (on)
        BuildCheckImages();
    else
        m_stateImages.clear();
    scheduleDelayedItemsLayout();
    viewport()->update();
}

// ---------------------------------------------------------------------------
// Hot tracking

void CExtTree::updateHot(QPoint pos)
{
    if (!m_checkBoxes)
        return;
    unsigned flags = 0;
    QTreeWidgetItem *item = HitTest(pos, &flags);
    if (!item)
        return;
    if (m_hotCheckItem && (m_hotCheckItem != item || !(flags & TVHT_ONITEMSTATEICON))) {
        setStateImage(m_hotCheckItem, GetCheckImageIndex(m_hotCheckItem));
        m_hotCheckItem = nullptr;
    }
    if (!m_hotCheckItem && (flags & TVHT_ONITEMSTATEICON)) {
        const int index = GetStateImage(item);
        const bool disabled = (index & CHECK_DISABLED_OFFSET) != 0;
        if (index > 0 && index < CHECK_HOT_OFFSET && !disabled) {
            setStateImage(item, index + CHECK_HOT_OFFSET);
            m_hotCheckItem = item;
            startTimerId(TIMER_HOVER);
        }
    }
}

void CExtTree::onHoverTick()
{
    const QPoint pos = viewport()->mapFromGlobal(QCursor::pos());
    if (viewport()->rect().contains(pos))
        return;
    stopTimerId(TIMER_HOVER);
    if (m_hotCheckItem) {
        setStateImage(m_hotCheckItem, GetCheckImageIndex(m_hotCheckItem));
        m_hotCheckItem = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Images

QPixmap CExtTree::drawCheckStrip(int cellSize) const
{
    const int s = cellSize;
    QImage strip(CHECK_CELL_COUNT * s, s, QImage::Format_ARGB32);
    strip.fill(m_windowColour);
    QPainter p(&strip);
    QRect box(1, 1, s - 2, s - 2);
    for (const CheckCell &cell : CHECK_IMAGE_CELLS) {
        if (cell.look != CheckLook::Unused) {
            if (m_themedChecks) {
                QStyleOptionButton opt;
                opt.initFrom(this);
                opt.palette = QApplication::palette(this); // the view's own highlight is blanked
                opt.rect = box;
                opt.state = QStyle::State_None;
                if (!cell.disabled)
                    opt.state |= QStyle::State_Enabled;
                else // styles read the palette's current group, not the state flag
                    opt.palette.setCurrentColorGroup(QPalette::Disabled);
                if (cell.hot)
                    opt.state |= QStyle::State_MouseOver;
                opt.state |= cell.look == CheckLook::Checked ? QStyle::State_On
                    : cell.look == CheckLook::TriState       ? QStyle::State_NoChange
                                                             : QStyle::State_Off;
                style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &opt, &p, this);
            } else {
                drawClassicBox(p, box, cell, QApplication::palette(this));
            }
        }
        box.translate(s, 0);
    }
    p.end();
    return QPixmap::fromImage(strip);
}

bool CExtTree::BuildCheckImages()
{
    const int s = m_checkImageSize;
    m_stateImages.clear();
    if (s < 1)
        return false;
    const QPixmap strip = drawCheckStrip(s);
    if (strip.isNull())
        return false;
    CTreeImageList images(QSize(s, s));
    for (int i = 0; i < CHECK_CELL_COUNT; ++i)
        images.add(strip.copy(i * s, 0, s, s));
    m_stateImages = images;
    return true;
}
