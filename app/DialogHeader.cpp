#include "app/DialogHeader.h"

#include "controls/common/ReadableColours.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QStyle>
#include <QTextLayout>

namespace {

constexpr int TITLE_WEIGHT = 700;
constexpr int DESCRIPTION_WEIGHT = 400;
constexpr int FONT_SIZES_EXTRA = 2;   // room between the two text lines in the minimum height
// On a dark palette the banner fades from this much lighter (percent) than the window colour.
constexpr int DARK_BANNER_LIFT = 140;
const QChar kEllipsis(0x2026);

ColourRef toColourRef(const QColor &colour)
{
    return ColourRef(colour.red()) | (ColourRef(colour.green()) << 8) | (ColourRef(colour.blue()) << 16);
}

QFont headerFont(int pixelSize, int weight)
{
    QFont font(QString::fromLatin1(CDialogHeader::FONT_FACE));
    font.setPixelSize(qMax(1, pixelSize));
    font.setWeight(QFont::Weight(weight));
    return font;
}

int alignmentFlags(int textAlign)
{
    switch (textAlign) {
    case CDialogHeader::AlignCentre:
        return Qt::AlignHCenter;
    case CDialogHeader::AlignRight:
        return Qt::AlignRight;
    default:
        return Qt::AlignLeft;
    }
}

} // namespace

CDialogHeader::CDialogHeader(QWidget *parent)
    : QWidget(parent)
    , m_topColour(toColourRef(palette().color(QPalette::Base)))
{
    const int systemIconSize = style()->pixelMetric(QStyle::PM_LargeIconSize);
    iconWidth = systemIconSize;
    iconHeight = systemIconSize;
    // The paint covers the whole widget: no background erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    makeFonts();
}

void CDialogHeader::SetTitle(const QString &text)
{
    m_title = text;
    update();
}

void CDialogHeader::SetDescription(const QString &text)
{
    m_description = text;
    update();
}

void CDialogHeader::SetIcon(const QIcon &icon)
{
    m_icon = icon;
    update();
}

void CDialogHeader::SetTopColour(ColourRef colour)
{
    m_topColour = colour;
    update();
}

void CDialogHeader::SetBottomColour(ColourRef colour)
{
    m_bottomColour = colour;
    update();
}

int CDialogHeader::minimumHeaderHeight() const
{
    const int forIcon = iconHeight + borderSize + 2 * iconOffset;
    const int forText = descFontSize + titleFontSize + borderSize + 2 * iconOffset + FONT_SIZES_EXTRA;
    return qMax(forIcon, forText);
}

void CDialogHeader::AttachToDialog(QWidget *dialog)
{
    if (!dialog)
        return;
    headerHeight = qMax(headerHeight, minimumHeaderHeight());
    update();
    dialog->resize(dialog->width(), dialog->height() + headerHeight);
    // One pixel outside the dialog on the left, top and right, so only the bottom edge of
    // the border shows.
    setParent(dialog);
    setGeometry(-BORDER_WIDTH, -BORDER_WIDTH, dialog->width() + 2 * BORDER_WIDTH, headerHeight);
    show();
}

void CDialogHeader::ShiftDialogChildren(QWidget *dialog)
{
    if (!dialog)
        return;
    const QList<QWidget *> children = dialog->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *child : children) {
        if (child == this || child->isWindow())
            continue;
        child->move(child->x(), child->y() + headerHeight);
    }
}

QRect CDialogHeader::ClientRect() const
{
    return rect().adjusted(BORDER_WIDTH, BORDER_WIDTH, -BORDER_WIDTH, -BORDER_WIDTH);
}

QRect CDialogHeader::TitleRect() const
{
    const QRect client = ClientRect();
    int left = client.left() + titleOffset;
    if (hasIcon() || reserveIconSpace)
        left += iconOffset + iconWidth;
    const int top = client.top() + iconOffset;
    int right = client.left() + client.width() - borderSize - iconOffset;
    if (textAlign == AlignCentre)
        right -= left - client.left();
    return QRect(QPoint(left, top), QPoint(right - 1, top + titleFontSize - 1));
}

QRect CDialogHeader::DescriptionRect() const
{
    const QRect client = ClientRect();
    QRect description = TitleRect();
    description.setTop(description.bottom() + 1);
    description.setBottom(client.bottom());
    if (textAlign == AlignLeft)
        description.setLeft(description.left() + descOffset);
    else if (textAlign == AlignRight)
        description.setRight(description.right() - descOffset);
    return description;
}

QFont CDialogHeader::TitleFont() const
{
    return ownFonts ? titleFont : headerFont(titleFontSize, TITLE_WEIGHT);
}

QFont CDialogHeader::DescriptionFont() const
{
    return ownFonts ? descFont : headerFont(descFontSize, DESCRIPTION_WEIGHT);
}

void CDialogHeader::makeFonts()
{
    if (ownFonts)
        return;
    descFont = headerFont(descFontSize, DESCRIPTION_WEIGHT);
    titleFont = headerFont(titleFontSize, TITLE_WEIGHT);
}

CDialogHeader::Colours CDialogHeader::ShownColours() const
{
    const QPalette &pal = palette();
    const QColor text = pal.color(QPalette::Active, QPalette::WindowText);
    if (!IsDarkPalette(pal))
        return {ToQColor(m_topColour), ToQColor(m_bottomColour), text};
    // The designed gradient is pale: the light text of a dark palette would vanish on it.
    const QColor window = pal.color(QPalette::Active, QPalette::Window);
    return {window.lighter(DARK_BANNER_LIFT), window, text};
}

void CDialogHeader::paintEvent(QPaintEvent *)
{
    makeFonts();
    QPainter painter(this);

    // The border, then the gradient over the client area.
    painter.fillRect(rect(), palette().color(QPalette::Mid));
    const QRect client = ClientRect();
    const Colours colours = ShownColours();
    QLinearGradient gradient(client.topLeft(), client.bottomLeft());
    gradient.setColorAt(0.0, colours.top);
    gradient.setColorAt(1.0, colours.bottom);
    painter.fillRect(client, gradient);

    if (hasIcon()) {
        const QRect iconRect(client.left() + iconOffset, client.top() + iconOffset, iconWidth, iconHeight);
        m_icon.paint(&painter, iconRect);
    }

    painter.setPen(colours.text);
    const auto drawText = [&](const QRect &area, const QFont &font, const QString &text) {
        painter.setFont(font);
        const QStringList lines = WrapWithEllipsis(text, font, area.width(), area.height());
        const int lineHeight = QFontMetrics(font).height();
        int y = area.top();
        for (const QString &line : lines) {
            painter.drawText(QRect(area.left(), y, area.width(), lineHeight),
                             alignmentFlags(textAlign) | Qt::AlignTop | Qt::TextSingleLine, line);
            y += lineHeight;
        }
    };
    painter.setClipRect(client);
    drawText(TitleRect(), titleFont, m_title);
    drawText(DescriptionRect(), descFont, m_description);
}

QStringList WrapWithEllipsis(const QString &text, const QFont &font, int width, int height)
{
    QStringList lines;
    if (text.isEmpty() || width <= 0)
        return lines;
    const QFontMetrics metrics(font);
    // At least one line is drawn even when the rectangle is lower than a line, as the
    // title's rectangle is exactly one font height high.
    const int maxLines = qMax(1, height / qMax(1, metrics.height()));

    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QList<QTextLine> laidOut;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        laidOut << line;
    }
    layout.endLayout();

    for (int i = 0; i < laidOut.size() && i < maxLines; ++i) {
        const QTextLine &line = laidOut.at(i);
        if (i == maxLines - 1 && i < laidOut.size() - 1) {
            // The rest does not fit: the last line takes it all, cut with an ellipsis.
            QString rest = text.mid(line.textStart());
            QString elided = metrics.elidedText(rest, Qt::ElideRight, width);
            if (!elided.endsWith(kEllipsis))
                elided = metrics.elidedText(rest + kEllipsis, Qt::ElideRight, width);
            lines << elided;
        } else {
            lines << text.mid(line.textStart(), line.textLength()).trimmed();
        }
    }
    return lines;
}
