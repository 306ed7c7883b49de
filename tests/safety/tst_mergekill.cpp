// A real merge killed with SIGKILL at seed-chosen moments, on one drive and into an exFAT drive:
// no file is ever lost, and the next start finishes it or takes it back exactly.

#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <QTest>

#include <atomic>
#include <ctime>
#include <map>
#include <random>
#include <string>

#include "fs/undo/undo.h"
#include "mountutil.h"
#include "safetyutil.h"
#include "testutil.h"

extern char** environ;

namespace {

// Path below a root to content, for every file and link at any depth.
using Contents = std::map<std::string, std::string>;

void contents(const std::string& root, const std::string& prefix, Contents& out) {
    for (const std::string& name : testutil::entries(root + "/" + prefix)) {
        const std::string relative = prefix + name;
        struct stat st {};
        ::lstat((root + "/" + relative).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            contents(root, relative + "/", out);
        } else {
            out[relative] = testutil::readFile(root + "/" + relative);
        }
    }
}

Contents contents(const std::string& root) {
    Contents out;
    contents(root, "", out);
    return out;
}

// How many files hold each content.
std::map<std::string, int> tally(const std::vector<Contents>& places) {
    std::map<std::string, int> count;
    for (const Contents& place : places) {
        for (const auto& [path, data] : place) {
            ++count[data];
        }
    }
    return count;
}

}  // namespace

class TestMergeKill : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;
    std::string trash_;
    std::mt19937_64 rng_{safety::seed() ^ 0x6d657267ULL};

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        QCOMPARE(::setenv("XDG_STATE_HOME", (tmp_.path() + "/state").c_str(), 1), 0);
        QCOMPARE(::setenv("XDG_DATA_HOME", (tmp_.path() + "/data").c_str(), 1), 0);
        trash_ = tmp_.path() + "/data/Trash/files";
    }
    void cleanupTestCase() {
        const safety::Counts& c = safety::counts();
        std::printf(
            "safety: merges killed %lld, recoveries %lld, files checked %lld, files lost: "
            "%lld\n",
            static_cast<long long>(c.kills), static_cast<long long>(c.recoveries),
            static_cast<long long>(c.filesChecked), static_cast<long long>(c.lost));
    }

    void killMidMerge_data() {
        QTest::addColumn<bool>("otherDrive");
        QTest::addColumn<bool>("undo");
        QTest::newRow("one drive, finished") << false << false;
        QTest::newRow("one drive, undone") << false << true;
        QTest::newRow("into exFAT, finished") << true << false;
        QTest::newRow("into exFAT, undone") << true << true;
    }
    void killMidMerge() {
        QFETCH(bool, otherDrive);
        QFETCH(bool, undo);
        constexpr int kFolders = 12;
        constexpr int kFiles = 25;
        constexpr int kRounds = 4;
        std::unique_ptr<mountutil::ImageMount> drive;
        if (otherDrive) {
            drive = std::make_unique<mountutil::ImageMount>(mountutil::Image::ExFat);
            KOVRA_REQUIRE_MOUNT(*drive);
        }
        safety::SharedProgress progress(tmp_.path() + "/progress");
        QVERIFY(progress.valid());

        // A round killed before the merge moved anything, or after it ended, proves nothing of
        // a kill mid-merge: it is made again.
        int kills = 0;
        int recoveries = 0;
        for (int round = 0; round < 3 * kRounds && kills < kRounds; ++round) {
            testutil::removeTree(fs::runsDirectory(fs::stateDirectory()));
            const std::string root =
                tmp_.path() + "/r" + std::to_string(otherDrive * 2 + undo) + std::to_string(round);
            const std::string src = root + "/src";
            const std::string dest = (otherDrive ? drive->path() : root) + "/all";
            testutil::removeTree(dest);
            QCOMPARE(::mkdir(root.c_str(), 0755), 0);
            QCOMPARE(::mkdir(src.c_str(), 0755), 0);
            QCOMPARE(::mkdir(dest.c_str(), 0755), 0);
            std::vector<std::string> args{KOVRA_KILL_HELPER, "--merge", progress.path(), dest};
            for (int f = 0; f < kFolders; ++f) {
                const std::string folder = "f" + std::to_string(f);
                QCOMPARE(::mkdir((src + "/" + folder).c_str(), 0755), 0);
                args.push_back(src + "/" + folder);
                for (int i = 0; i < kFiles; ++i) {
                    const std::string data(std::size_t(1) << (i % 16),
                                           static_cast<char>('a' + (f * kFiles + i) % 26));
                    QVERIFY(testutil::makeFile(src + "/" + folder, std::to_string(i),
                                               std::to_string(f) + "/" + std::to_string(i) + data));
                }
            }
            // A duplicate already in the destination for the first file of each folder.
            for (int f = 0; f < kFolders; ++f) {
                QVERIFY(
                    testutil::makeFile(dest, "f" + std::to_string(f) + "_0",
                                       testutil::readFile(src + "/f" + std::to_string(f) + "/0")));
            }
            const Contents srcBefore = contents(src);
            const Contents destBefore = contents(dest);
            const Contents trashBefore = contents(trash_);

            const std::int64_t killAt =
                std::uniform_int_distribution<std::int64_t>(1, kFolders * kFiles - 1)(rng_);
            progress.reset();
            const bool killed =
                safety::runUntil(
                    args, [&] { return progress.started() && progress.done() >= killAt; },
                    std::uniform_int_distribution<long>(0, 2000000)(rng_))
                    .killed;
            safety::counts().kills += killed;

            // Nothing lost: every content is still somewhere, as often as before.
            const std::map<std::string, int> before = tally({srcBefore, destBefore, trashBefore});
            const std::map<std::string, int> after =
                tally({contents(src), contents(dest), contents(trash_)});
            for (const auto& [data, n] : before) {
                safety::counts().checked.emplace(data, 0);
                const auto found = after.find(data);
                const int now = found == after.end() ? 0 : found->second;
                safety::counts().lost += now < n ? n - now : 0;
                QVERIFY2(now >= n, data.substr(0, data.find('/', 3)).c_str());
            }

            // What this round ends in: the row's recovery, or what the merge itself reached.
            bool undone = undo;
            const fs::PendingRun pending = fs::pendingRun(fs::stateDirectory());
            if (killed && pending.status != fs::PendingRun::Status::None) {
                QCOMPARE(pending.status, fs::PendingRun::Status::Pending);
                ++kills;
                const fs::UndoReport report = undone ? fs::undoPendingRun(fs::stateDirectory())
                                                     : fs::finishPendingRun(fs::stateDirectory());
                QCOMPARE(report.status, fs::UndoReport::Status::Done);
                for (const fs::EntryReport& e : report.problems) {
                    QFAIL(
                        qPrintable(QStringLiteral("%1/%2 -> %3: problem %4, errno %5")
                                       .arg(e.folder.c_str(), e.oldName.c_str(), e.newName.c_str())
                                       .arg(int(e.problem))
                                       .arg(e.err)));
                }
                ++recoveries;
                ++safety::counts().recoveries;
            } else {
                // It finished, or was killed before its journal (nothing moved) or after its end.
                undone = killed && fs::lastUndoableRun(fs::stateDirectory()).empty();
            }
            if (undone) {
                QCOMPARE(contents(src), srcBefore);
                QCOMPARE(contents(dest), destBefore);
            } else {
                Contents expected = destBefore;
                for (const auto& [path, data] : srcBefore) {
                    const std::string folder = path.substr(0, path.find('/'));
                    expected.emplace(folder + "_" + path.substr(path.find('/') + 1), data);
                }
                QCOMPARE(contents(dest), expected);
                QVERIFY(!testutil::exists(src + "/f0"));
            }
            QCOMPARE(contents(trash_).size(), trashBefore.size() + (undone ? 0 : kFolders));
            testutil::removeTree(trash_);
            testutil::removeTree(tmp_.path() + "/data/Trash/info");
            QVERIFY(testutil::removeTree(root));
        }
        safety::countChecked();
        QVERIFY2(
            kills == kRounds && recoveries == kRounds,
            qPrintable(
                QStringLiteral("%1 kills mid-merge, %2 recoveries").arg(kills).arg(recoveries)));
    }
};

QTEST_MAIN(TestMergeKill)
#include "tst_mergekill.moc"
