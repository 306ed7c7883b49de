#pragma once

// The floor the benchmarks compare against: the bare system calls of a rename over a folder, or
// a tree of folders one after the other, on one thread. Each folder is read once (readdir), its
// names sorted, and each file renamed with one renameat2(RENAME_NOREPLACE) to its folder's name,
// "_" and its own name; or, for the floor of an undo, back from such a name to its own. Nothing is
// checked, recorded or reported.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace bare {

// Renames the files of the folder `dirfd`, whose name is `name` (`back`: those whose names
// begin with it and "_", to the rest); with `recursive`, then walks its subfolders the same way.
inline void renameIn(int dirfd, const std::string& name, bool recursive, bool back = false) {
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
    const std::string prefix = name + "_";
    for (const std::string& file : files) {
        if (!back) {
            target.assign(prefix).append(file);
        } else if (file.compare(0, prefix.size(), prefix) == 0) {
            target.assign(file, prefix.size());
        } else {
            continue;
        }
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
            renameIn(child, folder, true, back);
            ::close(child);
        }
    }
}

// The floor over the folder at `path` (absolute, not "/").
inline void run(const std::string& path, bool recursive, bool back = false) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        renameIn(fd, path.substr(path.find_last_of('/') + 1), recursive, back);
        ::close(fd);
    }
}

// The floor of the folders right below `path`, `jobs` of them at once: what the machine gives
// at once, to read the command line's figures by.
inline void runFolders(const std::string& path, unsigned jobs) {
    std::vector<std::string> folders;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_type == DT_DIR && e->d_name[0] != '.') {
                folders.emplace_back(e->d_name);
            }
        }
        ::closedir(dir);
    }
    std::sort(folders.begin(), folders.end());
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < jobs; ++t) {
        threads.emplace_back([&] {
            for (std::size_t i; (i = next.fetch_add(1)) < folders.size();) {
                run(path + "/" + folders[i], false);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace bare
