// Benchmark of the command line, against the system-call floor:
//   flat:    `kovra rename FOLDER` on N files; floor: one readdir and one renameat2 per file.
//   tree:    `kovra rename --recursive TREE` on F folders of M files; floor: one readdir per
//            folder and one renameat2 per file.
// Both with the journal kept for undo (in a state folder of its own on the disk, as a user's is)
// and with --no-undo, which keeps none: the floor has no journal.
//   merge:   `kovra merge TREE/*/ TREE` of F folders of M files, flattening the tree, with and
//            without the journal; floor: one readdir per folder and one
//            renameat2(RENAME_NOREPLACE) per file into the destination. Its peak memory beyond
//            `kovra --version`'s, per file, less the bytes of each file's old and new name.
//   startup: `kovra --version`, against /bin/true.
// Each figure is the median of the repetitions, each on a fresh copy. The program is timed as a
// process (its start-up included); the floor runs in this process.
// Usage: kovra_cli_bench PATH-TO-KOVRA [--files N] [--folders F] [--per-folder M] [--reps R]

#include <dirent.h>
#include <fcntl.h>
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
#include <string>
#include <vector>

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

// The floor for the folder `dirfd` named `name`: its files renamed, then its subfolders walked.
void floorWalk(int dirfd, const std::string& name, bool recursive) {
    std::vector<std::string> files, folders;
    readFolder(dirfd, files, folders);
    std::string target;
    for (const std::string& file : files) {
        target.assign(name).append("_").append(file);
        ::renameat2(dirfd, file.c_str(), dirfd, target.c_str(), RENAME_NOREPLACE);
    }
    if (!recursive) {
        return;
    }
    for (const std::string& folder : folders) {
        const int child = ::openat(dirfd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        floorWalk(child, folder, true);
        ::close(child);
    }
}

double floorRun(const std::string& path, bool recursive) {
    const auto start = Clock::now();
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    floorWalk(fd, std::filesystem::path(path).filename().string(), recursive);
    ::close(fd);
    return msSince(start);
}

// Runs argv with its output to /dev/null; the wall time in ms, or -1 when it does not end with 0.
double runTimed(const std::vector<std::string>& argv) {
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
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        ::waitpid(pid, &status, 0);
    }
    const double ms = msSince(start);
    posix_spawn_file_actions_destroy(&actions);
    return status == 0 ? ms : -1;
}

// Runs argv as runTimed does; also gives its peak resident memory in KiB.
double runMeasured(const std::vector<std::string>& argv, long& peakKiB) {
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

void report(const char* what, const std::vector<double>& program, const std::vector<double>& floor,
            double goal) {
    const double p = median(program), f = median(floor);
    std::printf("%-28s kovra %9.2f ms   floor %9.2f ms   ratio %.3fx (goal <= %.2fx)\n", what, p, f,
                p / f, goal);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s PATH-TO-KOVRA [--files N] [--folders F] "
                     "[--per-folder M] [--reps R]\n",
                     argv[0]);
        return 2;
    }
    const std::string kovra = std::filesystem::absolute(argv[1]).string();
    int files = 100000, folders = 1000, perFolder = 100, reps = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--files") {
            files = value;
        } else if (option == "--folders") {
            folders = value;
        } else if (option == "--per-folder") {
            perFolder = value;
        } else if (option == "--reps") {
            reps = value;
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
    std::printf("cli bench: %d files flat, %d folders x %d files, %d reps, in %s\n", files, folders,
                perFolder, reps, mounted ? "a tmpfs of its own" : "the temporary folder");

    // The journal goes where a user's would, on the disk, but not into this user's own.
    std::string state = "/var/tmp/kovra-cli-bench-state-XXXXXX";
    if (::mkdtemp(state.data()) == nullptr) {
        fail("mkdtemp");
    }
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);

    std::vector<double> flat, flatNoUndo, flatFloor, tree, treeNoUndo, treeFloor;
    const std::string a = root + "/pics", b = root + "/floor";
    // Runs `args` + a fresh copy, and the floor on another; both must have renamed every file.
    const auto measure = [&](std::vector<std::string> args, bool recursive, int expected,
                             std::vector<double>& program, std::vector<double>* floor) {
        recursive ? makeTree(a, folders, perFolder) : makeFiles(a, files);
        args.insert(args.begin(), kovra);
        args.push_back(a);
        program.push_back(runTimed(args));
        bool complete = countPrefixed(a) == expected;
        if (floor != nullptr) {
            recursive ? makeTree(b, folders, perFolder) : makeFiles(b, files);
            floor->push_back(floorRun(b, recursive));
            complete = complete && countPrefixed(b) == expected;
            std::filesystem::remove_all(b);
        }
        std::filesystem::remove_all(a);
        if (!complete) {
            std::fprintf(stderr, "cli bench: a run is incomplete\n");
            std::exit(1);
        }
    };
    for (int r = 0; r < reps; ++r) {
        measure({"rename"}, false, files, flat, &flatFloor);
        measure({"rename", "--no-undo"}, false, files, flatNoUndo, nullptr);
        measure({"rename", "--recursive"}, true, folders * perFolder, tree, &treeFloor);
        measure({"rename", "--recursive", "--no-undo"}, true, folders * perFolder, treeNoUndo,
                nullptr);
    }
    // The merge: a tree flattened into itself, as `kovra merge /pics/*/ /pics` does.
    std::vector<double> merge, mergeNoUndo, mergeFloor;
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
        (journal ? merge : mergeNoUndo).push_back(runMeasured(args, peak));
        mergePeak = std::max(mergePeak, peak);
        makeTree(b, folders, perFolder);
        mergeFloor.push_back(floorMerge(b));
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

    std::vector<double> startup, baseline;
    for (int i = 0; i < 50; ++i) {
        startup.push_back(runTimed({kovra, "--version"}));
        baseline.push_back(runTimed({"/bin/true"}));
    }

    char label[64];
    std::snprintf(label, sizeof label, "rename, %d files", files);
    report(label, flat, flatFloor, 1.05);
    std::snprintf(label, sizeof label, "  the same, --no-undo");
    report(label, flatNoUndo, flatFloor, 1.05);
    std::snprintf(label, sizeof label, "rename -r, %dx%d files", folders, perFolder);
    report(label, tree, treeFloor, 1.1);
    std::snprintf(label, sizeof label, "  the same, --no-undo");
    report(label, treeNoUndo, treeFloor, 1.1);
    std::snprintf(label, sizeof label, "merge, %dx%d files", folders, perFolder);
    report(label, merge, mergeFloor, 1.1);
    std::snprintf(label, sizeof label, "  the same, --no-undo");
    report(label, mergeNoUndo, mergeFloor, 1.1);
    // "IMG_0000000.jpg" and "d00000_IMG_0000000.jpg": the names each file costs.
    const double nameBytes = 15 + 22;
    const double perFile = (static_cast<double>(mergePeak - versionPeak) * 1024.0) /
                               (static_cast<double>(folders) * perFolder) -
                           nameBytes;
    std::printf(
        "%-28s %.1f B a file beyond its names (peak %ld KiB, --version %ld KiB; goal <= "
        "100 B)\n",
        "merge memory", perFile, mergePeak, versionPeak);
    std::printf("%-28s kovra %9.2f ms   (min %.2f ms; /bin/true %.2f ms; goal <= 20 ms)\n",
                "--version start-up", median(startup),
                *std::min_element(startup.begin(), startup.end()), median(baseline));

    if (mounted) {
        ::umount(root.c_str());
    }
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(state);
    return 0;
}
