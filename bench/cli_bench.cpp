// Benchmark of the run's journal and of the command line, each against a floor measured in the
// same run: the bare calls of bench/floor.h (readdir, sort, one renameat2 per file, on one
// thread, folder after folder). The journals go to a state folder on the disk, as a user's do;
// the files to a tmpfs of the benchmark's own (as root; else the temporary folder).
//   window run  core::renameRun over N files with its journal, as the window runs it, against
//               the floor, both in this process; and without a journal, for the journal's price.
//   rename      `kovra rename DIR` on N files, against `kovra_floor flat DIR`.
//   undo        `kovra undo` of that run, against the floor renaming its own folder back.
//   rename -r   `kovra rename -r TREE` on F folders of M files with its default jobs, against
//               `kovra_floor tree TREE` (one thread); then `kovra undo` of it. As root, on an
//               ext4 image too.
//   slow drive  on switchfs answering each call after 1 ms (as root): `kovra rename -r` on a
//               small tree with its default jobs against -j 1.
//   progress    `kovra rename --progress DIR` on N files (the line drawn, to /dev/null) against
//               `kovra rename --no-progress` on as many: what the line costs the run.
//   start-up    `kovra --version` against /bin/true.
// Each ratio is the median over the repetitions of the ratio to the floor measured beside it,
// each on fresh files.
// Usage: kovra_cli_bench KOVRA FLOOR [--switchfs SWITCHFS] [--files N] [--folders F]
//        [--per-folder M] [--reps R] [--only window,flat,tree,ext4,slow,progress,startup]

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/rename_run.h"
#include "floor.h"
#include "fs/journal/recorder.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/undo/undo.h"

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

[[noreturn]] void fail(const std::string& what) {
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

// A run's time in ms: on the clock, and of the processor (all threads, kernel included), which
// tells apart what the run costs from what other programs take of a shared machine meanwhile.
struct Timing {
    double wall = -1;
    double cpu = -1;
};

double cpuMs(const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double processCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return cpuMs(usage);
}

// Runs argv with its output (and with `quiet` its standard error) to /dev/null; its times, -1
// when it does not end with 0.
Timing runTimed(const std::vector<std::string>& argv, bool quiet = false) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    const auto start = Clock::now();
    pid_t pid = 0;
    int status = -1;
    rusage usage{};
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        ::wait4(pid, &status, 0, &usage);
    }
    const double ms = msSince(start);
    posix_spawn_file_actions_destroy(&actions);
    return status == 0 ? Timing{ms, cpuMs(usage)} : Timing{};
}

// How many files under `path` carry their folder's name in front.
int countPrefixed(const std::filesystem::path& path) {
    int count = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        if (!entry.is_directory() &&
            entry.path().filename().string().rfind(
                entry.path().parent_path().filename().string() + "_", 0) == 0) {
            ++count;
        }
    }
    return count;
}

void check(bool complete, const char* what) {
    if (!complete) {
        std::fprintf(stderr, "cli bench: %s did not rename every file\n", what);
        std::exit(1);
    }
}

// The runs' journals the benchmark made, removed between repetitions: the history stays short.
void clearRuns() {
    for (const std::string& run : fs::runJournals(fs::stateDirectory())) {
        fs::removeJournal(run);
    }
}

struct Figure {
    std::vector<double> program;
    std::vector<double> floor;
    std::vector<double> ratios;
    std::vector<double> cpuRatios;
    void add(Timing p, Timing f) {
        program.push_back(p.wall);
        floor.push_back(f.wall);
        ratios.push_back(p.wall > 0 && f.wall > 0 ? p.wall / f.wall : -1);
        cpuRatios.push_back(p.cpu > 0 && f.cpu > 0 ? p.cpu / f.cpu : -1);
    }
    // Medians; and the best of each against the best of the other, which a busy machine
    // disturbs least.
    void print(const char* what, const char* goal) const {
        std::printf(
            "%-34s kovra %8.1f ms   floor %8.1f ms   ratio %.3fx (%s; best %.3fx; processor "
            "%.3fx)\n",
            what, median(program), median(floor), median(ratios), goal, best(program) / best(floor),
            median(cpuRatios));
        std::fflush(stdout);
    }
    static double best(const std::vector<double>& v) {
        double b = -1;
        for (const double x : v) {
            b = x > 0 && (b < 0 || x < b) ? x : b;
        }
        return b;
    }
};

// The window's run over every file of `folder`, with or without its journal; its times.
Timing windowRun(const std::string& folder, bool journal) {
    fs::PlainFileList list(folder);
    list.selectAll();
    core::WorkList selection;
    core::WorkList renames;
    fs::RunRecorder recorder(fs::stateDirectory(), /*mayLeaveReservations=*/true);
    fs::PosixFileSystem fileSystem(journal ? &recorder : nullptr);
    core::RunOptions options;
    options.journal = journal ? &recorder : nullptr;
    const double cpu = processCpuMs();
    const auto start = Clock::now();
    const core::RunResult result = core::renameRun(list, selection, renames, fileSystem, options);
    const Timing timing{msSince(start), processCpuMs() - cpu};
    return result.end == core::RunResult::End::Completed ? timing : Timing{};
}

// Times the program and its floor one after the other, the program first when `programFirst`:
// the repetitions alternate it, so that neither always finds the machine as the other left it.
std::pair<Timing, Timing> timedPair(bool programFirst, const std::function<Timing()>& program,
                                    const std::function<Timing()>& floor) {
    if (programFirst) {
        const Timing p = program();
        return {p, floor()};
    }
    const Timing f = floor();
    return {program(), f};
}

Timing floorInProcess(const std::string& path, bool recursive) {
    const double cpu = processCpuMs();
    const auto start = Clock::now();
    bare::run(path, recursive);
    return {msSince(start), processCpuMs() - cpu};
}

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool isMountPoint(const std::string& path) {
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (field == path) {
            return true;
        }
    }
    return false;
}

// switchfs over `backing` at `mountPoint`, answering each call after `delayUs`; its pid, or -1.
pid_t mountSwitchFs(const std::string& switchfs, const std::string& backing,
                    const std::string& mountPoint, int delayUs) {
    const std::string options = "delay_us=" + std::to_string(delayUs);
    std::vector<char*> args{const_cast<char*>(switchfs.c_str()),
                            const_cast<char*>(backing.c_str()),
                            const_cast<char*>(mountPoint.c_str()),
                            const_cast<char*>("-f"),
                            const_cast<char*>("-o"),
                            const_cast<char*>(options.c_str()),
                            nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; pid > 0 && i < 500 && !isMountPoint(mountPoint); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid > 0 && !isMountPoint(mountPoint)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    return pid;
}

void unmountSwitchFs(const std::string& mountPoint, pid_t pid) {
    if (::umount2(mountPoint.c_str(), 0) != 0) {
        ::umount2(mountPoint.c_str(), MNT_DETACH);
    }
    ::waitpid(pid, nullptr, 0);
}

bool wanted(const std::string& only, const char* part) {
    return only.empty() ||
           ("," + only + ",").find(std::string(",") + part + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s KOVRA FLOOR [--switchfs SWITCHFS] [--files N] [--folders F] "
                     "[--per-folder M] [--reps R] "
                     "[--only window,flat,tree,ext4,slow,progress,startup]\n",
                     argv[0]);
        return 2;
    }
    const std::string kovra = std::filesystem::absolute(argv[1]).string();
    const std::string floorProgram = std::filesystem::absolute(argv[2]).string();
    std::string switchfs;
    std::string only;
    int files = 100000, folders = 1000, perFolder = 100, reps = 3;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--files") {
            files = std::atoi(value.c_str());
        } else if (option == "--folders") {
            folders = std::atoi(value.c_str());
        } else if (option == "--per-folder") {
            perFolder = std::atoi(value.c_str());
        } else if (option == "--reps") {
            reps = std::atoi(value.c_str());
        } else if (option == "--switchfs") {
            switchfs = std::filesystem::absolute(value).string();
        } else if (option == "--only") {
            only = value;
        }
    }

    const char* tmp = std::getenv("TMPDIR");
    std::string root =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kovra-cli-bench-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) {
        fail("mkdtemp");
    }
    const bool mounted = ::mount("tmpfs", root.c_str(), "tmpfs", 0, "size=6g") == 0;
    // The journals go where a user's would, on the disk, but not into this user's own.
    std::string state = "/var/tmp/kovra-cli-bench-state-XXXXXX";
    if (::mkdtemp(state.data()) == nullptr) {
        fail("mkdtemp");
    }
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::printf(
        "cli bench: %d files flat, %d folders x %d files, %d reps, %u cores; files in %s, "
        "journals in %s\n",
        files, folders, perFolder, reps, cores, mounted ? "a tmpfs of its own" : "the temp folder",
        state.c_str());
    std::fflush(stdout);

    const std::string a = root + "/pics", b = root + "/floor";
    if (wanted(only, "window")) {
        Figure withJournal, without;
        for (int r = 0; r < reps; ++r) {
            makeFiles(a, files);
            makeFiles(b, files);
            const auto [p, f] = timedPair(
                r % 2 == 0, [&] { return windowRun(a, true); },
                [&] { return floorInProcess(b, false); });
            check(countPrefixed(a) == files && countPrefixed(b) == files, "the window's run");
            withJournal.add(p, f);
            std::filesystem::remove_all(a);
            std::filesystem::remove_all(b);
            clearRuns();
            makeFiles(a, files);
            makeFiles(b, files);
            const auto [p2, f2] = timedPair(
                r % 2 == 1, [&] { return windowRun(a, false); },
                [&] { return floorInProcess(b, false); });
            check(countPrefixed(a) == files, "the window's run without a journal");
            without.add(p2, f2);
            std::filesystem::remove_all(a);
            std::filesystem::remove_all(b);
        }
        char label[64];
        std::snprintf(label, sizeof label, "window run, %d files", files);
        withJournal.print(label, "goal <= 1.03x");
        without.print("  the same without a journal", "for the journal's price");
    }

    // `kovra rename` on a fresh copy and the floor on another, then `kovra undo` of the run and
    // the floor once more; `recursive` over the tree.
    const auto renameAndUndo = [&](const std::string& where, bool recursive, bool programFirst,
                                   Figure& renamed, Figure& undone) {
        const std::string pics = where + "/pics", other = where + "/floor";
        const int expected = recursive ? folders * perFolder : files;
        const auto make = [&](const std::string& path) {
            recursive ? makeTree(path, folders, perFolder) : makeFiles(path, files);
        };
        make(pics);
        make(other);
        const char* mode = recursive ? "tree" : "flat";
        std::vector<std::string> args{kovra, "rename"};
        if (recursive) {
            args.push_back("-r");
        }
        args.push_back(pics);
        const auto [p, f] = timedPair(
            programFirst, [&] { return runTimed(args); },
            [&] {
                return runTimed({floorProgram, mode, other});
            });
        check(countPrefixed(pics) == expected && countPrefixed(other) == expected, "kovra rename");
        renamed.add(p, f);
        // The floor of the undo renames the floor's folder back: the same folders, as renamed.
        const std::string back = recursive ? "treeback" : "back";
        const auto [u, f2] = timedPair(
            !programFirst,
            [&] {
                return runTimed({kovra, "undo"});
            },
            [&] {
                return runTimed({floorProgram, back, other});
            });
        check(countPrefixed(pics) == 0 && countPrefixed(other) == 0, "kovra undo");
        undone.add(u, f2);
        std::filesystem::remove_all(pics);
        std::filesystem::remove_all(other);
        clearRuns();
    };
    if (wanted(only, "flat")) {
        Figure renamed, undone;
        for (int r = 0; r < reps; ++r) {
            renameAndUndo(root, false, r % 2 == 0, renamed, undone);
        }
        char label[64];
        std::snprintf(label, sizeof label, "rename, %d files", files);
        renamed.print(label, "goal <= 1.05x");
        undone.print("undo of it", "goal <= 1.10x");
    }
    if (wanted(only, "tree")) {
        Figure renamed, undone, machine;
        for (int r = 0; r < reps; ++r) {
            renameAndUndo(root, true, r % 2 == 0, renamed, undone);
            makeTree(a, folders, perFolder);
            makeTree(b, folders, perFolder);
            const auto [many, one] = timedPair(
                r % 2 == 1,
                [&] {
                    const double cpu = processCpuMs();
                    const auto start = Clock::now();
                    bare::runFolders(a, cores);
                    return Timing{msSince(start), processCpuMs() - cpu};
                },
                [&] { return floorInProcess(b, true); });
            machine.add(many, one);
            std::filesystem::remove_all(a);
            std::filesystem::remove_all(b);
        }
        char label[64];
        std::snprintf(label, sizeof label, "rename -r, %dx%d files", folders, perFolder);
        renamed.print(label, "vs one thread; goal <= 0.70x");
        undone.print("undo of it", "vs one thread; goal <= 1.10x");
        char bare[64];
        std::snprintf(bare, sizeof bare, "  the floor itself on %u threads", cores);
        machine.print(bare, "what this machine gives at once");
    }
    if (wanted(only, "ext4") && ::geteuid() == 0) {
        const std::string image = state + "/ext4.img", disk = root + "/ext4";
        ::mkdir(disk.c_str(), 0755);
        const long long inodes = 3LL * folders * (perFolder + 1) + 10000;
        if (run("truncate -s 2G '" + image + "'") &&
            run("mkfs.ext4 -q -F -N " + std::to_string(inodes) + " '" + image + "'") &&
            run("mount -o loop '" + image + "' '" + disk + "'")) {
            Figure renamed, undone;
            for (int r = 0; r < reps; ++r) {
                renameAndUndo(disk, true, r % 2 == 0, renamed, undone);
            }
            char label[64];
            std::snprintf(label, sizeof label, "rename -r on ext4, %dx%d", folders, perFolder);
            renamed.print(label, "vs one thread; goal <= 0.80x");
            undone.print("undo of it", "vs one thread");
            ::umount(disk.c_str());
        } else {
            std::printf("rename -r on ext4: not measured (an ext4 image cannot be made here)\n");
        }
        ::unlink(image.c_str());
        ::rmdir(disk.c_str());
    }
    if (wanted(only, "slow")) {
        // Few files: every call waits 1 ms, so one folder at a time takes seconds.
        constexpr int kSlowFolders = 16, kSlowFiles = 25, kDelayUs = 1000;
        const std::string backing = root + "/backing", mountPoint = root + "/slow";
        ::mkdir(backing.c_str(), 0755);
        ::mkdir(mountPoint.c_str(), 0755);
        const pid_t daemon = switchfs.empty() || ::geteuid() != 0
                                 ? -1
                                 : mountSwitchFs(switchfs, backing, mountPoint, kDelayUs);
        if (daemon > 0) {
            Figure parallel;
            for (int r = 0; r < reps; ++r) {
                makeTree(backing + "/one", kSlowFolders, kSlowFiles);
                makeTree(backing + "/many", kSlowFolders, kSlowFiles);
                const Timing one =
                    runTimed({kovra, "rename", "-r", "-j", "1", mountPoint + "/one"});
                const Timing many = runTimed({kovra, "rename", "-r", mountPoint + "/many"});
                if (one.wall < 0 || many.wall < 0) {
                    std::printf("rename -r on a slow drive: kovra failed (no --jobs?)\n");
                    break;
                }
                check(countPrefixed(backing + "/one") == kSlowFolders * kSlowFiles &&
                          countPrefixed(backing + "/many") == kSlowFolders * kSlowFiles,
                      "kovra rename on the slow drive");
                parallel.add(many, one);
                std::filesystem::remove_all(backing + "/one");
                std::filesystem::remove_all(backing + "/many");
                clearRuns();
            }
            char label[96];
            std::snprintf(label, sizeof label, "rename -r, 1 ms per call, %dx%d", kSlowFolders,
                          kSlowFiles);
            if (!parallel.ratios.empty()) {
                std::printf(
                    "%-34s jobs by default %7.1f ms   -j 1 %7.1f ms   %.2fx faster (goal >= 4x)\n",
                    label, median(parallel.program), median(parallel.floor),
                    1 / median(parallel.ratios));
            }
            unmountSwitchFs(mountPoint, daemon);
        } else {
            std::printf(
                "rename -r on a slow drive: not measured (needs root, /dev/fuse and "
                "--switchfs)\n");
        }
        std::filesystem::remove_all(backing);
        ::rmdir(mountPoint.c_str());
    }
    if (wanted(only, "progress")) {
        Figure drawn;
        for (int r = 0; r < reps; ++r) {
            makeFiles(a, files);
            makeFiles(b, files);
            const auto [p, f] = timedPair(
                r % 2 == 0,
                [&] {
                    return runTimed({kovra, "rename", "--progress", a}, true);
                },
                [&] {
                    return runTimed({kovra, "rename", "--no-progress", b}, true);
                });
            check(countPrefixed(a) == files && countPrefixed(b) == files,
                  "kovra rename --progress");
            drawn.add(p, f);
            std::filesystem::remove_all(a);
            std::filesystem::remove_all(b);
            clearRuns();
        }
        char label[64];
        std::snprintf(label, sizeof label, "rename --progress, %d files", files);
        drawn.print(label, "vs --no-progress; goal <= 1.02x");
    }
    if (wanted(only, "startup")) {
        std::vector<double> startup, baseline;
        for (int i = 0; i < 50; ++i) {
            startup.push_back(runTimed({kovra, "--version"}).wall);
            baseline.push_back(runTimed({"/bin/true"}).wall);
        }
        std::printf("%-34s kovra %9.2f ms   (min %.2f ms; /bin/true %.2f ms; goal <= 20 ms)\n",
                    "--version start-up", median(startup),
                    *std::min_element(startup.begin(), startup.end()), median(baseline));
    }

    if (mounted) {
        ::umount(root.c_str());
    }
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(state);
    return 0;
}
