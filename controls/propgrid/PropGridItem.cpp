#include "controls/propgrid/PropGridItem.h"

#include "controls/propgrid/PropGrid.h"
#include "controls/propgrid/PropGridList.h"
#include "controls/common/ReadableColours.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

CPropGridItem::CPropGridItem() = default;
CPropGridItem::~CPropGridItem() = default;

void CPropGridItem::DrawValue(QPainter &, const QRect &) {}
int CPropGridItem::GetRowHeight() const { return PG_ROW_HEIGHT; }
QVariant CPropGridItem::GetValue() const { return {}; }
void CPropGridItem::SetValue(const QVariant &) {}
void CPropGridItem::OnMove() {}
void CPropGridItem::OnRefresh() {}
void CPropGridItem::OnCommit() {}
void CPropGridItem::OnActivate() {}

void CPropGridItem::SetFlag(quint32 bit, bool on)
{
    flags = on ? (flags | bit) : (flags & ~bit);
}

bool CPropGridItem::IsTopLevel() const
{
    return parent && ownerTree && parent == ownerTree->GetRoot();
}

void CPropGridItem::Activate()
{
    activated = true;
    committed = false;
    OnActivate();
}

void CPropGridItem::Commit()
{
    activated = false;
    if (committed)
        return;
    committed = true;
    OnCommit();
    CPropGrid *grid = ownerTree;
    if (!grid)
        return;
    grid->Notify(PGN_VALUECOMMITTED, this);
    // The parent may have removed this row while handling the notification.
    if (!grid->Contains(this))
        return;
    RefreshSubtree();
    grid->RefreshAll();
}

void CPropGridItem::RefreshSubtree()
{
    OnRefresh();
    for (CPropGridItem *child = firstChild; child; child = child->nextSibling)
        child->RefreshSubtree();
}

int CPropGridItem::GetTotalHeight() const
{
    int height = GetRowHeight();
    if (IsExpanded())
        for (const CPropGridItem *child = firstChild; child; child = child->nextSibling)
            height += child->GetTotalHeight();
    return height;
}

void CPropGridItem::DrawRow(QPainter &painter, const QRect &inner, bool hasFocus) const
{
    const QPalette &pal = ownerTree->palette();
    const bool topLevel = IsTopLevel();
    const int h = GetRowHeight();
    const int top = posY - ownerTree->GetScrollY();
    const QRect labelArea = ownerTree->LabelArea(this);

    if (topLevel)
        painter.fillRect(QRect(inner.left(), top, inner.width(), h), pal.color(QPalette::Button));
    if (firstChild)
        DrawExpandButton(painter, top);

    painter.save();
    if (!topLevel)
        painter.setClipRect(labelArea, Qt::IntersectClip);
    if (!label.isEmpty())
        DrawLabel(painter, labelArea, hasFocus);
    if (HasFlag(PGIF_CHECKBOX)) {
        QStyleOptionButton option;
        option.initFrom(ownerTree->GetListPane());
        option.rect = checkRect.translated(0, -ownerTree->GetScrollY());
        option.state |= HasFlag(PGIF_CHECKED) ? QStyle::State_On : QStyle::State_Off;
        QApplication::style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, &painter);
    }
    painter.restore();

    // Dotted line along the row's last pixel line.
    const int bottom = top + h - 1;
    const int dots = (inner.right() + 1 - PG_MARGIN + 1) / PG_DOT_STEP;
    painter.setPen(pal.color(QPalette::Dark));
    for (int i = 0; i < dots; ++i)
        painter.drawPoint(PG_MARGIN + i * PG_DOT_STEP, bottom);

    if (topLevel)
        return;
    const int splitter = ownerTree->GetSplitter();
    painter.setPen(pal.color(QPalette::Dark));
    painter.drawLine(splitter, top, splitter, bottom);
    painter.setPen(pal.color(QPalette::Light));
    painter.drawLine(splitter + 1, top, splitter + 1, bottom);
    painter.save();
    painter.setClipRect(valueRect, Qt::IntersectClip);
    const_cast<CPropGridItem *>(this)->DrawValue(painter, valueRect);
    painter.restore();
}

void CPropGridItem::DrawExpandButton(QPainter &painter, int top) const
{
    const QPalette &pal = ownerTree->palette();
    const int m = GetRowHeight() / 2 - PG_BUTTON_CENTRE_SHIFT;
    const QPoint origin(PG_EXPAND_X, top + m);
    if (!IsTopLevel())
        painter.fillRect(QRect(origin, QSize(PG_EXPAND_BOX, PG_EXPAND_BOX)), pal.color(QPalette::Base));
    painter.setPen(pal.color(QPalette::Dark));
    // A stroked QRect covers its size plus one pixel: 9 by 9 pixels.
    painter.drawRect(QRect(origin, QSize(PG_EXPAND_BOX - 1, PG_EXPAND_BOX - 1)));
    painter.setPen(pal.color(QPalette::Text));
    painter.drawLine(origin + QPoint(PG_EXPAND_BAR_FROM, PG_EXPAND_BAR_MID),
                     origin + QPoint(PG_EXPAND_BAR_TO, PG_EXPAND_BAR_MID));
    if (!IsExpanded())
        painter.drawLine(origin + QPoint(PG_EXPAND_BAR_MID, PG_EXPAND_BAR_FROM),
                         origin + QPoint(PG_EXPAND_BAR_MID, PG_EXPAND_BAR_TO));
}

void CPropGridItem::DrawLabel(QPainter &painter, const QRect &labelArea, bool hasFocus) const
{
    const QPalette &pal = ownerTree->palette();
    const QFont &font = IsTopLevel() ? GetOwnerTree()->BoldFont() : GetOwnerTree()->NormalFont();
    painter.setFont(font);
    // A top-level row stands on the button colour, the others on the grid's base colour.
    QColor text = pal.color(IsTopLevel() ? QPalette::ButtonText : QPalette::Text);

    // The text rectangle is fitted to the text's width; it keeps the row's
    // height so that labels and values share one centre line.
    int left = labelArea.left() + PG_LABEL_GAP;
    if (HasFlag(PGIF_CHECKBOX))
        left += PG_CHECK_TEXT_SHIFT;
    const int width = QFontMetrics(font).horizontalAdvance(label);
    const QRect textRect(left, labelArea.top(), width, labelArea.height());

    if (IsSelected()) {
        const ColourPair selection =
            hasFocus ? ColourPair{pal.color(QPalette::Active, QPalette::Highlight),
                                            pal.color(QPalette::Active, QPalette::HighlightedText)}
                     : InactiveSelection(pal);
        painter.fillRect(QRect(QPoint(PG_MARGIN, labelArea.top()), labelArea.bottomRight()), selection.back);
        text = selection.text;
    }
    if (!ownerTree->isEnabled())
        text = pal.color(QPalette::Disabled, QPalette::Text);
    painter.setPen(text);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, label);
}

void CPropGridItemStatic::DrawValue(QPainter &painter, const QRect &valueRect)
{
    painter.setFont(GetOwnerTree()->NormalFont());
    painter.setPen(GetOwnerTree()->palette().color(QPalette::Text));
    painter.drawText(valueRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, valueText);
}

QVariant CPropGridItemStatic::GetValue() const
{
    return valueText;
}

void CPropGridItemStatic::SetValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::QString)
        valueText = value.toString();
}
