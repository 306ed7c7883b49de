#pragma once

// The floor the benchmarks compare against: the bare system calls of a rename over a folder, or
// a tree of folders one after the other, on one thread. Each folder is read once (readdir), its
// names sorted, and each file renamed with one renameat2(RENAME_NOREPLACE) to its folder's name,
// "_" and its own name. Nothing is checked, recorded or reported.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace bare {

// Renames the files of the folder `dirfd`, whose name is `name`; with `recursive`, then walks
// its subfolders the same way.
inline void renameIn(int dirfd, const std::string& name, bool recursive) {
    std::vector<std::string> files;
    std::vector<std::string> folders;
    if (DIR* dir = ::fdopendir(::dup(dirfd))) {
        while (const dirent* e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
                continue;
            }
            (e->d_type == DT_DIR ? folders : files).emplace_back(e->d_name);
        }
        ::closedir(dir);
    }
    std::sort(files.begin(), files.end());
    std::string target;
    for (const std::string& file : files) {
        target.assign(name).append("_").append(file);
        ::renameat2(dirfd, file.c_str(), dirfd, target.c_str(), RENAME_NOREPLACE);
    }
    if (!recursive) {
        return;
    }
    std::sort(folders.begin(), folders.end());
    for (const std::string& folder : folders) {
        const int child =
            ::openat(dirfd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) {
            renameIn(child, folder, true);
            ::close(child);
        }
    }
}

// The floor over the folder at `path` (absolute, not "/").
inline void run(const std::string& path, bool recursive) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        renameIn(fd, path.substr(path.find_last_of('/') + 1), recursive);
        ::close(fd);
    }
}

}  // namespace bare
