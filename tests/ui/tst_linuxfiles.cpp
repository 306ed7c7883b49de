// The file list as a Linux user expects it: hidden names asked about before a run, links to
// folders as folders, the folder list's highlight after a failed open, reports that wrap long
// names, a drive list read again when opened, and a shared folder's refusal explained.

#include <sys/stat.h>
#include <sys/wait.h>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>

#include "fs/rename.h"
#include "ui/messagedialog.h"
#include "widgets/display.h"
#include "windowfixture.h"

using testutil::Names;

class TestLinuxFiles : public QObject, public testutil::WindowFixture {
    Q_OBJECT

private slots:
    void init() { beginTest(); }
    void cleanup() { endTest(); }

    void hiddenNamesAreAskedAboutFirst_data() {
        QTest::addColumn<Names>("files");
        QTest::addColumn<int>("answer");
        QTest::addColumn<Names>("onDisk");  // after select-all and a run
        QTest::addColumn<int>("renameList");
        const Names home{".bashrc", ".profile", "notes.txt"};
        QTest::newRow("rename them too")
            << home << kOther << Names{"home_.bashrc", "home_.profile", "home_notes.txt"} << 3;
        QTest::newRow("leave them out (default)")
            << home << kDefault << Names{".bashrc", ".profile", "home_notes.txt"} << 1;
        QTest::newRow("cancel (Esc)") << home << kEscape << home << 0;
        QTest::newRow("no hidden names, no question")
            << Names{"a.txt", "b.txt"} << kEscape << Names{"home_a.txt", "home_b.txt"} << 2;
    }
    void hiddenNamesAreAskedAboutFirst() {
        QFETCH(Names, files);
        QFETCH(int, answer);
        QFETCH(Names, onDisk);
        QFETCH(int, renameList);
        answer_ = answer;
        const std::string home = folder("home", files);
        openWindow(home);
        click("b_all_choise");
        click("b_atart");

        QCOMPARE(testutil::entries(home), onDisk);
        QCOMPARE(reports_, QStringList{});
        const bool hidden = files.front().front() == '.';
        QCOMPARE(questions_.size(), hidden ? 1 : 0);
        if (hidden) {
            // How many, and which.
            QVERIFY2(questions_[0].contains(QStringLiteral(" 2 個")), qPrintable(questions_[0]));
            QVERIFY(questions_[0].contains(QStringLiteral(".bashrc")));
            QVERIFY(questions_[0].contains(QStringLiteral(".profile")));
        }
        // The selection list holds every selected name whatever the answer.
        QCOMPARE(list("List1")->count(), static_cast<std::int64_t>(files.size()));
        QCOMPARE(list("List2")->count(), std::int64_t{renameList});
        // After a cancel nothing was read again: the selection is still there.
        const bool cancelled = hidden && answer == kEscape;
        QCOMPARE(static_cast<std::int64_t>(file1()->selectedRanges().size()), cancelled ? 1 : 0);
        QCOMPARE(sortedListed(), onDisk);
    }

    // A link to a folder opens like a folder: it is listed with the folders, never as a file.
    void linksListedByWhatTheyLeadTo_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("inDir1");
        QTest::addColumn<bool>("inFile1");
        QTest::newRow("link to a folder") << "folderlink" << true << false;
        QTest::newRow("link to a file") << "filelink" << false << true;
        QTest::newRow("broken link") << "broken" << false << true;
        QTest::newRow("fifo") << "fifo" << false << true;
        QTest::newRow("socket") << "socket" << false << true;
    }
    void linksListedByWhatTheyLeadTo() {
        QFETCH(QString, kind);
        QFETCH(bool, inDir1);
        QFETCH(bool, inFile1);
        const std::string dir = folder("d", {"file.txt"});
        QCOMPARE(::mkdir((dir + "/sub").c_str(), 0755), 0);
        const std::string entry = dir + "/entry";
        if (kind == "folderlink") {
            QCOMPARE(::symlink("sub", entry.c_str()), 0);
        } else if (kind == "filelink") {
            QCOMPARE(::symlink("file.txt", entry.c_str()), 0);
        } else if (kind == "broken") {
            QCOMPARE(::symlink("nowhere", entry.c_str()), 0);
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(entry.c_str(), 0644), 0);
        } else {
            QCOMPARE(::mknod(entry.c_str(), S_IFSOCK | 0644, 0), 0);
        }
        openWindow(dir);
        int dirRows = 0;
        for (int i = 0; i < dir1()->count(); ++i) {
            dirRows += dir1()->at(i) == entry ? 1 : 0;
        }
        QCOMPARE(dirRows == 1, inDir1);
        const Names files = listed();
        QCOMPARE(std::count(files.begin(), files.end(), "entry") == 1, inFile1);
    }

    void theHighlightReturnsToTheOpenFolderAfterAFailedOpen() {
        const std::string dir = folder("d", {"a.txt"});
        folder("d/gone");
        openWindow(dir);
        const int row = dirRow(dir + "/gone");
        QVERIFY(row >= 0);
        QCOMPARE(::rmdir((dir + "/gone").c_str()), 0);

        const QPoint at = dir1()->visualRect(dir1()->model()->index(row, 0)).center();
        QTest::mouseClick(dir1()->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(dir1()->currentIndex().row(), row);
        QTest::mouseDClick(dir1()->viewport(), Qt::LeftButton, {}, at);

        QCOMPARE(reports_.size(), 1);
        QCOMPARE(dir1()->path(), dir);
        QCOMPARE(dir1()->currentIndex().row(), dir1()->openRow());
        QVERIFY(dir1()->selectionModel()->isRowSelected(dir1()->openRow(), {}));
        QCOMPARE(listed(), Names{"a.txt"});
    }

    // The report's text holds the whole name; the box wraps it and fits the screen.
    void aReportWrapsLongNamesAndFitsTheScreen_data() {
        QTest::addColumn<std::string>("relative");  // the folder, below the test's own
        QTest::addColumn<std::string>("file");
        QTest::newRow("new name too long") << std::string("longfolder") << std::string(255, 'n');
        // A folder path of over 3000 bytes, its new name within the limit.
        std::string deep;
        for (int i = 0; i < 14; ++i) {
            deep += std::string(200, char('a' + i)) + "/";
        }
        QTest::newRow("long folder path") << deep + "x" << std::string("f");
    }
    void aReportWrapsLongNamesAndFitsTheScreen() {
        QFETCH(std::string, relative);
        QFETCH(std::string, file);
        const std::string path = folder(relative);
        QVERIFY(testutil::makeFile(path, file));
        const std::string newName = path.substr(path.rfind('/') + 1) + "_" + file;
        if (newName.size() <= 255) {
            // Taken, so the rename fails and is reported.
            QVERIFY(testutil::makeFile(path, newName));
        }
        openWindow(path);
        click("b_all_choise");
        click("b_atart");
        QCOMPARE(reports_.size(), 1);
        const QString text = reports_[0];
        QVERIFY(text.contains(widgets::displayName(file)));
        QVERIFY(text.contains(widgets::displayName(newName)));
        QVERIFY(text.contains(widgets::displayName(path)));

        ui::MessageDialog box(window_.get(), ui::MessageDialog::Kind::Error, "Kovra", text, {"OK"},
                              0, 0);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QCOMPARE(box.text(), text);
        const QRect screen = window_->screen()->availableGeometry();
        QVERIFY2(box.frameGeometry().width() <= screen.width(),
                 qPrintable(QString::number(box.frameGeometry().width())));
        QVERIFY(box.frameGeometry().height() <= screen.height());
        // Wrapped, not cut: nothing to scroll to sideways, and the text is no wider than its view.
        QTextEdit* view = box.textView();
        QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
        QVERIFY(view->document()->idealWidth() <= view->viewport()->width());
        box.done(0);
    }

    void theDriveListIsReadAgainWhenOpened() {
        const std::string a = folder("a");
        const std::string b = folder("b");
        const std::string c = folder("c");
        widgets::DriveListBox drives;
        drives.setDrives({{a, {}}, {b, {}}});
        drives.setDrive(b);
        std::vector<widgets::DriveInfo> mounted{{b, {}}, {c, "NEW"}};
        drives.setDriveSource([&] { return mounted; });
        drives.show();
        drives.showPopup();
        QCOMPARE(drives.roots(), (Names{b, c}));
        QCOMPARE(drives.count(), 2);
        QCOMPARE(drives.drive(), b);  // the selection stays on its drive
        drives.hidePopup();
    }

    // In a shared folder with the sticky bit, only a file's owner may rename it: the report says
    // whose file it is rather than a bare "not permitted".
    void anotherUsersFileInASharedFolder() {
        if (::geteuid() != 0) {
            QSKIP("needs root to make files of two other users");
        }
        const std::string shared = folder("shared");
        QCOMPARE(::chmod(shared.c_str(), 01777), 0);
        QVERIFY(testutil::makeFile(shared, "theirs"));
        QCOMPARE(::chown((shared + "/theirs").c_str(), 65533, 65533), 0);
        const int dirfd = ::open(shared.c_str(), O_RDONLY | O_DIRECTORY);
        QVERIFY(dirfd >= 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            // As another user again: exit 0 when the refusal is recognised for what it is.
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(2);
            }
            const core::RenameStatus status = fs::renameNoReplace(dirfd, "theirs", "mine");
            ::_exit(status.error == EPERM && status.othersFileInStickyFolder ? 0 : 1);
        }
        ::close(dirfd);
        int wstatus = 0;
        QCOMPARE(::waitpid(pid, &wstatus, 0), pid);
        QVERIFY(WIFEXITED(wstatus));
        QCOMPARE(WEXITSTATUS(wstatus), 0);
        QVERIFY(testutil::exists(shared + "/theirs"));

        core::RenameStatus status = core::RenameStatus::failed(EPERM);
        status.othersFileInStickyFolder = true;
        QVERIFY2(ui::renameReason(status).contains(QStringLiteral("別のユーザーのファイル")),
                 qPrintable(ui::renameReason(status)));
    }
};

QTEST_MAIN(TestLinuxFiles)
#include "tst_linuxfiles.moc"
