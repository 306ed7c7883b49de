// Undo and recovery through the real window: the menu item, the question at start about a run
// cut short, and the question when the journal cannot be written. Every dialog is answered or
// taken through ui/messages, so nothing blocks.

#include <QAction>
#include <QMenu>
#include <QTest>

#include <fcntl.h>

#include "fs/journal/recorder.h"
#include "fs/rename.h"
#include "fs/undo/undo.h"
#include "windowfixture.h"

using testutil::Names;

class TestUndoWindow : public QObject, public testutil::WindowFixture {
    Q_OBJECT

private slots:
    void init() {
        beginTest();
        // A state folder of its own for each test: never the user's.
        QCOMPARE(::setenv("XDG_STATE_HOME", (base() + "/state").c_str(), 1), 0);
    }
    void cleanup() { endTest(); }

    // The file menu holds "元に戻す", "途中で終わった変更…", "フォルダをまとめる…" and "終了"
    // (their places, captions and shortcuts are in tst_mainwindow's layout), and there is nothing
    // to undo before a run; asked for, the check says there is nothing cut short.
    void menuItem() {
        openWindow(folder("pics", {"a"}));
        QCOMPARE(child<QAction>("m_f")->menu()->actions().size(), 4);
        QVERIFY(!child<QAction>("m_undo")->isEnabled());
        child<QAction>("m_pending")->trigger();
        QTRY_VERIFY(!window_->checkingPendingRun());
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(reports_[0].contains(QStringLiteral("ありません")), qPrintable(reports_[0]));
    }

    // A run cut short on a drive that is not connected: said so at start and kept; asked for
    // through the menu, the user may drop it.
    void absentDriveDroppedThroughTheMenu() {
        const std::string gone = base() + "/card/DCIM";
        {
            fs::JournalWriter writer;
            QCOMPARE(writer.begin(fs::stateDirectory(), true), 0);
            fs::FolderPlace place;
            place.mountIdentity = "SOURCE=a card that is not in its slot";
            place.mountRoot = "/";
            place.relative = "DCIM";
            place.label = "CANON_DC";
            QCOMPARE(writer.addFolder(gone, {1, 2}, fs::IdentityKind::SizeAndTime, place), 0);
            writer.add("a.jpg", "DCIM_a.jpg", {10, 20});
            QCOMPARE(writer.commit(), 0);
        }
        answer_ = ui::DropRecord;
        openWindow(folder("pics", {"a"}));
        window_->checkPendingRun();
        QTRY_VERIFY(!window_->checkingPendingRun());
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(reports_[0].contains(QStringLiteral("CANON_DC")), qPrintable(reports_[0]));
        QCOMPARE(fs::runJournals(fs::stateDirectory()).size(), std::size_t{1});
        child<QAction>("m_pending")->trigger();
        QTRY_VERIFY(!window_->checkingPendingRun());
        QCOMPARE(questions_.size(), 1);
        QVERIFY(fs::runJournals(fs::stateDirectory()).empty());
    }

    // Run, undo through the menu: the files come back, the list shows them, nothing is left.
    void undoThroughTheMenu_data() {
        QTest::addColumn<bool>("otherFolderShown");
        QTest::newRow("folder shown") << false;
        QTest::newRow("another folder shown") << true;
    }
    void undoThroughTheMenu() {
        QFETCH(bool, otherFolderShown);
        const std::string dir = folder("pics", {"a", "b"});
        openWindow(dir);
        click("b_all_choise");
        click("b_atart");
        QCOMPARE(listed(), (Names{"pics_a", "pics_b"}));
        QVERIFY(child<QAction>("m_undo")->isEnabled());
        if (otherFolderShown) {
            // After a restart, in another folder.
            openWindow(folder("c", {"c"}));
            QVERIFY(child<QAction>("m_undo")->isEnabled());
        }
        QTest::keyClick(window_.get(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(testutil::entries(dir), (Names{"a", "b"}));
        QCOMPARE(listed(), otherFolderShown ? Names{"c"} : (Names{"a", "b"}));
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(reports_[0].contains(QStringLiteral("元に戻しました")), qPrintable(reports_[0]));
        QVERIFY(!child<QAction>("m_undo")->isEnabled());
    }

    // Ctrl+Z takes back the window's own last run, though another window or command ran since;
    // pressed again, the one before it; then the newest left by anyone.
    void undoTakesBackTheWindowsOwnRunsFirst() {
        const std::string mine = folder("mine", {"a", "b"});
        const std::string theirs = folder("theirs", {"t"});
        openWindow(mine);
        clickFile(0);  // a
        click("b_atart");
        clickFile(0);  // b, before mine_a
        click("b_atart");
        QCOMPARE(testutil::entries(mine), (Names{"mine_a", "mine_b"}));
        {
            // Another window's run, newer than both.
            fs::RunRecorder other(fs::stateDirectory());
            core::WorkList names;
            names.append("t");
            QCOMPARE(other.begin(theirs, names), 0);
            const int fd = ::open(theirs.c_str(), O_RDONLY | O_DIRECTORY);
            QVERIFY(fs::renameNoReplace(fd, "t", "theirs_t").done());
            ::close(fd);
            other.end(1);
        }
        const Names order[] = {{"b", "mine_a"}, {"a", "b"}};
        for (const Names& expected : order) {
            child<QAction>("m_undo")->trigger();
            QCOMPARE(testutil::entries(mine), expected);
            QCOMPARE(testutil::entries(theirs), Names{"theirs_t"});
        }
        child<QAction>("m_undo")->trigger();
        QCOMPARE(testutil::entries(theirs), Names{"t"});
    }

    // A run cut short is offered at start; each answer does what it says, and is asked once.
    void recoveryAtStart_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<Names>("expected");
        QTest::addColumn<bool>("undoLeft");
        QTest::newRow("finish") << int(ui::FinishRun) << Names{"pics_a", "pics_b", "pics_c"}
                                << true;
        QTest::newRow("undo") << int(ui::UndoRun) << Names{"a", "b", "c"} << false;
        QTest::newRow("keep") << int(ui::KeepRun) << Names{"b", "c", "pics_a"} << true;
        QTest::newRow("drop the record") << int(ui::DropRun) << Names{"b", "c", "pics_a"} << false;
    }
    void recoveryAtStart() {
        QFETCH(int, answer);
        QFETCH(Names, expected);
        QFETCH(bool, undoLeft);
        const std::string dir = folder("pics", {"a", "b", "c"});
        core::WorkList names;
        for (const char* n : {"a", "b", "c"}) {
            names.append(n);
        }
        {
            // Cut short: the recorder goes without an end, as a kill takes it.
            fs::RunRecorder recorder;
            QCOMPARE(recorder.begin(dir, names), 0);
            QCOMPARE(::rename((dir + "/a").c_str(), (dir + "/pics_a").c_str()), 0);
        }

        answer_ = answer;
        openWindow(dir);
        window_->checkPendingRun();
        QTRY_VERIFY(!window_->checkingPendingRun());
        QCOMPARE(questions_.size(), 1);
        QVERIFY2(questions_[0].contains(QStringLiteral("途中で終わっています")) &&
                     questions_[0].contains(QString::fromStdString(dir)) &&
                     questions_[0].contains(QStringLiteral("： 1 個")) &&
                     questions_[0].contains(QStringLiteral("： 2 個")),
                 qPrintable(questions_[0]));
        QCOMPARE(testutil::entries(dir), expected);
        QCOMPARE(listed(), expected);
        QCOMPARE(reports_.size(), answer == ui::KeepRun || answer == ui::DropRun ? 0 : 1);
        QCOMPARE(child<QAction>("m_undo")->isEnabled(), undoLeft);
        // Not asked again; the menu still offers a run left as it is.
        window_->checkPendingRun();
        QTRY_VERIFY(!window_->checkingPendingRun());
        QCOMPARE(questions_.size(), 1);
        child<QAction>("m_pending")->trigger();
        QTRY_VERIFY(!window_->checkingPendingRun());
        QCOMPARE(questions_.size(), answer == ui::KeepRun ? 2 : 1);
    }

    // A damaged journal is reported once, set aside, and the window starts normally.
    void badJournalAtStart() {
        const std::string dir = folder("pics", {"a"});
        const std::string runs = fs::runsDirectory(fs::stateDirectory());
        QCOMPARE(fs::makeStateDirectory(fs::stateDirectory()), 0);
        QCOMPARE(::mkdir(runs.c_str(), 0700), 0);
        const std::string run = "run-00000000000000000001-1-0";
        QVERIFY(testutil::makeFile(runs, run, "KOVRAJNL and then nothing sensible"));
        openWindow(dir);
        window_->checkPendingRun();
        QTRY_VERIFY(!window_->checkingPendingRun());
        window_->checkPendingRun();
        QTRY_VERIFY(!window_->checkingPendingRun());
        QCOMPARE(questions_.size(), 0);
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(reports_[0].contains(QStringLiteral("壊れている")), qPrintable(reports_[0]));
        QVERIFY(testutil::exists(runs + "/" + run + ".bad"));
        QVERIFY(!child<QAction>("m_undo")->isEnabled());
        QCOMPARE(testutil::entries(dir), Names{"a"});
    }

    // The journal cannot be written: asked, and nothing renamed unless the user says so.
    void journalCannotBeWritten_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<Names>("expected");
        QTest::newRow("do not rename") << int(ui::DoNotRename) << Names{"a"};
        QTest::newRow("rename without undo") << int(ui::RenameWithoutUndo) << Names{"pics_a"};
    }
    void journalCannotBeWritten() {
        QFETCH(int, answer);
        QFETCH(Names, expected);
        const std::string dir = folder("pics", {"a"});
        // A file stands where the state folder's parent should be: not even root can write.
        const std::string blocked = base() + "/blocked";
        QVERIFY(testutil::makeFile(base(), "blocked"));
        QCOMPARE(::setenv("XDG_STATE_HOME", blocked.c_str(), 1), 0);
        answer_ = answer;
        openWindow(dir);
        click("b_all_choise");
        click("b_atart");
        QCOMPARE(questions_.size(), 1);
        QVERIFY2(questions_[0].contains(QStringLiteral("元に戻せない状態で")),
                 qPrintable(questions_[0]));
        QCOMPARE(testutil::entries(dir), expected);
        QVERIFY(!child<QAction>("m_undo")->isEnabled());
    }
};

QTEST_MAIN(TestUndoWindow)
#include "tst_undowindow.moc"
