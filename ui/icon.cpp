#include "ui/icon.h"

namespace ui {

QPixmap programPixmap() {
    return QPixmap(QStringLiteral(":/icons/kovra.xpm"), "XPM");
}

QIcon programIcon() {
    return QIcon(programPixmap());
}

}  // namespace ui
