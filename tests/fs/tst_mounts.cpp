#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>

#include "fs/deadline.h"
#include "fs/mounts.h"
#include "testutil.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mounts = std::vector<fs::Mount>;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(Mounts)

namespace {

fs::Mount entry(std::string point, std::string type, std::string source = "/dev/sda1", int id = -1,
                int parentId = -1) {
    return {std::move(point), std::move(type), std::move(source), {}, id, parentId};
}

// One line per mount, bytes escaped by QCOMPARE's printer on a mismatch.
std::string describe(const Mounts& mounts) {
    std::string text;
    for (const fs::Mount& m : mounts) {
        text += m.mountPoint + " | " + m.type + " | " + m.source + " | " + m.label + "\n";
    }
    return text;
}

std::string bytes(const QByteArray& data) {
    return data.toStdString();
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

long long usSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool listed(const Mounts& table, const std::string& point) {
    return std::any_of(table.begin(), table.end(),
                       [&](const fs::Mount& m) { return m.mountPoint == point; });
}

// A bindfs daemon serving `source` at `mountPoint`. Cleanup lets a stopped daemon go on first,
// so that nothing stays stuck on the mount, and detaches the mount when it will not go.
class BindFs {
public:
    BindFs(const std::string& source, const std::string& mountPoint) : mountPoint_(mountPoint) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execlp("bindfs", "bindfs", "-f", source.c_str(), mountPoint.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~BindFs() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGCONT);
        if (::umount2(mountPoint_.c_str(), 0) != 0) {
            ::umount2(mountPoint_.c_str(), MNT_DETACH);
        }
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    BindFs(const BindFs&) = delete;
    BindFs& operator=(const BindFs&) = delete;

    pid_t pid() const { return pid_; }
    bool exited() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
        }
        return pid_ <= 0;
    }

private:
    std::string mountPoint_;
    pid_t pid_ = -1;
};

}  // namespace

class TestMounts : public QObject {
    Q_OBJECT

private slots:
    // Workers of the test before may still be winding down after their answer was taken.
    void init() { QTRY_COMPARE(fs::workersInFlight(), 0); }

    void parse_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Mounts>("expected");

        QTest::newRow("plain line")
            << QByteArray("36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw\n")
            << Mounts{entry("/mnt2", "ext3", "/dev/root", 36, 35)};
        QTest::newRow("no optional fields")
            << QByteArray("22 27 0:21 / /proc rw,relatime - proc proc rw\n")
            << Mounts{entry("/proc", "proc", "proc", 22, 27)};
        QTest::newRow("several optional fields")
            << QByteArray(
                   "40 1 8:1 / /data rw shared:1 master:2 propagate_from:3 unbindable - "
                   "ext4 /dev/sda1 rw\n")
            << Mounts{entry("/data", "ext4", "/dev/sda1", 40, 1)};
        QTest::newRow("escaped blank tab newline backslash")
            << QByteArray(R"(41 1 8:1 / /media/a\040b\011c\012d\134e rw - vfat /dev/sdb1 rw)"
                          "\n")
            << Mounts{entry("/media/a b\tc\nd\\e", "vfat", "/dev/sdb1", 41, 1)};
        QTest::newRow("escaped type and source")
            << QByteArray(R"(42 1 0:50 / /srv rw - fuse.my\040fs host:/my\040share rw)"
                          "\n")
            << Mounts{entry("/srv", "fuse.my fs", "host:/my share", 42, 1)};
        QTest::newRow("non-UTF-8 bytes")
            << QByteArray("43 1 8:1 / /mnt/\xff\xfe\x80 rw - ext4 /dev/sdc1 rw\n")
            << Mounts{entry("/mnt/\xff\xfe\x80", "ext4", "/dev/sdc1", 43, 1)};
        QTest::newRow("escaped high byte")
            << QByteArray(R"(44 1 8:1 / /mnt/\377x rw - ext4 /dev/sdc1 rw)"
                          "\n")
            << Mounts{entry("/mnt/\xffx", "ext4", "/dev/sdc1", 44, 1)};
        QTest::newRow("backslash that escapes nothing")
            << QByteArray(R"(45 1 8:1 / /mnt/a\b\400\04 rw - ext4 /dev/sdc1 rw)"
                          "\n")
            << Mounts{entry(R"(/mnt/a\b\400\04)", "ext4", "/dev/sdc1", 45, 1)};
        QTest::newRow("empty source") << QByteArray("46 1 0:60 / /mnt/t rw - tmpfs  rw\n")
                                      << Mounts{entry("/mnt/t", "tmpfs", "", 46, 1)};
        QTest::newRow("no file system options, no final newline")
            << QByteArray("47 1 8:1 / /mnt/e rw - ext4 /dev/sdd1")
            << Mounts{entry("/mnt/e", "ext4", "/dev/sdd1", 47, 1)};
        QTest::newRow("broken lines skipped")
            << QByteArray(
                   "\n"
                   "garbage\n"
                   "1 2 3\n"
                   "48 1 8:1 / /no-source rw - ext4\n"
                   "49 1 8:1 / /no-separator rw shared:1 ext4 /dev/sda1 rw\n"
                   "x 1 8:1 / /bad-id rw - ext4 /dev/sda1 rw\n"
                   "50 1 8:1 / relative rw - ext4 /dev/sda1 rw\n"
                   "51 1 8:1 / /empty-type rw -  /dev/sda1 rw\n"
                   "52 1 8:1 / /good rw - ext4 /dev/sda1 rw\n"
                   "\x01\xff - - -\n")
            << Mounts{entry("/good", "ext4", "/dev/sda1", 52, 1)};
        QTest::newRow("empty file") << QByteArray() << Mounts{};
    }
    void parse() {
        QFETCH(QByteArray, content);
        QFETCH(Mounts, expected);
        testutil::TempFolder tmp;
        QVERIFY(tmp.isValid());
        QVERIFY(testutil::makeFile(tmp.path(), "mountinfo", bytes(content)));

        const Mounts table = fs::readMountTable(tmp.path() + "/mountinfo");

        QCOMPARE(describe(table), describe(expected));
        QCOMPARE(table.size(), expected.size());
        for (std::size_t i = 0; i < table.size(); ++i) {
            QCOMPARE(table[i].id, expected[i].id);
            QCOMPARE(table[i].parentId, expected[i].parentId);
        }
    }

    void missingTable() { QVERIFY(fs::readMountTable("/nonexistent/mountinfo").empty()); }

    void drives_data() {
        QTest::addColumn<Mounts>("table");
        QTest::addColumn<Mounts>("expected");

        const fs::Mount root = entry("/", "ext4", "/dev/vda");
        QTest::newRow("pseudo types out")
            << Mounts{root,
                      entry("/mnt/data", "ext4"),
                      entry("/mnt/t", "tmpfs", "tmpfs"),
                      entry("/mnt/o", "overlay", "overlay"),
                      entry("/mnt/g", "fuse.gvfsd-fuse", "gvfsd-fuse"),
                      entry("/mnt/c", "cgroup2", "cgroup2"),
                      entry("/mnt/s", "squashfs", "/dev/loop1")}
            << Mounts{root, entry("/mnt/data", "ext4")};
        QTest::newRow("system folders out, removable media in")
            << Mounts{root,
                      entry("/run/user/1000/doc", "fuse", "portal"),
                      entry("/run/media", "ext4"),
                      entry("/run/media/me/USB", "vfat", "/dev/sdb1"),
                      entry("/sys/kernel/x", "ext4"),
                      entry("/dev/x", "ext4"),
                      entry("/proc/x", "ext4"),
                      entry("/snap/core/1", "ext4"),
                      entry("/runner", "ext4"),
                      entry("/devices", "ext4")}
            << Mounts{root, entry("/devices", "ext4"), entry("/run/media", "ext4"),
                      entry("/run/media/me/USB", "vfat", "/dev/sdb1"), entry("/runner", "ext4")};
        QTest::newRow("root added when missing")
            << Mounts{entry("/mnt/a", "ext4")}
            << Mounts{entry("/", "", ""), entry("/mnt/a", "ext4")};
        QTest::newRow("root added to an empty table") << Mounts{} << Mounts{entry("/", "", "")};
        QTest::newRow("root kept whatever its type")
            << Mounts{entry("/", "overlay", "overlay")} << Mounts{entry("/", "overlay", "overlay")};
        QTest::newRow("root first, the rest ignoring case")
            << Mounts{root, entry("/mnt/b", "ext4"), entry("/Media/Zeta", "ext4"),
                      entry("/media/alpha", "ext4"), entry("/a", "ext4")}
            << Mounts{root, entry("/a", "ext4"), entry("/media/alpha", "ext4"),
                      entry("/Media/Zeta", "ext4"), entry("/mnt/b", "ext4")};
        QTest::newRow("same letters ordered by bytes")
            << Mounts{root, entry("/mnt/data", "ext4"), entry("/mnt/Data", "ext4")}
            << Mounts{root, entry("/mnt/Data", "ext4"), entry("/mnt/data", "ext4")};
        QTest::newRow("mounted twice: listed once, the last wins")
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0),
                      entry("/mnt/x", "ext4", "/dev/sda1", 30, 1),
                      entry("/mnt/x", "vfat", "/dev/sdb1", 31, 30)}
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0),
                      entry("/mnt/x", "vfat", "/dev/sdb1", 31, 30)};
        QTest::newRow("root mounted over")
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0), entry("/", "btrfs", "/dev/vdb", 2, 1)}
            << Mounts{entry("/", "btrfs", "/dev/vdb", 2, 1)};
        QTest::newRow("hidden below a later mount over a folder above it")
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0),
                      entry("/mnt/x", "ext4", "/dev/sda1", 30, 1),
                      entry("/mnt", "ext4", "/dev/sdb1", 31, 1)}
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0),
                      entry("/mnt", "ext4", "/dev/sdb1", 31, 1)};
        QTest::newRow("hidden below a later memory mount")
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0),
                      entry("/mnt/x", "ext4", "/dev/sda1", 30, 1),
                      entry("/mnt", "tmpfs", "tmpfs", 31, 1)}
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0)};
        QTest::newRow("kept on a later mount it hangs below")
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0),
                      entry("/mnt/x", "ext4", "/dev/sda1", 30, 31),
                      entry("/mnt", "ext4", "/dev/sdb1", 31, 1)}
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 0),
                      entry("/mnt", "ext4", "/dev/sdb1", 31, 1),
                      entry("/mnt/x", "ext4", "/dev/sda1", 30, 31)};
        QTest::newRow("a sibling folder is not above")
            << Mounts{root, entry("/mnt/ab", "ext4"), entry("/mnt/a", "ext4")}
            << Mounts{root, entry("/mnt/a", "ext4"), entry("/mnt/ab", "ext4")};
        QTest::newRow("without IDs the later mount hides")
            << Mounts{root, entry("/mnt/x", "ext4"), entry("/mnt", "vfat", "/dev/sdb1")}
            << Mounts{root, entry("/mnt", "vfat", "/dev/sdb1")};
        QTest::newRow("a cycle of parents does not hang")
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 2),
                      entry("/mnt", "ext4", "/dev/sda1", 2, 1)}
            << Mounts{entry("/", "ext4", "/dev/vda", 1, 2),
                      entry("/mnt", "ext4", "/dev/sda1", 2, 1)};
    }
    void drives() {
        QFETCH(Mounts, table);
        QFETCH(Mounts, expected);
        QCOMPARE(describe(fs::userDrives(table)), describe(expected));
    }

    void labels_data() {
        QTest::addColumn<QByteArray>("linkName");
        QTest::addColumn<QByteArray>("linkTarget");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("label");

        QTest::newRow("plain") << QByteArray("DATA") << QByteArray("../../sda1")
                               << QByteArray("/dev/sda1") << QByteArray("DATA");
        QTest::newRow("escaped blank") << QByteArray(R"(My\x20Disk)") << QByteArray("../../sda1")
                                       << QByteArray("/dev/sda1") << QByteArray("My Disk");
        QTest::newRow("escaped slash and backslash")
            << QByteArray(R"(a\x2fb\x5Cc)") << QByteArray("../../sda1") << QByteArray("/dev/sda1")
            << QByteArray(R"(a/b\c)");
        QTest::newRow("UTF-8 kept") << QByteArray("写真") << QByteArray("../../sdb1")
                                    << QByteArray("/dev/sdb1") << QByteArray("写真");
        QTest::newRow("escaped non-UTF-8 byte")
            << QByteArray(R"(x\xff)") << QByteArray("../../sdb1") << QByteArray("/dev/sdb1")
            << QByteArray("x\xff");
        QTest::newRow("broken escapes kept")
            << QByteArray(R"(a\xzz\x2)") << QByteArray("../../sdb1") << QByteArray("/dev/sdb1")
            << QByteArray(R"(a\xzz\x2)");
        QTest::newRow("absolute link") << QByteArray("ROOT") << QByteArray("/dev/vda")
                                       << QByteArray("/dev/vda") << QByteArray("ROOT");
        QTest::newRow("another device") << QByteArray("DATA") << QByteArray("../../sda10")
                                        << QByteArray("/dev/sda1") << QByteArray();
        QTest::newRow("source not a device") << QByteArray("DATA") << QByteArray("../../sda1")
                                             << QByteArray("server:/sda1") << QByteArray();
    }
    void labels() {
        QFETCH(QByteArray, linkName);
        QFETCH(QByteArray, linkTarget);
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, label);
        testutil::TempFolder byLabel;
        QVERIFY(byLabel.isValid());
        QVERIFY(::symlink(linkTarget.constData(),
                          (byLabel.path() + "/" + bytes(linkName)).c_str()) == 0);
        Mounts mounts{entry("/mnt", "ext4", bytes(source))};

        fs::addLabels(mounts, byLabel.path());

        QCOMPARE(mounts.front().label, bytes(label));
    }

    void labelsWithoutFolder() {
        Mounts mounts{entry("/mnt", "ext4", "/dev/sda1")};
        mounts.front().label = "kept";
        fs::addLabels(mounts, "/nonexistent/by-label");
        QCOMPARE(mounts.front().label, std::string("kept"));
    }

    void callInTime() {
        QCOMPARE(fs::callWithDeadline<int>([] { return 42; }, 10s), std::optional<int>(42));
        QVERIFY_THROWS_EXCEPTION(
            std::runtime_error,
            fs::callWithDeadline<int>([]() -> int { throw std::runtime_error("no"); }, 10s));
    }

    void callPastDeadline() {
        std::promise<void> release;
        std::shared_future<void> gate = release.get_future().share();
        auto finished = std::make_shared<std::atomic<bool>>(false);
        const auto deadline = 50ms;

        const Clock::time_point start = Clock::now();
        const std::optional<std::string> answer = fs::callWithDeadline<std::string>(
            [gate, finished] {
                gate.wait();
                // Heap memory in the late answer: a dangling state would show under ASan.
                std::string late(1000, 'x');
                finished->store(true);
                return late;
            },
            deadline);
        const long long elapsed = msSince(start);

        QVERIFY(!answer);
        // Gave up at the deadline, not when the call ended (it never does until released); no
        // tighter bound: speed is the benchmark's business, and a loaded machine is slow.
        QVERIFY2(elapsed >= deadline.count() && elapsed < 5000, std::to_string(elapsed).c_str());
        QCOMPARE(fs::workersInFlight(), 1);
        release.set_value();
        QTRY_COMPARE(fs::workersInFlight(), 0);
        QVERIFY(finished->load());
    }

    void pendingAnswer() {
        std::promise<void> release;
        std::shared_future<void> gate = release.get_future().share();
        auto notified = std::make_shared<std::promise<void>>();
        std::future<void> notice = notified->get_future();

        const fs::PendingAnswer<int> pending = fs::startCall(
            [gate] {
                gate.wait();
                return 7;
            },
            [notified] { notified->set_value(); });

        QVERIFY(pending.valid());
        QVERIFY(!pending.ready());
        QVERIFY(!pending.wait_for(10ms));
        release.set_value();
        notice.wait();
        QVERIFY(pending.ready());
        QCOMPARE(pending.get(), 7);
    }

    void threadsCapped() {
        std::promise<void> release;
        std::shared_future<void> gate = release.get_future().share();
        std::vector<fs::PendingAnswer<int>> stuck;
        while (fs::workersInFlight() < fs::kMaxWorkersInFlight) {
            stuck.push_back(fs::startCall([gate] {
                gate.wait();
                return 0;
            }));
            QVERIFY(stuck.back().valid());
        }

        const fs::PendingAnswer<int> refused = fs::startCall([] { return 1; });
        const Clock::time_point start = Clock::now();
        const std::optional<int> answer = fs::callWithDeadline<int>([] { return 1; }, 10s);

        QVERIFY(!refused.valid());
        QVERIFY(!refused.ready());
        QVERIFY(!answer);
        QVERIFY(msSince(start) < 1000);
        release.set_value();
        QTRY_COMPARE(fs::workersInFlight(), 0);
    }

    void respondsPlain_data() {
        QTest::addColumn<std::string>("name");
        QTest::addColumn<bool>("expected");
        QTest::newRow("existing folder") << std::string() << true;
        QTest::newRow("missing path") << std::string("missing/deeper") << false;
    }
    void respondsPlain() {
        QFETCH(std::string, name);
        QFETCH(bool, expected);
        testutil::TempFolder tmp;
        QVERIFY(tmp.isValid());
        QCOMPARE(fs::respondsWithin(tmp.path() + "/" + name, 10s), expected);
    }

    // A FUSE daemon that is stopped: the stat is given up on in time, the mount table is still
    // read at once, and the mount answers again once the daemon goes on.
    void stoppedFuseMount() {
        if (::geteuid() != 0) {
            QSKIP("mounting FUSE here needs root");
        }
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            QSKIP("no usable /dev/fuse");
        }
        if (!onPath("bindfs")) {
            QSKIP("bindfs is not installed");
        }
        testutil::TempFolder tmp;
        QVERIFY(tmp.isValid());
        const std::string source = tmp.path() + "/source";
        const std::string point = tmp.path() + "/mount";
        QVERIFY(::mkdir(source.c_str(), 0755) == 0);
        QVERIFY(::mkdir(point.c_str(), 0755) == 0);
        QVERIFY(testutil::makeFile(source, "a.jpg"));

        BindFs daemon(source, point);
        QVERIFY(daemon.pid() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(daemon.exited() || listed(fs::readMountTable(), point), 10000);
        if (daemon.exited()) {
            QSKIP("bindfs could not mount here");
        }
        QVERIFY(fs::respondsWithin(point, 10s));

        QCOMPARE(::kill(daemon.pid(), SIGSTOP), 0);
        int status = 0;
        QCOMPARE(::waitpid(daemon.pid(), &status, WUNTRACED), daemon.pid());
        QVERIFY(WIFSTOPPED(status));

        const auto deadline = 200ms;
        Clock::time_point start = Clock::now();
        const bool answered = fs::respondsWithin(point, deadline);
        const long long stuckMs = msSince(start);
        QVERIFY(!answered);
        QVERIFY2(stuckMs < 5000, std::to_string(stuckMs).c_str());

        // Run on a worker so that a table read that hangs fails the test instead of hanging it.
        start = Clock::now();
        const std::optional<Mounts> drives =
            fs::callWithDeadline<Mounts>([] { return fs::mountedDrives(); }, 5s);
        const long long tableUs = usSince(start);
        QVERIFY(drives);
        QVERIFY(listed(*drives, point));
        qInfo("stat given up after %lld ms; drive list read in %lld us", stuckMs, tableUs);

        QCOMPARE(::kill(daemon.pid(), SIGCONT), 0);
        QVERIFY(fs::respondsWithin(point, 10s));
        // The stat given up on returns too, and its answer is dropped.
        QTRY_COMPARE(fs::workersInFlight(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMounts)
#include "tst_mounts.moc"
