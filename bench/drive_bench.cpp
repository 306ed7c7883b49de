// Benchmark: a rename run on a FUSE-mounted exFAT image, where the file system offers neither
// the rename flag nor links and every file is renamed onto an exclusive reservation of its new
// name. Compared with that file system's floor (one exclusive create and one rename per file)
// and with mmv.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/rename_run.h"
#include "fs/listing.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "mountutil.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string makeFolder(const std::string& root, const std::string& name, int n) {
    const std::string folder = root + "/" + name;
    ::mkdir(folder.c_str(), 0755);
    for (int i = 0; i < n; ++i) {
        const std::string path = folder + "/f" + std::to_string(i);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return folder;
}

// The least any safe rename costs here: reserve the new name, rename onto it.
double floorRun(const std::string& folder, const std::string& prefix) {
    const std::vector<std::string> names = fs::listFiles(folder).names;
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto start = Clock::now();
    for (const std::string& name : names) {
        const std::string to = prefix + name;
        const int fd = ::openat(dirfd, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
        }
        ::renameat(dirfd, name.c_str(), dirfd, to.c_str());
    }
    const double ms = msSince(start);
    ::close(dirfd);
    return ms;
}

double kovraRun(const std::string& folder) {
    fs::PlainFileList files(folder);
    files.selectAll();
    core::WorkList selection;
    core::WorkList renames;
    fs::PosixFileSystem fileSystem;
    const auto start = Clock::now();
    const core::RunResult result = core::renameRun(files, selection, renames, fileSystem);
    const double ms = msSince(start);
    if (result.end != core::RunResult::End::Completed) {
        std::fprintf(stderr, "the run stopped: errno %d\n", result.status.error);
    }
    return ms;
}

double mmvRun(const std::string& folder, const std::string& prefix) {
    QProcess mmv;
    mmv.setWorkingDirectory(QString::fromStdString(folder));
    const auto start = Clock::now();
    mmv.start(QStringLiteral("mmv"),
              {QStringLiteral("-r"), QStringLiteral("*"), QString::fromStdString(prefix + "#1")});
    mmv.waitForFinished(-1);
    return mmv.exitCode() == 0 ? msSince(start) : -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

}  // namespace

// Plain renames are made only onto a reservation: counting them tells the method, seen from the
// system calls rather than from inside the rename.
std::atomic<long> gPlainRenames{0};

int countingRenameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    ++gPlainRenames;
    return fs::defaultSyscalls().renameat(olddirfd, oldpath, newdirfd, newpath);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    fs::syscalls().renameat = countingRenameat;
    int n = 10000;
    int reps = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--files") {
            n = std::atoi(argv[i + 1]);
        } else if (option == "--reps") {
            reps = std::atoi(argv[i + 1]);
        }
    }
    mountutil::ImageMount exfat(mountutil::Image::ExFat, off_t{256} << 20);
    if (!exfat.skipReason().isEmpty() || !exfat.isMounted()) {
        std::printf("exFAT (FUSE): skipped: %s%s\n", qPrintable(exfat.skipReason()),
                    qPrintable(exfat.error()));
        return 0;
    }
    std::vector<double> kovra, floor, mmv;
    for (int rep = 0; rep < reps; ++rep) {
        const std::string tag = std::to_string(rep);
        floor.push_back(floorRun(makeFolder(exfat.path(), "floor" + tag, n), "floor" + tag + "_"));
        kovra.push_back(kovraRun(makeFolder(exfat.path(), "kovra" + tag, n)));
        mmv.push_back(mmvRun(makeFolder(exfat.path(), "mmv" + tag, n), "mmv" + tag + "_"));
    }
    std::printf(
        "exFAT (FUSE), %d files, median of %d: Kovra %.1f ms (method %s), floor %.1f ms, "
        "Kovra/floor %.2fx, mmv/floor %.2fx\n",
        n, reps, median(kovra), gPlainRenames.load() > 0 ? "reservation" : "other", median(floor),
        median(kovra) / median(floor), median(mmv) / median(floor));
    return 0;
}
