// A guard against selection code that is quadratic in the number of entries. Linear code takes
// milliseconds here and quadratic code hours, so the ordinary test time-out catches a regression
// without any timing assertion.

#include <QSignalSpy>
#include <QTest>

#include "core/rename_run.h"
#include "testutil.h"
#include "widgets/filelistbox.h"
#include "widgets/worklistbox.h"

namespace {

constexpr int kEntries = 200000;

// Accepts every rename without touching the disk: only the run's list work is exercised.
class NullFileSystem : public core::FileSystem {
public:
    std::int64_t renames = 0;
    core::OpenedFolder open(const std::string&) override {
        return {std::make_unique<NullFolder>(renames), 0};
    }

private:
    struct NullFolder : core::Folder {
        explicit NullFolder(std::int64_t& count) : count_(count) {}
        core::RenameStatus rename(const std::string&, const std::string&) override {
            ++count_;
            return {};
        }
        int sync() override { return 0; }
        std::int64_t& count_;
    };
};

// Lists `folder` in `file1` and waits for the reading to end.
bool listed(widgets::FileListBox& file1, const std::string& folder) {
    QSignalSpy finished(&file1, &widgets::FileListBox::readFinished);
    return file1.setPath(folder) == 0 && (finished.count() > 0 || finished.wait(60000));
}

}  // namespace

class TestLargeList : public QObject {
    Q_OBJECT
    // In memory where there is a tmpfs: the test is about list code, not the disk.
    testutil::TempFolder tmp_{"/dev/shm"};

private slots:
    void initTestCase() {
        char name[32];
        for (int i = 0; i < kEntries; ++i) {
            std::snprintf(name, sizeof name, "f%06d", i);
            QVERIFY(testutil::makeFile(tmp_.path(), name));
        }
    }

    void selectAllThenSelectionPass() {
        widgets::FileListBox file1;
        QVERIFY(listed(file1, tmp_.path()));
        QCOMPARE(file1.count(), kEntries);
        file1.selectAllFiles();
        QVERIFY(file1.isSelected(kEntries - 1));

        widgets::WorkListBox list1;
        widgets::WorkListBox list2;
        NullFileSystem fs;
        const core::RunResult r = core::renameRun(file1, list1, list2, fs);
        QCOMPARE(r.selected, kEntries);
        QCOMPARE(list1.count(), kEntries);
        QCOMPARE(std::string(list1.at(kEntries - 1)), std::string("f199999"));
        QCOMPARE(fs.renames, kEntries);
    }

    // A selection made of many ranges (every other entry) is read in order, once each.
    void manyRangesReadInOrder() {
        widgets::FileListBox file1;
        QVERIFY(listed(file1, tmp_.path()));
        QItemSelection selection;
        for (int i = 0; i < kEntries; i += 2) {
            selection.select(file1.model()->index(i, 0), file1.model()->index(i, 0));
        }
        file1.selectionModel()->select(selection, QItemSelectionModel::Select);
        const auto ranges = file1.selectedRanges();
        QCOMPARE(ranges.size(), std::size_t(kEntries / 2));
        QCOMPARE(ranges.back().first, kEntries - 2);
    }
};

QTEST_MAIN(TestLargeList)
#include "tst_largelist.moc"
