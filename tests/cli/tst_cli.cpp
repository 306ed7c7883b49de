#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QTest>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "mountutil.h"
#include "procutil.h"
#include "testutil.h"

using Lines = std::vector<std::string>;
Q_DECLARE_METATYPE(Lines)

namespace {

using testutil::makeTree;
using testutil::readTree;

struct Ran {
    int status = -1;
    std::string out;
    std::string err;
};

// The user nobody: for a run that root's privileges would change.
constexpr uid_t kNobody = 65534;

// Runs the program with `args` (bytes, "%R" standing for `root`) in a bare environment: no
// display of any kind, the locale `locale`, its state (the journal) in `state`; leading words
// NAME=VALUE are added to it, as env(1) takes them. Arguments go to
// execve as they are, never through a QString, so names that are not UTF-8 arrive intact.
// `stdoutPath`: where its standard output goes instead of `ran.out`; `asUser`: run as that user;
// `program`: a copy of the program to run instead.
Ran runKovra(const std::string& root, const std::string& state, const Lines& args,
             const std::string& locale, const std::string& stdoutPath = {}, uid_t asUser = 0,
             const std::string& program = KOVRA_PROGRAM) {
    std::vector<std::string> argv{program};
    std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + state, "XDG_STATE_HOME=" + state,
                                 "LANG=" + locale};
    for (std::string arg : args) {
        for (auto at = arg.find("%R"); at != std::string::npos; at = arg.find("%R")) {
            arg.replace(at, 2, root);
        }
        const auto name = arg.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_");
        (argv.size() == 1 && name > 0 && name != std::string::npos && arg[name] == '=' ? env : argv)
            .push_back(arg);
    }
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            env.push_back(std::string(name) + "=" + value);
        }
    }
    // A home that exists, as a user's does: the Trash is found from it.
    ::mkdir(state.c_str(), 0700);
    const std::string outPath = stdoutPath.empty() ? root + ".out" : stdoutPath;
    const std::string errPath = root + ".err";
    if (stdoutPath.empty()) {
        ::unlink(outPath.c_str());  // never a path given: it may be /dev/full
    }
    ::unlink(errPath.c_str());
    procutil::Start how;
    how.args = std::move(argv);
    how.env = std::move(env);
    how.out = outPath;
    how.err = errPath;
    how.asUser = asUser;
    Ran ran;
    ran.status = procutil::run(how);
    ran.out = stdoutPath.empty() ? testutil::readFile(outPath) : std::string();
    ran.err = testutil::readFile(errPath);
    if (stdoutPath.empty()) {
        ::unlink(outPath.c_str());
    }
    ::unlink(errPath.c_str());
    return ran;
}

}  // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void command_data();
    void command();
    void pathsOpenedFirst_data();
    void pathsOpenedFirst();
    void linksNeverFollowed_data();
    void linksNeverFollowed();
    void dryRunPredictsRun_data();
    void dryRunPredictsRun();
    void planIsRun_data();
    void planIsRun();
    void mergeSourceGone();
    void outputFailure_data();
    void outputFailure();
    void parallel_data();
    void parallel();
    void programFileStays();
    void programFilesStay();
};

void TestCli::command_data() {
    QTest::addColumn<Lines>("tree");
    QTest::addColumn<Lines>("args");
    QTest::addColumn<QByteArray>("locale");
    QTest::addColumn<int>("status");
    QTest::addColumn<Lines>("after");  // empty: the tree is unchanged
    QTest::addColumn<QByteArray>("outHas");
    QTest::addColumn<QByteArray>("errHas");

    const QByteArray c = "C";
    const Lines cats{"cats/", "cats/a:a", "cats/b:b"};
    QTest::newRow("folder: all its files")
        << cats << Lines{"rename", "%R/cats"} << c << 0
        << Lines{"cats/", "cats/cats_a:a", "cats/cats_b:b"} << QByteArray() << QByteArray();
    QTest::newRow("files: only those")
        << cats << Lines{"rename", "%R/cats/b"} << c << 0
        << Lines{"cats/", "cats/a:a", "cats/cats_b:b"} << QByteArray() << QByteArray();
    QTest::newRow("relative path, options after it")
        << cats << Lines{"rename", "cats/../cats/a", "-v"} << c << 0
        << Lines{"cats/", "cats/b:b", "cats/cats_a:a"} << QByteArray("/cats/a -> ") << QByteArray();
    QTest::newRow("options after paths, POSIXLY_CORRECT set")
        << cats << Lines{"POSIXLY_CORRECT=1", "rename", "cats/../cats/a", "-v"} << c << 0
        << Lines{"cats/", "cats/b:b", "cats/cats_a:a"} << QByteArray("/cats/a -> ") << QByteArray();
    QTest::newRow("dry run changes nothing")
        << cats << Lines{"rename", "--dry-run", "%R/cats"} << c << 0 << Lines{}
        << QByteArray("/cats/b -> ") << QByteArray();
    const Lines tree{"cats/",        "cats/a:a",       "cats/link@../out",  "cats/sub/",
                     "cats/sub/b:b", "cats/sub/deep/", "cats/sub/deep/c:c", "out/",
                     "out/o:o"};
    // A link to a folder is listed with the folders: neither renamed nor followed.
    QTest::newRow("recursive: nested folders, a link to a folder not followed")
        << tree << Lines{"rename", "-r", "%R/cats"} << c << 0
        << Lines{"cats/",          "cats/cats_a:a",          "cats/link@../out", "cats/sub/",
                 "cats/sub/deep/", "cats/sub/deep/deep_c:c", "cats/sub/sub_b:b", "out/",
                 "out/o:o"}
        << QByteArray() << QByteArray();
    QTest::newRow("not recursive: subfolders left alone")
        << tree << Lines{"rename", "%R/cats"} << c << 0
        << Lines{"cats/",        "cats/cats_a:a",  "cats/link@../out",  "cats/sub/",
                 "cats/sub/b:b", "cats/sub/deep/", "cats/sub/deep/c:c", "out/",
                 "out/o:o"}
        << QByteArray() << QByteArray();
    QTest::newRow("a folder named twice is renamed in once")
        << tree << Lines{"rename", "-r", "%R/cats/sub", "%R/cats", "%R/cats/sub/b"} << c << 0
        << Lines{"cats/",          "cats/cats_a:a",          "cats/link@../out", "cats/sub/",
                 "cats/sub/deep/", "cats/sub/deep/deep_c:c", "cats/sub/sub_b:b", "out/",
                 "out/o:o"}
        << QByteArray() << QByteArray();
    QTest::newRow("a file named in a folder a walk reaches: renamed once")
        << Lines{"cats/", "cats/a:a", "cats/sub/", "cats/sub/b:b", "cats/sub/c:c"}
        << Lines{"rename", "-r", "%R/cats/sub/b", "%R/cats"} << c << 0
        << Lines{"cats/", "cats/cats_a:a", "cats/sub/", "cats/sub/sub_b:b", "cats/sub/sub_c:c"}
        << QByteArray() << QByteArray();
    const Lines hidden{"cats/", "cats/.h:h", "cats/a:a", "cats/.git/", "cats/.git/x:x"};
    QTest::newRow("hidden names and folders left out")
        << hidden << Lines{"rename", "-r", "%R/cats"} << c << 0
        << Lines{"cats/", "cats/.h:h", "cats/cats_a:a", "cats/.git/", "cats/.git/x:x"}
        << QByteArray() << QByteArray();
    QTest::newRow("hidden names and folders with --all")
        << hidden << Lines{"rename", "-ra", "%R/cats"} << c << 0
        << Lines{"cats/", "cats/cats_.h:h", "cats/cats_a:a", "cats/.git/", "cats/.git/.git_x:x"}
        << QByteArray() << QByteArray();
    QTest::newRow("a hidden file named is renamed")
        << hidden << Lines{"rename", "%R/cats/.h"} << c << 0
        << Lines{"cats/", "cats/cats_.h:h", "cats/a:a", "cats/.git/", "cats/.git/x:x"}
        << QByteArray() << QByteArray();
    QTest::newRow("a hidden file named, and its folder walked: renamed once")
        << hidden << Lines{"rename", "-r", "%R/cats/.h", "%R/cats"} << c << 0
        << Lines{"cats/", "cats/cats_.h:h", "cats/cats_a:a", "cats/.git/", "cats/.git/x:x"}
        << QByteArray() << QByteArray();
    QTest::newRow("names that are not UTF-8, from argv, printed escaped")
        << Lines{"\xe9t\xe9/", "\xe9t\xe9/\xff\n.txt:x", "\xe9t\xe9/b:b"}
        << Lines{"rename", "-v", "%R/\xe9t\xe9/\xff\n.txt"} << c << 0
        << Lines{"\xe9t\xe9/", "\xe9t\xe9/b:b", "\xe9t\xe9/\xe9t\xe9_\xff\n.txt:x"}
        << QByteArray("/\\xe9t\\xe9/\\xe9t\\xe9_\\xff\\n.txt\n") << QByteArray();
    const Lines clash{"cats/", "cats/a:a", "cats/b:b", "cats/cats_b:old"};
    QTest::newRow("collision stops, both files intact")
        << clash << Lines{"rename", "%R/cats"} << c << 1
        << Lines{"cats/", "cats/b:b", "cats/cats_a:a", "cats/cats_b:old"} << QByteArray()
        << QByteArray("/cats/b to ");
    QTest::newRow("dry run foresees the collision")
        << clash << Lines{"rename", "-n", "%R/cats"} << c << 1 << Lines{} << QByteArray()
        << QByteArray("/cats/cats_b");
    QTest::newRow("missing path: nothing renamed")
        << cats << Lines{"rename", "%R/cats", "%R/nothing"} << c << 2 << Lines{} << QByteArray()
        << QByteArray("/nothing");
    QTest::newRow("unknown option") << cats << Lines{"rename", "--bogus", "%R/cats"} << c << 2
                                    << Lines{} << QByteArray() << QByteArray("Usage:");
    QTest::newRow("unknown short option") << cats << Lines{"rename", "-nx", "%R/cats"} << c << 2
                                          << Lines{} << QByteArray() << QByteArray("Usage:");
    QTest::newRow("unknown option of the window")
        << cats << Lines{"--bogus"} << c << 2 << Lines{} << QByteArray() << QByteArray("Usage:");
    QTest::newRow("rename without a path")
        << cats << Lines{"rename"} << c << 2 << Lines{} << QByteArray() << QByteArray("Usage:");
    QTest::newRow("help without a display, every command in it")
        << cats << Lines{"--help"} << c << 0 << Lines{}
        << QByteArray("  merge SOURCE... DEST  move every file") << QByteArray();
    QTest::newRow("merge --help: the merge's own")
        << cats << Lines{"merge", "--help"} << c << 0 << Lines{}
        << QByteArray("Usage: kovra merge [OPTION...] SOURCE... DEST\nMove every file")
        << QByteArray();
    QTest::newRow("version without a display")
        << cats << Lines{"--version"} << c << 0 << Lines{} << QByteArray("kovra ") << QByteArray();
    QTest::newRow("undo puts the names back")
        << cats << Lines{"rename", "%R/cats", ";", "undo"} << c << 0 << Lines{} << QByteArray("2 ")
        << QByteArray();
    QTest::newRow("undo: nothing to undo")
        << cats << Lines{"undo"} << c << 1 << Lines{} << QByteArray() << QByteArray("undo");
    QTest::newRow("a dry run leaves nothing to undo")
        << cats << Lines{"rename", "-n", "%R/cats", ";", "undo"} << c << 1 << Lines{}
        << QByteArray() << QByteArray("undo");
    QTest::newRow("--no-undo leaves nothing to undo")
        << cats << Lines{"rename", "--no-undo", "%R/cats", ";", "undo"} << c << 1
        << Lines{"cats/", "cats/cats_a:a", "cats/cats_b:b"} << QByteArray() << QByteArray("undo");
    QTest::newRow("undo after a collision: the files renamed before")
        << clash << Lines{"rename", "%R/cats", ";", "undo"} << c << 0 << Lines{} << QByteArray("1 ")
        << QByteArray();
    QTest::newRow("undo after --recursive: the whole tree back")
        << tree << Lines{"rename", "-r", "%R/cats", ";", "undo"} << c << 0 << Lines{}
        << QByteArray("3 files renamed back") << QByteArray();
    QTest::newRow("undo after several paths: all of them back")
        << tree << Lines{"rename", "%R/cats/a", "%R/out", "%R/cats/sub/b", ";", "undo"} << c << 0
        << Lines{} << QByteArray("3 files renamed back") << QByteArray();
    QTest::newRow("undo after a collision in a subfolder: the folders before it")
        << Lines{"cats/", "cats/a:a", "cats/sub/", "cats/sub/b:b", "cats/sub/sub_b:old"}
        << Lines{"rename", "-r", "%R/cats", ";", "undo"} << c << 0 << Lines{}
        << QByteArray("and 1 more: 1 file renamed back") << QByteArray();
    QTest::newRow("undo takes back the last run only")
        << cats << Lines{"rename", "%R/cats/a", ";", "rename", "%R/cats/b", ";", "undo"} << c << 0
        << Lines{"cats/", "cats/cats_a:a", "cats/b:b"} << QByteArray() << QByteArray();
    QTest::newRow("undo again takes back the run before")
        << cats
        << Lines{"rename", "%R/cats/a", ";", "rename", "%R/cats/b", ";", "undo", ";", "undo"} << c
        << 0 << Lines{} << QByteArray() << QByteArray();
    QTest::newRow("undo N takes back run N of the history")
        << cats << Lines{"rename", "%R/cats/a", ";", "rename", "%R/cats/b", ";", "undo", "2"} << c
        << 0 << Lines{"cats/", "cats/a:a", "cats/cats_b:b"} << QByteArray() << QByteArray();
    QTest::newRow("undo --list: newest first, with its state")
        << cats << Lines{"rename", "%R/cats/a", ";", "rename", "%R/cats/b",
                         ";",      "undo",      ";", "undo",   "--list"}
        << c << 0 << Lines{"cats/", "cats/cats_a:a", "cats/b:b"}
        << QByteArray("1 file renamed  undone  ") << QByteArray();
    // A run over a tree: its first folder and how many more; every folder with -v.
    const Lines renamedTree{
        "cats/",          "cats/cats_a:a",          "cats/link@../out", "cats/sub/",
        "cats/sub/deep/", "cats/sub/deep/deep_c:c", "cats/sub/sub_b:b", "out/",
        "out/o:o"};
    QTest::newRow("undo --list: a tree run's first folder and how many more")
        << tree << Lines{"rename", "-r", "%R/cats", ";", "undo", "--list"} << c << 0 << renamedTree
        << QByteArray("/cats and 2 more\n") << QByteArray();
    QTest::newRow("undo --list in Japanese")
        << tree << Lines{"rename", "-r", "%R/cats", ";", "undo", "--list"}
        << QByteArray("ja_JP.UTF-8") << 0 << renamedTree << QByteArray("/cats ほか 2 個\n")
        << QByteArray();
    QTest::newRow("undo --list -v: every folder")
        << tree << Lines{"rename", "-r", "%R/cats", ";", "undo", "--list", "-v"} << c << 0
        << renamedTree << QByteArray("/cats/sub/deep") << QByteArray();
    // The history counts what a run did, and names a merge's folders as undo names them.
    QTest::newRow("undo --list: a run stopped by a name taken, what it renamed")
        << clash << Lines{"rename", "%R/cats", ";", "undo", "--list"} << c << 0
        << Lines{"cats/", "cats/b:b", "cats/cats_a:a", "cats/cats_b:old"}
        << QByteArray("1 file renamed, 2 left  done") << QByteArray();
    QTest::newRow("undo of a merge: its sources and destination as the history has them")
        << Lines{"x/", "x/a:a", "y/", "y/b:b", "all/"}
        << Lines{"merge", "%R/x", "%R/y", "%R/all", ";", "undo"} << c << 0 << Lines{}
        << QByteArray("/x and 1 more -> ") << QByteArray();
    QTest::newRow("undo N beyond the history")
        << cats << Lines{"undo", "3"} << c << 2 << Lines{} << QByteArray() << QByteArray("3");
    QTest::newRow("the window without a display") << cats << Lines{"%R/cats"} << c << 2 << Lines{}
                                                  << QByteArray() << QByteArray("kovra rename");
    QTest::newRow("a mistyped command") << cats << Lines{"renmae", "%R/cats"} << c << 2 << Lines{}
                                        << QByteArray() << QByteArray("renmae");
    // The window is never opened elsewhere than asked: not on a missing path's parent, not on
    // one of several folders.
    const Lines two{"cats/", "cats/a:a", "dogs/", "dogs/b:b"};
    QTest::newRow("window: a path that does not exist")
        << cats << Lines{"%R/catz"} << c << 2 << Lines{} << QByteArray() << QByteArray("/catz");
    QTest::newRow("window: a missing file after an existing one")
        << cats << Lines{"%R/cats/a", "%R/cats/z"} << c << 2 << Lines{} << QByteArray()
        << QByteArray("/cats/z");
    QTest::newRow("window: files in two folders")
        << two << Lines{"%R/cats/a", "%R/dogs/b"} << c << 2 << Lines{} << QByteArray()
        << QByteArray("/dogs\n");
    QTest::newRow("window: two folders") << two << Lines{"%R/cats", "%R/dogs"} << c << 2 << Lines{}
                                         << QByteArray() << QByteArray("/cats\n");
    QTest::newRow("undo --help") << cats << Lines{"undo", "--help"} << c << 0 << Lines{}
                                 << QByteArray("kovra undo") << QByteArray();
    QTest::newRow("the root has no name to give") << cats << Lines{"rename", "-n", "/"} << c << 2
                                                  << Lines{} << QByteArray() << QByteArray("/");
    // Merges: files of many folders into one, never replacing.
    const Lines pics{"pics/",
                     "pics/cats/",
                     "pics/cats/a:a",
                     "pics/cats/cats_b:b",
                     "pics/cats/k/",
                     "pics/cats/k/k:k",
                     "pics/dogs/",
                     "pics/dogs/a:d",
                     "pics/dogs/.h:h",
                     "pics/dogs/up@../cats",
                     "pics/all/",
                     "pics/all/cats_a:a",
                     "pics/all/dogs_a:other"};
    const Lines merge{"merge", "%R/pics/cats", "%R/pics/dogs", "%R/pics/all"};
    const auto with = [&merge](const Lines& options) {
        Lines args{"merge"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), merge.begin() + 1, merge.end());
        return args;
    };
    const Lines leftInDogs{"pics/dogs/", "pics/dogs/a:d", "pics/dogs/.h:h", "pics/dogs/up@../cats"};
    const auto plus = [](Lines a, const Lines& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Lines merged{"pics/",
                       "pics/all/",
                       "pics/all/cats_a:a",
                       "pics/all/cats_b:b",
                       "pics/all/k_k:k",
                       "pics/all/dogs_a:other"};
    QTest::newRow("merge: named after their folders, a duplicate to the Trash, a clash left")
        << pics << merge << c << 1 << plus(merged, leftInDogs) << QByteArray()
        << QByteArray("/pics/dogs/a: left: ");
    QTest::newRow("merge --number: a clash numbered")
        << pics << with({"--number"}) << c << 0
        << plus(merged,
                {"pics/all/dogs_a (2):d", "pics/dogs/", "pics/dogs/.h:h", "pics/dogs/up@../cats"})
        << QByteArray() << QByteArray();
    QTest::newRow("merge --keep-duplicates: the duplicate stays, and its folder")
        << pics << with({"--keep-duplicates", "--number"}) << c << 1
        << plus(merged, {"pics/cats/", "pics/cats/a:a", "pics/all/dogs_a (2):d", "pics/dogs/",
                         "pics/dogs/.h:h", "pics/dogs/up@../cats"})
        << QByteArray() << QByteArray("the same as");
    QTest::newRow("merge -a: hidden files too")
        << pics << with({"-a"}) << c << 1
        << plus(merged,
                {"pics/all/dogs_.h:h", "pics/dogs/", "pics/dogs/a:d", "pics/dogs/up@../cats"})
        << QByteArray() << QByteArray();
    QTest::newRow("merge --keep-folders: emptied folders stay")
        << pics << with({"--keep-folders"}) << c << 1
        << plus(plus(merged, leftInDogs), {"pics/cats/", "pics/cats/k/"}) << QByteArray()
        << QByteArray();
    QTest::newRow("merge -n: every planned move, and nothing changed")
        << pics << with({"-n"}) << c << 1 << Lines{}
        << QByteArray("/pics/cats/a -> the Trash (the same as ") << QByteArray();
    const Lines copies{"pics/",      "pics/cats/",       "pics/cats/a:same",
                       "pics/dogs/", "pics/dogs/b:same", "pics/all/"};
    QTest::newRow("merge --dedupe: a copy under another name to the Trash, the first kept")
        << copies << Lines{"merge", "--dedupe", "%R/pics/cats", "%R/pics/dogs", "%R/pics/all"} << c
        << 0 << Lines{"pics/", "pics/all/", "pics/all/cats_a:same"} << QByteArray() << QByteArray();
    QTest::newRow("merge --dedupe -n: the copy kept named")
        << copies << Lines{"merge", "-n", "--dedupe", "%R/pics/cats", "%R/pics/dogs", "%R/pics/all"}
        << c << 0 << Lines{} << QByteArray("/pics/dogs/b -> the Trash (the same as ")
        << QByteArray();
    QTest::newRow("merge --dedupe --keep-duplicates: the copy stays, named")
        << copies << Lines{"merge",        "--dedupe",     "--keep-duplicates",
                           "%R/pics/cats", "%R/pics/dogs", "%R/pics/all"}
        << c << 1
        << Lines{"pics/", "pics/all/", "pics/all/cats_a:same", "pics/dogs/", "pics/dogs/b:same"}
        << QByteArray() << QByteArray("/pics/cats/a, kept\n");
    QTest::newRow("merge --dedupe=WORD it does not take")
        << copies << Lines{"merge", "--dedupe=biggest", "%R/pics/cats", "%R/pics/all"} << c << 2
        << Lines{} << QByteArray() << QByteArray("--dedupe takes first, oldest or newest");
    QTest::newRow("merge --name-from=WORD it does not take")
        << copies << Lines{"merge", "--name-from=card", "%R/pics/cats", "%R/pics/all"} << c << 2
        << Lines{} << QByteArray() << QByteArray("--name-from takes folder, source or path");
    QTest::newRow("merge -v: each move as it is made")
        << pics << with({"-v", "--number"}) << c << 0
        << plus(merged,
                {"pics/all/dogs_a (2):d", "pics/dogs/", "pics/dogs/.h:h", "pics/dogs/up@../cats"})
        << QByteArray("/pics/dogs/a -> ") << QByteArray();
    const Lines flat{"pics/",         "pics/x:x",   "pics/cats/",
                     "pics/cats/a:a", "pics/dogs/", "pics/dogs/a:b"};
    QTest::newRow("merge pics/*/ pics flattens it")
        << flat << Lines{"merge", "%R/pics/cats/", "%R/pics/dogs/", "%R/pics"} << c << 0
        << Lines{"pics/", "pics/x:x", "pics/cats_a:a", "pics/dogs_a:b"} << QByteArray()
        << QByteArray();
    QTest::newRow("merge: a destination inside a source is left out of its walk")
        << flat << Lines{"merge", "%R/pics", "%R/pics/all"} << c << 0
        << Lines{"pics/", "pics/all/", "pics/all/pics_x:x", "pics/all/cats_a:a",
                 "pics/all/dogs_a:b"}
        << QByteArray() << QByteArray();
    QTest::newRow("merge: a named file moves with its folder's name")
        << flat << Lines{"merge", "%R/pics/dogs/a", "%R/new"} << c << 0
        << plus(Lines{"new/", "new/dogs_a:b", "pics/", "pics/x:x", "pics/cats/", "pics/cats/a:a"},
                {"pics/dogs/"})
        << QByteArray() << QByteArray();
    QTest::newRow("merge: a source that is the destination")
        << flat << Lines{"merge", "%R/pics/cats", "%R/pics/../pics/cats"} << c << 2 << Lines{}
        << QByteArray() << QByteArray("destination");
    // A source named as a link to a folder is never followed, slash or not, wherever it leads:
    // beside the destination (side), above it (up), inside it (in).
    const Lines linked{"t:t",          "sib/",       "sib/s:s",       "p/",
                       "p/cats/",      "p/cats/a:a", "p/all/",        "p/all/in/",
                       "p/all/in/i:i", "p/up@..",    "p/side@../sib", "p/in@all/in"};
    Lines catsMoved = linked;
    catsMoved.erase(catsMoved.begin() + 4, catsMoved.begin() + 6);
    catsMoved.push_back("p/all/cats_a:a");
    for (const std::string slash : {"/", ""}) {
        QTest::addRow("merge: links to folders named with%s a slash stay, and only they",
                      slash.empty() ? "out" : "")
            << linked
            << Lines{"merge",           "%R/p/cats" + slash, "%R/p/up" + slash, "%R/p/side" + slash,
                     "%R/p/in" + slash, "%R/p/all"}
            << c << 1 << catsMoved << QByteArray()
            << QByteArray("/p/up: left: a link to a folder: name the folder itself");
    }
    QTest::newRow("merge p/*/ p: its real folders flattened, its links left")
        << linked
        << Lines{"merge", "%R/p/all/", "%R/p/cats/", "%R/p/in/", "%R/p/side/", "%R/p/up/", "%R/p"}
        << c << 1 << Lines{"t:t",      "sib/",    "sib/s:s",       "p/",         "p/cats_a:a",
                           "p/in_i:i", "p/up@..", "p/side@../sib", "p/in@all/in"}
        << QByteArray() << QByteArray("/p/side: left: ");
    Lines sideRenamed = linked;
    sideRenamed[2] = "sib/sib_s:s";
    QTest::newRow("rename: a link to a folder named with a slash opens it, as without one")
        << linked << Lines{"rename", "%R/p/side/"} << c << 0 << sideRenamed << QByteArray()
        << QByteArray();
    QTest::newRow("merge: a missing source moves nothing")
        << flat << Lines{"merge", "%R/pics/cats", "%R/nothing", "%R/pics"} << c << 2 << Lines{}
        << QByteArray() << QByteArray("/nothing");
    QTest::newRow("merge without a destination") << flat << Lines{"merge", "%R/pics"} << c << 2
                                                 << Lines{} << QByteArray() << QByteArray("Usage:");
    QTest::newRow("undo takes a merge back: duplicates out of the Trash, folders made again")
        << pics << plus(with({"--number"}), {";", "undo"}) << c << 0 << Lines{}
        << QByteArray("4 files moved back") << QByteArray();
    QTest::newRow("undo removes the destination the merge made")
        << flat << Lines{"merge", "%R/pics/cats", "%R/new", ";", "undo"} << c << 0 << Lines{}
        << QByteArray() << QByteArray();
    QTest::newRow("undo --list shows a merge")
        << flat << Lines{"merge", "%R/pics/cats", "%R/new", ";", "undo", "--list"} << c << 0
        << Lines{"new/", "new/cats_a:a", "pics/", "pics/x:x", "pics/dogs/", "pics/dogs/a:b"}
        << QByteArray("/pics/cats -> ") << QByteArray();
    QTest::newRow("merge in Japanese") << pics << with({"-n"}) << QByteArray("ja_JP.UTF-8") << 1
                                       << Lines{} << QByteArray("ゴミ箱") << QByteArray();
    QTest::newRow("Japanese locale")
        << cats << Lines{"rename", "%R/nothing"} << QByteArray("ja_JP.UTF-8") << 2 << Lines{}
        << QByteArray() << QByteArray("開けません");
}

void TestCli::command() {
    QFETCH(Lines, tree);
    QFETCH(Lines, args);
    QFETCH(QByteArray, locale);
    QFETCH(int, status);
    QFETCH(Lines, after);
    QFETCH(QByteArray, outHas);
    QFETCH(QByteArray, errHas);

    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    const std::string root = temp.path() + "/t", state = temp.path() + "/s";
    QVERIFY(::mkdir(root.c_str(), 0755) == 0);
    makeTree(root, tree);
    if (QTest::currentTestFailed()) {
        return;
    }
    // Commands separated by ";" run one after the other; the last one's results are checked.
    QVERIFY(::chdir(root.c_str()) == 0);
    Ran ran;
    for (auto begin = args.begin();;) {
        const auto end = std::find(begin, args.end(), ";");
        ran = runKovra(root, state, Lines(begin, end), locale.toStdString());
        if (end == args.end()) {
            break;
        }
        begin = end + 1;
    }
    QVERIFY(::chdir("/") == 0);

    Lines now;
    readTree(root, "", now);
    std::sort(now.begin(), now.end());
    Lines expected = after.empty() ? tree : after;
    std::sort(expected.begin(), expected.end());
    QByteArray shown = "tree now:";
    for (const std::string& line : now) {
        shown += " " + QByteArray::fromStdString(line).toPercentEncoding("/:@._");
    }
    QVERIFY2(now == expected, shown.constData());
    QVERIFY2(ran.status == status, ran.err.c_str());
    QVERIFY2(ran.out.find(outHas.toStdString()) != std::string::npos, ran.out.c_str());
    QVERIFY2(ran.err.find(errHas.toStdString()) != std::string::npos, ran.err.c_str());
    if (status == 2) {
        QVERIFY2(ran.out.empty(), ran.out.c_str());
    }
}

// A folder named after another that its user cannot list or open: the command renames nothing.
void TestCli::pathsOpenedFirst_data() {
    QTest::addColumn<QByteArray>("locked");
    QTest::addColumn<int>("mode");
    QTest::newRow("a folder that cannot be searched") << QByteArray("noexec/sub") << 0644;
    QTest::newRow("a folder that cannot be read") << QByteArray("noexec") << 0333;
}

void TestCli::pathsOpenedFirst() {
    QFETCH(QByteArray, locked);
    QFETCH(int, mode);
    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    const std::string root = temp.path() + "/t", state = temp.path() + "/s";
    const Lines tree{"c6/", "c6/real/", "c6/real/a:a", "noexec/", "noexec/sub/", "noexec/sub/b:b"};
    QVERIFY(::mkdir(root.c_str(), 0777) == 0 && ::mkdir(state.c_str(), 0777) == 0);
    makeTree(root, tree);
    // Root would open anything: the command runs as nobody, who may rename in c6/real.
    for (const std::string& folder : {temp.path(), root, state, root + "/c6", root + "/c6/real"}) {
        QVERIFY(::chmod(folder.c_str(), 0777) == 0);
    }
    QVERIFY(::chmod((root + "/" + locked.toStdString()).c_str(), mode_t(mode)) == 0);
    // Run from a copy nobody can reach: the build may lie in a folder only its owner may enter.
    const std::string program = temp.path() + "/kovra";
    QVERIFY(QFile::copy(QStringLiteral(KOVRA_PROGRAM), QString::fromStdString(program)));
    QVERIFY(::chmod(program.c_str(), 0755) == 0);
    const Ran ran = runKovra(root, state, {"rename", "%R/c6/real", "%R/" + locked.toStdString()},
                             "C", {}, ::geteuid() == 0 ? kNobody : 0, program);
    Lines now;
    readTree(root, "", now);
    std::sort(now.begin(), now.end());
    QVERIFY2(std::is_permutation(now.begin(), now.end(), tree.begin(), tree.end()),
             ran.err.c_str());
    QVERIFY2(ran.status == 2, ran.err.c_str());
    QVERIFY2(ran.err.find(locked.toStdString()) != std::string::npos, ran.err.c_str());
}

// A link in a named folder to a folder that was not named: the walk leaves it, and nothing
// outside the named folders changes. A link to / is tried in a dry run only, where a walk that
// followed it would list more than the one file.
void TestCli::linksNeverFollowed_data() {
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<Lines>("args");
    QTest::addColumn<Lines>("moved");  // the tree's lines for a, where the command put it
    const Lines merge{"merge", "%R/pics/cats", "%R/pics/all"};
    const Lines rename{"rename", "-r", "%R/pics/cats"};
    const Lines merged{"pics/all/cats_a:a"}, renamed{"pics/cats/cats_a:a"};
    // "/." for the root: a tree line ending in a slash is a folder.
    for (const char* target : {"../../elsewhere", "..", "/."}) {
        if (target[0] != '/') {
            QTest::addRow("merge, a link to %s", target) << QByteArray(target) << merge << merged;
            QTest::addRow("rename -r, a link to %s", target)
                << QByteArray(target) << rename << renamed;
        }
        QTest::addRow("merge --dry-run, a link to %s", target)
            << QByteArray(target) << Lines{"merge", "-n", merge[1], merge[2]} << Lines{};
        QTest::addRow("rename -r --dry-run, a link to %s", target)
            << QByteArray(target) << Lines{"rename", "-r", "-n", rename[2]} << Lines{};
    }
}

void TestCli::linksNeverFollowed() {
    QFETCH(QByteArray, target);
    QFETCH(Lines, args);
    QFETCH(Lines, moved);
    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    const std::string root = temp.path() + "/t", state = temp.path() + "/s";
    QVERIFY(::mkdir(root.c_str(), 0755) == 0);
    const Lines kept{"pics/",          "pics/all/",
                     "pics/cats/",     "pics/cats/out@" + target.toStdString(),
                     "elsewhere/",     "elsewhere/tax.pdf:t",
                     "elsewhere/sub/", "elsewhere/sub/b:b",
                     "pics/top.jpg:p"};
    Lines tree = kept;
    tree.push_back("pics/cats/a:a");
    makeTree(root, tree);
    const Ran ran = runKovra(root, state, args, "C");
    QVERIFY2(ran.status == 0, ran.err.c_str());
    Lines expected = kept;
    expected.insert(expected.end(), moved.begin(), moved.end());
    if (moved.empty()) {
        expected.push_back("pics/cats/a:a");
        // One move or rename, a's: none through the link.
        int moves = 0;
        for (auto at = ran.out.find(" -> "); at != std::string::npos;
             at = ran.out.find(" -> ", at + 1)) {
            ++moves;
        }
        QVERIFY2(moves == 1, ran.out.c_str());
        QVERIFY2(ran.out.find("/pics/cats/a -> ") != std::string::npos, ran.out.c_str());
    }
    std::sort(expected.begin(), expected.end());
    QCOMPARE(readTree(root), expected);
}

// A name of `units` times `unit` in front of ".jpg".
std::string longName(const std::string& unit, long units) {
    std::string name;
    for (long i = 0; i < units; ++i) {
        name += unit;
    }
    return name + ".jpg";
}

// The dry run says what the real run does on a long name: the same status, the same words.
void TestCli::dryRunPredictsRun_data() {
    QTest::addColumn<bool>("exfat");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("name");
    // Drives that count bytes: this one's own limit, whatever it is.
    const long bytes = ::pathconf(QDir::tempPath().toLocal8Bit().constData(), _PC_NAME_MAX);
    QTest::newRow("bytes: the longest name, made too long")
        << false << QByteArray("cats") << QByteArray::fromStdString(longName("a", bytes - 4));
    // exFAT counts UTF-16 code units, 255 of them: "旅行_" and 90 kanji are 281 bytes and fit;
    // 249 kanji, 256 units, do not.
    const QByteArray trip = "\xe6\x97\x85\xe8\xa1\x8c";
    const std::string kanji = "\xe7\x8c\xab";
    QTest::newRow("exFAT: 90 kanji fit")
        << true << trip << QByteArray::fromStdString(longName(kanji, 90));
    QTest::newRow("exFAT: 249 kanji do not")
        << true << trip << QByteArray::fromStdString(longName(kanji, 249));
}

void TestCli::dryRunPredictsRun() {
    QFETCH(bool, exfat);
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, name);
    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    std::optional<mountutil::ImageMount> image;
    std::string root = temp.path();
    if (exfat) {
        image.emplace(mountutil::Image::ExFat);
        KOVRA_REQUIRE_MOUNT(*image);
        root = image->path();
    }
    const std::string dir = root + "/" + folder.toStdString();
    QVERIFY(::mkdir(dir.c_str(), 0755) == 0);
    QVERIFY(testutil::makeFile(dir, name.toStdString(), "x"));
    const Lines args{"rename", "--no-undo", "%R/" + folder.toStdString()};
    Lines dryArgs = args;
    dryArgs.insert(dryArgs.begin() + 1, "-n");
    const Ran dry = runKovra(root, temp.path(), dryArgs, "C");
    const Ran real = runKovra(root, temp.path(), args, "C");
    QCOMPARE(dry.err, real.err);
    QCOMPARE(dry.status, real.status);
    QCOMPARE(dry.out.empty(), real.status != 0);
}

// The lines of `text` that tell of a file left where it was, sorted.
Lines leftLines(const std::string& text) {
    Lines out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.find(": left: ") != std::string::npos) {
            out.push_back(line);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The dry run promises what the run does where the drive ignores case, and in a folder with the
// sticky bit, where a user may move only their own files.
void TestCli::planIsRun_data() {
    QTest::addColumn<int>("drive");  // 0: the temporary folder, else a mountutil::Image + 1
    QTest::addColumn<Lines>("tree");
    QTest::addColumn<Lines>("args");
    QTest::addColumn<QByteArray>("sticky");  // a folder made 1777, the command run as nobody
    QTest::addColumn<int>("status");
    const int exfat = int(mountutil::Image::ExFat) + 1;
    const int fat = int(mountutil::Image::Fat) + 1;
    const Lines merge{"merge", "--no-undo", "%R/x", "%R/dest"};
    const Lines taken{"x/", "x/b.jpg:mine", "dest/", "dest/x_B.jpg:other"};
    QTest::newRow("exFAT: a name taken in another case")
        << exfat << taken << merge << QByteArray() << 1;
    const Lines rename{"rename", "--no-undo", "%R/a"};
    const Lines cases{"a/", "a/A_b.jpg:1", "a/b.jpg:2"};
    QTest::newRow("exFAT: a name freed in another case")
        << exfat << cases << rename << QByteArray() << 0;
    QTest::newRow("FAT: a name freed in another case")
        << fat << cases << rename << QByteArray() << 0;
    const Lines shared{"x/", "x/mine.jpg:m", "x/root.jpg:r", "dest/"};
    QTest::newRow("sticky: another user's file stays")
        << 0 << shared << merge << QByteArray("x") << 1;
    QTest::newRow("sticky: another user's file keeps its name")
        << 0 << shared << Lines{"rename", "--no-undo", "%R/x"} << QByteArray("x") << 1;
}

void TestCli::planIsRun() {
    QFETCH(int, drive);
    QFETCH(Lines, tree);
    QFETCH(Lines, args);
    QFETCH(QByteArray, sticky);
    QFETCH(int, status);
    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    std::optional<mountutil::ImageMount> image;
    std::string root = temp.path() + "/t";
    const std::string state = temp.path() + "/s";
    QVERIFY(::mkdir(state.c_str(), 0777) == 0 && ::chmod(state.c_str(), 0777) == 0);
    if (drive != 0) {
        image.emplace(mountutil::Image(drive - 1));
        KOVRA_REQUIRE_MOUNT(*image);
        root = image->path();
    } else {
        QVERIFY(::mkdir(root.c_str(), 0777) == 0);
    }
    makeTree(root, tree);
    uid_t user = 0;
    std::string program = KOVRA_PROGRAM;
    if (!sticky.isEmpty()) {
        if (::geteuid() != 0) {
            QSKIP("the sticky bit's rows need root, to make another user's file");
        }
        user = kNobody;
        // A copy of the program that user can reach, wherever the build lies.
        program = temp.path() + "/kovra";
        QVERIFY(::system(("cp " + std::string(KOVRA_PROGRAM) + " " + program).c_str()) == 0);
        for (const std::string& folder : {temp.path(), root, root + "/dest"}) {
            QVERIFY(::chmod(folder.c_str(), 0777) == 0);
        }
        QVERIFY(::chmod((root + "/" + sticky.toStdString()).c_str(), 01777) == 0);
        QVERIFY(::chown((root + "/x/mine.jpg").c_str(), kNobody, kNobody) == 0);
    }
    Lines dryArgs = args;
    dryArgs.insert(dryArgs.begin() + 1, "-n");
    const Ran dry = runKovra(root, state, dryArgs, "C", {}, user, program);
    const Ran real = runKovra(root, state, args, "C", {}, user, program);
    QCOMPARE(real.status, status);
    QVERIFY2(dry.status == real.status, (dry.out + dry.err + "\n--\n" + real.err).c_str());
    if (args.front() == "merge") {
        QCOMPARE(leftLines(dry.out), leftLines(real.err));
    } else {
        QCOMPARE(dry.err, real.err);
    }
}

// Undo of a merge whose source folder cannot be made again names each file where it is: in the
// destination.
void TestCli::mergeSourceGone() {
    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    const std::string root = temp.path() + "/t", state = temp.path() + "/s";
    QVERIFY(::mkdir(root.c_str(), 0755) == 0);
    makeTree(root, {"p/", "p/x/", "p/x/a:a", "all/"});
    QCOMPARE(runKovra(root, state, {"merge", "%R/p/x", "%R/all"}, "C").status, 0);
    QVERIFY(::rmdir((root + "/p").c_str()) == 0);  // x went with the merge; now its parent
    const Ran undo = runKovra(root, state, {"undo"}, "C");
    QVERIFY2(undo.err.find(" " + root + "/all/x_a ") != std::string::npos, undo.err.c_str());
}

// Output that cannot be written is a failure, said on standard error.
void TestCli::outputFailure_data() {
    QTest::addColumn<Lines>("args");
    QTest::newRow("dry run") << Lines{"rename", "-n", "%R"};
    QTest::newRow("help") << Lines{"--help"};
    QTest::newRow("version") << Lines{"--version"};
    QTest::newRow("undo's help") << Lines{"undo", "--help"};
}

void TestCli::outputFailure() {
    QFETCH(Lines, args);
    testutil::TempFolder temp;
    QVERIFY(temp.isValid() && testutil::makeFile(temp.path(), "a"));
    const Ran ran = runKovra(temp.path(), temp.path(), args, "C", "/dev/full");
    QCOMPARE(ran.status, 1);
    QVERIFY(!ran.err.empty());
    QVERIFY(testutil::exists(temp.path() + "/a"));
}

// Several folders renamed at once (-j): each in its own order, a failure in one stopping the
// others between files, the report saying where each folder was left, and undo taking all back.
void TestCli::parallel_data() {
    QTest::addColumn<bool>("failing");  // the second folder's first new name is taken
    QTest::addColumn<bool>("undo");
    QTest::newRow("all folders done") << false << false;
    QTest::newRow("one folder fails: the others stop") << true << false;
    QTest::newRow("undo of a parallel run puts every file back") << false << true;
}

void TestCli::parallel() {
    QFETCH(bool, failing);
    QFETCH(bool, undo);
    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    const std::string root = temp.path() + "/t", state = temp.path() + "/s";
    // The first folder is large: it is still being renamed in when the second one fails.
    constexpr int kFolders = 12;
    const auto filesIn = [](int f) { return f == 0 ? 5000 : 10; };
    QVERIFY(::mkdir(root.c_str(), 0755) == 0);
    std::vector<std::string> folders;
    for (int f = 0; f < kFolders; ++f) {
        const std::string name = (f < 10 ? "d0" : "d") + std::to_string(f);
        folders.push_back(root + "/" + name);
        QVERIFY(::mkdir(folders.back().c_str(), 0755) == 0);
        for (int i = 0; i < filesIn(f); ++i) {
            QVERIFY(testutil::makeFile(folders.back(), "f" + std::to_string(100000 + i), name));
        }
        if (failing && f == 1) {
            // A folder, which is never renamed itself, holds the first new name.
            QVERIFY(::mkdir((folders.back() + "/" + name + "_f100000").c_str(), 0755) == 0);
        }
    }
    Lines before;
    readTree(root, "", before);
    Ran ran = runKovra(root, state, {"rename", "-r", "-j", "2", "%R"}, "C");
    if (undo) {
        QCOMPARE(ran.status, 0);
        ran = runKovra(root, state, {"undo", "-j", "2"}, "C");
        Lines after;
        readTree(root, "", after);
        QCOMPARE(after, before);
        QVERIFY2(ran.status == 0, ran.err.c_str());
        return;
    }
    QCOMPARE(ran.status, failing ? 1 : 0);
    // Every file once, under its old name or its new one, in order: none renamed after one that
    // was not.
    std::vector<int> renamed;
    for (int f = 0; f < kFolders; ++f) {
        const std::string& folder = folders[f];
        const std::string name = folder.substr(folder.rfind('/') + 1);
        int count = 0;
        for (int i = 0; i < filesIn(f); ++i) {
            const std::string file = "f" + std::to_string(100000 + i);
            const bool old = testutil::exists(folder + "/" + file);
            const bool now = testutil::readFile(folder + "/" + name + "_" + file) == name;
            QVERIFY2(old != now && (!now || count == i), (folder + "/" + file).c_str());
            count += now;
        }
        renamed.push_back(count);
    }
    if (!failing) {
        QVERIFY2(ran.err.empty(), ran.err.c_str());
        for (int f = 0; f < kFolders; ++f) {
            QCOMPARE(renamed[f], filesIn(f));
        }
        return;
    }
    QVERIFY2(ran.err.find("cannot rename " + folders[1] + "/f100000 to ") != std::string::npos,
             ran.err.c_str());
    QCOMPARE(renamed[1], 0);
    QVERIFY2(renamed[0] < filesIn(0), "the first folder was not stopped");
    // Each folder the walk reached is in the report once, in walk order, as the disk shows it.
    const std::size_t report = ran.err.find("each folder as the run left it:\n");
    QVERIFY2(report != std::string::npos, ran.err.c_str());
    std::istringstream lines(ran.err.substr(report));
    std::string line;
    std::getline(lines, line);
    int listed = 0;
    for (int f = 0; std::getline(lines, line); ++f, ++listed) {
        QVERIFY2(f < kFolders, line.c_str());
        const std::string next = folders[f] + "/f" + std::to_string(100000 + renamed[f]);
        const bool fits =
            (line == "  done: " + folders[f] && renamed[f] == filesIn(f)) ||
            (line.rfind("  stopped at " + next + ": ", 0) == 0 && f == 1) ||
            (line == "  stopped before " + next + ": a failure elsewhere" && f != 1) ||
            (line == "  not started: " + folders[f] && renamed[f] == 0);
        QVERIFY2(fits, line.c_str());
    }
    // Not a line missing: the two folders renamed in at once, and each one a file was renamed in.
    int reached = 1;
    for (int f = 0; f < kFolders; ++f) {
        reached = renamed[f] > 0 ? std::max(reached, f) : reached;
    }
    QVERIFY2(listed > reached, ran.err.c_str());
}

// A merge of the folder the program itself lies in moves everything but the program.
void TestCli::programFileStays() {
    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    const std::string bin = temp.path() + "/bin";
    makeTree(temp.path(), {"bin/", "bin/notes:n"});
    QVERIFY(mountutil::runTool({"/bin/cp", KOVRA_PROGRAM, bin + "/kovra"}, temp.path() + "/log"));
    const Ran ran = runKovra(temp.path(), temp.path() + "/s", {"merge", "%R/bin", "%R/out"}, "C",
                             {}, 0, bin + "/kovra");
    QVERIFY2(ran.status == 1, ran.err.c_str());
    QVERIFY2(ran.err.find("/bin/kovra: left: the running program's own file") != std::string::npos,
             ran.err.c_str());
    QCOMPARE(testutil::entries(bin), (Lines{"kovra"}));
    QCOMPARE(testutil::readFile(temp.path() + "/out/bin_notes"), std::string("n"));
}

// A copy of the program in a folder it renames, the launcher and the window program beside it
// as the build lays them out: both stay, known by what they are; a user's file merely called
// like one of them does not.
void TestCli::programFilesStay() {
    testutil::TempFolder temp;
    QVERIFY(temp.isValid());
    const std::string root = temp.path() + "/t";
    makeTree(temp.path(),
             {"t/", "t/pics/", "t/pics/a.jpg:a", "t/other/", "t/other/kovra-window:x"});
    for (const auto& [from, to] : {std::pair{KOVRA_PROGRAM, "/pics/kovra"},
                                   std::pair{KOVRA_WINDOW_PROGRAM, "/pics/kovra-window"}}) {
        const std::string copy = root + to;
        QVERIFY(QFile::copy(QString::fromUtf8(from), QString::fromStdString(copy)));
        QCOMPARE(::chmod(copy.c_str(), 0755), 0);
    }
    const Ran ran = runKovra(root, temp.path() + "/s", {"rename", "%R/pics", "%R/other"}, "C", {},
                             0, root + "/pics/kovra");
    QVERIFY2(ran.status == 0, ran.err.c_str());
    QCOMPARE(testutil::entries(root + "/pics"), (Lines{"kovra", "kovra-window", "pics_a.jpg"}));
    QCOMPARE(testutil::entries(root + "/other"), Lines{"other_kovra-window"});
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
