// `kovra`: the commands, answered here with Qt Core alone; what needs a window is handed to the
// window program (cli::startWindow), which takes this process's place.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "core/paths.h"
#include "fs/memory.h"

namespace {

bool is(const char* arg, std::string_view word) {
    return arg != nullptr && word == arg;
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
    if (::write(STDERR_FILENO, text.data(), text.size()) < 0) {
        // Nobody to tell: the box below says it.
    }
    // The box reads the words from its standard input.
    if (status != 0 && cli::hasDisplay() && ::lseek(::fileno(capture), 0, SEEK_SET) == 0 &&
        ::dup2(::fileno(capture), STDIN_FILENO) == STDIN_FILENO) {
        std::fclose(capture);
        cli::startWindow(argv[0], cli::window::kFailed, {std::to_string(status)});
        return status;
    }
    std::fclose(capture);
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    fs::returnLargeBlocks();
    // `kovra merge --window SOURCE...`, from a file manager's "merge here": the merge window
    // alone, with the sources checked and their parent as the destination.
    if (argc >= 3 && is(argv[1], "merge") && is(argv[2], "--window") && cli::hasDisplay()) {
        // Without a trailing slash, which would make the system follow a link the path ends in:
        // a link to a folder is offered as itself, and stays.
        std::vector<std::string> written(argv + 3, argv + argc);
        std::vector<char*> paths{argv[2]};
        for (std::string& path : written) {
            path = core::normalizeFolder(path);
            paths.push_back(path.data());
        }
        const std::vector<std::string> sources =
            cli::windowPaths(static_cast<int>(paths.size()), paths.data());
        if (sources.empty()) {
            return cli::run(argc, argv);
        }
        return cli::startWindow(argv[0], cli::window::kMerge, sources);
    }
    if (argc >= 3 && is(argv[1], "rename") &&
        std::any_of(argv + 2, argv + argc, [](const char* a) { return is(a, "--notify"); })) {
        return renameWithNotice(argc, argv);
    }
    // Commands, and a window that cannot open (no display, a mistyped command), are answered
    // before anything could reach for a display.
    if (!cli::wantsWindow(argc, argv)) {
        // Started from a desktop, nobody reads standard error: the refusal is shown in a box. A
        // command's paths are not looked at here: that is the command's own work.
        if (cli::asksForWindow(argc, argv) && cli::hasDisplay() && ::isatty(STDERR_FILENO) == 0) {
            const cli::WindowBlock block = cli::windowBlock(argc, argv);
            if (block.why == cli::WindowBlock::Why::SeveralFolders) {
                return cli::startWindow(argv[0], cli::window::kSeveralFolders, block.folders);
            }
            if (block.why != cli::WindowBlock::Why::NoDisplay) {
                return cli::startWindow(argv[0], cli::window::kCannotOpen,
                                        {block.path, std::to_string(block.error)});
            }
        }
        return cli::run(argc, argv);
    }
    return cli::startWindow(argv[0], cli::window::kMain, cli::windowPaths(argc, argv));
}
