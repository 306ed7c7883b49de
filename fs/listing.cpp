#include "fs/listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/paths.h"
#include "fs/folder_reader.h"

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

// The names of `folder` whose kind `keep` accepts, in display order.
template <class Keep>
Listing readSorted(const std::string& folder, Keep keep) {
    Listing listing;
    listing.error = readFolder(folder, Kinds::Resolve, [&](const FolderEntry& entry) {
        if (keep(entry.kind)) {
            listing.names.emplace_back(entry.name);
        }
        return true;
    });
    if (listing.error != 0) {
        listing.names.clear();
    }
    sortForDisplay(listing.names);
    return listing;
}

// A link to a folder opens like a folder, so it is listed with the folders, not the files.
bool isFile(EntryKind kind) {
    return kind == EntryKind::File;
}

}  // namespace

bool displayLess(const std::string& a, const std::string& b) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        // The bytes both share, eight at a time: names of one folder often begin alike.
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        while (i + 8 <= n && (std::memcpy(&x, pa + i, 8), std::memcpy(&y, pb + i, 8), x == y)) {
            i += 8;
        }
        while (i < n && pa[i] == pb[i]) {
            ++i;
        }
        if (i == n) {
            break;
        }
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
    return readSorted(folder, isFile);
}

int readFiles(const std::string& folder, std::size_t firstChunk, std::size_t chunkSize,
              const std::atomic<bool>& cancelled,
              const std::function<void(std::vector<FileEntry>&& chunk)>& onChunk,
              core::FolderIdentity* identity) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    if (identity != nullptr && ::fstat(fd, &st) == 0) {
        *identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    }
    std::size_t limit = std::max<std::size_t>(firstChunk, 1);
    std::vector<FileEntry> chunk;
    chunk.reserve(limit);
    const int error = readFolder(fd, Kinds::Resolve, [&](const FolderEntry& entry) {
        if (cancelled.load(std::memory_order_relaxed)) {
            return false;
        }
        if (!isFile(entry.kind)) {
            return true;
        }
        chunk.push_back({std::string(entry.name), entry.inode});
        if (chunk.size() >= limit) {
            onChunk(std::move(chunk));
            limit = std::max<std::size_t>(chunkSize, 1);
            chunk = {};
            chunk.reserve(limit);
        }
        return true;
    });
    ::close(fd);
    if (!chunk.empty() && error == 0) {
        chunk.shrink_to_fit();
        onChunk(std::move(chunk));
    }
    return error;
}

Listing listFolders(const std::string& folder, std::atomic<std::int64_t>* entriesSeen) {
    return readSorted(folder, [entriesSeen](EntryKind kind) {
        if (entriesSeen != nullptr) {
            entriesSeen->fetch_add(1, std::memory_order_relaxed);
        }
        return kind != EntryKind::File;
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
