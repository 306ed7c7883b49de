#include <QApplication>

#include "ui/icon.h"
#include "ui/mainwindow.h"
#include "widgets/fonts.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    widgets::registerFontSubstitutes();
    QApplication::setWindowIcon(ui::programIcon());
    ui::MainWindow window;
    window.show();
    return QApplication::exec();
}
