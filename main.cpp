#include <QApplication>
#include <QTimer>

#include "ui/icon.h"
#include "ui/mainwindow.h"
#include "widgets/fonts.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    widgets::registerFontSubstitutes();
    QApplication::setWindowIcon(ui::programIcon());
    ui::MainWindow window;
    window.show();
    // Over the shown window: a run that never ended is offered for finishing or undo.
    QTimer::singleShot(0, &window, &ui::MainWindow::checkPendingRun);
    return QApplication::exec();
}
