// The test file systems do what the other tests rely on, seen from outside through plain system
// calls: each switch of switchfs takes away the ability it names, and the exFAT, FAT and NTFS
// image drivers lack or have the abilities they are used for.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <string>

#include "mountutil.h"
#include "testutil.h"

Q_DECLARE_METATYPE(std::string)

namespace {

enum class Op { Rename, RenameNoReplace, RenameExchange, Link, CreateExclusive };

// What the folder holds, as "name=content" in name order.
QStringList listing(const std::string& folder) {
    QStringList out;
    for (const auto& [name, content] : testutil::contents(folder)) {
        out << QString::fromStdString(name + "=" + content);
    }
    return out;
}

// Runs one operation in `folder`; the errno it answered, 0 on success.
int apply(Op op, const std::string& folder, const std::string& from, const std::string& to) {
    const std::string source = folder + "/" + from;
    const std::string target = folder + "/" + to;
    int rc = -1;
    switch (op) {
        case Op::Rename:
            rc = ::rename(source.c_str(), target.c_str());
            break;
        case Op::RenameNoReplace:
            rc = ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
            break;
        case Op::RenameExchange:
            rc = ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
            break;
        case Op::Link:
            rc = ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), 0);
            break;
        case Op::CreateExclusive:
            rc = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (rc >= 0) {
                ::close(rc);
                rc = 0;
            }
            break;
    }
    return rc == 0 ? 0 : errno;
}

char processState(pid_t pid) {
    const std::string stat = testutil::readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

}  // namespace

Q_DECLARE_METATYPE(Op)
Q_DECLARE_METATYPE(mountutil::Image)

class TestSwitchFs : public QObject {
    Q_OBJECT

private slots:
    // On a switchfs holding a.jpg ("a") and b.jpg ("b"): the errno one operation answers through
    // the mount and what the backing folder holds afterwards.
    void switches_data() {
        QTest::addColumn<std::string>("options");
        QTest::addColumn<Op>("op");
        QTest::addColumn<std::string>("from");
        QTest::addColumn<std::string>("to");
        QTest::addColumn<int>("expectedErrno");
        QTest::addColumn<QStringList>("expected");
        const QStringList untouched{"a.jpg=a", "b.jpg=b"};
        QTest::newRow("plain: NOREPLACE to a free name")
            << std::string() << Op::RenameNoReplace << std::string("a.jpg") << std::string("c.jpg")
            << 0 << QStringList{"b.jpg=b", "c.jpg=a"};
        QTest::newRow("plain: NOREPLACE onto a name")
            << std::string() << Op::RenameNoReplace << std::string("a.jpg") << std::string("b.jpg")
            << EEXIST << untouched;
        QTest::newRow("plain: exchange")
            << std::string() << Op::RenameExchange << std::string("a.jpg") << std::string("b.jpg")
            << 0 << QStringList{"a.jpg=b", "b.jpg=a"};
        QTest::newRow("plain: link")
            << std::string() << Op::Link << std::string("a.jpg") << std::string("c.jpg") << 0
            << QStringList{"a.jpg=a", "b.jpg=b", "c.jpg=a"};
        QTest::newRow("plain: rename replaces")
            << std::string() << Op::Rename << std::string("a.jpg") << std::string("b.jpg") << 0
            << QStringList{"b.jpg=a"};
        QTest::newRow("plain: names keep their case")
            << std::string() << Op::CreateExclusive << std::string() << std::string("A.JPG") << 0
            << QStringList{"A.JPG=", "a.jpg=a", "b.jpg=b"};
        QTest::newRow("norenameflags: NOREPLACE")
            << std::string("norenameflags") << Op::RenameNoReplace << std::string("a.jpg")
            << std::string("c.jpg") << EINVAL << untouched;
        QTest::newRow("norenameflags: exchange")
            << std::string("norenameflags") << Op::RenameExchange << std::string("a.jpg")
            << std::string("b.jpg") << EINVAL << untouched;
        QTest::newRow("norenameflags: plain rename works")
            << std::string("norenameflags") << Op::Rename << std::string("a.jpg")
            << std::string("c.jpg") << 0 << QStringList{"b.jpg=b", "c.jpg=a"};
        QTest::newRow("nolink: link") << std::string("nolink") << Op::Link << std::string("a.jpg")
                                      << std::string("c.jpg") << EPERM << untouched;
        QTest::newRow("noreplace=EEXIST: onto a name")
            << std::string("noreplace=EEXIST") << Op::Rename << std::string("a.jpg")
            << std::string("b.jpg") << EEXIST << untouched;
        QTest::newRow("noreplace=EACCES: onto a name")
            << std::string("noreplace=EACCES") << Op::Rename << std::string("a.jpg")
            << std::string("b.jpg") << EACCES << untouched;
        QTest::newRow("noreplace=EEXIST: to a free name")
            << std::string("noreplace=EEXIST") << Op::Rename << std::string("a.jpg")
            << std::string("c.jpg") << 0 << QStringList{"b.jpg=b", "c.jpg=a"};
        QTest::newRow("caseless: exclusive create of another case")
            << std::string("caseless") << Op::CreateExclusive << std::string()
            << std::string("A.JPG") << EEXIST << untouched;
        QTest::newRow("caseless: another case finds the file")
            << std::string("caseless") << Op::Link << std::string("A.JPG") << std::string("c.jpg")
            << 0 << QStringList{"a.jpg=a", "b.jpg=b", "c.jpg=a"};
        QTest::newRow("caseless: rename onto another case replaces")
            << std::string("caseless") << Op::Rename << std::string("b.jpg") << std::string("A.JPG")
            << 0 << QStringList{"A.JPG=b"};
        QTest::newRow("caseless: NOREPLACE onto another case")
            << std::string("caseless") << Op::RenameNoReplace << std::string("b.jpg")
            << std::string("A.JPG") << EEXIST << untouched;
        QTest::newRow("caseless: only the case changes")
            << std::string("caseless") << Op::Rename << std::string("a.jpg") << std::string("A.JPG")
            << 0 << QStringList{"A.JPG=a", "b.jpg=b"};
        QTest::newRow("faillink=EIO: link")
            << std::string("faillink=EIO") << Op::Link << std::string("a.jpg")
            << std::string("c.jpg") << EIO << untouched;
        QTest::newRow("network: link") << std::string("network") << Op::Link << std::string("a.jpg")
                                       << std::string("c.jpg") << EIO << untouched;
        QTest::newRow("network: NOREPLACE")
            << std::string("network") << Op::RenameNoReplace << std::string("a.jpg")
            << std::string("c.jpg") << EINVAL << untouched;
        QTest::newRow("network: a name too long")
            << std::string("network") << Op::CreateExclusive << std::string()
            << std::string(256, 'c') << EBADMSG << untouched;
        QTest::newRow("longname=EINVAL: a name too long")
            << std::string("longname=EINVAL") << Op::Rename << std::string("a.jpg")
            << std::string(256, 'c') << EINVAL << untouched;
        QTest::newRow("failrename=EIO")
            << std::string("failrename=EIO") << Op::Rename << std::string("a.jpg")
            << std::string("c.jpg") << EIO << untouched;
        QTest::newRow("failcreate=ENOSPC")
            << std::string("failcreate=ENOSPC") << Op::CreateExclusive << std::string()
            << std::string("c.jpg") << ENOSPC << untouched;
    }
    void switches() {
        QFETCH(std::string, options);
        QFETCH(Op, op);
        QFETCH(std::string, from);
        QFETCH(std::string, to);
        QFETCH(int, expectedErrno);
        QFETCH(QStringList, expected);
        mountutil::SwitchFs fs(options);
        KOVRA_REQUIRE_MOUNT(fs);
        QVERIFY(testutil::makeFile(fs.backing(), "a.jpg", "a"));
        QVERIFY(testutil::makeFile(fs.backing(), "b.jpg", "b"));

        QCOMPARE(apply(op, fs.path(), from, to), expectedErrno);
        QCOMPARE(listing(fs.backing()), expected);
        QCOMPARE(listing(fs.path()), expected);
    }

    // Each call waits for its delay: a few lookups take at least that many delays.
    void delay() {
        mountutil::SwitchFs fs("delay_us=20000");
        KOVRA_REQUIRE_MOUNT(fs);
        QVERIFY(testutil::makeFile(fs.backing(), "a.jpg", "a"));
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 5; ++i) {
            struct stat st {};
            QCOMPARE(::stat((fs.path() + "/a.jpg").c_str(), &st), 0);
        }
        QVERIFY2(timer.elapsed() >= 100, qPrintable(QString::number(timer.elapsed())));
    }

    // In network mode a file renamed goes by another inode number, a lookup of a long name
    // fails with the drive's own error, and statfs says names may be longer than the drive takes.
    void network() {
        mountutil::SwitchFs fs("network");
        KOVRA_REQUIRE_MOUNT(fs);
        QVERIFY(testutil::makeFile(fs.backing(), "a.jpg", "a"));
        struct stat first {};
        struct stat again {};
        struct stat renamed {};
        QCOMPARE(::stat((fs.path() + "/a.jpg").c_str(), &first), 0);
        QCOMPARE(::stat((fs.path() + "/a.jpg").c_str(), &again), 0);
        QCOMPARE(apply(Op::Rename, fs.path(), "a.jpg", "b.jpg"), 0);
        QCOMPARE(::stat((fs.path() + "/b.jpg").c_str(), &renamed), 0);
        QCOMPARE(again.st_ino, first.st_ino);
        QVERIFY(renamed.st_ino != first.st_ino);
        QCOMPARE(renamed.st_size, first.st_size);
        QCOMPARE(::stat((fs.path() + "/" + std::string(256, 'x')).c_str(), &first), -1);
        QCOMPARE(errno, EBADMSG);
        QCOMPARE(::stat((fs.path() + "/" + std::string(255, 'x')).c_str(), &first), -1);
        QCOMPARE(errno, ENOENT);
        QCOMPARE(::pathconf(fs.path().c_str(), _PC_NAME_MAX), 1024L);
    }

    // An exclusive create with `race` on: another file with some bytes holds the name at once,
    // and what is written through the creator's descriptor does not reach it.
    void race_data() {
        QTest::addColumn<std::string>("options");
        QTest::addColumn<std::string>("name");
        QTest::addColumn<bool>("taken");
        QTest::newRow("any name") << std::string("race") << std::string("a.jpg") << true;
        QTest::newRow("a matching name")
            << std::string("race=cats_") << std::string("cats_a.jpg") << true;
        QTest::newRow("another name")
            << std::string("race=cats_") << std::string("dogs_a.jpg") << false;
        QTest::newRow("switched off") << std::string() << std::string("a.jpg") << false;
    }
    void race() {
        QFETCH(std::string, options);
        QFETCH(std::string, name);
        QFETCH(bool, taken);
        mountutil::SwitchFs fs(options);
        KOVRA_REQUIRE_MOUNT(fs);
        const std::string path = fs.path() + "/" + name;
        const std::string mine = "written through the reservation";

        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        QVERIFY2(fd >= 0, std::strerror(errno));
        struct stat byName {};
        QCOMPARE(::stat(path.c_str(), &byName), 0);
        const bool written = ::write(fd, mine.data(), mine.size()) == ssize_t(mine.size());
        ::close(fd);
        QVERIFY(written);

        QCOMPARE(byName.st_size > 0, taken);
        const std::string now = testutil::readFile(path);
        QCOMPARE(now != mine, taken);
        QVERIFY(!now.empty());
        QCOMPARE(testutil::entries(fs.backing()), std::vector<std::string>{name});
    }

    // Whatever state a test leaves a switchfs in, its end leaves no mount behind: a frozen daemon
    // is thawed first, a busy mount is taken down by force.
    void unmount_data() {
        QTest::addColumn<bool>("frozen");
        QTest::addColumn<bool>("busy");
        QTest::newRow("idle") << false << false;
        QTest::newRow("frozen") << true << false;
        QTest::newRow("busy") << false << true;
        QTest::newRow("frozen and busy") << true << true;
    }
    void unmount() {
        QFETCH(bool, frozen);
        QFETCH(bool, busy);
        std::string mountpoint;
        int fd = -1;
        {
            mountutil::SwitchFs fs;
            KOVRA_REQUIRE_MOUNT(fs);
            mountpoint = fs.path();
            QVERIFY(testutil::makeFile(fs.path(), "a.jpg", "a"));
            if (busy) {
                fd = ::open((fs.path() + "/a.jpg").c_str(), O_RDONLY | O_CLOEXEC);
                QVERIFY(fd >= 0);
            }
            if (frozen) {
                QVERIFY(fs.freeze());
                QTRY_COMPARE(processState(fs.daemonPid()), 'T');
                QVERIFY(fs.thaw());
                QTRY_VERIFY(processState(fs.daemonPid()) != 'T');
                QCOMPARE(testutil::readFile(fs.path() + "/a.jpg"), std::string("a"));
                QVERIFY(fs.freeze());
            }
        }
        if (fd >= 0) {
            ::close(fd);
        }
        QVERIFY(!mountutil::isMountPoint(mountpoint));
    }

    // Each image mounts read-write through its driver and shows the abilities it stands for.
    void images_data() {
        QTest::addColumn<mountutil::Image>("kind");
        QTest::addColumn<int>("noReplaceErrno");
        QTest::addColumn<int>("linkErrno");
        QTest::addColumn<int>("otherCaseErrno");
        QTest::newRow("exFAT") << mountutil::Image::ExFat << EINVAL << EPERM << EEXIST;
        QTest::newRow("FAT32") << mountutil::Image::Fat << EINVAL << EPERM << EEXIST;
        QTest::newRow("NTFS") << mountutil::Image::Ntfs << EINVAL << 0 << 0;
    }
    void images() {
        QFETCH(mountutil::Image, kind);
        QFETCH(int, noReplaceErrno);
        QFETCH(int, linkErrno);
        QFETCH(int, otherCaseErrno);
        mountutil::ImageMount image(kind);
        KOVRA_REQUIRE_MOUNT(image);
        QVERIFY(image.daemonPid() > 0);
        QVERIFY(testutil::makeFile(image.path(), "a.jpg", "a"));

        QCOMPARE(apply(Op::RenameNoReplace, image.path(), "a.jpg", "b.jpg"), noReplaceErrno);
        QCOMPARE(apply(Op::Link, image.path(), "a.jpg", "c.jpg"), linkErrno);
        QCOMPARE(apply(Op::CreateExclusive, image.path(), {}, "A.JPG"), otherCaseErrno);
        QCOMPARE(apply(Op::Rename, image.path(), "a.jpg", "d.jpg"), 0);
        QCOMPARE(testutil::readFile(image.path() + "/d.jpg"), std::string("a"));
    }

    void tmpfs() {
        std::string mountpoint;
        {
            mountutil::Tmpfs tmpfs;
            KOVRA_REQUIRE_MOUNT(tmpfs);
            mountpoint = tmpfs.path();
            QVERIFY(mountutil::isMountPoint(mountpoint));
            QVERIFY(testutil::makeFile(mountpoint, "a.jpg", "a"));
        }
        QVERIFY(!mountutil::isMountPoint(mountpoint));
    }
};

QTEST_APPLESS_MAIN(TestSwitchFs)
#include "tst_switchfs.moc"
