// What a merge puts on the disk, and in what order, read from the system calls it makes: each
// file's entry in a synced journal before the file moves; a copy to another drive, and its
// folder, synced before the original goes. Then a sync that fails at each place: the merge says
// so, loses nothing, and its undo gives everything back.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fs/merge/merge.h"
#include "fs/syscalls.h"
#include "fs/undo/undo.h"
#include "mountutil.h"
#include "testutil.h"

using Lines = std::vector<std::string>;

namespace {

// One call as the merge made it, its folders resolved to paths.
struct Call {
    enum Kind { Rename, Unlink, Create, Sync, FailedSync } kind;
    std::string path;
    std::string to;            // Rename: the new path
    bool entrySynced = false;  // Rename: its old name was in the journal at its last sync
};

std::mutex gMutex;
std::vector<Call> gCalls;
std::string gState;          // the folder of the journal
std::string gJournalSynced;  // the journal's bytes as they were at its last sync
// Whose sync fails: "journal" its file, "runs" its folder, else a path below the case's root.
std::string gFailSync;
std::string gRoot;
const fs::Syscalls gReal = fs::defaultSyscalls();

std::string pathOf(int fd) {
    if (fd == AT_FDCWD) {
        return ".";
    }
    char buffer[4096];
    const ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, std::size_t(n)) : std::string();
}

bool under(const std::string& path, const std::string& folder) {
    return path.compare(0, folder.size() + 1, folder + "/") == 0;
}

void record(Call call) {
    const std::lock_guard lock(gMutex);
    gCalls.push_back(std::move(call));
}

int recordRenameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                    unsigned flags) {
    Call call{Call::Rename, pathOf(olddirfd) + "/" + oldpath, pathOf(newdirfd) + "/" + newpath};
    {
        const std::lock_guard lock(gMutex);
        call.entrySynced = gJournalSynced.find(oldpath) != std::string::npos;
    }
    const int r = gReal.renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
    if (r == 0) {
        record(call);
    }
    return r;
}

int recordUnlinkat(int dirfd, const char* name, int flags) {
    const std::string path = pathOf(dirfd) + "/" + name;
    const int r = gReal.unlinkat(dirfd, name, flags);
    if (r == 0) {
        record({Call::Unlink, path, {}});
    }
    return r;
}

int recordOpenat(int dirfd, const char* name, int flags, mode_t mode) {
    const int fd = gReal.openat(dirfd, name, flags, mode);
    if (fd >= 0 && (flags & O_CREAT) != 0) {
        record({Call::Create, pathOf(fd), {}});
    }
    return fd;
}

int recordFsync(int fd) {
    const std::string path = pathOf(fd);
    struct stat st {};
    ::fstat(fd, &st);
    const bool journal = under(path, gState);
    if (!gFailSync.empty() && (journal ? gFailSync == (S_ISDIR(st.st_mode) ? "runs" : "journal")
                                       : path == gRoot + "/" + gFailSync)) {
        record({Call::FailedSync, path, {}});
        errno = EIO;
        return -1;
    }
    const int r = gReal.fsync(fd);
    if (r == 0 && journal && S_ISREG(st.st_mode)) {
        std::string bytes(std::size_t(st.st_size), '\0');
        const ssize_t n = ::pread(fd, bytes.data(), bytes.size(), 0);
        const std::lock_guard lock(gMutex);
        gJournalSynced = bytes.substr(0, n > 0 ? std::size_t(n) : 0);
    }
    if (r == 0) {
        record({Call::Sync, path, {}});
    }
    return r;
}

}  // namespace

class TestDurability : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;
    std::unique_ptr<mountutil::Tmpfs> card_;
    std::string root_;

    // Each file moved on its drive had its entry synced in the journal first; each file copied
    // to another drive was synced, and so was its folder, before its original was removed.
    static void checkOrder(const std::vector<Call>& calls, const std::string& card,
                           const std::string& dest) {
        std::string copy;  // the copy being made, and what of it is synced
        bool copySynced = false, folderSynced = false;
        for (const Call& c : calls) {
            if (c.kind == Call::Rename && !under(c.path, gState)) {
                QVERIFY2(c.entrySynced, ("moved before its entry was synced: " + c.path).c_str());
            } else if (c.kind == Call::Create && under(c.path, dest)) {
                copy = c.path;
                copySynced = folderSynced = false;
            } else if (c.kind == Call::Sync) {
                copySynced = copySynced || (!copy.empty() && c.path == copy);
                folderSynced = folderSynced || (copySynced && c.path == dest);
            } else if (c.kind == Call::Unlink && under(c.path, card) && !copy.empty()) {
                QVERIFY2(copySynced && folderSynced,
                         ("original removed before its copy was synced: " + c.path).c_str());
                copy.clear();
            }
        }
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        card_ = std::make_unique<mountutil::Tmpfs>();
        if (!card_->skipReason().isEmpty()) {
            QSKIP(qPrintable(card_->skipReason()));
        }
        QVERIFY2(card_->isMounted(), qPrintable(card_->error()));
        fs::syscalls().renameat2 = recordRenameat2;
        fs::syscalls().unlinkat = recordUnlinkat;
        fs::syscalls().openat = recordOpenat;
        fs::syscalls().fsync = recordFsync;
    }
    void cleanupTestCase() { fs::syscalls() = fs::defaultSyscalls(); }

    // `fail`: whose sync fails ("" none); then how the merge ends, the files it moved, those it
    // left for the failed sync, and the sync error it reports.
    void syncs_data() {
        QTest::addColumn<QString>("fail");
        QTest::addColumn<int>("end");
        QTest::addColumn<int>("moved");
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("syncError");
        const int completed = int(fs::MergeResult::End::Completed);
        const int noJournal = int(fs::MergeResult::End::JournalFailed);
        QTest::newRow("every sync succeeds") << "" << completed << 4 << 0 << 0;
        // Nothing moves that the journal could not keep.
        QTest::newRow("the journal") << "journal" << noJournal << 0 << 0 << 0;
        QTest::newRow("the journal's folder") << "runs" << noJournal << 0 << 0 << 0;
        // A copy not on the disk for good: its original stays, named with the error.
        QTest::newRow("a copy on the destination's drive")
            << "all/card_card-one.jpg" << completed << 3 << 1 << 0;
        QTest::newRow("the destination folder") << "all" << completed << 2 << 2 << EIO;
        QTest::newRow("a source folder on the same drive") << "cats" << completed << 4 << 0 << EIO;
    }
    void syncs() {
        QFETCH(QString, fail);
        QFETCH(int, end);
        QFETCH(int, moved);
        QFETCH(int, left);
        QFETCH(int, syncError);
        const int completed = int(fs::MergeResult::End::Completed);
        testutil::TempFolder case_(tmp_.path().c_str());
        const std::string root = case_.path(), dest = root + "/all";
        const std::string card = card_->path() + "/" + QTest::currentDataTag() + "/card";
        gState = root + "/state";
        QCOMPARE(::mkdir(card.substr(0, card.rfind('/')).c_str(), 0755), 0);
        QCOMPARE(::mkdir(card.c_str(), 0755), 0);
        testutil::makeTree(
            root, {"cats/", "cats/cat-one.jpg:c1", "cats/cat-two.jpg:c2", "all/", "all/old.jpg:o"});
        testutil::makeTree(card, {"card-one.jpg:k1", "card-two.jpg:k2"});
        const Lines before = testutil::readTree(root), cardBefore = testutil::readTree(card);

        fs::MergeRequest request;
        request.sources = {root + "/cats", card};
        request.destination = dest;
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request, plan), 0);
        fs::MergeRunControl control;
        control.stateDir = gState;
        gCalls.clear();
        gJournalSynced.clear();
        gRoot = root;
        gFailSync = fail.toStdString();
        const fs::MergeResult result = fs::runMerge(plan, control);
        gFailSync.clear();
        const std::vector<Call> calls = gCalls;
        checkOrder(calls, card, dest);
        if (QTest::currentTestFailed()) {
            return;
        }

        const bool failed = std::any_of(calls.begin(), calls.end(),
                                        [](const Call& c) { return c.kind == Call::FailedSync; });
        QCOMPARE(failed, !fail.isEmpty());
        QCOMPARE(int(result.end), end);
        QCOMPARE(result.err, end == completed ? 0 : EIO);
        QCOMPARE(result.moved, std::int64_t(moved));
        QCOMPARE(result.left, std::int64_t(left));
        for (const fs::LeftFile& file : result.leftFiles) {
            QCOMPARE(file.err, EIO);
            QVERIFY2(testutil::exists(file.path), file.path.c_str());
        }
        QCOMPARE(result.syncError, syncError);
        // Nothing lost, whatever the merge did; its undo gives it all back.
        if (!result.journal.empty()) {
            const fs::UndoReport undo = fs::undoRun(result.journal);
            QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
            QVERIFY(undo.problems.empty());
        }
        Lines after = testutil::readTree(root);
        after.erase(std::remove_if(after.begin(), after.end(),
                                   [](const std::string& l) { return l.rfind("state", 0) == 0; }),
                    after.end());
        QCOMPARE(after, before);
        QCOMPARE(testutil::readTree(card), cardBefore);
    }

    // The undo's own syncs: one that fails is said, and every file is back all the same.
    void undoSyncFails_data() {
        QTest::addColumn<QString>("fail");
        QTest::newRow("a source folder") << "cats";
        QTest::newRow("the destination folder") << "all";
    }
    void undoSyncFails() {
        QFETCH(QString, fail);
        testutil::TempFolder case_(tmp_.path().c_str());
        const std::string root = case_.path();
        gRoot = root;
        gState = root + "/state";
        testutil::makeTree(root, {"cats/", "cats/a.jpg:a", "cats/b.jpg:b", "all/", "all/old:o"});
        const Lines before = testutil::readTree(root);
        fs::MergeRequest request;
        request.sources = {root + "/cats"};
        request.destination = root + "/all";
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request, plan), 0);
        fs::MergeRunControl control;
        control.stateDir = gState;
        const fs::MergeResult result = fs::runMerge(plan, control);
        QCOMPARE(result.moved, std::int64_t(2));
        gFailSync = fail.toStdString();
        const fs::UndoReport undo = fs::undoRun(result.journal);
        gFailSync.clear();
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QVERIFY(undo.problems.empty());
        QCOMPARE(undo.syncError, EIO);
        Lines after = testutil::readTree(root);
        after.erase(std::remove_if(after.begin(), after.end(),
                                   [](const std::string& l) { return l.rfind("state", 0) == 0; }),
                    after.end());
        QCOMPARE(after, before);
    }
};

QTEST_GUILESS_MAIN(TestDurability)
#include "tst_durability.moc"
