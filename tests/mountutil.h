#pragma once

// Real mounts for tests, each in a temporary folder of its own: switchfs (a pass-through FUSE file
// system whose abilities can be switched off), exFAT, FAT and NTFS images through their FUSE
// drivers, and tmpfs. Each says why the machine cannot make it (not root, no /dev/fuse, no loop
// device, a tool missing) so that the test skips with that reason, and each is unmounted by its
// destructor, by force if it must: a failed test never leaves a hung mount behind.
//
//     mountutil::SwitchFs fs("norenameflags,nolink");
//     KOVRA_REQUIRE_MOUNT(fs);
//     ... fs.path() is the mount, fs.backing() the folder behind it ...
//
// Tests using SwitchFs need KOVRA_SWITCHFS="$<TARGET_FILE:switchfs>" among their definitions.

#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QString>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "procutil.h"
#include "testutil.h"

// Skips the test when the machine cannot make the mount, fails it when the mount failed anyway.
#define KOVRA_REQUIRE_MOUNT(mount)                                  \
    do {                                                            \
        if (!(mount).skipReason().isEmpty()) {                      \
            QSKIP(qPrintable((mount).skipReason()));                \
        }                                                           \
        QVERIFY2((mount).isMounted(), qPrintable((mount).error())); \
    } while (false)

namespace mountutil {

// Long enough for a slow machine to mount, short enough not to hang a run.
inline constexpr std::chrono::seconds kMountWait{20};

// The full path of a program, searched in PATH and in the sbin folders, or empty.
inline std::string findTool(const std::string& name) {
    std::string folders = "/usr/local/sbin:/usr/sbin:/sbin:/usr/local/bin:/usr/bin:/bin";
    if (const char* path = std::getenv("PATH")) {
        folders = std::string(path) + ":" + folders;
    }
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

// Empty when the machine can mount FUSE file systems; otherwise why not.
inline QString fuseUnavailable() {
    if (::geteuid() != 0) {
        return QStringLiteral("mounting needs root");
    }
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return QStringLiteral("no usable /dev/fuse: %1")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    ::close(fd);
    return {};
}

// Starts a program with its output going to `log`; its pid, or -1.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
    return procutil::start(procutil::command(args, log)).pid;
}

// Runs a program to its end with its output going to `log`; true when it succeeded.
inline bool runTool(const std::vector<std::string>& args, const std::string& log) {
    const pid_t pid = spawn(args, log);
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Undoes the octal escapes of /proc/self/mountinfo (a space is \040).
inline std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

inline bool isMountPoint(const std::string& path) {
    const std::string table = testutil::readFile("/proc/self/mountinfo");
    std::size_t start = 0;
    while (start < table.size()) {
        std::size_t end = table.find('\n', start);
        if (end == std::string::npos) {
            end = table.size();
        }
        // Fields: id, parent, major:minor, root, mount point, ...
        std::size_t field = start;
        for (int i = 0; i < 4 && field != std::string::npos; ++i) {
            field = table.find(' ', field);
            if (field != std::string::npos) {
                ++field;
            }
        }
        if (field != std::string::npos && field < end) {
            const std::size_t fieldEnd = table.find(' ', field);
            if (unescapeMountField(table.substr(field, fieldEnd - field)) == path) {
                return true;
            }
        }
        start = end + 1;
    }
    return false;
}

// Waits until `path` is a mount point; gives up when `daemon` (if any) has ended.
inline bool waitForMount(const std::string& path, pid_t daemon) {
    const auto deadline = std::chrono::steady_clock::now() + kMountWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (isMountPoint(path)) {
            return true;
        }
        if (daemon > 0 && ::waitpid(daemon, nullptr, WNOHANG) == daemon) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The process with `path` among its arguments: the driver that went to the background.
inline pid_t processWithArgument(const std::string& path) {
    pid_t found = 0;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* e = ::readdir(proc)) {
            const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
            if (pid <= 0 || pid == ::getpid()) {
                continue;
            }
            const std::string line =
                testutil::readFile("/proc/" + std::string(e->d_name) + "/cmdline");
            std::size_t start = 0;
            while (found == 0 && start < line.size()) {
                std::size_t end = line.find('\0', start);
                if (end == std::string::npos) {
                    end = line.size();
                }
                if (line.compare(start, end - start, path) == 0) {
                    found = pid;
                }
                start = end + 1;
            }
            if (found != 0) {
                break;
            }
        }
        ::closedir(proc);
    }
    return found;
}

// Waits for a process to end, reaping it when it is our child; kills it when it does not.
inline void endProcess(pid_t pid, bool child) {
    const auto gone = [&] {
        return child ? ::waitpid(pid, nullptr, WNOHANG) == pid
                     : ::kill(pid, 0) != 0 && errno == ESRCH;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!gone()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            if (child) {
                ::waitpid(pid, nullptr, 0);
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A mount in a temporary folder of its own, unmounted by the destructor.
// Whether every thread of the process `pid` is stopped.
inline bool stopped(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool all = true;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        const std::string stat = testutil::readFile(tasks + "/" + e->d_name + "/stat");
        const std::size_t end = stat.rfind(')');
        all = all && end != std::string::npos && end + 2 < stat.size() &&
              (stat[end + 2] == 'T' || stat[end + 2] == 't');
    }
    ::closedir(dir);
    return all;
}

// Runs `rescue` (a stopped drive's daemon made to go on) after `after` on a thread of its own,
// unless disarmed first: a test whose window's thread waits on a drive for good fails instead of
// hanging, since nothing the rescue needs runs on the thread it rescues.
class Watchdog {
public:
    Watchdog(std::function<void()> rescue, std::chrono::seconds after) {
        thread_ = std::thread([this, rescue = std::move(rescue), after] {
            std::unique_lock lock(mutex_);
            if (!disarmed_.wait_for(lock, after, [this] { return done_; })) {
                fired_ = true;
                rescue();
            }
        });
    }
    ~Watchdog() { disarm(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    void disarm() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        disarmed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Whether it had to rescue.
    bool fired() const { return fired_; }

private:
    std::mutex mutex_;
    std::condition_variable disarmed_;
    bool done_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

class Mount {
public:
    virtual ~Mount() { unmount(); }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    // Non-empty when the machine cannot make this mount: the test should skip.
    const QString& skipReason() const { return skip_; }
    // Why mounting failed on a machine that should have managed.
    const QString& error() const { return error_; }
    bool isMounted() const { return mounted_; }
    // The mount point.
    const std::string& path() const { return mountpoint_; }
    // The process serving a FUSE mount, or 0.
    pid_t daemonPid() const { return daemon_; }

    // The drive stops answering: every call on it waits until thaw(). A stop takes hold of the
    // daemon's threads one by one, and one not yet stopped may still answer a call: the freeze
    // returns once every thread has stopped.
    bool freeze() {
        if (daemon_ <= 0 || ::kill(daemon_, SIGSTOP) != 0) {
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + kMountWait;
        while (!stopped(daemon_)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    bool thaw() { return daemon_ > 0 && ::kill(daemon_, SIGCONT) == 0; }

    // Unmounts, by force when the mount is busy or its daemon does not answer.
    bool unmount() {
        bool ok = true;
        if (mounted_) {
            thaw();
            if (::umount2(mountpoint_.c_str(), 0) != 0) {
                // Killing the daemon fails every call still waiting on it.
                if (daemon_ > 0) {
                    ::kill(daemon_, SIGKILL);
                }
                ok = ::umount2(mountpoint_.c_str(), MNT_DETACH) == 0;
            }
            mounted_ = isMountPoint(mountpoint_);
        }
        if (daemon_ > 0) {
            thaw();
            endProcess(daemon_, ownDaemon_);
            daemon_ = 0;
        }
        return ok && !mounted_;
    }

protected:
    Mount() {
        if (!folder_.isValid()) {
            error_ = QStringLiteral("no temporary folder");
        }
        mountpoint_ = folder_.path() + "/mnt";
        log_ = folder_.path() + "/log";
    }

    QString logText() const {
        return QString::fromLocal8Bit(testutil::readFile(log_).c_str()).trimmed();
    }

    // Needs these programs, each from its Debian package.
    bool needTools(std::initializer_list<std::pair<const char*, const char*>> tools) {
        for (const auto& [tool, package] : tools) {
            if (findTool(tool).empty()) {
                skip_ = QStringLiteral("%1 is not installed (Debian package %2)")
                            .arg(QLatin1String(tool), QLatin1String(package));
                return false;
            }
        }
        return true;
    }

    testutil::TempFolder folder_;
    std::string mountpoint_;
    std::string log_;
    pid_t daemon_ = 0;
    bool ownDaemon_ = false;
    bool mounted_ = false;
    QString skip_;
    QString error_;
};

// switchfs over a temporary backing folder, with the options of its -o (see switchfs.cpp), for
// example "norenameflags,nolink" or "race=cats_".
class SwitchFs : public Mount {
public:
    explicit SwitchFs(const std::string& options = {}) {
        backing_ = folder_.path() + "/backing";
        skip_ = fuseUnavailable();
#ifndef KOVRA_SWITCHFS
        (void)options;
        if (skip_.isEmpty()) {
            skip_ = QStringLiteral("switchfs was not built (Debian package libfuse3-dev)");
        }
#else
        if (!skip_.isEmpty() || !error_.isEmpty()) {
            return;
        }
        if (::mkdir(backing_.c_str(), 0755) != 0 || ::mkdir(mountpoint_.c_str(), 0755) != 0) {
            error_ = QStringLiteral("cannot make the folders");
            return;
        }
        args_ = {KOVRA_SWITCHFS, backing_, mountpoint_, "-f"};
        if (!options.empty()) {
            args_.insert(args_.end(), {"-o", options});
        }
        start();
#endif
    }

    // Unmounts (its daemon killed, if it must) and mounts again over the same backing folder.
    bool remount() {
        unmount();
        return start();
    }

    // The folder behind the mount: what is really stored.
    const std::string& backing() const {
        return backing_;
    }

private:
    bool start() {
        daemon_ = spawn(args_, log_);
        ownDaemon_ = true;
        mounted_ = daemon_ > 0 && waitForMount(mountpoint_, daemon_);
        if (!mounted_) {
            error_ = QStringLiteral("switchfs did not mount: ") + logText();
        }
        return mounted_;
    }

    std::string backing_;
    std::vector<std::string> args_;
};

enum class Image { ExFat, Fat, Ntfs, Ext4 };

// An image file formatted and mounted through the FUSE driver Debian has for it: exFAT through
// exfat-fuse (on a loop device: it wants a block device when run as root), FAT through fusefat
// (read-write, on a loop device too), NTFS through ntfs-3g; ext4 through the kernel, on a loop
// device.
class ImageMount : public Mount {
public:
    explicit ImageMount(Image kind, off_t size = off_t{64} << 20) {
        image_ = folder_.path() + "/image";
        skip_ = fuseUnavailable();
        if (!skip_.isEmpty() || !error_.isEmpty()) {
            return;
        }
        std::vector<std::string> format;
        std::vector<std::string> mount;
        switch (kind) {
            case Image::ExFat:
                if (!needTools({{"mkfs.exfat", "exfatprogs"},
                                {"mount.exfat-fuse", "exfat-fuse"},
                                {"losetup", "mount"}})) {
                    return;
                }
                format = {findTool("mkfs.exfat"), image_};
                mount = {findTool("mount.exfat-fuse"), "", mountpoint_};
                break;
            case Image::Fat:
                if (!needTools({{"mkfs.fat", "dosfstools"},
                                {"fusefat", "fusefat"},
                                {"losetup", "mount"}})) {
                    return;
                }
                format = {findTool("mkfs.fat"), "-F", "32", image_};
                // On a loop device named as the source, as a card's device is: the drive is then
                // known by its file system's UUID.
                mount = {findTool("fusefat"), "-o", "", "", mountpoint_};
                break;
            case Image::Ntfs:
                if (!needTools({{"mkntfs", "ntfs-3g"}, {"ntfs-3g", "ntfs-3g"}})) {
                    return;
                }
                format = {findTool("mkntfs"), "-F", "-f", "-q", image_};
                mount = {findTool("ntfs-3g"), image_, mountpoint_};
                break;
            case Image::Ext4:
                if (!needTools({{"mkfs.ext4", "e2fsprogs"}, {"mount", "mount"}})) {
                    return;
                }
                format = {findTool("mkfs.ext4"), "-q", "-F", image_};
                mount = {findTool("mount"), "-o", "loop", image_, mountpoint_};
                break;
        }
        // Sparse: only what the file system writes takes room.
        const int fd = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const bool sized = fd >= 0 && ::ftruncate(fd, size) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        if (!sized || ::mkdir(mountpoint_.c_str(), 0755) != 0) {
            error_ = QStringLiteral("cannot make the image file or the mount point");
            return;
        }
        if (!runTool(format, log_)) {
            error_ = QStringLiteral("formatting failed: ") + logText();
            return;
        }
        if (kind == Image::ExFat || kind == Image::Fat) {
            if (!attachLoop()) {
                return;
            }
            if (kind == Image::ExFat) {
                mount[1] = loop_;
            } else {
                mount[2] = "rw+,fsname=" + loop_;
                mount[3] = loop_;
            }
        }
        mount_ = mount;
        mountAt(mountpoint_);
    }

    // Takes the drive out and puts it back at another mount point, as a card is; every name is
    // then looked up afresh, in whatever order the test asks.
    bool remount() {
        if (!unmount()) {
            return false;
        }
        return putBack();
    }
    // Puts back a drive unmounted.
    bool putBack() {
        const std::string next = folder_.path() + "/mnt" + std::to_string(++mounts_);
        if (::mkdir(next.c_str(), 0755) != 0) {
            return false;
        }
        std::replace(mount_.begin(), mount_.end(), mountpoint_, next);
        mountpoint_ = next;
        return mountAt(next);
    }

    ~ImageMount() override {
        unmount();
        if (!loop_.empty()) {
            runTool({findTool("losetup"), "-d", loop_}, log_);
        }
    }

    const std::string& image() const { return image_; }

private:
    bool mountAt(const std::string& point) {
        if (!runTool(mount_, log_) || !waitForMount(point, 0)) {
            error_ = QStringLiteral("the driver did not mount: ") + logText();
            return false;
        }
        mounted_ = true;
        daemon_ = processWithArgument(point);
        return true;
    }

    bool attachLoop() {
        const std::string out = folder_.path() + "/loop";
        if (::access("/dev/loop-control", F_OK) != 0) {
            skip_ = QStringLiteral("no loop device (/dev/loop-control is missing)");
            return false;
        }
        if (!runTool({findTool("losetup"), "--find", "--show", image_}, out)) {
            // Loop devices used up by suites running at once, or their nodes never made (a
            // container's /dev): the kernel makes a free one, and its node is made here.
            ::unlink(out.c_str());
            const std::string device = freeLoopDevice();
            if (device.empty() || !runTool({findTool("losetup"), device, image_}, out)) {
                error_ = QStringLiteral("no loop device could be had: ") +
                         QString::fromLocal8Bit(testutil::readFile(out).c_str()).trimmed();
                return false;
            }
            loop_ = device;
            return true;
        }
        loop_ = testutil::readFile(out);
        while (!loop_.empty() && (loop_.back() == '\n' || loop_.back() == ' ')) {
            loop_.pop_back();
        }
        return true;
    }

    // A loop device the kernel says is free (made anew if it must), its node made if missing.
    static std::string freeLoopDevice() {
        const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        if (control < 0) {
            return {};
        }
        const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        ::close(control);
        if (number < 0) {
            return {};
        }
        const std::string device = "/dev/loop" + std::to_string(number);
        if (::access(device.c_str(), F_OK) != 0 &&
            ::mknod(device.c_str(), S_IFBLK | 0660, makedev(7, static_cast<unsigned>(number))) !=
                0) {
            return {};
        }
        return device;
    }

    std::string image_;
    std::string loop_;
    std::vector<std::string> mount_;
    int mounts_ = 0;
};

// A tmpfs of its own, "size=64m" unless told otherwise.
class Tmpfs : public Mount {
public:
    explicit Tmpfs(const std::string& options = "size=64m") {
        if (::geteuid() != 0) {
            skip_ = QStringLiteral("mounting needs root");
            return;
        }
        if (!error_.isEmpty()) {
            return;
        }
        if (::mkdir(mountpoint_.c_str(), 0755) != 0) {
            error_ = QStringLiteral("cannot make the mount point");
            return;
        }
        if (::mount("tmpfs", mountpoint_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            skip_ = QStringLiteral("cannot mount a tmpfs: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        mounted_ = true;
    }

    // Makes it read-only, with what it holds.
    bool makeReadOnly() {
        return ::mount("tmpfs", mountpoint_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
};

}  // namespace mountutil
