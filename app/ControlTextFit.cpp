#include "app/ControlTextFit.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>

namespace {

// The rectangle the style draws a button's text in, for the button's own size.
int buttonTextWidth(const QAbstractButton *button, QStyle::SubElement contents)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    option.icon = button->icon();
    option.iconSize = button->iconSize();
    return button->style()->subElementRect(contents, &option, button).width();
}

int availableTextWidth(const QWidget *control)
{
    if (auto *label = qobject_cast<const QLabel *>(control))
        return label->contentsRect().width() - 2 * label->margin();
    if (auto *box = qobject_cast<const QCheckBox *>(control))
        return buttonTextWidth(box, QStyle::SE_CheckBoxContents);
    if (auto *radio = qobject_cast<const QRadioButton *>(control))
        return buttonTextWidth(radio, QStyle::SE_RadioButtonContents);
    if (auto *button = qobject_cast<const QPushButton *>(control))
        return buttonTextWidth(button, QStyle::SE_PushButtonContents);
    return -1;
}

QString shownText(const QWidget *control)
{
    if (auto *label = qobject_cast<const QLabel *>(control))
        return label->pixmap().isNull() ? label->text() : QString();
    if (auto *button = qobject_cast<const QAbstractButton *>(control))
        return button->text();
    return QString();
}

} // namespace

int TextOverflow(const QWidget *control)
{
    const QString text = shownText(control);
    const int available = availableTextWidth(control);
    if (text.isEmpty() || available < 0)
        return 0;
    // A mnemonic's '&' is not drawn.
    QString drawn = text;
    if (!qobject_cast<const QLabel *>(control))
        drawn.remove(QRegularExpression(QStringLiteral("&(?!&)")));
    return std::max(0, control->fontMetrics().horizontalAdvance(drawn) - available);
}

void GrowToText(QWidget *control)
{
    if (qobject_cast<QPushButton *>(control))
        return;
    const int overflow = TextOverflow(control);
    if (overflow > 0)
        control->resize(control->width() + overflow, control->height());
}
