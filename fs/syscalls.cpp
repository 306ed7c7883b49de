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

}  // namespace

Syscalls defaultSyscalls() {
    return Syscalls{sysRenameat2, sysLinkat, sysUnlinkat, ::fsync};
}

Syscalls& syscalls() {
    static Syscalls calls = defaultSyscalls();
    return calls;
}

}  // namespace fs
