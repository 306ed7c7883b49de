// Kovra on network drives as users mount them, each served on 127.0.0.1 by a server of the test's
// own (tests/network/servers.sh): sshfs to an sshd, an SMB share of smbd through gvfs, WebDAV of
// rclone through rclone mount; and switchfs in network mode (inode numbers given per lookup,
// link failing with EIO, long names answered with EBADMSG, a name limit of 1024 said by statfs).
// On each drive the command line renames, refuses a name taken, says in its dry run what the run
// says, is killed and undone or finished, is undone after a remount, merges duplicates and is
// undone, and goes through a server stopped and one killed: nothing lost, nothing left over.
// The files are put on the server's own folder, as a NAS holds them, and every result is read
// there. KOVRA_NETWORK_DRIVE (sshfs, smb, webdav or switchfs) picks one drive; all by default.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fs/mounts.h"
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
            said += "left over " + name + " (" + std::to_string(content.size()) + " bytes); ";
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
    int timeout = 0;    // seconds after which the mount gives up on a silent server; 0: never
    QString skip;       // why the machine cannot make it
    QString failed;     // why it did not start on a machine that should manage
};

const char* const kDrives[] = {"sshfs", "gvfs", "webdav", "switchfs"};

// The drives this process tests: the one KOVRA_NETWORK_DRIVE names ("smb" is gvfs's), or all.
std::vector<std::string> chosenDrives() {
    const char* chosen = std::getenv("KOVRA_NETWORK_DRIVE");
    if (chosen == nullptr || *chosen == '\0') {
        return {std::begin(kDrives), std::end(kDrives)};
    }
    const std::string name = chosen;
    return {name == "smb" ? std::string("gvfs") : name};
}

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
    std::vector<std::string> chosen_ = chosenDrives();
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

    // Runs kovra to its end, or kills it after two minutes: a command that hangs fails the test.
    Ran run(const std::vector<std::string>& args) {
        const procutil::Start how = kovra(args);
        bool hung = false;
        Ran ran;
        ran.status = procutil::wait(procutil::start(how).pid, std::chrono::minutes(2), hung);
        ran.out = testutil::readFile(how.out);
        ran.err = testutil::readFile(how.err);
        if (hung) {
            ran.err += "\n(killed: it did not end within two minutes)";
            ran.status = -2;
        }
        return ran;
    }

    // Runs `kovra rename -v folder` and calls `atProgress` once it has renamed `after` files;
    // the command's exit status and standard error.
    template <class F>
    Ran renameWith(const std::string& folder, int after, F atProgress) {
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
        Ran ran;
        ran.status = procutil::wait(process.pid, std::chrono::minutes(2), hung);
        ran.err = testutil::readFile(how.err);
        return ran;
    }

    // A fresh folder on `drive` (its parent made on the server), or empty when the drive cannot
    // be had (the test then skips or has failed).
    std::string folderOn(const std::string& drive, const std::string& name = "cats") {
        const Drive& d = drives_[drive];
        if (!d.skip.isEmpty() || !d.failed.isEmpty()) {
            return {};
        }
        const std::string parent = "/t" + std::to_string(++folders_);
        if (::mkdir((d.share + parent).c_str(), 0755) != 0) {
            return {};
        }
        return d.mount + parent + "/" + name;
    }

    // Where the server holds `path` of the mount.
    std::string onServer(const std::string& drive, const std::string& path) {
        const Drive& d = drives_[drive];
        return d.share + path.substr(d.mount.size());
    }

    // What the server holds of `folder` of the mount.
    Tree held(const std::string& drive, const std::string& folder) {
        return treeOf(onServer(drive, folder));
    }

    // Whether the server comes to hold `expected` in `folder` and keeps it past the mount's
    // write-back delay (a late upload would change it); polls the server's own folder, never the
    // mount, which would put the upload off.
    bool settled(const std::string& drive, const std::string& folder, const Tree& expected) {
        const auto same = [&] { return held(drive, folder) == expected; };
        if (!QTest::qWaitFor(same, 20000)) {
            return false;
        }
        if (drive != "webdav") {
            return true;
        }
        // rclone's write-back waits 1 s (servers.sh): held as it is for three.
        QDeadlineTimer steady(3000);
        while (!steady.hasExpired()) {
            if (!same()) {
                return false;
            }
            QTest::qWait(100);
        }
        return true;
    }

#define KOVRA_SETTLED(drive, folder, expected)                                   \
    do {                                                                         \
        const Tree want = (expected);                                            \
        if (!settled((drive), (folder), want)) {                                 \
            const std::string differs = treeDiff(held((drive), (folder)), want); \
            QVERIFY2(false, ("the server's folder: " + differs).c_str());        \
        }                                                                        \
    } while (false)

    // Undo gives `folder` back as it was `before`, on the server.
    void undoneTo(const std::string& drive, const std::string& folder, const Tree& before) {
        const Ran undo = run({"undo"});
        QVERIFY2(undo.status == 0, undo.err.c_str());
        if (!settled(drive, folder, before)) {
            qWarning("undo said: %s%s", undo.out.c_str(), undo.err.c_str());
        }
        KOVRA_SETTLED(drive, folder, before);
    }

    // `count` files put in `folder` on the server itself, as a NAS holds them; the drive is
    // mounted afresh (freshMount) once they are all there.
    Tree filesOn(const std::string& drive, const std::string& folder, int count) {
        return makeFiles(onServer(drive, folder), count);
    }

    // The drive mounted again after files were put in `folder` on its server, so that what the
    // mount had cached before does not hide them, and showing them all (a WebDAV server lists a
    // folder anew every two seconds); switchfs shows its backing folder as it is.
    bool freshMount(const std::string& drive, const std::string& folder) {
        if (drive == "switchfs") {
            return true;
        }
        return remount(drive) &&
               QTest::qWaitFor([&] { return treeOf(folder) == held(drive, folder); }, 20000);
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
            const bool mounted = switchfs_->remount();
            drives_[drive].server = switchfs_->daemonPid();  // a new daemon
            return mounted;
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
        d.timeout = std::atoi(line("timeout").c_str());
        if (d.skip.isEmpty() && d.failed.isEmpty() && (d.mount.empty() || d.server <= 0)) {
            d.failed = QStringLiteral("no mount or server: ") +
                       QString::fromStdString(testutil::readFile(servers_ + "/log"));
        }
    }

    void addDriveRows() const {
        QTest::addColumn<std::string>("drive");
        for (const std::string& drive : chosen_) {
            QTest::newRow(drive.c_str()) << drive;
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
        std::vector<std::string> start{"/bin/bash", SERVERS_SCRIPT, "start", servers_};
        for (const std::string& drive : chosen_) {
            if (drive != "switchfs") {
                start.push_back(drive);
            }
        }
        if (start.size() > 4) {
            procutil::run(procutil::command(start, top_.path() + "/servers.out"));
        }
        for (const std::string& drive : chosen_) {
            if (drive != "switchfs") {
                readDrive(drive);
                continue;
            }
            // Each call answered after 2 ms, as over a network: a kill lands mid-run.
            switchfs_ = std::make_unique<mountutil::SwitchFs>("network,delay_us=2000");
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

    // Every file renamed, in one folder or a tree, by whichever method the drive offers, and
    // undone: every byte once on the server, no empty file.
    void rename_data() {
        QTest::addColumn<std::string>("drive");
        QTest::addColumn<bool>("tree");
        for (const std::string& drive : chosen_) {
            QTest::addRow("%s: folder", drive.c_str()) << drive << false;
            QTest::addRow("%s: -r", drive.c_str()) << drive << true;
        }
    }
    void rename() {
        QFETCH(std::string, drive);
        QFETCH(bool, tree);
        KOVRA_FOLDER_ON(cats, drive);
        Tree before = filesOn(drive, cats, 5);
        Tree after = prefixed(before, "cats_");
        if (tree) {
            for (const auto& [name, content] : filesOn(drive, cats + "/kittens", 3)) {
                before["kittens/" + name] = content;
                after["kittens/kittens_" + name] = content;
            }
            before["kittens/"] = after["kittens/"] = {};
        }
        QVERIFY(freshMount(drive, cats));
        const Ran ran = run(tree ? std::vector<std::string>{"rename", "-r", cats}
                                 : std::vector<std::string>{"rename", cats});
        QVERIFY2(ran.status == 0, ran.err.c_str());
        KOVRA_SETTLED(drive, cats, after);
        undoneTo(drive, cats, before);
    }

    // A name taken stops the run there, and nothing is replaced.
    void collision_data() {
        addDriveRows();
    }
    void collision() {
        QFETCH(std::string, drive);
        KOVRA_FOLDER_ON(cats, drive);
        const std::string served = onServer(drive, cats);
        ::mkdir(served.c_str(), 0755);
        QVERIFY(testutil::makeFile(served, "a.jpg", "mine"));
        QVERIFY(testutil::makeFile(served, "cats_a.jpg", "already there"));
        QVERIFY(freshMount(drive, cats));
        const Ran ran = run({"rename", cats});
        QCOMPARE(ran.status, 1);
        QVERIFY2(ran.err.find("a file or folder with the new name exists") != std::string::npos,
                 ran.err.c_str());
        KOVRA_SETTLED(drive, cats, (Tree{{"a.jpg", "mine"}, {"cats_a.jpg", "already there"}}));
    }

    // The dry run stops where the run stops, with the same reason: a new name longer than the
    // server takes. The part the run did is undone.
    void dryRunAgreesWithRun_data() {
        addDriveRows();
    }
    void dryRunAgreesWithRun() {
        QFETCH(std::string, drive);
        KOVRA_FOLDER_ON(cats, drive);
        const std::string served = onServer(drive, cats);
        ::mkdir(served.c_str(), 0755);
        const std::string longName = std::string(248, 'n') + ".jpg";  // 257 bytes once prefixed
        QVERIFY(testutil::makeFile(served, "a.jpg", "a"));
        QVERIFY(testutil::makeFile(served, longName, "long"));
        const Tree before = treeOf(served);
        QVERIFY(freshMount(drive, cats));

        const Ran dry = run({"rename", "-n", cats});
        KOVRA_SETTLED(drive, cats, before);
        const Ran real = run({"rename", cats});
        const auto why = [](const std::string& err) { return err.substr(err.rfind(": ") + 2); };
        QCOMPARE(dry.status, 1);
        QCOMPARE(real.status, 1);
        QVERIFY2(why(real.err) == "the name is too long\n", real.err.c_str());
        QCOMPARE(why(dry.err), why(real.err));
        KOVRA_SETTLED(drive, cats, (Tree{{"cats_a.jpg", "a"}, {longName, "long"}}));

        undoneTo(drive, cats, before);
    }

    // A run killed midway is undone, or finished and then undone: every file under one name,
    // no second name and no reservation left, on the server.
    void killed_data() {
        QTest::addColumn<std::string>("drive");
        QTest::addColumn<bool>("finish");
        for (const std::string& drive : chosen_) {
            QTest::addRow("%s: undo", drive.c_str()) << drive << false;
            QTest::addRow("%s: finish", drive.c_str()) << drive << true;
        }
    }
    void killed() {
        QFETCH(std::string, drive);
        QFETCH(bool, finish);
        KOVRA_FOLDER_ON(cats, drive);
        const Tree before = filesOn(drive, cats, 80);
        QVERIFY(freshMount(drive, cats));
        const Ran ran = renameWith(cats, 30, [](pid_t run) { ::kill(run, SIGKILL); });
        QCOMPARE(ran.status, 128 + SIGKILL);
        if (finish) {
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
            const Tree now = held(drive, cats);
            KOVRA_SETTLED(drive, cats, eachUnderOneName(now, before, "cats_"));
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
        QVERIFY(freshMount(drive, cats));
        const Ran ran = run({"rename", cats});
        QVERIFY2(ran.status == 0, ran.err.c_str());
        KOVRA_SETTLED(drive, cats, prefixed(before, "cats_"));
        QVERIFY(remount(drive));
        undoneTo(drive, cats, before);
    }

    // Two folders merged into a third, one file a duplicate of another, and taken back.
    void merged_data() {
        addDriveRows();
    }
    void merged() {
        QFETCH(std::string, drive);
        KOVRA_FOLDER_ON(a, drive, "a");
        const std::string parent = a.substr(0, a.rfind('/'));
        const std::string served = onServer(drive, parent);
        for (const char* folder : {"a", "a/cats", "b", "b/cats"}) {
            QCOMPARE(::mkdir((served + "/" + folder).c_str(), 0755), 0);
        }
        QVERIFY(testutil::makeFile(served + "/a/cats", "1.jpg", "one"));
        QVERIFY(testutil::makeFile(served + "/a/cats", "2.jpg", "two"));
        QVERIFY(testutil::makeFile(served + "/b/cats", "1.jpg", "one"));
        QVERIFY(testutil::makeFile(served + "/b/cats", "3.jpg", "three"));
        const Tree before = treeOf(served);
        QVERIFY(freshMount(drive, parent));
        // The home Trash, and the drive's own, where a duplicate on another drive goes.
        const std::string drivesTrash =
            drives_[drive].share + "/.Trash-" + std::to_string(::getuid());
        const Tree trashBefore = treeOf(data_);
        const Tree drivesTrashBefore = filesOf(treeOf(drivesTrash));

        const Ran merge = run({"merge", parent + "/a/cats", parent + "/b/cats", parent + "/all"});
        KOVRA_SETTLED(
            drive, parent + "/all",
            (Tree{{"cats_1.jpg", "one"}, {"cats_2.jpg", "two"}, {"cats_3.jpg", "three"}}));
        // The duplicate goes to the Trash; a share without one leaves it where it was, and says so.
        if (merge.status != 0) {
            QVERIFY2(
                merge.status == 1 && merge.err.find("cannot go to the Trash") != std::string::npos,
                merge.err.c_str());
            KOVRA_SETTLED(drive, parent + "/b/cats", (Tree{{"1.jpg", "one"}}));
        } else {
            QVERIFY(!testutil::exists(served + "/b/cats/1.jpg"));
        }

        const Ran undo = run({"undo"});
        QVERIFY2(undo.status == 0, undo.err.c_str());
        Tree back = before;
        back["all/"] = {};  // the merge made it; undo leaves the empty folder
        if (!settled(drive, parent, back)) {
            KOVRA_SETTLED(drive, parent, before);
        }
        KOVRA_COMPARE_TREES(treeOf(data_), trashBefore);
        KOVRA_COMPARE_TREES(filesOf(treeOf(drivesTrash)), drivesTrashBefore);
    }

    // The server stops answering for less than the mount waits, or for longer, in the middle of
    // a run, or is killed there: the run waits, or stops saying that the drive does not answer;
    // what it did is undone once the drive is back.
    void serverStopped_data() {
        QTest::addColumn<std::string>("drive");
        QTest::addColumn<int>("stop");  // seconds over the mount's time-out; -1: killed
        for (const std::string& drive : chosen_) {
            QTest::addRow("%s: stopped briefly", drive.c_str()) << drive << -3;
            QTest::addRow("%s: stopped past the time-out", drive.c_str()) << drive << 4;
            QTest::addRow("%s: killed", drive.c_str()) << drive << 0;
        }
    }
    void serverStopped() {
        QFETCH(std::string, drive);
        QFETCH(int, stop);
        KOVRA_FOLDER_ON(cats, drive);
        const Tree before = filesOn(drive, cats, 60);
        QVERIFY(freshMount(drive, cats));
        const int timeout = drives_[drive].timeout;
        const bool killServer = stop == 0;
        // Briefly: a third of the time-out (or 2 s where the mount waits for ever).
        const int seconds = stop < 0 ? std::max(1, timeout / 3) : timeout + stop;
        const Ran ran = renameWith(cats, 20, [&](pid_t) {
            if (killServer) {
                signalServer(drive, SIGKILL);
                return;
            }
            signalServer(drive, SIGSTOP);
            std::this_thread::sleep_for(std::chrono::seconds(timeout > 0 ? seconds : 2));
            signalServer(drive, SIGCONT);
        });
        // libsmbclient's 20 s are not kept to the second: past them gvfs may still wait.
        const bool gaveUp =
            killServer || (stop > 0 && timeout > 0 && (drive != "gvfs" || ran.status != 0));
        if (!gaveUp) {
            // The mount waited for the server: every file renamed.
            QVERIFY2(ran.status == 0, ran.err.c_str());
            KOVRA_SETTLED(drive, cats, prefixed(before, "cats_"));
        } else {
            QVERIFY2(ran.status == 1, (std::to_string(ran.status) + ": " + ran.err).c_str());
            QVERIFY2(ran.err.find("does not answer") != std::string::npos, ran.err.c_str());
            QVERIFY2(ran.err.find("no rename that cannot replace") == std::string::npos,
                     ran.err.c_str());
            // The server may have made the rename it did not answer for: the file that may have
            // two names is named, and the run is left for undo.
            QVERIFY2(ran.err.find("may now also, or only, be named") != std::string::npos,
                     ran.err.c_str());
        }
        if (gaveUp && !fs::respondsWithin(cats, std::chrono::seconds(3))) {
            QVERIFY(remount(drive));
        }
        if (gaveUp) {
            const Ran history = run({"undo", "--list"});
            QVERIFY2(history.out.find("cut short") != std::string::npos, history.out.c_str());
        }
        undoneTo(drive, cats, before);
    }

    // rclone's cache modes: where it uploads what was written later (writes, full), the run
    // refuses before its first rename, saying why; without (off, minimal) it renames, and the
    // server holds each file once.
    void cacheModes_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("refused");
        QTest::newRow("off") << QStringLiteral("off") << false;
        QTest::newRow("minimal") << QStringLiteral("minimal") << false;
        QTest::newRow("writes") << QStringLiteral("writes") << true;
        QTest::newRow("full") << QStringLiteral("full") << true;
    }
    void cacheModes() {
        QFETCH(QString, mode);
        QFETCH(bool, refused);
        if (std::find(chosen_.begin(), chosen_.end(), "webdav") == chosen_.end()) {
            QSKIP("only for the WebDAV drive");
        }
        KOVRA_FOLDER_ON(cats, "webdav");
        const Tree before = filesOn("webdav", cats, 5);
        ::setenv("WEBDAV_CACHE_MODE", mode.toUtf8().constData(), 1);
        const bool mounted = freshMount("webdav", cats);
        ::unsetenv("WEBDAV_CACHE_MODE");
        const auto back = qScopeGuard([this] { remount("webdav"); });
        QVERIFY(mounted);
        const Ran ran = run({"rename", cats});
        if (refused) {
            QCOMPARE(ran.status, 1);
            QVERIFY2(
                ran.err.find("sends what is written to its server only later") != std::string::npos,
                ran.err.c_str());
            KOVRA_SETTLED("webdav", cats, before);
            return;
        }
        QVERIFY2(ran.status == 0, ran.err.c_str());
        KOVRA_SETTLED("webdav", cats, prefixed(before, "cats_"));
        undoneTo("webdav", cats, before);
    }

    // A drive where no rename that cannot replace a file works: one message naming the drive.
    void noSafeRename() {
        if (std::find(chosen_.begin(), chosen_.end(), "switchfs") == chosen_.end()) {
            QSKIP("only for switchfs");
        }
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
