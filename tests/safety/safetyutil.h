#pragma once

// What the safety tests share: a record of every entry of a folder (inode, links, content), the
// check that no file was lost or overwritten, the counts behind the summary line, and the seed.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace safety {

// One entry of a folder: who it is (inode), how many names it has, what it is, and what it holds
// (a regular file's content, a symbolic link's target).
struct Entry {
    ino_t inode = 0;
    nlink_t links = 0;
    mode_t mode = 0;
    std::string data;
    bool operator==(const Entry&) const = default;
};
using Inventory = std::map<std::string, Entry>;

inline Entry entryAt(int dirfd, const std::string& name, bool withData = true) {
    Entry e;
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return e;
    }
    e.inode = st.st_ino;
    e.links = st.st_nlink;
    e.mode = st.st_mode;
    if (!withData) {
        return e;
    }
    if (S_ISREG(st.st_mode)) {
        const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            e.data.resize(static_cast<std::size_t>(st.st_size));
            std::size_t got = 0;
            ssize_t n = 1;
            while (got < e.data.size() &&
                   (n = ::read(fd, e.data.data() + got, e.data.size() - got)) > 0) {
                got += static_cast<std::size_t>(n);
            }
            e.data.resize(got);
            ::close(fd);
        }
    } else if (S_ISLNK(st.st_mode)) {
        char buffer[4096];
        const ssize_t n = ::readlinkat(dirfd, name.c_str(), buffer, sizeof buffer);
        if (n > 0) {
            e.data.assign(buffer, static_cast<std::size_t>(n));
        }
    }
    return e;
}

// Every entry of `folder` (files, links, folders), by exact name; without `withData`, who each
// is but not what it holds.
inline Inventory inventory(const std::string& folder, bool withData = true) {
    Inventory result;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return result;
    }
    const int listing = ::dup(fd);
    if (DIR* dir = ::fdopendir(listing)) {
        while (const dirent* d = ::readdir(dir)) {
            const std::string name = d->d_name;
            if (name != "." && name != "..") {
                result.emplace(name, entryAt(fd, name, withData));
            }
        }
        ::closedir(dir);
    } else {
        ::close(listing);
    }
    ::close(fd);
    return result;
}

inline Inventory withoutData(Inventory inv) {
    for (auto& [name, e] : inv) {
        e.data.clear();
    }
    return inv;
}

inline std::string printable(const std::string& name) {
    std::string out;
    for (const unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

inline std::string describe(const Inventory& inv) {
    std::string out = "{";
    for (const auto& [name, e] : inv) {
        out += " " + printable(name) + "(ino " + std::to_string(e.inode) + ", links " +
               std::to_string(e.links) + ", " + std::to_string(e.data.size()) + " bytes)";
    }
    return out + " }";
}

// The counts behind the summary line, over every test of the executable.
struct Counts {
    std::int64_t faultCases = 0;
    std::int64_t kills = 0;
    std::int64_t undos = 0;       // runs undone and compared with the folder before them
    std::int64_t recoveries = 0;  // runs cut short, then finished or undone
    std::int64_t filesChecked = 0;
    std::int64_t lost = 0;
    std::int64_t overwritten = 0;
};
inline Counts& counts() {
    static Counts c;
    return c;
}

// Checks that every entry of `before` is still in `after`, under its old name or another: the
// same inode, kind and content. An entry that is gone is lost; one whose content changed, or
// whose name is now held by another file while it is gone, is overwritten. Returns true when
// nothing was lost or overwritten.
inline bool keepsEveryFile(const Inventory& before, const Inventory& after) {
    std::map<ino_t, const Entry*> byInode;
    for (const auto& [name, e] : after) {
        byInode.emplace(e.inode, &e);
    }
    bool ok = true;
    for (const auto& [name, e] : before) {
        ++counts().filesChecked;
        const auto found = byInode.find(e.inode);
        if (found == byInode.end()) {
            ++counts().lost;
            ok = false;
            const auto taken = after.find(name);
            if (taken != after.end()) {
                ++counts().overwritten;
            }
        } else if (found->second->data != e.data || found->second->mode != e.mode) {
            ++counts().overwritten;
            ok = false;
        }
    }
    return ok;
}

// The seed of every random choice; printed, fixed by default, KOVRA_SAFETY_SEED overrides it.
inline std::uint64_t seed() {
    static const std::uint64_t value = [] {
        const char* env = std::getenv("KOVRA_SAFETY_SEED");
        return env != nullptr && *env != '\0' ? std::strtoull(env, nullptr, 0)
                                              : std::uint64_t{20240607};
    }();
    return value;
}

}  // namespace safety
