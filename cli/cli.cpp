#include "cli/cli.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cli/commands.h"
#include "cli/help.h"
#include "cli/merge_command.h"
#include "cli/text.h"
#include "core/paths.h"
#include "core/version.h"
#include "fs/listing.h"
#include "fs/rename.h"

namespace cli {

namespace {

bool isOption(std::string_view arg) {
    return arg.size() > 1 && arg[0] == '-';
}

bool isCommand(std::string_view arg) {
    return arg == "rename" || arg == "undo" || arg == "merge";
}

// What the window's path is, as its drive tells.
struct PathLook {
    bool answered = true;
    int error = 0;          // lstat's errno
    bool isFolder = false;  // following a link
    std::string absolute;   // the folder part canonical (lexical only where the drive is silent)
};

// Longer than this, a drive is taken as not answering.
constexpr int kPathDeadlineMs = 300;

// The path made absolute, split into its folder part (with its slash) and its name.
std::pair<std::string, std::string> splitPath(const std::string& arg) {
    std::string path = arg;
    if (path.front() != '/') {
        path = core::joinPath(fs::currentFolder(), path);
    }
    const std::size_t slash = path.find_last_of('/');
    std::string name = path.substr(slash + 1);
    std::string folder = path.substr(0, slash + 1);
    if (name == "." || name == "..") {
        return {path, {}};
    }
    return {folder, name};
}

// One path's look, as the child writes it: errno, whether a folder, the absolute path's length
// and bytes.
void writeLook(int fd, const std::string& arg) {
    std::string record(sizeof(int) + 1 + sizeof(std::uint32_t), '\0');
    struct stat st {};
    const int error = ::lstat(arg.c_str(), &st) != 0 ? errno : 0;
    const char isFolder = ::stat(arg.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
    auto [folder, name] = splitPath(arg);
    if (char* resolved = ::realpath(folder.c_str(), nullptr)) {
        folder = resolved;
        std::free(resolved);
    }
    const std::string absolute =
        name.empty() ? core::normalizeFolder(folder) : core::joinPath(folder, name);
    const auto length = static_cast<std::uint32_t>(absolute.size());
    std::memcpy(record.data(), &error, sizeof error);
    record[sizeof error] = isFolder;
    std::memcpy(record.data() + sizeof error + 1, &length, sizeof length);
    record += absolute;
    for (std::size_t done = 0; done < record.size();) {
        const ssize_t n = ::write(fd, record.data() + done, record.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// The looks of every path of the window, asked of the drives in a child process: a drive that
// does not answer holds the child, not this process, which then hands over to the window program
// at once (an exec waits for every thread of the process to end, and one stuck on a drive may
// never end). Paths the child has not answered for in time are taken as the folders asked for,
// and the window finds their drive silent and says so.
const std::map<std::string, PathLook>& lookAtPaths(int argc, char* argv[]) {
    static std::map<std::string, PathLook> looks;
    std::vector<std::string> asked;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!arg.empty() && !(i == 1 && arg == "--") && !looks.contains(arg) &&
            std::find(asked.begin(), asked.end(), arg) == asked.end()) {
            asked.push_back(arg);
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '\0') {
            looks[argv[i]] = PathLook{true, ENOENT, false, {}};
        }
    }
    if (asked.empty()) {
        return looks;
    }
    std::string answer;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            for (const std::string& arg : asked) {
                writeLook(fds[1], arg);
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPathDeadlineMs);
        for (char buffer[4096];;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{fds[0], POLLIN, 0};
            if (child < 0 || left.count() <= 0 || ::poll(&fd, 1, int(left.count())) <= 0) {
                break;
            }
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        if (child > 0 && ::waitpid(child, nullptr, WNOHANG) == 0) {
            ::kill(child, SIGKILL);  // it goes once its drive answers; nobody waits for it
        }
    }
    std::size_t at = 0;
    for (const std::string& arg : asked) {
        PathLook look;
        const std::size_t head = sizeof(int) + 1 + sizeof(std::uint32_t);
        std::uint32_t length = 0;
        if (answer.size() >= at + head) {
            std::memcpy(&length, answer.data() + at + sizeof(int) + 1, sizeof length);
        }
        if (answer.size() >= at + head + length && answer.size() >= at + head) {
            std::memcpy(&look.error, answer.data() + at, sizeof look.error);
            look.isFolder = answer[at + sizeof(int)] != 0;
            look.absolute = answer.substr(at + head, length);
            at += head + length;
        } else {
            at = answer.size();
            const auto [folder, name] = splitPath(arg);
            look = PathLook{
                false, 0, true,
                core::normalizeFolder(name.empty() ? folder : core::joinPath(folder, name))};
        }
        looks[arg] = look;
    }
    return looks;
}

}  // namespace

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return true;
        }
    }
    return false;
}

WindowBlock windowBlock(int argc, char* argv[]) {
    // Every path must exist: one that does not is never replaced by its parent, which would
    // open another folder than the one asked for.
    const int first = argc > 1 && std::string_view(argv[1]) == "--" ? 2 : 1;
    const std::map<std::string, PathLook>& looks = lookAtPaths(argc, argv);
    for (int i = first; i < argc; ++i) {
        const std::string path = argv[i];
        const PathLook& look = looks.at(path);
        if (look.error != 0) {
            const bool word = i == 1 && look.error == ENOENT && path.find('/') == std::string::npos;
            return {word ? WindowBlock::Why::NotACommand : WindowBlock::Why::CannotOpen,
                    path,
                    look.error,
                    {}};
        }
    }
    // The window shows one folder: paths that lie in several are refused, naming them.
    std::vector<std::string> folders;
    for (int i = first; i < argc; ++i) {
        const PathLook& look = looks.at(argv[i]);
        std::string folder = core::normalizeFolder(
            look.isFolder ? look.absolute : core::parentFolder(look.absolute));
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(std::move(folder));
        }
    }
    if (folders.size() > 1) {
        return {WindowBlock::Why::SeveralFolders, {}, 0, std::move(folders)};
    }
    if (!hasDisplay()) {
        return {WindowBlock::Why::NoDisplay, {}, 0, {}};
    }
    return {};
}

namespace {

int usageError(const std::string& what) {
    writeErr(
        "kovra: " + what + "\n" + usage() +
        message(QT_TRANSLATE_NOOP("cli", "Try \"%1 --help\" for more information.\n"), {"kovra"}));
    return kUsageError;
}

// The option getopt_long just refused, as the user wrote it. `shortOptions` are the command's.
std::string refusedOption(char* argv[], const char* shortOptions) {
    // An unknown short option is named by optopt; a long one (unknown, or given a value it does
    // not take) is the whole argument just passed.
    if (optopt > 0 && optopt < 0x80 && std::strchr(shortOptions, optopt) == nullptr) {
        const char c = static_cast<char>(optopt);
        // Appended rather than added to a literal, which GCC 12 warns of wrongly (-Wrestrict).
        std::string option = "-";
        option += escaped(std::string_view(&c, 1));
        return option;
    }
    return escaped(argv[optind - 1]);
}

int unknownOption(char* argv[], const char* shortOptions) {
    return usageError(message(QT_TRANSLATE_NOOP("cli", "unknown option %1"),
                              {refusedOption(argv, shortOptions)}));
}

// The number of -j: folders at once, 1 or more; 0 when it is not one.
int jobsOf(const char* text) {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && n >= 1 && n <= 256 ? static_cast<int>(n) : 0;
}

int badJobs() {
    return usageError(
        message(QT_TRANSLATE_NOOP("cli", "-j takes how many folders at once, from 1 to 256")));
}

// `argv[0]` is the command's own word. Options may follow the paths; "--" ends them.
int runRename(int argc, char* argv[]) {
    enum { kNoUndo = 0x100, kProgress, kNoProgress };
    // "-": the paths come in order among the options, whatever POSIXLY_CORRECT says.
    static constexpr const char* kShort = "-nrvahj:";
    static const option kLong[] = {{"dry-run", no_argument, nullptr, 'n'},
                                   {"recursive", no_argument, nullptr, 'r'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"all", no_argument, nullptr, 'a'},
                                   {"no-undo", no_argument, nullptr, kNoUndo},
                                   {"jobs", required_argument, nullptr, 'j'},
                                   {"progress", no_argument, nullptr, kProgress},
                                   {"no-progress", no_argument, nullptr, kNoProgress},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    RenameOptions options;
    std::vector<std::string> paths;
    optind = 0;  // start afresh
    opterr = 0;  // the messages are ours, in the user's language
    for (int c; (c = ::getopt_long(argc, argv, kShort, kLong, nullptr)) != -1;) {
        switch (c) {
            case 1:
                paths.emplace_back(optarg);
                break;
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
            case kNoUndo:
                options.noUndo = true;
                break;
            case kProgress:
            case kNoProgress:
                options.progress = c == kProgress ? ProgressMode::On : ProgressMode::Off;
                break;
            case 'j':
                if ((options.jobs = jobsOf(optarg)) == 0) {
                    return badJobs();
                }
                break;
            case 'h':
                printHelp();
                return kSuccess;
            default:
                return optopt == 'j' ? badJobs() : unknownOption(argv, kShort);
        }
    }
    paths.insert(paths.end(), argv + optind, argv + argc);  // after "--"
    if (paths.empty()) {
        return usageError(message(QT_TRANSLATE_NOOP("cli", "rename needs at least one PATH")));
    }
    return renameCommand(options, paths);
}

// --name-from's word as a choice; false for a word it does not take.
bool nameFromOf(const char* word, fs::NameFrom& out) {
    const std::string w(word);
    if (w == "folder" || w == "source" || w == "path") {
        out = w == "folder" ? fs::NameFrom::Folder
                            : (w == "source" ? fs::NameFrom::Source : fs::NameFrom::Path);
        return true;
    }
    return false;
}

// --dedupe's word as a keep rule (none: the first SOURCE's); false for a word it does not take.
bool dedupeOf(const char* word, fs::Dedupe& out) {
    const std::string w(word == nullptr ? "first" : word);
    if (w == "first" || w == "oldest" || w == "newest") {
        out = w == "first" ? fs::Dedupe::First
                           : (w == "oldest" ? fs::Dedupe::Oldest : fs::Dedupe::Newest);
        return true;
    }
    return false;
}

int runMerge(int argc, char* argv[]) {
    enum {
        kNoUndo = 0x100,
        kKeepDuplicates,
        kNumber,
        kKeepFolders,
        kProgress,
        kNoProgress,
        kNameFrom,
        kDedupe
    };
    static constexpr const char* kShort = "-nvah";
    static const option kLong[] = {{"dry-run", no_argument, nullptr, 'n'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"all", no_argument, nullptr, 'a'},
                                   {"keep-duplicates", no_argument, nullptr, kKeepDuplicates},
                                   {"number", no_argument, nullptr, kNumber},
                                   {"keep-folders", no_argument, nullptr, kKeepFolders},
                                   {"name-from", required_argument, nullptr, kNameFrom},
                                   {"dedupe", optional_argument, nullptr, kDedupe},
                                   {"no-undo", no_argument, nullptr, kNoUndo},
                                   {"progress", no_argument, nullptr, kProgress},
                                   {"no-progress", no_argument, nullptr, kNoProgress},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    MergeOptions options;
    std::vector<std::string> paths;
    optind = 0;
    opterr = 0;
    for (int c; (c = ::getopt_long(argc, argv, kShort, kLong, nullptr)) != -1;) {
        switch (c) {
            case 1:
                paths.emplace_back(optarg);
                break;
            case 'n':
                options.dryRun = true;
                break;
            case 'v':
                options.verbose = true;
                break;
            case 'a':
                options.all = true;
                break;
            case kKeepDuplicates:
                options.keepDuplicates = true;
                break;
            case kNumber:
                options.number = true;
                break;
            case kKeepFolders:
                options.keepFolders = true;
                break;
            case kNameFrom:
                if (!nameFromOf(optarg, options.nameFrom)) {
                    return usageError(message(
                        QT_TRANSLATE_NOOP("cli", "--name-from takes folder, source or path")));
                }
                break;
            case kDedupe:
                if (!dedupeOf(optarg, options.dedupe)) {
                    return usageError(message(
                        QT_TRANSLATE_NOOP("cli", "--dedupe takes first, oldest or newest")));
                }
                break;
            case kNoUndo:
                options.noUndo = true;
                break;
            case kProgress:
            case kNoProgress:
                options.progress = c == kProgress ? ProgressMode::On : ProgressMode::Off;
                break;
            case 'h':
                printMergeHelp();
                return kSuccess;
            default:
                return unknownOption(argv, kShort);
        }
    }
    paths.insert(paths.end(), argv + optind, argv + argc);
    if (paths.size() < 2) {
        return usageError(
            message(QT_TRANSLATE_NOOP("cli", "merge needs at least one SOURCE and a DEST")));
    }
    return mergeCommand(options, paths);
}

int runUndo(int argc, char* argv[]) {
    enum { kJson = 0x100, kProgress, kNoProgress };
    static constexpr const char* kShort = "-hlvj:";
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                   {"list", no_argument, nullptr, 'l'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"json", no_argument, nullptr, kJson},
                                   {"jobs", required_argument, nullptr, 'j'},
                                   {"progress", no_argument, nullptr, kProgress},
                                   {"no-progress", no_argument, nullptr, kNoProgress},
                                   {nullptr, 0, nullptr, 0}};
    optind = 0;
    opterr = 0;
    bool list = false;
    bool verbose = false;
    bool json = false;
    ProgressMode progress = ProgressMode::Auto;
    int jobs = 0;
    std::vector<std::string> words;
    for (int c; (c = ::getopt_long(argc, argv, kShort, kLong, nullptr)) != -1;) {
        switch (c) {
            case 1:
                words.emplace_back(optarg);
                break;
            case 'l':
                list = true;
                break;
            case 'v':
                verbose = true;
                break;
            case kJson:
                json = true;
                break;
            case kProgress:
            case kNoProgress:
                progress = c == kProgress ? ProgressMode::On : ProgressMode::Off;
                break;
            case 'j':
                if ((jobs = jobsOf(optarg)) == 0) {
                    return badJobs();
                }
                break;
            case 'h':
                printUndoHelp();
                return kSuccess;
            default:
                return optopt == 'j' ? badJobs() : unknownOption(argv, kShort);
        }
    }
    words.insert(words.end(), argv + optind, argv + argc);
    if (list) {
        return !words.empty() ? usageError(message(QT_TRANSLATE_NOOP(
                                    "cli", "undo --list takes no other arguments")))
                              : undoListCommand(verbose, json);
    }
    if (json) {
        return usageError(message(QT_TRANSLATE_NOOP("cli", "--json goes with undo --list")));
    }
    if (verbose) {
        return usageError(message(QT_TRANSLATE_NOOP("cli", "-v goes with undo --list")));
    }
    if (words.size() > 1) {
        return usageError(message(QT_TRANSLATE_NOOP("cli", "undo takes at most one number")));
    }
    int entry = 0;
    if (!words.empty()) {
        const char* const word = words.front().c_str();
        char* end = nullptr;
        const long n = std::strtol(word, &end, 10);
        if (end == word || *end != '\0' || n < 1 || n > 1000) {
            return usageError(message(QT_TRANSLATE_NOOP(
                "cli", "undo takes the number of a run, as undo --list shows it")));
        }
        entry = static_cast<int>(n);
    }
    return undoCommand(entry, jobs, progress);
}

// The options of the program itself: --help and --version.
int runProgramOptions(int argc, char* argv[]) {
    static constexpr const char* kShort = "+hV";
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    optind = 0;
    opterr = 0;
    const int c = ::getopt_long(argc, argv, kShort, kLong, nullptr);
    if (c == 'h') {
        printHelp();
    } else if (c == 'V') {
        printVersion();
    } else {
        return unknownOption(argv, kShort + 1);
    }
    return kSuccess;
}

// Says why the window asked for cannot open.
int refuseWindow(const WindowBlock& block) {
    switch (block.why) {
        case WindowBlock::Why::NotACommand:
            return usageError(
                message(QT_TRANSLATE_NOOP("cli", "%1: no such file or folder, and not a command"),
                        {escaped(block.path)}));
        case WindowBlock::Why::CannotOpen:
            writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: cannot open %2: %3\n"),
                             {"kovra", escaped(block.path), reason(block.error)}));
            break;
        case WindowBlock::Why::SeveralFolders: {
            std::string text = message(
                QT_TRANSLATE_NOOP(
                    "cli", "%1: the window opens one folder, and these paths lie in several:\n"),
                {"kovra"});
            for (const std::string& folder : block.folders) {
                text += "  " + escaped(folder) + "\n";
            }
            writeErr(text + message(QT_TRANSLATE_NOOP("cli",
                                                      "To rename files of several folders: %1 "
                                                      "rename PATH...\n"),
                                    {"kovra"}));
            break;
        }
        case WindowBlock::Why::NoDisplay:
        case WindowBlock::Why::Nothing:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: there is no display to open the window on "
                                               "(neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                                               "To rename without the window: %1 rename PATH...\n"
                                               "Try \"%1 --help\" for more information.\n"),
                             {"kovra"}));
            break;
    }
    return kUsageError;
}

// Messages in the user's language, for as long as it lives: Japanese under a ja locale, English
// otherwise (English has a translation of its own for its plurals). Translations are compiled into
// the program.
class Messages {
public:
    explicit Messages(char* argv0) : argv_{argv0, nullptr}, app_(argc_, argv_) {
        const QString folder = QStringLiteral(":/i18n");
        if (translator_.load(QLocale(), QStringLiteral("kovra"), QStringLiteral("_"), folder) ||
            translator_.load(QStringLiteral("kovra_en"), folder)) {
            QCoreApplication::installTranslator(&translator_);
        }
    }

private:
    // Only the program's name: Qt must not take an argument (or a file's name) as its option.
    int argc_ = 1;
    char* argv_[2];
    QCoreApplication app_;
    QTranslator translator_;
};

// Standard output written to its end; a failure (a full disk, a closed pipe) is reported and is
// the command's failure.
int finishOutput(int status) {
    if (const int err = closeOutput(); err != 0) {
        writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: cannot write the output: %2\n"),
                         {"kovra", reason(err)}));
        return status == kSuccess ? kRunFailed : status;
    }
    return status;
}

}  // namespace

bool asksForWindow(int argc, char* argv[]) {
    if (argc >= 2) {
        const std::string_view first = argv[1];
        if (first != "--" && (isOption(first) || isCommand(first))) {
            return false;
        }
    }
    return true;
}

bool wantsWindow(int argc, char* argv[]) {
    return asksForWindow(argc, argv) && windowBlock(argc, argv).why == WindowBlock::Why::Nothing;
}

std::vector<std::string> windowPaths(int argc, char* argv[]) {
    std::vector<std::string> paths;
    const std::map<std::string, PathLook>& looks = lookAtPaths(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        if ((path == "--" && i == 1) || path.empty()) {
            continue;
        }
        paths.push_back(looks.at(path).absolute);
    }
    return paths;
}

int run(int argc, char* argv[]) {
    const std::string_view first = argc > 1 ? argv[1] : "";
    // The fastest answer needs no translation, unless it could not be written.
    if (first == "--version" || first == "-V") {
        printVersion();
        if (closeOutput() == 0) {
            return kSuccess;
        }
    }
    // A pipe closed by the reader must not end a run between two renames.
    std::signal(SIGPIPE, SIG_IGN);
    // The window program beside this one is the program's own as well: never renamed.
    keepWindowProgram();
    const Messages messages(argv[0]);

    int status = kSuccess;
    if (first == "rename") {
        status = runRename(argc - 1, argv + 1);
    } else if (first == "undo") {
        status = runUndo(argc - 1, argv + 1);
    } else if (first == "merge") {
        status = runMerge(argc - 1, argv + 1);
    } else if (isOption(first) && first != "--") {
        // --version already printed above when its output failed: only the failure is left.
        status = first == "--version" || first == "-V" ? kSuccess : runProgramOptions(argc, argv);
    } else {
        status = refuseWindow(windowBlock(argc, argv));
    }
    return finishOutput(status);
}

namespace {

// This program's file, by the path it was started from.
std::string launcherPath() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self);
    return length > 0 && static_cast<std::size_t>(length) < sizeof self
               ? std::string(self, static_cast<std::size_t>(length))
               : std::string();
}

// Beside this program in the build tree; in a folder of its own under libexec once installed.
std::string windowProgramPath(const std::string& launcher) {
    const std::string folder = core::parentFolder(launcher);
    std::string program = core::joinPath(folder, KOVRA_WINDOW_PROGRAM);
    if (::access(program.c_str(), X_OK) != 0) {
        program = core::joinPath(folder, KOVRA_WINDOW_FROM_BIN "/" KOVRA_WINDOW_PROGRAM);
    }
    return program;
}

// This program's file as the window program is told of it: DEVICE:INODE:PATH.
std::string launcherWord(const std::string& launcher) {
    struct stat st {};
    if (::stat("/proc/self/exe", &st) != 0) {
        return launcher;
    }
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + launcher;
}

}  // namespace

void keepWindowProgram() {
    fs::addProgramFile(windowProgramPath(launcherPath()));
}

void keepLauncher(const std::string& word) {
    // DEVICE:INODE:PATH; a bare path is looked at now.
    const char* const begin = word.data();
    const char* const end = begin + word.size();
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    const auto [afterDevice, deviceError] = std::from_chars(begin, end, device);
    if (deviceError == std::errc() && afterDevice != end && *afterDevice == ':') {
        const auto [afterInode, inodeError] = std::from_chars(afterDevice + 1, end, inode);
        if (inodeError == std::errc() && afterInode != end && *afterInode == ':') {
            fs::addProgramFile(std::string(afterInode + 1, end), fs::FileId{device, inode});
            return;
        }
    }
    fs::addProgramFile(word);
}

int startWindow(char* argv0, const char* mode, const std::vector<std::string>& args) {
    const std::string launcher = launcherPath();
    const std::string program = windowProgramPath(launcher);
    // The window program keeps this program's file in its runs, by what it is now.
    const std::string word = launcherWord(launcher);
    std::vector<char*> argv{argv0, const_cast<char*>(word.c_str()), const_cast<char*>(mode)};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    const int err = errno;
    const Messages messages(argv0);
    writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: cannot start the window program %2: %3\n"),
                     {"kovra", escaped(program), reason(err)}));
    return kUsageError;
}

}  // namespace cli
