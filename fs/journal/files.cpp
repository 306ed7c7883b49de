// The journals as files: where they are kept, their names, their locks, the history's length,
// and the marks appended once a run is undone or left as it is.

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/journal/format.h"
#include "fs/syscalls.h"

namespace fs {

using namespace journal_format;

namespace {

// Which of the runs' folder names are runs, newest first.
std::vector<std::string> runNames(const std::string& runsDir) {
    std::vector<std::string> names;
    const std::size_t prefix = sizeof kRunPrefix - 1;
    const std::size_t suffix = sizeof kBadSuffix - 1;
    readFolder(runsDir, Kinds::NameOnly, [&](const FolderEntry& entry) {
        const std::string_view name = entry.name;
        if (name.substr(0, prefix) == kRunPrefix &&
            (name.size() < suffix || name.substr(name.size() - suffix) != kBadSuffix)) {
            names.emplace_back(name);
        }
        return true;
    });
    // The names begin with the start time in fixed width: their order is the runs' order.
    std::sort(names.rbegin(), names.rend());
    return names;
}

std::string timePayload() {
    std::string payload;
    putU64(payload, static_cast<std::uint64_t>(nowNs()));
    return payload;
}

}  // namespace

namespace journal_format {

void pruneHistory(const std::string& runsDir) {
    const std::vector<std::string> names = runNames(runsDir);
    for (std::size_t i = kHistoryLength; i < names.size(); ++i) {
        const std::string path = runsDir + "/" + names[i];
        const LockedRun lock(path);
        if (!lock.valid()) {
            continue;
        }
        const JournalRead read = readJournalSummary(path);
        if (read.status == JournalRead::Status::Ok && (read.ended || read.undone || read.kept)) {
            ::unlink(path.c_str());
        }
    }
}

void removeDeadTemporaries(int dirfd) {
    // A plan of a million entries left behind would weigh tens of megabytes. A writer still
    // running holds its own locked.
    const std::size_t prefix = sizeof kTempPrefix - 1;
    std::vector<std::string> temporaries;
    readFolder(dirfd, Kinds::NameOnly, [&](const FolderEntry& entry) {
        if (entry.name.substr(0, prefix) == kTempPrefix) {
            temporaries.emplace_back(entry.name);
        }
        return true;
    });
    for (const std::string& name : temporaries) {
        Fd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (fd.get() >= 0 && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(dirfd, name.c_str(), 0);
        }
    }
}

}  // namespace journal_format

std::string stateDirectory() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return (std::filesystem::path(xdg) / "kovra").string();
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* pw = ::getpwuid(::getuid());
        home =
            pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] == '/' ? pw->pw_dir : nullptr;
    }
    if (home == nullptr) {
        return {};
    }
    return (std::filesystem::path(home) / ".local" / "state" / "kovra").string();
}

int makeStateDirectory(const std::string& stateDir) {
    if (stateDir.empty()) {
        return ENOENT;
    }
    const std::filesystem::path dir = std::filesystem::path(stateDir).lexically_normal();
    const std::filesystem::path leaf = dir.has_filename() ? dir : dir.parent_path();
    if (leaf.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(leaf.parent_path(), ec);
        if (ec) {
            return ec.value();
        }
    }
    if (::mkdir(leaf.c_str(), 0700) == 0) {
        // The umask may have taken more than asked; the state folder is the user's alone.
        return ::chmod(leaf.c_str(), 0700) == 0 ? 0 : errno;
    }
    if (errno != EEXIST) {
        return errno;
    }
    struct stat st {};
    if (::stat(leaf.c_str(), &st) != 0) {
        return errno;
    }
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

std::string runsDirectory(const std::string& stateDir) {
    return (std::filesystem::path(stateDir) / kRunsFolder).string();
}

IdentityKind identityKindOf(const std::string& type) {
    // File systems known to keep a file's inode number from one mount to the next. The rest
    // (FAT, exFAT, most FUSE and network drives) may number files anew at every mount.
    static const char* const kKeepInodes[] = {"ext2",  "ext3",  "ext4",    "xfs",      "btrfs",
                                              "tmpfs", "f2fs",  "jfs",     "reiserfs", "nilfs2",
                                              "zfs",   "ntfs3", "bcachefs"};
    for (const char* keeps : kKeepInodes) {
        if (type == keeps) {
            return IdentityKind::Inode;
        }
    }
    // Drives that send a file renamed to their server again, which stamps it anew.
    if (type == "fuse.rclone" || type == "davfs" || type == "fuse.davfs2") {
        return IdentityKind::Size;
    }
    return IdentityKind::SizeAndTime;
}

FileId identityOf(const struct stat& st, IdentityKind kind) {
    if (kind == IdentityKind::SizeAndTime) {
        return {static_cast<std::uint64_t>(st.st_size),
                static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                    static_cast<std::uint64_t>(st.st_mtim.tv_nsec)};
    }
    if (kind == IdentityKind::Size) {
        return {static_cast<std::uint64_t>(st.st_size), 0};
    }
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

int describeFolder(int dirfd, const std::string& path, FolderRecord& out,
                   std::optional<MountedPath>& lastMount, const struct stat* known) {
    if (!validFolder(path)) {
        return EINVAL;
    }
    struct stat st {};
    if (known != nullptr) {
        st = *known;
    } else if (::fstat(dirfd, &st) != 0) {
        return errno;
    }
    std::optional<MountedPath> mounted = lastMount ? mountOf(dirfd, *lastMount) : std::nullopt;
    if (!mounted) {
        mounted = mountOf(dirfd);
    }
    lastMount = mounted;
    out.path = path;
    out.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    // Nothing known of the drive: told apart by what any drive keeps within a mount.
    out.identity = mounted ? identityKindOf(mounted->mount.type) : IdentityKind::SizeAndTime;
    out.place = mounted
                    ? FolderPlace{mounted->identity, mounted->mount.root, mounted->mount.mountPoint,
                                  mounted->relative, mounted->mount.label}
                    : FolderPlace{};
    out.mode = st.st_mode & 07777;
    out.uid = st.st_uid;
    out.gid = st.st_gid;
    out.accessedAt = static_cast<std::int64_t>(st.st_atim.tv_sec) * 1000000000 + st.st_atim.tv_nsec;
    out.modifiedAt = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return 0;
}

int cutTornTail(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        return errno;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    char head[kHeadBytes];
    // Only a streamed journal can be torn within its records; an older one is left as it is.
    if (size < kHeadBytes || preadAll(fd.get(), head, sizeof head, 0) != 0 ||
        std::memcmp(head, kMagic, sizeof kMagic) != 0 ||
        (getLE(head + 8, 4) != kVersion && getLE(head + 8, 4) != kFolderRolesVersion &&
         getLE(head + 8, 4) != kStreamedVersion)) {
        return 0;
    }
    std::uint64_t pos = kHeadBytes;
    while (pos < size) {
        const std::uint64_t left = size - pos;
        char recordHead[kRecordHead];
        if (left < kRecordFrame) {
            break;
        }
        if (const int err = preadAll(fd.get(), recordHead, sizeof recordHead, long(pos));
            err != 0) {
            return err;
        }
        if (getLE(recordHead + 8, 4) !=
            static_cast<std::uint32_t>(journalChecksum(std::string_view(recordHead, 8)))) {
            return 0;  // damage, not a tear
        }
        const std::uint64_t length = getLE(recordHead + 4, 4);
        if (length > left - kRecordFrame) {
            break;
        }
        const std::uint64_t next = pos + kRecordFrame + length;
        if (next == size) {
            std::string record(kRecordHead + length + 8, '\0');
            if (const int err = preadAll(fd.get(), record.data(), record.size(), long(pos));
                err != 0) {
                return err;
            }
            if (getLE(record.data() + kRecordHead + length, 8) ==
                journalChecksum(std::string_view(record).substr(0, kRecordHead + length))) {
                return 0;  // the last record is whole
            }
            break;
        }
        pos = next;
    }
    if (pos >= size) {
        return 0;
    }
    return ::ftruncate(fd.get(), off_t(pos)) == 0 && syscalls().fsync(fd.get()) == 0 ? 0 : errno;
}

int markUndone(const std::string& path) {
    return appendTo(path, kUndone, timePayload());
}

int markKept(const std::string& path) {
    return appendTo(path, kKept, timePayload());
}

int markPartlyUndone(const std::string& path, std::int64_t back, std::int64_t of) {
    std::string payload;
    putU64(payload, static_cast<std::uint64_t>(back));
    putU64(payload, static_cast<std::uint64_t>(of));
    payload += timePayload();
    return appendTo(path, kPartlyUndone, payload);
}

LockedRun::LockedRun(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
        err_ = errno;
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        err_ = errno;
        busy_ = err_ == EWOULDBLOCK;
        ::close(fd_);
        fd_ = -1;
    }
}

LockedRun::~LockedRun() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::vector<std::string> runJournals(const std::string& stateDir) {
    const std::string runsDir = runsDirectory(stateDir);
    std::vector<std::string> paths = runNames(runsDir);
    for (std::string& name : paths) {
        name = runsDir + "/" + name;
    }
    return paths;
}

int setAside(const std::string& path) {
    // Our own state file: replacing an older copy set aside is fine.
    return ::rename(path.c_str(), (path + kBadSuffix).c_str()) == 0 ? 0 : errno;
}

int removeJournal(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace fs
