#include "fs/merge/trash.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

#include "core/paths.h"
#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/mounts.h"
#include "fs/rename_methods.h"
#include "fs/syscalls.h"

namespace fs {

namespace {

constexpr const auto& kInfoSuffix = kTrashInfoSuffix;

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The Path key of an info file, its %XX escapes undone; empty when it has none.
std::string infoPath(const std::string& infoFile) {
    const int fd = ::open(infoFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return {};
    }
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while (text.size() < (1 << 16) && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const std::size_t key = text.find("\nPath=");
    if (key == std::string::npos) {
        return {};
    }
    const std::size_t start = key + 6;
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string path;
    for (std::size_t i = start; i < end; ++i) {
        if (text[i] == '%' && i + 2 < end && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            path += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            path += text[i];
        }
    }
    return path;
}

std::string homeTrash() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return core::joinPath(data, "Trash");
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/";
    }
    return core::joinPath(home, ".local/share/Trash");
}

// A Trash that may hold files trashed from `path`, with the form its info files give the path in.
struct Trash {
    std::string dir;
    std::string topdir;  // empty for the home Trash, whose paths are absolute
};

// The Trash folders GIO may have used for `path`: the home Trash, and those at the top of the
// path's own drive.
std::vector<Trash> trashesFor(const std::string& path) {
    std::vector<Trash> trashes;
    trashes.push_back({homeTrash(), {}});
    if (const std::optional<MountedPath> mounted = mountOf(core::parentFolder(path))) {
        const std::string top = mounted->mount.mountPoint;
        const std::string uid = std::to_string(::getuid());
        trashes.push_back({core::joinPath(top, ".Trash/" + uid), top});
        trashes.push_back({core::joinPath(top, ".Trash-" + uid), top});
    }
    return trashes;
}

// Whether the info file of `name` in `trash` says it came from `path`.
bool cameFrom(const Trash& trash, const std::string& name, const std::string& path) {
    const std::string said = infoPath(trash.dir + "/info/" + name + kInfoSuffix);
    if (said.empty()) {
        return false;
    }
    if (said == path) {
        return true;
    }
    // A Trash at the top of a drive may name the path from there.
    return !trash.topdir.empty() && said.front() != '/' &&
           core::joinPath(trash.topdir, said) == path;
}

bool isFileAt(int dirfd, const std::string& name, const IsFile& isOurs) {
    struct stat st {};
    return ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && isOurs(st);
}

// The names GIO gives a file of `base` in a Trash that has one of that name already: a number
// before the first dot ("a.2.jpg"), or at the end when there is none.
std::string numberedName(const std::string& base, int n) {
    const std::size_t dot = base.find('.');
    if (dot == std::string::npos) {
        return base + "." + std::to_string(n);
    }
    return base.substr(0, dot) + "." + std::to_string(n) + base.substr(dot);
}

std::optional<TrashedFile> findIn(const Trash& trash, const std::string& path,
                                  const IsFile& isOurs) {
    Fd files(::open((trash.dir + "/files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (files.get() < 0) {
        return std::nullopt;
    }
    const auto matches = [&](const std::string& name) {
        return isFileAt(files.get(), name, isOurs) && cameFrom(trash, name, path);
    };
    // The names GIO tries in turn, while their info files say they are taken.
    const std::string base = core::fileName(path);
    for (int n = 1; n < 10000; ++n) {
        const std::string name = n == 1 ? base : numberedName(base, n);
        if (matches(name)) {
            return TrashedFile{trash.dir, name};
        }
        struct stat st {};
        if (::stat((trash.dir + "/info/" + name + kInfoSuffix).c_str(), &st) != 0) {
            break;
        }
    }
    // Named some other way: every entry that came from the path.
    std::vector<std::string> candidates;
    const std::size_t suffix = sizeof kInfoSuffix - 1;
    readFolder(trash.dir + "/info", Kinds::NameOnly, [&](const FolderEntry& e) {
        if (e.name.size() > suffix && e.name.substr(e.name.size() - suffix) == kInfoSuffix) {
            candidates.emplace_back(e.name.substr(0, e.name.size() - suffix));
        }
        return true;
    });
    for (const std::string& name : candidates) {
        if (matches(name)) {
            return TrashedFile{trash.dir, name};
        }
    }
    return std::nullopt;
}

// The info file's form of `path`: each byte outside the unreserved set and "/" as %XX.
std::string escaped(std::string_view path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string deletionDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

// Makes `path` a folder of the user's alone, if it is not there; its missing parents too.
int makeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            return errno;
        }
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    }
    if (errno != ENOENT) {
        return errno;
    }
    const std::string parent = core::parentFolder(path);
    if (parent == path) {
        return ENOENT;
    }
    if (const int err = makeFolder(parent); err != 0) {
        return err;
    }
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST ? 0 : errno;
}

// Whether the folder `path`, or the nearest folder above it that exists, is the user's to write
// in: the one that is there takes the ones made below it.
int canMake(std::string path) {
    for (;;) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            return ::access(path.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
        }
        const std::string parent = core::parentFolder(path);
        if (errno != ENOENT || parent == path) {
            return errno;
        }
        path = parent;
    }
}

// A Trash folder with its files/ and info/, made if asked.
int usable(const std::string& dir, bool make) {
    for (const char* sub : {"/files", "/info"}) {
        const std::string path = dir + sub;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return ENOTSUP;
            }
            continue;
        }
        if (!make) {
            return errno == ENOENT ? canMake(path) : errno;
        }
        if (const int err = makeFolder(path); err != 0) {
            return err;
        }
    }
    return ::access((dir + "/files").c_str(), W_OK | X_OK) == 0 || errno == ENOENT ? 0 : errno;
}

// The device of the nearest folder of `path` that exists.
dev_t deviceOf(std::string path) {
    for (;;) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            return st.st_dev;
        }
        const std::string parent = core::parentFolder(path);
        if (parent == path) {
            return 0;
        }
        path = parent;
    }
}

}  // namespace

int trashFor(int dirfd, bool make, TrashFolder& out) {
    struct stat here {};
    if (::fstat(dirfd, &here) != 0) {
        return errno;
    }
    const std::string home = homeTrash();
    if (deviceOf(home) == here.st_dev) {
        out = {home, {}};
        return usable(home, make);
    }
    const std::optional<MountedPath> mounted = mountOf(dirfd);
    if (!mounted) {
        return ENOTSUP;
    }
    // A memory drive's Trash would go with it at the next start, unseen by file managers.
    const std::string& type = mounted->mount.type;
    if (type == "tmpfs" || type == "ramfs" || type == "devtmpfs") {
        return ENOTSUP;
    }
    std::string top = mounted->mount.mountPoint;
    if (type == "fuse.gvfsd-fuse") {
        // One FUSE mount holds a folder per share, where nothing can be made: each share is a
        // drive, its folder the top.
        top = driveFolder(core::joinPath(top, mounted->relative), {mounted->mount});
    }
    const std::string uid = std::to_string(::getuid());
    // $topdir/.Trash, made by the administrator for everyone: only a real folder with the
    // sticky bit, so that no user can take another's entries.
    struct stat shared {};
    const std::string sharedTrash = core::joinPath(top, ".Trash");
    if (::lstat(sharedTrash.c_str(), &shared) == 0 && S_ISDIR(shared.st_mode) &&
        (shared.st_mode & S_ISVTX) != 0) {
        out = {core::joinPath(sharedTrash, uid), top};
        if (usable(out.dir, make) == 0) {
            return 0;
        }
    }
    out = {core::joinPath(top, ".Trash-" + uid), top};
    const int err = usable(out.dir, make);
    return err == EACCES || err == EROFS || err == EPERM ? ENOTSUP : err;
}

int trashFile(int dirfd, const std::string& folder, const std::string& name,
              const TrashFolder& trash, const std::function<int(const std::string&)>& naming,
              std::string& trashName) {
    const std::string path = core::joinPath(folder, name);
    std::string said = path;
    if (!trash.topdir.empty()) {
        const std::string prefix = trash.topdir == "/" ? "/" : trash.topdir + "/";
        if (path.rfind(prefix, 0) == 0) {
            said = path.substr(prefix.size());  // named from the drive's top
        }
    }
    const std::string info =
        "[Trash Info]\nPath=" + escaped(said) + "\nDeletionDate=" + deletionDate() + "\n";
    Fd files(::open((trash.dir + "/files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd infos(::open((trash.dir + "/info").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (files.get() < 0 || infos.get() < 0) {
        return errno;
    }
    for (int n = 1; n < 10000; ++n) {
        trashName = n == 1 ? name : numberedName(name, n);
        struct stat st {};
        if (::fstatat(files.get(), trashName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
            errno != ENOENT) {
            continue;  // taken, or not to be used
        }
        const std::string infoName = trashName + kInfoSuffix;
        if (infoName.size() > NAME_MAX) {
            return ENAMETOOLONG;
        }
        // Told before it is made: a kill after this leaves nothing unknown.
        if (const int err = naming(trashName); err != 0) {
            return err;
        }
        Fd made(::openat(infos.get(), infoName.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (made.get() < 0) {
            if (errno == EEXIST) {
                continue;  // another entry's
            }
            return errno;
        }
        std::size_t written = 0;
        while (written < info.size()) {
            const ssize_t n = ::write(made.get(), info.data() + written, info.size() - written);
            if (n < 0 && errno != EINTR) {
                break;
            }
            written += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        int err =
            written == info.size() && syscalls().fsync(made.get()) == 0 ? 0 : (errno ? errno : EIO);
        made.reset();
        if (err == 0) {
            RenameMethod method = RenameMethod::Unknown;
            const core::RenameStatus status =
                renameNoReplace(dirfd, name, files.get(), trashName, method);
            err = status.done() ? 0 : (status.error != 0 ? status.error : EIO);
            if (err == EEXIST || err == ENOTEMPTY) {
                ::unlinkat(infos.get(), infoName.c_str(), 0);
                continue;  // taken since it was looked at
            }
        }
        if (err != 0) {
            ::unlinkat(infos.get(), infoName.c_str(), 0);  // ours, made exclusively
        }
        return err;
    }
    return EEXIST;
}

std::optional<TrashedFile> findTrashed(const std::string& path, const IsFile& isOurs) {
    for (const Trash& trash : trashesFor(path)) {
        if (std::optional<TrashedFile> found = findIn(trash, path, isOurs)) {
            return found;
        }
    }
    return std::nullopt;
}

int restoreTrashed(const TrashedFile& where, const IsFile& isOurs, int dirfd,
                   const std::string& name, RenameObserver* observer) {
    Fd files(::open((where.trashDir + "/files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (files.get() < 0) {
        return errno;
    }
    if (!isFileAt(files.get(), where.name, isOurs)) {
        return ESTALE;
    }
    RenameMethod method = RenameMethod::Unknown;
    const core::RenameStatus status =
        renameNoReplace(files.get(), where.name, dirfd, name, method, observer);
    if (!status.done()) {
        return status.error != 0 ? status.error : EIO;
    }
    // The file is out: its entry in the Trash goes with it.
    ::unlink((where.trashDir + "/info/" + where.name + kInfoSuffix).c_str());
    return 0;
}

bool canTrash(const std::string& path) {
    Fd folder(::open(core::parentFolder(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    TrashFolder trash;
    return folder.get() >= 0 && trashFor(folder.get(), false, trash) == 0;
}

int dropTrashInfo(const TrashedFile& where, const std::string& path) {
    struct stat st {};
    if (::lstat((where.trashDir + "/files/" + where.name).c_str(), &st) == 0 || errno != ENOENT) {
        return ESTALE;  // a file stands there: the entry is whole, and not ours to touch
    }
    const std::string infoFile = where.trashDir + "/info/" + where.name + kInfoSuffix;
    if (::lstat(infoFile.c_str(), &st) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    // Written by the trashing cut short: empty, or naming the path, from the top of its drive
    // where the Trash lies there.
    const std::string said = st.st_size == 0 ? std::string() : infoPath(infoFile);
    const bool ours = S_ISREG(st.st_mode) &&
                      (st.st_size == 0 || said == path ||
                       (!said.empty() && said.front() != '/' && path.size() > said.size() &&
                        path.compare(path.size() - said.size(), said.size(), said) == 0 &&
                        path[path.size() - said.size() - 1] == '/'));
    if (!ours) {
        return ESTALE;
    }
    return ::unlink(infoFile.c_str()) == 0 ? 0 : errno;
}

}  // namespace fs
