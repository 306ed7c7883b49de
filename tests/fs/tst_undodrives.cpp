// Undo and finish where pictures live: a card taken out and put back at another mount point, a
// drive away when the program starts, a second process beside a live run, and names that look
// like leftovers of ours but are not.

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <QProcess>
#include <QTest>
#include <atomic>
#include <map>
#include <memory>
#include <set>

#include "core/rename_run.h"
#include "crashpoint.h"
#include "fs/journal/recorder.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/undo/undo.h"
#include "mountutil.h"
#include "testutil.h"

using mountutil::Image;
using Contents = std::map<std::string, std::string>;
using PendingStatus = fs::PendingRun::Status;
using UndoStatus = fs::UndoReport::Status;
Q_DECLARE_METATYPE(Image)

namespace {

// Hands the plan on and drops the end: the journal is left as a kill leaves it.
class KilledJournal : public core::RunJournal {
public:
    explicit KilledJournal(fs::RunRecorder& recorder) : recorder_(recorder) {}
    int begin(const std::string& folder, const core::WorkList& list,
              const core::Folder* opened) override {
        return recorder_.begin(folder, list, opened);
    }
    void end(std::int64_t) override {}

private:
    fs::RunRecorder& recorder_;
};

// The window's run over every file of `folder`; with `killAfter` > 0 it stops after that many
// renames as a kill stops it, its journal never ended.
std::int64_t run(const std::string& folder, int killAfter = 0) {
    fs::PlainFileList list(folder);
    list.selectAll();
    core::WorkList selection;
    core::WorkList renames;
    fs::RunRecorder recorder(fs::stateDirectory(), true);
    KilledJournal killed(recorder);
    fs::PosixFileSystem fileSystem(&recorder);
    core::RunOptions options;
    options.journal = killAfter > 0 ? static_cast<core::RunJournal*>(&killed) : &recorder;
    options.progress = [killAfter](std::int64_t done, std::int64_t) {
        return killAfter <= 0 || done < killAfter;
    };
    return core::renameRun(list, selection, renames, fileSystem, options).renamed;
}

// Files of different sizes, so that each is told apart where only size and time can tell.
Contents makePhotos(const std::string& folder, int n) {
    Contents made;
    for (int i = 1; i <= n; ++i) {
        const std::string name = "IMG_" + std::to_string(i) + ".JPG";
        made[name] = std::string(static_cast<std::size_t>(i) * 100, static_cast<char>('a' + i));
        testutil::makeFile(folder, name, made[name]);
    }
    return made;
}

// The names a user sees in DCIM once each carries the folder's name.
Contents inDcim(const Contents& files) {
    Contents out;
    for (const auto& [name, data] : files) {
        out["DCIM_" + name] = data;
    }
    return out;
}

// Looks every name up from the last to the first: drives that number files as they are looked
// up then give each another number than before.
void lookUpBackwards(const std::string& folder) {
    std::vector<std::string> names = testutil::entries(folder);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        struct stat st {};
        ::lstat((folder + "/" + *it).c_str(), &st);
    }
}

ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

class TestUndoDrives : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;

    void clearRuns() { testutil::removeTree(fs::runsDirectory(fs::stateDirectory())); }

private slots:
    void init() { clearRuns(); }

    // A card taken out and put back elsewhere: undo finds the folder by the drive's identity and
    // the files by what survives the new mount. A run cut short is kept while the card is out,
    // and finished once it is back.
    void cardTakenOutAndPutBack_data() {
        QTest::addColumn<Image>("kind");
        QTest::addColumn<bool>("cutShort");
        QTest::addColumn<bool>("firstDeleted");
        for (const auto& [kind, name] :
             {std::pair{Image::ExFat, "exFAT"}, {Image::Fat, "FAT"}, {Image::Ext4, "ext4"}}) {
            QTest::addRow("%s, undo", name) << kind << false << false;
            QTest::addRow("%s, undo with the first file deleted", name) << kind << false << true;
            QTest::addRow("%s, cut short while the card is out, then finished", name)
                << kind << true << false;
        }
    }
    void cardTakenOutAndPutBack() {
        QFETCH(Image, kind);
        QFETCH(bool, cutShort);
        QFETCH(bool, firstDeleted);
        mountutil::ImageMount card(kind);
        if (!card.skipReason().isEmpty()) {
            QSKIP(qPrintable(card.skipReason()));
        }
        QVERIFY2(card.isMounted(), qPrintable(card.error()));
        const std::string dcim = card.path() + "/DCIM";
        QCOMPARE(::mkdir(dcim.c_str(), 0755), 0);
        const Contents photos = makePhotos(dcim, 5);
        QCOMPARE(run(dcim, cutShort ? 2 : 0), cutShort ? 2 : 5);
        if (cutShort) {
            QVERIFY(card.unmount());
            const fs::PendingRun away = fs::pendingRun(fs::stateDirectory());
            QCOMPARE(away.status, PendingStatus::DriveAbsent);
            QVERIFY(!away.drive.empty());
            QVERIFY(card.putBack());
        } else {
            QVERIFY(card.remount());
        }
        const std::string moved = card.path() + "/DCIM";
        QVERIFY(moved != dcim);
        lookUpBackwards(moved);
        Contents expected = photos;
        if (cutShort) {
            QCOMPARE(fs::pendingRun(fs::stateDirectory()).status, PendingStatus::Pending);
            const fs::UndoReport report = fs::finishPendingRun(fs::stateDirectory());
            QCOMPARE(report.status, UndoStatus::Done);
            QCOMPARE(report.renamed, std::int64_t{3});
            QVERIFY(report.problems.empty());
            expected = inDcim(photos);
        } else {
            if (firstDeleted) {
                QCOMPARE(::unlink((moved + "/DCIM_IMG_1.JPG").c_str()), 0);
                expected.erase(photos.begin()->first);
            }
            const fs::UndoReport report = fs::undoLastRun(fs::stateDirectory());
            QCOMPARE(report.status, UndoStatus::Done);
            QCOMPARE(report.renamed, static_cast<std::int64_t>(expected.size()));
            QCOMPARE(report.problems.size(), std::size_t{firstDeleted});
        }
        QCOMPARE(testutil::contents(moved), expected);
    }

    // Names that look like what a rename cut short leaves, but that the run did not make, are
    // never removed, by undo or by finish.
    void leftoversThatAreNotOurs_data() {
        QTest::addColumn<QString>("made");  // under b's new name before the run
        QTest::addColumn<bool>("finish");
        for (const char* made : {"a file with data", "an empty file", "a hard link to b"}) {
            QTest::addRow("%s, undo", made) << made << false;
            QTest::addRow("%s, finish", made) << made << true;
        }
    }
    void leftoversThatAreNotOurs() {
        QFETCH(QString, made);
        QFETCH(bool, finish);
        const std::string parent = tmp_.path() + "/" + QTest::currentDataTag();
        const std::string dir = parent + "/d";
        QCOMPARE(::mkdir(parent.c_str(), 0755), 0);
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        for (const char* name : {"a", "b", "c"}) {
            QVERIFY(testutil::makeFile(dir, name, std::string("data of ") + name));
        }
        if (made == "a hard link to b") {
            QCOMPARE(::link((dir + "/b").c_str(), (dir + "/d_b").c_str()), 0);
        } else {
            QVERIFY(testutil::makeFile(dir, "d_b", made == "an empty file" ? "" : "user's"));
        }
        const ino_t theirs = inodeOf(dir + "/d_b");
        QCOMPARE(run(dir, 1), 1);  // a renamed, then killed before b
        const fs::UndoReport report = finish ? fs::finishPendingRun(fs::stateDirectory())
                                             : fs::undoPendingRun(fs::stateDirectory());
        QCOMPARE(report.status, UndoStatus::Done);
        QCOMPARE(report.reservationsRemoved, std::int64_t{0});
        QCOMPARE(inodeOf(dir + "/d_b"), theirs);
        QVERIFY(testutil::exists(dir + "/b"));
        if (finish) {
            QCOMPARE(report.problems.at(0).problem, fs::EntryProblem::NameTaken);
        } else {
            QVERIFY(report.problems.empty());
            QVERIFY(testutil::exists(dir + "/a"));
        }
    }

    // Two photos of one size and time on a drive that tells files apart by size and time alone:
    // the name one left is never taken for a second name of the other, whose removal would lose
    // it, neither by undo after the user saved a new file under the other's old name, nor by
    // finishing a run cut short.
    void twinsAreNeverOneFile_data() {
        QTest::addColumn<bool>("finish");
        QTest::newRow("undo after a new b.jpg") << false;
        QTest::newRow("finish after a kill") << true;
    }
    void twinsAreNeverOneFile() {
        QFETCH(bool, finish);
        mountutil::ImageMount card(Image::ExFat);
        if (!card.skipReason().isEmpty()) {
            QSKIP(qPrintable(card.skipReason()));
        }
        QVERIFY2(card.isMounted(), qPrintable(card.error()));
        const std::string dir = card.path() + "/a";
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        QVERIFY(testutil::makeFile(dir, "a_b.jpg", "PHOTO-ONE\n"));
        QVERIFY(testutil::makeFile(dir, "b.jpg", "PHOTO-TWO\n"));
        QVERIFY(testutil::makeFile(dir, "c.jpg", "PHOTO-THREE\n"));
        const timespec taken[2] = {{1600000000, 0}, {1600000000, 0}};
        for (const char* name : {"a_b.jpg", "b.jpg"}) {
            QCOMPARE(::utimensat(AT_FDCWD, (dir + "/" + name).c_str(), taken, 0), 0);
        }
        std::multiset<std::string> expected{"PHOTO-ONE\n", "PHOTO-TWO\n", "PHOTO-THREE\n"};
        fs::UndoReport report;
        if (finish) {
            QCOMPARE(run(dir, 2), 2);  // a_b and b renamed, c not yet
            report = fs::finishPendingRun(fs::stateDirectory());
        } else {
            QCOMPARE(run(dir), 3);
            QVERIFY(testutil::makeFile(dir, "b.jpg", "the user's new picture"));
            expected.insert("the user's new picture");
            report = fs::undoLastRun(fs::stateDirectory());
        }
        QCOMPARE(report.status, UndoStatus::Done);
        std::multiset<std::string> found;
        for (const auto& [name, data] : testutil::contents(dir)) {
            found.insert(data);
        }
        QCOMPARE(found, expected);
    }

    // An undo killed on a card between the reservation of an old name and the rename onto it:
    // the next undo knows the empty file for the undo's own, and completes.
    void undoCutShortIsFinishedByTheNext() {
        mountutil::ImageMount card(Image::ExFat);
        if (!card.skipReason().isEmpty()) {
            QSKIP(qPrintable(card.skipReason()));
        }
        QVERIFY2(card.isMounted(), qPrintable(card.error()));
        const std::string dcim = card.path() + "/DCIM";
        QCOMPARE(::mkdir(dcim.c_str(), 0755), 0);
        const Contents photos = makePhotos(dcim, 3);
        QCOMPARE(run(dcim), 3);
        // The last file goes back first: its flag rename refused, then the one onto the
        // reservation.
        QVERIFY(crashpoint::runKilledAt(
            {crashpoint::Call::Rename, 2, crashpoint::When::Before, "DCIM_IMG_3.JPG"},
            [] { fs::undoLastRun(fs::stateDirectory()); }));
        QCOMPARE(testutil::readFile(dcim + "/IMG_3.JPG"), std::string());
        const fs::UndoReport report = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(report.status, UndoStatus::Done);
        QVERIFY(report.problems.empty());
        QCOMPARE(report.renamed, std::int64_t{3});
        QCOMPARE(testutil::contents(dcim), photos);
    }

    // A file made after the run that got the number of a file the run renamed is not that file.
    void reusedInodeNumber() {
        mountutil::ImageMount disk(Image::Ext4);
        if (!disk.skipReason().isEmpty()) {
            QSKIP(qPrintable(disk.skipReason()));
        }
        QVERIFY2(disk.isMounted(), qPrintable(disk.error()));
        const std::string dir = disk.path() + "/cats";
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        QVERIFY(testutil::makeFile(dir, "a", "a") && testutil::makeFile(dir, "b", "old b"));
        QCOMPARE(run(dir), 2);
        const ino_t number = inodeOf(dir + "/cats_b");
        QCOMPARE(::unlink((dir + "/cats_b").c_str()), 0);
        // Made after the run by the file's own clock too, however soon the run ended.
        QVERIFY(testutil::waitPastClockTick());
        QVERIFY(testutil::makeFile(dir, "cats_b", "a new file"));
        // With a journal ext4 skips no recently freed inode: a new file takes the first free
        // number of its folder's group, the one just freed. Any other number is a failure of
        // the test's set-up, not a reason to skip.
        QVERIFY2(inodeOf(dir + "/cats_b") == number,
                 "ext4 gave the new file another inode number: nothing to tell apart");
        const fs::UndoReport report = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(report.renamed, std::int64_t{1});
        QCOMPARE(report.problems.size(), std::size_t{1});
        QCOMPARE(report.problems[0].problem, fs::EntryProblem::Missing);
        QCOMPARE(testutil::readFile(dir + "/cats_b"), std::string("a new file"));
        QVERIFY(!testutil::exists(dir + "/b"));
    }

    // "Leave it as it is", then undo an hour later: the reservation is recognised by what the
    // journal recorded of it, not by a clock.
    void leftThenUndoneAnHourLater() {
        const std::string dir = tmp_.path() + "/later";
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        for (const char* name : {"a", "b", "c"}) {
            QVERIFY(testutil::makeFile(dir, name, name));
        }
        {
            fs::RunRecorder recorder(fs::stateDirectory(), true);
            core::WorkList names;
            for (const char* name : {"a", "b", "c"}) {
                names.append(name);
            }
            QCOMPARE(recorder.begin(dir, names), 0);
            const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
            fs::RenameMethod method = fs::RenameMethod::Unknown;
            QVERIFY(fs::renameNoReplace(fd, "a", "later_a", method).done());
            // Killed between the reservation of c's new name and the rename onto it.
            QVERIFY(testutil::makeFile(dir, "later_b"));
            struct stat made {};
            QCOMPARE(::fstatat(fd, "later_b", &made, AT_SYMLINK_NOFOLLOW), 0);
            recorder.observerFor(dir)->reserved("later_b", made);
            ::close(fd);
        }
        QCOMPARE(fs::keepPendingRun(fs::stateDirectory()), 0);
        const timespec hourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
        for (const std::string& path :
             {dir + "/later_a", dir + "/later_b", fs::runJournals(fs::stateDirectory()).at(0)}) {
            QCOMPARE(::utimensat(AT_FDCWD, path.c_str(), hourAgo, 0), 0);
        }
        const fs::UndoReport report = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(report.status, UndoStatus::Done);
        QCOMPARE(report.renamed, std::int64_t{1});
        QCOMPARE(report.reservationsRemoved, std::int64_t{1});
        QCOMPARE(testutil::entries(dir), (std::vector<std::string>{"a", "b", "c"}));
    }

    // A run in progress in another process is never offered, never undone, never dropped; undo
    // takes it back whole once it has ended.
    void liveRunInAnotherProcess() {
        const std::string dir = tmp_.path() + "/live";
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        for (int i = 0; i < 20000; ++i) {
            QVERIFY(testutil::makeFile(dir, "f" + std::to_string(i)));
        }
        const Contents before = testutil::contents(dir);
        const std::string progress = tmp_.path() + "/progress";
        QVERIFY(testutil::makeFile(tmp_.path(), "progress", std::string(16, '\0')));
        const int fd = ::open(progress.c_str(), O_RDWR);
        auto* counters = static_cast<std::int64_t*>(
            ::mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        ::close(fd);
        QVERIFY(counters != MAP_FAILED);
        QProcess helper;
        helper.start(QStringLiteral(KOVRA_KILL_HELPER),
                     {QString::fromStdString(dir), QString::fromStdString(progress)});
        QVERIFY(helper.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(std::atomic_ref(counters[1]).load() > 100, 30000);
        QCOMPARE(::kill(static_cast<pid_t>(helper.processId()), SIGSTOP), 0);
        const std::string live = fs::runJournals(fs::stateDirectory()).at(0);
        QCOMPARE(fs::pendingRun(fs::stateDirectory()).status, PendingStatus::None);
        // The newest run is live: undo refuses rather than take an older one.
        QCOMPARE(fs::undoLastRun(fs::stateDirectory()).status, UndoStatus::InProgress);
        QCOMPARE(fs::undoRun(live).status, UndoStatus::InProgress);
        QCOMPARE(fs::finishRun(live).status, UndoStatus::InProgress);
        QCOMPARE(fs::dropRun(live), EWOULDBLOCK);
        QCOMPARE(fs::runHistory(fs::stateDirectory()).at(0).state,
                 fs::RunSummary::State::InProgress);
        // A run of this process meanwhile, elsewhere, is its own to undo.
        const std::string other = tmp_.path() + "/other";
        QCOMPARE(::mkdir(other.c_str(), 0755), 0);
        const Contents photos = makePhotos(other, 3);
        QCOMPARE(run(other), 3);
        const fs::UndoReport mine = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(mine.renamed, std::int64_t{3});
        QCOMPARE(testutil::contents(other), photos);
        QCOMPARE(::kill(static_cast<pid_t>(helper.processId()), SIGCONT), 0);
        QVERIFY(helper.waitForFinished(60000));
        QCOMPARE(helper.exitCode(), 0);
        ::munmap(counters, 16);
        const fs::UndoReport report = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(report.status, UndoStatus::Done);
        QCOMPARE(report.renamed, std::int64_t{20000});
        QCOMPARE(testutil::contents(dir), before);
    }
};

QTEST_GUILESS_MAIN(TestUndoDrives)
#include "tst_undodrives.moc"
