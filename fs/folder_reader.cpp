#include "fs/folder_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace fs {

namespace {

bool isDots(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

EntryKind kindOf(int dirfd, const char* name, unsigned char type) {
    struct stat st {};
    if (type == DT_UNKNOWN) {
        if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
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
    if (type == DT_LNK && ::fstatat(dirfd, name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
        return EntryKind::LinkToFolder;
    }
    return EntryKind::File;
}

// Reads the folder `own` and closes it.
int readOwned(int own, Kinds kinds, EntryCallback onEntry, void* context) {
    if (own < 0) {
        return errno;
    }
    const int err = readFolderThrough(own, kinds, onEntry, context);
    ::close(own);
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

int readFolderThrough(int dirfd, Kinds kinds, EntryCallback onEntry, void* context) {
    // As large as readdir's: a folder of a hundred names is read in one call.
    constexpr std::size_t kBytes = 32768;
    const std::unique_ptr<char[]> buffer(new char[kBytes]);
    for (;;) {
        const ssize_t got = ::getdents64(dirfd, buffer.get(), kBytes);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0 ? 0 : errno;
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.get() + at);
            at += entry->d_reclen;
            if (isDots(entry->d_name)) {
                continue;
            }
            FolderEntry found;
            found.name = entry->d_name;
            found.inode = static_cast<std::uint64_t>(entry->d_ino);
            if (kinds == Kinds::Resolve) {
                found.kind = kindOf(dirfd, entry->d_name, entry->d_type);
            }
            if (!onEntry(context, found)) {
                return ECANCELED;
            }
        }
    }
}

int readOwnedFolderAt(int own, Kinds kinds, EntryCallback onEntry, void* context) {
    return own < 0 ? errno : readOwned(own, kinds, onEntry, context);
}

std::uint64_t nameHash(std::string_view name) {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ name.size();
    std::size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, name.data() + i, 8);
        h = (h ^ word) * 0xff51afd7ed558ccdULL;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, name.data() + i, name.size() - i);
    h = (h ^ tail) * 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 32;
    return h | 1;
}

int InodesByName::read(int dirfd) {
    names_.clear();
    slots_.clear();
    std::vector<Slot> found;
    const int err = readFolder(dirfd, Kinds::NameOnly, [&](const FolderEntry& entry) {
        found.push_back({nameHash(entry.name), entry.inode,
                         static_cast<std::uint32_t>(names_.size()),
                         static_cast<std::uint32_t>(entry.name.size())});
        names_ += entry.name;
        return true;
    });
    std::size_t size = 16;
    while (size < 2 * found.size()) {
        size *= 2;
    }
    slots_.assign(size, Slot{});
    for (const Slot& slot : found) {
        std::size_t at = slot.hash & (size - 1);
        while (slots_[at].hash != 0) {
            at = (at + 1) & (size - 1);
        }
        slots_[at] = slot;
    }
    return err;
}

std::optional<std::uint64_t> InodesByName::find(std::string_view name) const {
    if (slots_.empty()) {
        return std::nullopt;
    }
    const std::uint64_t hash = nameHash(name);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask; slots_[at].hash != 0; at = (at + 1) & mask) {
        const Slot& slot = slots_[at];
        if (slot.hash == hash &&
            std::string_view(names_).substr(slot.offset, slot.length) == name) {
            return slot.inode;
        }
    }
    return std::nullopt;
}

}  // namespace fs
