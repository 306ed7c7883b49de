// Benchmark of `kovra merge`, against the system-call floor measured in the same run:
//   `kovra merge TREE/*/ TREE` of F folders of M files, flattening the tree, with and without the
//   journal; floor: one readdir per folder and one renameat2(RENAME_NOREPLACE) per file into the
//   destination. Its peak memory beyond `kovra --version`'s, per file, less the bytes of each
//   file's old and new name.
// Each figure is the median of the repetitions, each on a fresh copy. The program is timed as a
// process (its start-up included); the floor runs in this process.
// Usage: kovra_merge_bench PATH-TO-KOVRA [--folders F] [--per-folder M] [--reps R]

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
                     "usage: %s PATH-TO-KOVRA [--folders F] "
                     "[--per-folder M] [--reps R]\n",
                     argv[0]);
        return 2;
    }
    const std::string kovra = std::filesystem::absolute(argv[1]).string();
    int folders = 1000, perFolder = 100, reps = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--folders") {
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
    std::printf("merge bench: %d folders x %d files, %d reps, in %s\n", folders, perFolder, reps,
                mounted ? "a tmpfs of its own" : "the temporary folder");

    // The journal goes where a user's would, on the disk, but not into this user's own.
    std::string state = "/var/tmp/kovra-cli-bench-state-XXXXXX";
    if (::mkdtemp(state.data()) == nullptr) {
        fail("mkdtemp");
    }
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);

    const std::string a = root + "/pics", b = root + "/floor";
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

    char label[64];
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
    if (mounted) {
        ::umount(root.c_str());
    }
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(state);
    return 0;
}
