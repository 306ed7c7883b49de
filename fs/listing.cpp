#include "fs/listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "core/paths.h"

namespace fs {

namespace {

constexpr std::array<unsigned char, 256> makeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return table;
}
constexpr std::array<unsigned char, 256> kFold = makeFoldTable();

// Calls `onName(name)` for each name of `folder` (without "." and "..") for which
// `keep(fd, entry)` holds, in the folder's order, until `onName` returns false. `fd` is the
// folder's handle, for the few entries whose type must be looked up. Returns 0 or the errno.
template <class Keep, class OnName>
int forEachEntry(const std::string& folder, Keep keep, OnName onName) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    int error = 0;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        const bool dots =
            name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
        if (!dots && keep(fd, *entry) && !onName(name, static_cast<std::uint64_t>(entry->d_ino))) {
            error = ECANCELED;
            break;
        }
        errno = 0;
    }
    if (error == 0) {
        error = errno;
    }
    ::closedir(dir);
    return error;
}

// The names of `folder` for which `keep` holds, in display order.
template <class Keep>
Listing readFolder(const std::string& folder, Keep keep) {
    Listing listing;
    listing.error = forEachEntry(folder, keep, [&](const char* name, std::uint64_t) {
        listing.names.emplace_back(name);
        return true;
    });
    if (listing.error != 0) {
        listing.names.clear();
    }
    sortForDisplay(listing.names);
    return listing;
}

bool isFolderAt(int fd, const char* name, int flags) {
    struct stat st {};
    return ::fstatat(fd, name, &st, flags) == 0 && S_ISDIR(st.st_mode);
}

bool isFileEntry(int fd, const dirent& entry) {
    // Only links and entries of unknown type cost a stat. A link to a folder opens like a
    // folder, so it is listed with the folders and not here; a broken link stays a file.
    return entry.d_type == DT_UNKNOWN || entry.d_type == DT_LNK ? !isFolderAt(fd, entry.d_name, 0)
                                                                : entry.d_type != DT_DIR;
}

}  // namespace

bool displayLess(const std::string& a, const std::string& b) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char fa = kFold[pa[i]];
        const unsigned char fb = kFold[pb[i]];
        if (fa != fb) {
            return fa < fb;
        }
    }
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a < b;  // same letters ignoring case: a fixed order all the same
}

void sortForDisplay(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), displayLess);
}

Listing listFiles(const std::string& folder) {
    return readFolder(folder, isFileEntry);
}

int readFiles(const std::string& folder, std::size_t firstChunk, std::size_t chunkSize,
              const std::atomic<bool>& cancelled,
              const std::function<void(std::vector<FileEntry>&& chunk)>& onChunk) {
    std::size_t limit = std::max<std::size_t>(firstChunk, 1);
    std::vector<FileEntry> chunk;
    chunk.reserve(limit);
    const int error = forEachEntry(folder, isFileEntry, [&](const char* name, std::uint64_t inode) {
        if (cancelled.load(std::memory_order_relaxed)) {
            return false;
        }
        chunk.push_back({name, inode});
        if (chunk.size() >= limit) {
            onChunk(std::move(chunk));
            limit = std::max<std::size_t>(chunkSize, 1);
            chunk = {};
            chunk.reserve(limit);
        }
        return true;
    });
    if (!chunk.empty() && error == 0) {
        chunk.shrink_to_fit();
        onChunk(std::move(chunk));
    }
    return error;
}

Listing listFolders(const std::string& folder, std::atomic<std::int64_t>* entriesSeen) {
    return readFolder(folder, [entriesSeen](int fd, const dirent& entry) {
        if (entriesSeen != nullptr) {
            entriesSeen->fetch_add(1, std::memory_order_relaxed);
        }
        // A link counts by what it points to: it opens like the folder it names.
        if (entry.d_type == DT_UNKNOWN || entry.d_type == DT_LNK) {
            return isFolderAt(fd, entry.d_name, 0);
        }
        return entry.d_type == DT_DIR;
    });
}

std::string currentFolder() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return "/";
        }
        buffer.resize(buffer.size() * 2);
    }
    return core::normalizeFolder(buffer.data());
}

}  // namespace fs
