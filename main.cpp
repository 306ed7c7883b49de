#include <QApplication>

#include "platform/fonts.h"
#include "ui/icon.h"
#include "ui/kovra.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    platform::registerFontSubstitutes();
    QApplication::setWindowIcon(ui::programIcon());
    kovra window;
    window.show();
    return QApplication::exec();
}
