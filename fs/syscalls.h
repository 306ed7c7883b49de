#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace fs {

// The system calls under the rename, replaceable by tests to inject faults.
struct Syscalls {
    int (*renameat2)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                     unsigned int flags);
    int (*linkat)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags);
    int (*unlinkat)(int dirfd, const char* pathname, int flags);
    int (*fsync)(int fd);
    // The reservation of a new name on file systems with neither rename flags nor links.
    int (*openat)(int dirfd, const char* pathname, int flags, mode_t mode);
    int (*renameat)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath);
    int (*fstatat)(int dirfd, const char* pathname, struct stat* st, int flags);
};
Syscalls& syscalls();
Syscalls defaultSyscalls();

}  // namespace fs
