// Benchmark: Kovra's main window on folders of many files, against the system-call floor.
//
// For each file system and size N the parent runs a child process (so each has its own peak
// memory). The child drives the real main window offscreen as a user would: it opens the folder
// from the folder list, clicks "select all", "start" and "redisplay", and times each step, with
// the longest gap of the window's event loop during it (a 1 ms timer on the window's thread);
// then it times the floors (one readdir pass; one readdir pass and the sort, as a C program
// would; one readdir pass, the sort and one renameat2 per file) and, where installed, mmv and
// perl's rename, each on a fresh copy of the same folder. Before all that it runs the window
// over an empty folder, so that its peak memory is counted beyond what the window costs anyway.
// The file systems: a tmpfs, and ext4, xfs and btrfs made on loop images (as root).

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <strings.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QAbstractItemView>
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>

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
#include "fs/memory.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "fs/undo/undo.h"
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

// Sets the peak resident memory (VmHWM) back to the resident memory now, so that the next peak
// read is that of what runs in between.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
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

// Calls `f` with each name of `folder`, one at a time: the benchmark's own checks must not hold
// a list of the folder beside the window's, which would count in the window's peak memory.
template <class F>
void forEachName(const std::string& folder, F f) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            f(e->d_name);
        }
    }
    ::closedir(dir);
}

void removeFolder(const std::string& folder) {
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirfd < 0) {
        return;
    }
    // Unlinking while reading may skip entries: repeat until the folder is empty.
    bool any = true;
    while (any) {
        any = false;
        forEachName(folder, [&](const char* name) {
            any = true;
            ::unlinkat(dirfd, name, 0);
        });
    }
    ::close(dirfd);
    ::rmdir(folder.c_str());
}

// Counts the files whose name begins with `prefix`: each tool must have renamed them all.
int countPrefixed(const std::string& folder, const std::string& prefix) {
    int count = 0;
    forEachName(folder, [&](const char* name) {
        count += std::strncmp(name, prefix.c_str(), prefix.size()) == 0 ? 1 : 0;
    });
    return count;
}

// The reading floor: the folder read once, the names kept, nothing else.
double readdirFloor(const std::string& folder) {
    const auto start = Clock::now();
    DIR* dir = ::opendir(folder.c_str());
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    ::closedir(dir);
    return msSince(start);
}

extern "C" int displayCompare(const void* a, const void* b) {
    const char* x = *static_cast<const char* const*>(a);
    const char* y = *static_cast<const char* const*>(b);
    const int folded = strcasecmp(x, y);
    return folded != 0 ? folded : std::strcmp(x, y);
}

// The sorted list's floor, as a C program would make it: readdir, the names copied into one
// growing buffer, then qsort of pointers to them in display order (case folded, then bytes).
double readdirSortFloor(const std::string& folder) {
    const auto start = Clock::now();
    DIR* dir = ::opendir(folder.c_str());
    char* bytes = nullptr;
    std::size_t used = 0;
    std::size_t room = 0;
    std::size_t* offsets = nullptr;
    std::size_t count = 0;
    std::size_t places = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        const std::size_t size = std::strlen(e->d_name) + 1;
        if (used + size > room) {
            room = std::max<std::size_t>(2 * room, 1 << 16);
            bytes = static_cast<char*>(std::realloc(bytes, room));
        }
        if (count == places) {
            places = std::max<std::size_t>(2 * places, 1 << 12);
            offsets = static_cast<std::size_t*>(std::realloc(offsets, places * sizeof *offsets));
        }
        std::memcpy(bytes + used, e->d_name, size);
        offsets[count++] = used;
        used += size;
    }
    ::closedir(dir);
    auto** names = static_cast<char**>(std::malloc((count + 1) * sizeof(char*)));
    for (std::size_t i = 0; i < count; ++i) {
        names[i] = bytes + offsets[i];
    }
    std::qsort(names, count, sizeof *names, displayCompare);
    const double ms = msSince(start);
    std::free(names);
    std::free(offsets);
    std::free(bytes);
    return ms;
}

// The run's floor: the folder read once and sorted for display (the list's order, which on ext4
// renames faster than readdir's), one renameat2 per file, nothing else.
double floorRun(const std::string& folder, const std::string& prefix, double* renamesMs = nullptr) {
    const auto start = Clock::now();
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    DIR* dir = ::fdopendir(dirfd);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    fs::sortForDisplay(names);
    const auto renames = Clock::now();
    std::string target;
    for (const std::string& name : names) {
        target.assign(prefix).append(name);
        ::renameat2(dirfd, name.c_str(), dirfd, target.c_str(), RENAME_NOREPLACE);
    }
    if (renamesMs != nullptr) {
        *renamesMs = msSince(renames);
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

// The longest time the window's event loop went without running its 1 ms timer: how long the
// window could neither repaint nor answer.
class GapMeter : public QObject {
public:
    GapMeter() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start();
        reset();
    }
    void reset() {
        last_ = Clock::now();
        longest_ = 0;
    }
    // The longest gap since reset, the one going on now included.
    double longest() {
        tick();
        return longest_;
    }

private:
    void tick() {
        const auto now = Clock::now();
        longest_ =
            std::max(longest_, std::chrono::duration<double, std::milli>(now - last_).count());
        last_ = now;
    }
    QTimer timer_;
    Clock::time_point last_;
    double longest_ = 0;
};

// Runs the window's event loop until `done` holds.
void waitUntil(const std::function<bool()>& done) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

struct Figures {
    std::vector<double> load, firstScreen, readdir, sortedFloor, selectAll, run, confirmed, renames,
        beforeRenames, afterRenames, redisplay, floor, floorRenames, mmv, perlRename;
    std::vector<double> gapOpen, gapSelect, gapRun, gapRedisplay;
    double bytesPerEntry = 0;
    double nameBytesPerEntry = 0;
    long baselineKb = 0;
    long emptyPeakKb = 0;  // after the window's steps over an empty folder
    // The first repetition's peaks: opening; the run until its first progress update (its plan
    // kept); the rest of the run with the list shown and confirmed.
    long openPeakKb = 0;
    long planPeakKb = 0;
    long runPeakKb = 0;
};

// One repetition through the window: open the folder from Dir1, select all, start, redisplay.
void windowRepetition(const std::string& root, const std::string& folderName, int n,
                      Figures& figures, bool measureMemory) {
    ui::MainWindow window(root);
    window.show();
    QApplication::processEvents();
    auto* dir1 = window.findChild<QAbstractItemView*>("Dir1");
    auto* file1 = window.findChild<widgets::FileListBox*>("File1");
    auto* selectAll = window.findChild<QPushButton*>("b_all_choise");
    auto* start = window.findChild<QPushButton*>("b_atart");
    auto* redisplay = window.findChild<QPushButton*>("b_reset");
    if (dir1 == nullptr || file1 == nullptr || selectAll == nullptr || start == nullptr ||
        redisplay == nullptr) {
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
    figures.readdir.push_back(readdirFloor(root + "/" + folderName));
    figures.sortedFloor.push_back(readdirSortFloor(root + "/" + folderName));
    // The rows File1 shows at once.
    const std::int64_t screenful = std::min<std::int64_t>(
        n, file1->viewport()->height() / std::max(1, file1->fontMetrics().height()));
    const auto complete = [file1] { return !file1->isReading(); };
    GapMeter gaps;

    const double heapBefore = heapInUse();
    if (measureMemory) {
        resetPeak();
    }
    double firstScreen = -1;
    auto t = Clock::now();
    // Rows show once the folder is read and sorted, all at once.
    const QMetaObject::Connection shown =
        QObject::connect(file1->model(), &QAbstractItemModel::modelReset, [&] {
            if (firstScreen < 0 && file1->count() >= screenful) {
                firstScreen = msSince(t);
            }
        });
    gaps.reset();
    QTest::keyClick(dir1, Qt::Key_Return);  // opens the folder: File1 lists it
    if (firstScreen < 0 && file1->count() >= screenful) {
        firstScreen = msSince(t);
    }
    waitUntil(complete);
    figures.load.push_back(msSince(t));
    figures.gapOpen.push_back(gaps.longest());
    figures.firstScreen.push_back(firstScreen);
    QObject::disconnect(shown);
    if (file1->count() != n) {
        std::fprintf(stderr, "File1 holds %lld of %d\n", static_cast<long long>(file1->count()), n);
        std::exit(2);
    }
    if (measureMemory) {
        figures.openPeakKb = statusKb("VmHWM:");
        double nameBytes = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            nameBytes += static_cast<double>(file1->at(i).size() + 1);
        }
        figures.bytesPerEntry = (heapInUse() - heapBefore) / n;
        figures.nameBytesPerEntry = nameBytes / n;
    }
    QApplication::processEvents();

    t = Clock::now();
    gaps.reset();
    selectAll->click();
    waitUntil(complete);
    figures.selectAll.push_back(msSince(t));
    figures.gapSelect.push_back(gaps.longest());

    gRenameSeen = false;
    if (measureMemory) {
        resetPeak();
        window.setProgressHook([&figures](std::int64_t, std::int64_t) {
            if (figures.planPeakKb == 0) {
                figures.planPeakKb = statusKb("VmHWM:");
                resetPeak();
            }
        });
    }
    t = Clock::now();
    gaps.reset();
    start->click();
    // The run ends with the list showing what it did; a reading then confirms it.
    waitUntil(complete);
    figures.run.push_back(msSince(t));
    waitUntil([file1] { return !file1->isConfirming(); });
    figures.confirmed.push_back(msSince(t));
    figures.gapRun.push_back(gaps.longest());
    if (measureMemory) {
        figures.runPeakKb = statusKb("VmHWM:");
    }
    const auto between = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    };
    figures.renames.push_back(gRenameSeen ? between(gFirstRename, gLastRename) : 0);
    figures.beforeRenames.push_back(gRenameSeen ? between(t, gFirstRename) : 0);
    figures.afterRenames.push_back(gRenameSeen ? figures.run.back() - between(t, gLastRename) : 0);
    const std::string prefix = folderName + "_";
    if (countPrefixed(file1->path(), prefix) != n || file1->count() != n) {
        std::fprintf(stderr, "the run left files unrenamed\n");
        std::exit(2);
    }
    for (std::int64_t i = 0; i < n; ++i) {
        if (file1->at(i).rfind(prefix, 0) != 0) {
            std::fprintf(stderr, "File1 does not show the new names\n");
            std::exit(2);
        }
    }

    t = Clock::now();
    gaps.reset();
    redisplay->click();
    waitUntil(complete);
    figures.redisplay.push_back(msSince(t));
    figures.gapRedisplay.push_back(gaps.longest());
}

int child(int n, int reps, const std::string& root, bool tools) {
    fs::returnLargeBlocks();  // as the program does
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "kovra_bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    fs::syscalls().renameat2 = timedRenameat2;
    Figures figures;
    figures.baselineKb = statusKb("VmRSS:");
    {
        // The window's own cost, the progress dialog's included, with nothing to list.
        const std::string work = root + "/n" + std::to_string(n) + "_empty";
        ::mkdir(work.c_str(), 0755);
        const std::string photos = makeFolder(work, "photos", 0);
        Figures empty;
        windowRepetition(work, "photos", 0, empty, false);
        removeFolder(photos);
        ::rmdir(work.c_str());
        figures.emptyPeakKb = statusKb("VmHWM:");
    }

    const bool haveMmv = tools && programExists("mmv");
    const bool havePerlRename = tools && programExists("rename");
    for (int rep = 0; rep < reps; ++rep) {
        const std::string work = root + "/n" + std::to_string(n) + "_" + std::to_string(rep);
        ::mkdir(work.c_str(), 0755);
        const std::string photos = makeFolder(work, "photos", n);
        windowRepetition(work, "photos", n, figures, rep == 0);
        removeFolder(photos);

        const std::string floorFolder = makeFolder(work, "floor", n);
        double floorRenames = 0;
        figures.floor.push_back(floorRun(floorFolder, "floor_", &floorRenames));
        figures.floorRenames.push_back(floorRenames);
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

    // One line the parent reads back.
    std::printf(
        "RESULT n=%d load=%.3f first=%.3f readdir=%.3f sorted=%.3f select=%.3f run=%.3f "
        "confirmed=%.3f renames=%.3f before_renames=%.3f after_renames=%.3f redisplay=%.3f "
        "floor=%.3f floor_renames=%.3f mmv=%.3f rename=%.3f "
        "gap_open=%.3f gap_select=%.3f gap_run=%.3f gap_redisplay=%.3f open_peak_kb=%ld "
        "plan_peak_kb=%ld run_peak_kb=%ld empty_peak_kb=%ld bytes_per_entry=%.1f "
        "name_bytes=%.1f\n",
        n, median(figures.load), median(figures.firstScreen), median(figures.readdir),
        median(figures.sortedFloor), median(figures.selectAll), median(figures.run),
        median(figures.confirmed), median(figures.renames), median(figures.beforeRenames),
        median(figures.afterRenames), median(figures.redisplay), median(figures.floor),
        median(figures.floorRenames), median(figures.mmv), median(figures.perlRename),
        *std::max_element(figures.gapOpen.begin(), figures.gapOpen.end()),
        *std::max_element(figures.gapSelect.begin(), figures.gapSelect.end()),
        *std::max_element(figures.gapRun.begin(), figures.gapRun.end()),
        *std::max_element(figures.gapRedisplay.begin(), figures.gapRedisplay.end()),
        figures.openPeakKb, figures.planPeakKb, figures.runPeakKb, figures.emptyPeakKb,
        figures.bytesPerEntry, figures.nameBytesPerEntry);
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

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Mounts a fresh file system of `type` on `folder`: a tmpfs, or one made on a loop image beside
// it. Returns false (and says why) when it cannot.
bool mountFileSystem(const std::string& type, const std::string& folder, int maxN) {
    if (type == "tmpfs") {
        return ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=8g") == 0;
    }
    const std::string image = folder + ".img";
    // Room and inodes for two folders of the largest size at once.
    const long long megabytes = std::max(1024LL, 3LL * maxN / 1000);
    std::string mkfs;
    if (type == "ext4") {
        mkfs = "mkfs.ext4 -q -F -N " + std::to_string(3 * maxN + 10000) + " '" + image + "'";
    } else if (type == "xfs") {
        mkfs = "mkfs.xfs -q -f '" + image + "'";
    } else if (type == "btrfs") {
        mkfs = "mkfs.btrfs -q -f '" + image + "'";
    } else {
        return false;
    }
    return run("truncate -s " + std::to_string(megabytes) + "M '" + image + "'") && run(mkfs) &&
           run("mount -o loop '" + image + "' '" + folder + "'");
}

void unmountFileSystem(const std::string& type, const std::string& folder) {
    ::umount(folder.c_str());
    if (type != "tmpfs") {
        ::unlink((folder + ".img").c_str());
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    std::vector<int> sizes{10000, 100000, 1000000};
    std::vector<std::string> types{"tmpfs", "ext4", "xfs", "btrfs"};
    int reps = 5;
    bool tools = true;
    std::string self = argv[0];
    auto split = [](const std::string& text) {
        std::vector<std::string> items;
        std::istringstream in(text);
        std::string item;
        while (std::getline(in, item, ',')) {
            items.push_back(item);
        }
        return items;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--child" && i + 4 < argc) {
            return child(std::atoi(argv[i + 1]), std::atoi(argv[i + 2]), argv[i + 3],
                         std::strcmp(argv[i + 4], "tools") == 0);
        }
        if (arg == "--sizes" && i + 1 < argc) {
            sizes.clear();
            for (const std::string& item : split(argv[++i])) {
                sizes.push_back(std::atoi(item.c_str()));
            }
        } else if (arg == "--fs" && i + 1 < argc) {
            types = split(argv[++i]);
        } else if (arg == "--reps" && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (arg == "--no-tools") {
            tools = false;
        } else {
            std::printf(
                "usage: %s [--sizes N,N,...] [--fs tmpfs,ext4,xfs,btrfs] [--reps R] [--no-tools]\n"
                "Drives the main window offscreen over folders of N empty files (default "
                "10000,100000,1000000)\non each file system (the loop-image ones as root), R "
                "repetitions (default 5, at most 3 at 1M),\nand compares each step with its "
                "floor; --no-tools leaves out mmv and perl's rename.\n",
                argv[0]);
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }

    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp != nullptr ? tmp : "/tmp") + "/kovra-bench-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    // The runs' journals stay inside the benchmark's folder.
    ::setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
    std::printf("tools: mmv %s, perl rename %s\n",
                tools && programExists("mmv") ? "yes" : "not run",
                tools && programExists("rename") ? "yes" : "not run");
    std::printf(
        "%-6s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %7s %7s %7s %7s %7s %7s %7s %7s %7s "
        "%8s %8s\n",
        "fs", "N", "first", "load", "readdir", "sorted", "run", "confirm", "floor", "redisp",
        "gapOpen", "gapSel", "gapRun", "gapRedi", "ld/rdd", "ld/sort", "run/fl", "conf/fl",
        "mmv/fl", "perl/fl", "peakMB", "B/e+", "peakB/e");
    std::fflush(stdout);

    const int maxN = *std::max_element(sizes.begin(), sizes.end());
    std::vector<std::string> summaries;
    for (const std::string& type : types) {
        const std::string folder = root + "/" + type;
        ::mkdir(folder.c_str(), 0755);
        if (!mountFileSystem(type, folder, maxN)) {
            std::printf(
                "%-6s not measured: it could not be made and mounted here (root, loop "
                "devices and mkfs.%s are needed)\n",
                type.c_str(), type.c_str());
            unmountFileSystem(type, folder);
            ::rmdir(folder.c_str());
            continue;
        }
        for (const int n : sizes) {
            const int r = n >= 1000000 ? std::max(1, std::min(reps, 3)) : reps;
            const std::string command = "'" + self + "' --child " + std::to_string(n) + " " +
                                        std::to_string(r) + " '" + folder + "' " +
                                        (tools ? "tools" : "none");
            FILE* pipe = ::popen(command.c_str(), "r");
            char line[2048];
            std::map<std::string, double> v;
            while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
                if (std::strncmp(line, "RESULT ", 7) == 0) {
                    v = parseResult(line);
                }
            }
            if (pipe == nullptr || ::pclose(pipe) != 0 || v.empty()) {
                std::fprintf(stderr, "run for %s N=%d failed\n", type.c_str(), n);
                continue;
            }
            // Peak resident memory of the window's steps per entry, names included, beyond the
            // same steps over an empty folder: the whole, and each part's.
            const auto perEntry = [&](double kb) { return (kb - v["empty_peak_kb"]) * 1024.0 / n; };
            const double openPeak = perEntry(v["open_peak_kb"]);
            const double planPeak = perEntry(v["plan_peak_kb"]);
            const double runPeak = perEntry(v["run_peak_kb"]);
            const double peakPerEntry = std::max({openPeak, planPeak, runPeak});
            v["peak_kb"] = std::max({v["open_peak_kb"], v["plan_peak_kb"], v["run_peak_kb"]});
            std::printf(
                "%-6s %8d %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %7.1f %7.1f "
                "%7s %7s %7s %7s %7s %7s %7.1f %8.1f %8.1f\n",
                type.c_str(), n, v["first"], v["load"], v["readdir"], v["sorted"], v["run"],
                v["confirmed"], v["floor"], v["redisplay"], v["gap_open"], v["gap_select"],
                v["gap_run"], v["gap_redisplay"], ratio(v["load"], v["readdir"]).c_str(),
                ratio(v["load"], v["sorted"]).c_str(), ratio(v["run"], v["floor"]).c_str(),
                ratio(v["confirmed"], v["floor"]).c_str(), ratio(v["mmv"], v["floor"]).c_str(),
                ratio(v["rename"], v["floor"]).c_str(), v["peak_kb"] / 1024.0,
                v["bytes_per_entry"] - v["name_bytes"], peakPerEntry);
            std::fflush(stdout);
            char summary[2048];
            std::snprintf(
                summary, sizeof summary,
                "summary %s N=%d: first screenful %.1f ms, whole list %.1f ms (readdir floor %.1f "
                "ms, %s; readdir and sort in C %.1f ms, %s, goal <= 1.2x), longest event-loop "
                "gap: open %.1f ms, select-all %.1f ms, run %.1f ms, redisplay %.1f ms; run %.1f "
                "ms to the list shown (%.1f ms before the first rename, renames %.1f ms, %.1f ms "
                "after the last), %.1f ms to the list confirmed, floor %.1f ms (its renames %.1f "
                "ms), run/floor %s (goal <= 1.03x), confirmed/floor %s; %.1f B/entry beyond names "
                "after opening; peak %.1f B/entry beyond an empty folder (goal <= 100): opening "
                "%.1f, the run to its first progress update (its plan kept) %.1f, the rest of the "
                "run with the list shown and confirmed %.1f",
                type.c_str(), n, v["first"], v["load"], v["readdir"],
                ratio(v["load"], v["readdir"]).c_str(), v["sorted"],
                ratio(v["load"], v["sorted"]).c_str(), v["gap_open"], v["gap_select"], v["gap_run"],
                v["gap_redisplay"], v["run"], v["before_renames"], v["renames"], v["after_renames"],
                v["confirmed"], v["floor"], v["floor_renames"], ratio(v["run"], v["floor"]).c_str(),
                ratio(v["confirmed"], v["floor"]).c_str(), v["bytes_per_entry"] - v["name_bytes"],
                peakPerEntry, openPeak, planPeak, runPeak);
            summaries.push_back(summary);
        }
        unmountFileSystem(type, folder);
        ::rmdir(folder.c_str());
    }
    std::printf(
        "(medians of %d repetitions, 3 at 1M; gaps: the longest of all repetitions; sorted: "
        "readdir and qsort in display order in C; run: click to the list showing the run's "
        "result; confirm: click to the background reading's end; floor: readdir, sort, one "
        "renameat2 per file; B/e+: heap bytes per listed entry beyond its name's bytes after "
        "opening; peakB/e: peak resident memory of the window's steps per entry, names "
        "included, beyond the same steps over an empty folder)\n",
        reps);
    for (const std::string& summary : summaries) {
        std::printf("%s\n", summary.c_str());
    }
    for (const std::string& run : fs::runJournals(fs::stateDirectory())) {
        fs::removeJournal(run);
    }
    ::rmdir(fs::runsDirectory(fs::stateDirectory()).c_str());
    ::rmdir(fs::stateDirectory().c_str());
    ::rmdir((root + "/state").c_str());
    ::rmdir(root.c_str());
    return 0;
}
