// The window shows what is on the drive: a folder renamed, removed or replaced from outside, or
// a drive unmounted or gone, is followed and said; a run never renames in a folder other than
// the one listed.

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QTest>

#include <memory>

#include "mountutil.h"
#include "testutil.h"
#include "ui/windowfixture.h"

class TestTruth : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    // What happens outside the program, given the test's folder.
    enum class Outside { RenameOpen, RemoveOpen, RenameAbove, ReplaceOpen, Unmount, KillDaemon };

private slots:
    void init() { beginTest(); }
    void cleanup() { endTest(); }

    void theWindowFollowsItsFolder_data() {
        QTest::addColumn<Outside>("outside");
        QTest::addColumn<QString>("opened");  // relative to the test's folder
        QTest::addColumn<bool>("clickRedisplay");
        QTest::newRow("open folder renamed") << Outside::RenameOpen << "pics" << false;
        QTest::newRow("open folder removed") << Outside::RemoveOpen << "pics" << false;
        QTest::newRow("folder above renamed") << Outside::RenameAbove << "" << false;
        QTest::newRow("open folder replaced by a new one")
            << Outside::ReplaceOpen << "pics/cats" << false;
        QTest::newRow("drive unmounted") << Outside::Unmount << "pics/cats" << false;
        QTest::newRow("renamed, seen at the redisplay button")
            << Outside::RenameOpen << "pics" << true;
    }
    void theWindowFollowsItsFolder() {
        QFETCH(Outside, outside);
        QFETCH(QString, opened);
        QFETCH(bool, clickRedisplay);
        const std::string cats = folder("pics/cats", {"a.jpg"});
        if (outside == Outside::Unmount) {
            if (::geteuid() != 0) {
                QSKIP("mounting a tmpfs needs root: the test is not run as root");
            }
            QCOMPARE(::mount("kovra-test", cats.c_str(), "tmpfs", 0, "size=1m"), 0);
            folder("pics/cats", {"on drive.jpg"});
        }
        openWindow(cats);
        clickFile(0);
        const std::string pics = base() + "/pics";
        switch (outside) {
            case Outside::RenameOpen:
                QCOMPARE(::rename(cats.c_str(), (pics + "/dogs").c_str()), 0);
                break;
            case Outside::RemoveOpen:
                QCOMPARE(::unlink((cats + "/a.jpg").c_str()), 0);
                QCOMPARE(::rmdir(cats.c_str()), 0);
                break;
            case Outside::RenameAbove:
                QCOMPARE(::rename(pics.c_str(), (base() + "/photos").c_str()), 0);
                break;
            case Outside::ReplaceOpen:
                QCOMPARE(::rename(cats.c_str(), (pics + "/old").c_str()), 0);
                folder("pics/cats", {"new.jpg"});
                break;
            case Outside::Unmount:
                QCOMPARE(::umount2(cats.c_str(), MNT_DETACH), 0);
                break;
            case Outside::KillDaemon:
                break;
        }
        if (clickRedisplay) {
            click("b_reset");
        }
        // No dialog: a notice in the list, the folder lists moved to what exists.
        QTRY_VERIFY(!file1()->notice().isEmpty());
        const std::string expected =
            opened.isEmpty() ? base() : base() + "/" + opened.toStdString();
        QCOMPARE(dir1()->path(), expected);
        QVERIFY(waitListed());
        QCOMPARE(file1()->path(), expected);
        QVERIFY(selectedRows().empty());
        QVERIFY(reports_.isEmpty());
        if (outside == Outside::ReplaceOpen) {
            QCOMPARE(listed(), testutil::Names{"new.jpg"});
        }
    }

    // The notice says what went: the folder, or its drive (unmounted, or its FUSE daemon gone as
    // when a network share's server drops the mount), which is not the pictures' removal.
    void theNoticeSaysWhatWent_data() {
        QTest::addColumn<Outside>("outside");
        QTest::addColumn<bool>("driveWent");
        QTest::newRow("folder removed") << Outside::RemoveOpen << false;
        QTest::newRow("tmpfs unmounted") << Outside::Unmount << true;
        QTest::newRow("FUSE daemon gone") << Outside::KillDaemon << true;
    }
    void theNoticeSaysWhatWent() {
        QFETCH(Outside, outside);
        QFETCH(bool, driveWent);
        std::string cats = folder("pics/cats", {"a.jpg"});
        std::unique_ptr<mountutil::SwitchFs> fuse;
        if (outside == Outside::Unmount) {
            if (::geteuid() != 0) {
                QSKIP("mounting a tmpfs needs root: the test is not run as root");
            }
            QCOMPARE(::mount("kovra-test", cats.c_str(), "tmpfs", 0, "size=1m"), 0);
            folder("pics/cats", {"on drive.jpg"});
        } else if (outside == Outside::KillDaemon) {
            fuse = std::make_unique<mountutil::SwitchFs>();
            KOVRA_REQUIRE_MOUNT(*fuse);
            cats = fuse->path();
            QVERIFY(testutil::makeFile(cats, "a.jpg"));
        }
        openWindow(cats);
        QVERIFY(waitListed());
        if (outside == Outside::RemoveOpen) {
            QCOMPARE(::unlink((cats + "/a.jpg").c_str()), 0);
            QCOMPARE(::rmdir(cats.c_str()), 0);
        } else if (outside == Outside::Unmount) {
            QCOMPARE(::umount2(cats.c_str(), MNT_DETACH), 0);
        } else {
            QCOMPARE(::kill(fuse->daemonPid(), SIGKILL), 0);
            // No event tells of it: the user asks for the folder again.
            click("b_reset");
        }
        QTRY_VERIFY(!file1()->notice().isEmpty());
        const QString said = file1()->notice();
        const QString shown = QString::fromStdString(cats);
        QVERIFY2(
            said.startsWith(driveWent ? QStringLiteral("ドライブ ") + shown +
                                            QStringLiteral(" が取り外されました")
                                      : QStringLiteral("フォルダ ") + shown +
                                            QStringLiteral(" は名前を変えられたか削除されました")),
            qPrintable(said));
    }

    // The folder is replaced between the selection and the click, before the window notices.
    void aRunInAReplacedFolderRenamesNothing() {
        const std::string cats = folder("cats", {"a.jpg"});
        openWindow(cats);
        click("b_all_choise");
        QCOMPARE(::rename(cats.c_str(), (base() + "/old").c_str()), 0);
        folder("cats", {"a.jpg"});
        click("b_atart");
        QCOMPARE(reports_.size(), 1);
        QVERIFY(testutil::exists(cats + "/a.jpg"));
        QVERIFY(testutil::exists(base() + "/old/a.jpg"));
        QVERIFY(waitListed());
        QCOMPARE(listed(), testutil::Names{"a.jpg"});
        QVERIFY(selectedRows().empty());
    }
};

QTEST_MAIN(TestTruth)
#include "tst_truth.moc"
