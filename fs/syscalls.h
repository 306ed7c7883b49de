#pragma once

namespace fs {

// The system calls under the rename, replaceable by tests to inject faults.
struct Syscalls {
    int (*renameat2)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                     unsigned int flags);
    int (*linkat)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags);
    int (*unlinkat)(int dirfd, const char* pathname, int flags);
    int (*fsync)(int fd);
};
Syscalls& syscalls();
Syscalls defaultSyscalls();

}  // namespace fs
