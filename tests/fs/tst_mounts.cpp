#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
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
#include "mountutil.h"
#include "procutil.h"
#include "testutil.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mounts = std::vector<fs::Mount>;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(Mounts)

namespace {

fs::Mount entry(std::string point, std::string type, std::string source = "/dev/sda1", int id = -1,
                int parentId = -1, std::string root = "/") {
    fs::Mount mount;
    mount.mountPoint = std::move(point);
    mount.type = std::move(type);
    mount.source = std::move(source);
    mount.root = std::move(root);
    mount.id = id;
    mount.parentId = parentId;
    return mount;
}

// One line per mount, bytes escaped by QCOMPARE's printer on a mismatch.
std::string describe(const Mounts& mounts) {
    std::string text;
    for (const fs::Mount& m : mounts) {
        text += m.mountPoint + " | " + m.type + " | " + m.source + " | " + m.root + " | " +
                m.label + "\n";
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
        pid_ = procutil::start(
                   procutil::command({mountutil::findTool("bindfs"), "-f", source, mountPoint},
                                     "/dev/null"))
                   .pid;
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

// Mounts `image` at `point` by mount(8), on a loop device that the kernel frees with the mount;
// why not when it fails.
// Whether the running kernel has a file system of this type.
bool kernelHas(const std::string& type) {
    return testutil::readFile("/proc/filesystems").find("\t" + type + "\n") != std::string::npos;
}

QString mountImage(const std::string& image, const QString& type, const std::string& point) {
    const std::string log = image + ".log";
    const auto said = [&] {
        return QString::fromLocal8Bit(testutil::readFile(log).c_str()).trimmed();
    };
    if (type == QLatin1String("vfat") && !kernelHas("vfat")) {
        // A kernel without FAT: Debian's FUSE driver for it, on a loop device all the same, named
        // as the mount's source as the kernel's driver would name it. The loop device goes once
        // the driver lets go of it.
        const std::string loopLog = image + ".loop";
        ::unlink(loopLog.c_str());
        if (!mountutil::runTool({mountutil::findTool("losetup"), "--find", "--show", image},
                                loopLog)) {
            return QString::fromLocal8Bit(testutil::readFile(loopLog).c_str()).trimmed();
        }
        std::string loop = testutil::readFile(loopLog);
        loop.erase(loop.find_last_not_of(" \n") + 1);
        const bool ok = mountutil::runTool(
            {mountutil::findTool("fusefat"), "-o", "rw+,fsname=" + loop, loop, point}, log);
        mountutil::runTool({mountutil::findTool("losetup"), "-d", loop}, log);
        return ok && mountutil::waitForMount(point, 0) ? QString() : said();
    }
    const bool ok = mountutil::runTool(
        {mountutil::findTool("mount"), "-t", type.toStdString(), "-o", "loop", image, point}, log);
    return ok ? QString() : said();
}

// Unmounts on leaving, detaching a mount that is still busy.
using Unmount = std::unique_ptr<const char, void (*)(const char*)>;
void unmount(const char* point) {
    if (::umount2(point, 0) != 0) {
        ::umount2(point, MNT_DETACH);
    }
}

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
            << Mounts{entry("/mnt2", "ext3", "/dev/root", 36, 35, "/mnt1")};
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
            << QByteArray(R"(45 1 8:1 / /mnt/a\b\04 rw - ext4 /dev/sdc1 rw)"
                          "\n")
            << Mounts{entry(R"(/mnt/a\b\04)", "ext4", "/dev/sdc1", 45, 1)};
        QTest::newRow("empty source") << QByteArray("46 1 0:60 / /mnt/t rw - tmpfs  rw\n")
                                      << Mounts{entry("/mnt/t", "tmpfs", "", 46, 1)};
        QTest::newRow("no final newline") << QByteArray("47 1 8:1 / /mnt/e rw - ext4 /dev/sdd1 rw")
                                          << Mounts{entry("/mnt/e", "ext4", "/dev/sdd1", 47, 1)};
        QTest::newRow("broken lines skipped")
            << QByteArray(
                   "40 1 8:1 / / rw - ext4 /dev/sda2 rw\n"
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
            << Mounts{entry("/", "ext4", "/dev/sda2", 40, 1),
                      entry("/good", "ext4", "/dev/sda1", 52, 1)};
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

    // udev's record of the device, in a file named like udev names it.
    void identities_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("major");
        QTest::addColumn<QByteArray>("uuid");
        QTest::addColumn<QByteArray>("label");

        const QByteArray ext4 = "E:ID_FS_TYPE=ext4\nE:ID_FS_UUID_ENC=0f1e-2d3c\n";
        const auto withLabel = [&](const QByteArray& encoded) {
            return "S:disk/by-id/x\n" + ext4 + "E:ID_FS_LABEL_ENC=" + encoded + "\nG:systemd\n";
        };
        QTest::newRow("plain") << QByteArray("b259:7") << withLabel("DATA") << 259
                               << QByteArray("0f1e-2d3c") << QByteArray("DATA");
        QTest::newRow("escaped blank") << QByteArray("b259:7") << withLabel(R"(My\x20Disk)") << 259
                                       << QByteArray("0f1e-2d3c") << QByteArray("My Disk");
        QTest::newRow("escaped slash and backslash")
            << QByteArray("b259:7") << withLabel(R"(a\x2fb\x5Cc)") << 259 << QByteArray("0f1e-2d3c")
            << QByteArray(R"(a/b\c)");
        QTest::newRow("UTF-8 kept") << QByteArray("b259:7") << withLabel("写真") << 259
                                    << QByteArray("0f1e-2d3c") << QByteArray("写真");
        QTest::newRow("escaped non-UTF-8 byte")
            << QByteArray("b259:7") << withLabel(R"(x\xff)") << 259 << QByteArray("0f1e-2d3c")
            << QByteArray("x\xff");
        QTest::newRow("broken escapes kept")
            << QByteArray("b259:7") << withLabel(R"(a\xzz\x2)") << 259 << QByteArray("0f1e-2d3c")
            << QByteArray(R"(a\xzz\x2)");
        QTest::newRow("the exact label, not udev's safe one")
            << QByteArray("b259:7") << "E:ID_FS_LABEL=My_Disk\n" + withLabel(R"(My\x20Disk)") << 259
            << QByteArray("0f1e-2d3c") << QByteArray("My Disk");
        QTest::newRow("no label") << QByteArray("b259:7") << ext4 << 259 << QByteArray("0f1e-2d3c")
                                  << QByteArray();
        QTest::newRow("no file system")
            << QByteArray("b259:7") << QByteArray("S:disk/by-id/x\nE:ID_FS_UUID_ENC=1\n") << 259
            << QByteArray() << QByteArray();
        QTest::newRow("another device")
            << QByteArray("b259:70") << withLabel("DATA") << 259 << QByteArray() << QByteArray();
        QTest::newRow("not a block device")
            << QByteArray("b0:7") << withLabel("DATA") << 0 << QByteArray() << QByteArray();
    }
    void identities() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, record);
        QFETCH(int, major);
        QFETCH(QByteArray, uuid);
        QFETCH(QByteArray, label);
        testutil::TempFolder udev;
        QVERIFY(udev.isValid());
        QVERIFY(testutil::makeFile(udev.path(), bytes(file), bytes(record)));
        // No such node: the mount's own device number is looked up, and nothing is probed.
        Mounts mounts{entry("/mnt", "ext4", "/dev/kovra-test-no-node")};
        mounts.front().device = makedev(static_cast<unsigned>(major), 7);

        fs::addIdentities(mounts, udev.path());

        QCOMPARE(mounts.front().uuid, bytes(uuid));
        QCOMPARE(mounts.front().label, bytes(label));
    }

    void identitiesKeptWithoutRecords() {
        Mounts mounts{entry("/mnt", "ext4", "/dev/kovra-test-no-node")};
        mounts.front().device = makedev(259, 7);
        mounts.front().label = "kept";
        fs::addIdentities(mounts, "/nonexistent/udev");
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

    // The folder that stands for the drive of a path: a mount point, or a gvfs share's folder
    // below the one mount gvfs makes for all shares.
    void driveFolder_data() {
        QTest::addColumn<std::string>("path");
        QTest::addColumn<std::string>("drive");
        QTest::newRow("on the root") << std::string("/home/u/pics") << std::string("/");
        QTest::newRow("on a mount")
            << std::string("/media/u/card/DCIM") << std::string("/media/u/card");
        QTest::newRow("the mount point")
            << std::string("/media/u/card") << std::string("/media/u/card");
        QTest::newRow("in a gvfs share")
            << std::string("/run/user/1000/gvfs/smb-share:server=nas,share=pics/2024/cats")
            << std::string("/run/user/1000/gvfs/smb-share:server=nas,share=pics");
        QTest::newRow("a gvfs share itself") << std::string("/run/user/1000/gvfs/sftp:host=nas")
                                             << std::string("/run/user/1000/gvfs/sftp:host=nas");
    }
    void driveFolder() {
        QFETCH(std::string, path);
        QFETCH(std::string, drive);
        const Mounts table{entry("/", "ext4"), entry("/media/u/card", "vfat", "/dev/sdb1"),
                           entry("/run/user/1000/gvfs", "fuse.gvfsd-fuse", "gvfsd-fuse")};
        QCOMPARE(fs::driveFolder(path, table), drive);
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
        // With root, FUSE and bindfs all here, a mount that fails is a failure.
        QVERIFY2(!daemon.exited(), "bindfs could not mount here");
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
    // A card's file system keeps its UUID and label, and is found by it wherever it is mounted
    // next, from another device.
    void imageFoundAgain_data() {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QStringList>("format");
        QTest::addColumn<QStringList>("tune");
        QTest::addColumn<std::string>("uuid");
        QTest::addColumn<std::string>("label");
        QTest::newRow("ext4") << QStringLiteral("ext4")
                              << QStringList{"mkfs.ext4",
                                             "-q",
                                             "-F",
                                             "-L",
                                             "ラベル 1",
                                             "-U",
                                             "6a1f3c0e-5b2d-4e8f-9a7c-1d2e3f405162"}
                              << QStringList{}
                              << std::string("6a1f3c0e-5b2d-4e8f-9a7c-1d2e3f405162")
                              << std::string("ラベル 1");
        QTest::newRow("FAT") << QStringLiteral("vfat")
                             << QStringList{"mkfs.vfat", "-n", "KOVRA FAT", "-i", "1234ABCD"}
                             << QStringList{} << std::string("1234-ABCD")
                             << std::string("KOVRA FAT");
        QTest::newRow("exFAT through FUSE")
            << QStringLiteral("exfat-fuse") << QStringList{"mkfs.exfat", "-L", "kovra x"}
            << QStringList{"tune.exfat", "-I", "0x5678abcd"} << std::string("5678-ABCD")
            << std::string("kovra x");
    }
    void imageFoundAgain() {
        QFETCH(QString, type);
        QFETCH(QStringList, format);
        QFETCH(QStringList, tune);
        QFETCH(std::string, uuid);
        QFETCH(std::string, label);
        if (::geteuid() != 0) {
            QSKIP("mounting needs root");
        }
        if (::access("/dev/loop-control", F_OK) != 0) {
            QSKIP("no loop device (/dev/loop-control is missing)");
        }
        testutil::TempFolder tmp;
        QVERIFY(tmp.isValid());
        const std::string image = tmp.path() + "/image";
        QVERIFY(testutil::makeFile(tmp.path(), "image"));
        QVERIFY(::truncate(image.c_str(), off_t{64} << 20) == 0);
        for (const QStringList& command : {format, tune}) {
            if (command.isEmpty()) {
                continue;
            }
            std::vector<std::string> args{mountutil::findTool(command.front().toStdString())};
            if (args.front().empty()) {
                QSKIP(qPrintable(command.front() + QStringLiteral(" is not installed")));
            }
            for (qsizetype i = 1; i < command.size(); ++i) {
                args.push_back(command[i].toStdString());
            }
            args.push_back(image);
            QVERIFY(mountutil::runTool(args, tmp.path() + "/log"));
        }
        // Blank, tab, newline and backslash are escaped in the mount table, and an escape may
        // itself be part of a name.
        const std::string first = tmp.path() + "/1 \t\n\\040";
        const std::string second = tmp.path() + "/2 \t\n\\040";
        QVERIFY(::mkdir(first.c_str(), 0755) == 0 && ::mkdir(second.c_str(), 0755) == 0);

        std::optional<fs::MountedPath> where;
        {
            // The machine has root, loop control and the tools: a mount that fails is a fault.
            const QString why = mountImage(image, type, first);
            QVERIFY2(why.isEmpty(), qPrintable(why));
            const Unmount card(first.c_str(), unmount);
            QVERIFY(::mkdir((first + "/sub").c_str(), 0755) == 0);
            const int fd = ::open((first + "/sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            where = fs::mountOf(fd);
            ::close(fd);
            QVERIFY(where);
            QCOMPARE(where->mount.mountPoint, first);
            QCOMPARE(where->relative, std::string("sub"));
            QCOMPARE(where->mount.uuid, uuid);
            QCOMPARE(where->mount.label, label);
        }
        QVERIFY(!fs::findMount(where->identity));

        const QString why = mountImage(image, type, second);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const Unmount again(second.c_str(), unmount);
        const std::optional<fs::Mount> found = fs::findMount(where->identity);
        QVERIFY(found);
        QCOMPARE(found->mountPoint, second);
        QCOMPARE(fs::mountOf(second + "/sub").value().relative, std::string("sub"));
    }
};

QTEST_GUILESS_MAIN(TestMounts)
#include "tst_mounts.moc"
