// Undo of the last run and recovery of a run that never ended, on real files: what comes back,
// what is left alone and reported, and journals that must never be acted on.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QTest>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "core/naming.h"
#include "core/paths.h"
#include "core/rename_run.h"
#include "fs/journal/journal.h"
#include "fs/journal/recorder.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/undo/undo.h"
#include "testutil.h"

using Names = std::vector<std::string>;
using UndoStatus = fs::UndoReport::Status;
using PendingStatus = fs::PendingRun::Status;
using fs::EntryProblem;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(Names)
Q_DECLARE_METATYPE(UndoStatus)
Q_DECLARE_METATYPE(PendingStatus)
Q_DECLARE_METATYPE(EntryProblem)

namespace {

// Who is under which name: inodes, which a rename keeps and a copy would not.
using Snapshot = std::map<std::string, ino_t>;

Snapshot snapshot(const std::string& folder) {
    Snapshot result;
    for (const std::string& name : testutil::entries(folder)) {
        struct stat st {};
        if (::lstat((folder + "/" + name).c_str(), &st) == 0) {
            result[name] = st.st_ino;
        }
    }
    return result;
}

std::string readAll(const std::string& path) {
    return testutil::readFile(path);
}

bool writeAll(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    return ::close(fd) == 0 && ok;
}

// The real run over every file of `folder`, with the journal; it cancels after `cancelAfter`
// renames when that is positive.
core::RunResult runWithJournal(const std::string& folder, int cancelAfter = 0) {
    fs::PlainFileList list(folder);
    list.selectAll();
    core::WorkList list1;
    core::WorkList list2;
    fs::PosixFileSystem fileSystem;
    fs::RunRecorder recorder(fs::stateDirectory());
    core::RunOptions options;
    options.journal = &recorder;
    options.progress = [cancelAfter](std::int64_t done, std::int64_t) {
        return cancelAfter <= 0 || done < cancelAfter;
    };
    return core::renameRun(list, list1, list2, fileSystem, options);
}

// A run over every file of each of `folders` kept as one journal, as the command line runs it:
// each folder's run prepared, its plan in the journal, before any is renamed in. A folder at or
// after `killedAt` is left as a kill leaves it once their plans are written: that one with only
// its first file renamed, the later ones untouched, and the journal never ended.
void runTree(const std::vector<std::string>& folders, std::size_t killedAt = SIZE_MAX) {
    struct Folder {
        std::unique_ptr<fs::PlainFileList> list;
        core::WorkList selection;
        core::WorkList renames;
        int fd = -1;
        std::unique_ptr<fs::RunRecorder::Folder> journal;
        fs::PosixFileSystem fileSystem;
        core::RunOptions options;
        core::PreparedRun run;
        ~Folder() { ::close(fd); }
    };
    fs::RunRecorder tree(fs::stateDirectory(), true);
    std::vector<std::unique_ptr<Folder>> runs;
    for (const std::string& folder : folders) {
        Folder& f = *runs.emplace_back(std::make_unique<Folder>());
        f.list = std::make_unique<fs::PlainFileList>(folder);
        f.list->selectAll();
        f.fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        f.journal = tree.folder(f.fd, *fs::fileIdAt(f.fd, "."));
        f.options.journal = f.journal.get();
        f.run = core::prepareRun(*f.list, f.selection, f.renames, f.fileSystem, f.options);
        QVERIFY(f.run.ready);
    }
    for (std::size_t f = 0; f < folders.size(); ++f) {
        Folder& run = *runs[f];
        if (f == killedAt) {
            for (std::size_t g = f; g < folders.size(); ++g) {
                std::int64_t kept = 0;
                QCOMPARE(runs[g]->journal->keep(runs[g]->renames.count(), kept), 0);
            }
            const std::string first(run.renames.at(0));
            QVERIFY(
                ::rename(
                    (folders[f] + "/" + first).c_str(),
                    core::joinPath(folders[f], core::prefixedName(folders[f], first)).c_str()) ==
                0);
            return;
        }
        QCOMPARE(core::performRun(run.run, *run.list, run.renames, run.options).end,
                 core::RunResult::End::Completed);
    }
    tree.markEnded();
    QCOMPARE(tree.endError(), 0);
}

}  // namespace

class TestUndo : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;
    std::string stateDir_;
    int serial_ = 0;

    // A new folder named `name` in a parent of its own, holding `files`.
    std::string makeFolder(const std::string& name, const Names& files) {
        // Of one length, so that every journal of the same names has the same size.
        char serial[16];
        std::snprintf(serial, sizeof serial, "%06d", ++serial_);
        const std::string parent = tmp_.path() + "/" + serial;
        const std::string dir = parent + "/" + name;
        if (::mkdir(parent.c_str(), 0755) != 0 || ::mkdir(dir.c_str(), 0755) != 0) {
            return {};
        }
        for (const std::string& f : files) {
            if (!testutil::makeFile(dir, f, "content of " + f)) {
                return {};
            }
        }
        return dir;
    }

    // Keeps the plan of a run renaming a and b in `dir`, as a run does before its first rename.
    int recordTwo(const std::string& dir) {
        core::WorkList names;
        names.append("a");
        names.append("b");
        fs::RunRecorder recorder(stateDir_);
        return recorder.begin(dir, names);
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        // Never the user's own state.
        QCOMPARE(::setenv("XDG_STATE_HOME", (tmp_.path() + "/state").c_str(), 1), 0);
        stateDir_ = fs::stateDirectory();
        QVERIFY(stateDir_.rfind(tmp_.path(), 0) == 0);
    }
    void init() { testutil::removeTree(fs::runsDirectory(stateDir_)); }

    // The journal of the newest run.
    std::string newestRun() {
        const std::vector<std::string> runs = fs::runJournals(stateDir_);
        return runs.empty() ? std::string() : runs.front();
    }

    // Whatever way the run ended, undo gives back the names it started with, the same files.
    void undoAfterRun_data() {
        QTest::addColumn<Names>("files");
        QTest::addColumn<int>("cancelAfter");
        QTest::addColumn<bool>("inOtherProcess");
        QTest::addColumn<int>("expectRenamedBack");
        QTest::newRow("complete") << Names{"a", "b", "c"} << 0 << false << 3;
        // "d_b" is taken, so the run stops at "b".
        QTest::newRow("failed") << Names{"a", "b", "d_b", "e"} << 0 << false << 1;
        QTest::newRow("cancelled") << Names{"a", "b", "c", "e"} << 2 << false << 2;
        QTest::newRow("after a restart") << Names{"a", "b", "c"} << 0 << true << 3;
        QTest::newRow("nothing renamed") << Names{"d_a", "a"} << 0 << false << 0;
    }
    void undoAfterRun() {
        QFETCH(Names, files);
        QFETCH(int, cancelAfter);
        QFETCH(bool, inOtherProcess);
        QFETCH(int, expectRenamedBack);
        const std::string dir = makeFolder("d", files);
        QVERIFY(!dir.empty());
        const Snapshot before = snapshot(dir);
        const auto contents = testutil::contents(dir);
        if (inOtherProcess) {
            const std::string progress = tmp_.path() + "/progress";
            QVERIFY(writeAll(progress, std::string(16, '\0')));
            QProcess run;
            run.start(QStringLiteral(KOVRA_KILL_HELPER),
                      {QString::fromStdString(dir), QString::fromStdString(progress)});
            QVERIFY(run.waitForFinished(30000));
            QCOMPARE(run.exitCode(), 0);
        } else {
            runWithJournal(dir, cancelAfter);
        }
        // A run that renamed nothing leaves nothing to undo.
        QCOMPARE(fs::hasUndo(stateDir_), expectRenamedBack > 0);
        QVERIFY(snapshot(dir) != before || expectRenamedBack == 0);

        const fs::UndoReport report = fs::undoLastRun(stateDir_);
        QCOMPARE(report.status, expectRenamedBack > 0 ? UndoStatus::Done : UndoStatus::Nothing);
        QCOMPARE(report.renamed, expectRenamedBack);
        QVERIFY(report.problems.empty());
        QCOMPARE(snapshot(dir), before);
        QCOMPARE(testutil::contents(dir), contents);
        // Nothing is left to undo; a second undo finds nothing.
        QVERIFY(!fs::hasUndo(stateDir_));
        QCOMPARE(fs::undoLastRun(stateDir_).status, UndoStatus::Nothing);
    }

    // The history tells each run's state as the journal and the lock say it, and undo takes
    // every run but one in progress or undone.
    void historyTellsEachRunsState_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("undoable");
        using State = fs::RunSummary::State;
        QTest::newRow("ended") << "end" << int(State::Done) << true;
        QTest::newRow("stopped by the user") << "cancel" << int(State::Cancelled) << true;
        QTest::newRow("killed") << "kill" << int(State::CutShort) << true;
        QTest::newRow("killed, its drive away") << "away" << int(State::Pending) << true;
        QTest::newRow("killed, left so") << "keep" << int(State::Kept) << true;
        QTest::newRow("partly undone") << "part" << int(State::PartlyUndone) << true;
        QTest::newRow("undone") << "undo" << int(State::Undone) << false;
        QTest::newRow("damaged") << "damage" << int(State::Bad) << true;
        QTest::newRow("in progress") << "live" << int(State::InProgress) << false;
    }
    void historyTellsEachRunsState() {
        QFETCH(QString, how);
        QFETCH(int, state);
        QFETCH(bool, undoable);
        fs::JournalWriter writer;
        QCOMPARE(writer.begin(stateDir_), 0);
        fs::FolderRecord folder;
        folder.path = "/pics/cats";
        folder.id = {1, 2};
        if (how == "away") {
            folder.place = {"UUID=0000-GONE", "/", "/media/gone", "pics/cats", "GONE"};
        }
        QCOMPARE(writer.addFolder(folder), 0);
        writer.add("a", "cats_a", {1, 3});
        writer.add("b", "cats_b", {1, 4});
        QCOMPARE(writer.commit(), 0);
        const std::string run = writer.path();
        if (how == "end" || how == "cancel") {
            QCOMPARE(writer.end(2, {}, how == "cancel"), 0);
        } else if (how != "live") {
            writer.close();
        }
        if (how == "keep") {
            QCOMPARE(fs::markKept(run), 0);
        } else if (how == "part") {
            QCOMPARE(fs::markPartlyUndone(run, 1, 2), 0);
        } else if (how == "undo") {
            QCOMPARE(fs::markUndone(run), 0);
        } else if (how == "damage") {
            QVERIFY(writeAll(run, "not a journal"));
        }
        const fs::RunSummary summary = fs::runHistory(stateDir_).at(0);
        QCOMPARE(int(summary.state), state);
        QCOMPARE(fs::undoable(run), undoable);
        if (how == "part") {
            QCOMPARE(summary.back, std::int64_t(1));
        } else if (how == "away") {
            QCOMPARE(summary.drive, std::string("GONE"));
        }
        // Undo refuses, and says why, rather than take an older run.
        if (how == "live") {
            const fs::UndoReport report = fs::undoLastRun(stateDir_);
            QCOMPARE(report.status, UndoStatus::InProgress);
            QCOMPARE(report.run, run);
        } else if (how == "undo") {
            QCOMPARE(fs::undoRun(run).status, UndoStatus::AlreadyUndone);
        }
    }

    // A file changed since the run is left as it is and named in the report; the rest comes back,
    // and the run stays partly undone, for the file may come back (an undo of a later run).
    void undoLeavesChangedFiles_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<EntryProblem>("problem");
        QTest::newRow("removed") << "remove" << EntryProblem::Missing;
        QTest::newRow("replaced") << "replace" << EntryProblem::Missing;
        QTest::newRow("moved away") << "move" << EntryProblem::Missing;
        QTest::newRow("old name taken") << "takeOld" << EntryProblem::NameTaken;
    }
    void undoLeavesChangedFiles() {
        QFETCH(QString, change);
        QFETCH(EntryProblem, problem);
        const bool kept = true;
        const std::string dir = makeFolder("d", {"a", "b", "c"});
        QVERIFY(!dir.empty());
        const Snapshot before = snapshot(dir);
        QCOMPARE(runWithJournal(dir).renamed, std::int64_t(3));
        const std::string path = dir + "/d_b";
        Snapshot expected = before;
        if (change == "remove") {
            QCOMPARE(::unlink(path.c_str()), 0);
            expected.erase("b");
        } else if (change == "replace") {
            // Made while the old file still exists, so it cannot get the old file's inode number.
            QVERIFY(testutil::makeFile(dir, "newcomer", "someone else's"));
            QCOMPARE(::rename((dir + "/newcomer").c_str(), path.c_str()), 0);
            expected.erase("b");
        } else if (change == "move") {
            QCOMPARE(::rename(path.c_str(), (dir + "/elsewhere").c_str()), 0);
            expected.erase("b");
        } else {
            QVERIFY(testutil::makeFile(dir, "b", "a new b"));
            expected.erase("b");
        }
        const auto left = snapshot(dir);

        const fs::UndoReport report = fs::undoLastRun(stateDir_);
        QCOMPARE(report.status, UndoStatus::Done);
        QCOMPARE(report.renamed, std::int64_t(2));
        QCOMPARE(report.problems.size(), std::size_t(1));
        QCOMPARE(report.problems[0].oldName, std::string("b"));
        QCOMPARE(report.problems[0].newName, std::string("d_b"));
        QCOMPARE(report.problems[0].problem, problem);
        QCOMPARE(report.journalKept, kept);
        QCOMPARE(fs::hasUndo(stateDir_), kept);
        QCOMPARE(fs::runHistory(stateDir_).at(0).state, fs::RunSummary::State::PartlyUndone);
        QCOMPARE(fs::runHistory(stateDir_).at(0).back, std::int64_t(2));
        QCOMPARE(fs::runHistory(stateDir_).at(0).backOf, std::int64_t(3));
        // A refusal is said with its reason, not as a file to be reached later.
        QCOMPARE(report.leftForLater, std::int64_t(0));
        // The changed name is exactly as it was left; the others are back.
        const Snapshot after = snapshot(dir);
        for (const auto& [name, inode] : left) {
            if (name != "d_a" && name != "d_c") {
                QCOMPARE(after.at(name), inode);
            }
        }
        QCOMPARE(after.at("a"), before.at("a"));
        QCOMPARE(after.at("c"), before.at("c"));
        QVERIFY(!after.count("d_a") && !after.count("d_c"));
    }

    // A run that never ended (the recorder began, some renames happened, no end): finish, undo or
    // keep it; an empty reservation left beside the first file not done goes in both first cases.
    void recoverPending_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("frontier");  // how the kill left the first file not done
        const char* const frontiers[] = {"clean", "reservation", "both names"};
        for (const char* action : {"finish", "undo", "keep"}) {
            for (const char* frontier : frontiers) {
                QTest::addRow("%s, %s", action, frontier) << action << frontier;
            }
        }
    }
    void recoverPending() {
        QFETCH(QString, action);
        QFETCH(QString, frontier);
        const Names files{"a", "b", "c", "e"};
        const std::string dir = makeFolder("d", files);
        QVERIFY(!dir.empty());
        const Snapshot before = snapshot(dir);
        fs::PlainFileList list(dir);
        core::WorkList renameList;
        for (const std::string& f : files) {
            renameList.append(f);
        }
        {
            fs::RunRecorder recorder(stateDir_, true);
            QCOMPARE(recorder.begin(dir, renameList), 0);
            // Killed after two renames, with the third in flight: the recorder goes as a kill
            // takes it, without an end.
            const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
            QVERIFY(dirfd >= 0);
            QVERIFY(fs::renameNoReplace(dirfd, "a", "d_a").done());
            QVERIFY(fs::renameNoReplace(dirfd, "b", "d_b").done());
            fs::RenameObserver* observer = recorder.observerFor(dir);
            QVERIFY(observer != nullptr);
            if (frontier == "reservation") {
                observer->reserving("d_c");
                QVERIFY(testutil::makeFile(dir, "d_c"));
                struct stat made {};
                QCOMPARE(::fstatat(dirfd, "d_c", &made, AT_SYMLINK_NOFOLLOW), 0);
                observer->reserved("d_c", made);
            } else if (frontier == "both names") {
                observer->linking("d_c");
                QCOMPARE(::linkat(dirfd, "c", dirfd, "d_c", 0), 0);
            }
            ::close(dirfd);
        }

        const fs::PendingRun pending = fs::pendingRun(stateDir_);
        QCOMPARE(pending.status, PendingStatus::Pending);
        QCOMPARE(pending.folder, dir);
        QCOMPARE(pending.done, frontier == "both names" ? 3 : 2);
        QCOMPARE(pending.notDone, frontier == "both names" ? 1 : 2);

        Snapshot expected;
        if (action == "finish") {
            const fs::UndoReport report = fs::finishPendingRun(stateDir_);
            QCOMPARE(report.status, UndoStatus::Done);
            QVERIFY(report.problems.empty());
            QCOMPARE(report.reservationsRemoved, frontier == "reservation" ? 1 : 0);
            for (const auto& [name, inode] : before) {
                expected["d_" + name] = inode;
            }
        } else if (action == "undo") {
            const fs::UndoReport report = fs::undoPendingRun(stateDir_);
            QCOMPARE(report.status, UndoStatus::Done);
            QVERIFY(report.problems.empty());
            QCOMPARE(report.reservationsRemoved, frontier == "reservation" ? 1 : 0);
            expected = before;
        } else {
            QCOMPARE(fs::keepPendingRun(stateDir_), 0);
            expected = snapshot(dir);
        }
        QCOMPARE(snapshot(dir), expected);
        // Asked once: after any answer the next start finds nothing pending; the menu still
        // offers the run left as it was, and the history counts what it did.
        QCOMPARE(fs::pendingRun(stateDir_).status, PendingStatus::None);
        QCOMPARE(fs::pendingRun(stateDir_, true).status,
                 action == "keep" ? PendingStatus::Pending : PendingStatus::None);
        if (action == "keep") {
            QCOMPARE(fs::runHistory(stateDir_).at(0).done, std::int64_t(pending.done));
        }
        QCOMPARE(fs::hasUndo(stateDir_), action != "undo");
        if (action != "undo") {
            // Still undoable as a whole.
            QCOMPARE(fs::undoLastRun(stateDir_).status, UndoStatus::Done);
            QCOMPARE(snapshot(dir), before);
        }
    }

    // Partly undone: the files that came back, of those the run changed; a file it never reached
    // is neither.
    void partlyUndoneCountsWhatCameBack() {
        const Names files{"a", "b", "c"};
        const std::string dir = makeFolder("p", files);
        QVERIFY(!dir.empty());
        core::WorkList renameList;
        for (const std::string& f : files) {
            renameList.append(f);
        }
        {
            fs::RunRecorder recorder(stateDir_, true);
            QCOMPARE(recorder.begin(dir, renameList), 0);
            const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
            QVERIFY(dirfd >= 0);
            QVERIFY(fs::renameNoReplace(dirfd, "a", "p_a").done());
            QVERIFY(fs::renameNoReplace(dirfd, "b", "p_b").done());
            ::close(dirfd);
        }
        QVERIFY(testutil::makeFile(dir, "b", "a new b"));
        const fs::UndoReport report = fs::undoLastRun(stateDir_);
        QCOMPARE(report.renamed, std::int64_t(1));
        const fs::RunSummary summary = fs::runHistory(stateDir_).at(0);
        QCOMPARE(summary.state, fs::RunSummary::State::PartlyUndone);
        QCOMPARE(summary.back, std::int64_t(1));
        QCOMPARE(summary.backOf, std::int64_t(2));
    }

    // A journal that is truncated, damaged or of another version is set aside at the first look
    // and never renames anything; one whose folder is gone is kept, and renames nothing either.
    void badJournal_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("at");
        QTest::addColumn<PendingStatus>("expected");
        // The size of a small journal, made once to know it. Every length and every byte is tried
        // on the reader itself (tst_journal); here a few of each show that nothing acts on them.
        const std::string dir = makeFolder("d", {"a", "b"});
        QVERIFY(!dir.empty());
        QCOMPARE(recordTwo(dir), 0);
        const int size = static_cast<int>(readAll(newestRun()).size());
        testutil::removeTree(fs::runsDirectory(stateDir_));
        QVERIFY(size > 0);
        for (const int n : {0, 1, size / 2}) {
            QTest::addRow("truncated to %d", n) << "truncate" << n << PendingStatus::BadJournal;
        }
        for (const int i : {0, size / 3, size / 2}) {
            QTest::addRow("byte %d flipped", i) << "flip" << i << PendingStatus::BadJournal;
        }
        // The last record as a kill leaves it, cut short or with its last bytes not written:
        // its renames never began, and this plan holds no other, so there is nothing to offer.
        QTest::addRow("last record cut short") << "truncate" << size - 1 << PendingStatus::None;
        QTest::addRow("last record not whole") << "flip" << size - 1 << PendingStatus::None;
        QTest::newRow("other version") << "version" << 0 << PendingStatus::BadJournal;
        QTest::newRow("folder gone") << "folder gone" << 0 << PendingStatus::FolderGone;
        QTest::newRow("other folder there") << "folder swapped" << 0 << PendingStatus::FolderGone;
    }
    void badJournal() {
        QFETCH(QString, damage);
        QFETCH(int, at);
        QFETCH(PendingStatus, expected);
        const std::string dir = makeFolder("d", {"a", "b"});
        QVERIFY(!dir.empty());
        QCOMPARE(recordTwo(dir), 0);
        // Half done: one file under its new name.
        QCOMPARE(::rename((dir + "/a").c_str(), (dir + "/d_a").c_str()), 0);
        const std::string path = newestRun();
        std::string data = readAll(path);
        if (damage == "truncate") {
            data.resize(static_cast<std::size_t>(at));
        } else if (damage == "flip") {
            data[static_cast<std::size_t>(at)] ^= 0x20;
        } else if (damage == "version") {
            // Another version, with a head checksum that matches it.
            data[8] = static_cast<char>(data[8] + 1);
            const std::uint64_t sum = fs::journalChecksum(std::string_view(data).substr(0, 24));
            for (std::size_t i = 0; i < 8; ++i) {
                data[24 + i] = static_cast<char>(sum >> (8 * i));
            }
        } else if (damage == "folder gone") {
            QVERIFY(testutil::removeTree(dir));
        } else {
            QCOMPARE(::rename(dir.c_str(), (dir + ".old").c_str()), 0);
            QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
            QVERIFY(testutil::makeFile(dir, "d_a") && testutil::makeFile(dir, "b"));
        }
        QVERIFY(writeAll(path, data));
        const Snapshot before = snapshot(dir);

        const fs::PendingRun pending = fs::pendingRun(stateDir_);
        QCOMPARE(pending.status, expected);
        QCOMPARE(snapshot(dir), before);
        if (expected == PendingStatus::None) {
            QCOMPARE(fs::undoLastRun(stateDir_).renamed, std::int64_t(0));
            QCOMPARE(snapshot(dir), before);
            return;
        }
        if (expected == PendingStatus::FolderGone) {
            // Kept, as the folder may come back; asked about again, and nothing renamed.
            QCOMPARE(fs::pendingRun(stateDir_).status, PendingStatus::FolderGone);
            QCOMPARE(fs::undoLastRun(stateDir_).status, UndoStatus::FolderGone);
            QCOMPARE(snapshot(dir), before);
            return;
        }
        // Set aside, once: the next look finds nothing, and undo does nothing.
        QVERIFY(!fs::hasUndo(stateDir_));
        QCOMPARE(readAll(path + ".bad"), data);
        QCOMPARE(fs::pendingRun(stateDir_).status, PendingStatus::None);
        QCOMPARE(fs::undoLastRun(stateDir_).status, UndoStatus::Nothing);
        QCOMPARE(snapshot(dir), before);
    }

    // The same journal damaged, read first by undo: set aside, nothing renamed.
    void badJournalOnUndo() {
        const std::string dir = makeFolder("d", {"a", "b"});
        QVERIFY(!dir.empty());
        runWithJournal(dir);
        const std::string path = newestRun();
        std::string data = readAll(path);
        data[data.size() / 2] ^= 1;
        QVERIFY(writeAll(path, data));
        const Snapshot before = snapshot(dir);
        QCOMPARE(fs::undoLastRun(stateDir_).status, UndoStatus::BadJournal);
        QCOMPARE(snapshot(dir), before);
        QVERIFY(!fs::hasUndo(stateDir_));
    }

    // A run over three folders is undone as a whole, last folder first. A folder gone or
    // replaced since is left as it is and its files reported; the others come back.
    void undoOverSeveralFolders_data() {
        QTest::addColumn<QString>("change");  // to the second folder
        QTest::addColumn<UndoStatus>("status");
        QTest::addColumn<int>("renamedBack");
        QTest::newRow("all there") << "none" << UndoStatus::Done << 5;
        QTest::newRow("one folder gone") << "remove" << UndoStatus::Done << 3;
        QTest::newRow("one folder replaced") << "replace" << UndoStatus::Done << 3;
        QTest::newRow("every folder gone") << "remove all" << UndoStatus::FolderGone << 0;
    }
    void undoOverSeveralFolders() {
        QFETCH(QString, change);
        QFETCH(UndoStatus, status);
        QFETCH(int, renamedBack);
        const std::vector<std::string> folders{makeFolder("d", {"a", "b"}),
                                               makeFolder("e", {"a", "b"}), makeFolder("f", {"c"})};
        std::vector<Snapshot> before;
        for (const std::string& folder : folders) {
            QVERIFY(!folder.empty());
            before.push_back(snapshot(folder));
        }
        runTree(folders);
        QVERIFY(!QTest::currentTestFailed());
        QCOMPARE(snapshot(folders[1]).count("e_a"), std::size_t(1));
        const std::string moved = folders[1] + ".moved";
        if (change == "remove") {
            QVERIFY(testutil::removeTree(folders[1]));
        } else if (change == "replace") {
            QCOMPARE(::rename(folders[1].c_str(), moved.c_str()), 0);
            QCOMPARE(::mkdir(folders[1].c_str(), 0755), 0);
            QVERIFY(testutil::makeFile(folders[1], "e_a"));
        } else if (change == "remove all") {
            for (const std::string& folder : folders) {
                QVERIFY(testutil::removeTree(folder));
            }
        }
        const Snapshot second = change == "none" ? Snapshot{} : snapshot(folders[1]);
        const Snapshot movedAway = snapshot(moved);

        const fs::UndoReport report = fs::undoLastRun(stateDir_);
        QCOMPARE(report.status, status);
        QCOMPARE(report.renamed, renamedBack);
        QCOMPARE(report.folders, folders);
        if (change == "none") {
            QVERIFY(report.problems.empty());
            QCOMPARE(snapshot(folders[1]), before[1]);
        } else if (status == UndoStatus::Done) {
            // The second folder's two entries, named with their folder, and nothing done there.
            QCOMPARE(report.problems.size(), std::size_t(2));
            for (const fs::EntryReport& e : report.problems) {
                QCOMPARE(e.folder, folders[1]);
                QCOMPARE(e.problem, EntryProblem::FolderGone);
            }
            QCOMPARE(snapshot(folders[1]), second);
            QCOMPARE(snapshot(moved), movedAway);
        }
        if (status == UndoStatus::Done) {
            QCOMPARE(snapshot(folders[0]), before[0]);
            QCOMPARE(snapshot(folders[2]), before[2]);
            // A folder gone may come back: the run stays partly undone until it does.
            QCOMPARE(fs::hasUndo(stateDir_), change != "none");
        } else {
            // Kept: the folders may come back.
            QCOMPARE(fs::undoLastRun(stateDir_).status, UndoStatus::FolderGone);
        }
    }

    // A run over three folders killed in the second: the counts are those of the whole run;
    // finish goes on in its order, undo takes back every folder.
    void pendingOverSeveralFolders_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("nameTaken");  // in the second folder, before finish reaches it
        QTest::newRow("finish") << "finish" << false;
        QTest::newRow("finish stops at a name taken") << "finish" << true;
        QTest::newRow("undo") << "undo" << false;
    }
    void pendingOverSeveralFolders() {
        QFETCH(QString, action);
        QFETCH(bool, nameTaken);
        const std::vector<std::string> folders{
            makeFolder("d", {"a", "b"}), makeFolder("e", {"a", "b", "c"}), makeFolder("f", {"c"})};
        std::vector<Snapshot> before;
        for (const std::string& folder : folders) {
            QVERIFY(!folder.empty());
            before.push_back(snapshot(folder));
        }
        runTree(folders, 1);
        QVERIFY(!QTest::currentTestFailed());

        const fs::PendingRun pending = fs::pendingRun(stateDir_);
        QCOMPARE(pending.status, PendingStatus::Pending);
        QCOMPARE(pending.folder, folders[0]);
        QCOMPARE(pending.folders, folders);
        QCOMPARE(pending.done, std::int64_t(3));
        QCOMPARE(pending.notDone, std::int64_t(3));
        QCOMPARE(pending.missing, std::int64_t(0));

        if (action == "undo") {
            const fs::UndoReport report = fs::undoPendingRun(stateDir_);
            QCOMPARE(report.status, UndoStatus::Done);
            QCOMPARE(report.renamed, std::int64_t(3));
            QVERIFY(report.problems.empty());
            for (std::size_t f = 0; f < folders.size(); ++f) {
                QCOMPARE(snapshot(folders[f]), before[f]);
            }
            return;
        }
        if (nameTaken) {
            QVERIFY(testutil::makeFile(folders[1], "e_b", "someone else's"));
        }
        const fs::UndoReport report = fs::finishPendingRun(stateDir_);
        QCOMPARE(report.status, UndoStatus::Done);
        if (nameTaken) {
            // Stopped at "b" as the run stops; "c" and the third folder not reached.
            QCOMPARE(report.renamed, std::int64_t(0));
            QCOMPARE(report.problems.size(), std::size_t(3));
            QCOMPARE(report.problems[0].problem, EntryProblem::NameTaken);
            QCOMPARE(report.problems[1].problem, EntryProblem::NotReached);
            QCOMPARE(report.problems[2].problem, EntryProblem::NotReached);
            QCOMPARE(report.problems[2].folder, folders[2]);
            QCOMPARE(snapshot(folders[2]), before[2]);
        } else {
            QCOMPARE(report.renamed, std::int64_t(3));
            QVERIFY(report.problems.empty());
            for (std::size_t f = 0; f < folders.size(); ++f) {
                const std::string prefix = core::fileName(folders[f]) + "_";
                for (const auto& [name, inode] : before[f]) {
                    QCOMPARE(snapshot(folders[f]).at(prefix + name), inode);
                }
            }
        }
        // Ended, and still undoable as a whole.
        QCOMPARE(fs::pendingRun(stateDir_).status, PendingStatus::None);
        if (nameTaken) {
            QVERIFY(::unlink((folders[1] + "/e_b").c_str()) == 0);
        }
        QCOMPARE(fs::undoLastRun(stateDir_).status, UndoStatus::Done);
        for (std::size_t f = 0; f < folders.size(); ++f) {
            QCOMPARE(snapshot(folders[f]), before[f]);
        }
    }

    // The journal cannot be written: the run renames nothing and says why.
    void journalCannotBeWritten() {
        const std::string dir = makeFolder("d", {"a", "b"});
        QVERIFY(!dir.empty());
        // A state folder that cannot be made, even by root: a file stands where its parent goes.
        QVERIFY(testutil::makeFile(tmp_.path(), "notafolder"));
        const std::string readOnly = tmp_.path() + "/notafolder";
        fs::PlainFileList list(dir);
        list.selectAll();
        core::WorkList list1;
        core::WorkList list2;
        fs::PosixFileSystem fileSystem;
        fs::RunRecorder recorder(readOnly + "/kovra");
        core::RunOptions options;
        options.journal = &recorder;
        const Snapshot before = snapshot(dir);
        const core::RunResult r = core::renameRun(list, list1, list2, fileSystem, options);
        QCOMPARE(r.end, core::RunResult::End::JournalFailed);
        QVERIFY(r.journalError != 0);
        QCOMPARE(r.renamed, std::int64_t(0));
        QCOMPARE(snapshot(dir), before);
        // The selection stands for a run without the journal.
        QCOMPARE(list.selectedRanges().size(), std::size_t(1));
    }
};

QTEST_GUILESS_MAIN(TestUndo)
#include "tst_undo.moc"
