// Undo and finish on a worker as the run is: Ctrl+Z from every control, and a cancel reported
// once the work has stopped, counting the file a stalled drive held (switchfs, its daemon stopped).

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>
#include <optional>

#include "fs/deadline.h"
#include "fs/journal/recorder.h"
#include "mountutil.h"
#include "windowfixture.h"

class TestUndoThread : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    std::vector<std::string> atReport_;
    std::string dir_;

    // The window on `dir_`, its progress shown at once, after its check at start has answered
    // (which, with a run cut short, finishes or undoes it through `hook`).
    void openWindow(ui::ProgressHook hook = {}) {
        WindowFixture::openWindow(dir_, {});
        window_->setProgressTiming({std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
        window_->setProgressHook(std::move(hook));
        activate();
        window_->checkPendingRun();
        QTRY_VERIFY(!window_->checkingPendingRun());
    }
    void activate() {
        window_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    }
    void run() {
        click("b_all_choise");
        click("b_atart");
    }
    int prefixed() {
        const auto names = testutil::entries(dir_);
        return int(std::count_if(names.begin(), names.end(), [](auto& n) { return n[0] == 'p'; }));
    }
    static QPushButton* cancelButton() {
        auto* d = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
        return d != nullptr ? d->findChild<QPushButton*>() : nullptr;
    }

private slots:
    void init() {
        beginTest();
        answer_ = ui::KeepRun;
        // Looked at on a worker: the window's thread never waits on a drive that does not answer.
        onReport_ = [this] {
            atReport_ =
                fs::callWithDeadline<std::vector<std::string>>(
                    [dir = dir_] { return testutil::entries(dir); }, std::chrono::seconds(5))
                    .value_or(std::vector<std::string>{"(no answer at the report)"});
        };
        QCOMPARE(::setenv("XDG_STATE_HOME", (base() + "/state").c_str(), 1), 0);
    }
    void cleanup() { endTest(); }

    // After a restart, or in a window open while another made the run.
    void ctrlZFromEveryControl_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<bool>("madeElsewhere");
        for (const char* name :
             {"Drive1", "Dir1", "File1", "b_all_choise", "b_atart", "b_reset", "b_end"}) {
            QTest::addRow("%s", name) << QString::fromLatin1(name) << false;
            QTest::addRow("%s, made elsewhere", name) << QString::fromLatin1(name) << true;
        }
    }
    void ctrlZFromEveryControl() {
        QFETCH(QString, control);
        QFETCH(bool, madeElsewhere);
        dir_ = folder("pics", {"a"});
        openWindow();
        auto maker = std::move(window_);
        if (madeElsewhere) {
            openWindow();
        }
        std::swap(window_, maker);
        run();
        window_ = std::move(maker);
        if (!window_) {
            openWindow();  // a restart
        }
        activate();
        QWidget* widget = window_->findChild<QWidget*>(control);
        widget->setFocus();
        QTest::keyClick(widget, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(testutil::entries(dir_), std::vector<std::string>{"a"});
        QVERIFY(reports_.value(0).startsWith(QStringLiteral("前回の名前の変更を元に戻しました。")));
    }

    // Cancelled at file 15 of 20; when stalled, the drive stops before file 16 and the cancel
    // comes while it is held: the dialog says it is stopping, and file 16 is counted.
    void cancelIsReportedOnceStopped_data() {
        QTest::addColumn<QString>("work");
        QTest::addColumn<bool>("stall");
        QTest::addColumn<int>("changed");
        for (bool stall : {false, true}) {
            const int held = stall ? 1 : 0;
            QTest::addRow("run%s", stall ? ", stalled" : "") << "run" << stall << 15 + held;
            QTest::addRow("undo%s", stall ? ", stalled" : "") << "undo" << stall << 15 + held;
            // Half the run was done: the first 10 entries looked at need nothing.
            QTest::addRow("finish%s", stall ? ", stalled" : "") << "finish" << stall << 5 + held;
            QTest::addRow("undo cut short%s", stall ? ", stalled" : "")
                << "cut" << stall << 5 + held;
        }
    }
    void cancelIsReportedOnceStopped() {
        QFETCH(QString, work);
        QFETCH(bool, stall);
        QFETCH(int, changed);
        mountutil::SwitchFs drive;
        if (stall) {
            KOVRA_REQUIRE_MOUNT(drive);
        }
        dir_ = stall ? drive.path() + "/pics" : folder("pics");
        QVERIFY(!stall || ::mkdir(dir_.c_str(), 0755) == 0);
        core::WorkList names;
        for (int i = 10; i < 30; ++i) {
            names.append("f" + std::to_string(i));
            QVERIFY(testutil::makeFile(dir_, names.at(i - 10)));
        }
        if (work == u"finish" || work == u"cut") {
            // Cut short: the recorder goes without an end, as a kill takes it.
            fs::RunRecorder recorder;
            QCOMPARE(recorder.begin(dir_, names), 0);
            for (int i = 0; i < 10; ++i) {
                const std::string from = dir_ + "/" + std::string(names.at(i));
                const std::string to = dir_ + "/pics_" + std::string(names.at(i));
                QCOMPARE(::rename(from.c_str(), to.c_str()), 0);
            }
            answer_ = work == u"finish" ? ui::FinishRun : ui::UndoRun;
        }
        bool sawStopping = false;
        QTimer look;  // while the worker is held by the drive
        // Never a test that hangs on its own frozen drive: the drive answers again after 20 s,
        // thawed from a thread of its own, and the checks below fail.
        std::optional<mountutil::Watchdog> rescue;
        connect(&look, &QTimer::timeout, [&] {
            QPushButton* cancel = cancelButton();
            const QString label =
                cancel ? cancel->parentWidget()->findChild<QLabel*>()->text() : "";
            if (label.contains(QStringLiteral("応答しません")) && cancel->isEnabled()) {
                QTest::mouseClick(cancel, Qt::LeftButton);
            } else if (label == QStringLiteral("中止しています…") && !cancel->isEnabled() &&
                       reports_.isEmpty()) {
                sawStopping = drive.thaw();
            }
        });
        auto hook = [&](std::int64_t done, std::int64_t) {
            QVERIFY(!window_->findChild<QAbstractButton*>("b_atart")->isEnabled() &&
                    !window_->findChild<QAction*>("m_undo")->isEnabled());
            if (done == 15 && !stall) {
                QTest::mouseClick(cancelButton(), Qt::LeftButton);
            } else if (done == 15 && drive.freeze()) {
                rescue.emplace([&drive] { drive.thaw(); }, std::chrono::seconds(20));
                look.start(50);
            }
        };
        int before = prefixed();
        // A finish or an undo of a run cut short starts with the window.
        openWindow(work == u"finish" || work == u"cut" ? hook : ui::ProgressHook{});
        if (work == u"undo") {
            run();
            activate();  // the run's dialog had it
            before = prefixed();
        }
        window_->setProgressHook(hook);
        if (work == u"run") {
            run();
        } else if (work == u"undo") {
            QTest::keyClick(window_.get(), Qt::Key_Z, Qt::ControlModifier);
        }
        QTRY_COMPARE_WITH_TIMEOUT(reports_.size(), 1, 30000);
        QCOMPARE(sawStopping, stall);
        if (rescue) {
            rescue->disarm();
            QVERIFY(!rescue->fired());
        }
        QCOMPARE(testutil::entries(dir_), atReport_);  // nothing changed after the report
        // The worker may be a file further than the click when the machine is busy; the report
        // counts what was done, whatever that is.
        const int done = std::abs(prefixed() - before);
        QVERIFY2(done >= changed && done <= changed + 2, qPrintable(QString::number(done)));
        if (work == u"run") {
            QCOMPARE(reports_[0],
                     QStringLiteral("中止しました。%1 個のファイルの名前を変更しました。"
                                    "ファイル → 元に戻す で戻せます。")
                         .arg(done));
        } else {
            QVERIFY2(reports_[0].contains(QStringLiteral("中止しました")) &&
                         reports_[0].contains(QStringLiteral("ファイル： %1 個").arg(done)),
                     qPrintable(reports_[0]));
        }
        window_.reset();
    }
};

QTEST_MAIN(TestUndoThread)
#include "tst_undothread.moc"
