// Kovra on network drives as users mount them, each served on 127.0.0.1 by a server of the test's
// own (tests/network/servers.sh): sshfs to an sshd, an SMB share of smbd through gvfs, WebDAV of
// rclone through rclone mount; and switchfs in network mode (inode numbers given per lookup,
// link failing with EIO, long names answered with EBADMSG, a name limit of 1024 said by statfs).
// On each drive the command line renames, refuses a name taken, says in its dry run what the run
// says, is killed and undone or finished, is undone after a remount, merges duplicates and is
// undone, and goes through a server stopped and one killed: nothing lost, nothing left over.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fs/undo/undo.h"
#include "mountutil.h"
#include "procutil.h"
#include "testutil.h"

Q_DECLARE_METATYPE(std::string)

using Tree = std::map<std::string, std::string>;

// What differs between two trees, as a user would see it: names missing, names too many,
// contents changed. Empty when they are the same.
std::string treeDiff(const Tree& actual, const Tree& expected) {
    std::string said;
    for (const auto& [name, content] : expected) {
        const auto it = actual.find(name);
        if (it == actual.end()) {
            said += "missing " + name + "; ";
        } else if (it->second != content) {
            said += "changed " + name + " (" + it->second + "); ";
        }
    }
    for (const auto& [name, content] : actual) {
        if (expected.count(name) == 0) {
            said += "left over " + name + "; ";
        }
    }
    return said;
}

#define KOVRA_COMPARE_TREES(actual, expected)                       \
    do {                                                            \
        const std::string differs = treeDiff((actual), (expected)); \
        QVERIFY2(differs.empty(), differs.c_str());                 \
    } while (false)

namespace {

struct Drive {
    std::string mount;  // where the tests make their folders
    std::string share;  // what the server serves: the same files, as the server holds them
    pid_t server = 0;   // the process serving it
    QString skip;       // why the machine cannot make it
    QString failed;     // why it did not start on a machine that should manage
};

const char* const kDrives[] = {"sshfs", "gvfs", "webdav", "switchfs"};

// The names and contents of every file of `folder` and its subfolders, paths relative to it.
void readTree(const std::string& folder, const std::string& prefix, Tree& tree) {
    for (const std::string& name : testutil::entries(folder + "/" + prefix)) {
        const std::string relative = prefix + name;
        struct stat st {};
        ::lstat((folder + "/" + relative).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            tree[relative + "/"] = {};
            readTree(folder, relative + "/", tree);
        } else {
            tree[relative] = testutil::readFile(folder + "/" + relative);
        }
    }
}

Tree treeOf(const std::string& folder) {
    Tree tree;
    readTree(folder, {}, tree);
    return tree;
}

// What a run finished leaves of `before`: each file under the one name it has in `now`, with or
// without `prefix`.
Tree eachUnderOneName(const Tree& now, const Tree& before, const std::string& prefix) {
    Tree expected;
    for (const auto& [name, content] : before) {
        expected[now.count(prefix + name) != 0 ? prefix + name : name] = content;
    }
    return expected;
}

// `count` files, "f0001.jpg" ... with contents of their own, in `folder` (made).
Tree makeFiles(const std::string& folder, int count) {
    ::mkdir(folder.c_str(), 0755);
    Tree made;
    for (int i = 1; i <= count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%04d.jpg", i);
        const std::string content = "picture " + std::to_string(i);
        testutil::makeFile(folder, name, content);
        made[name] = content;
    }
    return made;
}

// The files of a tree, without its folders: a Trash keeps its folders once made.
Tree filesOf(const Tree& tree) {
    Tree files;
    for (const auto& [name, content] : tree) {
        if (name.back() != '/') {
            files[name] = content;
        }
    }
    return files;
}

Tree prefixed(const Tree& tree, const std::string& prefix) {
    Tree out;
    for (const auto& [name, content] : tree) {
        out[prefix + name] = content;
    }
    return out;
}

struct Ran {
    int status = -1;
    std::string out;
    std::string err;
};

}  // namespace

class TestNetwork : public QObject {
    Q_OBJECT

    testutil::TempFolder top_;
    std::string servers_;  // servers.sh's folder
    std::string state_;    // the runs' journals
    std::string data_;     // XDG_DATA_HOME: the Trash
    std::unique_ptr<mountutil::SwitchFs> switchfs_;
    std::map<std::string, Drive> drives_;
    int folders_ = 0;
    int rows_ = 0;

    std::vector<std::string> environment() const {
        std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + top_.path(),
                                     "XDG_STATE_HOME=" + state_, "XDG_DATA_HOME=" + data_,
                                     "LANG=C.UTF-8"};
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (const char* value = std::getenv(name)) {
                env.push_back(std::string(name) + "=" + value);
            }
        }
        return env;
    }

    procutil::Start kovra(const std::vector<std::string>& args) const {
        procutil::Start how;
        how.args = {KOVRA_PROGRAM};
        how.args.insert(how.args.end(), args.begin(), args.end());
        how.env = environment();
        how.out = top_.path() + "/out";
        how.err = top_.path() + "/err";
        ::unlink(how.out.c_str());
        ::unlink(how.err.c_str());
        return how;
    }

    // Runs kovra to its end, or kills it after a minute: a command that hangs fails the test.
    Ran run(const std::vector<std::string>& args) {
        const procutil::Start how = kovra(args);
        bool hung = false;
        Ran ran;
        ran.status = procutil::wait(procutil::start(how).pid, std::chrono::minutes(1), hung);
        ran.out = testutil::readFile(how.out);
        ran.err = testutil::readFile(how.err);
        if (hung) {
            ran.err += "\n(killed: it did not end within a minute)";
            ran.status = -2;
        }
        return ran;
    }

    // Runs `kovra rename -v folder` and calls `atProgress` once it has renamed `after` files;
    // the command's exit status.
    template <class F>
    int renameWith(const std::string& folder, int after, F atProgress) {
        procutil::Start how = kovra({"rename", "-v", folder});
        how.out.clear();
        how.pipeOut = true;
        const procutil::Process process = procutil::start(how);
        procutil::readLines(process.out, after);
        atProgress(process.pid);
        char drain[4096];
        while (::read(process.out, drain, sizeof drain) > 0) {
        }
        ::close(process.out);
        bool hung = false;
        return procutil::wait(process.pid, std::chrono::minutes(2), hung);
    }

    // A fresh folder on `drive`, or empty when the drive cannot be had (the test then skips or
    // has failed).
    std::string folderOn(const std::string& drive, const std::string& name = "cats") {
        const Drive& d = drives_[drive];
        if (!d.skip.isEmpty()) {
            return {};
        }
        const std::string parent = d.mount + "/t" + std::to_string(++folders_);
        if (::mkdir(parent.c_str(), 0755) != 0) {
            return {};
        }
        return parent + "/" + name;
    }

    // Undo, once the drive has settled, gives `folder` back as it was `before`.
    void undoneTo(const std::string& drive, const std::string& folder, const Tree& before) {
        settle(drive, folder);
        const Ran undo = run({"undo"});
        QVERIFY2(undo.status == 0, undo.err.c_str());
        KOVRA_COMPARE_TREES(treeOf(folder), before);
    }

    // Waits until the server holds what the mount shows of `folder`, times included: a WebDAV
    // mount uploads what was written, or renamed onto a file not yet uploaded, a few seconds
    // later, and shows a made-up time, then the upload's, meanwhile.
    void settle(const std::string& drive, const std::string& folder) {
        const Drive& d = drives_[drive];
        const std::string served = d.share + folder.substr(d.mount.size());
        const auto settled = [&] {
            const Tree shown = treeOf(folder);
            if (treeOf(served) != shown) {
                return false;
            }
            for (const auto& [name, content] : shown) {
                if (name.back() == '/') {
                    continue;
                }
                struct stat mounted {};
                struct stat held {};
                if (::stat((folder + "/" + name).c_str(), &mounted) != 0 ||
                    ::stat((served + "/" + name).c_str(), &held) != 0 ||
                    mounted.st_mtim.tv_sec != held.st_mtim.tv_sec) {
                    return false;
                }
            }
            return true;
        };
        // What the server holds, times to the nanosecond: the same over a write-back's delay.
        const auto held = [&] {
            std::string times;
            for (const auto& [name, content] : treeOf(served)) {
                struct stat st {};
                ::stat((served + "/" + name).c_str(), &st);
                times += name + std::to_string(st.st_mtim.tv_sec) + "." +
                         std::to_string(st.st_mtim.tv_nsec) + ";";
            }
            return times;
        };
        for (int round = 0; round < 10; ++round) {
            if (!QTest::qWaitFor(settled, 30000)) {
                qWarning("the server does not hold %s as the mount shows it", folder.c_str());
                return;
            }
            if (drive != "webdav") {
                return;
            }
            const std::string before = held();
            QTest::qWait(2500);  // the mount's write-back waits 1 s
            if (held() == before && settled()) {
                return;
            }
        }
    }

    // `count` files made in `folder` on `drive`, once the server holds them.
    Tree filesOn(const std::string& drive, const std::string& folder, int count) {
        const Tree made = makeFiles(folder, count);
        settle(drive, folder);
        return made;
    }

    // Every process of the drive's server: the one listening and its sessions.
    std::vector<pid_t> serverProcesses(const std::string& drive) {
        std::vector<pid_t> all = procutil::descendants(drives_[drive].server);
        all.insert(all.begin(), drives_[drive].server);
        return all;
    }

    void signalServer(const std::string& drive, int signal) {
        for (const pid_t pid : serverProcesses(drive)) {
            ::kill(pid, signal);
        }
    }

    // Unmounts and mounts the drive again; the server is started again if it is gone.
    bool remount(const std::string& drive) {
        if (drive == "switchfs") {
            return switchfs_->remount();
        }
        const int status = procutil::run(procutil::command(
            {"/bin/bash", SERVERS_SCRIPT, "remount", servers_, drive}, servers_ + "/out"));
        readDrive(drive);
        return status == 0 && drives_[drive].skip.isEmpty() && drives_[drive].failed.isEmpty();
    }

    void readDrive(const std::string& name) {
        Drive& d = drives_[name];
        const std::string dir = servers_ + "/" + name;
        const auto line = [&](const std::string& file) {
            std::string text = testutil::exists(dir + "/" + file)
                                   ? testutil::readFile(dir + "/" + file)
                                   : std::string();
            while (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            return text;
        };
        d.skip = QString::fromStdString(line("skip"));
        d.failed = QString::fromStdString(line("failed"));
        d.mount = line("mount");
        d.share = dir + "/share";
        d.server = static_cast<pid_t>(std::atoi(line("server.pid").c_str()));
        if (d.skip.isEmpty() && d.failed.isEmpty() && (d.mount.empty() || d.server <= 0)) {
            d.failed = QStringLiteral("no mount or server: ") +
                       QString::fromStdString(testutil::readFile(servers_ + "/log"));
        }
    }

    static void addDriveRows() {
        QTest::addColumn<std::string>("drive");
        for (const char* drive : kDrives) {
            QTest::newRow(drive) << std::string(drive);
        }
    }

// The folder of the row's drive, or a skip with the machine's reason, or a failure.
#define KOVRA_FOLDER_ON(var, drive, ...)                                          \
    const std::string var = folderOn(drive, ##__VA_ARGS__);                       \
    if (!drives_[drive].skip.isEmpty()) {                                         \
        QSKIP(qPrintable(drives_[drive].skip));                                   \
    }                                                                             \
    QVERIFY2(drives_[drive].failed.isEmpty(), qPrintable(drives_[drive].failed)); \
    QVERIFY2(!var.empty(), "cannot make a folder on the drive")

private slots:
    void initTestCase() {
        QVERIFY(top_.isValid());
        servers_ = top_.path() + "/servers";
        data_ = top_.path() + "/data";
        ::mkdir(data_.c_str(), 0700);
        procutil::run(procutil::command(
            {"/bin/bash", SERVERS_SCRIPT, "start", servers_, "sshfs", "gvfs", "webdav"},
            top_.path() + "/servers.out"));
        for (const char* drive : kDrives) {
            readDrive(drive);
        }
        switchfs_ = std::make_unique<mountutil::SwitchFs>("network");
        Drive& sw = drives_["switchfs"];
        sw = {};
        sw.skip = switchfs_->skipReason();
        if (sw.skip.isEmpty() && !switchfs_->isMounted()) {
            sw.failed = switchfs_->error();
        }
        sw.mount = switchfs_->path();
        sw.share = switchfs_->backing();
        sw.server = switchfs_->daemonPid();
    }

    // Each row has a history of its own: its undo takes back its own run.
    void init() {
        state_ = top_.path() + "/state" + std::to_string(++rows_);
    }

    void cleanupTestCase() {
        switchfs_.reset();
        procutil::run(
            procutil::command({"/bin/bash", SERVERS_SCRIPT, "stop", servers_}, servers_ + "/out"));
    }

    // Every file renamed, by whichever method the drive offers.
    void rename_data() {
        addDriveRows();
    }
    void rename() {
        QFETCH(std::string, drive);
        KOVRA_FOLDER_ON(cats, drive);
        const Tree before = filesOn(drive, cats, 3);
        const Ran ran = run({"rename", cats});
        QVERIFY2(ran.status == 0, ran.err.c_str());
        KOVRA_COMPARE_TREES(treeOf(cats), prefixed(before, "cats_"));
    }

    // A name taken stops the run there, and nothing is replaced.
    void collision_data() {
        addDriveRows();
    }
    void collision() {
        QFETCH(std::string, drive);
        KOVRA_FOLDER_ON(cats, drive);
        ::mkdir(cats.c_str(), 0755);
        QVERIFY(testutil::makeFile(cats, "a.jpg", "mine"));
        QVERIFY(testutil::makeFile(cats, "cats_a.jpg", "already there"));
        const Ran ran = run({"rename", cats});
        QCOMPARE(ran.status, 1);
        QVERIFY2(ran.err.find("a file or folder with the new name exists") != std::string::npos,
                 ran.err.c_str());
        KOVRA_COMPARE_TREES(treeOf(cats),
                            (Tree{{"a.jpg", "mine"}, {"cats_a.jpg", "already there"}}));
    }

    // The dry run stops where the run stops, with the same reason: a new name longer than the
    // server takes. The part the run did is undone.
    void dryRunAgreesWithRun_data() {
        addDriveRows();
    }
    void dryRunAgreesWithRun() {
        QFETCH(std::string, drive);
        KOVRA_FOLDER_ON(cats, drive);
        ::mkdir(cats.c_str(), 0755);
        const std::string longName = std::string(248, 'n') + ".jpg";  // 257 bytes once prefixed
        QVERIFY(testutil::makeFile(cats, "a.jpg", "a"));
        QVERIFY(testutil::makeFile(cats, longName, "long"));
        const Tree before = treeOf(cats);

        const Ran dry = run({"rename", "-n", cats});
        KOVRA_COMPARE_TREES(treeOf(cats), before);
        const Ran real = run({"rename", cats});
        const auto why = [](const std::string& err) { return err.substr(err.rfind(": ") + 2); };
        QCOMPARE(dry.status, 1);
        QCOMPARE(real.status, 1);
        QVERIFY2(why(real.err) == "the name is too long\n", real.err.c_str());
        QCOMPARE(why(dry.err), why(real.err));
        KOVRA_COMPARE_TREES(treeOf(cats), (Tree{{"cats_a.jpg", "a"}, {longName, "long"}}));

        undoneTo(drive, cats, before);
    }

    // A run killed midway is undone, or finished and then undone: every file under one name,
    // no second name and no reservation left.
    void killed_data() {
        QTest::addColumn<std::string>("drive");
        QTest::addColumn<bool>("finish");
        for (const char* drive : kDrives) {
            QTest::addRow("%s: undo", drive) << std::string(drive) << false;
            QTest::addRow("%s: finish", drive) << std::string(drive) << true;
        }
    }
    void killed() {
        QFETCH(std::string, drive);
        QFETCH(bool, finish);
        KOVRA_FOLDER_ON(cats, drive);
        const Tree before = filesOn(drive, cats, 150);
        const int status = renameWith(cats, 40, [](pid_t run) { ::kill(run, SIGKILL); });
        QCOMPARE(status, 128 + SIGKILL);
        if (finish) {
            settle(drive, cats);
            const fs::UndoReport finished = fs::finishPendingRun(state_ + "/kovra");
            for (const fs::EntryReport& e : finished.problems) {
                qWarning("finish: %s -> %s: problem %d, error %d", e.oldName.c_str(),
                         e.newName.c_str(), static_cast<int>(e.problem), e.err);
            }
            QVERIFY2(
                finished.status == fs::UndoReport::Status::Done && finished.problems.empty(),
                qPrintable(QStringLiteral("finish: status %1, error %2, %3 renamed, %4 problems")
                               .arg(static_cast<int>(finished.status))
                               .arg(finished.err)
                               .arg(finished.renamed)
                               .arg(finished.problems.size())));
            // What the journal held is finished: each file under one name, none lost.
            const Tree now = treeOf(cats);
            KOVRA_COMPARE_TREES(now, eachUnderOneName(now, before, "cats_"));
        }
        undoneTo(drive, cats, before);
    }

    // A run undone after the drive was unmounted and mounted again.
    void remounted_data() {
        addDriveRows();
    }
    void remounted() {
        QFETCH(std::string, drive);
        KOVRA_FOLDER_ON(cats, drive);
        const Tree before = filesOn(drive, cats, 5);
        const Ran ran = run({"rename", cats});
        QVERIFY2(ran.status == 0, ran.err.c_str());
        settle(drive, cats);
        QVERIFY(remount(drive));
        const Ran undo = run({"undo"});
        QVERIFY2(undo.status == 0, undo.err.c_str());
        KOVRA_COMPARE_TREES(treeOf(cats), before);
    }

    // Two folders merged into a third, one file a duplicate of another, and taken back.
    void merged_data() {
        addDriveRows();
    }
    void merged() {
        QFETCH(std::string, drive);
        KOVRA_FOLDER_ON(a, drive, "a");
        const std::string parent = a.substr(0, a.rfind('/'));
        for (const char* folder : {"a", "a/cats", "b", "b/cats"}) {
            QCOMPARE(::mkdir((parent + "/" + folder).c_str(), 0755), 0);
        }
        QVERIFY(testutil::makeFile(parent + "/a/cats", "1.jpg", "one"));
        QVERIFY(testutil::makeFile(parent + "/a/cats", "2.jpg", "two"));
        QVERIFY(testutil::makeFile(parent + "/b/cats", "1.jpg", "one"));
        QVERIFY(testutil::makeFile(parent + "/b/cats", "3.jpg", "three"));
        settle(drive, parent);
        const Tree before = treeOf(parent);
        // The home Trash, and the drive's own, where a duplicate on another drive goes.
        const std::string drivesTrash =
            drives_[drive].mount + "/.Trash-" + std::to_string(::getuid());
        const Tree trashBefore = treeOf(data_);
        const Tree drivesTrashBefore = filesOf(treeOf(drivesTrash));

        const Ran merge = run({"merge", parent + "/a/cats", parent + "/b/cats", parent + "/all"});
        KOVRA_COMPARE_TREES(
            treeOf(parent + "/all"),
            (Tree{{"cats_1.jpg", "one"}, {"cats_2.jpg", "two"}, {"cats_3.jpg", "three"}}));
        // The duplicate goes to the Trash; a share without one leaves it where it was, and says so.
        if (merge.status != 0) {
            QVERIFY2(
                merge.status == 1 && merge.err.find("cannot go to the Trash") != std::string::npos,
                merge.err.c_str());
            KOVRA_COMPARE_TREES(treeOf(parent + "/b/cats"), (Tree{{"1.jpg", "one"}}));
        } else {
            QVERIFY(!testutil::exists(parent + "/b/cats/1.jpg"));
        }

        undoneTo(drive, parent, before);
        KOVRA_COMPARE_TREES(treeOf(data_), trashBefore);
        KOVRA_COMPARE_TREES(filesOf(treeOf(drivesTrash)), drivesTrashBefore);
    }

    // The server stops answering for a while in the middle of a run, or is killed there: the run
    // waits or stops, and what it did is undone once the drive is back.
    void serverStopped_data() {
        QTest::addColumn<std::string>("drive");
        QTest::addColumn<bool>("killServer");
        for (const char* drive : kDrives) {
            QTest::addRow("%s: stopped", drive) << std::string(drive) << false;
            QTest::addRow("%s: killed", drive) << std::string(drive) << true;
        }
    }
    void serverStopped() {
        QFETCH(std::string, drive);
        QFETCH(bool, killServer);
        KOVRA_FOLDER_ON(cats, drive);
        const Tree before = filesOn(drive, cats, 100);
        // 20 s as a user would wait; CI may ask for less.
        const char* seconds = std::getenv("KOVRA_SERVER_STOP_SECONDS");
        const int stopped = seconds != nullptr ? std::atoi(seconds) : 20;
        const int status = renameWith(cats, 20, [&](pid_t) {
            if (killServer) {
                signalServer(drive, SIGKILL);
                return;
            }
            signalServer(drive, SIGSTOP);
            std::this_thread::sleep_for(std::chrono::seconds(stopped));
            signalServer(drive, SIGCONT);
        });
        if (killServer) {
            QVERIFY(remount(drive));
        } else {
            // It waits, or stops where the drive gave up on the server (gvfs does after a while).
            QVERIFY2(status == 0 || status == 1, qPrintable(QString::number(status)));
            // Each file under one name, none lost.
            const Tree now = treeOf(cats);
            KOVRA_COMPARE_TREES(now, eachUnderOneName(now, before, "cats_"));
        }
        undoneTo(drive, cats, before);
    }

    // A drive where no rename that cannot replace a file works: one message naming the drive.
    void noSafeRename() {
        mountutil::SwitchFs fs("network,failrename=EIO");
        KOVRA_REQUIRE_MOUNT(fs);
        const std::string cats = fs.path() + "/cats";
        const Tree before = makeFiles(cats, 2);
        const Ran ran = run({"rename", cats});
        QCOMPARE(ran.status, 1);
        const std::string said = "the drive " + fs.path() +
                                 " (fuse.switchfs) has no rename that cannot replace a file\n";
        QVERIFY2(ran.err.size() >= said.size() &&
                     ran.err.compare(ran.err.size() - said.size(), said.size(), said) == 0,
                 ran.err.c_str());
        KOVRA_COMPARE_TREES(treeOf(cats), before);
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
