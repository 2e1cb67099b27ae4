#include "app/AboutDlg.h"

#include "res/AppIcon.h"
#include "res/DialogTemplates.h"

#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace {

QWidget *createControl(const DialogControlTemplate &control, const DialogBaseUnits &units,
                       QDialog *dialog)
{
    const QRect pixels = DialogUnitsToPixels(control.rect, units);
    const QString text = control.text ? QString::fromLatin1(control.text) : QString();
    switch (control.kind) {
    case ControlKind::Icon: {
        // An icon control takes the icon's own size, at the platform's icon size.
        const int side = dialog->style()->pixelMetric(QStyle::PM_LargeIconSize);
        auto *label = new QLabel(dialog);
        label->setPixmap(ApplicationIcon().pixmap(side, side));
        label->setGeometry(QRect(pixels.topLeft(), QSize(side, side)));
        return label;
    }
    case ControlKind::Label: {
        auto *label = new QLabel(text, dialog);
        label->setGeometry(pixels);
        return label;
    }
    case ControlKind::PushButton:
    case ControlKind::DefaultPushButton: {
        auto *button = new QPushButton(text, dialog);
        button->setGeometry(pixels);
        if (control.kind == ControlKind::DefaultPushButton)
            button->setDefault(true);
        if (control.id == IDOK)
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
    const DialogTemplate &about = AboutDialogTemplate();
    const QFont font = DialogFont(about);
    setFont(font);
    const DialogBaseUnits units = BaseUnitsFor(font);
    setWindowTitle(QString::fromLatin1(about.caption));
    setWindowIcon(ApplicationIcon());
    setFixedSize(DialogUnitsToPixels(about.size, units));
    for (const DialogControlTemplate &control : about.controls) {
        if (QWidget *widget = createControl(control, units, this))
            widget->setProperty("controlId", control.id);
    }
}
