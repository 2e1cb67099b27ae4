#pragma once

#include <QDialog>

// The About box, built from dialog template 100 at its dialog-unit geometry. It has no
// handlers of its own: "OK", Enter, Escape and the close box end it.
class CAboutDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget *parent = nullptr);
};
