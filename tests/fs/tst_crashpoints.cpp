// Every crash point of a small run, enumerated rather than sampled: the run killed just before
// and just after each of its creates, links, renames, unlinks and fsyncs in turn, on tmpfs and on
// exFAT through FUSE; then undo. The oracle: every byte the user had is there once, under its old
// name, and undo completes, but where a kill fell between the making of an empty reservation and
// its record: that empty file is unknown, and left. The count tried is printed for the summary.

#include <sys/stat.h>
#include <QTest>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "core/rename_run.h"
#include "crashpoint.h"
#include "fs/journal/recorder.h"
#include "fs/merge/merge.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/undo/undo.h"
#include "mountutil.h"
#include "testutil.h"

using Contents = std::map<std::string, std::string>;
using crashpoint::Call;
using crashpoint::When;
Q_DECLARE_METATYPE(mountutil::Image)

namespace {

// The window's run over every file of `folder`.
void renameAll(const std::string& folder) {
    fs::PlainFileList list(folder);
    list.selectAll();
    core::WorkList selection;
    core::WorkList renames;
    fs::RunRecorder recorder(fs::stateDirectory(), true);
    fs::PosixFileSystem fileSystem(&recorder);
    core::RunOptions options;
    options.journal = &recorder;
    core::renameRun(list, selection, renames, fileSystem, options);
}

// Merges the folders `cats` and `dogs` of `root` into `root`/all.
void mergeAll(const std::string& root) {
    fs::MergeRequest r;
    r.sources = {root + "/cats", root + "/dogs"};
    r.destination = root + "/all";
    fs::MergePlan plan;
    if (fs::planMerge(r, plan) == 0) {
        fs::runMerge(plan);
    }
}

Contents contentsBelow(const std::string& root) {
    Contents out;
    for (const std::string& name : testutil::entries(root)) {
        struct stat st {};
        ::lstat((root + "/" + name).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            for (const auto& [below, data] : contentsBelow(root + "/" + name)) {
                out[name + "/" + below] = data;
            }
        } else {
            out[name] = testutil::readFile(root + "/" + name);
        }
    }
    return out;
}

// Undoes whatever run is newest, cut short or ended.
fs::UndoReport undoNewest() {
    const fs::PendingRun pending = fs::pendingRun(fs::stateDirectory());
    return pending.status == fs::PendingRun::Status::Pending
               ? fs::undoPendingRun(fs::stateDirectory())
               : fs::undoLastRun(fs::stateDirectory());
}

}  // namespace

class TestCrashPoints : public QObject {
    Q_OBJECT

    int tried_ = 0;
    int kills_ = 0;
    int unknownLeft_ = 0;

private slots:
    void cleanupTestCase() {
        qInfo("safety: crash points tried %d (%d killed a run, %d left an unknown empty file)",
              tried_, kills_, unknownLeft_);
    }

    void everyPoint_data() {
        QTest::addColumn<QString>("verb");
        QTest::addColumn<bool>("exfat");
        for (const char* verb : {"rename", "undo of a rename", "merge", "undo of a merge"}) {
            QTest::addRow("%s, tmpfs", verb) << verb << false;
            QTest::addRow("%s, exFAT", verb) << verb << true;
        }
    }
    void everyPoint() {
        QFETCH(QString, verb);
        QFETCH(bool, exfat);
        std::unique_ptr<mountutil::Mount> drive;
        if (exfat) {
            drive = std::make_unique<mountutil::ImageMount>(mountutil::Image::ExFat);
        } else {
            drive = std::make_unique<mountutil::Tmpfs>();
        }
        if (!drive->skipReason().isEmpty()) {
            QSKIP(qPrintable(drive->skipReason()));
        }
        QVERIFY2(drive->isMounted(), qPrintable(drive->error()));
        const bool merge = verb.contains("merge");
        const bool undo = verb.startsWith("undo");
        int point = 0;
        for (const Call call :
             {Call::Create, Call::Link, Call::Rename, Call::Unlink, Call::Fsync}) {
            for (const When when : {When::Before, When::After}) {
                for (int n = 1;; ++n) {
                    testutil::removeTree(fs::runsDirectory(fs::stateDirectory()));
                    const std::string root = drive->path() + "/p" + std::to_string(++point);
                    QCOMPARE(::mkdir(root.c_str(), 0755), 0);
                    const std::string dir = merge ? root : root + "/cats";
                    if (merge) {
                        testutil::makeTree(root, {"cats/", "cats/a:a1", "cats/b:bb2", "dogs/",
                                                  "dogs/a:a1", "dogs/c:ccc3", "all/"});
                    } else {
                        testutil::makeTree(root,
                                           {"cats/", "cats/a:a1", "cats/b:bb2", "cats/c:ccc3"});
                    }
                    const Contents before = contentsBelow(root);
                    const std::function<void()> work = [&] {
                        if (undo) {
                            undoNewest();
                        } else if (merge) {
                            mergeAll(root);
                        } else {
                            renameAll(dir);
                        }
                    };
                    if (undo) {
                        merge ? mergeAll(root) : renameAll(dir);
                    }
                    ++tried_;
                    const bool killed = crashpoint::runKilledAt({call, n, when, {}}, work);
                    kills_ += killed;
                    if (!killed && !undo) {
                        undoNewest();  // ran to its end: its undo is the oracle's too
                    }
                    const fs::UndoReport report = undoNewest();
                    const std::string where = verb.toStdString() + " killed at call " +
                                              std::to_string(int(call)) + " #" + std::to_string(n) +
                                              (when == When::Before ? " before" : " after");
                    // A kill between the making of an empty reservation and its record leaves
                    // a file the journal never heard made: unknown, so left (and counted).
                    const Contents now = contentsBelow(root);
                    std::multiset<std::string> had;
                    std::multiset<std::string> has;
                    int leftEmpty = 0;
                    for (const auto& [name, data] : before) {
                        had.insert(data);
                    }
                    for (const auto& [name, data] : now) {
                        const auto was = before.find(name);
                        const bool unknown =
                            data.empty() && (was == before.end() || !was->second.empty());
                        leftEmpty += unknown;
                        if (!unknown) {
                            has.insert(data);
                        }
                    }
                    unknownLeft_ += leftEmpty != 0;
                    QVERIFY2(has == had, where.c_str());  // every byte once
                    QVERIFY2(leftEmpty != 0 || (report.problems.empty() && now == before),
                             where.c_str());
                    if (!killed) {
                        break;
                    }
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestCrashPoints)
#include "tst_crashpoints.moc"
