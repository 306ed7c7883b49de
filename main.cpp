#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QTimer>

#include "cli/cli.h"
#include "core/paths.h"
#include "fs/listing.h"
#include "fs/memory.h"
#include "ui/icon.h"
#include "ui/mainwindow.h"
#include "ui/messages.h"
#include "widgets/fonts.h"

int main(int argc, char* argv[]) {
    fs::returnLargeBlocks();
    // Commands, and a window that cannot open (no display, a mistyped command), are answered
    // before anything could reach for a display.
    if (!cli::wantsWindow(argc, argv)) {
        const cli::WindowBlock block = cli::windowBlock(argc, argv);
        // Started from a desktop, nobody reads standard error: the refusal is shown in a box.
        if (cli::asksForWindow(argc, argv) && block.why != cli::WindowBlock::Why::NoDisplay &&
            cli::hasDisplay() && ::isatty(STDERR_FILENO) == 0) {
            int qtArgc = 1;
            QApplication app(qtArgc, argv);
            widgets::registerFontSubstitutes();
            QApplication::setWindowIcon(ui::programIcon());
            ui::showReport(nullptr, block.why == cli::WindowBlock::Why::SeveralFolders
                                        ? ui::severalFoldersReport(block.folders)
                                        : ui::pathErrorReport(block.path, block.error));
            return 2;
        }
        return cli::run(argc, argv);
    }
    const std::vector<std::string> paths = cli::windowPaths(argc, argv);
    // The window starts on the folder asked for, so the working directory is never read.
    std::string startFolder = fs::currentFolder();
    bool selectFiles = false;
    if (!paths.empty()) {
        struct stat st {};
        const bool isFolder = ::stat(paths.front().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        startFolder = isFolder ? paths.front() : core::parentFolder(paths.front());
        selectFiles = !isFolder;
    }
    // Only the program's name: Qt must not take a file's name for one of its options.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    widgets::registerFontSubstitutes();
    QApplication::setWindowIcon(ui::programIcon());
    ui::MainWindow window(startFolder);
    if (selectFiles) {
        window.openPaths(paths);
    }
    window.show();
    // Over the shown window: a run that never ended is offered for finishing or undo.
    QTimer::singleShot(0, &window, &ui::MainWindow::checkPendingRun);
    return QApplication::exec();
}
