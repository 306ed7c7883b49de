// Benchmark of finding duplicates in a merge, against the duplicate finders people use, in the
// same run on the same tree:
//   `kovra merge -n --dedupe C1 C2 C3 DEST` (the plan, with every content duplicate found and
//   each file's fate printed) against `jdupes -r TREE` and `rdfind -dryrun true TREE`.
// The tree: F files in three card folders, sizes spread evenly over [MIN, MAX] KiB, a fifth of
// them copies of another file under another name on another card. The page cache is dropped
// before each run where the machine allows it (root, /proc/sys/vm/drop_caches), else every
// program runs warm after one run of each to warm it. Each figure is the median of the
// repetitions; ratios are kovra's time over the other program's (at most 1.0 is the goal).
// Usage: kovra_dedupe_bench PATH-TO-KOVRA [--files F] [--min-kb MIN] [--max-kb MAX] [--reps R]
//        (defaults: 10000 files of 2 to 20 KiB, 3 repetitions: small enough for any machine;
//        --min-kb 200 --max-kb 5000 for photos)

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(2);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? -1 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The program found on PATH, or empty.
std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return {};
}

// Runs `argv` with its output thrown away; its wall-clock time in ms.
double timed(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        fail(argv[0]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool dropCaches() {
    ::sync();
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    const bool dropped = fd >= 0 && ::write(fd, "3", 1) == 1;
    if (fd >= 0) {
        ::close(fd);
    }
    return dropped;
}

void writeFile(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        fail(path);
    }
    ::close(fd);
}

// Three cards of `files` files in all; returns the card folders.
std::vector<std::string> makeCards(const std::string& root, int files, int minKb, int maxKb) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<int> kb(minKb, maxKb);
    std::vector<std::string> cards;
    for (int c = 1; c <= 3; ++c) {
        cards.push_back(root + "/card" + std::to_string(c));
        for (const std::string& folder :
             {cards.back(), cards.back() + "/DCIM", cards.back() + "/DCIM/100CANON"}) {
            if (::mkdir(folder.c_str(), 0755) != 0) {
                fail(folder);
            }
        }
    }
    std::vector<std::string> written;  // of the originals, for the copies
    const int copies = files / 5;
    std::string bytes;
    for (int i = 0; i < files - copies; ++i) {
        bytes.resize(static_cast<std::size_t>(kb(random)) * 1024);
        for (std::size_t at = 0; at + 8 <= bytes.size(); at += 8) {
            const std::uint64_t word = random();
            std::memcpy(&bytes[at], &word, 8);
        }
        char name[48];
        std::snprintf(name, sizeof name, "/DCIM/100CANON/IMG_%05d.JPG", i);
        written.push_back(cards[static_cast<std::size_t>(i % 3)] + name);
        writeFile(written.back(), bytes);
    }
    for (int i = 0; i < copies; ++i) {
        const std::string& original = written[static_cast<std::size_t>(i) * 4 % written.size()];
        char name[48];
        std::snprintf(name, sizeof name, "/DCIM/100CANON/DSC_%05d.JPG", i);
        // On another card than the original's.
        const std::size_t card = (static_cast<std::size_t>(i) * 4 % 3 + 1) % 3;
        std::filesystem::copy_file(original, cards[card] + name);
    }
    return cards;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s PATH-TO-KOVRA [--files F] [--min-kb MIN] [--max-kb MAX] "
                     "[--reps R]\n",
                     argv[0]);
        return 2;
    }
    const std::string kovra = argv[1];
    int files = 10000;
    int minKb = 2;
    int maxKb = 20;
    int reps = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--files") {
            files = value;
        } else if (option == "--min-kb") {
            minKb = value;
        } else if (option == "--max-kb") {
            maxKb = value;
        } else if (option == "--reps") {
            reps = value;
        }
    }
    char pattern[] = "/var/tmp/kovra-dedupe-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        fail("mkdtemp");
    }
    const std::string root = pattern;
    std::printf("dedupe: %d files of %d-%d KiB in three cards, a fifth copies under other names\n",
                files, minKb, maxKb);
    const std::vector<std::string> cards = makeCards(root, files, minKb, maxKb);

    std::vector<std::string> kovraArgs{kovra, "merge", "-n", "--dedupe"};
    kovraArgs.insert(kovraArgs.end(), cards.begin(), cards.end());
    kovraArgs.push_back(root + "/trip");
    struct Program {
        const char* name;
        std::vector<std::string> argv;
        std::vector<double> ms;
    };
    std::vector<Program> programs{{"kovra merge -n --dedupe", kovraArgs, {}}};
    const std::string jdupes = onPath("jdupes");
    const std::string rdfind = onPath("rdfind");
    if (!jdupes.empty()) {
        programs.push_back({"jdupes -r", {jdupes, "-r", "-q", root}, {}});
    }
    if (!rdfind.empty()) {
        programs.push_back(
            {"rdfind -dryrun true",
             {rdfind, "-dryrun", "true", "-outputname", root + "/../rdfind.txt", root},
             {}});
    }
    const bool cold = dropCaches();
    if (!cold) {
        for (Program& p : programs) {
            timed(p.argv);  // warm
        }
    }
    for (int r = 0; r < reps; ++r) {
        for (Program& p : programs) {
            if (cold) {
                dropCaches();
            }
            p.ms.push_back(timed(p.argv));
        }
    }
    std::printf("cache: %s\n", cold ? "dropped before each run" : "warm (cannot drop it here)");
    for (const Program& p : programs) {
        std::printf("  %-26s %10.1f ms\n", p.name, median(p.ms));
    }
    for (std::size_t i = 1; i < programs.size(); ++i) {
        std::printf("  ratio kovra / %-15s %6.2f\n", programs[i].name,
                    median(programs[0].ms) / median(programs[i].ms));
    }
    if (jdupes.empty() || rdfind.empty()) {
        std::printf("  (jdupes and rdfind are Debian packages: scripts/bench.sh installs them)\n");
    }
    std::filesystem::remove_all(root);
    std::filesystem::remove(root + "/../rdfind.txt");
    return 0;
}
