// A drive that does not answer: a bindfs mount whose daemon is stopped with SIGSTOP. The window
// shows and stays usable, a folder on it is said not to answer, and a run during which it
// stops for a while ends with every file renamed once. A watchdog resumes the daemon should
// anything wait on it for good, and the test then fails instead of hanging.

#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/worklist.h"
#include "fs/journal/recorder.h"
#include "fs/mounts.h"
#include "fs/undo/undo.h"
#include "mountutil.h"
#include "windowfixture.h"

using testutil::Names;

namespace {

// The longest the window's event loop went without running a 1 ms timer: printed for the
// record, not compared with anything.
class GapMeter {
public:
    GapMeter() {
        last_.start();
        QObject::connect(&timer_, &QTimer::timeout,
                         [this] { longest_ = std::max(longest_, last_.restart()); });
        timer_.start(1);
    }
    qint64 longest() const { return std::max(longest_, last_.elapsed()); }

private:
    QTimer timer_;
    QElapsedTimer last_;
    qint64 longest_ = 0;
};

bool mounted(const std::string& point) {
    for (const fs::Mount& m : fs::readMountTable()) {
        if (m.mountPoint == point && m.type.rfind("fuse", 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

class TestStuckDrive : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    std::string source_;  // what the mount shows
    std::string mount_;   // the bindfs mount
    std::string other_;   // an ordinary folder
    QProcess daemon_;

    void stop() { ::kill(static_cast<pid_t>(daemon_.processId()), SIGSTOP); }
    void resume() { ::kill(static_cast<pid_t>(daemon_.processId()), SIGCONT); }
    // Resumes the daemon after 20 s should anything wait on it for good.
    mountutil::Watchdog watchdog() {
        return mountutil::Watchdog([pid = daemon_.processId()] { ::kill(pid_t(pid), SIGCONT); },
                                   std::chrono::seconds(20));
    }

private slots:
    void initTestCase() {
        if (::geteuid() != 0) {
            QSKIP("a FUSE mount needs root here: the test is not run as root");
        }
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            QSKIP("/dev/fuse is missing: no FUSE mount can be made");
        }
        if (QStandardPaths::findExecutable(QStringLiteral("bindfs")).isEmpty()) {
            QSKIP("bindfs is not installed (Debian package bindfs)");
        }
        source_ = root() + "/source";
        mount_ = root() + "/drive";
        other_ = root() + "/other";
        for (const std::string& d : {source_, mount_, other_, source_ + "/photos"}) {
            QCOMPARE(::mkdir(d.c_str(), 0755), 0);
        }
        QVERIFY(testutil::makeFile(other_, "o.txt"));
        daemon_.start(QStringLiteral("bindfs"),
                      {QStringLiteral("-f"), QStringLiteral("--no-allow-other"),
                       QString::fromStdString(source_), QString::fromStdString(mount_)});
        QVERIFY(daemon_.waitForStarted());
        QVERIFY(QTest::qWaitFor([this] { return mounted(mount_); }, 10000));
    }

    void cleanupTestCase() {
        if (daemon_.state() != QProcess::NotRunning) {
            resume();
            ::umount2(mount_.c_str(), MNT_DETACH);
            daemon_.terminate();
            daemon_.waitForFinished();
        }
    }

    void init() { beginTest(); }
    // The window goes while the drive may still not answer: closing it must not wait on it.
    void cleanup() {
        endTest();
        resume();
    }

    void theWindowShowsWhileAMountDoesNotAnswer() {
        stop();
        mountutil::Watchdog watchdog = this->watchdog();
        QElapsedTimer clock;
        clock.start();
        openWindow(other_, widgets::mountedDrives());
        qInfo("window shown %lld ms after start with a mount that does not answer",
              clock.elapsed());
        const std::vector<std::string> roots = drive1()->roots();
        QVERIFY(std::find(roots.begin(), roots.end(), mount_) != roots.end());
        watchdog.disarm();
        QVERIFY(!watchdog.fired());
    }

    void aFolderOnItIsSaidNotToAnswer() {
        openWindow(other_, {{other_, {}}, {mount_, {}}});
        stop();
        mountutil::Watchdog watchdog = this->watchdog();
        QElapsedTimer clock;
        clock.start();
        const GapMeter gaps;
        pickDrive(1);
        qInfo("a drive that does not answer said so after %lld ms; longest event-loop gap %lld ms",
              clock.elapsed(), gaps.longest());
        QCOMPARE(file1()->statusText(), ui::notAnsweringStatus(mount_));
        QCOMPARE(drive1()->drive(), other_);
        QCOMPARE(dir1()->path(), other_);
        QCOMPARE(reports_, QStringList{});

        // Usable at once: another folder opens while the drive still does not answer.
        const std::string sub = other_ + "/sub";
        ::mkdir(sub.c_str(), 0755);
        QVERIFY(testutil::makeFile(sub, "s.txt"));
        QCOMPARE(dir1()->setPath(sub), 0);
        QVERIFY(waitListed());
        QCOMPARE(listed(), Names{"s.txt"});
        QVERIFY(file1()->statusText().isEmpty());
        watchdog.disarm();
        QVERIFY(!watchdog.fired());
    }

    void aStartFolderOnItOpensHome() {
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QByteArray::fromStdString(other_));
        stop();
        mountutil::Watchdog watchdog = this->watchdog();
        const std::string start = mount_ + "/photos";
        openWindow(start);
        qputenv("HOME", home);
        QCOMPARE(dir1()->path(), other_);
        QCOMPARE(file1()->path(), other_);
        QCOMPARE(file1()->statusText(), ui::startNotAnsweringStatus(start));
        QCOMPARE(reports_, QStringList{});
        watchdog.disarm();
        QVERIFY(!watchdog.fired());
    }

    // A run cut short on the drive: the window looks at it on a thread of its own at start, and
    // closes at once though the drive does not answer.
    void theWindowClosesWhileItsStartCheckWaits() {
        QVERIFY(testutil::makeFile(source_ + "/photos", "p.jpg"));
        std::string run;
        {
            core::WorkList names;
            names.append("p.jpg");
            fs::RunRecorder recorder(fs::stateDirectory());
            QCOMPARE(recorder.begin(mount_ + "/photos", names), 0);
            run = recorder.runPath();
        }  // gone without an end, as a kill leaves it
        openWindow(other_);
        stop();
        mountutil::Watchdog watchdog = this->watchdog();
        window()->checkPendingRun();
        QVERIFY(window()->checkingPendingRun());
        endTest();
        watchdog.disarm();
        QVERIFY(!watchdog.fired());
        resume();
        // The check lets go of the run once the drive answers.
        QTRY_VERIFY_WITH_TIMEOUT(fs::dropRun(run) == 0 || !testutil::exists(run), 10000);
        QVERIFY(::unlink((source_ + "/photos/p.jpg").c_str()) == 0);
    }

    // `kovra FOLDER` on the drive: the window program takes the launcher's place and waits in
    // its event loop, its window shown, while the drive still does not answer.
    void theProgramStartedOnItOpensAtOnce() {
        stop();
        mountutil::Watchdog watchdog = this->watchdog();
        QProcess kovra;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("HOME"), QString::fromStdString(other_));
        env.insert(QStringLiteral("XDG_STATE_HOME"), QString::fromStdString(base() + "/state"));
        kovra.setProcessEnvironment(env);
        kovra.start(QStringLiteral(KOVRA_PROGRAM), {QString::fromStdString(mount_ + "/photos")});
        QVERIFY(kovra.waitForStarted());
        const std::string proc = "/proc/" + std::to_string(kovra.processId());
        std::string seen;
        const auto inEventLoop = [&] {
            char exe[4096] = {};
            const ssize_t n = ::readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
            const long call =
                std::strtol(testutil::readFile(proc + "/syscall").c_str(), nullptr, 10);
            seen =
                std::string(exe, n > 0 ? std::size_t(n) : 0) + " in call " + std::to_string(call);
            return seen.find("/kovra-window ") != std::string::npos &&
                   (call == SYS_poll || call == SYS_ppoll);
        };
        const bool waiting = QTest::qWaitFor(inEventLoop, 15000);
        watchdog.disarm();
        // Its threads still asking the drive end once it answers.
        resume();
        kovra.kill();
        kovra.waitForFinished();
        QVERIFY2(waiting, seen.c_str());
        QVERIFY(!watchdog.fired());
    }

    void aRunGoesOnWhenTheDriveAnswersAgain() {
        constexpr int kFiles = 1000;
        Names expected;
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(1000 + i);
            QVERIFY(testutil::makeFile(source_ + "/photos", name, name));
            expected.push_back("photos_" + name);
        }
        openWindow(mount_ + "/photos", {{mount_, {}}});
        QCOMPARE(file1()->count(), kFiles);
        window_->setProgressTiming({std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
        bool stopped = false;
        bool saidNotAnswering = false;
        std::thread waker;
        window_->setProgressHook([&](std::int64_t done, std::int64_t) {
            if (done == kFiles / 2 && !stopped) {
                // The daemon stops for 3 s in the middle of the run, then answers again.
                stopped = true;
                stop();
                waker = std::thread([this] {
                    std::this_thread::sleep_for(std::chrono::seconds(3));
                    resume();
                });
            }
        });
        // The window's thread goes on during the stall: the dialog is looked at meanwhile.
        QTimer look;
        connect(&look, &QTimer::timeout, [&] {
            if (QProgressDialog* d = progressDialog()) {
                saidNotAnswering =
                    saidNotAnswering || d->labelText().contains(QStringLiteral("応答しません"));
            }
        });
        look.start(50);
        click("b_all_choise");
        const GapMeter gaps;
        click("b_atart");
        qInfo("run with a 3 s stall: longest event-loop gap %lld ms", gaps.longest());
        if (waker.joinable()) {
            waker.join();
        }
        QVERIFY(stopped);
        QVERIFY(saidNotAnswering);
        QCOMPARE(testutil::entries(source_ + "/photos"), expected);
        for (const std::string& name : expected) {
            QCOMPARE(testutil::readFile(source_ + "/photos/" + name), name.substr(7));
        }
        QCOMPARE(reports_, QStringList{});
    }
};

QTEST_MAIN(TestStuckDrive)
#include "tst_stuckdrive.moc"
