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

// The names of `folder` (without "." and "..") for which `keep(fd, entry)` holds, in display
// order. `fd` is the folder's handle, for the few entries whose type must be looked up.
template <class Keep>
Listing readFolder(const std::string& folder, Keep keep) {
    Listing listing;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        listing.error = errno;
        return listing;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        listing.error = errno;
        ::close(fd);
        return listing;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        const bool dots =
            name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
        if (!dots && keep(fd, *entry)) {
            listing.names.emplace_back(name);
        }
        errno = 0;
    }
    if (errno != 0) {
        listing.error = errno;
        listing.names.clear();
    }
    ::closedir(dir);
    sortForDisplay(listing.names);
    return listing;
}

bool isFolderAt(int fd, const char* name, int flags) {
    struct stat st {};
    return ::fstatat(fd, name, &st, flags) == 0 && S_ISDIR(st.st_mode);
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
    // Only links and entries of unknown type cost a stat. A link to a folder opens like a
    // folder, so it is listed with the folders and not here; a broken link stays a file.
    return readFolder(folder, [](int fd, const dirent& entry) {
        return entry.d_type == DT_UNKNOWN || entry.d_type == DT_LNK
                   ? !isFolderAt(fd, entry.d_name, 0)
                   : entry.d_type != DT_DIR;
    });
}

Listing listFolders(const std::string& folder) {
    return readFolder(folder, [](int fd, const dirent& entry) {
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
