// Nothing lost, nothing overwritten: the rename under injected faults, a folder that moves while
// a run goes on, kills at random moments, hostile names, and a randomised comparison with a plain
// model of the run. Every check compares what is on disk before and after, by inode and content.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <QAbstractButton>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <set>

#include "core/paths.h"
#include "core/rename_run.h"
#include "fs/listing.h"
#include "fs/namerule.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "fs/undo/undo.h"
#include "mountutil.h"
#include "safetyutil.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/messages.h"
#include "widgets/filelistbox.h"

extern char** environ;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(std::vector<std::string>)

using Names = std::vector<std::string>;
using End = core::RunResult::End;
using fs::PlainFileList;
using safety::Entry;
using safety::Inventory;
using safety::inventory;

namespace {

// Faults injected under the rename, through the system-call seam.
struct Injection {
    int renameErr = 0;  // renameat2 answers this from call number `renameFrom` on
    int renameFrom = 0;
    int linkErr = 0;  // linkat answers this from call number `linkFrom` on
    int linkFrom = 0;
    int unlinkErr = 0;        // the first unlinkat answers this; the clean-up after it succeeds
    bool unlinkActs = false;  // ... after removing the name all the same (NFS, soft mounts)
    bool flagless = false;    // renameat2 with flags: EEXIST where the name exists, else EINVAL
    bool newcomer = false;    // a file appears under the new name just before linkat
    int renameCalls = 0;
    int linkCalls = 0;
    Entry newcomerEntry;
    int createErr = 0;       // the exclusive create of a reservation answers this
    bool takeover = false;   // another program replaces the reservation right after it is made
    int plainRenameErr = 0;  // the first plain renameat answers this
    int plainRenameCalls = 0;
};
Injection gInject;

int fakeRenameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                  unsigned int flags) {
    const int call = gInject.renameCalls++;
    if (gInject.flagless && flags != 0) {
        // The kernel answers EEXIST before it asks the drive whether it knows the flag.
        struct stat st {};
        errno = ::fstatat(newdirfd, newpath, &st, AT_SYMLINK_NOFOLLOW) == 0 ? EEXIST : EINVAL;
        return -1;
    }
    if (gInject.renameErr != 0 && call >= gInject.renameFrom) {
        errno = gInject.renameErr;
        return -1;
    }
    return fs::defaultSyscalls().renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
}

int fakeLinkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
    const int call = gInject.linkCalls++;
    if (gInject.newcomer) {
        const int fd = ::openat(newdirfd, newpath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const bool written = ::write(fd, "newcomer", 8) == 8;
            ::close(fd);
            if (written) {
                gInject.newcomerEntry = safety::entryAt(newdirfd, newpath);
            }
        }
    }
    if (gInject.linkErr != 0 && call >= gInject.linkFrom) {
        errno = gInject.linkErr;
        return -1;
    }
    return fs::defaultSyscalls().linkat(olddirfd, oldpath, newdirfd, newpath, flags);
}

int fakeUnlinkat(int dirfd, const char* pathname, int flags) {
    if (gInject.unlinkErr != 0) {
        const int err = gInject.unlinkErr;
        gInject.unlinkErr = 0;
        if (gInject.unlinkActs) {
            fs::defaultSyscalls().unlinkat(dirfd, pathname, flags);
        }
        errno = err;
        return -1;
    }
    return fs::defaultSyscalls().unlinkat(dirfd, pathname, flags);
}

int fakeOpenat(int dirfd, const char* pathname, int flags, mode_t mode) {
    if (gInject.createErr != 0) {
        errno = gInject.createErr;
        return -1;
    }
    const int fd = fs::defaultSyscalls().openat(dirfd, pathname, flags, mode);
    if (fd >= 0 && gInject.takeover) {
        ::unlinkat(dirfd, pathname, 0);
        const int other = ::openat(dirfd, pathname, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (other >= 0) {
            const bool written = ::write(other, "newcomer", 8) == 8;
            ::close(other);
            if (written) {
                gInject.newcomerEntry = safety::entryAt(dirfd, pathname);
            }
        }
    }
    return fd;
}

int fakeRenameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    if (gInject.plainRenameErr != 0 && gInject.plainRenameCalls++ == 0) {
        errno = gInject.plainRenameErr;
        return -1;
    }
    return fs::defaultSyscalls().renameat(olddirfd, oldpath, newdirfd, newpath);
}

const char* errnoName(int err) {
    const char* name = ::strerrorname_np(err);
    return name != nullptr ? name : "?";
}

core::RunResult runOn(core::FileList& list, const core::RunOptions& options = {}) {
    core::WorkList list1;
    core::WorkList list2;
    fs::PosixFileSystem fs;
    return core::renameRun(list, list1, list2, fs, options);
}

// The names of `inv` with what each holds.
std::map<std::string, std::string> dataByName(const Inventory& inv) {
    std::map<std::string, std::string> result;
    for (const auto& [name, e] : inv) {
        result[name] = e.data;
    }
    return result;
}

Inventory renamed(Inventory inv, const Names& from, const std::string& prefix) {
    for (const std::string& name : from) {
        const auto node = inv.extract(name);
        if (!node.empty()) {
            inv.emplace(prefix + name, node.mapped());
        }
    }
    return inv;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The real file system, recording what the run asks of it.
class RecordingFileSystem : public core::FileSystem {
public:
    Names events;

    core::OpenedFolder open(const std::string& path) override {
        core::OpenedFolder opened = real_.open(path);
        if (!opened.folder) {
            events.push_back("open failed");
            return opened;
        }
        opened.folder = std::make_unique<Recording>(std::move(opened.folder), events);
        return opened;
    }

private:
    class Recording : public core::Folder {
    public:
        Recording(std::unique_ptr<core::Folder> inner, Names& log)
            : inner_(std::move(inner)), log_(log) {}
        core::RenameStatus rename(const std::string& from, const std::string& to) override {
            log_.push_back("rename " + from);
            return inner_->rename(from, to);
        }
        int sync() override {
            log_.push_back("sync");
            return inner_->sync();
        }

    private:
        std::unique_ptr<core::Folder> inner_;
        Names& log_;
    };
    fs::PosixFileSystem real_;
};

std::string repeat(const std::string& piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) {
        s += piece;
    }
    return s;
}

// The entries under `root` at any depth that are not folders.
int countFiles(const std::string& root) {
    int n = 0;
    for (const std::string& name : testutil::entries(root)) {
        const std::string path = root + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            n += countFiles(path);
        } else {
            ++n;
        }
    }
    return n;
}

const std::string kCat = "\xe7\x8c\xab";  // 猫, three bytes in UTF-8

}  // namespace

class TestSafety : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    int folders_ = 0;

    // A new, empty folder named `name` in a parent of its own.
    std::string freshFolder(const std::string& name) {
        const std::string parent = tmp_.path().toStdString() + "/" + std::to_string(++folders_);
        if (::mkdir(parent.c_str(), 0755) != 0) {
            return {};
        }
        const std::string dir = parent + "/" + name;
        return ::mkdir(dir.c_str(), 0755) == 0 ? dir : std::string();
    }

    // Runs the kill helper over `rounds` fresh folders on `root`, killing it midway: every file
    // stays, once, under its old or its new name, with its content; nothing else is left but
    // empty reservations of new names, which the next run's journal clears.
    void killRoundsOn(const std::string& root, int rounds) {
        std::mt19937_64 rng(safety::seed() ^ std::hash<std::string>{}(root));
        safety::SharedProgress progress(tmp_.path().toStdString() + "/drive-progress");
        QVERIFY(progress.valid());
        for (int round = 0; round < rounds; ++round) {
            const std::string folderName = "k" + std::to_string(round);
            const std::string dir = root + "/" + folderName;
            QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
            std::map<std::string, std::string> contents;
            for (int i = 0; i < 150; ++i) {
                const std::string name = "f" + std::to_string(i);
                const std::string content = "file " + std::to_string(i);
                QVERIFY(testutil::makeFile(dir, name, content));
                contents[name] = content;
            }
            // Somewhere among its renames, as its own count says.
            const std::int64_t killAt = std::uniform_int_distribution<std::int64_t>(0, 149)(rng);
            const long jitterNs = std::uniform_int_distribution<long>(0, 2000000)(rng);
            progress.reset();
            const safety::Ending ending = safety::runUntil(
                {KOVRA_KILL_HELPER, dir, progress.path()},
                [&] { return progress.started() && progress.done() >= killAt; }, jitterNs);
            safety::counts().kills += ending.killed;

            const Inventory after = inventory(dir);
            std::int64_t found = 0;
            for (const auto& [name, content] : contents) {
                safety::counts().checked.emplace(dir + "/" + name, 0);
                const auto old = after.find(name);
                const auto renamedTo = after.find(folderName + "_" + name);
                const bool atOld = old != after.end() && old->second.data == content;
                const bool atNew = renamedTo != after.end() && renamedTo->second.data == content;
                if (!atOld && !atNew) {
                    ++safety::counts().lost;
                }
                found += atOld || atNew ? 1 : 0;
                // Beside an unrenamed file, its new name may hold only an empty reservation, or
                // the same file when the kill fell between a link and an unlink.
                if (atOld && renamedTo != after.end()) {
                    QVERIFY2(renamedTo->second.data.empty() ||
                                 renamedTo->second.inode == old->second.inode,
                             name.c_str());
                }
            }
            QCOMPARE(found, static_cast<std::int64_t>(contents.size()));
        }
    }

    // Renames a to x_a in `dir` through the seam and checks that every file stayed: a renamed
    // when `expectErr` is 0, nothing changed otherwise, beside the file that took the new name
    // meanwhile when one `appeared`.
    void renameAAndCheck(const std::string& dir, Inventory before, bool appeared, int expectErr,
                         core::RenameStatus& status, Inventory& after) {
        const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(dirfd >= 0);
        status = fs::renameNoReplace(dirfd, "a", "x_a");
        ::close(dirfd);
        after = inventory(dir);
        if (appeared) {
            QVERIFY(gInject.newcomerEntry.inode != 0);
            before.emplace("x_a", gInject.newcomerEntry);
        }
        const Inventory expected = expectErr == 0 ? renamed(before, {"a"}, "x_") : before;
        QVERIFY2(safety::keepsEveryFile(before, after), safety::describe(after).c_str());
        QVERIFY2(after == expected,
                 (safety::describe(after) + " expected " + safety::describe(expected)).c_str());
        QCOMPARE(errnoName(status.error), errnoName(expectErr));
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        // The journals of the runs here, the kill helper's included: never the user's state.
        QCOMPARE(::setenv("XDG_STATE_HOME", (tmp_.path().toStdString() + "/state").c_str(), 1), 0);
        std::printf("safety: seed %llu (set KOVRA_SAFETY_SEED to choose another)\n",
                    static_cast<unsigned long long>(safety::seed()));
    }
    void init() {
        gInject = Injection{};
        fs::syscalls() = fs::defaultSyscalls();
        fs::syscalls().renameat2 = fakeRenameat2;
        fs::syscalls().linkat = fakeLinkat;
        fs::syscalls().unlinkat = fakeUnlinkat;
        fs::syscalls().openat = fakeOpenat;
        fs::syscalls().renameat = fakeRenameat;
    }
    void cleanup() {
        fs::syscalls() = fs::defaultSyscalls();
        safety::countChecked();
    }
    void cleanupTestCase() {
        const safety::Counts& c = safety::counts();
        std::printf(
            "safety: fault cases tried %lld, kills %lld, undos %lld, recoveries %lld, files "
            "checked %lld, files lost: %lld, files overwritten: %lld\n",
            static_cast<long long>(c.faultCases), static_cast<long long>(c.kills),
            static_cast<long long>(c.undos), static_cast<long long>(c.recoveries),
            static_cast<long long>(c.filesChecked), static_cast<long long>(c.lost),
            static_cast<long long>(c.overwritten));
        std::fflush(stdout);
        QVERIFY(testutil::removeTree(tmp_.path().toStdString()));
    }

    // One rename, a → x_a, with something in the way or a system call failing under it.
    void renameFaults_data() {
        QTest::addColumn<int>("target");  // what already carries the new name
        QTest::addColumn<int>("renameErr");
        QTest::addColumn<int>("linkErr");
        QTest::addColumn<int>("unlinkErr");
        QTest::addColumn<bool>("unlinkActs");
        QTest::addColumn<bool>("newcomer");
        QTest::addColumn<int>("expectErr");
        QTest::addColumn<bool>("expectUnsafe");

        const char* targets[] = {"nothing",         "a file",   "a symbolic link",
                                 "a dangling link", "a folder", "a hard link to the source"};
        for (int t = 1; t <= 5; ++t) {
            for (const int via : {0, EINVAL, ENOSYS}) {
                QTest::addRow("target is %s%s%s", targets[t], via ? ", renameat2 " : "",
                              via ? errnoName(via) : "")
                    << t << via << 0 << 0 << false << false << EEXIST << false;
            }
        }
        // Until a rename has worked in the folder, any failure that left both names as they
        // were gives way to the next method.
        for (const int err : {EINVAL, ENOSYS, EOPNOTSUPP, ENOSPC, EIO}) {
            QTest::addRow("renameat2 %s: the fallback renames", errnoName(err))
                << 0 << err << 0 << 0 << false << false << 0 << false;
        }
        for (const int err : {EINVAL, ENOSYS}) {
            QTest::addRow("renameat2 %s, the target appears before linkat", errnoName(err))
                << 0 << err << 0 << 0 << false << true << EEXIST << false;
        }
        // Neither the flag nor links, whatever the link's failure (a WebDAV mount answers EIO):
        // the new name is reserved, then renamed onto.
        for (const int err : {EPERM, EOPNOTSUPP, ENOSPC, EIO, EMLINK, EDQUOT}) {
            QTest::addRow("renameat2 EINVAL, linkat %s: renamed onto a reservation", errnoName(err))
                << 0 << EINVAL << err << 0 << false << false << 0 << false;
        }
        // The link taken back after its unlink failed, both names as they were: the same.
        for (const int err : {EACCES, EPERM, EBUSY, EIO, EROFS}) {
            QTest::addRow("linkat ok, unlinkat %s: renamed onto a reservation", errnoName(err))
                << 0 << EINVAL << 0 << err << false << false << 0 << false;
        }
        // The unlink happened and still reported an error: the new name is the file's only one.
        for (const int err : {ENOENT, EIO, ESTALE}) {
            QTest::addRow("linkat ok, unlinkat acts then answers %s", errnoName(err))
                << 0 << EINVAL << 0 << err << true << false << 0 << false;
        }
    }
    void renameFaults() {
        QFETCH(int, target);
        QFETCH(int, renameErr);
        QFETCH(int, linkErr);
        QFETCH(int, unlinkErr);
        QFETCH(bool, unlinkActs);
        QFETCH(bool, newcomer);
        QFETCH(int, expectErr);
        QFETCH(bool, expectUnsafe);
        ++safety::counts().faultCases;

        const std::string dir = freshFolder("x");
        QVERIFY(!dir.empty());
        QVERIFY(testutil::makeFile(dir, "a", "source"));
        const std::string to = dir + "/x_a";
        switch (target) {
            case 1:
                QVERIFY(testutil::makeFile(dir, "x_a", "target"));
                break;
            case 2:
                QCOMPARE(::symlink("a", to.c_str()), 0);
                break;
            case 3:
                QCOMPARE(::symlink("gone", to.c_str()), 0);
                break;
            case 4:
                QCOMPARE(::mkdir(to.c_str(), 0755), 0);
                break;
            case 5:
                QCOMPARE(::link((dir + "/a").c_str(), to.c_str()), 0);
                break;
            default:
                break;
        }
        const Inventory before = inventory(dir);
        gInject.renameErr = renameErr;
        gInject.linkErr = linkErr;
        gInject.unlinkErr = unlinkErr;
        gInject.unlinkActs = unlinkActs;
        gInject.newcomer = newcomer;

        core::RenameStatus status;
        Inventory after;
        renameAAndCheck(dir, before, newcomer, expectErr, status, after);
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(status.outcome == core::RenameOutcome::NoSafeRename, expectUnsafe);
        if (expectErr == 0) {
            QCOMPARE(after.at("x_a").links, nlink_t(1));
        } else {
            const std::string line = ui::reasonLine(status).toStdString();
            QVERIFY2(contains(line, "（エラー番号 " + std::to_string(expectErr) + "）"),
                     line.c_str());
            QVERIFY2(!contains(line, "予期しない"), line.c_str());
        }
    }

    // On a drive without the flag the kernel refuses a taken name before it asks the drive:
    // that refusal says nothing of the drive, so the next rename still finds a way.
    void refusalSettlesNoMethod() {
        ++safety::counts().faultCases;
        gInject.flagless = true;
        const std::string dir = freshFolder("x");
        QVERIFY(!dir.empty());
        for (const char* name : {"a", "x_a", "b"}) {
            QVERIFY(testutil::makeFile(dir, name, name));
        }
        const Inventory before = inventory(dir);
        const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(dirfd >= 0);
        fs::RenameMethod method = fs::RenameMethod::Unknown;
        const core::RenameStatus taken = fs::renameNoReplace(dirfd, "a", "x_a", method);
        const core::RenameStatus free = fs::renameNoReplace(dirfd, "b", "x_b", method);
        ::close(dirfd);
        QCOMPARE(errnoName(taken.error), errnoName(EEXIST));
        QCOMPARE(errnoName(free.error), errnoName(0));
        const Inventory after = inventory(dir);
        QVERIFY2(safety::keepsEveryFile(before, after), safety::describe(after).c_str());
        QCOMPARE(after, renamed(before, {"b"}, "x_"));
    }

    // One rename, a → x_a, on a file system with neither the rename flag nor links: the new name
    // is reserved by an exclusive create, and only our own empty reservation is ever replaced.
    void reservationFaults_data() {
        QTest::addColumn<bool>("targetExists");
        QTest::addColumn<int>("createErr");
        QTest::addColumn<bool>("takeover");
        QTest::addColumn<int>("plainRenameErr");
        QTest::addColumn<int>("expectErr");
        QTest::addColumn<bool>("expectUnsafe");
        QTest::addColumn<QString>("words");  // what the reason says
        QTest::newRow("renamed") << false << 0 << false << 0 << 0 << false << QString();
        QTest::newRow("the new name exists")
            << true << 0 << false << 0 << EEXIST << false << "既にあります";
        QTest::newRow("the drive refuses the name")
            << false << EINVAL << false << 0 << EINVAL << false << "この名前を付けられません";
        QTest::newRow("no exclusive create on the drive")
            << false << EOPNOTSUPP << false << 0 << EOPNOTSUPP << true << "上書きする危険なしに";
        QTest::newRow("another program takes the reservation")
            << false << 0 << true << 0 << EEXIST << false << "既にあります";
        for (const int err : {EEXIST, EACCES}) {
            QTest::addRow("no rename onto an existing name (%s): retried", errnoName(err))
                << false << 0 << false << err << 0 << false << QString();
        }
        // A plain rename that fails for want of the call, as a WebDAV drive answers EIO: no
        // rename here cannot replace a file.
        QTest::newRow("plain rename EIO: the reservation is removed")
            << false << 0 << false << EIO << EIO << true << "上書きする危険なしに";
        QTest::newRow("plain rename ENOSPC: the reservation is removed")
            << false << 0 << false << ENOSPC << ENOSPC << false << "空き容量";
        QTest::newRow("plain rename ENOENT: the reservation is removed")
            << false << 0 << false << ENOENT << ENOENT << false << "見つかりません";
    }
    void reservationFaults() {
        QFETCH(bool, targetExists);
        QFETCH(int, createErr);
        QFETCH(bool, takeover);
        QFETCH(int, plainRenameErr);
        QFETCH(int, expectErr);
        QFETCH(bool, expectUnsafe);
        QFETCH(QString, words);
        ++safety::counts().faultCases;

        const std::string dir = freshFolder("x");
        QVERIFY(!dir.empty());
        QVERIFY(testutil::makeFile(dir, "a", "source"));
        if (targetExists) {
            QVERIFY(testutil::makeFile(dir, "x_a", "target"));
        }
        const Inventory before = inventory(dir);
        gInject.renameErr = EINVAL;
        gInject.linkErr = EPERM;
        gInject.createErr = createErr;
        gInject.takeover = takeover;
        gInject.plainRenameErr = plainRenameErr;

        core::RenameStatus status;
        Inventory after;
        renameAAndCheck(dir, before, takeover, expectErr, status, after);
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(status.outcome == core::RenameOutcome::NoSafeRename, expectUnsafe);
        const QString line = ui::reasonLine(status);
        QVERIFY2(words.isEmpty() == status.done(), qPrintable(line));
        QVERIFY2(
            status.done() || (line.contains(words) &&
                              line.endsWith(QStringLiteral("（エラー番号 %1）").arg(expectErr))),
            qPrintable(line));
    }

    // A fault in the middle of a run over a, b, c, d, e, f in the folder x.
    void runFaults_data() {
        QTest::addColumn<int>("renameErr");
        QTest::addColumn<int>("renameFrom");
        QTest::addColumn<int>("linkErr");
        QTest::addColumn<int>("linkFrom");
        QTest::addColumn<int>("failAt");
        QTest::addColumn<QString>("words");  // what the report must say

        QTest::newRow("ENOSPC at the third file") << ENOSPC << 2 << 0 << 0 << 2 << "空き容量";
        QTest::newRow("EIO at the third file") << EIO << 2 << 0 << 0 << 2 << "入出力エラー";
        QTest::newRow("EIO at the last file") << EIO << 5 << 0 << 0 << 5 << "入出力エラー";
        QTest::newRow("EDQUOT at the fourth file") << EDQUOT << 3 << 0 << 0 << 3 << "クォータ";
        QTest::newRow("EROFS at the second file") << EROFS << 1 << 0 << 0 << 1 << "読み取り専用";
        QTest::newRow("fallback, linkat ENOSPC at the third file")
            << EINVAL << 0 << ENOSPC << 2 << 2 << "空き容量";
        QTest::newRow("fallback, linkat EIO at the fifth file")
            << EINVAL << 0 << EIO << 4 << 4 << "入出力エラー";
    }
    void runFaults() {
        QFETCH(int, renameErr);
        QFETCH(int, renameFrom);
        QFETCH(int, linkErr);
        QFETCH(int, linkFrom);
        QFETCH(int, failAt);
        QFETCH(QString, words);
        ++safety::counts().faultCases;

        const Names names{"a", "b", "c", "d", "e", "f"};
        const std::string dir = freshFolder("x");
        QVERIFY(!dir.empty());
        for (const std::string& name : names) {
            QVERIFY(testutil::makeFile(dir, name, "content of " + name));
        }
        const Inventory before = inventory(dir);
        PlainFileList list(dir);
        list.selectAll();
        gInject.renameErr = renameErr;
        gInject.renameFrom = renameFrom;
        gInject.linkErr = linkErr;
        gInject.linkFrom = linkFrom;

        const core::RunResult r = runOn(list);
        const int expectErr = linkErr != 0 ? linkErr : renameErr;
        QCOMPARE(r.end, End::Failed);
        QCOMPARE(r.renamed, failAt);
        QCOMPARE(r.failedName, names[static_cast<std::size_t>(failAt)]);
        QCOMPARE(r.failedNewName, "x_" + names[static_cast<std::size_t>(failAt)]);
        QCOMPARE(errnoName(r.status.error), errnoName(expectErr));

        // Files before the fault keep their new names, the rest their old ones.
        const Inventory after = inventory(dir);
        const Names done(names.begin(), names.begin() + failAt);
        QVERIFY(safety::keepsEveryFile(before, after));
        QVERIFY2(after == renamed(before, done, "x_"), safety::describe(after).c_str());

        const QString reason = ui::runFailureReason(r);
        QVERIFY2(reason.contains(words), qPrintable(reason));
        QVERIFY2(reason.endsWith(QStringLiteral("（エラー番号 %1）").arg(expectErr)),
                 qPrintable(reason));

        // The list was read again and shows the folder as it is now.
        QCOMPARE(list.refreshes(), 2);
        Names listed;
        for (std::int64_t i = 0; i < list.count(); ++i) {
            listed.emplace_back(list.at(i));
        }
        QCOMPARE(listed, testutil::entries(dir));

        // The program goes on: once the fault is gone, a run on the old names finishes the job.
        gInject = Injection{};
        list.selectWhere([](const std::string& name) { return name.rfind("x_", 0) != 0; });
        const core::RunResult again = runOn(list);
        QCOMPARE(again.end, End::Completed);
        QCOMPARE(again.renamed, std::int64_t(names.size()) - failAt);
        const Inventory final = inventory(dir);
        QVERIFY(safety::keepsEveryFile(before, final));
        QVERIFY(final == renamed(before, names, "x_"));
    }

    // While a run goes on, its folder is renamed, moved, swapped for a symbolic link or removed,
    // and a decoy holding the same names takes its place. Every rename happens in the folder
    // that was opened, or fails; the decoy is never touched.
    void folderSwaps_data() {
        QTest::addColumn<int>("scenario");
        QTest::newRow("folder renamed, decoy at its path") << 0;
        QTest::newRow("folder moved to another parent, decoy at its path") << 1;
        QTest::newRow("folder swapped for a symbolic link to a decoy") << 2;
        QTest::newRow("folder emptied and removed, decoy at its path") << 3;
    }
    void folderSwaps() {
        QFETCH(int, scenario);
        ++safety::counts().faultCases;

        const Names names{"a", "b", "c", "d", "e"};
        const std::string dir = freshFolder("x");
        QVERIFY(!dir.empty());
        const std::string parent = dir.substr(0, dir.rfind('/'));
        for (const std::string& name : names) {
            QVERIFY(testutil::makeFile(dir, name, "file " + name));
        }
        const Inventory before = inventory(dir);
        const std::string elsewhere = parent + "/elsewhere";
        const std::string decoySide = parent + "/decoy";
        QCOMPARE(::mkdir(elsewhere.c_str(), 0755), 0);
        QCOMPARE(::mkdir(decoySide.c_str(), 0755), 0);

        // Where the opened folder ends up, and where the decoy is.
        std::string opened;
        std::string decoy;
        switch (scenario) {
            case 0:
                opened = parent + "/y";
                decoy = dir;
                break;
            case 1:
                opened = elsewhere + "/x";
                decoy = dir;
                break;
            case 2:
                opened = parent + "/away";
                decoy = decoySide;
                break;
            default:
                opened = elsewhere;
                decoy = dir;
                break;
        }
        Inventory decoyBefore;
        int actErr = 0;
        auto act = [&] {
            const auto check = [&](int rc) {
                if (rc != 0 && actErr == 0) {
                    actErr = errno;
                }
            };
            if (scenario == 3) {
                for (const std::string& name : testutil::entries(dir)) {
                    check(::rename((dir + "/" + name).c_str(), (opened + "/" + name).c_str()));
                }
                check(::rmdir(dir.c_str()));
            } else {
                check(::rename(dir.c_str(), opened.c_str()));
            }
            if (scenario == 2) {
                check(::symlink(decoy.c_str(), dir.c_str()));
            } else {
                check(::mkdir(decoy.c_str(), 0755));
            }
            for (const std::string& name : names) {
                if (!testutil::makeFile(decoy, name, "decoy " + name)) {
                    check(-1);
                }
            }
            decoyBefore = inventory(decoy);
        };

        PlainFileList list(dir);
        list.selectAll();
        core::RunOptions options;
        options.progress = [&](std::int64_t done, std::int64_t) {
            if (done == 2) {
                act();
            }
            return true;
        };
        const core::RunResult r = runOn(list, options);
        QCOMPARE(actErr, 0);

        // Nothing landed anywhere else: the only files under the test's parent are the five in
        // the opened folder and the five of the decoy (and the symbolic link in its place).
        QCOMPARE(countFiles(parent), 10 + (scenario == 2 ? 1 : 0));
        const Inventory openedAfter = inventory(opened);
        const Inventory decoyAfter = inventory(decoy);
        QVERIFY(safety::keepsEveryFile(before, openedAfter));
        QVERIFY(safety::keepsEveryFile(decoyBefore, decoyAfter));
        QVERIFY2(decoyAfter == decoyBefore, safety::describe(decoyAfter).c_str());
        if (scenario == 3) {
            // The opened folder is gone: the next rename fails cleanly.
            QCOMPARE(r.end, End::Failed);
            QCOMPARE(r.renamed, 2);
            QCOMPARE(r.failedName, std::string("c"));
            QCOMPARE(errnoName(r.status.error), errnoName(ENOENT));
            QVERIFY(openedAfter == renamed(before, {"a", "b"}, "x_"));
        } else {
            QCOMPARE(r.end, End::Completed);
            QCOMPARE(r.renamed, 5);
            QVERIFY2(openedAfter == renamed(before, names, "x_"),
                     safety::describe(openedAfter).c_str());
        }
    }

    // The folder is synced at the end of every run that opened it, however the run ended.
    void syncAtEveryEnd_data() {
        QTest::addColumn<Names>("files");
        QTest::addColumn<Names>("selected");
        QTest::addColumn<int>("renameErr");  // injected from the second rename on
        QTest::addColumn<int>("cancelAfter");
        QTest::addColumn<bool>("removeFolder");
        QTest::addColumn<int>("end");
        QTest::addColumn<Names>("events");

        QTest::newRow("completed") << Names{"a", "b"} << Names{"a", "b"} << 0 << -1 << false
                                   << int(End::Completed) << Names{"rename a", "rename b", "sync"};
        QTest::newRow("failed: target exists")
            << Names{"a", "b", "x_b"} << Names{"a", "b"} << 0 << -1 << false << int(End::Failed)
            << Names{"rename a", "rename b", "sync"};
        QTest::newRow("failed: EIO")
            << Names{"a", "b", "c"} << Names{"a", "b", "c"} << EIO << -1 << false
            << int(End::Failed) << Names{"rename a", "rename b", "sync"};
        QTest::newRow("cancelled") << Names{"a", "b", "c"} << Names{"a", "b", "c"} << 0 << 1
                                   << false << int(End::Cancelled) << Names{"rename a", "sync"};
        QTest::newRow("nothing to rename") << Names{"kovra.exe"} << Names{"kovra.exe"} << 0 << -1
                                           << false << int(End::Completed) << Names{};
        QTest::newRow("folder gone before the run") << Names{"a"} << Names{"a"} << 0 << -1 << true
                                                    << int(End::Failed) << Names{"open failed"};
    }
    void syncAtEveryEnd() {
        QFETCH(Names, files);
        QFETCH(Names, selected);
        QFETCH(int, renameErr);
        QFETCH(int, cancelAfter);
        QFETCH(bool, removeFolder);
        QFETCH(int, end);
        QFETCH(Names, events);
        ++safety::counts().faultCases;

        const std::string dir = freshFolder("x");
        QVERIFY(!dir.empty());
        for (const std::string& name : files) {
            QVERIFY(testutil::makeFile(dir, name));
        }
        PlainFileList list(dir);
        list.selectWhere([&](const std::string& name) {
            return std::find(selected.begin(), selected.end(), name) != selected.end();
        });
        if (removeFolder) {
            for (const std::string& name : files) {
                QCOMPARE(::unlink((dir + "/" + name).c_str()), 0);
            }
            QCOMPARE(::rmdir(dir.c_str()), 0);
        }
        gInject.renameErr = renameErr;
        gInject.renameFrom = 1;
        core::RunOptions options;
        options.progress = [&](std::int64_t done, std::int64_t) { return done != cancelAfter; };
        core::WorkList list1;
        core::WorkList list2;
        RecordingFileSystem fs;
        const core::RunResult r = core::renameRun(list, list1, list2, fs, options);
        QCOMPARE(int(r.end), end);
        QCOMPARE(fs.events, events);
        if (removeFolder) {
            // Nothing was tried: the report speaks of the folder, not of a file.
            QVERIFY(r.status.outcome == core::RenameOutcome::FolderUnavailable);
            const std::string line = ui::runFailureReason(r).toStdString();
            QVERIFY2(contains(line, "フォルダが見つかりません"), line.c_str());
        }
    }

    // Names and folder names that tools tend to mangle. Each file is renamed to exactly the
    // right bytes, or refused with a clear report and left as it was.
    void hostileNames_data() {
        QTest::addColumn<std::string>("folder");
        QTest::addColumn<std::string>("file");
        QTest::addColumn<bool>("fits");    // whether the new name is within the 255-byte limit
        QTest::addColumn<bool>("window");  // listed by the window's file list, or the plain one

        struct Case {
            const char* tag;
            std::string folder;
            std::string file;
            bool fits;
        };
        const std::vector<Case> cases{
            {"file not UTF-8", "d", "\xff\xfe-\x80.jpg", true},
            {"file Latin-1", "d", "caf\xe9", true},
            {"file with newline", "d", "line\nbreak", true},
            {"file with tab", "d", "tab\there", true},
            {"file with leading dash", "d", "-rf", true},
            {"file named --", "d", "--", true},
            {"file with leading dot", "d", ".hidden", true},
            {"file named ...", "d", "...", true},
            {"file with backslash", "d", "back\\slash", true},
            {"file named \\", "d", "\\", true},
            {"file of 253 bytes: new name exactly 255", "d", repeat("n", 253), true},
            {"file of 254 bytes: new name 256", "d", repeat("n", 254), false},
            {"file of 255 bytes", "d", repeat("n", 255), false},
            {"file of 84 Japanese characters", "d", repeat(kCat, 84), true},
            {"file of 85 Japanese characters", "d", repeat(kCat, 85), false},
            {"folder not UTF-8", "\xff\xfe", "a", true},
            {"folder with newline", "new\nline", "a", true},
            {"folder with tab", "tab\tdir", "a", true},
            {"folder with leading dash", "-dir", "a", true},
            {"folder with leading dot", ".dir", "a", true},
            {"folder with backslash", "back\\slash", "a", true},
            {"folder of 255 bytes", repeat("f", 255), "a", false},
            {"folder of 84 Japanese characters", repeat(kCat, 84), "a", true},
            {"folder of 85 Japanese characters", repeat(kCat, 85), "a", false},
            {"both hostile", "-\n.\xff", ".\t\\\xfe", true},
        };
        for (const bool window : {false, true}) {
            for (const Case& c : cases) {
                QTest::addRow("%s%s", c.tag, window ? ", window list" : "")
                    << c.folder << c.file << c.fits << window;
            }
        }
    }
    void hostileNames() {
        QFETCH(std::string, folder);
        QFETCH(std::string, file);
        QFETCH(bool, fits);
        QFETCH(bool, window);

        const std::string dir = freshFolder(folder);
        QVERIFY(!dir.empty());
        QVERIFY(testutil::makeFile(dir, file, "hostile"));
        const Inventory before = inventory(dir);
        const fs::Listing listing = fs::listFiles(dir);
        QCOMPARE(listing.names, Names{file});
        QCOMPARE(listing.error, 0);

        core::RunResult r;
        if (window) {
            widgets::FileListBox box;
            QCOMPARE(box.setPath(dir), 0);
            QCOMPARE(box.count(), 1);
            QCOMPARE(std::string(box.at(0)), file);
            box.selectAllFiles();
            r = runOn(box);
        } else {
            PlainFileList list(dir);
            list.selectAll();
            r = runOn(list);
        }
        const Inventory after = inventory(dir);
        QVERIFY(safety::keepsEveryFile(before, after));
        const std::string newName = folder + "_" + file;
        if (fits) {
            QCOMPARE(r.end, End::Completed);
            QCOMPARE(testutil::entries(dir), Names{newName});
            QVERIFY(after == renamed(before, {file}, folder + "_"));
        } else {
            QCOMPARE(r.end, End::Failed);
            QCOMPARE(errnoName(r.status.error), errnoName(ENAMETOOLONG));
            QCOMPARE(r.failedNewName, newName);
            QVERIFY(after == before);
            const std::string line = ui::runFailureReason(r).toStdString();
            const std::string expected = "新しい名前が長すぎます（" +
                                         std::to_string(newName.size()) +
                                         " バイト、上限 255 バイト）（エラー番号 36）";
            QCOMPARE(line, expected);
        }
    }

    // 86 Japanese characters are 258 bytes: the usual Linux file systems (ext4, tmpfs, btrfs,
    // xfs) cannot even create such a name, so no run can meet one there. What can be tested is
    // that creating it fails, and that a listing naming it (as one from a file system that
    // counts in UTF-16 could) makes the run refuse cleanly and change nothing.
    void japanese86Characters() {
        const std::string name = repeat(kCat, 86);
        const std::string dir = freshFolder("d");
        QVERIFY(!dir.empty());
        if (fs::nameRule(dir).fits(name)) {
            QSKIP("this file system takes this name");
        }
        const int fd = ::open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QCOMPARE(fd, -1);
        QCOMPARE(errnoName(errno), errnoName(ENAMETOOLONG));

        QVERIFY(testutil::makeFile(dir, "a", "kept"));
        const Inventory before = inventory(dir);
        PlainFileList list(dir);
        list.setNames({name, "a"});
        list.selectAll();
        const core::RunResult r = runOn(list);
        QCOMPARE(r.end, End::Failed);
        QCOMPARE(r.renamed, 0);
        QCOMPARE(errnoName(r.status.error), errnoName(ENAMETOOLONG));
        QVERIFY(inventory(dir) == before);
        QVERIFY(safety::keepsEveryFile(before, inventory(dir)));
        const std::string line = ui::runFailureReason(r).toStdString();
        QVERIFY2(contains(line, "長すぎます（260 バイト、上限 255 バイト）"), line.c_str());
    }

    // Random folders and selections; the outcome must be what a plain model of the run
    // predicts: renames in display order, excluded names left out, a stop at the first name
    // that is taken.
    void differential() {
        std::mt19937_64 rng(safety::seed() ^ 0xd1ffULL);
        const auto pick = [&](std::size_t n) {
            return static_cast<std::size_t>(
                std::uniform_int_distribution<std::size_t>(0, n - 1)(rng));
        };
        const auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
        const Names folders{"d", "D", "a.b", "x y", "_", "\xe7\x8c\xab"};
        const Names pieces{"a", "A", "b", "B", "_", ".", "d", "D", "1", "\xc3\xa9", "\xff"};
        const int rounds = 400;
        int failed = 0;
        int completed = 0;
        for (int round = 0; round < rounds; ++round) {
            const std::string folderName = folders[pick(folders.size())];
            const std::string prefix = folderName + "_";
            std::set<std::string> names;
            const int count = 1 + static_cast<int>(pick(10));
            while (static_cast<int>(names.size()) < count) {
                std::string name;
                const int length = 1 + static_cast<int>(pick(3));
                for (int i = 0; i < length; ++i) {
                    name += pieces[pick(pieces.size())];
                }
                if (name != "." && name != "..") {
                    names.insert(name);
                }
            }
            // Names that the renames will collide with.
            for (const std::string& name : Names(names.begin(), names.end())) {
                if (chance(0.25)) {
                    names.insert(prefix + name);
                }
                if (chance(0.05)) {
                    names.insert(prefix + prefix + name);
                }
            }
            if (chance(0.2)) {
                names.insert("kovra.exe");
            }

            const std::string dir = freshFolder(folderName);
            QVERIFY(!dir.empty());
            int serial = 0;
            for (const std::string& name : names) {
                QVERIFY(testutil::makeFile(
                    dir, name, "r" + std::to_string(round) + "f" + std::to_string(serial++)));
            }
            const Inventory before = inventory(dir);

            // The model.
            // Display order: ASCII letters without their case, then the raw bytes.
            const auto folded = [](std::string name) {
                for (char& c : name) {
                    c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
                }
                return name;
            };
            Names order(names.begin(), names.end());
            std::sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
                return std::pair(folded(a), a) < std::pair(folded(b), b);
            });
            PlainFileList list(dir);
            const QByteArray where =
                QStringLiteral("round %1 of seed %2").arg(round).arg(safety::seed()).toUtf8();
            Names listed;
            for (std::int64_t i = 0; i < list.count(); ++i) {
                listed.emplace_back(list.at(i));
            }
            QVERIFY2(listed == order, where.constData());
            const int mode = static_cast<int>(pick(4));
            list.selectWhere([&](const std::string&) {
                return mode == 0 || (mode == 2 && chance(0.5)) || (mode == 3 && chance(0.85));
            });
            std::set<std::string> selected;
            for (const core::SelectionRange& range : list.selectedRanges()) {
                for (std::int64_t i = range.first; i <= range.last; ++i) {
                    selected.emplace(list.at(i));
                }
            }
            const bool fallback = chance(0.3);
            gInject = Injection{};
            gInject.renameErr = fallback ? EINVAL : 0;

            std::map<std::string, std::string> state = dataByName(before);
            End expectEnd = selected.empty() ? End::NothingSelected : End::Completed;
            std::int64_t expectRenamed = 0;
            std::string expectFailed;
            for (const std::string& name : order) {
                if (!selected.count(name) || name == "kovra.exe") {
                    continue;
                }
                const std::string newName = prefix + name;
                if (state.count(newName) != 0) {
                    expectEnd = End::Failed;
                    expectFailed = name;
                    break;
                }
                state[newName] = state[name];
                state.erase(name);
                ++expectRenamed;
            }

            fs::RunRecorder recorder;
            core::RunOptions options;
            options.journal = &recorder;
            const core::RunResult r = runOn(list, options);
            const Inventory after = inventory(dir);
            QVERIFY2(r.end == expectEnd, where.constData());
            QVERIFY2(r.renamed == expectRenamed, where.constData());
            QVERIFY2(r.failedName == expectFailed, where.constData());
            QVERIFY2(dataByName(after) == state, where.constData());
            QVERIFY2(safety::keepsEveryFile(before, after), where.constData());
            // The contents as a multiset never change, whatever the names.
            std::multiset<std::string> contentsBefore;
            std::multiset<std::string> contentsAfter;
            for (const auto& [name, e] : before) {
                contentsBefore.insert(e.data);
            }
            for (const auto& [name, e] : after) {
                contentsAfter.insert(e.data);
            }
            QVERIFY2(contentsBefore == contentsAfter, where.constData());
            failed += r.end == End::Failed;
            completed += r.end == End::Completed;

            // A run that renamed nothing leaves nothing to undo.
            QVERIFY2(fs::hasUndo(fs::stateDirectory()) == (r.renamed > 0), where.constData());
            // Undo gives back the starting folder: the same names, files and contents.
            if (r.renamed > 0) {
                const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
                QVERIFY2(undo.status == fs::UndoReport::Status::Done, where.constData());
                QVERIFY2(undo.renamed == r.renamed && undo.problems.empty(), where.constData());
                const Inventory undone = inventory(dir);
                QVERIFY2(undone == before, where.constData());
                QVERIFY2(safety::keepsEveryFile(before, undone), where.constData());
                QVERIFY2(!fs::hasUndo(fs::stateDirectory()), where.constData());
                ++safety::counts().undos;
            }
        }
        // The rounds must have met both outcomes, or the comparison proves little.
        QVERIFY(failed > rounds / 10);
        QVERIFY(completed > rounds / 10);
    }

    // The real run over 10,000 files, killed with SIGKILL at seed-chosen moments.
    // The drives pictures live on: card and disk formats through their FUSE drivers, and our own
    // file system with one ability switched off at a time. On each, a folder renamed through the
    // window, a collision refused with both files kept, and runs killed midway that lose nothing.
    void drives_data() {
        QTest::addColumn<int>("image");  // -1: switchfs with `options`
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("caseless");
        QTest::newRow("exFAT") << int(mountutil::Image::ExFat) << QString() << true;
        QTest::newRow("FAT") << int(mountutil::Image::Fat) << QString() << true;
        QTest::newRow("NTFS") << int(mountutil::Image::Ntfs) << QString() << false;
        QTest::newRow("no rename flags") << -1 << "norenameflags" << false;
        QTest::newRow("no rename flags, no links") << -1 << "norenameflags,nolink" << false;
        QTest::newRow("no rename onto a name (EEXIST)")
            << -1 << "norenameflags,nolink,noreplace=EEXIST" << false;
        QTest::newRow("no rename onto a name (EACCES)")
            << -1 << "norenameflags,nolink,noreplace=EACCES" << false;
        QTest::newRow("case-insensitive") << -1 << "norenameflags,nolink,caseless" << true;
    }
    void drives() {
        QFETCH(int, image);
        QFETCH(QString, options);
        QFETCH(bool, caseless);
        std::unique_ptr<mountutil::Mount> mount;
        if (image < 0) {
            mount = std::make_unique<mountutil::SwitchFs>(options.toStdString());
        } else {
            mount = std::make_unique<mountutil::ImageMount>(mountutil::Image(image));
        }
        KOVRA_REQUIRE_MOUNT(*mount);
        const std::string root = mount->path();

        // Through the window.
        const std::string pics = root + "/pics";
        QCOMPARE(::mkdir(pics.c_str(), 0755), 0);
        Names expected;
        for (int i = 0; i < 12; ++i) {
            const std::string name = "img" + std::to_string(i) + ".jpg";
            QVERIFY(testutil::makeFile(pics, name, "picture " + std::to_string(i)));
            expected.push_back("pics_" + name);
        }
        std::sort(expected.begin(), expected.end());
        {
            QStringList reports;
            ui::setReporter(
                [&](QWidget*, const QString&, const QString& text) { reports << text; });
            ui::MainWindow window(pics, {{"/", {}}});
            QTest::mouseClick(window.findChild<QAbstractButton*>("b_all_choise"), Qt::LeftButton);
            QTest::mouseClick(window.findChild<QAbstractButton*>("b_atart"), Qt::LeftButton);
            ui::setReporter({});
            QCOMPARE(reports, QStringList{});
        }
        QCOMPARE(testutil::entries(pics), expected);
        QCOMPARE(testutil::readFile(pics + "/pics_img3.jpg"), std::string("picture 3"));

        // A collision: the new name exists (in another case where the drive ignores case).
        const std::string x = root + "/x";
        QCOMPARE(::mkdir(x.c_str(), 0755), 0);
        QVERIFY(testutil::makeFile(x, "a", "source"));
        const std::string taken = caseless ? "X_A" : "x_a";
        QVERIFY(testutil::makeFile(x, taken, "target"));
        PlainFileList list(x);
        list.selectWhere([](const std::string& name) { return name == "a"; });
        const core::RunResult r = runOn(list);
        QCOMPARE(r.end, core::RunResult::End::Failed);
        QCOMPARE(errnoName(r.status.error), errnoName(EEXIST));
        QCOMPARE(testutil::readFile(x + "/a"), std::string("source"));
        QCOMPARE(testutil::readFile(x + "/" + taken), std::string("target"));
        QCOMPARE(testutil::entries(x).size(), std::size_t{2});
        ++safety::counts().faultCases;

        killRoundsOn(root, 3);
    }

    // A run over the same folder as another program that keeps taking the reserved names: it
    // stops at the first one taken, and neither that program's file nor ours is lost.
    void reservationRaceOnADrive() {
        mountutil::SwitchFs mount("norenameflags,nolink,race=r_");
        KOVRA_REQUIRE_MOUNT(mount);
        const std::string r = mount.path() + "/r";
        QCOMPARE(::mkdir(r.c_str(), 0755), 0);
        QVERIFY(testutil::makeFile(r, "a", "source"));
        PlainFileList list(r);
        list.selectAll();
        const core::RunResult result = runOn(list);
        QCOMPARE(result.end, core::RunResult::End::Failed);
        QCOMPARE(errnoName(result.status.error), errnoName(EEXIST));
        QCOMPARE(testutil::readFile(r + "/a"), std::string("source"));
        QVERIFY(testutil::readFile(r + "/r_a").size() > 0);
        ++safety::counts().faultCases;
    }

    // The running program is recognised by what it is, not by its name: a copy of the renaming
    // program in the folder keeps its name, a user's file that is merely called like it does not.
    void runningProgramIsKeptByIdentity() {
        const std::string dir = tmp_.path().toStdString() + "/pics";
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        for (const char* name : {"kovra", "kill_helper", "a.jpg"}) {
            QVERIFY(testutil::makeFile(dir, name, "user file"));
        }
        const std::string program = dir + "/renamer";
        QVERIFY(QFile::copy(QStringLiteral(KOVRA_KILL_HELPER), QString::fromStdString(program)));
        QCOMPARE(::chmod(program.c_str(), 0755), 0);
        const std::string progress = tmp_.path().toStdString() + "/own-progress";
        const int fd = ::open(progress.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::ftruncate(fd, 2 * sizeof(std::int64_t)), 0);
        ::close(fd);

        QProcess run;
        run.start(QString::fromStdString(program),
                  {QString::fromStdString(dir), QString::fromStdString(progress)});
        QVERIFY(run.waitForFinished(30000));
        QCOMPARE(run.exitCode(), 0);
        QCOMPARE(testutil::entries(dir),
                 (Names{"pics_a.jpg", "pics_kill_helper", "pics_kovra", "renamer"}));
    }

    // The undo killed once a seed-chosen count of files is back, then undone again: every file
    // back, none lost.
    void killDuringUndo() {
        constexpr int kFiles = 5000;
        constexpr int kRounds = 8;
        std::mt19937_64 rng(safety::seed() ^ 0x756e646fULL);
        const std::string base = tmp_.path().toStdString() + "/undo-kill";
        QCOMPARE(::mkdir(base.c_str(), 0755), 0);
        safety::SharedProgress progress(base + "/progress");
        QVERIFY(progress.valid());
        int kills = 0;
        for (int round = 0; round < kRounds; ++round) {
            const std::string dir = base + "/u" + std::to_string(round);
            QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
            for (int i = 0; i < kFiles; ++i) {
                QVERIFY(testutil::makeFile(dir, "f" + std::to_string(i), std::to_string(i)));
            }
            const Inventory before = inventory(dir);
            progress.reset();
            const safety::Ending run = safety::runUntil(
                {KOVRA_KILL_HELPER, dir, progress.path()}, [] { return false; }, 0);
            QVERIFY(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);

            // Killed once a seed-chosen count of files has gone back, never by the clock.
            progress.reset();
            const std::int64_t at = std::uniform_int_distribution<std::int64_t>(1, kFiles / 2)(rng);
            const safety::Ending undone = safety::runUntil(
                {KOVRA_KILL_HELPER, "--undo", progress.path()},
                [&] { return progress.done() >= at; }, 0);
            kills += undone.killed;
            QVERIFY(safety::keepsEveryFile(before, inventory(dir)));

            // Undo again, as the next start would: everything comes back.
            const fs::UndoReport again = fs::undoLastRun(fs::stateDirectory());
            QVERIFY(again.status == fs::UndoReport::Status::Done ||
                    again.status == fs::UndoReport::Status::Nothing);
            QVERIFY(again.problems.empty());
            const Inventory after = inventory(dir);
            QVERIFY(safety::keepsEveryFile(before, after));
            QVERIFY(after == before);
            ++safety::counts().undos;
        }
        safety::counts().kills += kills;
        std::printf("safety: undo killed in %d of %d rounds\n", kills, kRounds);
        QVERIFY2(kills >= kRounds / 2, qPrintable(QStringLiteral("only %1 kills").arg(kills)));
    }

    // A real run killed with SIGKILL where its own progress reaches a seed-chosen count of files,
    // while its plan is written ahead of its renames, then recovered as the next start offers it,
    // finished or undone: every file stays, once, under its old or its new name, and the recovery
    // does just what it says. A round the run outran, or whose kill came before its first rename,
    // proves nothing of a kill mid-run: it is made again.
    void killMidRun_data() {
        QTest::addColumn<bool>("parallel");  // the command line over a tree, folders at once
        QTest::addColumn<int>("from");       // killed once this many files are renamed
        QTest::addColumn<int>("to");         // ... up to this many
        QTest::addColumn<bool>("undo");      // recovered by undo, else finished
        QTest::newRow("in the first chunk, the plan still being written, finished")
            << false << 1 << 100 << false;
        QTest::newRow("in the first chunk, the plan still being written, undone")
            << false << 1 << 100 << true;
        QTest::newRow("in a later chunk, finished") << false << 6000 << 9800 << false;
        QTest::newRow("in a later chunk, undone") << false << 6000 << 9800 << true;
        QTest::newRow("several folders at once, finished") << true << 500 << 9000 << false;
        QTest::newRow("several folders at once, undone") << true << 500 << 9000 << true;
    }
    void killMidRun() {
        QFETCH(bool, parallel);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(bool, undo);
        constexpr int kRounds = 4;
        const int folders = parallel ? 20 : 1;
        const int perFolder = parallel ? 500 : 10000;
        std::mt19937_64 rng(safety::seed() ^ std::hash<std::string>{}(QTest::currentDataTag()));
        // The files on a tmpfs where one can be mounted, quick to make and read back; the journal
        // stays in the state folder on the disk.
        mountutil::Tmpfs quick("size=256m");
        const std::string base = (quick.isMounted() ? quick.path() : tmp_.path().toStdString()) +
                                 "/kill-" +
                                 std::to_string(std::hash<std::string>{}(QTest::currentDataTag()));
        QCOMPARE(::mkdir(base.c_str(), 0755), 0);
        safety::SharedProgress progress(base + "/progress");
        QVERIFY(progress.valid());

        const auto makeTree = [&](const std::string& root) {
            std::vector<std::string> dirs;
            if (::mkdir(root.c_str(), 0755) != 0) {
                return dirs;
            }
            for (int f = 0; f < folders; ++f) {
                char name[16];
                std::snprintf(name, sizeof name, "d%02d", f);
                const std::string dir = parallel ? root + "/" + name : root;
                if (parallel && ::mkdir(dir.c_str(), 0755) != 0) {
                    return std::vector<std::string>{};
                }
                for (int i = 0; i < perFolder; ++i) {
                    char file[16];
                    std::snprintf(file, sizeof file, "f%05d", i);
                    if (!testutil::makeFile(dir, file, std::string(name) + file)) {
                        return std::vector<std::string>{};
                    }
                }
                dirs.push_back(dir);
            }
            return dirs;
        };

        int kills = 0;
        int recoveries = 0;
        for (int round = 0; kills < kRounds && round < 3 * kRounds; ++round) {
            // As a first start would find it: no journal of an earlier round.
            testutil::removeTree(fs::runsDirectory(fs::stateDirectory()));
            const std::string root = base + "/r" + std::to_string(round);
            const std::vector<std::string> dirs = makeTree(root);
            QCOMPARE(int(dirs.size()), folders);
            std::vector<Inventory> before;
            for (const std::string& dir : dirs) {
                before.push_back(inventory(dir));
            }
            // Each file: old, or new, never both nor neither, its content kept (a rename changes
            // none: who each is tells after the recovery); how many are new.
            const auto renamedNow = [&](bool withData) -> std::int64_t {
                std::int64_t renamed = 0;
                for (std::size_t d = 0; d < dirs.size(); ++d) {
                    const Inventory after = inventory(dirs[d], withData);
                    const std::string prefix = core::fileName(dirs[d]) + "_";
                    const Inventory was = withData ? before[d] : safety::withoutData(before[d]);
                    if (!safety::keepsEveryFile(was, after) || after.size() != was.size()) {
                        return -1;
                    }
                    for (const auto& [name, e] : was) {
                        const auto asOld = after.find(name);
                        const auto asNew = after.find(prefix + name);
                        const bool isOld = asOld != after.end() && asOld->second == e;
                        const bool isNew = asNew != after.end() && asNew->second == e;
                        if (isOld == isNew) {
                            return -1;
                        }
                        renamed += isNew;
                    }
                }
                return renamed;
            };

            const std::int64_t killAt = std::uniform_int_distribution<std::int64_t>(from, to)(rng);
            const long jitterNs = std::uniform_int_distribution<long>(0, 300000)(rng);
            // The command line keeps no counter: its renames are counted as the kernel tells.
            safety::RenameCounter counter(dirs);
            progress.reset();
            const safety::Ending ending = safety::runUntil(
                parallel ? std::vector<std::string>{KOVRA_PROGRAM, "rename", "-r", "-j", "4", root}
                         : std::vector<std::string>{KOVRA_KILL_HELPER, root, progress.path()},
                [&] {
                    return parallel ? counter.count() >= killAt
                                    : progress.started() && progress.done() >= killAt;
                },
                jitterNs);
            safety::counts().kills += ending.killed;
            const std::int64_t files = std::int64_t(folders) * perFolder;
            const std::int64_t renamed = renamedNow(true);
            std::printf("safety: %s, round %d: %s after %lld of %lld renames\n",
                        QTest::currentDataTag(), round, ending.killed ? "killed" : "finished",
                        static_cast<long long>(renamed), static_cast<long long>(files));
            QVERIFY2(renamed >= 0, "a file was lost, doubled or changed by the kill");
            if (!ending.killed) {
                // It finished first: not a kill, but the files must be right all the same.
                QVERIFY2(WIFEXITED(ending.status) && WEXITSTATUS(ending.status) == 0,
                         qPrintable(QStringLiteral("status %1").arg(ending.status)));
                QCOMPARE(renamed, files);
                continue;
            }

            // The next start offers the run cut short, its plan as far as it was kept: every file
            // renamed is in it. A kill before the journal was in place renamed nothing; one after
            // the run's end, as it was leaving, left it whole.
            const fs::PendingRun pending = fs::pendingRun(fs::stateDirectory());
            if (renamed == 0 || renamed == files) {
                QVERIFY(
                    pending.status == fs::PendingRun::Status::None ||
                    (pending.status == fs::PendingRun::Status::Pending && pending.done == renamed));
                continue;
            }
            ++kills;
            QCOMPARE(pending.status, fs::PendingRun::Status::Pending);
            QCOMPARE(pending.missing, std::int64_t(0));
            QCOMPARE(pending.done, renamed);
            QVERIFY(pending.done + pending.notDone <= files);
            const fs::UndoReport report = undo ? fs::undoPendingRun(fs::stateDirectory())
                                               : fs::finishPendingRun(fs::stateDirectory());
            QCOMPARE(report.status, fs::UndoReport::Status::Done);
            QVERIFY(report.problems.empty());
            QCOMPARE(renamedNow(false), undo ? 0 : pending.done + pending.notDone);
            if (!undo) {
                // A run finished is a run like any other: it can be taken back, whatever the kill
                // left torn at the end of its journal.
                const fs::UndoReport back = fs::undoLastRun(fs::stateDirectory());
                QCOMPARE(back.status, fs::UndoReport::Status::Done);
                QCOMPARE(renamedNow(false), std::int64_t(0));
            }
            ++recoveries;
            ++safety::counts().recoveries;
        }
        QVERIFY2(kills == kRounds && recoveries == kRounds,
                 qPrintable(
                     QStringLiteral("%1 kills mid-run, %2 recoveries").arg(kills).arg(recoveries)));
        testutil::removeTree(base);
    }
};

QTEST_MAIN(TestSafety)
#include "tst_safety.moc"
