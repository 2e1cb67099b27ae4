#include "app/RFID_LorixDlg.h"

#include "controls/tree/NotifyEvent.h"

// The catalogue half of the main window: the command tree, the property panel and saving.
// These are the smallest bodies that keep the window whole: the tree stays empty and the
// property panel stays hidden.

void CRFID_LorixDlg::LoadCatalogue()
{
}

void CRFID_LorixDlg::CreatePropertyPanel()
{
}

void CRFID_LorixDlg::OnCommandSelected(CNotifyEvent &notify)
{
    Q_UNUSED(notify);
}

void CRFID_LorixDlg::OnParameterChanged(CNotifyEvent &notify)
{
    Q_UNUSED(notify);
}

void CRFID_LorixDlg::OnSaveData()
{
}

void CRFID_LorixDlg::OnSaveAs()
{
}
