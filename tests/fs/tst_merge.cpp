// The merge engine on real files: what the destination and each source hold after it (and the
// Trash), and its undo, which must give every file back on its own inode (a copy back from
// another drive: its bytes, and the attributes the drive kept), make the removed folders again
// as they were, and leave the Trash as it found it.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <QScopeGuard>
#include <QTest>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crashpoint.h"
#include "fs/merge/merge.h"
#include "fs/syscalls.h"
#include "fs/undo/undo.h"
#include "mountutil.h"
#include "testutil.h"

using Lines = std::vector<std::string>;
Q_DECLARE_METATYPE(Lines)

namespace {

using testutil::makeTree;
using testutil::readTree;

// `a` and `b` as one tree, sorted as readTree gives it.
Lines plus(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    return a;
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

// What a file carries besides its bytes, as a user's tools set it: a tag, and read access for
// the user nobody (a POSIX ACL as the kernel keeps it: owner rw, nobody r, group r, mask r,
// others r).
const char kTag[] = "user.xdg.origin.url";
const std::string kTagValue = "https://example.org/a";
const char kAcl[] = "system.posix_acl_access";
const std::string kNobodyMayRead(
    "\2\0\0\0"
    "\1\0\6\0\377\377\377\377\2\0\4\0\376\377\0\0\4\0\4\0\377\377\377\377"
    "\20\0\4\0\377\377\377\377\40\0\4\0\377\377\377\377",
    44);

std::string attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t n = ::lgetxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string("<none>") : std::string(value, static_cast<std::size_t>(n));
}

}  // namespace

class TestMerge : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;
    std::string trash_;

    // Merges; checks what `root`, which holds the sources and the destination, and the Trash
    // hold after it; undoes it, and checks that all is as before, each file on its own inode.
    // `meanwhile` acts between the plan and the run.
    void mergeThenUndo(const std::string& root, const fs::MergeRequest& r, const Lines& after,
                       const Lines& trashed, const std::function<void()>& meanwhile = {}) {
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(r, plan), 0);
        if (meanwhile) {
            meanwhile();
        }
        const Inventory before = inventory(root);
        const Inventory trashBefore = inventory(trash_, false);
        // Each file the run moves gets the name the plan gave it.
        std::map<std::string, std::string> planned;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const fs::PlannedFile file = plan.at(i);
            planned[std::string(file.folder) + "/" + std::string(file.name)] = file.newName;
        }
        fs::MergeRunControl control;
        int told = 0;
        control.moved = [&](const fs::PlannedFile& file, const std::string& newName, bool) {
            told += planned[std::string(file.folder) + "/" + std::string(file.name)] == newName;
        };
        const fs::MergeResult result = fs::runMerge(plan, control);
        QCOMPARE(int(result.end), int(fs::MergeResult::End::Completed));
        QCOMPARE(told, int(result.moved + result.trashed));
        QCOMPARE(readTree(root), after);
        QCOMPARE(readTree(trash_ + "/files"), trashed);

        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QVERIFY(undo.problems.empty());
        Inventory remade;
        for (const auto& [name, seen] : before) {
            if (name.back() == '/' && !testutil::exists(root + "/" + name)) {
                remade[name] = seen;
            }
        }
        QCOMPARE(withoutFolderTimes(inventory(root), remade), withoutFolderTimes(before, remade));
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

    // One merge of cats and dogs into all: the tree after it, the Trash after it, and its undo.
    void mergeAndUndo_data() {
        QTest::addColumn<Lines>("tree");
        QTest::addColumn<QByteArray>("options");
        QTest::addColumn<Lines>("after");
        QTest::addColumn<Lines>("trashed");
        const Lines pics{"cats/",        "cats/a:a",        "cats/cats_b:b",   "cats/k/",
                         "cats/k/k:k",   "dogs/",           "dogs/a:d",        "dogs/.h:h",
                         "dogs/.git/",   "dogs/.git/x:x",   "dogs/up@../cats", "all/",
                         "all/cats_a:a", "all/dogs_a:other"};
        const Lines merged{"all/", "all/cats_a:a", "all/cats_b:b", "all/dogs_a:other", "all/k_k:k"};
        const Lines dogsLeft{"dogs/",     "dogs/.git/", "dogs/.git/x:x",
                             "dogs/.h:h", "dogs/a:d",   "dogs/up@../cats"};
        QTest::newRow("prefixed, unprefixed, nested; a duplicate trashed, a clash left")
            << pics << QByteArray() << plus(merged, dogsLeft) << Lines{"a:a"};
        QTest::newRow("--number") << pics << QByteArray("number")
                                  << plus(merged, {"all/dogs_a (2):d", "dogs/", "dogs/.git/",
                                                   "dogs/.git/x:x", "dogs/.h:h", "dogs/up@../cats"})
                                  << Lines{"a:a"};
        QTest::newRow("--keep-duplicates")
            << pics << QByteArray("keep-duplicates")
            << plus(merged, plus(dogsLeft, {"cats/", "cats/a:a"})) << Lines{};
        QTest::newRow("--all: hidden files and folders too")
            << pics << QByteArray("all")
            << plus(merged,
                    {"all/.git_x:x", "all/dogs_.h:h", "dogs/", "dogs/a:d", "dogs/up@../cats"})
            << Lines{"a:a"};
        QTest::newRow("--keep-folders")
            << pics << QByteArray("keep-folders")
            << plus(merged, plus(dogsLeft, {"cats/", "cats/k/"})) << Lines{"a:a"};
        QTest::newRow("two sources' files of one name and content: the second trashed")
            << Lines{"x/", "x/s/", "x/s/f:1", "y/", "y/s/", "y/s/f:1", "all/"} << QByteArray()
            << Lines{"all/", "all/s_f:1"} << Lines{"f:1"};
    }
    void mergeAndUndo() {
        QFETCH(Lines, tree);
        QFETCH(QByteArray, options);
        QFETCH(Lines, after);
        QFETCH(Lines, trashed);
        const std::string root = tmp_.path() + "/" + QTest::currentDataTag();
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        makeTree(root, tree);
        const Lines sources = tree.front() == "x/" ? Lines{"x", "y"} : Lines{"cats", "dogs"};
        mergeThenUndo(root, request(root, sources, "all", options), after, trashed);
    }

    // Three camera cards of equal inner folders into one: each choice of which folders name a
    // file, the clashes the folders alone make and the choice that parts them, and undo.
    void nameFrom_data() {
        QTest::addColumn<int>("from");
        QTest::addColumn<Lines>("after");
        QTest::addColumn<int>("folderClashes");
        QTest::addColumn<int>("avoidedBy");
        const Lines left{
            "card2/", "card2/DCIM/", "card2/DCIM/100CANON/", "card2/DCIM/100CANON/IMG_1.JPG:b",
            "card3/", "card3/DCIM/", "card3/DCIM/100CANON/", "card3/DCIM/100CANON/IMG_1.JPG:c"};
        QTest::newRow("the folder it lay in: the cards clash, the SOURCE's name parts them")
            << int(fs::NameFrom::Folder)
            << plus(left, {"trip/", "trip/100CANON_IMG_1.JPG:a", "trip/100CANON_card1_IMG_2.JPG:2",
                           "trip/card1_IMG_3.JPG:3", "trip/card2_x:x"})
            << 2 << int(fs::NameFrom::Source);
        QTest::newRow("the SOURCE named; a name that begins so keeps it")
            << int(fs::NameFrom::Source)
            << Lines{"trip/",
                     "trip/card1_IMG_1.JPG:a",
                     "trip/card1_IMG_2.JPG:2",
                     "trip/card1_IMG_3.JPG:3",
                     "trip/card2_IMG_1.JPG:b",
                     "trip/card2_x:x",
                     "trip/card3_IMG_1.JPG:c"}
            << 0 << int(fs::NameFrom::Source);
        QTest::newRow("every folder from the SOURCE down")
            << int(fs::NameFrom::Path)
            << Lines{"trip/",
                     "trip/card1_DCIM_100CANON_IMG_1.JPG:a",
                     "trip/card1_DCIM_100CANON_card1_IMG_2.JPG:2",
                     "trip/card1_IMG_3.JPG:3",
                     "trip/card2_DCIM_100CANON_IMG_1.JPG:b",
                     "trip/card2_x:x",
                     "trip/card3_DCIM_100CANON_IMG_1.JPG:c"}
            << 0 << int(fs::NameFrom::Path);
    }
    void nameFrom() {
        QFETCH(int, from);
        QFETCH(Lines, after);
        QFETCH(int, folderClashes);
        QFETCH(int, avoidedBy);
        const std::string root = tmp_.path() + "/cards" + std::to_string(from);
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        makeTree(root, {"card1/", "card1/DCIM/", "card1/DCIM/100CANON/",
                        "card1/DCIM/100CANON/IMG_1.JPG:a", "card1/DCIM/100CANON/card1_IMG_2.JPG:2",
                        "card1/IMG_3.JPG:3", "card2/", "card2/DCIM/", "card2/DCIM/100CANON/",
                        "card2/DCIM/100CANON/IMG_1.JPG:b", "card2/x:x", "card3/", "card3/DCIM/",
                        "card3/DCIM/100CANON/", "card3/DCIM/100CANON/IMG_1.JPG:c", "trip/"});
        fs::MergeRequest r = request(root, {"card1", "card2", "card3"}, "trip", {});
        r.nameFrom = static_cast<fs::NameFrom>(from);
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(r, plan), 0);
        QCOMPARE(plan.folderClashes(), std::int64_t(folderClashes));
        QCOMPARE(int(plan.avoidingChoice()), avoidedBy);
        mergeThenUndo(root, r, after, {});
    }

    // Equal content under other names, across sources and the destination, kept once by each
    // rule; hard links of one file are one file; empty files are never duplicates; a copy changed
    // after the plan moves instead. Undo brings every copy back from the Trash.
    void dedupe_data() {
        QTest::addColumn<int>("keep");  // fs::Dedupe
        QTest::addColumn<bool>("changeB");
        QTest::addColumn<Lines>("after");
        QTest::addColumn<Lines>("trashed");
        const std::string big(10000, 'z');
        const Lines always{"dest/",
                           "dest/d.jpg:photo2",
                           "dest/s1_big1:" + big + "1",
                           "dest/s1_big3:" + big,
                           "dest/s1_e1:",
                           "dest/s1_x:unique",
                           "dest/s2_big2:" + big + "2",
                           "dest/s2_e2:",
                           "dest/s3_h1:linked",
                           "dest/s3_h2:linked"};
        const Lines trashed{"big4:" + big, "y.jpg:photo2"};
        QTest::newRow("the first SOURCE's kept")
            << int(fs::Dedupe::First) << false << plus(always, {"dest/s1_a.jpg:photo1"})
            << plus(trashed, {"b.jpg:photo1", "c.jpg:photo1"});
        QTest::newRow("the oldest kept")
            << int(fs::Dedupe::Oldest) << false << plus(always, {"dest/s2_b.jpg:photo1"})
            << plus(trashed, {"a.jpg:photo1", "c.jpg:photo1"});
        QTest::newRow("the newest kept")
            << int(fs::Dedupe::Newest) << false << plus(always, {"dest/s3_c.jpg:photo1"})
            << plus(trashed, {"a.jpg:photo1", "b.jpg:photo1"});
        QTest::newRow("a copy changed after the plan moves")
            << int(fs::Dedupe::First) << true
            << plus(always, {"dest/s1_a.jpg:photo1", "dest/s2_b.jpg:photoX"})
            << plus(trashed, {"c.jpg:photo1"});
    }
    void dedupe() {
        QFETCH(int, keep);
        QFETCH(bool, changeB);
        QFETCH(Lines, after);
        QFETCH(Lines, trashed);
        const std::string root = tmp_.path() + "/dedupe" + QTest::currentDataTag();
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        const std::string big(10000, 'z');
        makeTree(root, {"s1/", "s1/a.jpg:photo1", "s1/e1:", "s1/x:unique", "s1/big1:" + big + "1",
                        "s1/big3:" + big, "s2/", "s2/b.jpg:photo1", "s2/e2:", "s2/y.jpg:photo2",
                        "s2/big2:" + big + "2", "s3/", "s3/c.jpg:photo1", "s3/h1:linked",
                        "s3/big4:" + big, "dest/", "dest/d.jpg:photo2"});
        QCOMPARE(::link((root + "/s3/h1").c_str(), (root + "/s3/h2").c_str()), 0);
        // b the oldest, c the newest; the big ones of one time.
        const auto setTime = [&](const char* file, time_t at) {
            const timespec times[2] = {{at, 0}, {at, 0}};
            QCOMPARE(::utimensat(AT_FDCWD, (root + "/" + file).c_str(), times, 0), 0);
        };
        setTime("s1/a.jpg", 1600000000);
        setTime("s2/b.jpg", 1500000000);
        setTime("s3/c.jpg", 1700000000);
        setTime("s1/big3", 1600000000);
        setTime("s3/big4", 1600000000);
        fs::MergeRequest r = request(root, {"s1", "s2", "s3"}, "dest", {});
        r.dedupe = static_cast<fs::Dedupe>(keep);
        // Other bytes of the same size, its times set back: only its change time tells.
        const auto change = [&] {
            if (changeB) {
                const int fd = ::open((root + "/s2/b.jpg").c_str(), O_WRONLY | O_CLOEXEC);
                QVERIFY(fd >= 0);
                QCOMPARE(::pwrite(fd, "photoX", 6, 0), ssize_t(6));
                ::close(fd);
                setTime("s2/b.jpg", 1500000000);
            }
        };
        mergeThenUndo(root, r, after, trashed, change);
    }

    // The destination on another drive: each file copied with what it carries, synced and
    // compared before its original goes; undo copies it back. A drive that cannot hold a file's
    // attributes gets the file all the same, and the merge says what it could not keep.
    void acrossDrives_data() {
        QTest::addColumn<bool>("exfat");  // else a tmpfs
        QTest::addColumn<Lines>("inDestination");
        QTest::addColumn<Lines>("destAfter");
        QTest::addColumn<bool>("attributes");  // cats/a carries a tag and an ACL
        QTest::addColumn<unsigned>("lost");    // what the merge says cats_a came without
        const std::string b(300000, 'b');
        const Lines all{"all/", "all/cats_a:aaaa", "all/cats_c:", "all/k_b:" + b};
        QTest::newRow("exFAT: files copied, folders removed; the tag and ACL it cannot hold named")
            << true << Lines{} << all << true << unsigned(fs::kLostAttributes | fs::kLostAcl);
        QTest::newRow("exFAT: a duplicate there goes to the Trash")
            << true << Lines{"all/", "all/cats_a:aaaa"} << all << false << 0u;
        QTest::newRow("tmpfs: a tag, an ACL and a link's time go, and come back with undo")
            << false << Lines{} << plus(all, {"all/cats_l@a"}) << true << 0u;
    }
    void acrossDrives() {
        QFETCH(bool, exfat);
        QFETCH(Lines, inDestination);
        QFETCH(Lines, destAfter);
        QFETCH(bool, attributes);
        QFETCH(unsigned, lost);
        std::unique_ptr<mountutil::Mount> drive;
        if (exfat) {
            drive = std::make_unique<mountutil::ImageMount>(mountutil::Image::ExFat);
        } else {
            drive = std::make_unique<mountutil::Tmpfs>();
        }
        KOVRA_REQUIRE_MOUNT(*drive);
        const std::string root = tmp_.path() + "/x" + QTest::currentDataTag();
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        Lines tree{"cats/", "cats/a:aaaa", "cats/c:", "cats/k/",
                   "cats/k/b:" + std::string(300000, 'b')};
        if (!exfat) {
            tree.push_back("cats/l@a");  // a link, from long ago (exFAT holds none)
        }
        makeTree(root, tree);
        const timespec longAgo[2] = {{1000000000, 0}, {1000000000, 0}};
        ::utimensat(AT_FDCWD, (root + "/cats/l").c_str(), longAgo, AT_SYMLINK_NOFOLLOW);
        makeTree(drive->path(), inDestination);
        // A private file: the card keeps no modes, undo must give it its own back.
        const std::string a = root + "/cats/a";
        QCOMPARE(::chmod(a.c_str(), 0600), 0);
        QVERIFY(
            !attributes ||
            (::setxattr(a.c_str(), kTag, kTagValue.data(), kTagValue.size(), 0) == 0 &&
             ::setxattr(a.c_str(), kAcl, kNobodyMayRead.data(), kNobodyMayRead.size(), 0) == 0));
        // What a user's tools find on a file: its tag, its ACL, and a link's time.
        const auto carries = [&](const std::string& file, const std::string& link) {
            struct stat st {};
            const bool old =
                exfat || (::lstat(link.c_str(), &st) == 0 && st.st_mtime == 1000000000);
            return !attributes || lost != 0 ||
                   (attribute(file, kTag) == kTagValue && attribute(file, kAcl) == kNobodyMayRead &&
                    old);
        };
        fs::MergeRequest r = request(root, {"cats"}, "", {});
        r.destination = drive->path() + "/all";
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(r, plan), 0);
        const fs::MergeResult result = fs::runMerge(plan);
        QCOMPARE(int(result.end), int(fs::MergeResult::End::Completed));
        QCOMPARE(readTree(root), Lines{});
        QCOMPARE(readTree(drive->path()), destAfter);
        QCOMPARE(readTree(trash_ + "/files"), inDestination.empty() ? Lines{} : Lines{"a:aaaa"});
        const std::string moved = drive->path() + "/all/cats_a";
        QVERIFY(carries(moved, drive->path() + "/all/cats_l"));
        QCOMPARE(result.partlyKept.size(), std::size_t(lost != 0 ? 1 : 0));
        QVERIFY(lost == 0 ||
                (result.partlyKept[0].path == moved && result.partlyKept[0].lost == lost));

        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QVERIFY(undo.problems.empty());
        QCOMPARE(readTree(root), tree);
        QCOMPARE(readTree(drive->path()), inDestination);
        QCOMPARE(readTree(trash_ + "/files"), Lines{});
        QVERIFY(carries(a, root + "/cats/l"));
        // An ACL gives the mode its bits (the group's from its mask).
        struct stat st {};
        QCOMPARE(::stat(a.c_str(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(attributes ? 0644 : 0600));
    }

    // A merge across drives killed after a copy was made whole, before its original went: undo
    // takes the copy away only while it still holds the original's bytes. A copy the user
    // changed since stays, beside the original.
    void copyLeftByAKill_data() {
        QTest::addColumn<bool>("edited");
        QTest::newRow("copy as made") << false;
        QTest::newRow("copy edited by the user") << true;
    }
    void copyLeftByAKill() {
        QFETCH(bool, edited);
        mountutil::Tmpfs drive;
        KOVRA_REQUIRE_MOUNT(drive);
        const std::string root = tmp_.path() + "/left" + (edited ? "1" : "0");
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        makeTree(root, {"src/", "src/p1.jpg:one", "src/p2.jpg:two"});
        fs::MergeRequest r = request(root, {"src"}, "", {});
        r.destination = drive.path() + "/dest";
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(r, plan), 0);
        QVERIFY(crashpoint::runKilledAt(
            {crashpoint::Call::Unlink, 1, crashpoint::When::Before, "p2.jpg"},
            [&] { fs::runMerge(plan); }));
        const std::string copy = r.destination + "/src_p2.jpg";
        QCOMPARE(testutil::readFile(copy), std::string("two"));
        if (edited) {
            const int fd = ::open(copy.c_str(), O_WRONLY | O_APPEND);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, ", and the user's edit", 21), ssize_t{21});
            ::close(fd);
        }
        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QCOMPARE(readTree(root), (Lines{"src/", "src/p1.jpg:one", "src/p2.jpg:two"}));
        QCOMPARE(testutil::exists(copy), edited);
        QVERIFY(!edited || testutil::readFile(copy) == "two, and the user's edit");
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
        // Times kept where undo made the folders again; the destination's changed, as it must.
        Inventory remade;
        for (const auto& [name, seen] : before) {
            if (name.back() == '/' && merged.count(name) == 0) {
                remade[name] = seen;
            }
        }
        QCOMPARE(withoutFolderTimes(inventory(root), remade), withoutFolderTimes(before, remade));
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
        QVERIFY(testutil::waitPastClockTick());
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
        // With their inode numbers, which this mount keeps: only they tell the twins apart.
        const Inventory before = inventory(root);
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(request(root, {"A/cats", "B/cats"}, "all", {}), plan), 0);
        const fs::MergeResult merged = fs::runMerge(plan);
        QCOMPARE(merged.moved, std::int64_t(10));
        QCOMPARE(merged.trashed, std::int64_t(10));
        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QVERIFY(undo.problems.empty());
        QCOMPARE(undo.trashed, std::int64_t(10));
        Inventory after = inventory(root);
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
        struct stat cats {};
        QCOMPARE(::stat((root + "/cats").c_str(), &cats), 0);
        QCOMPARE(::chmod((root + "/cats").c_str(), 0), 0);
        fs::UndoReport undo = fs::undoRun(run);
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QCOMPARE(undo.leftForLater, std::int64_t(1));
        QCOMPARE(int(fs::runHistory(control.stateDir).at(0).state),
                 int(fs::RunSummary::State::PartlyUndone));
        QCOMPARE(::chmod((root + "/cats").c_str(), cats.st_mode & 07777), 0);
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

    // Names of one file (hard links) in the sources are one file: never "other content"; moved
    // to another drive they stay one file there (one copy, its other names links to it), and
    // undo gives them back as one file.
    void hardLinks_data() {
        QTest::addColumn<bool>("acrossDrives");  // the destination on a tmpfs
        QTest::addColumn<Lines>("tree");         // "name@@other": a hard link to `other`
        QTest::addColumn<Lines>("after");        // in the destination's drive, "@@": linked
        const Lines oneName{"a/", "a/sub/", "a/sub/x:p", "b/", "b/sub/", "b/sub/x@@a/sub/x"};
        QTest::newRow("one drive, one new name: the second name is no other content")
            << false << oneName << Lines{"all/", "all/sub_x:p"};
        const Lines twoNames{"a/", "a/x:p", "b/", "b/y@@a/x"};
        QTest::newRow("across drives: one copy, its other name a link")
            << true << twoNames << Lines{"all/", "all/a_x:p", "all/b_y@@all/a_x"};
    }
    void hardLinks() {
        QFETCH(bool, acrossDrives);
        QFETCH(Lines, tree);
        QFETCH(Lines, after);
        std::unique_ptr<mountutil::Tmpfs> drive;
        if (acrossDrives) {
            drive = std::make_unique<mountutil::Tmpfs>();
            KOVRA_REQUIRE_MOUNT(*drive);
        }
        const std::string root = tmp_.path() + "/links" + (acrossDrives ? "1" : "0");
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        // Files first, then their other names.
        const auto make = [](const std::string& at, const Lines& lines) {
            Lines files;
            for (const std::string& line : lines) {
                if (line.find("@@") == std::string::npos) {
                    files.push_back(line);
                }
            }
            makeTree(at, files);
        };
        const auto sameFile = [](const std::string& at, const std::string& line) {
            const std::size_t sep = line.find("@@");
            struct stat a {};
            struct stat b {};
            return ::lstat((at + "/" + line.substr(0, sep)).c_str(), &a) == 0 &&
                   ::lstat((at + "/" + line.substr(sep + 2)).c_str(), &b) == 0 &&
                   a.st_ino == b.st_ino && a.st_dev == b.st_dev;
        };
        make(root, tree);
        for (const std::string& line : tree) {
            if (const std::size_t sep = line.find("@@"); sep != std::string::npos) {
                QCOMPARE(::link((root + "/" + line.substr(sep + 2)).c_str(),
                                (root + "/" + line.substr(0, sep)).c_str()),
                         0);
            }
        }
        const std::string destRoot = acrossDrives ? drive->path() : root;
        fs::MergeRequest r = request(root, {"a", "b"}, "all", {});
        r.destination = destRoot + "/all";
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(r, plan), 0);
        QCOMPARE(plan.count(fs::MergeAction::LeaveClash), std::int64_t(0));
        const fs::MergeResult result = fs::runMerge(plan);
        QVERIFY(result.leftFiles.empty());
        Lines files;
        for (const std::string& line : after) {
            if (line.find("@@") == std::string::npos) {
                files.push_back(line);
            } else {
                QVERIFY2(sameFile(destRoot, line), line.c_str());
                files.push_back(line.substr(0, line.find("@@")) + ":p");
            }
        }
        std::sort(files.begin(), files.end());
        QCOMPARE(readTree(destRoot), files);

        const fs::UndoReport undo = fs::undoLastRun(fs::stateDirectory());
        QCOMPARE(int(undo.status), int(fs::UndoReport::Status::Done));
        QVERIFY(undo.problems.empty());
        for (const std::string& line : tree) {
            QVERIFY2(line.find("@@") == std::string::npos || sameFile(root, line), line.c_str());
        }
    }

    // A file written to while it is copied to another drive stays, and the merge says so; its
    // copy goes.
    void changedWhileCopied() {
        mountutil::Tmpfs drive;
        KOVRA_REQUIRE_MOUNT(drive);
        const std::string root = tmp_.path() + "/changing";
        QCOMPARE(::mkdir(root.c_str(), 0755), 0);
        makeTree(root, {"cats/", "cats/a:aaaa"});
        static std::string original;
        static dev_t copyDrive;
        original = root + "/cats/a";
        struct stat drived {};
        QCOMPARE(::stat(drive.path().c_str(), &drived), 0);
        copyDrive = drived.st_dev;
        // The copy's own sync, before it is compared (not the journal's): the user saves the
        // original meanwhile.
        fs::syscalls().fsync = [](int fd) {
            struct stat st {};
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == copyDrive &&
                !original.empty()) {
                const int out = ::open(original.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                [[maybe_unused]] const ssize_t n = ::write(out, "b", 1);
                ::close(out);
                original.clear();
            }
            return ::fsync(fd);
        };
        const auto restore = qScopeGuard([] { fs::syscalls() = fs::defaultSyscalls(); });
        fs::MergeRequest r = request(root, {"cats"}, "", {});
        r.destination = drive.path() + "/all";
        fs::MergePlan plan;
        QCOMPARE(fs::planMerge(r, plan), 0);
        const fs::MergeResult result = fs::runMerge(plan);
        QCOMPARE(result.leftFiles.size(), std::size_t(1));
        QCOMPARE(int(result.leftFiles[0].why), int(fs::MergeAction::LeaveChanged));
        QCOMPARE(readTree(root), (Lines{"cats/", "cats/a:aaaab"}));
        QCOMPARE(readTree(drive.path()), Lines{});
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
