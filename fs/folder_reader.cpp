#include "fs/folder_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace fs {

namespace {

bool isDots(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

EntryKind kindOf(int dirfd, const dirent& entry) {
    unsigned char type = entry.d_type;
    struct stat st {};
    if (type == DT_UNKNOWN) {
        if (::fstatat(dirfd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return EntryKind::File;
        }
        if (S_ISDIR(st.st_mode)) {
            return EntryKind::Folder;
        }
        type = S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    if (type == DT_DIR) {
        return EntryKind::Folder;
    }
    // A link counts by what it points to: it opens like the folder it names. A broken one stays
    // a file.
    if (type == DT_LNK && ::fstatat(dirfd, entry.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
        return EntryKind::LinkToFolder;
    }
    return EntryKind::File;
}

// Reads the folder `own` and closes it.
int readOwned(int own, Kinds kinds, EntryCallback onEntry, void* context) {
    DIR* dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (dir == nullptr) {
        const int err = errno;
        if (own >= 0) {
            ::close(own);
        }
        return err;
    }
    int err = 0;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!isDots(entry->d_name)) {
            FolderEntry found;
            found.name = entry->d_name;
            found.inode = static_cast<std::uint64_t>(entry->d_ino);
            if (kinds == Kinds::Resolve) {
                found.kind = kindOf(own, *entry);
            }
            if (!onEntry(context, found)) {
                err = ECANCELED;
                break;
            }
        }
        errno = 0;
    }
    if (err == 0) {
        err = errno;
    }
    ::closedir(dir);
    return err;
}

}  // namespace

int readFolderAt(int dirfd, Kinds kinds, EntryCallback onEntry, void* context) {
    // A handle of our own: readdir moves the position, and closedir closes it.
    const int own = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return own < 0 ? errno : readOwned(own, kinds, onEntry, context);
}

int readFolderAt(const std::string& path, Kinds kinds, EntryCallback onEntry, void* context) {
    const int own = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return own < 0 ? errno : readOwned(own, kinds, onEntry, context);
}

int InodesByName::read(int dirfd) {
    names_.clear();
    byName_.clear();
    std::vector<std::pair<std::size_t, std::uint64_t>> ends;
    const int err = readFolder(dirfd, Kinds::NameOnly, [&](const FolderEntry& entry) {
        names_ += entry.name;
        ends.emplace_back(names_.size(), entry.inode);
        return true;
    });
    // Views into the buffer only once it no longer grows.
    byName_.reserve(ends.size());
    std::size_t start = 0;
    for (const auto& [end, inode] : ends) {
        byName_.emplace(std::string_view(names_).substr(start, end - start), inode);
        start = end;
    }
    return err;
}

std::optional<std::uint64_t> InodesByName::find(std::string_view name) const {
    const auto found = byName_.find(name);
    return found == byName_.end() ? std::nullopt : std::optional(found->second);
}

}  // namespace fs
