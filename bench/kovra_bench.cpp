// Benchmark: Kovra's main window on folders of many files, against the system-call floor.
//
// For each size N the parent runs a child process (so each N has its own peak memory). The child
// drives the real main window offscreen as a user would: it opens the folder from the folder
// list, clicks "select all" and "start", and times each step; then it times the floor (one
// readdir pass and one renameat2 per file) and, where installed, mmv and perl's rename, each on
// a fresh copy of the same folder.

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QAbstractItemView>
#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fs/listing.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "fs/undo.h"
#include "ui/mainwindow.h"
#include "widgets/filelistbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

long statusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
        }
    }
    return 0;
}

// Bytes the heap has handed out and not taken back.
double heapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

bool programExists(const char* name) {
    const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::string fileName(int i) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "IMG_%07d.jpg", i);
    return buffer;
}

// A fresh folder `parent`/`name` holding n empty files.
std::string makeFolder(const std::string& parent, const std::string& name, int n) {
    const std::string folder = parent + "/" + name;
    if (::mkdir(folder.c_str(), 0755) != 0) {
        std::perror(folder.c_str());
        std::exit(2);
    }
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < n; ++i) {
        const int fd = ::openat(dirfd, fileName(i).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        if (fd < 0) {
            std::perror("create");
            std::exit(2);
        }
        ::close(fd);
    }
    ::close(dirfd);
    return folder;
}

void removeFolder(const std::string& folder) {
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirfd < 0) {
        return;
    }
    for (const std::string& name : fs::listFiles(folder).names) {
        ::unlinkat(dirfd, name.c_str(), 0);
    }
    ::close(dirfd);
    ::rmdir(folder.c_str());
}

// Counts the files whose name begins with `prefix`: each tool must have renamed them all.
int countPrefixed(const std::string& folder, const std::string& prefix) {
    int count = 0;
    for (const std::string& name : fs::listFiles(folder).names) {
        count += name.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

// The floor: the folder read once, one renameat2 per file, nothing else.
double floorRun(const std::string& folder, const std::string& prefix) {
    const auto start = Clock::now();
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    DIR* dir = ::fdopendir(dirfd);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    std::string target;
    for (const std::string& name : names) {
        target.assign(prefix).append(name);
        ::renameat2(dirfd, name.c_str(), dirfd, target.c_str(), RENAME_NOREPLACE);
    }
    ::closedir(dir);
    return msSince(start);
}

// Runs `argv` in `folder` with `input` on its standard input; returns the wall time in ms.
double runTool(const std::string& folder, const std::vector<std::string>& argv,
               const std::string& input) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) {
        return -1;
    }
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[0], 0);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        if (::chdir(folder.c_str()) != 0) {
            ::_exit(127);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipefd[0]);
    std::size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = ::write(pipefd[1], input.data() + written, input.size() - written);
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    ::close(pipefd[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return msSince(start);
}

// Rename pass timing through the system-call seam: from the first rename to the end of the last.
Clock::time_point gFirstRename;
Clock::time_point gLastRename;
bool gRenameSeen = false;
int timedRenameat2(int a, const char* b, int c, const char* d, unsigned int flags) {
    if (!gRenameSeen) {
        gRenameSeen = true;
        gFirstRename = Clock::now();
    }
    const int result = fs::defaultSyscalls().renameat2(a, b, c, d, flags);
    gLastRename = Clock::now();
    return result;
}

struct Figures {
    std::vector<double> load, selectAll, run, renames, floor, mmv, perlRename;
    double bytesPerEntry = 0;
    double nameBytesPerEntry = 0;
    long baselineKb = 0;
    long peakKb = 0;
};

// One repetition through the window: open the folder from Dir1, select all, start.
void windowRepetition(const std::string& root, const std::string& folderName, int n,
                      Figures& figures, bool measureMemory) {
    ui::MainWindow window(root);
    window.show();
    QApplication::processEvents();
    auto* dir1 = window.findChild<QAbstractItemView*>("Dir1");
    auto* file1 = window.findChild<widgets::FileListBox*>("File1");
    auto* selectAll = window.findChild<QPushButton*>("b_all_choise");
    auto* start = window.findChild<QPushButton*>("b_atart");
    if (dir1 == nullptr || file1 == nullptr || selectAll == nullptr || start == nullptr) {
        std::fprintf(stderr, "main window controls not found\n");
        std::exit(2);
    }
    const QModelIndexList match =
        dir1->model()->match(dir1->model()->index(0, 0), Qt::DisplayRole,
                             QString::fromStdString(folderName), 1, Qt::MatchExactly);
    if (match.isEmpty()) {
        std::fprintf(stderr, "folder %s not in Dir1\n", folderName.c_str());
        std::exit(2);
    }
    dir1->setFocus();
    dir1->setCurrentIndex(match.first());
    QApplication::processEvents();

    const double heapBefore = heapInUse();
    auto t = Clock::now();
    QTest::keyClick(dir1, Qt::Key_Return);  // opens the folder: File1 lists it
    figures.load.push_back(msSince(t));
    if (file1->count() != n) {
        std::fprintf(stderr, "File1 holds %lld of %d\n", static_cast<long long>(file1->count()), n);
        std::exit(2);
    }
    if (measureMemory) {
        double nameBytes = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            nameBytes += static_cast<double>(file1->at(i).size() + 1);
        }
        figures.bytesPerEntry = (heapInUse() - heapBefore) / n;
        figures.nameBytesPerEntry = nameBytes / n;
    }
    QApplication::processEvents();

    t = Clock::now();
    selectAll->click();
    figures.selectAll.push_back(msSince(t));

    gRenameSeen = false;
    t = Clock::now();
    start->click();
    figures.run.push_back(msSince(t));
    figures.renames.push_back(
        gRenameSeen ? std::chrono::duration<double, std::milli>(gLastRename - gFirstRename).count()
                    : 0);
    const std::string prefix = folderName + "_";
    if (countPrefixed(file1->path(), prefix) != n) {
        std::fprintf(stderr, "the run left files unrenamed\n");
        std::exit(2);
    }
}

int child(int n, int reps, const std::string& root) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "kovra_bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    fs::syscalls().renameat2 = timedRenameat2;
    Figures figures;
    figures.baselineKb = statusKb("VmRSS:");

    const bool haveMmv = programExists("mmv");
    const bool havePerlRename = programExists("rename");
    for (int rep = 0; rep < reps; ++rep) {
        const std::string work = root + "/n" + std::to_string(n) + "_" + std::to_string(rep);
        ::mkdir(work.c_str(), 0755);
        const std::string photos = makeFolder(work, "photos", n);
        windowRepetition(work, "photos", n, figures, rep == 0);
        removeFolder(photos);

        const std::string floorFolder = makeFolder(work, "floor", n);
        figures.floor.push_back(floorRun(floorFolder, "floor_"));
        if (countPrefixed(floorFolder, "floor_") != n) {
            std::fprintf(stderr, "floor run incomplete\n");
        }
        removeFolder(floorFolder);

        if (haveMmv) {
            const std::string folder = makeFolder(work, "mmvdir", n);
            figures.mmv.push_back(runTool(folder, {"mmv", "-r", "*", "mmvdir_#1"}, ""));
            if (countPrefixed(folder, "mmvdir_") != n) {
                std::fprintf(stderr, "mmv left files unrenamed\n");
            }
            removeFolder(folder);
        }
        if (havePerlRename) {
            const std::string folder = makeFolder(work, "perldir", n);
            std::string names;  // on standard input: a million names exceed the argument limit
            for (int i = 0; i < n; ++i) {
                names += fileName(i);
                names += '\0';
            }
            figures.perlRename.push_back(runTool(folder, {"rename", "-0", "s/^/perldir_/"}, names));
            if (countPrefixed(folder, "perldir_") != n) {
                std::fprintf(stderr, "rename left files unrenamed\n");
            }
            removeFolder(folder);
        }
        ::rmdir(work.c_str());
    }
    figures.peakKb = statusKb("VmHWM:");

    // One line the parent reads back.
    std::printf(
        "RESULT n=%d load=%.3f select=%.3f run=%.3f renames=%.3f floor=%.3f mmv=%.3f "
        "rename=%.3f peak_kb=%ld base_kb=%ld bytes_per_entry=%.1f name_bytes=%.1f\n",
        n, median(figures.load), median(figures.selectAll), median(figures.run),
        median(figures.renames), median(figures.floor), median(figures.mmv),
        median(figures.perlRename), figures.peakKb, figures.baselineKb, figures.bytesPerEntry,
        figures.nameBytesPerEntry);
    return 0;
}

std::map<std::string, double> parseResult(const std::string& line) {
    std::map<std::string, double> values;
    std::istringstream in(line.substr(line.find(' ') + 1));
    std::string pair;
    while (in >> pair) {
        const std::size_t eq = pair.find('=');
        values[pair.substr(0, eq)] = std::strtod(pair.c_str() + eq + 1, nullptr);
    }
    return values;
}

std::string ratio(double value, double floor) {
    if (value < 0 || floor <= 0) {
        return "n/a";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2fx", value / floor);
    return buffer;
}

}  // namespace

// The run's journal, timed: begin (the plan written and synced) and end (the mark).
class TimedJournal : public core::RunJournal {
public:
    fs::JournalRecorder recorder;
    double ms = 0;
    int begin(const std::string& folder, const core::WorkList& list) override {
        const auto start = Clock::now();
        const int err = recorder.begin(folder, list);
        ms += msSince(start);
        return err;
    }
    void end() override {
        const auto start = Clock::now();
        recorder.end();
        ms += msSince(start);
    }
};

// The journal's share of the run of `n` files, and the undo against the floor, without the
// window: the rename run as the window calls it, then the undo from the journal.
void journalFigures(const std::string& root, int n, int reps) {
    std::vector<double> journal, run, undo, floor;
    for (int r = 0; r < reps; ++r) {
        const std::string folder = makeFolder(root, "undo", n);
        fs::PlainFileList list(folder);
        list.selectAll();
        core::WorkList list1;
        core::WorkList list2;
        fs::PosixFileSystem fileSystem;
        TimedJournal timed;
        core::RunOptions options;
        options.journal = &timed;
        auto start = Clock::now();
        const core::RunResult result = core::renameRun(list, list1, list2, fileSystem, options);
        run.push_back(msSince(start));
        journal.push_back(timed.ms);
        start = Clock::now();
        const fs::UndoReport report = fs::undoLastRun(fs::stateDirectory());
        undo.push_back(msSince(start));
        if (result.renamed != n || report.renamed != n) {
            std::fprintf(stderr, "journal figures: run %lld, undo %lld of %d\n",
                         static_cast<long long>(result.renamed),
                         static_cast<long long>(report.renamed), n);
        }
        removeFolder(folder);
        const std::string floorFolder = makeFolder(root, "floor", n);
        floor.push_back(floorRun(floorFolder, "floor_"));
        removeFolder(floorFolder);
    }
    const double j = median(journal);
    const double r = median(run);
    std::printf(
        "journal N=%d: plan kept in %.1f ms of a %.1f ms run (%.1f %%, goal <= 5 %%); undo %.1f "
        "ms, floor %.1f ms, undo/floor %s (goal <= 1.1x)\n",
        n, j, r, r > 0 ? 100.0 * j / r : 0.0, median(undo), median(floor),
        ratio(median(undo), median(floor)).c_str());
}

int main(int argc, char* argv[]) {
    std::vector<int> sizes{10000, 100000, 1000000};
    int reps = 5;
    std::string self = argv[0];
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--child" && i + 3 < argc) {
            return child(std::atoi(argv[i + 1]), std::atoi(argv[i + 2]), argv[i + 3]);
        }
        if (arg == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::istringstream in(argv[++i]);
            std::string item;
            while (std::getline(in, item, ',')) {
                sizes.push_back(std::atoi(item.c_str()));
            }
        } else if (arg == "--reps" && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        }
    }

    // A tmpfs of our own keeps the disk out of the figures; without the right to mount one,
    // fall back to the temporary folder.
    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp != nullptr ? tmp : "/tmp") + "/kovra-bench-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const bool mounted = ::mount("tmpfs", root.c_str(), "tmpfs", 0, "size=8g") == 0;
    std::printf("folder: %s (%s)\n", root.c_str(),
                mounted ? "a tmpfs mounted for the benchmark" : "the temporary folder, no tmpfs");
    // The runs' journals stay inside the benchmark's folder.
    ::setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
    std::printf("tools: mmv %s, perl rename %s\n", programExists("mmv") ? "yes" : "not installed",
                programExists("rename") ? "yes" : "not installed");
    std::printf("%9s %10s %10s %10s %10s %10s %8s %8s %8s %9s %10s %10s\n", "N", "load ms",
                "select ms", "run ms", "renames ms", "floor ms", "run/fl", "mmv/fl", "perl/fl",
                "peak MB", "B/entry+", "peak B/e");
    std::fflush(stdout);

    std::map<int, std::map<std::string, double>> results;
    for (const int n : sizes) {
        const int r = n >= 1000000 ? std::max(1, std::min(reps, 3)) : reps;
        const std::string command = "'" + self + "' --child " + std::to_string(n) + " " +
                                    std::to_string(r) + " '" + root + "'";
        FILE* pipe = ::popen(command.c_str(), "r");
        char line[1024];
        while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
            if (std::strncmp(line, "RESULT ", 7) == 0) {
                results[n] = parseResult(line);
            }
        }
        if (pipe == nullptr || ::pclose(pipe) != 0 || results[n].empty()) {
            std::fprintf(stderr, "run for N=%d failed\n", n);
            continue;
        }
        auto& v = results[n];
        v["peak_per_entry"] = (v["peak_kb"] - v["base_kb"]) * 1024.0 / n;
        std::printf("%9d %10.1f %10.3f %10.1f %10.1f %10.1f %8s %8s %8s %9.1f %10.1f %10.1f\n", n,
                    v["load"], v["select"], v["run"], v["renames"], v["floor"],
                    ratio(v["run"], v["floor"]).c_str(), ratio(v["mmv"], v["floor"]).c_str(),
                    ratio(v["rename"], v["floor"]).c_str(), v["peak_kb"] / 1024.0,
                    v["bytes_per_entry"] - v["name_bytes"], v["peak_per_entry"]);
        std::fflush(stdout);
    }

    if (results.count(100000) && results.count(1000000)) {
        auto& a = results[100000];
        auto& b = results[1000000];
        std::printf("scaling 100k -> 1M: load %.1fx, run %.1fx\n", b["load"] / a["load"],
                    b["run"] / a["run"]);
    }
    std::printf(
        "(medians of %d repetitions, 3 at 1M; B/entry+: heap bytes per listed entry beyond its "
        "name's bytes; peak B/e: peak resident memory above the start, per entry, with the names, "
        "both work lists and the list read again after the run)\n",
        reps);
    for (auto& [n, v] : results) {
        std::printf(
            "summary N=%d: load %.1f ms, select-all %.3f ms, run %.1f ms (renames %.1f ms),"
            " floor %.1f ms, run/floor %s, mmv/floor %s, rename/floor %s, %.1f B/entry "
            "beyond names, peak %.0f B/entry\n",
            n, v["load"], v["select"], v["run"], v["renames"], v["floor"],
            ratio(v["run"], v["floor"]).c_str(), ratio(v["mmv"], v["floor"]).c_str(),
            ratio(v["rename"], v["floor"]).c_str(), v["bytes_per_entry"] - v["name_bytes"],
            v["peak_per_entry"]);
    }
    if (std::find(sizes.begin(), sizes.end(), 100000) != sizes.end()) {
        journalFigures(root, 100000, reps);
    }
    fs::removeJournal(fs::stateDirectory());
    ::rmdir(fs::stateDirectory().c_str());
    ::rmdir((root + "/state").c_str());
    if (mounted) {
        ::umount(root.c_str());
    }
    ::rmdir(root.c_str());
    return 0;
}
