#pragma once

#include <QIcon>
#include <QPixmap>

namespace res {

// Icon 128, the application icon: a handheld reader sending waves to a tag, drawn in code
// so that it is sharp at every size the window manager asks for.
QPixmap DrawApplicationIcon(int size);
QIcon ApplicationIcon();

} // namespace res
