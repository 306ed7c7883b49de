#pragma once

// Starting programs from tests, one way for every suite: arguments and environment as bytes
// (never through a QString), standard input from /dev/null, standard output and error to files
// or a pipe, the exit status as a shell gives it.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace procutil {

struct Start {
    std::vector<std::string> args;  // args[0]: the program's full path
    std::vector<std::string> env;   // empty: this process's environment
    std::string out;                // standard output's file; empty with `pipeOut`: a pipe
    std::string err;                // standard error's file; empty: the same as standard output
    bool pipeOut = false;           // standard output into a pipe the caller reads
    uid_t asUser = 0;               // run as that user and group (0: as we are)
};

// A program and the file its output (both streams) goes to.
inline Start command(std::vector<std::string> args, std::string out) {
    Start how;
    how.args = std::move(args);
    how.out = std::move(out);
    return how;
}

struct Process {
    pid_t pid = -1;
    int out = -1;  // the pipe's reading end, when asked for
};

inline Process start(const Start& how) {
    std::vector<std::string> args = how.args;
    std::vector<std::string> env = how.env;
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (std::string& s : args) {
        argv.push_back(s.data());
    }
    for (std::string& s : env) {
        envp.push_back(s.data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (how.pipeOut && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {};
    }
    Process process;
    process.pid = ::fork();
    if (process.pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out =
            how.pipeOut ? pipeFds[1] : ::open(how.out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int err =
            how.err.empty() ? out : ::open(how.err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0 ||
            (how.asUser != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(how.asUser) != 0 ||
                                 ::setuid(how.asUser) != 0))) {
            ::_exit(127);
        }
        ::setpgid(0, 0);
        ::execve(argv[0], argv.data(), env.empty() ? environ : envp.data());
        ::_exit(127);
    }
    if (how.pipeOut) {
        ::close(pipeFds[1]);
        process.out = process.pid > 0 ? pipeFds[0] : (::close(pipeFds[0]), -1);
    }
    return process;
}

// The exit status as a shell gives it: the code, or 128 and the signal; -1 when not ours.
inline int wait(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// wait(), but the process is killed once `limit` has passed; `timedOut` says so.
inline int wait(pid_t pid, std::chrono::milliseconds limit, bool& timedOut) {
    timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            ::kill(pid, SIGKILL);
            return wait(pid);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads `fd` until it has given `lines` lines or ended; the lines read.
inline int readLines(int fd, int lines) {
    int seen = 0;
    char c = 0;
    while (seen < lines && ::read(fd, &c, 1) == 1) {
        seen += c == '\n' ? 1 : 0;
    }
    return seen;
}

// Runs a program to its end; its exit status.
inline int run(const Start& how) {
    return wait(start(how).pid);
}

// The processes `pid` started, and theirs, from /proc: a server's sessions.
inline std::vector<pid_t> descendants(pid_t pid) {
    std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, ppid)
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* e = ::readdir(proc)) {
            const pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
            if (p <= 0) {
                continue;
            }
            std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            const std::size_t paren = text.rfind(')');
            if (paren != std::string::npos && paren + 4 < text.size()) {
                parents.emplace_back(p, static_cast<pid_t>(std::atoi(text.c_str() + paren + 4)));
            }
        }
        ::closedir(proc);
    }
    std::vector<pid_t> found{pid};
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (const auto& [child, parent] : parents) {
            if (parent == found[i]) {
                found.push_back(child);
            }
        }
    }
    found.erase(found.begin());
    return found;
}

}  // namespace procutil
