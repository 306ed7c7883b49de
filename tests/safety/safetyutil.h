#pragma once

// What the safety tests share: a record of every entry of a folder (inode, links, content), the
// check that no file was lost or overwritten, the counts behind the summary line, the seed, and
// the one way a run is started and killed where its own progress says.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace safety {

// One entry of a folder: who it is (inode), how many names it has, what it is, and what it holds
// (a regular file's content, a symbolic link's target).
struct Entry {
    ino_t inode = 0;
    nlink_t links = 0;
    mode_t mode = 0;
    std::string data;
    bool operator==(const Entry&) const = default;
};
using Inventory = std::map<std::string, Entry>;

inline Entry entryAt(int dirfd, const std::string& name, bool withData = true) {
    Entry e;
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return e;
    }
    e.inode = st.st_ino;
    e.links = st.st_nlink;
    e.mode = st.st_mode;
    if (!withData) {
        return e;
    }
    if (S_ISREG(st.st_mode)) {
        const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            e.data.resize(static_cast<std::size_t>(st.st_size));
            std::size_t got = 0;
            ssize_t n = 1;
            while (got < e.data.size() &&
                   (n = ::read(fd, e.data.data() + got, e.data.size() - got)) > 0) {
                got += static_cast<std::size_t>(n);
            }
            e.data.resize(got);
            ::close(fd);
        }
    } else if (S_ISLNK(st.st_mode)) {
        char buffer[4096];
        const ssize_t n = ::readlinkat(dirfd, name.c_str(), buffer, sizeof buffer);
        if (n > 0) {
            e.data.assign(buffer, static_cast<std::size_t>(n));
        }
    }
    return e;
}

// Every entry of `folder` (files, links, folders), by exact name; without `withData`, who each
// is but not what it holds.
inline Inventory inventory(const std::string& folder, bool withData = true) {
    Inventory result;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return result;
    }
    const int listing = ::dup(fd);
    if (DIR* dir = ::fdopendir(listing)) {
        while (const dirent* d = ::readdir(dir)) {
            const std::string name = d->d_name;
            if (name != "." && name != "..") {
                result.emplace(name, entryAt(fd, name, withData));
            }
        }
        ::closedir(dir);
    } else {
        ::close(listing);
    }
    ::close(fd);
    return result;
}

inline Inventory withoutData(Inventory inv) {
    for (auto& [name, e] : inv) {
        e.data.clear();
    }
    return inv;
}

inline std::string printable(const std::string& name) {
    std::string out;
    for (const unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

inline std::string describe(const Inventory& inv) {
    std::string out = "{";
    for (const auto& [name, e] : inv) {
        out += " " + printable(name) + "(ino " + std::to_string(e.inode) + ", links " +
               std::to_string(e.links) + ", " + std::to_string(e.data.size()) + " bytes)";
    }
    return out + " }";
}

// The counts behind the summary line, over every test of the executable.
struct Counts {
    std::int64_t faultCases = 0;
    std::int64_t kills = 0;
    std::int64_t undos = 0;       // runs undone and compared with the folder before them
    std::int64_t recoveries = 0;  // runs cut short, then finished or undone
    std::int64_t filesChecked = 0;
    std::int64_t lost = 0;
    std::int64_t overwritten = 0;
    // The files checked in this test so far, by name and inode: each is counted once however
    // often it is checked.
    std::set<std::pair<std::string, ino_t>> checked;
};
inline Counts& counts() {
    static Counts c;
    return c;
}

// Adds the files this test checked to the count; at the end of each test.
inline void countChecked() {
    counts().filesChecked += static_cast<std::int64_t>(counts().checked.size());
    counts().checked.clear();
}

// Checks that every entry of `before` is still in `after`, under its old name or another: the
// same inode, kind and content. An entry that is gone is lost; one whose content changed, or
// whose name is now held by another file while it is gone, is overwritten. Returns true when
// nothing was lost or overwritten.
inline bool keepsEveryFile(const Inventory& before, const Inventory& after) {
    std::map<ino_t, const Entry*> byInode;
    for (const auto& [name, e] : after) {
        byInode.emplace(e.inode, &e);
    }
    bool ok = true;
    for (const auto& [name, e] : before) {
        counts().checked.emplace(name, e.inode);
        const auto found = byInode.find(e.inode);
        if (found == byInode.end()) {
            ++counts().lost;
            ok = false;
            const auto taken = after.find(name);
            if (taken != after.end()) {
                ++counts().overwritten;
            }
        } else if (found->second->data != e.data || found->second->mode != e.mode) {
            ++counts().overwritten;
            ok = false;
        }
    }
    return ok;
}

// The seed of every random choice; printed, fixed by default, KOVRA_SAFETY_SEED overrides it.
inline std::uint64_t seed() {
    static const std::uint64_t value = [] {
        const char* env = std::getenv("KOVRA_SAFETY_SEED");
        return env != nullptr && *env != '\0' ? std::strtoull(env, nullptr, 0)
                                              : std::uint64_t{20240607};
    }();
    return value;
}

// Two counters a run of the kill helper shares with the test, in a file both map: it has begun
// its work; how many files it has done.
class SharedProgress {
public:
    explicit SharedProgress(std::string path) : path_(std::move(path)) {
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0 && ::ftruncate(fd, 2 * sizeof(std::int64_t)) == 0) {
            void* map = ::mmap(nullptr, 2 * sizeof(std::int64_t), PROT_READ | PROT_WRITE,
                               MAP_SHARED, fd, 0);
            counters_ = map == MAP_FAILED ? nullptr : static_cast<std::int64_t*>(map);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ~SharedProgress() {
        if (counters_ != nullptr) {
            ::munmap(counters_, 2 * sizeof(std::int64_t));
        }
    }
    SharedProgress(const SharedProgress&) = delete;
    SharedProgress& operator=(const SharedProgress&) = delete;
    bool valid() const { return counters_ != nullptr; }
    const std::string& path() const { return path_; }
    void reset() {
        std::atomic_ref(counters_[0]).store(0);
        std::atomic_ref(counters_[1]).store(0);
    }
    bool started() const { return std::atomic_ref(counters_[0]).load() != 0; }
    std::int64_t done() const { return std::atomic_ref(counters_[1]).load(); }

private:
    std::string path_;
    std::int64_t* counters_ = nullptr;
};

// Renames into some folders, counted as the kernel tells of them (inotify): the progress of a
// run that keeps no counter of its own, as the command line's.
class RenameCounter {
public:
    explicit RenameCounter(const std::vector<std::string>& folders)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        for (const std::string& folder : folders) {
            ::inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO);
        }
    }
    ~RenameCounter() { ::close(fd_); }
    RenameCounter(const RenameCounter&) = delete;
    RenameCounter& operator=(const RenameCounter&) = delete;
    // Renames so far.
    std::int64_t count() {
        alignas(inotify_event) char buffer[1 << 16];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                count_ += (event->mask & IN_MOVED_TO) != 0 ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return count_;
    }

private:
    int fd_;
    std::int64_t count_ = 0;
};

// How a run started by runUntil ended.
struct Ending {
    bool killed = false;  // by the test's SIGKILL, while it went on
    int status = 0;       // as waitpid gives it
};

// Starts `args` (the program first; its standard output to /dev/null), and kills it with SIGKILL
// `jitterNs` after `due()` first holds, polled every 20 µs; a run that ends first is left to end.
inline Ending runUntil(std::vector<std::string> args, const std::function<bool()>& due,
                       long jitterNs) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    Ending ending;
    const int error = ::posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (error != 0) {
        ending.status = -1;
        return ending;
    }
    while (!due()) {
        if (::waitpid(pid, &ending.status, WNOHANG) == pid) {
            return ending;
        }
        const timespec poll{0, 20000};
        ::nanosleep(&poll, nullptr);
    }
    const timespec jitter{jitterNs / 1000000000, jitterNs % 1000000000};
    ::nanosleep(&jitter, nullptr);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &ending.status, 0);
    ending.killed = WIFSIGNALED(ending.status) && WTERMSIG(ending.status) == SIGKILL;
    return ending;
}

}  // namespace safety
