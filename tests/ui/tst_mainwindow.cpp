#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <map>

#include "fs/listing.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "widgets/twips.h"
#include "windowfixture.h"

using testutil::entries;
using testutil::makeFile;
using testutil::Names;
using testutil::Rows;

// Counts the paint events of the widget it watches.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(int& paints) : paints_(paints) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints_;
        }
        return false;
    }

private:
    int& paints_;
};

class TestKovra : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    bool progressUpAtReport_ = false;  // a progress dialog was still shown when a report came

    // Clicks `widget` at `pos` (its centre by default) the way the window system delivers a
    // click: to the window, where a modal dialog can block it.
    void clickInWindow(QWidget* widget, QPoint pos = {}) {
        QVERIFY(widget != nullptr);
        const QPoint at =
            widget->mapTo(window_.get(), pos.isNull() ? widget->rect().center() : pos);
        QTest::mouseClick(window_->windowHandle(), Qt::LeftButton, {}, at);
    }

    // The progress dialog shows from the first file and updates after every file.
    void progressAtEveryFile() {
        window_->setProgressTiming({std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
    }

    // Whether a top-level window of that object name is shown.
    static bool windowShown(const char* name) {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String(name) && w->isVisible()) {
                return true;
            }
        }
        return false;
    }

    // Gives both work lists something, as a run before would have.
    void fillWorkLists() {
        list("List1")->append("left over");
        list("List2")->append("left over");
    }
    void verifyWorkListsEmpty() {
        QCOMPARE(list("List1")->count(), 0);
        QCOMPARE(list("List2")->count(), 0);
    }

private slots:
    void initTestCase() {
        onReport_ = [this] { progressUpAtReport_ = progressDialog() != nullptr; };
    }

    void init() {
        beginTest();
        progressUpAtReport_ = false;
    }

    void cleanup() { endTest(); }

    void startsInTheStartFolder() {
        const std::string a = folder("a");
        const std::string start = folder("a/cats", {"b.txt", "a.jpg", ".hidden"});
        folder("a/cats/kittens");
        openWindow(start, {{a, {}}, {folder("b"), {}}});

        QCOMPARE(drive1()->drive(), a);
        QCOMPARE(dir1()->path(), start);
        // The chain from the drive's root to the open folder, then its subfolders.
        QCOMPARE(dir1()->count(), 3);
        QCOMPARE(dir1()->at(0), a);
        QCOMPARE(dir1()->at(1), start);
        QCOMPARE(dir1()->at(2), start + "/kittens");
        QCOMPARE(dir1()->openRow(), 1);
        QCOMPARE(dir1()->model()->index(0, 0).data().toString(), QString::fromStdString(a));
        QCOMPARE(dir1()->model()->index(1, 0).data().toString(), QStringLiteral("cats"));
        QCOMPARE(file1()->path(), start);
        QCOMPARE(listed(), (Names{".hidden", "a.jpg", "b.txt"}));
        QCOMPARE(selectedRows(), Rows{});
        verifyWorkListsEmpty();
        QCOMPARE(reports_, QStringList{});
    }

    // The focused button takes Enter, as it takes Space.
    void enterPressesTheFocusedButton_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<Names>("onDisk");
        QTest::newRow("b_all_choise") << "b_all_choise" << Names{"a", "b"};
        QTest::newRow("b_atart") << "b_atart" << Names{"x_a", "x_b"};
    }
    void enterPressesTheFocusedButton() {
        QFETCH(QString, button);
        QFETCH(Names, onDisk);
        const std::string x = folder("x", {"a", "b"});
        openWindow(x, {{"/", {}}});
        if (button == "b_atart") {
            click("b_all_choise");
        }
        auto* target = child<QAbstractButton>(qPrintable(button));
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Enter);
        QTRY_COMPARE(entries(x), onDisk);
        QTRY_COMPARE(static_cast<int>(selectedRows().size()), button == "b_atart" ? 0 : 2);
    }

    void selectAllAndRenameThroughTheButtons() {
        // A user's file that merely shares the running program's name is renamed like any other.
        const std::string own = QCoreApplication::applicationName().toStdString();
        const std::string cats =
            folder("猫たち", {"a.jpg", "タマ.png", ".hidden", "kovra.exe", own});
        openWindow(cats, {{"/", {}}});

        click("b_all_choise");
        QCOMPARE(static_cast<std::int64_t>(selectedRows().size()), file1()->count());
        QCOMPARE(file1()->selectedRanges().size(), std::size_t{1});
        click("b_atart");

        Names expected{"kovra.exe", "猫たち_" + own, "猫たち_.hidden", "猫たち_a.jpg",
                       "猫たち_タマ.png"};
        std::sort(expected.begin(), expected.end());
        QCOMPARE(entries(cats), expected);
        QCOMPARE(testutil::readFile(cats + "/猫たち_a.jpg"), std::string("content of a.jpg"));
        QCOMPARE(sortedListed(), expected);
        QCOMPARE(selectedRows(), Rows{});
        QCOMPARE(reports_, QStringList{});
    }

    void openingAFolderListsItsFilesAndEmptiesTheWorkLists() {
        const std::string a = folder("a", {"top.txt"});
        const std::string sub = folder("a/sub", {"one.txt", "two.txt"});
        openWindow(a, {{a, {}}});
        fillWorkLists();

        doubleClickFolder(sub);
        QCOMPARE(dir1()->path(), sub);
        QCOMPARE(file1()->path(), sub);
        QCOMPARE(listed(), (Names{"one.txt", "two.txt"}));
        verifyWorkListsEmpty();

        // Back up the chain with the keyboard.
        fillWorkLists();
        dir1()->setFocus();
        dir1()->setCurrentIndex(dir1()->model()->index(dirRow(a), 0));
        QTest::keyClick(dir1(), Qt::Key_Return);
        QCOMPARE(dir1()->path(), a);
        QCOMPARE(listed(), Names{"top.txt"});
        verifyWorkListsEmpty();
        QCOMPARE(reports_, QStringList{});
    }

    void aDriveChangeOpensThatDrivesCurrentFolder() {
        const std::string a = folder("a");
        const std::string ax = folder("a/x", {"ax.txt"});
        const std::string b = folder("b", {"b.txt"});
        const std::string by = folder("b/y", {"by.txt"});
        openWindow(ax, {{a, {}}, {b, QStringLiteral("DATA")}});
        QCOMPARE(drive1()->itemText(1), QString::fromStdString(b) + "  [DATA]");
        fillWorkLists();

        pickDrive(1);  // a drive not opened yet opens at its root
        QCOMPARE(drive1()->drive(), b);
        QCOMPARE(dir1()->path(), b);
        QCOMPARE(file1()->path(), b);
        QCOMPARE(listed(), Names{"b.txt"});
        verifyWorkListsEmpty();

        doubleClickFolder(by);
        fillWorkLists();
        pickDrive(0);  // each drive keeps its own current folder
        QCOMPARE(dir1()->path(), ax);
        QCOMPARE(listed(), Names{"ax.txt"});
        verifyWorkListsEmpty();
        pickDrive(1);
        QCOMPARE(dir1()->path(), by);
        QCOMPARE(file1()->path(), by);
        QCOMPARE(listed(), Names{"by.txt"});
        QCOMPARE(reports_, QStringList{});
    }

    void aDriveThatIsNotReadyChangesNothing() {
        const std::string a = folder("a", {"1.txt", "2.txt"});
        const std::string gone = base() + "/unplugged";
        openWindow(a, {{a, {}}, {gone, {}}});
        clickFile(1);
        pickDrive(1);
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(reports_[0].contains(QString::fromStdString(gone)), qPrintable(reports_[0]));
        QCOMPARE(drive1()->drive(), a);
        QCOMPARE(dir1()->path(), a);
        QCOMPARE(file1()->path(), a);
        QCOMPARE(selectedRows(), Rows{1});

        // Still usable: the same drive can be tried again, and reported again.
        pickDrive(1);
        QCOMPARE(reports_.size(), 2);
        QCOMPARE(drive1()->drive(), a);
    }

    void redisplayShowsAFileMadeBehindTheListsBack() {
        const std::string a = folder("a", {"old.txt"});
        openWindow(a, {{a, {}}});
        clickFile(0);
        QVERIFY(makeFile(a, "new.txt"));
        QCOMPARE(listed(), Names{"old.txt"});  // not read again on its own
        fillWorkLists();

        click("b_reset");
        QCOMPARE(listed(), (Names{"new.txt", "old.txt"}));
        QCOMPARE(selectedRows(), Rows{});
        verifyWorkListsEmpty();
    }

    void clicksSelectAsExtendedSelectionDoes() {
        const std::string a = folder("a", {"0", "1", "2", "3", "4", "5"});
        openWindow(a, {{a, {}}});
        fillWorkLists();

        clickFile(1);
        QCOMPARE(selectedRows(), Rows{1});
        clickFile(3, Qt::ShiftModifier);
        QCOMPARE(selectedRows(), (Rows{1, 2, 3}));
        clickFile(5, Qt::ControlModifier);
        QCOMPARE(selectedRows(), (Rows{1, 2, 3, 5}));
        clickFile(2, Qt::ControlModifier);
        QCOMPARE(selectedRows(), (Rows{1, 3, 5}));
        clickFile(0);
        QCOMPARE(selectedRows(), Rows{0});

        // Clicks only select: nothing renamed, the work lists untouched.
        clickFile(4);
        QTest::mouseDClick(file1()->viewport(), Qt::LeftButton, {},
                           file1()->visualRect(file1()->model()->index(4, 0)).center());
        QCOMPARE(entries(a), (Names{"0", "1", "2", "3", "4", "5"}));
        QCOMPARE(list("List1")->count(), 1);
        QCOMPARE(list("List2")->count(), 1);
    }

    void aFailingRenameIsReportedAndTheProgramGoesOn_data() {
        QTest::addColumn<QString>("folderName");
        QTest::addColumn<QString>("blocked");  // the file whose rename fails
        QTest::addColumn<QStringList>("reportHas");

        QTest::newRow("new name taken") << "cats"
                                        << "b.txt"
                                        << QStringList{"b.txt", "cats_b.txt", "既にあります", "17",
                                                       "これより前の 1 個のファイル"};
        const QString longName = QString(250, QLatin1Char('n'));
        QTest::newRow("new name too long")
            << "longfolder" << longName
            << QStringList{longName, "longfolder_" + longName, "261 バイト、上限 255 バイト",
                           QString::number(ENAMETOOLONG)};
    }
    // A disk that does not confirm the renames is reported: silence would read as success. Only
    // the folder's sync fails; the journal, kept elsewhere, is synced.
    void aFailedSyncIsReported() {
        const std::string dir = folder("d", {"a.txt"});
        openWindow(dir, {{"/", {}}});
        static struct stat folderSeen {};
        QCOMPARE(::stat(dir.c_str(), &folderSeen), 0);
        fs::syscalls().fsync = [](int fd) {
            struct stat st {};
            if (::fstat(fd, &st) == 0 && st.st_dev == folderSeen.st_dev &&
                st.st_ino == folderSeen.st_ino) {
                errno = EIO;
                return -1;
            }
            return ::fsync(fd);
        };
        click("b_all_choise");
        click("b_atart");
        fs::syscalls() = fs::defaultSyscalls();
        QCOMPARE(entries(dir), Names{"d_a.txt"});
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(reports_[0].contains(QStringLiteral("エラー番号 5")), qPrintable(reports_[0]));
        QVERIFY(window_->findChild<QAction*>("m_undo")->isEnabled());
    }

    void aFailingRenameIsReportedAndTheProgramGoesOn() {
        QFETCH(QString, folderName);
        QFETCH(QString, blocked);
        QFETCH(QStringList, reportHas);
        const std::string name = folderName.toStdString();
        const std::string dir = folder(name, {"a.txt", blocked.toStdString(), "x.txt"});
        if (blocked == "b.txt") {
            QVERIFY(makeFile(dir, name + "_b.txt", "already there"));
        }
        openWindow(dir, {{"/", {}}});

        click("b_all_choise");
        click("b_atart");
        QCOMPARE(reports_.size(), 1);
        for (const QString& part : reportHas) {
            QVERIFY2(reports_[0].contains(part), qPrintable(reports_[0]));
        }
        // Stopped at the failing file, the list read again, and the window still works.
        QVERIFY(testutil::exists(dir + "/" + name + "_a.txt"));
        QVERIFY(testutil::exists(dir + "/" + blocked.toStdString()));
        QVERIFY(testutil::exists(dir + "/x.txt"));
        QCOMPARE(sortedListed(), entries(dir));
        QCOMPARE(selectedRows(), Rows{});
        clickFile(0);
        QCOMPARE(selectedRows(), Rows{0});
    }

    // After a run File1 shows what the run did at once, then what a reading finds, if it differs:
    // each time the whole list in display order (never an empty one between), nothing selected.
    void theListAfterARun_data() {
        QTest::addColumn<Names>("files");
        QTest::addColumn<Names>("selected");  // none: every file, through b_all_choise
        QTest::addColumn<QString>("added");   // by another program during the run
        QTest::addColumn<QString>("removed");
        QTest::addColumn<std::vector<Names>>("shown");  // File1 at each change after the start
        QTest::newRow("all renamed") << Names{"b", "A", "c"} << Names{} << ""
                                     << "" << std::vector<Names>{{"x_A", "x_b", "x_c"}};
        // x_c is taken: the run stops there, x_c and the files after c keep their names.
        QTest::newRow("stopped at a failure midway")
            << Names{"a", "B", "c", "d", "x_c"} << Names{} << ""
            << "" << std::vector<Names>{{"c", "d", "x_a", "x_B", "x_c"}};
        QTest::newRow("a file added meanwhile")
            << Names{"a", "b"} << Names{} << "m"
            << "" << std::vector<Names>{{"x_a", "x_b"}, {"m", "x_a", "x_b"}};
        QTest::newRow("a file removed meanwhile")
            << Names{"a", "b", "k"} << Names{"a", "b"} << ""
            << "k" << std::vector<Names>{{"k", "x_a", "x_b"}, {"x_a", "x_b"}};
    }
    void theListAfterARun() {
        QFETCH(Names, files);
        QFETCH(Names, selected);
        QFETCH(QString, added);
        QFETCH(QString, removed);
        QFETCH(std::vector<Names>, shown);
        const std::string x = folder("x", files);
        openWindow(x, {{"/", {}}});
        progressAtEveryFile();
        window_->setProgressHook([&](std::int64_t done, std::int64_t) {
            if (done == 1 && !added.isEmpty()) {
                QVERIFY(makeFile(x, added.toStdString()));
            }
            if (done == 1 && !removed.isEmpty()) {
                QCOMPARE(::unlink((x + "/" + removed.toStdString()).c_str()), 0);
            }
        });
        for (std::int64_t i = 0; i < file1()->count(); ++i) {
            file1()->setSelected(i,
                                 std::count(selected.begin(), selected.end(), file1()->at(i)) > 0);
        }
        if (selected.empty()) {
            click("b_all_choise");
        }
        std::vector<Names> changes;
        connect(file1()->model(), &QAbstractItemModel::modelReset, this,
                [&] { changes.push_back(listed()); });

        click("b_atart");
        QTRY_VERIFY(!file1()->isConfirming());
        QCOMPARE(changes, shown);
        QCOMPARE(listed(), shown.back());
        QCOMPARE(selectedRows(), Rows{});
    }

    // Two windows on one folder: the second's run is refused at a file the first has renamed,
    // while the first's run goes on (it ends while the report is read). Once the report is
    // closed, the second window reads its list again and shows the names the folder holds then.
    void aRefusedRunReadsTheListAgainOnceReported() {
        const std::string x = folder("x", {"p1.jpg", "p2.jpg", "p3.jpg"});
        openWindow(x, {{"/", {}}});
        QCOMPARE(::rename((x + "/p1.jpg").c_str(), (x + "/x_p1.jpg").c_str()), 0);
        onReport_ = [&] {
            // The report is read for a while: the list's own look after the run is over.
            QTRY_VERIFY(!file1()->isConfirming());
            for (const char* name : {"p2.jpg", "p3.jpg"}) {
                QCOMPARE(::rename((x + "/" + name).c_str(), (x + "/x_" + name).c_str()), 0);
            }
        };
        click("b_all_choise");
        click("b_atart");
        onReport_ = {};
        QCOMPARE(reports_.size(), 1);
        QVERIFY(reports_[0].contains(QStringLiteral("ファイル： p1.jpg")));
        QTRY_VERIFY(!file1()->isReading() && !file1()->isConfirming());
        QCOMPARE(listed(), (Names{"x_p1.jpg", "x_p2.jpg", "x_p3.jpg"}));
    }

    void cancelStopsBetweenTwoFiles_data() {
        QTest::addColumn<int>("k");        // files done when the user cancels
        QTest::addColumn<bool>("escape");  // with the Escape key rather than the button
        QTest::newRow("after the first") << 1 << false;
        QTest::newRow("in the middle") << 3 << false;
        QTest::newRow("in the middle, Escape") << 3 << true;
        QTest::newRow("before the last") << 5 << false;
        QTest::newRow("after the last") << 6 << false;
    }
    void cancelStopsBetweenTwoFiles() {
        QFETCH(int, k);
        QFETCH(bool, escape);
        const Names names{"f0", "f1", "f2", "f3", "f4", "f5"};
        const std::string x = folder("x", names);
        QVERIFY(makeFile(x, "kovra.exe", "own"));
        openWindow(x, {{"/", {}}});
        progressAtEveryFile();
        std::vector<std::int64_t> updates;
        window_->setProgressHook([&](std::int64_t done, std::int64_t total) {
            updates.push_back(done);
            QProgressDialog* dialog = progressDialog();
            QVERIFY(dialog != nullptr);
            QCOMPARE(QApplication::activeModalWidget(), dialog);
            QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
            QCOMPARE(dialog->maximum(), 6);  // the rename list: kovra.exe is not counted
            QCOMPARE(total, std::int64_t{6});
            QCOMPARE(dialog->value(), static_cast<int>(done));
            // As a screen reader reads the bar: its name and value.
            QAccessibleInterface* bar =
                QAccessible::queryAccessibleInterface(dialog->findChild<QProgressBar*>());
            QCOMPARE(bar->text(QAccessible::Name), QStringLiteral("進み具合"));
            QCOMPARE(bar->valueInterface()->currentValue().toInt(), static_cast<int>(done));
            QVERIFY2(dialog->labelText().contains(QStringLiteral("%1 / 6").arg(done)),
                     qPrintable(dialog->labelText()));
            if (done == k) {
                auto* cancel = dialog->findChild<QPushButton*>();
                QVERIFY(cancel != nullptr);
                QCOMPARE(cancel->text(), QString::fromUtf8("キャンセル"));
                if (escape) {
                    QTest::keyClick(dialog, Qt::Key_Escape);
                } else {
                    QTest::mouseClick(cancel, Qt::LeftButton);
                }
            }
        });

        click("b_all_choise");
        click("b_atart");

        // No update after the cancel; the files done keep their new names, the rest their old.
        QCOMPARE(static_cast<int>(updates.size()), k);
        std::map<std::string, std::string> expected{{"kovra.exe", "own"}};
        for (int i = 0; i < 6; ++i) {
            const std::string& name = names[static_cast<std::size_t>(i)];
            expected[i < k ? "x_" + name : name] = "content of " + name;
        }
        QCOMPARE(testutil::contents(x), expected);
        QCOMPARE(sortedListed(), entries(x));
        QCOMPARE(selectedRows(), Rows{});
        // Told how far it got, once it has stopped; a cancel after the last file changes nothing.
        const QString told = QStringLiteral(
            "中止しました。%1 個のファイルの名前を変更しました。ファイル → 元に戻す で戻せます。");
        QCOMPARE(reports_, k < 6 ? QStringList{told.arg(k)} : QStringList{});
        QCOMPARE(progressDialog(), nullptr);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void theProgressDialogKeepsInputAwayButTheWindowRepaints() {
        const Names names{"a", "b", "c", "d"};
        const std::string x = folder("x", names);
        openWindow(x, {{"/", {}}});
        progressAtEveryFile();
        int paints = 0;
        int paintsAtFirstUpdate = -1;
        int depth = 0;
        int updates = 0;
        PaintCounter countPaints(paints);
        file1()->viewport()->installEventFilter(&countPaints);
        window_->setProgressHook([&](std::int64_t done, std::int64_t) {
            ++updates;
            const QScopedValueRollback<int> nested(depth, depth + 1);
            QCOMPARE(depth, 1);
            if (done == 1) {
                paintsAtFirstUpdate = paints;
                file1()->viewport()->update();
            } else if (done == 2) {
                // The update asked for at the last update has been painted.
                QVERIFY(paints > paintsAtFirstUpdate);
                // Clicks on the window are blocked: neither a second run nor a menu opens.
                clickInWindow(child<QWidget>("b_atart"));
                clickInWindow(child<QWidget>("b_reset"));
                clickInWindow(window_->menuBar(),
                              window_->menuBar()->actionGeometry(child<QAction>("m_h")).center());
                QCOMPARE(QApplication::activePopupWidget(), nullptr);
                // And a handler reached in another way starts nothing either.
                window_->onStartClicked();
                window_->onRedisplayClicked();
                QCOMPARE(list("List2")->count(), 4);
            }
        });

        // Clicks through the window, as the blocked ones above: these reach the buttons.
        clickInWindow(child<QWidget>("b_all_choise"));
        QCOMPARE(static_cast<int>(selectedRows().size()), 4);
        clickInWindow(child<QWidget>("b_atart"));

        QCOMPARE(updates, 4);
        QCOMPARE(entries(x), (Names{"x_a", "x_b", "x_c", "x_d"}));
        QCOMPARE(reports_, QStringList{});
        QCOMPARE(QApplication::activePopupWidget(), nullptr);
    }

    void aFailingRenameStopsTheRunWithTheDialogUp() {
        const std::string x = folder("x", {"a", "b", "c", "d", "e"});
        QVERIFY(makeFile(x, "x_c", "already there"));
        openWindow(x, {{"/", {}}});
        progressAtEveryFile();
        std::vector<std::int64_t> updates;
        window_->setProgressHook([&](std::int64_t done, std::int64_t) {
            updates.push_back(done);
            QVERIFY(progressDialog() != nullptr);
            QCOMPARE(progressDialog()->maximum(), 6);
        });

        click("b_all_choise");
        click("b_atart");

        // a and b renamed, c stopped the run: x_c is taken.
        QCOMPARE(updates, (std::vector<std::int64_t>{1, 2}));
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(reports_[0].contains(QStringLiteral("x_c")), qPrintable(reports_[0]));
        QVERIFY2(reports_[0].contains(QStringLiteral("これより前の 2 個のファイル")),
                 qPrintable(reports_[0]));
        QVERIFY(!progressUpAtReport_);  // the report does not sit behind the dialog
        const std::map<std::string, std::string> expected{
            {"x_a", "content of a"}, {"x_b", "content of b"}, {"c", "content of c"},
            {"d", "content of d"},   {"e", "content of e"},   {"x_c", "already there"}};
        QCOMPARE(testutil::contents(x), expected);
        QCOMPARE(sortedListed(), entries(x));
        QCOMPARE(progressDialog(), nullptr);
    }

    void theDialogShowsOnlyOnceTheRunHasTakenAWhile_data() {
        QTest::addColumn<int>("showDelayMs");
        QTest::addColumn<int>("updateIntervalMs");
        QTest::addColumn<int>("updates");
        const int hour = 3600 * 1000;
        QTest::newRow("at once, every file") << 0 << 0 << 5;
        QTest::newRow("at once, then not again for an hour") << 0 << hour << 1;
        QTest::newRow("not within the first hour") << hour << 0 << 0;
    }
    void theDialogShowsOnlyOnceTheRunHasTakenAWhile() {
        QFETCH(int, showDelayMs);
        QFETCH(int, updateIntervalMs);
        QFETCH(int, updates);
        const std::string x = folder("x", {"a", "b", "c", "d", "e"});
        openWindow(x, {{"/", {}}});
        window_->setProgressTiming(
            {std::chrono::milliseconds(showDelayMs), std::chrono::milliseconds(updateIntervalMs)});
        int calls = 0;
        bool dialogSeen = false;
        window_->setProgressHook([&](std::int64_t, std::int64_t) {
            ++calls;
            dialogSeen = progressDialog() != nullptr;
        });
        click("b_all_choise");
        click("b_atart");
        QCOMPARE(calls, updates);
        QCOMPARE(dialogSeen, updates > 0);
        QCOMPARE(entries(x), (Names{"x_a", "x_b", "x_c", "x_d", "x_e"}));
        QCOMPARE(window_->findChild<QProgressDialog*>(), nullptr);
    }

    void renameStillWorksWithBothInformationWindowsOpen() {
        const std::string x = folder("x", {"a.jpg", "b.jpg"});
        openWindow(x, {{"/", {}}});
        child<QAction>("m_setu")->trigger();
        child<QAction>("m_v")->trigger();
        QVERIFY(windowShown("w_setumei"));
        QVERIFY(windowShown("w_ver"));

        click("b_all_choise");
        click("b_atart");

        QCOMPARE(entries(x), (Names{"x_a.jpg", "x_b.jpg"}));
        QCOMPARE(listed(), (Names{"x_a.jpg", "x_b.jpg"}));
        QCOMPARE(reports_, QStringList{});
        QVERIFY(windowShown("w_setumei"));
        QVERIFY(windowShown("w_ver"));
    }

    // Every control and menu item: position, size, tab or menu order, caption, tooltip, shortcut.
    void layout_data() {
        QTest::addColumn<QString>("parent");  // the menu an item is under; empty for the rest
        QTest::addColumn<int>("position");    // tab order, or place in its menu
        QTest::addColumn<QRect>("twips");     // null for menu items
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QString>("shortcut");
        const auto control = [](const char* name, int tab, QRect twips, const char* caption,
                                const char* toolTip) {
            QTest::newRow(name) << QString() << tab << twips << QString::fromUtf8(caption)
                                << QString::fromUtf8(toolTip) << QString();
        };
        const auto menuItem = [](const char* name, const char* parent, int position,
                                 const char* caption, const char* shortcut) {
            QTest::newRow(name) << QString::fromLatin1(parent) << position << QRect()
                                << QString::fromUtf8(caption) << QString()
                                << QString::fromLatin1(shortcut);
        };
        control("Drive1", 0, QRect(120, 120, 4935, 360), "", "現在のドライブ");
        control("Dir1", 1, QRect(120, 600, 4935, 3870), "", "現在選択されているフォルダ");
        control("File1", 2, QRect(5160, 120, 3375, 4410), "",
                "現在選択されているフォルダのファイル一覧");
        control("b_all_choise", 3, QRect(120, 4920, 1455, 495), "ファイル全選択",
                "ファイル一覧に表示されている全ファイルを選択対象にします");
        control("b_atart", 4, QRect(1800, 4920, 1935, 495), "リネーム　開始",
                "選択されたファイルの［ｎ］のナンバーを取ります");
        control("List1", 5, QRect(5400, 4920, 1455, 240), "", "");
        control("b_end", 6, QRect(6960, 4920, 1215, 495), "終　　了", "終了");
        control("List2", 7, QRect(5400, 5160, 1455, 240), "", "");
        control("b_reset", 8, QRect(3960, 4920, 1575, 495), "ファイル再表示",
                "『ファイル名一覧』を再表示します（ファイルを別アプリ等で削除した場合、追加変更等で"
                "更新した場合に使用してください）");
        menuItem("m_f", "", 0, "ファイル", "");
        menuItem("m_undo", "m_f", 0, "元に戻す", "Ctrl+Z");
        menuItem("m_pending", "m_f", 1, "途中で終わった変更…", "");
        menuItem("m_merge", "m_f", 2, "フォルダをまとめる…", "");
        menuItem("m_e", "m_f", 3, "終了", "Ctrl+X");
        menuItem("m_h", "", 1, "ヘルプ", "");
        menuItem("m_setu", "m_h", 0, "Kovra　について", "");
        menuItem("m_v", "m_h", 1, "バージョン情報", "");
    }
    void layout() {
        QFETCH(QString, parent);
        QFETCH(int, position);
        QFETCH(QRect, twips);
        QFETCH(QString, caption);
        QFETCH(QString, toolTip);
        QFETCH(QString, shortcut);
        const char* name = QTest::currentDataTag();
        const std::string a = folder("a");
        openWindow(a, {{a, {}}});

        if (twips.isNull()) {
            auto* action = child<QAction>(name);
            QVERIFY(action != nullptr);
            const QList<QAction*> siblings =
                parent.isEmpty() ? window_->menuBar()->actions()
                                 : child<QAction>(qPrintable(parent))->menu()->actions();
            QCOMPARE(siblings.indexOf(action), position);
            QCOMPARE(action->text(), caption);
            QCOMPARE(action->shortcut().toString(QKeySequence::PortableText), shortcut);
            return;
        }
        auto* widget = child<QWidget>(name);
        QVERIFY(widget != nullptr);
        const double dpi = widgets::logicalDpi();
        QCOMPARE(widget->geometry(),
                 widgets::twipsRect(twips.left(), twips.top(), twips.width(), twips.height(), dpi));
        QCOMPARE(widget->parentWidget(), window_->centralWidget());
        QCOMPARE(widget->toolTip(), toolTip);
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            QCOMPARE(button->text(), caption);
        } else {
            QVERIFY(caption.isEmpty());
        }
        // Tab order: where the control comes among the nine when focus walks the window.
        static const char* const kControls[] = {"Drive1",       "Dir1",    "File1",
                                                "b_all_choise", "b_atart", "List1",
                                                "b_end",        "List2",   "b_reset"};
        QStringList chain;
        QWidget* w = drive1();
        do {
            if (std::find(std::begin(kControls), std::end(kControls), w->objectName()) !=
                    std::end(kControls) &&
                !chain.contains(w->objectName())) {
                chain << w->objectName();
            }
            w = w->nextInFocusChain();
        } while (w != drive1());
        QCOMPARE(chain.indexOf(QString::fromLatin1(name)), position);
    }

    void theWindowsSizePlaceAndCaption() {
        const std::string a = folder("a");
        openWindow(a, {{a, {}}});
        // Offscreen screens are 96 DPI: a pixel is 15 twips, so the sizes below are exact.
        QCOMPARE(widgets::logicalDpi(), 96.0);
        QCOMPARE(window_->centralWidget()->size(), QSize(579, 364));
        const QPoint screen = QGuiApplication::primaryScreen()->geometry().topLeft();
        QCOMPARE(window_->frameGeometry().topLeft(), screen + QPoint(52, 58));
        QVERIFY(window_->windowTitle().startsWith(QStringLiteral("Kovra Ver 1.00")));
        QVERIFY(window_->windowTitle().size() > QStringLiteral("Kovra Ver 1.00").size());
        QVERIFY(window_->windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(window_->windowFlags() & Qt::WindowMaximizeButtonHint);
        QVERIFY(!child<QWidget>("List1")->isVisible());
        QVERIFY(!child<QWidget>("List2")->isVisible());

        // Resizing moves and grows nothing.
        const QRect before = dir1()->geometry();
        window_->resize(window_->size() * 2);
        QTest::qWait(0);
        QCOMPARE(dir1()->geometry(), before);
    }

    void overlaysOverFile1HoldTheirWholeText_data() {
        QTest::addColumn<bool>("notice");
        QTest::addColumn<QString>("text");
        QTest::newRow("long text") << false << ui::notAnsweringStatus(std::string(60, 'n'));
        QTest::newRow("short text") << false << ui::readingStatus(7);
        QTest::newRow("notice") << true << ui::startNotAnsweringStatus("/photos/2024");
    }
    void overlaysOverFile1HoldTheirWholeText() {
        QFETCH(bool, notice);
        QFETCH(QString, text);
        openWindow(folder("x", {"a", "b", "c", "d", "e", "f", "g"}));
        widgets::FileListBox* list = file1();
        notice ? list->setNotice(text) : list->setStatusText(text);
        const QRect drawn = notice ? list->noticeRect() : list->statusRect();
        const QRect needed =
            list->fontMetrics().boundingRect({0, 0, drawn.width(), 9999}, Qt::TextWordWrap, text);
        QVERIFY(list->viewport()->rect().contains(drawn) && drawn.height() > needed.height());
        if (notice) {  // rows below it take clicks; a click on it only clears it
            const int below = list->QListView::indexAt(drawn.bottomLeft() + QPoint(4, 4)).row();
            clickFile(below);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, drawn.center());
            QCOMPARE(list->notice(), QString());
            QCOMPARE(selectedRows(), Rows{below});
        }
    }

    void dir1ScrollsSidewaysOnlyWhenARowDoesNotFit_data() {
        QTest::addColumn<std::string>("relative");
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("rows fit, three levels deep") << std::string("a/b/c") << false;
        QTest::newRow("a row does not fit") << "a/" + std::string(100, 'w') << true;
    }
    void dir1ScrollsSidewaysOnlyWhenARowDoesNotFit() {
        QFETCH(std::string, relative);
        QFETCH(bool, scrolls);
        folder(relative + "/child");
        openWindow(base() + "/" + relative);
        QTRY_COMPARE(dir1()->horizontalScrollBar()->isVisible(), scrolls);
        QCOMPARE(dir1()->horizontalScrollBar()->value() > 0, scrolls);  // to the open folder
    }

    void progressNeverCountsNoneOfNone_data() {
        QTest::addColumn<bool>("stalled");
        QTest::addColumn<QString>("said");
        QTest::newRow("drive stalls before the total is known")
            << true
            << "ドライブが応答しません。応答があれば続けます。\n"
               "キャンセルすると、処理中のファイルの後で止めます。";
        QTest::newRow("undo before counting") << false << "元の名前に戻しています…";
    }
    void progressNeverCountsNoneOfNone() {
        QFETCH(bool, stalled);
        QFETCH(QString, said);
        ui::RunProgress progress(nullptr, {}, {}, stalled ? nullptr : ui::undoProgressText);
        progress.setNotAnswering(stalled, 0, 0);
        QCOMPARE(progressDialog()->labelText(), said);
        QCOMPARE(progressDialog()->maximum(), 0);  // busy
        progress.setStopping(1, 5);
        QCOMPARE(progressDialog()->maximum(), 5);  // a bar once the total is known
    }

    void theListsDrawJapaneseWithAJapaneseFace() {
        const std::string a = folder("a");
        openWindow(a, {{a, {}}});
        for (const char* name : {"Drive1", "Dir1", "File1"}) {
            const QFont font = child<QWidget>(name)->font();
            QCOMPARE(font.family(), QStringLiteral("ＭＳ Ｐゴシック"));
            QCOMPARE(font.pointSizeF(), 12.0);
            // The named face is missing here; a substitute must be what draws.
            const QString used = QFontInfo(font).family();
            QVERIFY2(QFont::substitutes(font.family()).contains(used, Qt::CaseInsensitive),
                     qPrintable(used));
            QVERIFY(QFontMetrics(font).inFont(QChar(0x30D5)));  // katakana フ
        }
    }

    void endButtonAndMenuEndTheProgram_data() {
        QTest::addColumn<bool>("menu");
        QTest::newRow("b_end") << false;
        QTest::newRow("m_e") << true;
    }
    void endButtonAndMenuEndTheProgram() {
        QFETCH(bool, menu);
        const std::string a = folder("a");
        openWindow(a, {{a, {}}});
        QTimer::singleShot(0, this, [&] {
            if (menu) {
                child<QAction>("m_e")->trigger();
            } else {
                click("b_end");
            }
        });
        // Stops a hang should the program not end.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(60000);
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

QTEST_MAIN(TestKovra)
#include "tst_mainwindow.moc"
