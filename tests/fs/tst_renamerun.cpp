#include <QTemporaryDir>
#include <QTest>
#include <cerrno>

#include "core/paths.h"
#include "core/rename_run.h"
#include "fs/listing.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "testutil.h"
#include "widgets/filelistbox.h"
#include "widgets/worklistbox.h"

using testutil::entries;
using testutil::makeFile;
using Names = std::vector<std::string>;
using End = core::RunResult::End;

namespace {

// The real file system, recording the renames asked of it.
class RecordingFileSystem : public core::FileSystem {
public:
    std::vector<std::string> renames;

    core::OpenedFolder open(const std::string& path) override {
        core::OpenedFolder opened = real_.open(path);
        if (opened.folder) {
            opened.folder = std::make_unique<Recording>(std::move(opened.folder), renames);
        }
        return opened;
    }

private:
    class Recording : public core::Folder {
    public:
        Recording(std::unique_ptr<core::Folder> inner, std::vector<std::string>& log)
            : inner_(std::move(inner)), log_(log) {}
        core::RenameStatus rename(const std::string& from, const std::string& to) override {
            log_.push_back(from);
            return inner_->rename(from, to);
        }
        int sync() override { return inner_->sync(); }

    private:
        std::unique_ptr<core::Folder> inner_;
        std::vector<std::string>& log_;
    };
    fs::PosixFileSystem real_;
};

int gInjectedErr = 0;
int failingRenameat2(int, const char*, int, const char*, unsigned int) {
    errno = gInjectedErr;
    return -1;
}

}  // namespace

class TestRenameRun : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    std::string dir_;
    std::unique_ptr<widgets::FileListBox> file1_;
    widgets::WorkListBox list1_;
    widgets::WorkListBox list2_;
    RecordingFileSystem fs_;

    // A folder named `name` holding `files`, listed in File1.
    void makeFolder(const std::string& name, const Names& files) {
        dir_ = tmp_.path().toStdString() + "/" + QTest::currentTestFunction() + "/" + name;
        QCOMPARE(::mkdir(dir_.substr(0, dir_.rfind('/')).c_str(), 0755), 0);
        QCOMPARE(::mkdir(dir_.c_str(), 0755), 0);
        for (const std::string& f : files) {
            QVERIFY(makeFile(dir_, f, "content of " + f));
        }
        QCOMPARE(file1_->setPath(dir_), 0);
    }

    void select(const Names& names) {
        for (std::int64_t i = 0; i < file1_->count(); ++i) {
            if (std::find(names.begin(), names.end(), file1_->at(i)) != names.end()) {
                file1_->setSelected(i, true);
            }
        }
    }

    Names listed() const {
        Names names;
        for (std::int64_t i = 0; i < file1_->count(); ++i) {
            names.emplace_back(file1_->at(i));
        }
        return names;
    }

    core::RunResult run(core::RunOptions options = {}) {
        return core::renameRun(*file1_, list1_, list2_, fs_, options);
    }

private slots:
    void init() {
        file1_ = std::make_unique<widgets::FileListBox>();
        fs_.renames.clear();
        list1_.clear();
        list2_.clear();
        list1_.append("stale");
        list2_.append("stale");
    }
    void cleanup() { fs::syscalls() = fs::defaultSyscalls(); }

    void nothingSelected() {
        makeFolder("x", {"a", "b"});
        QVERIFY(makeFile(dir_, "late"));  // no refresh: it stays unlisted
        const core::RunResult r = run();
        QCOMPARE(r.end, End::NothingSelected);
        QCOMPARE(entries(dir_), (Names{"a", "b", "late"}));
        QCOMPARE(listed(), (Names{"a", "b"}));
        QCOMPARE(list1_.count(), 0);
        QCOMPARE(list2_.count(), 0);
    }

    void ownExecutableIsLeftAlone() {
        makeFolder("x", {"kovra.exe", "kovra", "other"});
        select({"kovra.exe", "kovra"});
        QVERIFY(makeFile(dir_, "late"));
        core::RunOptions options;
        options.excluded = {"kovra.exe", "kovra"};
        const core::RunResult r = run(options);
        QCOMPARE(r.end, End::Completed);
        QCOMPARE(r.selected, 2);
        QCOMPARE(r.renamed, 0);
        QCOMPARE(list1_.count(), 2);
        QCOMPARE(list2_.count(), 0);
        QCOMPARE(entries(dir_), (Names{"kovra", "kovra.exe", "late", "other"}));
        QCOMPARE(listed(), (Names{"kovra", "kovra.exe", "late", "other"}));  // read again
        QVERIFY(file1_->selectedRanges().empty());
    }

    void executableNameIsCaseSensitive() {
        makeFolder("x", {"KOVRA.EXE", "Kovra.exe"});
        file1_->selectAllFiles();
        QCOMPARE(run().renamed, 2);
        QCOMPARE(entries(dir_), (Names{"x_KOVRA.EXE", "x_Kovra.exe"}));
    }

    void renamesInDisplayOrder() {
        makeFolder("cats", {"b", "C", ".h", "a"});
        file1_->selectAllFiles();
        const core::RunResult r = run();
        QCOMPARE(r.end, End::Completed);
        QCOMPARE(fs_.renames, (Names{".h", "a", "b", "C"}));
        QCOMPARE(entries(dir_), (Names{"cats_.h", "cats_C", "cats_a", "cats_b"}));
        QCOMPARE(testutil::readFile(dir_ + "/cats_a"), std::string("content of a"));
        QVERIFY(file1_->selectedRanges().empty());
    }

    void partialSelection() {
        makeFolder("d", {"1", "2", "3", "4", "5"});
        file1_->setSelected(1, true);
        file1_->setSelected(3, true);
        file1_->setSelected(4, true);
        QCOMPARE(run().renamed, 3);
        QCOMPARE(entries(dir_), (Names{"1", "3", "d_2", "d_4", "d_5"}));
    }

    // The first rename would replace x_a: the run stops there and nothing is overwritten.
    void collisionStopsTheRun() {
        makeFolder("x", {"a", "x_a"});
        file1_->selectAllFiles();
        const auto before = testutil::contents(dir_);
        const core::RunResult r = run();
        QCOMPARE(r.end, End::Failed);
        QCOMPARE(r.renamed, 0);
        QCOMPARE(r.failedName, std::string("a"));
        QCOMPARE(r.failedNewName, std::string("x_a"));
        QCOMPARE(core::joinPath(r.folder, r.failedNewName), dir_ + "/x_a");
        QCOMPARE(r.status.error, EEXIST);
        QCOMPARE(testutil::contents(dir_), before);
        QCOMPARE(listed(), (Names{"a", "x_a"}));
    }

    void stopsAtFailureKeepingEarlierRenames() {
        makeFolder("x", {"a", "b", "c", "x_c"});
        select({"a", "b", "c"});
        const core::RunResult r = run();
        QCOMPARE(r.end, End::Failed);
        QCOMPARE(r.renamed, 2);
        QCOMPARE(r.failedName, std::string("c"));
        QCOMPARE(entries(dir_), (Names{"c", "x_a", "x_b", "x_c"}));
        QCOMPARE(listed(), (Names{"c", "x_a", "x_b", "x_c"}));
    }

    void secondRunPrefixesAgain() {
        makeFolder("cats", {"a.jpg"});
        file1_->selectAllFiles();
        run();
        file1_->selectAllFiles();
        run();
        QCOMPARE(entries(dir_), Names{"cats_cats_a.jpg"});
    }

    // 84 three-byte characters make a 252-byte folder name; with "_a.jpg" the new name is over
    // the 255-byte limit of the usual Linux file systems.
    void nameTooLongFailsCleanly() {
        std::string longName;
        for (int i = 0; i < 84; ++i) {
            longName += "\xe7\x8c\xab";  // 猫
        }
        makeFolder(longName, {"a.jpg"});
        file1_->selectAllFiles();
        const core::RunResult r = run();
        QCOMPARE(r.end, End::Failed);
        QCOMPARE(r.status.error, ENAMETOOLONG);
        QCOMPARE(entries(dir_), Names{"a.jpg"});
        QCOMPARE(testutil::readFile(dir_ + "/a.jpg"), std::string("content of a.jpg"));
    }

    void vanishedFileFails() {
        makeFolder("x", {"a", "b", "c"});
        file1_->selectAllFiles();
        QCOMPARE(::unlink((dir_ + "/b").c_str()), 0);
        const core::RunResult r = run();
        QCOMPARE(r.end, End::Failed);
        QCOMPARE(r.status.error, ENOENT);
        QCOMPARE(r.failedName, std::string("b"));
        QCOMPARE(entries(dir_), (Names{"c", "x_a"}));
    }

    void fallbackNeverOverwrites() {
        makeFolder("x", {"a", "b", "x_b"});
        fs::syscalls().renameat2 = failingRenameat2;
        gInjectedErr = EINVAL;
        file1_->selectAllFiles();
        const auto before = testutil::readFile(dir_ + "/x_b");
        const core::RunResult r = run();
        QCOMPARE(r.end, End::Failed);
        QCOMPARE(r.renamed, 1);
        QCOMPARE(r.status.error, EEXIST);
        QCOMPARE(entries(dir_), (Names{"b", "x_a", "x_b"}));
        QCOMPARE(testutil::readFile(dir_ + "/x_b"), before);
    }

    void syncFailureIsReturned() {
        makeFolder("x", {"a", "b"});
        fs::syscalls().fsync = [](int) {
            errno = EIO;
            return -1;
        };
        file1_->selectAllFiles();
        const core::RunResult r = run();
        QCOMPARE(r.end, End::Completed);
        QCOMPARE(r.renamed, 2);
        QCOMPARE(r.syncError, EIO);
    }

    void cancelStopsBetweenFiles() {
        makeFolder("x", {"a", "b", "c", "d"});
        file1_->selectAllFiles();
        core::RunOptions options;
        options.progress = [](std::int64_t done, std::int64_t) { return done < 2; };
        const core::RunResult r = run(options);
        QCOMPARE(r.end, End::Cancelled);
        QCOMPARE(r.renamed, 2);
        QCOMPARE(entries(dir_), (Names{"c", "d", "x_a", "x_b"}));
        QCOMPARE(listed(), (Names{"c", "d", "x_a", "x_b"}));
    }
};

QTEST_MAIN(TestRenameRun)
#include "tst_renamerun.moc"
