// Undo, finish and the check at start on a worker, as the run is: Ctrl+Z from every control, a
// cancel reported once the work has stopped with the files it changed, also when the drive stops
// answering before the cancel, and a check at start that does not wait for a drive. Every report
// and question goes through ui/messages; a drive that does not answer is a FUSE mount whose
// daemon is stopped, thawed by a watchdog should anything wait on it for good.

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "fs/journal.h"
#include "mountutil.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/messages.h"
#include "widgets/fonts.h"

using Names = std::vector<std::string>;

namespace {

// Thaws the drive after 20 s unless destroyed first: a call waiting on it for good then fails
// the test instead of hanging it.
class Watchdog {
public:
    explicit Watchdog(mountutil::Mount& drive)
        : thread_([this, &drive](const std::stop_token& stop) {
              std::mutex mutex;
              std::condition_variable_any never;
              std::unique_lock lock(mutex);
              never.wait_for(lock, stop, std::chrono::seconds(20), [] { return false; });
              if (!stop.stop_requested()) {
                  fired_ = drive.thaw();
              }
          }) {}
    bool fired() const { return fired_; }

private:
    std::atomic<bool> fired_{false};
    std::jthread thread_;
};

QProgressDialog* progressDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<QProgressDialog*>(w); d != nullptr && d->isVisible()) {
            return d;
        }
    }
    return nullptr;
}

}  // namespace

class TestUndoThread : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;
    std::unique_ptr<ui::MainWindow> window_;
    QStringList reports_;
    QStringList questions_;
    Names atReport_;  // the folder's names when the report came
    std::string dir_;
    int answer_ = ui::KeepRun;
    int serial_ = 0;

    // `count` files f00, f01... in a new folder "pics" under `parent`.
    std::string makeFolder(const std::string& parent, int count) {
        const std::string dir = parent + "/" + std::to_string(++serial_);
        if (::mkdir(dir.c_str(), 0755) != 0 || ::mkdir((dir + "/pics").c_str(), 0755) != 0) {
            return {};
        }
        for (int i = 0; i < count; ++i) {
            const std::string name = (i < 10 ? "f0" : "f") + std::to_string(i);
            if (!testutil::makeFile(dir + "/pics", name, name)) {
                return {};
            }
        }
        return dir + "/pics";
    }
    // Waits for the check at start unless told not to.
    void openWindow(const std::string& start, bool waitForCheck = true) {
        window_.reset();
        window_ =
            std::make_unique<ui::MainWindow>(start, std::vector<widgets::DriveInfo>{{"/", {}}});
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        window_->checkPendingRun();
        if (waitForCheck) {
            QTRY_VERIFY(!window_->checkingPendingRun());
        }
    }
    void click(const char* name) {
        auto* b = window_->findChild<QAbstractButton*>(QString::fromLatin1(name));
        QVERIFY(b != nullptr);
        QTest::mouseClick(b, Qt::LeftButton);
    }
    bool startOrUndoEnabled() {
        return window_->findChild<QAbstractButton*>("b_atart")->isEnabled() ||
               window_->findChild<QAction*>("m_undo")->isEnabled();
    }
    // The files whose names carry the prefix.
    int prefixed() {
        int n = 0;
        for (const std::string& name : testutil::entries(dir_)) {
            n += name.rfind("pics_", 0) == 0 ? 1 : 0;
        }
        return n;
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        widgets::registerFontSubstitutes();
        ui::setReporter([this](QWidget*, const QString&, const QString& text) {
            reports_ << text;
            atReport_ = testutil::entries(dir_);
            QVERIFY(progressDialog() == nullptr);
        });
        ui::setAsker([this](QWidget*, const QString& text, const QStringList&, int, int) {
            questions_ << text;
            return answer_;
        });
    }
    void init() {
        reports_.clear();
        questions_.clear();
        const std::string state = tmp_.path() + "/state" + std::to_string(++serial_);
        QCOMPARE(::setenv("XDG_STATE_HOME", state.c_str(), 1), 0);
    }
    void cleanup() { window_.reset(); }

    // Ctrl+Z takes the last run back whichever control has the focus: after a restart, and in a
    // window that was open while another made the run.
    void ctrlZFromEveryControl_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<bool>("madeElsewhere");
        for (const char* name :
             {"Drive1", "Dir1", "File1", "b_all_choise", "b_atart", "b_reset", "b_end"}) {
            QTest::addRow("%s", name) << QString::fromLatin1(name) << false;
            QTest::addRow("%s, run made elsewhere", name) << QString::fromLatin1(name) << true;
        }
    }
    void ctrlZFromEveryControl() {
        QFETCH(QString, control);
        QFETCH(bool, madeElsewhere);
        dir_ = makeFolder(tmp_.path(), 2);
        openWindow(dir_);
        std::unique_ptr<ui::MainWindow> other;
        if (madeElsewhere) {
            other = std::move(window_);
            openWindow(dir_);
            std::swap(window_, other);
        }
        click("b_all_choise");
        click("b_atart");
        QCOMPARE(prefixed(), 2);
        if (madeElsewhere) {
            window_ = std::move(other);
        } else {
            openWindow(dir_);
        }
        auto* widget = window_->findChild<QWidget*>(control);
        QVERIFY(widget != nullptr);
        widget->setFocus();
        QVERIFY(widget->hasFocus());
        QTest::keyClick(widget, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(testutil::entries(dir_), (Names{"f00", "f01"}));
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(reports_[0].startsWith(QStringLiteral("前回の名前の変更を元に戻しました。")),
                 qPrintable(reports_[0]));
    }

    // A run, an undo or a finish cancelled in its dialog stops between two files and says how
    // many it changed, once it has stopped. When the drive stops answering in the middle of a
    // file, the dialog says it is stopping until that file is done, and counts it.
    void cancelIsReportedOnceStopped_data() {
        QTest::addColumn<QString>("work");
        QTest::addColumn<bool>("stall");
        for (const char* work : {"run", "undo", "finish", "undo cut short"}) {
            QTest::addRow("%s", work) << QString::fromLatin1(work) << false;
            QTest::addRow("%s, drive stalls", work) << QString::fromLatin1(work) << true;
        }
    }
    void cancelIsReportedOnceStopped() {
        QFETCH(QString, work);
        QFETCH(bool, stall);
        constexpr int kFiles = 20;
        constexpr int kCancelAt = 15;
        std::unique_ptr<mountutil::SwitchFs> drive;
        if (stall) {
            drive = std::make_unique<mountutil::SwitchFs>();
            KOVRA_REQUIRE_MOUNT(*drive);
        }
        dir_ = makeFolder(stall ? drive->path() : tmp_.path(), kFiles);
        QVERIFY(!dir_.empty());
        if (work == u"run" || work == u"undo") {
            openWindow(dir_);
            if (work == u"undo") {
                click("b_all_choise");
                click("b_atart");
                QCOMPARE(prefixed(), kFiles);
            }
        } else {
            // A run killed after half its files.
            core::WorkList names;
            for (const std::string& name : testutil::entries(dir_)) {
                names.append(name);
            }
            fs::RunRecorder recorder;
            QCOMPARE(recorder.begin(dir_, names), 0);
            for (int i = 0; i < kFiles / 2; ++i) {
                const std::string name = names.at(i);
                QCOMPARE(::rename((dir_ + "/" + name).c_str(), (dir_ + "/pics_" + name).c_str()),
                         0);
            }
        }
        const int before = prefixed();

        std::optional<Watchdog> guard;
        bool sawStopping = false;
        bool oneAtATime = true;
        QTimer look;  // watches the dialog while the worker waits on the drive
        connect(&look, &QTimer::timeout, [&] {
            QProgressDialog* dialog = progressDialog();
            if (dialog == nullptr) {
                return;
            }
            auto* cancel = dialog->findChild<QPushButton*>();
            if (dialog->labelText().contains(QStringLiteral("応答しません")) &&
                cancel->isEnabled()) {
                QTest::mouseClick(cancel, Qt::LeftButton);
            } else if (dialog->labelText() == QStringLiteral("中止しています…") &&
                       !cancel->isEnabled() && reports_.isEmpty()) {
                sawStopping = true;
                drive->thaw();
            }
        });
        const auto hook = [&](std::int64_t done, std::int64_t) {
            oneAtATime = oneAtATime && !startOrUndoEnabled();
            if (done != kCancelAt) {
                return;
            }
            if (!stall) {
                QTest::mouseClick(progressDialog()->findChild<QPushButton*>(), Qt::LeftButton);
                return;
            }
            // The worker goes on to the next file, and waits there for the drive.
            guard.emplace(*drive);
            QVERIFY(drive->freeze());
            look.start(50);
        };
        const ui::ProgressTiming atOnce{std::chrono::milliseconds(0), std::chrono::milliseconds(0)};
        if (work == u"run") {
            window_->setProgressTiming(atOnce);
            window_->setProgressHook(hook);
            click("b_all_choise");
            click("b_atart");
        } else if (work == u"undo") {
            window_->setProgressTiming(atOnce);
            window_->setProgressHook(hook);
            QTest::keyClick(window_.get(), Qt::Key_Z, Qt::ControlModifier);
        } else {
            answer_ = work == u"finish" ? ui::FinishRun : ui::UndoRun;
            window_ =
                std::make_unique<ui::MainWindow>(dir_, std::vector<widgets::DriveInfo>{{"/", {}}});
            window_->setProgressTiming(atOnce);
            window_->setProgressHook(hook);
            window_->show();
            window_->checkPendingRun();
        }
        QTRY_COMPARE_WITH_TIMEOUT(reports_.size(), 1, 30000);
        QVERIFY(oneAtATime);
        QCOMPARE(sawStopping, stall);
        QVERIFY(!guard || !guard->fired());
        guard.reset();
        // Nothing changed after the report, which counts every file changed.
        QCOMPARE(testutil::entries(dir_), atReport_);
        // A run and an undo change every file they look at; a finish or an undo of a run cut
        // short looks first at the half it leaves alone. When the drive stalled, the file it held
        // when the cancel came is done and counted.
        const int changed = std::abs(prefixed() - before);
        const bool everyFile = work == u"run" || work == u"undo";
        QCOMPARE(changed, (everyFile ? kCancelAt : kCancelAt - kFiles / 2) + (stall ? 1 : 0));
        const QString& report = reports_[0];
        if (work == u"run") {
            QCOMPARE(report, QStringLiteral("中止しました。%1 個のファイルの名前を変更しました。"
                                            "ファイル → 元に戻す で戻せます。")
                                 .arg(changed));
        } else {
            QVERIFY2(report.contains(QStringLiteral("中止しました")) &&
                         report.contains(QStringLiteral("ファイル： %1 個").arg(changed)),
                     qPrintable(report));
        }
        QVERIFY(!window_->checkingPendingRun());
        QVERIFY(window_->findChild<QAbstractButton*>("b_atart")->isEnabled());
        if (stall) {
            window_.reset();
        }
    }

    // A run cut short on a drive that does not answer: the window shows and starts nothing
    // meanwhile, and asks once the drive answers.
    void theCheckAtStartDoesNotWaitForTheDrive() {
        mountutil::SwitchFs drive;
        KOVRA_REQUIRE_MOUNT(drive);
        dir_ = makeFolder(drive.path(), 2);
        core::WorkList names;
        names.append("f00");
        names.append("f01");
        fs::RunRecorder recorder;
        QCOMPARE(recorder.begin(dir_, names), 0);
        QVERIFY(drive.freeze());
        const Watchdog guard(drive);
        answer_ = ui::FinishRun;
        openWindow(tmp_.path(), false);
        QVERIFY(window_->checkingPendingRun());
        QVERIFY(!startOrUndoEnabled());
        QCoreApplication::processEvents();
        QCOMPARE(questions_.size(), 0);
        QVERIFY(drive.thaw());
        QTRY_VERIFY_WITH_TIMEOUT(!window_->checkingPendingRun(), 30000);
        QCOMPARE(questions_.size(), 1);
        QCOMPARE(testutil::entries(dir_), (Names{"pics_f00", "pics_f01"}));
        QVERIFY(!guard.fired());
        window_.reset();
    }
};

QTEST_MAIN(TestUndoThread)
#include "tst_undothread.moc"
