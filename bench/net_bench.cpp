// `kovra rename` and `kovra undo` on sshfs at a network's latency: an sshd of its own on
// 127.0.0.1 (tests/network/servers.sh), reached by sshfs through a TCP proxy of this program
// that holds every chunk for a delay each way. The floor is the least a rename that never
// replaces costs there: one link and one unlink per file (the server has no rename flag), on one
// thread, from this program. Prints wall-clock times and ratios: rename against the floor, undo
// against the rename.
//
//   kovra_net_bench KOVRA SERVERS_SH [--files 2000] [--delay-ms 2] [--reps 1]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "procutil.h"
#include "testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

// One direction of a connection: what is read is written `delay` later, in order.
void pump(int from, int to, std::chrono::microseconds delay) {
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
    };
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Chunk> queue;
    bool ended = false;
    std::thread writer([&] {
        for (;;) {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return !queue.empty() || ended; });
            if (queue.empty()) {
                break;
            }
            Chunk chunk = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            std::this_thread::sleep_until(chunk.due);
            for (std::size_t done = 0; done < chunk.bytes.size();) {
                const ssize_t n = ::write(to, chunk.bytes.data() + done, chunk.bytes.size() - done);
                if (n <= 0) {
                    return;
                }
                done += static_cast<std::size_t>(n);
            }
        }
        ::shutdown(to, SHUT_WR);
    });
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(from, buffer, sizeof buffer)) > 0) {
        const std::lock_guard lock(mutex);
        queue.push_back({Clock::now() + delay, std::string(buffer, static_cast<std::size_t>(n))});
        ready.notify_one();
    }
    {
        const std::lock_guard lock(mutex);
        ended = true;
    }
    ready.notify_one();
    writer.join();
}

// Listens on a port of 127.0.0.1 and forwards each connection to `target`, delayed; its port.
int startProxy(int target, std::chrono::microseconds delay) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return -1;
    }
    std::thread([listener, target, delay] {
        for (;;) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                return;
            }
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(static_cast<std::uint16_t>(target));
            if (::connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
                ::close(client);
                ::close(server);
                continue;
            }
            const int one = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::thread([=] { pump(client, server, delay); }).detach();
            std::thread([=] { pump(server, client, delay); }).detach();
        }
    }).detach();
    return ntohs(addr.sin_port);
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void makeFolder(const std::string& folder, int files) {
    ::mkdir(folder.c_str(), 0755);
    for (int i = 0; i < files; ++i) {
        testutil::makeFile(folder, "IMG_" + std::to_string(10000 + i) + ".jpg");
    }
}

// The floor: one link and one unlink per file, names read and sorted once.
double floorRun(const std::string& folder, const std::string& prefix) {
    const auto start = Clock::now();
    std::vector<std::string> names = testutil::entries(folder);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const std::string& name : names) {
        const std::string to = prefix + name;
        if (::linkat(fd, name.c_str(), fd, to.c_str(), 0) == 0) {
            ::unlinkat(fd, name.c_str(), 0);
        }
    }
    ::close(fd);
    return seconds(Clock::now() - start);
}

double timed(const std::vector<std::string>& args) {
    const auto start = Clock::now();
    const int status = procutil::run(procutil::command(args, "/dev/null"));
    const double took = seconds(Clock::now() - start);
    if (status != 0) {
        std::fprintf(stderr, "net_bench: %s %s exited %d\n", args[0].c_str(), args[1].c_str(),
                     status);
    }
    return took;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s KOVRA SERVERS_SH [--files N] [--delay-ms MS] [--reps N]\n",
                     argv[0]);
        return 2;
    }
    const std::string kovra = argv[1];
    const std::string servers = argv[2];
    int files = 2000;
    int delayMs = 2;
    int reps = 1;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--files") {
            files = value;
        } else if (option == "--delay-ms") {
            delayMs = value;
        } else if (option == "--reps") {
            reps = std::max(1, value);
        }
    }
    testutil::TempFolder top;
    const std::string dir = top.path() + "/servers";
    if (procutil::run(procutil::command({"/bin/bash", servers, "start", dir, "sshfs"},
                                        top.path() + "/log")) != 0 ||
        !testutil::exists(dir + "/sshfs/mount")) {
        std::printf("net_bench: SKIPPED: the sshd or sshfs did not start (%s)\n",
                    testutil::readFile(dir + "/sshfs/skip").c_str());
        procutil::run(procutil::command({"/bin/bash", servers, "stop", dir}, top.path() + "/log"));
        return 0;
    }
    const int port = startProxy(std::atoi(testutil::readFile(dir + "/sshfs/port").c_str()),
                                std::chrono::milliseconds(delayMs));
    const std::string mount = top.path() + "/slow";
    ::mkdir(mount.c_str(), 0755);
    const std::string key = dir + "/sshfs/client_key";
    const procutil::Process sshfs = procutil::start(procutil::command(
        {"/usr/bin/sshfs", "-f", "-o", "idmap=user,port=" + std::to_string(port), "-o",
         "IdentityFile=" + key + ",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null",
         "root@127.0.0.1:" + dir + "/sshfs/share", mount},
        top.path() + "/sshfs.log"));
    for (int i = 0; i < 200 && testutil::readFile("/proc/self/mountinfo").find(" " + mount + " ") ==
                                   std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::setenv("XDG_STATE_HOME", (top.path() + "/state").c_str(), 1);

    std::vector<double> floors;
    std::vector<double> renames;
    std::vector<double> undos;
    for (int rep = 0; rep < reps; ++rep) {
        const std::string floorFolder = mount + "/f" + std::to_string(rep) + "/cats";
        const std::string runFolder = mount + "/r" + std::to_string(rep) + "/cats";
        ::mkdir((mount + "/f" + std::to_string(rep)).c_str(), 0755);
        ::mkdir((mount + "/r" + std::to_string(rep)).c_str(), 0755);
        makeFolder(floorFolder, files);
        makeFolder(runFolder, files);
        floors.push_back(floorRun(floorFolder, "cats_"));
        renames.push_back(timed({kovra, "rename", runFolder}));
        undos.push_back(timed({kovra, "undo"}));
        std::printf("rep %d: floor %.2f s, kovra rename %.2f s, kovra undo %.2f s\n", rep + 1,
                    floors.back(), renames.back(), undos.back());
        std::fflush(stdout);
    }
    const double floor = median(floors);
    const double rename = median(renames);
    const double undo = median(undos);
    std::printf(
        "sshfs at %d ms each way, %d files (medians of %d): floor (link+unlink) %.2f s, "
        "kovra rename %.2f s = %.2fx the floor, kovra undo %.2f s = %.2fx the rename\n",
        delayMs, files, reps, floor, rename, rename / floor, undo, undo / rename);
    ::umount2(mount.c_str(), MNT_DETACH);
    ::kill(sshfs.pid, SIGTERM);
    procutil::wait(sshfs.pid);
    procutil::run(procutil::command({"/bin/bash", servers, "stop", dir}, top.path() + "/log"));
    return 0;
}
