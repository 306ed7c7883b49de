// `kovra-window LAUNCHER MODE [ARG...]`: the windows, started by `kovra` in its own place when
// one is asked for (the modes are in cli/cli.h). `kovra` has checked the command line, and made
// the paths absolute.

#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "core/paths.h"
#include "fs/deadline.h"
#include "fs/listing.h"
#include "fs/memory.h"
#include "fs/rename.h"
#include "ui/icon.h"
#include "ui/mainwindow.h"
#include "ui/mergewindow.h"
#include "ui/messages.h"
#include "widgets/fonts.h"

namespace {

// The application with the program's look, for a window or a box shown without the main window.
struct Application {
    int argc = 1;  // only the program's name: Qt must not take a file's name for its option
    QApplication app;
    explicit Application(char* argv[]) : app(argc, argv) {
        widgets::registerFontSubstitutes();
        QApplication::setWindowIcon(ui::programIcon());
    }
};

// The main window on the folder of `paths` (a folder, or files of one folder, selected), or on
// the working directory.
int mainWindow(char* argv[], const std::vector<std::string>& paths) {
    // The window starts on the folder asked for, so the working directory is never read.
    std::string startFolder = fs::currentFolder();
    bool selectFiles = false;
    if (!paths.empty()) {
        // A drive that does not answer holds a worker, not the window: the path is then taken as
        // the folder asked for, and the window says the drive does not answer.
        const std::optional<bool> isFolder = fs::callWithDeadline<bool>(
            [path = paths.front()] {
                struct stat st {};
                return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            },
            std::chrono::milliseconds(300));
        startFolder = isFolder.value_or(true) ? paths.front() : core::parentFolder(paths.front());
        selectFiles = !isFolder.value_or(true);
    }
    Application app(argv);
    ui::MainWindow window(startFolder);
    if (selectFiles) {
        window.openPaths(paths);
    }
    window.show();
    // Over the shown window: a run that never ended is offered for finishing or undo.
    QTimer::singleShot(0, &window, &ui::MainWindow::checkPendingRun);
    return QApplication::exec();
}

// `kovra merge --window SOURCE...`: the merge window alone, with the sources checked and their
// parent as the destination.
int mergeWindow(char* argv[], std::vector<std::string> sources) {
    Application app(argv);
    const std::string destination = core::parentFolder(sources.front());
    auto* window = new ui::MergeWindow(destination, std::move(sources));
    window->show();
    return QApplication::exec();
}

// What a command that failed with `status` said, read from standard input, shown in a box.
int failureBox(char* argv[], int status) {
    std::string said;
    char buffer[4096];
    for (ssize_t n; (n = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0;) {
        said.append(buffer, static_cast<std::size_t>(n));
    }
    Application app(argv);
    ui::showReport(nullptr, ui::commandFailedReport(said));
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    fs::returnLargeBlocks();
    namespace mode = cli::window;
    const std::string_view asked = argc >= 3 ? argv[2] : "";
    std::vector<std::string> args(argv + std::min(argc, 3), argv + argc);
    if (asked != mode::kMain && asked != mode::kMerge && asked != mode::kCannotOpen &&
        asked != mode::kSeveralFolders && asked != mode::kFailed) {
        std::fprintf(stderr, "kovra-window: started by kovra only; run kovra\n");
        return 2;
    }
    // The program the user started is the one its runs keep, not this one.
    cli::keepLauncher(argv[1]);
    if (asked == mode::kMain) {
        return mainWindow(argv, args);
    }
    if (asked == mode::kMerge && !args.empty()) {
        return mergeWindow(argv, std::move(args));
    }
    if (asked == mode::kFailed && args.size() == 1) {
        return failureBox(argv, std::atoi(args.front().c_str()));
    }
    Application app(argv);
    if (asked == mode::kSeveralFolders) {
        ui::showReport(nullptr, ui::severalFoldersReport(args));
    } else if (args.size() == 2) {
        ui::showReport(nullptr, ui::pathErrorReport(args[0], std::atoi(args[1].c_str())));
    }
    return 2;
}
