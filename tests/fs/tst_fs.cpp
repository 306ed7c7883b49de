#include <QTemporaryDir>
#include <QTest>
#include <cerrno>

#include "core/paths.h"
#include "fs/listing.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "testutil.h"
#include "ui/messages.h"
#include "widgets/drivelistbox.h"

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(std::vector<std::string>)

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

}  // namespace

class TestFs : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    std::string dir_;
    int dirfd_ = -1;

    core::RenameStatus rename(const std::string& from, const std::string& to) {
        return fs::renameNoReplace(dirfd_, from, to);
    }

private slots:
    void init() {
        dir_ = tmp_.path().toStdString() + "/" + QTest::currentTestFunction() + "_" +
               (QTest::currentDataTag() ? QTest::currentDataTag() : "");
        QCOMPARE(::mkdir(dir_.c_str(), 0755), 0);
        dirfd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
        QVERIFY(dirfd_ >= 0);
    }
    void cleanup() { ::close(dirfd_); }
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

        const fs::Listing listing = fs::listFiles(dir_);
        QCOMPARE(listing.error, 0);
        const std::vector<std::string>& names = listing.names;
        // The link to a folder is listed with the folders.
        const std::vector<std::string> expected{".hidden", "A.txt",       "b.jpg", "dangling",
                                                "fifo",    "line\nbreak", "link",  "\xff\xfe.bin"};
        QCOMPARE(names, expected);
    }

    void listingAMissingFolderFails() {
        const fs::Listing listing = fs::listFiles(dir_ + "/none");
        QVERIFY(listing.names.empty());
        QCOMPARE(listing.error, ENOENT);
    }

    void listsFoldersAndLinksToThem() {
        QVERIFY(makeFile(dir_, "file.txt"));
        QCOMPARE(::mkdir((dir_ + "/Sub").c_str(), 0755), 0);
        QCOMPARE(::mkdir((dir_ + "/.hidden").c_str(), 0755), 0);
        QCOMPARE(::mkdir((dir_ + "/\xff").c_str(), 0755), 0);  // not UTF-8
        QCOMPARE(::symlink("Sub", (dir_ + "/folderlink").c_str()), 0);
        QCOMPARE(::symlink("file.txt", (dir_ + "/filelink").c_str()), 0);
        QCOMPARE(::symlink("nowhere", (dir_ + "/dangling").c_str()), 0);

        const fs::Listing listing = fs::listFolders(dir_);
        QCOMPARE(listing.error, 0);
        const std::vector<std::string>& names = listing.names;
        QCOMPARE(names, (std::vector<std::string>{".hidden", "folderlink", "Sub", "\xff"}));
        const fs::Listing missing = fs::listFolders(dir_ + "/none");
        QVERIFY(missing.names.empty());
        QCOMPARE(missing.error, ENOENT);
    }

    void normalizeFolder_data() {
        QTest::addColumn<std::string>("path");
        QTest::addColumn<std::string>("expected");
        QTest::newRow("root") << std::string("/") << std::string("/");
        QTest::newRow("root twice") << std::string("//") << std::string("/");
        QTest::newRow("plain") << std::string("/a/b") << std::string("/a/b");
        QTest::newRow("trailing") << std::string("/a/b/") << std::string("/a/b");
        QTest::newRow("doubled") << std::string("/a//b") << std::string("/a/b");
    }
    void normalizeFolder() {
        QFETCH(std::string, path);
        QFETCH(std::string, expected);
        QCOMPARE(core::normalizeFolder(path), expected);
    }

    void drivesAreUserVolumesWithTheRootFirst() {
        const std::vector<widgets::DriveInfo> drives = widgets::mountedDrives();
        QVERIFY(!drives.empty());
        QCOMPARE(drives.front().root, std::string("/"));
        std::vector<std::string> seen;
        for (const widgets::DriveInfo& drive : drives) {
            for (const char* system : {"/proc", "/sys", "/dev"}) {
                QVERIFY2(drive.root.rfind(system, 0) != 0, drive.root.c_str());
            }
            QVERIFY2(std::find(seen.begin(), seen.end(), drive.root) == seen.end(),
                     drive.root.c_str());
            seen.push_back(drive.root);
        }
    }

    void displayOrder() {
        std::vector<std::string> names{"b", "B", "a2", "A1", "_x", "10", "9", "\xe3\x81\x82", "a"};
        fs::sortForDisplay(names);
        const std::vector<std::string> expected{"10", "9", "_x", "a",           "A1",
                                                "a2", "B", "b",  "\xe3\x81\x82"};
        QCOMPARE(names, expected);
    }

    void sortedListingFindsNames_data() {
        QTest::addColumn<std::vector<std::string>>("names");
        QTest::newRow("in display order") << std::vector<std::string>{"a", "B", "b", "c", "\xff"};
        QTest::newRow("in any order, again")
            << std::vector<std::string>{"\xff", "b", "zz", "a", "b", "B"};
        QTest::newRow("none") << std::vector<std::string>{};
    }

    void sortedListingFindsNames() {
        QFETCH(std::vector<std::string>, names);
        for (const char* name : {"b", "B", "a", "\xff", "x_y"}) {
            QVERIFY(makeFile(dir_, name));
        }
        fs::SortedListing listing;
        QCOMPARE(listing.read(dirfd_), 0);
        const std::vector<std::optional<std::uint64_t>> found = listing.find(
            names.size(), [&names](std::size_t i) -> std::string_view { return names[i]; });
        QCOMPARE(found.size(), names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            const Node here = node(dir_ + "/" + names[i]);
            QCOMPARE(found[i],
                     here == Node{} ? std::nullopt : std::optional<std::uint64_t>(here.inode));
        }
    }

    void renames() {
        QVERIFY(makeFile(dir_, "a", "A"));
        const Node before = node(dir_ + "/a");
        QVERIFY(rename("a", "d_a").done());
        QCOMPARE(testutil::entries(dir_), std::vector<std::string>{"d_a"});
        QCOMPARE(node(dir_ + "/d_a"), before);
    }

    void reasonForLongNameGivesLengthAndLimit() {
        const std::string reason =
            ui::renameReason(core::RenameStatus::failed(ENAMETOOLONG), 258, 255).toStdString();
        QVERIFY(reason.find("258") != std::string::npos);
        QVERIFY(reason.find("255") != std::string::npos);
        // A name within the limit was not the cause: the path was too long.
        const std::string path =
            ui::renameReason(core::RenameStatus::failed(ENAMETOOLONG), 200, 255).toStdString();
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
        const std::string line = ui::reasonLine(core::RenameStatus::failed(err)).toStdString();
        QVERIFY2(line.find("予期しない") == std::string::npos, line.c_str());
        const std::string number = "（エラー番号 " + std::to_string(err) + "）";
        QVERIFY2(line.size() > number.size() &&
                     line.compare(line.size() - number.size(), number.size(), number) == 0,
                 line.c_str());
    }

    void reasonForAnUnknownErrnoStillNamesIt() {
        const std::string line = ui::reasonLine(core::RenameStatus::failed(EDOM)).toStdString();
        QVERIFY2(line.find("（エラー番号 33）") != std::string::npos, line.c_str());
    }

    void reasonForAFolderThatCannotBeOpened() {
        const core::RenameStatus status{core::RenameOutcome::FolderUnavailable, ENOENT};
        QVERIFY(ui::renameReason(status).toStdString().find("フォルダ") != std::string::npos);
    }
};

QTEST_APPLESS_MAIN(TestFs)
#include "tst_fs.moc"
