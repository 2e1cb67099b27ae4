#pragma once

#include <QDialog>

class CSettingsStore;

// The main window. The settings store outlives it (the application object owns the store).
class CRFID_LorixDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CRFID_LorixDlg(CSettingsStore &settings, QWidget *parent = nullptr);

private:
    // Window set-up, run once by the constructor: caption from the version, window icon,
    // About entry.
    bool OnInitDialog();

    CSettingsStore &m_settings;
};
