#pragma once

#include <QByteArray>
#include <QIcon>
#include <QPixmap>

// Icon 128, the application icon: a handheld reader sending waves to a tag, drawn in code
// so that it is sharp at every size the window manager asks for.
QPixmap DrawApplicationIcon(int size);
// The same drawing as a scalable SVG document on its 32-unit grid, for the icon theme.
QByteArray ApplicationIconSvg();
QIcon ApplicationIcon();
