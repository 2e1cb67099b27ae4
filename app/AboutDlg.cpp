#include "app/AboutDlg.h"

#include "app/DialogBuilder.h"
#include "res/AppIcon.h"
#include "res/DialogTemplates.h"

#include <QPushButton>

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
        QWidget *widget = CreatePlainControl(control, units, this);
        if (!widget)
            continue;   // the About box holds only plain controls
        widget->setProperty("controlId", control.id);
        if (auto *button = qobject_cast<QPushButton *>(widget); button && control.id == IDOK)
            connect(button, &QPushButton::clicked, this, &QDialog::accept);
    }
}
