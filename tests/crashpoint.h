#pragma once

// A run killed at one exact system call: a child process that does the work with the program's
// system-call seam counting its calls, and sends itself SIGKILL just before or just after the
// n-th of one kind (on one name, when given). What it leaves is what a kill there leaves.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "fs/syscalls.h"

namespace crashpoint {

enum class Call { Create, Link, Rename, Unlink, Fsync };
enum class When { Before, After };

struct Point {
    Call call = Call::Rename;
    int n = 1;  // the n-th such call, from 1
    When when = When::Before;
    std::string name;  // only calls on this name count; empty: every call
};

namespace detail {
inline Point point;
inline int seen = 0;
inline fs::Syscalls real;

// Whether this call is the chosen one; kills before it when so chosen.
inline bool chosen(Call call, const char* name) {
    if (call != point.call || (!point.name.empty() && (name == nullptr || point.name != name))) {
        return false;
    }
    if (++seen != point.n) {
        return false;
    }
    if (point.when == When::Before) {
        ::kill(::getpid(), SIGKILL);
    }
    return true;
}
inline int after(bool hit, int result) {
    if (hit) {
        ::kill(::getpid(), SIGKILL);
    }
    return result;
}
}  // namespace detail

// Runs `work` in a child killed at `at`. True when the kill came (the call was reached); false
// when the work ended first, or the child failed.
inline bool runKilledAt(const Point& at, const std::function<void()>& work) {
    const pid_t child = ::fork();
    if (child == 0) {
        using namespace detail;
        point = at;
        seen = 0;
        fs::Syscalls& sys = fs::syscalls();
        real = sys;
        sys.renameat2 = [](int a, const char* b, int c, const char* d, unsigned f) {
            const bool hit = chosen(Call::Rename, b);
            return after(hit, real.renameat2(a, b, c, d, f));
        };
        sys.renameat = [](int a, const char* b, int c, const char* d) {
            const bool hit = chosen(Call::Rename, b);
            return after(hit, real.renameat(a, b, c, d));
        };
        sys.linkat = [](int a, const char* b, int c, const char* d, int f) {
            const bool hit = chosen(Call::Link, d);
            return after(hit, real.linkat(a, b, c, d, f));
        };
        sys.unlinkat = [](int a, const char* b, int f) {
            const bool hit = chosen(Call::Unlink, b);
            return after(hit, real.unlinkat(a, b, f));
        };
        sys.fsync = [](int fd) {
            const bool hit = chosen(Call::Fsync, nullptr);
            return after(hit, real.fsync(fd));
        };
        sys.openat = [](int a, const char* b, int f, mode_t m) {
            const bool hit = (f & O_CREAT) != 0 && chosen(Call::Create, b);
            return after(hit, real.openat(a, b, f, m));
        };
        work();
        ::_exit(0);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFSIGNALED(status) &&
           WTERMSIG(status) == SIGKILL;
}

}  // namespace crashpoint
