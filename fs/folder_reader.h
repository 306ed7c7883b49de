#pragma once

// The one folder reader: every entry's name bytes, its kind and its inode number, in one readdir
// pass. A stat is paid only where the folder does not say an entry's type, or for a symbolic link
// whose target decides whether it opens like a folder.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace fs {

enum class EntryKind : unsigned char {
    File,          // anything that is not a folder: regular files, broken links, devices, ...
    Folder,        // a real folder
    LinkToFolder,  // a symbolic link that opens like a folder: never walked into
};

struct FolderEntry {
    std::string_view name;  // valid during the callback only; never "." or ".."
    std::uint64_t inode = 0;
    EntryKind kind = EntryKind::File;
};

enum class Kinds {
    Resolve,   // tell links to folders from other links, and look up unknown types
    NameOnly,  // names and inode numbers only, no stat at all: `kind` is File for every entry
};

using EntryCallback = bool (*)(void* context, const FolderEntry& entry);

// Calls `onEntry` for every entry of the folder open as `dirfd` in the folder's own order, until
// it returns false (the read then ends with ECANCELED). `dirfd` stays open and its position is
// untouched. Returns 0 or the errno.
int readFolderAt(int dirfd, Kinds kinds, EntryCallback onEntry, void* context);

// The same on the folder at `path`.
int readFolderAt(const std::string& path, Kinds kinds, EntryCallback onEntry, void* context);

// The same through `dirfd` itself, from its position on, which it moves: for a handle the caller
// has just opened and reads nowhere else, which then needs no handle of its own for the read.
int readFolderThrough(int dirfd, Kinds kinds, EntryCallback onEntry, void* context);

// The same on the folder open as `own`, which the reading takes and closes: a caller with a
// handle of its own to spare (a dup) saves looking the folder up again.
int readOwnedFolderAt(int own, Kinds kinds, EntryCallback onEntry, void* context);

// `onEntry(const FolderEntry&) -> bool` over the folder `where` (a descriptor or a path).
template <class Where, class OnEntry>
int readFolder(const Where& where, Kinds kinds, OnEntry&& onEntry) {
    using F = std::remove_reference_t<OnEntry>;
    return readFolderAt(
        where, kinds,
        [](void* context, const FolderEntry& entry) -> bool {
            return (*static_cast<F*>(context))(entry);
        },
        const_cast<void*>(static_cast<const void*>(&onEntry)));
}

// The same through the descriptor itself (readFolderThrough).
template <class OnEntry>
int readFolderHere(int dirfd, Kinds kinds, OnEntry&& onEntry) {
    using F = std::remove_reference_t<OnEntry>;
    return readFolderThrough(
        dirfd, kinds,
        [](void* context, const FolderEntry& entry) -> bool {
            return (*static_cast<F*>(context))(entry);
        },
        const_cast<void*>(static_cast<const void*>(&onEntry)));
}

// `onEntry(const FolderEntry&) -> bool` over the folder open as `own`, which it closes.
template <class OnEntry>
int readOwnedFolder(int own, Kinds kinds, OnEntry&& onEntry) {
    using F = std::remove_reference_t<OnEntry>;
    return readOwnedFolderAt(
        own, kinds,
        [](void* context, const FolderEntry& entry) -> bool {
            return (*static_cast<F*>(context))(entry);
        },
        const_cast<void*>(static_cast<const void*>(&onEntry)));
}

// A quick 64-bit hash of a name, eight bytes at a time; never 0, which marks an empty slot.
std::uint64_t nameHash(std::string_view name);

// Every name of a folder with the inode number the folder gives for it, from one reading. The
// names are kept in one buffer and found through one flat table: a folder of a million files
// costs no allocation per name, and a lookup mostly one visit to memory.
class InodesByName {
public:
    // Returns 0 or the errno; what was read before an error is kept.
    int read(int dirfd);
    std::optional<std::uint64_t> find(std::string_view name) const;

private:
    struct Slot {
        std::uint64_t hash = 0;  // 0: empty
        std::uint64_t inode = 0;
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
    };
    std::string names_;
    std::vector<Slot> slots_;  // a power of two, at most half full
};

}  // namespace fs
