// Geometry and item drawing of CExtTree. The view draws lines and expand
// buttons; the control paints each row's background, its images and the label
// area, and records where each item's text ends.

#include "controls/tree/ExtTree.h"
#include "controls/tree/ExtTreePrivate.h"
#include "controls/common/ReadableColours.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QPalette>

// ---------------------------------------------------------------------------
// Geometry: the single source of every rectangle handlers and painting use.

QTreeWidgetItem *CExtTree::rowAt(int y) const
{
    return itemAt(QPoint(header()->sectionViewportPosition(0), y));
}

QRect CExtTree::rowRect(QTreeWidgetItem *item) const
{
    const QRect cell = item ? visualItemRect(item) : QRect();
    if (cell.isEmpty())
        return {};
    return QRect(0, cell.top(), viewport()->width(), cell.height());
}

QRect CExtTree::buttonRect(QTreeWidgetItem *item) const
{
    const QRect cell = item ? visualItemRect(item) : QRect();
    if (cell.isEmpty() || item->childCount() == 0)
        return {};
    return QRect(cell.left() - indentation(), cell.top(), indentation(), cell.height());
}

QRect CExtTree::stateRect(QTreeWidgetItem *item) const
{
    const QRect cell = item ? visualItemRect(item) : QRect();
    if (cell.isEmpty() || !m_checkBoxes || m_stateImages.isEmpty())
        return QRect(cell.left(), cell.top(), 0, cell.height());
    const int s = m_checkImageSize;
    return QRect(cell.left() + STATE_GAP, cell.top() + (cell.height() - s) / 2, s, s);
}

int CExtTree::imageWidth() const
{
    return m_images.isEmpty() ? 0 : m_images.cellSize().width();
}

QRect CExtTree::iconRect(QTreeWidgetItem *item) const
{
    const QRect state = stateRect(item);
    const QRect cell = item ? visualItemRect(item) : QRect();
    const int left = state.width() > 0 ? state.right() + 1 + STATE_GAP : cell.left();
    int width = imageWidth();
    if (!item || item->data(0, ImageRole).toInt() == NO_IMAGE)
        width = 0;
    const int h = m_images.cellSize().height();
    return QRect(left, cell.top() + (cell.height() - h) / 2, width, width ? h : 0);
}

QRect CExtTree::labelRect(QTreeWidgetItem *item) const
{
    const QRect row = rowRect(item);
    if (row.isEmpty())
        return {};
    const QRect state = stateRect(item);
    int left = (state.width() > 0 ? state.right() + 1 + STATE_GAP : state.left()) + imageWidth()
        + LABEL_GAP;
    // Without an image the text takes the place where the image would be.
    if (item->data(0, ImageRole).toInt() == NO_IMAGE)
        left -= imageWidth();
    return QRect(QPoint(left, row.top()), QPoint(row.right(), row.bottom()));
}

QRect CExtTree::textRect(QTreeWidgetItem *item) const
{
    QRect r = labelRect(item);
    if (r.isEmpty())
        return {};
    int right = r.left();
    if (const EXTTREEDATA *rec = GetItemRecord(item))
        right = rec->textRight;
    else
        right = r.left() + fontMetrics().horizontalAdvance(item->text(0));
    r.setRight(right - 1);
    return r;
}

QRect CExtTree::editBoxRect(QTreeWidgetItem *item) const
{
    QRect r = textRect(item);
    if (r.isNull())
        return {};
    r.adjust(-EDIT_BOX_GROW, -EDIT_BOX_GROW, EDIT_BOX_GROW, EDIT_BOX_GROW);
    r.translate(-1, -1);
    r.setLeft(std::max(0, r.left()));
    r.setRight(viewport()->width() - 2); // right edge = client right - 1, exclusive
    return r;
}

QTreeWidgetItem *CExtTree::HitTest(QPoint pos, unsigned *flags) const
{
    unsigned f = TVHT_NOWHERE;
    QTreeWidgetItem *item = pos.x() >= 0 && pos.x() < viewport()->width() ? rowAt(pos.y()) : nullptr;
    if (item) {
        const int x = pos.x();
        auto inX = [x](const QRect &r) { return r.width() > 0 && x >= r.left() && x <= r.right(); };
        const QRect text = textRect(item);
        if (inX(buttonRect(item)))
            f = TVHT_ONITEMBUTTON;
        else if (inX(stateRect(item)))
            f = TVHT_ONITEMSTATEICON;
        else if (inX(iconRect(item)))
            f = TVHT_ONITEMICON;
        else if (x >= labelRect(item).left() && x <= text.right())
            f = TVHT_ONITEMLABEL;
        else if (x < labelRect(item).left())
            f = TVHT_ONITEMINDENT;
        else
            f = TVHT_ONITEMRIGHT;
    }
    if (flags)
        *flags = f;
    return item;
}

// ---------------------------------------------------------------------------
// Colours

void CExtTree::readSystemColours()
{
    const QPalette pal = QApplication::palette(this);
    m_windowColour = pal.color(QPalette::Active, QPalette::Base);
    m_windowTextColour = pal.color(QPalette::Active, QPalette::Text);
    m_disabledTextColour = pal.color(QPalette::Disabled, QPalette::Text);
    // Some styles give disabled text the normal text colour; a grey that
    // differs from both text and window keeps "no focus" visible.
    if (m_disabledTextColour == m_windowTextColour || m_disabledTextColour == m_windowColour)
        m_disabledTextColour = QColor(Qt::gray);
    m_selectionColour = pal.color(QPalette::Active, QPalette::Highlight);
    m_selectionTextColour = pal.color(QPalette::Active, QPalette::HighlightedText);
    const ColourPair inactive = InactiveSelection(pal);
    m_inactiveSelectionColour = inactive.back;
    m_inactiveSelectionTextColour = inactive.text;
    m_separatorColour = m_disabledTextColour;

    // The view would paint its own selection panel beside the label (in the
    // branch area); the control shows the selection only as the box behind the
    // text, so the view's highlight is made the window colour.
    QPalette own = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        own.setColor(group, QPalette::Highlight, own.color(group, QPalette::Base));
        own.setColor(group, QPalette::HighlightedText, own.color(group, QPalette::Text));
    }
    if (own != palette())
        setPalette(own);
}

void CExtTree::updateRow(QTreeWidgetItem *item)
{
    const QRect r = rowRect(item);
    if (!r.isEmpty())
        viewport()->update(r);
}

// ---------------------------------------------------------------------------
// Painting

void CExtTree::drawRow(QPainter *painter, const QStyleOptionViewItem &option,
                       const QModelIndex &index) const
{
    // Item pre-paint: the whole row in the window colour. The view's own
    // selection and hover panels are left out: the control shows the selection
    // as a box behind the text only.
    painter->fillRect(QRect(0, option.rect.top(), viewport()->width(), option.rect.height()),
                      m_windowColour);
    QStyleOptionViewItem opt = option;
    opt.state &= ~(QStyle::State_Selected | QStyle::State_MouseOver | QStyle::State_HasFocus);
    opt.showDecorationSelected = false;
    QTreeWidget::drawRow(painter, opt, index);
}

void CExtTree::firstPaintSetup()
{
    if (m_toolTipsEnabled)
        LayoutToolStrips();
    if (m_images.isEmpty())
        m_hasImages = false;
    m_firstPaint = false;
}

void CExtTree::paintItem(QPainter *painter, const QStyleOptionViewItem &, QTreeWidgetItem *item)
{
    if (!item)
        return;
    if (m_firstPaint)
        firstPaintSetup();

    const bool selected = item == GetSelectedItem();
    if (m_checkBoxes) {
        const QRect state = stateRect(item);
        m_stateImages.draw(*painter, GetStateImage(item), state.topLeft());
    }
    const int image = item->data(0, selected ? SelectedImageRole : ImageRole).toInt();
    if (image != NO_IMAGE)
        m_images.draw(*painter, image, iconRect(item).topLeft());

    EXTTREEDATA *rec = GetItemRecord(item);
    QColor text = m_windowTextColour;
    QColor rowBack = m_windowColour;
    QColor textBack = m_windowColour;
    if (rec) {
        text = rec->textColour;
        rowBack = rec->backColour;
        textBack = rec->textBackColour;
        if (selected)
            textBack = hasFocus() ? m_selectionColour : m_inactiveSelectionColour;
        if (!rec->enabled)
            text = m_disabledTextColour;
        else if (selected)
            text = hasFocus() ? m_selectionTextColour : m_inactiveSelectionTextColour;
    }
    if (!rowBack.isValid())
        rowBack = m_windowColour;

    const QRect label = labelRect(item);
    if (rec && rec->separator) {
        if (!text.isValid())
            text = m_separatorColour;
        if (selected)
            rowBack = m_selectionColour;
        drawSeparator(painter, item, label, text, rowBack);
    } else {
        if (!text.isValid())
            text = m_windowTextColour;
        drawItemText(painter, item, label, text, textBack, rowBack);
    }
}

int CExtTree::drawItemText(QPainter *painter, QTreeWidgetItem *item, const QRect &rect, QColor text,
                           QColor textBack, QColor rowBack)
{
    if (!painter || !item || rect.isEmpty())
        return 0;
    painter->fillRect(rect, rowBack);
    EXTTREEDATA *rec = GetItemRecord(item);
    const QString s = item->text(0);
    if (!rec || s.isEmpty())
        return 0;

    QFont font = painter->font();
    font.setWeight(rec->bold ? QFont::Bold : QFont::Normal);
    font.setItalic(rec->italic);
    font.setUnderline(rec->underline);
    font.setStrikeOut(rec->strikeOut);
    const QFontMetrics fm(font);
    // The box behind the text is exactly as wide as the text: that is the
    // selection highlight. The text is drawn as stored, on one line, with no
    // mnemonic or mark-up processing.
    const int width = fm.horizontalAdvance(s);
    const int height = std::min(fm.height(), rect.height());
    const QRect box(rect.left(), rect.top() + (rect.height() - height) / 2, width, height);
    painter->save();
    painter->setFont(font);
    painter->fillRect(box, textBack.isValid() ? textBack : rowBack);
    painter->setPen(text);
    painter->drawText(box, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, s);
    painter->restore();
    rec->textRight = box.left() + width;
    return rec->textRight;
}

int CExtTree::drawSeparator(QPainter *painter, QTreeWidgetItem *item, const QRect &rect, QColor line,
                            QColor rowBack)
{
    if (!painter || !item || rect.isEmpty())
        return 0;
    painter->fillRect(rect, rowBack);
    EXTTREEDATA *rec = GetItemRecord(item);
    if (!rec)
        return 0;
    const int y = rect.top() + rect.height() / 2;
    painter->save();
    painter->setPen(QPen(line, 1));
    painter->drawLine(rect.left() - 2, y, rect.right() - 1, y);
    painter->restore();
    rec->textRight = rect.right();
    return rec->textRight;
}
