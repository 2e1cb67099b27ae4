#pragma once

class QAction;
class QWidget;

// The entry "&About RFID_Lorix..." that opens the About box. Linux window managers offer no
// application entries in the window menu, so it is offered where a user looks for it here:
// the context menu of the window's background and of the banner, and F1 anywhere in the
// window. Returns the action (owned by the window). The banner may be null.
QAction *InstallAboutEntry(QWidget *window, QWidget *banner);

// Adds the About entry to the banner's context menu once the banner exists.
void AddAboutEntryToBanner(QAction *aboutEntry, QWidget *banner);
