#include <QTemporaryDir>
#include <QTest>
#include <cerrno>

#include "platform/errors.h"
#include "platform/fs.h"
#include "testutil.h"

Q_DECLARE_METATYPE(std::string)

using testutil::makeFile;

namespace {

struct Node {
    ino_t inode = 0;
    nlink_t links = 0;
    mode_t mode = 0;
    bool operator==(const Node&) const = default;
};

Node node(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return {};
    }
    return {st.st_ino, st.st_nlink, st.st_mode};
}

// Fault injection: the next renameat2 calls answer with `renameErr`, linkat and unlinkat with
// theirs when set.
int gRenameErr = 0;
int gLinkErr = 0;
int gUnlinkErr = 0;

int fakeRenameat2(int a, const char* b, int c, const char* d, unsigned int flags) {
    if (gRenameErr != 0) {
        errno = gRenameErr;
        return -1;
    }
    return platform::defaultSyscalls().renameat2(a, b, c, d, flags);
}
int fakeLinkat(int a, const char* b, int c, const char* d, int flags) {
    if (gLinkErr != 0) {
        errno = gLinkErr;
        return -1;
    }
    return platform::defaultSyscalls().linkat(a, b, c, d, flags);
}
int fakeUnlinkat(int fd, const char* path, int flags) {
    if (gUnlinkErr != 0) {
        errno = gUnlinkErr;
        gUnlinkErr = 0;  // only the first unlink fails, so the clean-up can succeed
        return -1;
    }
    return platform::defaultSyscalls().unlinkat(fd, path, flags);
}

}  // namespace

class TestFs : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    std::string dir_;
    int dirfd_ = -1;

    core::RenameStatus rename(const std::string& from, const std::string& to) {
        return platform::renameNoReplace(dirfd_, from, to);
    }

private slots:
    void init() {
        dir_ = tmp_.path().toStdString() + "/" + QTest::currentTestFunction() + "_" +
               (QTest::currentDataTag() ? QTest::currentDataTag() : "");
        QCOMPARE(::mkdir(dir_.c_str(), 0755), 0);
        dirfd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
        QVERIFY(dirfd_ >= 0);
        platform::syscalls() = {fakeRenameat2, fakeLinkat, fakeUnlinkat};
        gRenameErr = gLinkErr = gUnlinkErr = 0;
    }
    void cleanup() {
        ::close(dirfd_);
        platform::syscalls() = platform::defaultSyscalls();
    }
    void cleanupTestCase() { QVERIFY(testutil::removeTree(tmp_.path().toStdString())); }

    void listsEverythingButFolders() {
        QVERIFY(makeFile(dir_, "b.jpg"));
        QVERIFY(makeFile(dir_, ".hidden"));
        QVERIFY(makeFile(dir_, "A.txt"));
        QVERIFY(makeFile(dir_, "\xff\xfe.bin"));  // not UTF-8
        QVERIFY(makeFile(dir_, "line\nbreak"));
        QCOMPARE(::symlink("b.jpg", (dir_ + "/link").c_str()), 0);
        QCOMPARE(::symlink("nowhere", (dir_ + "/dangling").c_str()), 0);
        QCOMPARE(::mkdir((dir_ + "/sub").c_str(), 0755), 0);
        QCOMPARE(::symlink("sub", (dir_ + "/sublink").c_str()), 0);
        QCOMPARE(::mkfifo((dir_ + "/fifo").c_str(), 0644), 0);

        int err = -1;
        const std::vector<std::string> names = platform::listFiles(dir_, err);
        QCOMPARE(err, 0);
        const std::vector<std::string> expected{".hidden", "A.txt",     "b.jpg",  "dangling",
                                                "fifo",    "line\nbreak", "link", "sublink",
                                                "\xff\xfe.bin"};
        QCOMPARE(names, expected);
    }

    void listingAMissingFolderFails() {
        int err = 0;
        QVERIFY(platform::listFiles(dir_ + "/none", err).empty());
        QCOMPARE(err, ENOENT);
    }

    void displayOrder() {
        std::vector<std::string> names{"b", "B", "a2", "A1", "_x", "10", "9", "\xe3\x81\x82", "a"};
        platform::sortForDisplay(names);
        const std::vector<std::string> expected{"10", "9",  "_x", "a", "A1", "a2",
                                                "B",  "b", "\xe3\x81\x82"};
        QCOMPARE(names, expected);
    }

    void renames() {
        QVERIFY(makeFile(dir_, "a", "A"));
        const Node before = node(dir_ + "/a");
        QVERIFY(!rename("a", "d_a"));
        QCOMPARE(testutil::entries(dir_), std::vector<std::string>{"d_a"});
        QCOMPARE(node(dir_ + "/d_a"), before);
    }

    // Whatever already carries the new name stays exactly as it was.
    void refusesExistingTarget_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("injected");  // errno of renameat2, to force the link fallback
        const char* kinds[] = {"file", "symlink", "dangling symlink", "folder", "hard link"};
        for (int k = 0; k < 5; ++k) {
            QTest::addRow("%s", kinds[k]) << k << 0;
            QTest::addRow("%s, fallback", kinds[k]) << k << EINVAL;
        }
    }
    void refusesExistingTarget() {
        QFETCH(int, kind);
        QFETCH(int, injected);
        QVERIFY(makeFile(dir_, "a", "source"));
        const std::string target = dir_ + "/t";
        switch (kind) {
            case 0: QVERIFY(makeFile(dir_, "t", "target")); break;
            case 1: QCOMPARE(::symlink("a", target.c_str()), 0); break;
            case 2: QCOMPARE(::symlink("gone", target.c_str()), 0); break;
            case 3: QCOMPARE(::mkdir(target.c_str(), 0755), 0); break;
            case 4: QCOMPARE(::link((dir_ + "/a").c_str(), target.c_str()), 0); break;
        }
        const Node source = node(dir_ + "/a");
        const Node existing = node(target);
        const auto before = testutil::entries(dir_);
        gRenameErr = injected;

        const core::RenameStatus status = rename("a", "t");
        QCOMPARE(status.err, EEXIST);
        QCOMPARE(testutil::entries(dir_), before);
        QCOMPARE(node(dir_ + "/a"), source);
        QCOMPARE(node(target), existing);
        QCOMPARE(testutil::readFile(dir_ + "/a"), std::string("source"));
    }

    void fallbackRenames_data() {
        QTest::addColumn<int>("injected");
        QTest::newRow("EINVAL") << EINVAL;
        QTest::newRow("ENOSYS") << ENOSYS;
        QTest::newRow("EOPNOTSUPP") << EOPNOTSUPP;
    }
    void fallbackRenames() {
        QFETCH(int, injected);
        QVERIFY(makeFile(dir_, "a", "A"));
        gRenameErr = injected;
        QVERIFY(!rename("a", "x_a"));
        QCOMPARE(testutil::entries(dir_), std::vector<std::string>{"x_a"});
        QCOMPARE(node(dir_ + "/x_a").links, nlink_t(1));
        QCOMPARE(testutil::readFile(dir_ + "/x_a"), std::string("A"));
    }

    // Where neither a safe rename nor a link is possible, the file keeps its name: a plain
    // rename here could replace a file that appeared meanwhile.
    void refusesWithoutLinks() {
        QVERIFY(makeFile(dir_, "a", "A"));
        gRenameErr = EINVAL;
        gLinkErr = EPERM;
        const core::RenameStatus status = rename("a", "x_a");
        QCOMPARE(status.err, EPERM);
        QVERIFY(status.unsafe);
        QCOMPARE(testutil::entries(dir_), std::vector<std::string>{"a"});
        QVERIFY(QString::fromStdString(platform::errorReason(status)).contains("上書き"));
    }

    void failedUnlinkKeepsOldName() {
        QVERIFY(makeFile(dir_, "a", "A"));
        gRenameErr = EINVAL;
        gUnlinkErr = EACCES;
        const core::RenameStatus status = rename("a", "x_a");
        QCOMPARE(status.err, EACCES);
        QVERIFY(!status.unsafe);
        QCOMPARE(testutil::entries(dir_), std::vector<std::string>{"a"});
        QCOMPARE(node(dir_ + "/a").links, nlink_t(1));
    }

    void reasonForLongNameGivesLengthAndLimit() {
        const std::string reason = platform::errorReason({ENAMETOOLONG, false}, 258, 255);
        QVERIFY(reason.find("258") != std::string::npos);
        QVERIFY(reason.find("255") != std::string::npos);
        // A name within the limit was not the cause: the path was too long.
        const std::string path = platform::errorReason({ENAMETOOLONG, false}, 200, 255);
        QVERIFY(path.find("200") == std::string::npos);
    }

    // Every errno that opening the folder, renameat2, linkat or unlinkat can give has words a
    // user understands, and the report line carries the number.
    void reasonForEveryErrno_data() {
        QTest::addColumn<int>("err");
        for (const int err :
             {EEXIST, ENOTEMPTY, EISDIR,     ENOENT,   EACCES,    EPERM,     EROFS,   ENAMETOOLONG,
              ENOSPC, EDQUOT,    EBUSY,      ETXTBSY,  EIO,       EUCLEAN,   ENOTDIR, ENODEV,
              ENXIO,  ENOMEDIUM, ESTALE,     ENOTCONN, ETIMEDOUT, EHOSTDOWN, EXDEV,   EMLINK,
              ELOOP,  EINVAL,    EOPNOTSUPP, ENOSYS,   ENOKEY,    ENOMEM,    EMFILE,  ENFILE,
              EINTR,  EAGAIN,    EBADF,      EFAULT}) {
            QTest::addRow("%s", strerrorname_np(err)) << err;
        }
    }
    void reasonForEveryErrno() {
        QFETCH(int, err);
        const std::string line = platform::reasonLine({err, false});
        QVERIFY2(line.find("予期しない") == std::string::npos, line.c_str());
        const std::string number = "（エラー番号 " + std::to_string(err) + "）";
        QVERIFY2(line.size() > number.size() &&
                     line.compare(line.size() - number.size(), number.size(), number) == 0,
                 line.c_str());
    }

    void reasonForAnUnknownErrnoStillNamesIt() {
        const std::string line = platform::reasonLine({EDOM, false});
        QVERIFY2(line.find("（エラー番号 33）") != std::string::npos, line.c_str());
    }

    void reasonForAFolderThatCannotBeOpened() {
        core::RenameStatus status{ENOENT, false};
        status.folder = true;
        QVERIFY(platform::errorReason(status).find("フォルダ") != std::string::npos);
    }
};

QTEST_APPLESS_MAIN(TestFs)
#include "tst_fs.moc"
