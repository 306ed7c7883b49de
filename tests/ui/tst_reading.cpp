// Folders read on a worker thread: the same list as a reading on the window's thread, clicks
// during a reading act on the whole list, another folder cancels the reading, and a folder
// removed meanwhile is reported. Readings are held half way by a gate, never by timing.

#include <QSignalSpy>
#include <QTest>
#include <condition_variable>
#include <mutex>

#include "fs/deadline.h"
#include "fs/listing.h"
#include "windowfixture.h"

Q_DECLARE_METATYPE(std::string)
using testutil::Names;

namespace {

// Holds the reading of one folder at one count of entries until opened. Shared with the reading
// thread, so it outlives the test that made it.
struct Gate {
    std::string folder;
    std::int64_t at = 0;
    std::mutex mutex;
    std::condition_variable changed;
    bool reached = false;
    bool open = false;

    void pass(const std::string& f, std::int64_t entries) {
        if (f != folder || entries != at) {
            return;
        }
        std::unique_lock lock(mutex);
        reached = true;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
    }
    bool waitReached() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [this] { return reached; });
    }
    void release() {
        const std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

Names numbered(int n) {
    Names names;
    for (int i = 0; i < n; ++i) {
        names.push_back("f" + std::to_string(i));
    }
    return names;
}

}  // namespace

class TestReading : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    std::shared_ptr<Gate> gate_;
    int baseWorkers_ = 0;

    // Holds the reading of `folder` once it has handed on `at` entries (0: before it opens).
    void hold(const std::string& folder, std::int64_t at) {
        gate_ = std::make_shared<Gate>();
        gate_->folder = folder;
        gate_->at = at;
        widgets::FileListBox::setReadHook(
            [gate = gate_](const std::string& f, std::int64_t entries) { gate->pass(f, entries); });
    }

    // Waits for every reading thread of this test, the cancelled ones included, to end.
    bool readersGone() {
        return QTest::qWaitFor([this] { return fs::workersInFlight() == baseWorkers_; }, 30000);
    }

private slots:
    void initTestCase() { baseWorkers_ = fs::workersInFlight(); }

    void init() { beginTest(); }

    void cleanup() {
        if (gate_) {
            gate_->release();
        }
        endTest();
        QVERIFY(readersGone());
        widgets::FileListBox::setReadHook({});
        gate_.reset();
    }

    // Chunks of one and two names: every name crosses from the reading thread on its own. Read
    // by the list, or taken from the folder list's reading.
    void sameListAsOnTheWindowsThread_data() {
        QTest::addColumn<Names>("names");
        QTest::addColumn<bool>("shared");
        const Names hostile{"\x80\xfe.jpg", "new\nline",   "tab\tname",       "-rf",
                            ".hidden",      "back\\slash", "\xe7\x8c\xab.png"};
        QTest::newRow("hostile names") << hostile << false;
        QTest::newRow("case ties") << Names{"b", "A", "a", "B", "_", "Z", "aa", "AA"} << false;
        // Alike for eight bytes, where a sort key ends: the shorter first, then by case.
        QTest::newRow("key-long names") << Names{"aaaaaaaa", "AAAAAAAA",  "aAaAaAaA", "AaAaAaAa",
                                                 "aaaaAAAA", "AAAAaaaab", "aaaaaaaaA"}
                                        << false;
        QTest::newRow("many") << numbered(300) << false;
        QTest::newRow("empty") << Names{} << false;
        QTest::newRow("hostile names, shared") << hostile << true;
        QTest::newRow("many, shared") << numbered(300) << true;
    }
    void sameListAsOnTheWindowsThread() {
        QFETCH(Names, names);
        QFETCH(bool, shared);
        const std::string path = folder("x", names);
        ::mkdir((path + "/sub").c_str(), 0755);
        widgets::FileListBox file1;
        file1.setChunkSizes(1, 2);
        QSignalSpy finished(&file1, &widgets::FileListBox::readFinished);
        auto scan = shared ? std::make_shared<fs::FolderScan>() : nullptr;
        if (scan) {
            scan->run(path);
            QCOMPARE(scan->takeFolders().names, Names{"sub"});
        }
        QCOMPARE(file1.setPath(path, scan), 0);
        QVERIFY(finished.count() == 1 || finished.wait(30000));
        Names got;
        for (std::int64_t i = 0; i < file1.count(); ++i) {
            got.emplace_back(file1.at(i));
        }
        QCOMPARE(got, fs::listFiles(path).names);
    }

    void anotherFolderCancelsTheReading() {
        const std::string slow = folder("slow", numbered(10));
        // Fewer files than a chunk: read before setPath returns.
        const std::string other = folder("other", {"o1"});
        openWindow(base());
        file1()->setChunkSizes(2, 2);
        hold(slow, 2);
        dir1()->setPath(slow);
        QVERIFY(gate_->waitReached());
        QVERIFY(file1()->isReading());
        QVERIFY(!file1()->statusText().isEmpty());

        dir1()->setPath(other);
        QVERIFY(!file1()->isReading());
        gate_->release();
        QVERIFY(readersGone());
        QApplication::processEvents();
        QCOMPARE(file1()->path(), other);
        QCOMPARE(listed(), Names{"o1"});
        QVERIFY(file1()->statusText().isEmpty());
        QCOMPARE(reports_, QStringList{});
    }

    // Clicked while only the first chunk is read, they act once the whole list is read.
    void clicksDuringAReadingActOnTheWholeList_data() {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<int>("selected");
        QTest::addColumn<int>("renamed");
        QTest::newRow("select all") << QStringList{"b_all_choise"} << 10 << 0;
        QTest::newRow("select all, rename") << QStringList{"b_all_choise", "b_atart"} << 0 << 10;
        QTest::newRow("rename alone") << QStringList{"b_atart"} << 0 << 0;
    }
    void clicksDuringAReadingActOnTheWholeList() {
        QFETCH(QStringList, clicks);
        QFETCH(int, selected);
        QFETCH(int, renamed);
        const std::string x = folder("x", numbered(10));
        openWindow(base());
        file1()->setChunkSizes(2, 2);
        hold(x, 2);
        dir1()->setPath(x);
        QVERIFY(gate_->waitReached());
        QTRY_COMPARE(file1()->statusText(), QStringLiteral("ファイルを読み込んでいます… 2 件"));
        QCOMPARE(file1()->count(), 0);  // read, but not shown unsorted
        for (const QString& name : clicks) {
            click(qPrintable(name));
        }
        QCOMPARE(testutil::entries(x), numbered(10));
        QCOMPARE(file1()->selectedRanges().size(), std::size_t{0});

        gate_->release();
        QTRY_VERIFY(!file1()->isReading());
        int prefixed = 0;
        for (const std::string& name : testutil::entries(x)) {
            prefixed += name.rfind("x_", 0) == 0 ? 1 : 0;
        }
        QCOMPARE(prefixed, renamed);
        QCOMPARE(file1()->count(), 10);
        std::int64_t selectedNow = 0;
        for (const core::SelectionRange& r : file1()->selectedRanges()) {
            selectedNow += r.last - r.first + 1;
        }
        QCOMPARE(selectedNow, std::int64_t(selected));
        QCOMPARE(reports_, QStringList{});
    }

    void aFolderRemovedDuringAReadingIsReported_data() {
        QTest::addColumn<bool>("redisplay");
        QTest::newRow("opened") << false;
        QTest::newRow("read again by b_reset") << true;
    }
    void aFolderRemovedDuringAReadingIsReported() {
        QFETCH(bool, redisplay);
        const std::string x = folder("x", {"a", "b"});
        openWindow(base());
        if (redisplay) {
            dir1()->setPath(x);
            QCOMPARE(listed(), (Names{"a", "b"}));
        }
        hold(x, 0);
        // Held before it opens the folder, the reading counts as not answering: soon, here.
        file1()->setAnswerDeadline(std::chrono::milliseconds(100));
        if (redisplay) {
            click("b_reset");
        } else {
            dir1()->setPath(x);
        }
        QVERIFY(gate_->waitReached());
        QVERIFY(testutil::removeTree(x));
        gate_->release();
        QTRY_VERIFY(!file1()->isReading());
        QCOMPARE(reports_, QStringList{ui::folderErrorReport(x, ENOENT)});
        QCOMPARE(file1()->count(), 0);
    }
};

QTEST_MAIN(TestReading)
#include "tst_reading.moc"
