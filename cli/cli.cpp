#include "cli/cli.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <csignal>
#include <cstdlib>
#include <string_view>

#include "cli/commands.h"
#include "cli/text.h"
#include "core/paths.h"
#include "core/version.h"
#include "fs/listing.h"

namespace cli {

namespace {

bool isOption(std::string_view arg) {
    return arg.size() > 1 && arg[0] == '-';
}

void printVersion() {
    const core::VersionNumbers v = core::kProgramVersion;
    writeOut("kovra " + std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion) +
             "." + std::to_string(v.revision) + "\n");
}

std::string usage() {
    return message(QT_TRANSLATE_NOOP("cli",
                                     "Usage: %1 [FOLDER | FILE...]\n"
                                     "  or:  %1 rename [OPTION...] PATH...\n"
                                     "  or:  %1 undo\n"),
                   {"kovra"});
}

void printHelp() {
    writeOut(usage());
    writeOut(message(QT_TRANSLATE_NOOP(
        "cli",
        "Put the name of its folder in front of each file's name: /pics/cats/a.jpg becomes "
        "/pics/cats/cats_a.jpg.\n"
        "An existing file is never replaced.\n"
        "\n"
        "Without a command, the window opens: on FOLDER, or on the folder of the FILEs with them "
        "selected.\n"
        "\n"
        "Commands:\n"
        "  rename PATH...   rename the files named, and every file of each folder named\n"
        "  undo             undo the last rename run, in every folder it renamed in\n"
        "\n"
        "Options:\n"
        "  -n, --dry-run    print each rename as \"old -> new\" and change nothing\n"
        "  -r, --recursive  rename in every subfolder too, each file with its own folder's name;\n"
        "                   a symbolic link to a folder is never followed\n"
        "  -v, --verbose    print each rename as \"old -> new\" as it is made\n"
        "  -a, --all        also the names beginning with \".\" in the folders named, and hidden\n"
        "                   subfolders; left out otherwise, since the prefix would unhide them\n"
        "      --no-undo    keep no record of the run: faster over many folders, but undo\n"
        "                   cannot take it back\n"
        "  -h, --help       show this help and exit\n"
        "  -V, --version    show the version and exit\n"
        "\n"
        "Names that are not printable are shown escaped (\\xff, \\n), one rename per line.\n"
        "\n"
        "Exit status:\n"
        "  0  every file was renamed (by undo: renamed back)\n"
        "  1  the run stopped at a failure: the file, its new name and the reason are printed\n"
        "  2  wrong usage, or a path that cannot be opened: nothing was renamed\n")));
}

int usageError(const std::string& what) {
    writeErr(
        "kovra: " + what + "\n" + usage() +
        message(QT_TRANSLATE_NOOP("cli", "Try \"%1 --help\" for more information.\n"), {"kovra"}));
    return kUsageError;
}

int runRename(int argc, char* argv[]) {
    RenameOptions options;
    std::vector<std::string> paths;
    bool optionsEnd = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnd || !isOption(arg)) {
            paths.emplace_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "--dry-run") {
            options.dryRun = true;
        } else if (arg == "--recursive") {
            options.recursive = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--all") {
            options.all = true;
        } else if (arg == "--no-undo") {
            options.noUndo = true;
        } else if (arg == "--help") {
            printHelp();
            return kSuccess;
        } else if (arg[1] == '-') {
            return usageError(
                message(QT_TRANSLATE_NOOP("cli", "unknown option %1"), {escaped(arg)}));
        } else {
            for (const char c : arg.substr(1)) {
                switch (c) {
                    case 'n':
                        options.dryRun = true;
                        break;
                    case 'r':
                        options.recursive = true;
                        break;
                    case 'v':
                        options.verbose = true;
                        break;
                    case 'a':
                        options.all = true;
                        break;
                    case 'h':
                        printHelp();
                        return kSuccess;
                    default:
                        return usageError(message(QT_TRANSLATE_NOOP("cli", "unknown option %1"),
                                                  {"-" + escaped(std::string_view(&c, 1))}));
                }
            }
        }
    }
    if (paths.empty()) {
        return usageError(message(QT_TRANSLATE_NOOP("cli", "rename needs at least one PATH")));
    }
    return renameCommand(options, paths);
}

// Messages in the user's language: translations are compiled into the program.
void loadTranslation(QTranslator& translator) {
    if (translator.load(QLocale(), QStringLiteral("kovra"), QStringLiteral("_"),
                        QStringLiteral(":/i18n"))) {
        QCoreApplication::installTranslator(&translator);
    }
}

}  // namespace

bool wantsWindow(int argc, char* argv[]) {
    if (argc < 2) {
        return true;
    }
    const std::string_view first = argv[1];
    return first == "--" || (!isOption(first) && first != "rename" && first != "undo");
}

std::vector<std::string> windowPaths(int argc, char* argv[]) {
    std::vector<std::string> paths;
    const std::string cwd = fs::currentFolder();
    for (int i = 1; i < argc; ++i) {
        std::string path = argv[i];
        if (path == "--" && i == 1) {
            continue;
        }
        if (path.empty()) {
            continue;
        }
        if (path.front() != '/') {
            path = core::joinPath(cwd, path);
        }
        // The folder part canonical; a file keeps its own name, even when it is a link.
        const std::size_t slash = path.find_last_of('/');
        std::string name = path.substr(slash + 1);
        std::string folder = path.substr(0, slash + 1);
        if (name == "." || name == "..") {
            folder = path;
            name.clear();
        }
        if (char* real = ::realpath(folder.c_str(), nullptr)) {
            folder = real;
            std::free(real);
        }
        paths.push_back(name.empty() ? core::normalizeFolder(folder)
                                     : core::joinPath(folder, name));
    }
    return paths;
}

int run(int argc, char* argv[]) {
    const std::string_view first = argc > 1 ? argv[1] : "";
    // The fastest answer needs no translation.
    if (first == "--version" || first == "-V") {
        printVersion();
        return kSuccess;
    }
    // A pipe closed by the reader must not end a run between two renames.
    std::signal(SIGPIPE, SIG_IGN);
    // Only the program's name: Qt must not take an argument (or a file's name) as its own option.
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    QTranslator translator;
    loadTranslation(translator);

    int status = kSuccess;
    if (first == "--help" || first == "-h") {
        printHelp();
    } else if (first == "rename") {
        status = runRename(argc, argv);
    } else if (first == "undo") {
        status = argc > 2 ? usageError(message(QT_TRANSLATE_NOOP("cli", "undo takes no arguments")))
                          : undoCommand();
    } else {
        status =
            usageError(message(QT_TRANSLATE_NOOP("cli", "unknown option %1"), {escaped(first)}));
    }
    std::fflush(stdout);
    return status;
}

}  // namespace cli
