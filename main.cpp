#include <QApplication>

#include "platform/fonts.h"
#include "ui/kovra.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    platform::registerFontSubstitutes();
    kovra window;
    window.show();
    return QApplication::exec();
}
