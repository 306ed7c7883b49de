#include "fs/merge/trash.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "core/paths.h"
#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/mounts.h"
#include "fs/rename_methods.h"

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

// A Trash that may hold files trashed from `path`, with the form its info files give the path in.
struct Trash {
    std::string dir;
    std::string topdir;  // empty for the home Trash, whose paths are absolute
};

// The Trash folders GIO may have used for `path`: the home Trash, and those at the top of the
// path's own drive.
std::vector<Trash> trashesFor(const std::string& path) {
    std::vector<Trash> trashes;
    trashes.push_back({core::joinPath(g_get_user_data_dir(), "Trash"), {}});
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

int errnoOf(const GError* error) {
    if (error == nullptr || error->domain != G_IO_ERROR) {
        return EIO;
    }
    switch (error->code) {
        case G_IO_ERROR_NOT_FOUND:
            return ENOENT;
        case G_IO_ERROR_PERMISSION_DENIED:
            return EACCES;
        case G_IO_ERROR_NOT_SUPPORTED:
            return ENOTSUP;
        case G_IO_ERROR_NO_SPACE:
            return ENOSPC;
        case G_IO_ERROR_READ_ONLY:
            return EROFS;
        case G_IO_ERROR_FILENAME_TOO_LONG:
            return ENAMETOOLONG;
        default:
            return EIO;
    }
}

}  // namespace

bool canTrash(const std::string& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    GFileInfo* info = g_file_query_info(file, G_FILE_ATTRIBUTE_ACCESS_CAN_TRASH,
                                        G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, nullptr, nullptr);
    g_object_unref(file);
    if (info == nullptr) {
        return false;
    }
    const bool can = g_file_info_get_attribute_boolean(info, G_FILE_ATTRIBUTE_ACCESS_CAN_TRASH);
    g_object_unref(info);
    return can;
}

int trashFile(const std::string& path, const IsFile& isOurs, std::optional<TrashedFile>& where) {
    where.reset();
    GFile* file = g_file_new_for_path(path.c_str());
    GError* error = nullptr;
    const gboolean trashed = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (!trashed) {
        const int err = errnoOf(error);
        g_error_free(error);
        return err;
    }
    where = findTrashed(path, isOurs);
    return 0;
}

std::optional<TrashedFile> findTrashed(const std::string& path, const IsFile& isOurs) {
    for (const Trash& trash : trashesFor(path)) {
        if (std::optional<TrashedFile> found = findIn(trash, path, isOurs)) {
            return found;
        }
    }
    return std::nullopt;
}

bool holdsTrashed(const TrashedFile& where, const IsFile& isOurs) {
    struct stat st {};
    return ::lstat((where.trashDir + "/files/" + where.name).c_str(), &st) == 0 && isOurs(st);
}

int restoreTrashed(const TrashedFile& where, const IsFile& isOurs, int dirfd,
                   const std::string& name) {
    Fd files(::open((where.trashDir + "/files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (files.get() < 0) {
        return errno;
    }
    if (!isFileAt(files.get(), where.name, isOurs)) {
        return ESTALE;
    }
    RenameMethod method = RenameMethod::Unknown;
    const core::RenameStatus status = renameNoReplace(files.get(), where.name, dirfd, name, method);
    if (!status.done()) {
        return status.error != 0 ? status.error : EIO;
    }
    // The file is out: its entry in the Trash goes with it.
    ::unlink((where.trashDir + "/info/" + where.name + kInfoSuffix).c_str());
    return 0;
}

}  // namespace fs
