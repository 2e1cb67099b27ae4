#include "app/RFID_LorixDlg.h"

#include "app/AboutEntry.h"
#include "app/SettingsStore.h"
#include "app/VersionCaption.h"
#include "res/AppIcon.h"
#include "res/Resource.h"

CRFID_LorixDlg::CRFID_LorixDlg(CSettingsStore &settings, QWidget *parent)
    : QDialog(parent)
    , m_settings(settings)
{
    setWindowTitle(QString::fromLatin1(res::kMainDialogTemplateTitle));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    OnInitDialog();
}

bool CRFID_LorixDlg::OnInitDialog()
{
    SetVersionCaption(this);
    // The icon of a minimised window is drawn by the window manager from this icon.
    setWindowIcon(res::ApplicationIcon());
    InstallAboutEntry(this, nullptr);
    return true;
}
