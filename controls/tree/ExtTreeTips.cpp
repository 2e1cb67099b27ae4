// Tooltips of CExtTree: the full text of an item whose text runs past the
// right edge, shown in a plain-text tip of limited width.

#include "controls/tree/ExtTree.h"
#include "controls/tree/ExtTreePrivate.h"

#include <QHelpEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QTextLayout>

namespace {

// The text in lines no wider than `width`: broken between words where a line has room for
// whole words, inside a word only where one word is wider than the tip.
QString wrapToWidth(const QString &text, const QFont &font, int width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}

} // namespace

void CExtTree::createToolTip()
{
    deleteToolTip();
    m_toolTip = new QLabel(this, Qt::ToolTip);
    m_toolTip->setTextFormat(Qt::PlainText); // "&" and "<" are shown as they are
    // The lines are broken here (ShowTipText), not by the label: a wrapping label picks its
    // own narrow width and cannot break a word wider than itself.
    m_toolTip->setWordWrap(false);
    m_toolTip->setForegroundRole(QPalette::ToolTipText);
    m_toolTip->setBackgroundRole(QPalette::ToolTipBase);
    m_toolTip->setAutoFillBackground(true);
    m_toolTip->setMargin(2);
    m_toolTip->hide();
}

void CExtTree::deleteToolTip()
{
    delete m_toolTip;
    m_toolTip = nullptr;
    m_toolStrips.clear();
}

int CExtTree::ComputeTipWidth() const
{
    if (m_defaultTipWidth != 0)
        return m_defaultTipWidth;
    const QWidget *parent = parentWidget();
    if (!parent)
        return TIP_FALLBACK_WIDTH;
    const int w = (width() * 3) / 4;
    return w >= TIP_FALLBACK_WIDTH ? w : parent->width() / 2;
}

void CExtTree::LayoutToolStrips()
{
    if (!m_toolTip)
        return;
    m_toolTip->setMaximumWidth(ComputeTipWidth());
    m_toolStrips.clear();
    QTreeWidgetItem *first = itemAt(QPoint(0, 0));
    if (!first)
        first = topLevelItem(0);
    const int h = first ? rowRect(first).height() : 0;
    if (h > 0) {
        const int n = viewport()->height() / h; // rows that fit fully
        for (int i = 0; i < n; ++i)
            m_toolStrips.append(QRect(0, i * h, viewport()->width(), h));
    }
    sendRegistered(WM_EXTTREE_INIT_TOOLTIP, nullptr, reinterpret_cast<qintptr>(m_toolTip));
}

QRect CExtTree::toolStrip(int toolId) const
{
    const int i = toolId - TIP_FIRST_TOOL_ID;
    return i >= 0 && i < m_toolStrips.size() ? m_toolStrips.at(i) : QRect();
}

bool CExtTree::GetTipText(QPoint viewportPos, QString &text)
{
    text.clear();
    unsigned flags = 0;
    QTreeWidgetItem *item = HitTest(viewportPos, &flags);
    const EXTTREEDATA *rec = GetItemRecord(item);
    if (!item || !rec || rec->separator || !(flags & TVHT_ONITEM))
        return false;
    if (rec->textRight <= viewport()->width() - TIP_EDGE_SLACK)
        return false;
    if (m_toolTip
        && sendRegistered(WM_EXTTREE_DISPLAY_TOOLTIP, item, reinterpret_cast<qintptr>(m_toolTip)) != 0)
        return false;
    text = GetItemText(item);
    if (m_toolTip)
        m_toolTip->setMaximumWidth(ComputeTipWidth());
    return true;
}

bool CExtTree::OnToolTipText(QPoint viewportPos, QString &text)
{
    if (!GetTipText(viewportPos, text))
        return false;
    text.truncate(TIP_MAX_CHARS);
    return true;
}

bool CExtTree::viewportEvent(QEvent *e)
{
    if (e->type() == QEvent::ToolTip) {
        // Only the strips registered at the last layout ask for a tip.
        auto *help = static_cast<QHelpEvent *>(e);
        bool inStrip = false;
        for (const QRect &strip : std::as_const(m_toolStrips))
            inStrip = inStrip || strip.contains(help->pos());
        QString text;
        if (m_toolTipsEnabled && m_toolTip && inStrip && OnToolTipText(help->pos(), text)) {
            const int frame = 2 * (m_toolTip->margin() + m_toolTip->frameWidth());
            const int room = qMax(1, m_toolTip->maximumWidth() - frame);
            m_toolTip->setText(wrapToWidth(text, m_toolTip->font(), room));
            m_toolTip->adjustSize();
            m_toolTip->move(help->globalPos() + QPoint(2, 16));
            m_toolTip->show();
            m_tipItem = rowAt(help->pos().y());
        } else if (m_toolTip) {
            m_toolTip->hide();
        }
        e->accept();
        return true;
    }
    if (m_toolTip && m_toolTip->isVisible() && e->type() == QEvent::MouseMove
        && rowAt(static_cast<QMouseEvent *>(e)->position().toPoint().y()) != m_tipItem)
        m_toolTip->hide();
    if (m_toolTip && (e->type() == QEvent::Leave || e->type() == QEvent::MouseButtonPress
                      || e->type() == QEvent::Wheel))
        m_toolTip->hide();
    return QTreeWidget::viewportEvent(e);
}
