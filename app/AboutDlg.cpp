#include "app/AboutDlg.h"

#include "res/AppIcon.h"
#include "res/DialogTemplates.h"

#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace {

QWidget *createControl(const res::DialogControlTemplate &control, const res::DialogBaseUnits &units,
                       QDialog *dialog)
{
    const QRect pixels = res::DialogUnitsToPixels(control.rect, units);
    const QString text = control.text ? QString::fromLatin1(control.text) : QString();
    switch (control.kind) {
    case res::ControlKind::Icon: {
        // An icon control takes the icon's own size, at the platform's icon size.
        const int side = dialog->style()->pixelMetric(QStyle::PM_LargeIconSize);
        auto *label = new QLabel(dialog);
        label->setPixmap(res::ApplicationIcon().pixmap(side, side));
        label->setGeometry(QRect(pixels.topLeft(), QSize(side, side)));
        return label;
    }
    case res::ControlKind::Label: {
        auto *label = new QLabel(text, dialog);
        label->setGeometry(pixels);
        return label;
    }
    case res::ControlKind::PushButton:
    case res::ControlKind::DefaultPushButton: {
        auto *button = new QPushButton(text, dialog);
        button->setGeometry(pixels);
        if (control.kind == res::ControlKind::DefaultPushButton)
            button->setDefault(true);
        if (control.id == res::IDOK)
            QObject::connect(button, &QPushButton::clicked, dialog, &QDialog::accept);
        return button;
    }
    default:
        // The About box holds no other kind of control.
        return nullptr;
    }
}

} // namespace

CAboutDlg::CAboutDlg(QWidget *parent)
    : QDialog(parent)
{
    const res::DialogTemplate &about = res::AboutDialogTemplate();
    const QFont font = res::DialogFont(about);
    setFont(font);
    const res::DialogBaseUnits units = res::BaseUnitsFor(font);
    setWindowTitle(QString::fromLatin1(about.caption));
    setWindowIcon(res::ApplicationIcon());
    setFixedSize(res::DialogUnitsToPixels(about.size, units));
    for (const res::DialogControlTemplate &control : about.controls) {
        if (QWidget *widget = createControl(control, units, this))
            widget->setProperty("controlId", control.id);
    }
}
