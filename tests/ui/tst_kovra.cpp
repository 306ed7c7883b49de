#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

#include "platform/dirlistbox.h"
#include "platform/drivelistbox.h"
#include "platform/error_report.h"
#include "platform/filelistbox.h"
#include "platform/fonts.h"
#include "platform/fs.h"
#include "platform/listbox.h"
#include "platform/twips.h"
#include "testutil.h"
#include "ui/kovra.h"

using testutil::entries;
using testutil::makeFile;
using Names = std::vector<std::string>;
using Rows = std::vector<int>;

class TestKovra : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    std::string base_;  // this test's own folder inside tmp_
    QStringList errors_;
    int count_ = 0;
    std::unique_ptr<kovra> window_;

    // Makes the folder `relative` below this test's folder, with empty `files` in it.
    std::string folder(const std::string& relative, const Names& files = {}) {
        std::string path = base_;
        std::size_t start = 0;
        while (start <= relative.size()) {
            std::size_t end = relative.find('/', start);
            if (end == std::string::npos) {
                end = relative.size();
            }
            path += "/" + relative.substr(start, end - start);
            ::mkdir(path.c_str(), 0755);
            start = end + 1;
        }
        for (const std::string& f : files) {
            makeFile(path, f, "content of " + f);
        }
        return path;
    }

    void openWindow(const std::string& start, std::vector<platform::DriveInfo> drives) {
        window_ = std::make_unique<kovra>(start, std::move(drives));
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    template <typename T>
    T* child(const char* name) {
        return window_->findChild<T*>(QString::fromLatin1(name));
    }
    platform::DriveListBox* drive1() { return child<platform::DriveListBox>("Drive1"); }
    platform::DirListBox* dir1() { return child<platform::DirListBox>("Dir1"); }
    platform::FileListBox* file1() { return child<platform::FileListBox>("File1"); }
    platform::ListBox* list(const char* name) { return child<platform::ListBox>(name); }

    void click(const char* button) {
        auto* b = child<QAbstractButton>(button);
        QVERIFY(b != nullptr);
        QTest::mouseClick(b, Qt::LeftButton);
    }

    Names files() {
        Names names;
        for (std::int64_t i = 0; i < file1()->ListCount(); ++i) {
            names.push_back(file1()->List(i));
        }
        return names;
    }

    Rows selectedRows() {
        Rows rows;
        for (std::int64_t i = 0; i < file1()->ListCount(); ++i) {
            if (file1()->Selected(i)) {
                rows.push_back(static_cast<int>(i));
            }
        }
        return rows;
    }

    void clickFile(int row, Qt::KeyboardModifiers modifiers = {}) {
        platform::FileListBox* view = file1();
        const QRect rect = view->visualRect(view->model()->index(row, 0));
        QVERIFY(rect.isValid());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, rect.center());
    }

    int dirRow(const std::string& path) {
        for (int i = 0; i < dir1()->ListCount(); ++i) {
            if (dir1()->List(i) == path) {
                return i;
            }
        }
        return -1;
    }

    // Opens a folder of Dir1 as the user does: a double-click on its row.
    void doubleClickFolder(const std::string& path) {
        const int row = dirRow(path);
        QVERIFY2(row >= 0, path.c_str());
        const QRect rect = dir1()->visualRect(dir1()->model()->index(row, 0));
        QTest::mouseClick(dir1()->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(dir1()->viewport(), Qt::LeftButton, {}, rect.center());
    }

    // Picks drive `index` in Drive1 with the arrow keys, as the user does.
    void pickDrive(int index) {
        platform::DriveListBox* combo = drive1();
        combo->setFocus();
        const int steps = index - combo->currentIndex();
        for (int i = 0; i < std::abs(steps); ++i) {
            QTest::keyClick(combo, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
        }
    }

    // Gives both work lists something, as a run before would have.
    void fillWorkLists() {
        list("List1")->AddItem("left over");
        list("List2")->AddItem("left over");
    }
    void verifyWorkListsEmpty() {
        QCOMPARE(list("List1")->ListCount(), 0);
        QCOMPARE(list("List2")->ListCount(), 0);
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        platform::registerFontSubstitutes();
        platform::setErrorReporter(
            [this](QWidget*, const QString&, const QString& text) { errors_ << text; });
    }

    void init() {
        errors_.clear();
        base_ = tmp_.path().toStdString() + "/" + std::to_string(++count_) + "_" +
                QTest::currentTestFunction();
        QCOMPARE(::mkdir(base_.c_str(), 0755), 0);
    }

    void cleanup() { window_.reset(); }

    void startsInTheStartFolder() {
        const std::string a = folder("a");
        const std::string start = folder("a/cats", {"b.txt", "a.jpg", ".hidden"});
        folder("a/cats/kittens");
        openWindow(start, {{a, {}}, {folder("b"), {}}});

        QCOMPARE(drive1()->Drive(), a);
        QCOMPARE(dir1()->Path(), start);
        // The chain from the drive's root to the open folder, then its subfolders.
        QCOMPARE(dir1()->ListCount(), 3);
        QCOMPARE(dir1()->List(0), a);
        QCOMPARE(dir1()->List(1), start);
        QCOMPARE(dir1()->List(2), start + "/kittens");
        QCOMPARE(dir1()->ListIndex(), 1);
        QCOMPARE(dir1()->model()->index(0, 0).data().toString(), QString::fromStdString(a));
        QCOMPARE(dir1()->model()->index(1, 0).data().toString(), QStringLiteral("cats"));
        QCOMPARE(file1()->Path(), start);
        QCOMPARE(files(), (Names{".hidden", "a.jpg", "b.txt"}));
        QCOMPARE(selectedRows(), Rows{});
        verifyWorkListsEmpty();
        QCOMPARE(errors_, QStringList{});
    }

    void selectAllAndRenameThroughTheButtons() {
        const std::string own = platform::ownExecutableName();
        const std::string cats =
            folder("猫たち", {"a.jpg", "タマ.png", ".hidden", "kovra.exe", own});
        openWindow(cats, {{"/", {}}});

        click("b_all_choise");
        QCOMPARE(static_cast<std::int64_t>(selectedRows().size()), file1()->ListCount());
        QCOMPARE(file1()->SelectedRanges().size(), std::size_t{1});
        click("b_atart");

        Names expected{"kovra.exe", own, "猫たち_.hidden", "猫たち_a.jpg", "猫たち_タマ.png"};
        std::sort(expected.begin(), expected.end());
        QCOMPARE(entries(cats), expected);
        QCOMPARE(testutil::readFile(cats + "/猫たち_a.jpg"), std::string("content of a.jpg"));
        Names listed = files();
        std::sort(listed.begin(), listed.end());
        QCOMPARE(listed, expected);
        QCOMPARE(selectedRows(), Rows{});
        QCOMPARE(errors_, QStringList{});
    }

    void openingAFolderListsItsFilesAndEmptiesTheWorkLists() {
        const std::string a = folder("a", {"top.txt"});
        const std::string sub = folder("a/sub", {"one.txt", "two.txt"});
        openWindow(a, {{a, {}}});
        fillWorkLists();

        doubleClickFolder(sub);
        QCOMPARE(dir1()->Path(), sub);
        QCOMPARE(file1()->Path(), sub);
        QCOMPARE(files(), (Names{"one.txt", "two.txt"}));
        verifyWorkListsEmpty();

        // Back up the chain with the keyboard.
        fillWorkLists();
        dir1()->setFocus();
        dir1()->setCurrentIndex(dir1()->model()->index(dirRow(a), 0));
        QTest::keyClick(dir1(), Qt::Key_Return);
        QCOMPARE(dir1()->Path(), a);
        QCOMPARE(files(), Names{"top.txt"});
        verifyWorkListsEmpty();
        QCOMPARE(errors_, QStringList{});
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
        QCOMPARE(drive1()->Drive(), b);
        QCOMPARE(dir1()->Path(), b);
        QCOMPARE(file1()->Path(), b);
        QCOMPARE(files(), Names{"b.txt"});
        verifyWorkListsEmpty();

        doubleClickFolder(by);
        fillWorkLists();
        pickDrive(0);  // each drive keeps its own current folder
        QCOMPARE(dir1()->Path(), ax);
        QCOMPARE(files(), Names{"ax.txt"});
        verifyWorkListsEmpty();
        pickDrive(1);
        QCOMPARE(dir1()->Path(), by);
        QCOMPARE(file1()->Path(), by);
        QCOMPARE(files(), Names{"by.txt"});
        QCOMPARE(errors_, QStringList{});
    }

    void aDriveThatIsNotReadyChangesNothing() {
        const std::string a = folder("a", {"1.txt", "2.txt"});
        const std::string gone = base_ + "/unplugged";
        openWindow(a, {{a, {}}, {gone, {}}});
        clickFile(1);
        pickDrive(1);
        QCOMPARE(errors_.size(), 1);
        QVERIFY2(errors_[0].contains(QString::fromStdString(gone)), qPrintable(errors_[0]));
        QCOMPARE(drive1()->Drive(), a);
        QCOMPARE(dir1()->Path(), a);
        QCOMPARE(file1()->Path(), a);
        QCOMPARE(selectedRows(), Rows{1});

        // Still usable: the same drive can be tried again, and reported again.
        pickDrive(1);
        QCOMPARE(errors_.size(), 2);
        QCOMPARE(drive1()->Drive(), a);
    }

    void redisplayShowsAFileMadeBehindTheListsBack() {
        const std::string a = folder("a", {"old.txt"});
        openWindow(a, {{a, {}}});
        clickFile(0);
        QVERIFY(makeFile(a, "new.txt"));
        QCOMPARE(files(), Names{"old.txt"});  // not read again on its own
        fillWorkLists();

        click("b_reset");
        QCOMPARE(files(), (Names{"new.txt", "old.txt"}));
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
        QCOMPARE(list("List1")->ListCount(), 1);
        QCOMPARE(list("List2")->ListCount(), 1);
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
        QCOMPARE(errors_.size(), 1);
        for (const QString& part : reportHas) {
            QVERIFY2(errors_[0].contains(part), qPrintable(errors_[0]));
        }
        // Stopped at the failing file, the list read again, and the window still works.
        QVERIFY(testutil::exists(dir + "/" + name + "_a.txt"));
        QVERIFY(testutil::exists(dir + "/" + blocked.toStdString()));
        QVERIFY(testutil::exists(dir + "/x.txt"));
        Names listed = files();
        std::sort(listed.begin(), listed.end());
        QCOMPARE(listed, entries(dir));
        QCOMPARE(selectedRows(), Rows{});
        clickFile(0);
        QCOMPARE(selectedRows(), Rows{0});
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
        menuItem("m_e", "m_f", 0, "終了", "Ctrl+X");
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
        const double dpi = platform::logicalDpi();
        QCOMPARE(widget->geometry(), platform::twipsRect(twips.left(), twips.top(), twips.width(),
                                                         twips.height(), dpi));
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
        QCOMPARE(platform::logicalDpi(), 96.0);
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
#include "tst_kovra.moc"
