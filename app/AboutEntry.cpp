#include "app/AboutEntry.h"

#include "app/AboutDlg.h"
#include "res/Resource.h"

#include <QAction>
#include <QWidget>

QAction *InstallAboutEntry(QWidget *window, QWidget *banner)
{
    if (!window)
        return nullptr;
    const QString text = QString::fromLatin1(ABOUT_ENTRY_TEXT);
    if (text.isEmpty())
        return nullptr;
    auto *about = new QAction(text, window);
    about->setData(IDM_ABOUTBOX);
    about->setShortcut(QKeySequence(Qt::Key_F1));
    about->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(about, &QAction::triggered, window, [window] {
        CAboutDlg dialog(window);
        dialog.exec();
    });
    // Child controls with menus of their own keep them; the background and plain labels
    // pass the request up to the window.
    window->addAction(about);
    window->setContextMenuPolicy(Qt::ActionsContextMenu);
    AddAboutEntryToBanner(about, banner);
    return about;
}

void AddAboutEntryToBanner(QAction *aboutEntry, QWidget *banner)
{
    if (!aboutEntry || !banner)
        return;
    banner->addAction(aboutEntry);
    banner->setContextMenuPolicy(Qt::ActionsContextMenu);
}
