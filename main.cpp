#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <string_view>

#include "cli/cli.h"
#include "core/paths.h"
#include "fs/listing.h"
#include "fs/memory.h"
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

bool is(const char* arg, std::string_view word) {
    return arg != nullptr && word == arg;
}

// `kovra merge --window SOURCE...`, from a file manager's "merge here": the merge window alone,
// with the sources checked and their parent as the destination.
int mergeWindow(int argc, char* argv[]) {
    std::vector<std::string> sources = cli::windowPaths(argc - 2, argv + 2);
    if (sources.empty()) {
        return cli::run(argc, argv);
    }
    Application app(argv);
    const std::string destination = core::parentFolder(sources.front());
    auto* window = new ui::MergeWindow(destination, std::move(sources));
    window->show();
    return QApplication::exec();
}

// `kovra rename --notify PATH...`, from a file manager: nobody reads standard error there, so a
// failure is also shown in a box, in the command line's own words.
int renameWithNotice(int argc, char* argv[]) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (!is(argv[i], "--notify")) {
            args.push_back(argv[i]);
        }
    }
    args.push_back(nullptr);
    FILE* capture = std::tmpfile();
    const int saved = capture != nullptr ? ::dup(STDERR_FILENO) : -1;
    if (saved < 0 || ::dup2(::fileno(capture), STDERR_FILENO) < 0) {
        return cli::run(static_cast<int>(args.size()) - 1, args.data());
    }
    const int status = cli::run(static_cast<int>(args.size()) - 1, args.data());
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::string text;
    std::rewind(capture);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, capture)) > 0;) {
        text.append(buffer, n);
    }
    std::fclose(capture);
    if (::write(STDERR_FILENO, text.data(), text.size()) < 0) {
        // Nobody to tell: the box below says it.
    }
    if (status != 0 && cli::hasDisplay()) {
        Application app(argv);
        ui::showReport(nullptr, ui::commandFailedReport(text));
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    fs::returnLargeBlocks();
    if (argc >= 3 && is(argv[1], "merge") && is(argv[2], "--window") && cli::hasDisplay()) {
        return mergeWindow(argc, argv);
    }
    if (argc >= 3 && is(argv[1], "rename") &&
        std::any_of(argv + 2, argv + argc, [](const char* a) { return is(a, "--notify"); })) {
        return renameWithNotice(argc, argv);
    }
    // Commands, and a window that cannot open (no display, a mistyped command), are answered
    // before anything could reach for a display.
    if (!cli::wantsWindow(argc, argv)) {
        const cli::WindowBlock block = cli::windowBlock(argc, argv);
        // Started from a desktop, nobody reads standard error: the refusal is shown in a box.
        if (cli::asksForWindow(argc, argv) && block.why != cli::WindowBlock::Why::NoDisplay &&
            cli::hasDisplay() && ::isatty(STDERR_FILENO) == 0) {
            Application app(argv);
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
