#include "app/DialogBuilder.h"

#include "res/AppIcon.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

QWidget *CreatePlainControl(const DialogControlTemplate &item, const DialogBaseUnits &units, QWidget *parent)
{
    using K = ControlKind;
    const QString text = item.text ? QString::fromLatin1(item.text) : QString();
    const QRect pixels = DialogUnitsToPixels(item.rect, units);
    QWidget *widget = nullptr;
    switch (item.kind) {
    case K::Icon: {
        // An icon control takes the icon's own size; the template gives only its place.
        const int side = parent->style()->pixelMetric(QStyle::PM_LargeIconSize);
        auto *label = new QLabel(parent);
        label->setPixmap(ApplicationIcon().pixmap(side, side));
        label->setGeometry(QRect(pixels.topLeft(), QSize(side, side)));
        return label;
    }
    case K::Label:
        widget = new QLabel(text, parent);
        break;
    case K::PushButton:
    case K::DefaultPushButton: {
        auto *button = new QPushButton(text, parent);
        button->setDefault(item.kind == K::DefaultPushButton);
        widget = button;
        break;
    }
    case K::CheckBox:
        widget = new QCheckBox(text, parent);
        break;
    case K::PushLikeCheckBox: {
        auto *button = new QPushButton(text, parent);
        button->setCheckable(true);
        button->setAutoDefault(false);
        widget = button;
        break;
    }
    case K::RadioButton:
        widget = new QRadioButton(text, parent);
        break;
    case K::GroupBox:
        widget = new QGroupBox(text, parent);
        break;
    case K::EtchedVerticalLine: {
        auto *line = new QFrame(parent);
        line->setFrameShape(QFrame::VLine);
        line->setFrameShadow(QFrame::Sunken);
        widget = line;
        break;
    }
    default:
        return nullptr;
    }
    widget->setGeometry(pixels);
    return widget;
}
