#include "fs/syscalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace fs {

namespace {

int sysRenameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                 unsigned int flags) {
    return ::renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
}

int sysLinkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
    return ::linkat(olddirfd, oldpath, newdirfd, newpath, flags);
}

int sysUnlinkat(int dirfd, const char* pathname, int flags) {
    return ::unlinkat(dirfd, pathname, flags);
}

int sysOpenat(int dirfd, const char* pathname, int flags, mode_t mode) {
    return ::openat(dirfd, pathname, flags, mode);
}

int sysRenameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    return ::renameat(olddirfd, oldpath, newdirfd, newpath);
}

int sysFstatat(int dirfd, const char* pathname, struct stat* st, int flags) {
    return ::fstatat(dirfd, pathname, st, flags);
}

}  // namespace

Syscalls defaultSyscalls() {
    return Syscalls{sysRenameat2, sysLinkat,   sysUnlinkat, ::fsync,
                    sysOpenat,    sysRenameat, sysFstatat};
}

Syscalls& syscalls() {
    static Syscalls calls = defaultSyscalls();
    return calls;
}

}  // namespace fs
