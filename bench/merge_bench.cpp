// Benchmark of `kovra merge`, against the system-call floor measured in the same run:
//   `kovra merge TREE/*/ TREE` of F folders of M files, flattening the tree, with and without the
//   journal; floor: one readdir per folder and one renameat2(RENAME_NOREPLACE) per file into the
//   destination. Its peak memory beyond `kovra --version`'s, per file, less the bytes of each
//   file's old and new name.
// Each figure is the median of the repetitions, each on a fresh copy. The program is timed as a
// process (its start-up included); the floor runs in this process. Each figure is also given in
// processor time (user and system), which a shared machine changes less, and the load average
// is printed.
// Then the merge window, offscreen, over W files in folders of 1,000, opened from the main
// window: each step (the preview planned and shown, planned again for an option, the merge with
// its progress dialog, the window and the main window after it) timed, with the longest time its
// event loop went without running a 1 ms timer (goal: 50 ms at most).
// Usage: kovra_merge_bench PATH-TO-KOVRA [--folders F] [--per-folder M] [--reps R]
//        [--window-files W]   (default 1000000; 0 leaves the window out)

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QListView>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ui/mainwindow.h"
#include "ui/mergewindow.h"
#include "ui/messages.h"
#include "widgets/filelistbox.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? -1 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(2);
}

void makeFiles(const std::string& folder, int n) {
    if (::mkdir(folder.c_str(), 0755) != 0) {
        fail(folder);
    }
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    char name[32];
    for (int i = 0; i < n; ++i) {
        std::snprintf(name, sizeof name, "IMG_%07d.jpg", i);
        const int fd = ::openat(dirfd, name, O_CREAT | O_EXCL | O_WRONLY, 0644);
        if (fd < 0) {
            fail("create");
        }
        ::close(fd);
    }
    ::close(dirfd);
}

void makeTree(const std::string& root, int folders, int perFolder) {
    if (::mkdir(root.c_str(), 0755) != 0) {
        fail(root);
    }
    char name[32];
    for (int i = 0; i < folders; ++i) {
        std::snprintf(name, sizeof name, "/d%05d", i);
        makeFiles(root + name, perFolder);
    }
}

// One readdir of `dirfd`: its files and its subfolders.
void readFolder(int dirfd, std::vector<std::string>& files, std::vector<std::string>& folders) {
    DIR* dir = ::fdopendir(::dup(dirfd));
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || std::strcmp(e->d_name, "..") == 0)) {
            continue;
        }
        (e->d_type == DT_DIR ? folders : files).emplace_back(e->d_name);
    }
    ::closedir(dir);
}

double cpuMs(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// This process's processor time so far.
double ownCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return cpuMs(usage);
}

// Runs argv, its standard output to /dev/null; gives its peak resident memory in KiB and its
// processor time.
double runMeasured(const std::vector<std::string>& argv, long& peakKiB, double* cpu = nullptr) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    int status = -1;
    rusage usage{};
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        ::wait4(pid, &status, 0, &usage);
    }
    const double ms = msSince(start);
    posix_spawn_file_actions_destroy(&actions);
    peakKiB = usage.ru_maxrss;
    if (cpu != nullptr) {
        *cpu = cpuMs(usage);
    }
    return status == 0 ? ms : -1;
}

// The merge's floor: every file of each folder of `root` renamed into `root` itself.
double floorMerge(const std::string& root) {
    const auto start = Clock::now();
    const int destfd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    std::vector<std::string> files, folders, none;
    readFolder(destfd, files, folders);
    std::string target;
    for (const std::string& folder : folders) {
        const int fd = ::openat(destfd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        files.clear();
        readFolder(fd, files, none);
        for (const std::string& file : files) {
            target.assign(folder).append("_").append(file);
            ::renameat2(fd, file.c_str(), destfd, target.c_str(), RENAME_NOREPLACE);
        }
        ::close(fd);
    }
    ::close(destfd);
    return msSince(start);
}

// How many files lie directly in `path`.
int countFiles(const std::string& path) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        count += entry.is_directory() ? 0 : 1;
    }
    return count;
}

void report(const char* what, const std::vector<double>& program, const std::vector<double>& floor,
            double goal) {
    const double p = median(program), f = median(floor);
    std::printf("%-28s kovra %9.2f ms   floor %9.2f ms   ratio %.3fx (goal <= %.2fx)\n", what, p, f,
                p / f, goal);
}

std::string loadAverage() {
    double load[3] = {};
    if (::getloadavg(load, 3) != 3) {
        return "unknown";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
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

// Runs the event loop until `done` holds.
void waitUntil(const std::function<bool()>& done) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// The merge window over `files` files in folders of 1,000 below `root`/pics, opened from the
// main window there, driven as a user would; each step's time and longest event-loop gap.
void windowBench(const std::string& root, int files) {
    constexpr int kPerFolder = 1000;
    const std::string pics = root + "/pics";
    makeTree(pics, std::max(1, files / kPerFolder), std::min(files, kPerFolder));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "kovra_merge_bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    int reports = 0;
    ui::setReporter([&reports](QWidget*, const QString&, const QString&) { ++reports; });
    std::printf("merge window: %d files in folders of %d, offscreen (load %s)\n", files, kPerFolder,
                loadAverage().c_str());
    std::fflush(stdout);
    ui::MainWindow window(pics);
    window.show();
    auto* file1 = window.findChild<widgets::FileListBox*>("File1");
    waitUntil([file1] { return !file1->isReading(); });
    GapMeter gaps;
    const auto step = [&](const char* what, const std::function<void()>& act,
                          const std::function<bool()>& done) {
        const auto start = Clock::now();
        gaps.reset();
        act();
        waitUntil(done);
        const double gap = gaps.longest();
        std::printf("  %-44s %9.1f ms   longest gap %7.1f ms (goal <= 50 ms)%s\n", what,
                    msSince(start), gap, gap > 50 ? "  OVER" : "");
        std::fflush(stdout);
    };
    ui::MergeWindow* merge = nullptr;
    step(
        "open: subfolders listed, preview planned",
        [&] {
            window.findChild<QAction*>("m_merge")->trigger();
            merge = window.findChild<ui::MergeWindow*>("w_merge");
        },
        [&] { return merge->planReady(); });
    step(
        "an option ticked: planned again",
        [&] { merge->findChild<QCheckBox*>("c_number")->click(); },
        [&] { return merge->planReady(); });
    bool told = false;
    QObject::connect(merge, &ui::MergeWindow::merged, [&told] { told = true; });
    step(
        "merged, with the progress dialog",
        [&] { merge->findChild<QPushButton*>("b_merge")->click(); }, [&] { return reports > 0; });
    // Nothing is left to plan when every folder went.
    auto* sources = merge->findChild<QListView*>("List_src");
    step(
        "after: what is left listed and planned, main window read", [] {},
        [&] {
            return told && merge->sourcesReady() &&
                   (merge->planReady() || sources->model()->rowCount() == 0) && !file1->isReading();
        });
    const bool complete = countFiles(pics) == files;
    ui::setReporter({});
    if (!complete) {
        std::fprintf(stderr, "merge bench: the window's merge is incomplete\n");
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s PATH-TO-KOVRA [--folders F] "
                     "[--per-folder M] [--reps R]\n",
                     argv[0]);
        return 2;
    }
    const std::string kovra = std::filesystem::absolute(argv[1]).string();
    int folders = 1000, perFolder = 100, reps = 3, windowFiles = 1000000;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--folders") {
            folders = value;
        } else if (option == "--per-folder") {
            perFolder = value;
        } else if (option == "--reps") {
            reps = value;
        } else if (option == "--window-files") {
            windowFiles = value;
        }
    }

    // A tmpfs of our own keeps the disk out of the figures, where we may mount one.
    const char* tmp = std::getenv("TMPDIR");
    std::string root =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kovra-cli-bench-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) {
        fail("mkdtemp");
    }
    const bool mounted = ::mount("tmpfs", root.c_str(), "tmpfs", 0, "size=4g") == 0;
    std::printf("merge bench: %d folders x %d files, %d reps, in %s (load %s)\n", folders,
                perFolder, reps, mounted ? "a tmpfs of its own" : "the temporary folder",
                loadAverage().c_str());

    // The journal goes where a user's would, on the disk, but not into this user's own.
    std::string state = "/var/tmp/kovra-cli-bench-state-XXXXXX";
    if (::mkdtemp(state.data()) == nullptr) {
        fail("mkdtemp");
    }
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);

    const std::string a = root + "/pics", b = root + "/floor";
    // The merge: a tree flattened into itself, as `kovra merge /pics/*/ /pics` does.
    std::vector<double> merge, mergeNoUndo, mergeFloor, mergeCpu, mergeNoUndoCpu, floorCpu;
    long mergePeak = 0;
    long versionPeak = 0;
    runMeasured({kovra, "--version"}, versionPeak);
    const auto measureMerge = [&](bool journal) {
        makeTree(a, folders, perFolder);
        std::vector<std::string> args{kovra, "merge"};
        if (!journal) {
            args.push_back("--no-undo");
        }
        for (const auto& entry : std::filesystem::directory_iterator(a)) {
            args.push_back(entry.path().string());
        }
        args.push_back(a);
        long peak = 0;
        double cpu = 0;
        (journal ? merge : mergeNoUndo).push_back(runMeasured(args, peak, &cpu));
        (journal ? mergeCpu : mergeNoUndoCpu).push_back(cpu);
        mergePeak = std::max(mergePeak, peak);
        makeTree(b, folders, perFolder);
        const double before = ownCpuMs();
        mergeFloor.push_back(floorMerge(b));
        floorCpu.push_back(ownCpuMs() - before);
        const bool complete =
            countFiles(a) == folders * perFolder && countFiles(b) == folders * perFolder;
        std::filesystem::remove_all(a);
        std::filesystem::remove_all(b);
        if (!complete) {
            std::fprintf(stderr, "cli bench: a merge is incomplete\n");
            std::exit(1);
        }
    };
    for (int r = 0; r < reps; ++r) {
        measureMerge(true);
        measureMerge(false);
    }

    char label[64];
    std::snprintf(label, sizeof label, "merge, %dx%d files", folders, perFolder);
    report(label, merge, mergeFloor, 1.1);
    std::snprintf(label, sizeof label, "  the same, --no-undo");
    report(label, mergeNoUndo, mergeFloor, 1.1);
    report("  processor time", mergeCpu, floorCpu, 1.1);
    report("  processor time, --no-undo", mergeNoUndoCpu, floorCpu, 1.1);
    // "IMG_0000000.jpg" and "d00000_IMG_0000000.jpg": the names each file costs.
    const double nameBytes = 15 + 22;
    const double perFile = (static_cast<double>(mergePeak - versionPeak) * 1024.0) /
                               (static_cast<double>(folders) * perFolder) -
                           nameBytes;
    std::printf(
        "%-28s %.1f B a file beyond its names (peak %ld KiB, --version %ld KiB; goal <= "
        "100 B)\n",
        "merge memory", perFile, mergePeak, versionPeak);
    if (windowFiles > 0) {
        windowBench(root, windowFiles);
    }
    if (mounted) {
        ::umount(root.c_str());
    }
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(state);
    return 0;
}
