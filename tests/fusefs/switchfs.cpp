// switchfs: a pass-through FUSE file system for tests, whose abilities can be switched off one by
// one to stand in for the drives Kovra meets (exFAT/FAT sticks, Windows disks, network shares).
//
//   switchfs BACKING_DIR MOUNTPOINT [-o opt,...] [-f]
//
// Every operation is passed to BACKING_DIR; names are kept as the bytes they are. Options, all
// off by default:
//   norenameflags    a rename with any flag (RENAME_NOREPLACE, RENAME_EXCHANGE) answers EINVAL,
//                    as the exFAT and FAT drivers do.
//   nolink           link answers EPERM.
//   noreplace=ERRNO  a plain rename onto an existing name answers ERRNO (EEXIST, EACCES, EPERM
//                    or a number) and changes nothing, as some network file systems do.
//   caseless         names compare ASCII-case-insensitively, as on exFAT, FAT and NTFS written
//                    by Windows: a name finds the entry spelled in any case, so an O_EXCL create
//                    of such a name fails with EEXIST and a plain rename onto it replaces that
//                    entry, the result taking the new spelling.
//   race[=SUBSTRING] right after a create makes a new file (for a name holding SUBSTRING, or any
//                    name), another file with a few bytes takes that name in the backing folder,
//                    as if another program got in between a reservation and its use. The file
//                    system knows files by name, so from then on the name and the creator's
//                    descriptor both show the new file; writes through that descriptor reach the
//                    replaced file only.
//   failrename=ERRNO every rename answers ERRNO and changes nothing (a drive that fails).
//   failcreate=ERRNO every create answers ERRNO (a full or read-only drive).
//   pidfile=PATH     the serving process writes its pid to PATH (absolute: in the background
//                    it works from /) once mounted.
//   delay_us=N       every call waits N microseconds before it is answered, as a network drive
//                    does for its round trip.
//   faillink=ERRNO   link answers ERRNO (EIO: a WebDAV mount) and links nothing.
//   freshino         inode numbers are given per name, as mounts that number files by path do
//                    (sshfs, gvfs, rclone): a name keeps its number until it is renamed, removed
//                    or given to another file, two names of one file never share one, and a file
//                    renamed gets a new one. A file is then told only by its size and times.
//   longname=ERRNO   a name longer than 255 bytes answers ERRNO (EBADMSG over sftp, EINVAL from
//                    an SMB share) where the backing folder would answer ENAMETOOLONG.
//   namemax=N        statfs says names may have N bytes (gvfs says 1024 whatever the server's).
//   network          all of a network share at once: norenameflags, faillink=EIO, freshino,
//                    longname=EBADMSG, namemax=1024.
// Calls are answered on several threads at once (up to 64), as a network drive answers them:
// with a delay, calls from several threads overlap. The kernel caches nothing (names and attributes
// time out at once), so changes made behind the mount are seen at once. Tests freeze the drive with
// SIGSTOP and SIGCONT on the daemon; with -f it stays in the foreground, so that its pid is the one
// the test started.

#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

struct Options {
    char* backing = nullptr;
    int noRenameFlags = 0;
    int noLink = 0;
    char* noReplace = nullptr;
    int caseless = 0;
    int race = 0;
    char* raceName = nullptr;
    char* failRename = nullptr;
    char* failCreate = nullptr;
    char* pidFile = nullptr;
    unsigned delayUs = 0;
    char* failLink = nullptr;
    int freshIno = 0;
    char* longName = nullptr;
    unsigned nameMax = 0;
    int network = 0;
};

Options options;
int noReplaceErrno = 0;
int failRenameErrno = 0;
int failCreateErrno = 0;
int failLinkErrno = 0;
int longNameErrno = 0;
std::mutex inoMutex;
std::map<std::string, ino_t> inoByName;
ino_t nextIno = 1;
int root = -1;
std::atomic<unsigned> raceCount{0};

#define OPTION(text, field, value) \
    { text, offsetof(Options, field), value }
const fuse_opt optionSpecs[] = {
    OPTION("norenameflags", noRenameFlags, 1),
    OPTION("nolink", noLink, 1),
    OPTION("noreplace=%s", noReplace, 0),
    OPTION("caseless", caseless, 1),
    OPTION("race", race, 1),
    OPTION("race=%s", raceName, 0),
    OPTION("failrename=%s", failRename, 0),
    OPTION("failcreate=%s", failCreate, 0),
    OPTION("pidfile=%s", pidFile, 0),
    OPTION("delay_us=%u", delayUs, 0),
    OPTION("faillink=%s", failLink, 0),
    OPTION("freshino", freshIno, 1),
    OPTION("longname=%s", longName, 0),
    OPTION("namemax=%u", nameMax, 0),
    OPTION("network", network, 1),
    FUSE_OPT_END,
};

// The first argument that is not an option is the backing folder; the mountpoint goes to FUSE.
int takeBacking(void* data, const char* arg, int key, fuse_args*) {
    auto* opts = static_cast<Options*>(data);
    if (key == FUSE_OPT_KEY_NONOPT && opts->backing == nullptr) {
        opts->backing = ::strdup(arg);
        return 0;
    }
    return 1;
}

int errnoByName(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    if (std::strcmp(text, "EEXIST") == 0) {
        return EEXIST;
    }
    if (std::strcmp(text, "EACCES") == 0) {
        return EACCES;
    }
    if (std::strcmp(text, "EPERM") == 0) {
        return EPERM;
    }
    if (std::strcmp(text, "EIO") == 0) {
        return EIO;
    }
    if (std::strcmp(text, "ENOSPC") == 0) {
        return ENOSPC;
    }
    if (std::strcmp(text, "EROFS") == 0) {
        return EROFS;
    }
    if (std::strcmp(text, "EBADMSG") == 0) {
        return EBADMSG;
    }
    if (std::strcmp(text, "EINVAL") == 0) {
        return EINVAL;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 ? static_cast<int>(value) : -1;
}

bool sameCaseless(const char* a, const std::string& b) {
    std::size_t i = 0;
    for (; a[i] != '\0' && i < b.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<unsigned char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<unsigned char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return a[i] == '\0' && i == b.size();
}

std::string join(const std::string& folder, const std::string& name) {
    return folder == "." ? name : folder + "/" + name;
}

std::string parentOf(const std::string& rel) {
    const std::size_t slash = rel.rfind('/');
    return slash == std::string::npos ? "." : rel.substr(0, slash);
}

std::string baseOf(const std::string& rel) {
    const std::size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// The name the backing folder stores for `name` in `folder`: itself when it exists, else an entry
// spelled in another case, else itself (a name to be made).
std::string storedSpelling(const std::string& folder, const std::string& name) {
    struct stat st {};
    if (::fstatat(root, join(folder, name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return name;
    }
    const int fd = ::openat(root, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return name;
    }
    std::string found = name;
    if (DIR* dir = ::fdopendir(fd)) {
        while (const dirent* e = ::readdir(dir)) {
            if (sameCaseless(e->d_name, name)) {
                found = e->d_name;
                break;
            }
        }
        ::closedir(dir);
    } else {
        ::close(fd);
    }
    return found;
}

// The backing path, relative to the backing folder, of a path on the mount.
std::string backingPath(const char* path) {
    std::string rel = path[0] == '/' ? path + 1 : path;
    if (rel.empty()) {
        return ".";
    }
    if (!options.caseless) {
        return rel;
    }
    std::string resolved = ".";
    std::size_t start = 0;
    while (start <= rel.size()) {
        std::size_t end = rel.find('/', start);
        if (end == std::string::npos) {
            end = rel.size();
        }
        resolved = join(resolved, storedSpelling(resolved, rel.substr(start, end - start)));
        start = end + 1;
    }
    return resolved;
}

int result(int rc) {
    return rc < 0 ? -errno : rc;
}

// The drive's round trip, paid by every call before it is answered.
void roundTrip() {
    if (options.delayUs != 0) {
        const timespec wait{static_cast<time_t>(options.delayUs / 1000000),
                            static_cast<long>(options.delayUs % 1000000) * 1000};
        ::nanosleep(&wait, nullptr);
    }
}

template <auto F>
struct Delayed;
template <class R, class... A, R (*F)(A...)>
struct Delayed<F> {
    static R call(A... args) {
        roundTrip();
        return F(args...);
    }
};

// The number the name `path` goes by; a new one for a name not seen since it last changed.
ino_t numberOf(const std::string& path) {
    const std::lock_guard lock(inoMutex);
    const auto [it, added] = inoByName.try_emplace(path, nextIno);
    nextIno += added ? 1 : 0;
    return it->second;
}

// The name `path` no longer holds what it held: its next lookup gives a new number.
void forgetNumber(const char* path) {
    if (options.freshIno) {
        const std::lock_guard lock(inoMutex);
        inoByName.erase(path);
    }
}

// The drive's own answer to a name longer than it takes, or 0.
int nameError(const char* path) {
    if (longNameErrno == 0) {
        return 0;
    }
    std::size_t run = 0;
    for (const char* c = path; *c != '\0'; ++c) {
        run = *c == '/' ? 0 : run + 1;
        if (run > 255) {
            return -longNameErrno;
        }
    }
    return 0;
}

int doGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
    int rc = 0;
    if (fi != nullptr) {
        rc = result(::fstat(static_cast<int>(fi->fh), st));
    } else if ((rc = nameError(path)) == 0) {
        rc = result(::fstatat(root, backingPath(path).c_str(), st, AT_SYMLINK_NOFOLLOW));
    }
    if (rc == 0 && options.freshIno) {
        st->st_ino = numberOf(path);
    }
    return rc;
}

int doAccess(const char* path, int mask) {
    return result(::faccessat(root, backingPath(path).c_str(), mask, 0));
}

int doReadlink(const char* path, char* buffer, size_t size) {
    if (size == 0) {
        return -EINVAL;
    }
    const ssize_t n = ::readlinkat(root, backingPath(path).c_str(), buffer, size - 1);
    if (n < 0) {
        return -errno;
    }
    buffer[n] = '\0';
    return 0;
}

int doReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    const int fd = ::openat(root, backingPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    while (const dirent* e = ::readdir(dir)) {
        struct stat st {};
        st.st_ino = options.freshIno ? numberOf(std::strcmp(path, "/") == 0
                                                    ? std::string("/") + e->d_name
                                                    : std::string(path) + "/" + e->d_name)
                                     : e->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(e->d_type));
        if (fill(buffer, e->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) {
            break;
        }
    }
    ::closedir(dir);
    return 0;
}

int doMkdir(const char* path, mode_t mode) {
    if (const int rc = nameError(path); rc != 0) {
        return rc;
    }
    return result(::mkdirat(root, backingPath(path).c_str(), mode));
}

int doUnlink(const char* path) {
    forgetNumber(path);
    return result(::unlinkat(root, backingPath(path).c_str(), 0));
}

int doRmdir(const char* path) {
    forgetNumber(path);
    return result(::unlinkat(root, backingPath(path).c_str(), AT_REMOVEDIR));
}

int doSymlink(const char* target, const char* path) {
    return result(::symlinkat(target, root, backingPath(path).c_str()));
}

int doLink(const char* from, const char* to) {
    if (options.noLink) {
        return -EPERM;
    }
    if (failLinkErrno != 0) {
        return -failLinkErrno;
    }
    if (const int rc = nameError(to); rc != 0) {
        return rc;
    }
    return result(::linkat(root, backingPath(from).c_str(), root, backingPath(to).c_str(), 0));
}

int doRename(const char* from, const char* to, unsigned int flags) {
    if (failRenameErrno != 0) {
        return -failRenameErrno;
    }
    if (flags != 0 && options.noRenameFlags) {
        return -EINVAL;
    }
    if (const int rc = nameError(to); rc != 0) {
        return rc;
    }
    forgetNumber(from);
    forgetNumber(to);
    const std::string source = backingPath(from);
    const std::string target = backingPath(to);
    // The spelling asked for, which a case-insensitive drive gives the result.
    const std::string spelled = join(parentOf(target), baseOf(to));
    if (options.caseless && source == target) {
        // One entry in two spellings: only its case changes.
        return result(::renameat2(root, source.c_str(), root, spelled.c_str(), flags));
    }
    struct stat st {};
    const bool taken = ::fstatat(root, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (flags == 0 && taken && noReplaceErrno != 0) {
        return -noReplaceErrno;
    }
    if (::renameat2(root, source.c_str(), root, target.c_str(), flags) != 0) {
        return -errno;
    }
    if (flags == 0 && target != spelled) {
        ::renameat(root, target.c_str(), root, spelled.c_str());
    }
    return 0;
}

int doChmod(const char* path, mode_t mode, fuse_file_info* fi) {
    if (fi != nullptr) {
        return result(::fchmod(static_cast<int>(fi->fh), mode));
    }
    return result(::fchmodat(root, backingPath(path).c_str(), mode, 0));
}

int doChown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    if (fi != nullptr) {
        return result(::fchown(static_cast<int>(fi->fh), uid, gid));
    }
    return result(::fchownat(root, backingPath(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int doTruncate(const char* path, off_t size, fuse_file_info* fi) {
    if (fi != nullptr) {
        return result(::ftruncate(static_cast<int>(fi->fh), size));
    }
    const int fd = ::openat(root, backingPath(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    const int rc = result(::ftruncate(fd, size));
    ::close(fd);
    return rc;
}

int doUtimens(const char* path, const struct timespec times[2], fuse_file_info* fi) {
    if (fi != nullptr) {
        return result(::futimens(static_cast<int>(fi->fh), times));
    }
    return result(::utimensat(root, backingPath(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

// Another program takes the name: a file with a few bytes is renamed over the new one.
void raceFor(const std::string& rel) {
    const std::string other = join(parentOf(rel), ".switchfs-race-" + std::to_string(::getpid()) +
                                                      "-" + std::to_string(raceCount++));
    const int fd = ::openat(root, other.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    static const char bytes[] = "taken by another program\n";
    const bool written =
        ::write(fd, bytes, sizeof bytes - 1) == static_cast<ssize_t>(sizeof bytes - 1);
    ::close(fd);
    if (!written || ::renameat(root, other.c_str(), root, rel.c_str()) != 0) {
        ::unlinkat(root, other.c_str(), 0);
    }
}

int doCreate(const char* path, mode_t mode, fuse_file_info* fi) {
    if (failCreateErrno != 0) {
        return -failCreateErrno;
    }
    if (const int rc = nameError(path); rc != 0) {
        return rc;
    }
    forgetNumber(path);
    const std::string rel = backingPath(path);
    // Tried exclusively first, to know whether this call made the file.
    bool made = true;
    int fd = ::openat(root, rel.c_str(), fi->flags | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST && (fi->flags & O_EXCL) == 0) {
        made = false;
        fd = ::openat(root, rel.c_str(), (fi->flags & ~O_CREAT) | O_CLOEXEC);
    }
    if (fd < 0) {
        return -errno;
    }
    if (made && options.race &&
        (options.raceName == nullptr || baseOf(rel).find(options.raceName) != std::string::npos)) {
        raceFor(rel);
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int doOpen(const char* path, fuse_file_info* fi) {
    const int fd = ::openat(root, backingPath(path).c_str(), fi->flags | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int doRead(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    const ssize_t n = ::pread(static_cast<int>(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int doWrite(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    const ssize_t n = ::pwrite(static_cast<int>(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int doStatfs(const char*, struct statvfs* st) {
    const int rc = result(::fstatvfs(root, st));
    if (rc == 0 && options.nameMax != 0) {
        st->f_namemax = options.nameMax;
    }
    return rc;
}

int doRelease(const char*, fuse_file_info* fi) {
    ::close(static_cast<int>(fi->fh));
    return 0;
}

int doFsync(const char*, int dataOnly, fuse_file_info* fi) {
    const int fd = static_cast<int>(fi->fh);
    return result(dataOnly ? ::fdatasync(fd) : ::fsync(fd));
}

int doFsyncdir(const char*, int, fuse_file_info*) {
    return 0;
}

void* doInit(fuse_conn_info*, fuse_config* config) {
    // Nothing cached in the kernel: tests change the backing folder behind the mount.
    config->entry_timeout = 0;
    config->negative_timeout = 0;
    config->attr_timeout = 0;
    config->use_ino = 1;
    // Unlinking an open file removes it, with no hidden placeholder showing in listings.
    config->hard_remove = 1;
    if (options.pidFile != nullptr) {
        if (FILE* file = std::fopen(options.pidFile, "w")) {
            std::fprintf(file, "%ld\n", static_cast<long>(::getpid()));
            std::fclose(file);
        }
    }
    return nullptr;
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.getattr = Delayed<doGetattr>::call;
    ops.readlink = Delayed<doReadlink>::call;
    ops.mkdir = Delayed<doMkdir>::call;
    ops.unlink = Delayed<doUnlink>::call;
    ops.rmdir = Delayed<doRmdir>::call;
    ops.symlink = Delayed<doSymlink>::call;
    ops.rename = Delayed<doRename>::call;
    ops.link = Delayed<doLink>::call;
    ops.chmod = Delayed<doChmod>::call;
    ops.chown = Delayed<doChown>::call;
    ops.truncate = Delayed<doTruncate>::call;
    ops.open = Delayed<doOpen>::call;
    ops.read = Delayed<doRead>::call;
    ops.write = Delayed<doWrite>::call;
    ops.statfs = Delayed<doStatfs>::call;
    ops.release = Delayed<doRelease>::call;
    ops.fsync = Delayed<doFsync>::call;
    ops.readdir = Delayed<doReaddir>::call;
    ops.fsyncdir = Delayed<doFsyncdir>::call;
    ops.init = doInit;
    ops.access = Delayed<doAccess>::call;
    ops.create = Delayed<doCreate>::call;
    ops.utimens = Delayed<doUtimens>::call;
    return ops;
}

}  // namespace

int main(int argc, char* argv[]) {
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &options, optionSpecs, takeBacking) != 0) {
        return 1;
    }
    if (options.backing == nullptr) {
        std::fprintf(stderr, "usage: %s BACKING_DIR MOUNTPOINT [-o opt,...] [-f]\n", argv[0]);
        return 1;
    }
    noReplaceErrno = errnoByName(options.noReplace);
    failRenameErrno = errnoByName(options.failRename);
    failCreateErrno = errnoByName(options.failCreate);
    if (options.network) {
        options.noRenameFlags = 1;
        options.freshIno = 1;
        failLinkErrno = EIO;
        longNameErrno = EBADMSG;
        options.nameMax = 1024;
    }
    if (options.failLink != nullptr) {
        failLinkErrno = errnoByName(options.failLink);
    }
    if (options.longName != nullptr) {
        longNameErrno = errnoByName(options.longName);
    }
    if (noReplaceErrno < 0 || failRenameErrno < 0 || failCreateErrno < 0 || failLinkErrno < 0 ||
        longNameErrno < 0) {
        std::fprintf(stderr, "switchfs: unknown errno in an option\n");
        return 1;
    }
    if (options.raceName != nullptr) {
        options.race = 1;
    }
    // Opened before FUSE may change the working folder, so relative paths still work.
    root = ::open(options.backing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        std::fprintf(stderr, "switchfs: %s: %s\n", options.backing, std::strerror(errno));
        return 1;
    }
    // Answered on up to 64 threads: a slow call does not hold up the others.
    fuse_opt_add_arg(&args, "-omax_threads=64,max_idle_threads=16");
    const fuse_operations ops = operations();
    const int rc = fuse_main(args.argc, args.argv, &ops, nullptr);
    fuse_opt_free_args(&args);
    ::close(root);
    return rc;
}
