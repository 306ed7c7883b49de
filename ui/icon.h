#pragma once

#include <QIcon>
#include <QPixmap>

namespace ui {

// The program's 32 x 32 icon, shared by its windows, the version window's logo and the
// application.
QPixmap programPixmap();
QIcon programIcon();

}  // namespace ui
