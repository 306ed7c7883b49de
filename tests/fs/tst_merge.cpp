// The merge engine on real files: what it moves, trashes and leaves, and its undo, which must
// give every file back on its own inode (a copy back from another drive: its bytes), make the
// removed folders again as they were, and leave the Trash as it found it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QScopeGuard>
#include <QTest>

#include <map>
#include <string>
#include <vector>

#include "fs/merge/merge.h"
#include "fs/undo/undo.h"
#include "mountutil.h"
#include "testutil.h"

using Lines = std::vector<std::string>;
Q_DECLARE_METATYPE(Lines)

namespace {

// A tree as lines: "dir/" a folder, "name@target" a symbolic link, "name:content" a file.
void makeTree(const std::string& root, const Lines& tree) {
    for (const std::string& line : tree) {
        const std::string path = root + "/" + line;
        if (line.back() == '/') {
            QVERIFY(::mkdir(path.c_str(), 0750) == 0);
        } else if (const auto at = line.find('@'); at != std::string::npos) {
            QVERIFY(::symlink(line.substr(at + 1).c_str(),
                              path.substr(0, path.find('@')).c_str()) == 0);
        } else {
            const auto colon = line.find(':');
            QVERIFY(testutil::makeFile(root, line.substr(0, colon), line.substr(colon + 1)));
        }
    }
}

// Every entry below `root`: a file by inode, mode and content, a folder by mode and modification
// time.
struct Seen {
    ino_t inode = 0;
    std::string data;
    bool operator==(const Seen&) const = default;
};
using Inventory = std::map<std::string, Seen>;

void inventory(const std::string& root, const std::string& prefix, bool withInodes,
               Inventory& out) {
    for (const std::string& name : testutil::entries(root + "/" + prefix)) {
        const std::string relative = prefix + name;
        struct stat st {};
        ::lstat((root + "/" + relative).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            out[relative + "/"] = {
                0, std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec)};
            inventory(root, relative + "/", withInodes, out);
        } else {
            out[relative] = {
                withInodes ? st.st_ino : 0,
                std::to_string(st.st_mode) + " " + testutil::readFile(root + "/" + relative)};
        }
    }
}

Inventory inventory(const std::string& root, bool withInodes = true) {
    Inventory out;
    inventory(root, "", withInodes, out);
    return out;
}

// Folders keep their times only where the merge removed and undo made them again.
Inventory withoutFolderTimes(Inventory inv, const Inventory& remade) {
    for (auto& [name, seen] : inv) {
        if (name.back() == '/' && remade.count(name) == 0) {
            seen.data = seen.data.substr(0, seen.data.find(' '));
        }
    }
    return inv;
}

fs::MergeRequest request(const std::string& root, const Lines& sources, const std::string& dest,
                         const QByteArray& options) {
    fs::MergeRequest r;
    for (const std::string& source : sources) {
        r.sources.push_back(root + "/" + source);
    }
    r.destination = root + "/" + dest;
    r.all = options.contains("all");
    r.keepDuplicates = options.contains("keep-duplicates");
    r.number = options.contains("number");
    r.keepFolders = options.contains("keep-folders");
    return r;
}

}  // namespace

class TestMerge : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;
    std::string trash_;

    // Merges, checks the counts, undoes, and checks that all is as before.
    void mergeThenUndo(const std::string& root, const std::string& dest, const fs::MergeRequest& r,
                       const std::vector<int>& counts, bool sameDrive) {
        const Inventory before = inventory(root, sameDrive);
        const Inventory destBefore = inventory(dest, sameDrive);
        const Inventory trashBefore = inventory(trash_, false);
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(r, plan), 0);
        const fs::MergeResult result = fs::runMerge(plan);
        QCOMPARE(int(result.end), int(fs::MergeResult::End::Completed));
        QCOMPARE((std::vector<int>{int(result.moved), int(result.trashed), int(result.left),
                                   int(result.foldersRemoved)}),
                 counts);
        QCOMPARE(testutil::entries(trash_ + "/files").size(), std::size_t(result.trashed));

        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QVERIFY(undo.problems.empty());
        QCOMPARE(undo.renamed, result.moved + result.trashed);
        Inventory remade;
        for (const auto& [name, seen] : before) {
            if (name.back() == '/' && !testutil::exists(root + "/" + name)) {
                remade[name] = seen;
            }
        }
        QCOMPARE(withoutFolderTimes(inventory(root, sameDrive), remade),
                 withoutFolderTimes(before, remade));
        QCOMPARE(withoutFolderTimes(inventory(dest, sameDrive), {}),
                 withoutFolderTimes(destBefore, {}));
        QCOMPARE(withoutFolderTimes(inventory(trash_, false), {}),
                 withoutFolderTimes(trashBefore, {}));
        QCOMPARE(fs::lastUndoableRun(fs::stateDirectory()), std::string());
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        testutil::removeTree(fs::runsDirectory(fs::stateDirectory()));
        // The Trash of these tests, on the drive of their trees; GIO reads it once.
        const std::string data = tmp_.path() + "/data";
        QCOMPARE(::mkdir(data.c_str(), 0700), 0);
        QCOMPARE(::setenv("XDG_DATA_HOME", data.c_str(), 1), 0);
        trash_ = data + "/Trash";
        for (const std::string& folder : {trash_, trash_ + "/files", trash_ + "/info"}) {
            QCOMPARE(::mkdir(folder.c_str(), 0700), 0);
        }
    }

    // One merge, its counts (moved, trashed, left, folders removed), and its undo.
    void mergeAndUndo_data() {
        QTest::addColumn<Lines>("tree");
        QTest::addColumn<QByteArray>("options");
        QTest::addColumn<std::vector<int>>("counts");
        const Lines pics{"cats/",        "cats/a:a",        "cats/cats_b:b",   "cats/k/",
                         "cats/k/k:k",   "dogs/",           "dogs/a:d",        "dogs/.h:h",
                         "dogs/.git/",   "dogs/.git/x:x",   "dogs/up@../cats", "all/",
                         "all/cats_a:a", "all/dogs_a:other"};
        QTest::newRow("prefixed, unprefixed, nested; a duplicate trashed, a clash left")
            << pics << QByteArray() << std::vector<int>{2, 1, 1, 2};
        QTest::newRow("--number") << pics << QByteArray("number") << std::vector<int>{3, 1, 0, 2};
        QTest::newRow("--keep-duplicates")
            << pics << QByteArray("keep-duplicates") << std::vector<int>{2, 0, 2, 1};
        QTest::newRow("--all: hidden files and folders too")
            << pics << QByteArray("all") << std::vector<int>{4, 1, 1, 3};
        QTest::newRow("--keep-folders")
            << pics << QByteArray("keep-folders") << std::vector<int>{2, 1, 1, 0};
        QTest::newRow("two sources' files of one name and content: the second trashed")
            << Lines{"x/", "x/s/", "x/s/f:1", "y/", "y/s/", "y/s/f:1", "all/"} << QByteArray()
            << std::vector<int>{1, 1, 0, 4};
    }
    void mergeAndUndo() {
        QFETCH(Lines, tree);
        QFETCH(QByteArray, options);
        QFETCH(std::vector<int>, counts);
        const std::string root = tmp_.path() + "/" + QTest::currentDataTag();
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        makeTree(root, tree);
        const Lines sources = tree.front() == "x/" ? Lines{"x", "y"} : Lines{"cats", "dogs"};
        mergeThenUndo(root, root + "/all", request(root, sources, "all", options), counts, true);
    }

    // The destination on another drive: each file copied, synced and compared before its
    // original goes; undo copies it back.
    void acrossDrives_data() {
        QTest::addColumn<Lines>("tree");
        QTest::addColumn<Lines>("inDestination");
        QTest::addColumn<std::vector<int>>("counts");
        const Lines cats{"cats/", "cats/a:aaaa", "cats/k/", "cats/k/b:" + std::string(300000, 'b'),
                         "cats/c:"};
        QTest::newRow("files copied, folders removed")
            << cats << Lines{} << std::vector<int>{3, 0, 0, 2};
        QTest::newRow("a duplicate on the other drive: to the Trash")
            << cats << Lines{"all/", "all/cats_a:aaaa"} << std::vector<int>{2, 1, 0, 2};
    }
    void acrossDrives() {
        QFETCH(Lines, tree);
        QFETCH(Lines, inDestination);
        QFETCH(std::vector<int>, counts);
        mountutil::ImageMount drive(mountutil::Image::ExFat);
        KOVRA_REQUIRE_MOUNT(drive);
        const std::string root = tmp_.path() + "/x" + QTest::currentDataTag();
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        makeTree(root, tree);
        makeTree(drive.path(), inDestination);
        // A private file: the card keeps no modes, undo must give it its own back.
        QCOMPARE(::chmod((root + "/cats/a").c_str(), 0600), 0);
        fs::MergeRequest r = request(root, {"cats"}, "", {});
        r.destination = drive.path() + "/all";
        mergeThenUndo(root, drive.path(), r, counts, false);
    }

    // A merge killed as it ended, its folders gone already: finishing it finds every file in its
    // place and says so; undo then takes the whole of it back.
    void cutShortAfterItsFoldersWent() {
        const std::string root = tmp_.path() + "/cut";
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        makeTree(root, {"cats/", "cats/a:a", "cats/k/", "cats/k/b:b", "all/"});
        const Inventory before = inventory(root);
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request(root, {"cats"}, "all", {}), plan), 0);
        QCOMPARE(fs::runMerge(plan).foldersRemoved, std::int64_t(2));
        const Inventory merged = inventory(root);
        // Its last record cut short, as a kill while it was written leaves it.
        const std::string run = fs::lastUndoableRun(fs::stateDirectory());
        struct stat st {};
        QCOMPARE(::stat(run.c_str(), &st), 0);
        QCOMPARE(::truncate(run.c_str(), st.st_size - 1), 0);
        QCOMPARE(int(fs::pendingRun(fs::stateDirectory()).status),
                 int(fs::PendingRun::Status::Pending));
        const fs::UndoReport finished = fs::finishPendingRun(fs::stateDirectory());
        QCOMPARE(int(finished.status), int(fs::UndoReport::Status::Done));
        QVERIFY(finished.problems.empty());
        QCOMPARE(inventory(root), merged);
        QCOMPARE(int(fs::undoLastRun(fs::stateDirectory()).status),
                 int(fs::UndoReport::Status::Done));
        QCOMPARE(withoutFolderTimes(inventory(root), before), withoutFolderTimes(before, before));
    }

    // Undo follows the journal, not the first name that fits: a file given the number of one the
    // merge moved stays, and so does the folder's other content.
    void numberHandedOutAgain() {
        mountutil::ImageMount disk(mountutil::Image::Ext4);
        KOVRA_REQUIRE_MOUNT(disk);
        const std::string root = disk.path();
        // One group of inodes, each new file given the lowest free number; the folder kept.
        makeTree(root, {"cats/", "cats/.keep:k", "cats/a.jpg:a photo", "all/"});
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request(root, {"cats"}, "all", {}), plan), 0);
        QCOMPARE(fs::runMerge(plan).moved, std::int64_t(1));
        // Deleted, and a new photo saved under the name: the freed number is the lowest free.
        const std::string moved = root + "/all/cats_a.jpg";
        struct stat was {};
        QCOMPARE(::stat(moved.c_str(), &was), 0);
        QCOMPARE(::unlink(moved.c_str()), 0);
        // A clock tick later: the kernel stamps a file's birth with a coarse clock, and one born
        // in the tick the merge began in cannot be told from one born before it.
        QTest::qWait(25);
        QVERIFY(testutil::makeFile(root + "/all", "cats_a.jpg", "another photo"));
        struct stat now {};
        QCOMPARE(::stat(moved.c_str(), &now), 0);
        QCOMPARE(now.st_ino, was.st_ino);
        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QCOMPARE(undo.renamed, std::int64_t(0));
        QCOMPARE(undo.problems.size(), std::size_t(1));
        QCOMPARE(testutil::readFile(moved), std::string("another photo"));
        QVERIFY(!testutil::exists(root + "/cats/a.jpg"));
        QCOMPARE(int(fs::runHistory(fs::stateDirectory()).at(0).state),
                 int(fs::RunSummary::State::PartlyUndone));
    }

    // Twins (the same bytes and times) on a drive that tells files apart by size and time: the
    // one trashed comes back from the Trash, the one moved from the destination.
    void twinsGoBackWhereTheyCameFrom() {
        mountutil::ImageMount card(mountutil::Image::ExFat);
        KOVRA_REQUIRE_MOUNT(card);
        const std::string root = card.path();
        Lines tree{"A/", "A/cats/", "B/", "B/cats/", "all/", "all/old:was here"};
        for (int i = 0; i < 10; ++i) {
            tree.push_back("A/cats/" + std::to_string(i) + ".jpg:twin " + std::to_string(i));
            tree.push_back("B/cats/" + std::to_string(i) + ".jpg:twin " + std::to_string(i));
        }
        makeTree(root, tree);
        const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
        for (int i = 0; i < 10; ++i) {
            for (const char* side : {"A", "B"}) {
                const std::string path = root + "/" + side + "/cats/" + std::to_string(i) + ".jpg";
                QCOMPARE(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
            }
        }
        const Inventory before = inventory(root, false);
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request(root, {"A/cats", "B/cats"}, "all", {}), plan), 0);
        const fs::MergeResult merged = fs::runMerge(plan);
        QCOMPARE(merged.moved, std::int64_t(10));
        QCOMPARE(merged.trashed, std::int64_t(10));
        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QVERIFY(undo.problems.empty());
        QCOMPARE(undo.trashed, std::int64_t(10));
        Inventory after = inventory(root, false);
        after.erase(after.lower_bound(".Trash"), after.lower_bound(".Trash~"));
        QCOMPARE(withoutFolderTimes(after, {}), withoutFolderTimes(before, {}));
        QVERIFY(
            testutil::entries(root + "/.Trash-" + std::to_string(::getuid()) + "/info").empty());
    }

    // A source folder that cannot be read at undo is left for a later undo, which takes it.
    void unreadableFolderIsLeftForLater() {
        const std::string root = tmp_.path() + "/unreadable";
        QCOMPARE(::mkdir(root.c_str(), 0777), 0);
        QCOMPARE(::chmod(root.c_str(), 0777), 0);
        QCOMPARE(::chmod(tmp_.path().c_str(), 0755), 0);
        // Permissions stop anyone but root: the run is another user's where the test is root's.
        const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid();
        QCOMPARE(::seteuid(user), 0);
        const auto back = qScopeGuard([] { [[maybe_unused]] const int r = ::seteuid(0); });
        makeTree(root, {"cats/", "cats/.keep:k", "cats/a:a", "dogs/", "dogs/b:b", "all/"});
        const Inventory before = inventory(root);
        fs::MergeRunControl control;
        control.stateDir = root + "/state";
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request(root, {"cats", "dogs"}, "all", {}), plan), 0);
        const std::string run = fs::runMerge(plan, control).journal;
        QCOMPARE(::chmod((root + "/cats").c_str(), 0), 0);
        fs::UndoReport undo = fs::undoRun(run);
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QCOMPARE(undo.leftForLater, std::int64_t(1));
        QCOMPARE(int(fs::runHistory(control.stateDir).at(0).state),
                 int(fs::RunSummary::State::PartlyUndone));
        QCOMPARE(::chmod((root + "/cats").c_str(), 0750), 0);
        undo = fs::undoRun(run);
        QVERIFY(undo.problems.empty());
        QCOMPARE(undo.renamed, std::int64_t(1));
        QCOMPARE(int(fs::runHistory(control.stateDir).at(0).state),
                 int(fs::RunSummary::State::Undone));
        Inventory after = inventory(root);
        after.erase(after.lower_bound("state"), after.end());
        QCOMPARE(withoutFolderTimes(after, {}), withoutFolderTimes(before, {}));
    }

    // The disk mounted elsewhere since the merge: the folders it removed are made again there and
    // the duplicate it trashed comes back from that disk's Trash.
    void diskMountedElsewhere() {
        mountutil::ImageMount disk(mountutil::Image::Ext4);
        KOVRA_REQUIRE_MOUNT(disk);
        makeTree(disk.path(),
                 {"cats/", "cats/a:1", "cats/k/", "cats/k/b:2", "all/", "all/cats_a:1"});
        const Inventory before = inventory(disk.path());
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request(disk.path(), {"cats"}, "all", {}), plan), 0);
        const fs::MergeResult merged = fs::runMerge(plan);
        QCOMPARE(
            (std::vector<int>{int(merged.moved), int(merged.trashed), int(merged.foldersRemoved)}),
            (std::vector<int>{1, 1, 2}));
        QVERIFY(disk.remount());
        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QVERIFY(undo.problems.empty());
        QCOMPARE(undo.foldersMade, std::int64_t(2));
        Inventory after = inventory(disk.path());
        after.erase(after.lower_bound(".Trash"), after.lower_bound(".Trash~"));
        QCOMPARE(after, before);
    }

    // From a memory drive to the disk, the source folder removed once emptied: undo makes it
    // again and copies the files back into it.
    void fromMemoryDriveFolderRemoved() {
        mountutil::Tmpfs memory;
        KOVRA_REQUIRE_MOUNT(memory);
        makeTree(memory.path(), {"x/", "x/cats/", "x/cats/a:aa", "x/cats/b:bbb"});
        const Inventory before = inventory(memory.path(), false);
        fs::MergeRequest r = request(memory.path(), {"x/cats"}, "", {});
        r.destination = tmp_.path() + "/fromMemory";
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(r, plan), 0);
        QCOMPARE(fs::runMerge(plan).foldersRemoved, std::int64_t(1));
        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QVERIFY(undo.problems.empty());
        QCOMPARE(undo.renamed, std::int64_t(2));
        Inventory remade;
        remade["x/cats/"] = before.at("x/cats/");
        QCOMPARE(withoutFolderTimes(inventory(memory.path(), false), remade),
                 withoutFolderTimes(before, remade));
        QVERIFY(!testutil::exists(r.destination));
    }

    // The plan comes in chunks, in order, and a chunk's answer can stop it.
    void planInChunks_data() {
        QTest::addColumn<bool>("stop");
        QTest::newRow("whole") << false;
        QTest::newRow("stopped at the first chunk") << true;
    }
    void planInChunks() {
        QFETCH(bool, stop);
        const std::string root = tmp_.path() + "/chunks" + (stop ? "1" : "0");
        Lines tree{"s/"};
        for (int i = 0; i < 9000; ++i) {
            tree.push_back("s/" + std::to_string(i) + ":");
        }
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        makeTree(root, tree);
        std::size_t next = 0;
        int chunks = 0;
        fs::PlanControl control;
        control.chunk = [&](const fs::MergePlan& plan, std::size_t from) {
            ++chunks;
            if (from != next) {
                return false;
            }
            next = plan.size();
            return !stop;
        };
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request(root, {"s"}, "d", {}), plan, control), stop ? ECANCELED : 0);
        QCOMPARE(next, plan.size());
        QVERIFY(stop ? chunks == 1 : chunks > 1 && plan.size() == 9000);
    }
};

QTEST_MAIN(TestMerge)
#include "tst_merge.moc"
