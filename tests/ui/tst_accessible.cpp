// The windows as a screen reader reads them, through Qt's own accessibility interfaces: every
// control the Tab key reaches has a name, lists and fields the one of what they hold, the file
// list says how many files are selected, the preview names its columns (the progress bar's value:
// tst_mainwindow); and the keyboard reaches every control in the designed order.

#include <QAccessible>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include "ui/explanationwindow.h"
#include "ui/mergewindow.h"
#include "ui/versionwindow.h"
#include "windowfixture.h"

namespace {

QAccessibleInterface* reader(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

}  // namespace

class TestAccessible : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    widgets::FormHolder<ui::ExplanationWindow> explanation_;
    widgets::FormHolder<ui::VersionWindow> version_;

    // The window `which` shown over a folder of three files and a subfolder, active.
    QWidget* open(const QString& which) {
        openWindow(folder("pics", {"a.jpg", "b.jpg", "c.jpg"}));
        folder("pics/cats", {"d.jpg"});
        QWidget* shown = window();
        if (which == u"merge") {
            window()->findChild<QAction*>("m_merge")->trigger();
            auto* merge = window()->findChild<ui::MergeWindow*>("w_merge");
            shown = QTest::qWaitFor([merge] { return merge->planReady(); }) ? merge : nullptr;
        } else if (which == u"explanation") {
            shown = explanation_.show();
        } else if (which == u"version") {
            shown = version_.show();
        }
        if (shown != nullptr) {
            shown->activateWindow();
        }
        return shown != nullptr && QTest::qWaitForWindowActive(shown) ? shown : nullptr;
    }

private slots:
    void initTestCase() {
        QCOMPARE(::setenv("XDG_STATE_HOME", (root() + "/state").c_str(), 1), 0);
        QCOMPARE(::setenv("XDG_DATA_HOME", (root() + "/data").c_str(), 1), 0);
    }
    void init() { beginTest(); }
    void cleanup() {
        explanation_.unload();
        version_.unload();
        endTest();
    }

    // Every control Tab reaches (the merge window's list of files left too, shown after a merge)
    // is named; the lists and fields as written here.
    void everyControlHasAName_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("windowName");
        QTest::addColumn<QStringList>("named");  // objectName, then its name
        QTest::newRow("main") << "main"
                              << "Kovra Ver 1.00  すなはらソフト工房"
                              << QStringList{"Dir1", "フォルダ一覧", "File1", "ファイル一覧"};
        QTest::newRow("merge") << "merge"
                               << "フォルダをまとめる"
                               << QStringList{"e_dest",        "まとめ先",
                                              "List_src",      "まとめるフォルダ",
                                              "Table_preview", "ファイルごとの処理",
                                              "t_left",        "移動しなかったファイル"};
        QTest::newRow("explanation") << "explanation"
                                     << "説明" << QStringList{};
        QTest::newRow("version") << "version"
                                 << "バージョン情報" << QStringList{};
    }
    void everyControlHasAName() {
        QFETCH(QString, window);
        QFETCH(QString, windowName);
        QFETCH(QStringList, named);
        QWidget* shown = open(window);
        QVERIFY(shown != nullptr);
        QCOMPARE(reader(shown)->text(QAccessible::Name), windowName);
        QList<QWidget*> reached;
        for (QWidget* w : shown->findChildren<QWidget*>()) {
            if (w->window() == shown && (w->focusPolicy() & Qt::TabFocus) != 0) {
                reached << w;
                QVERIFY2(!reader(w)->text(QAccessible::Name).isEmpty(),
                         qPrintable(w->objectName()));
            }
        }
        QVERIFY(!reached.isEmpty());
        // The lists and fields named here are among the controls Tab reaches.
        for (qsizetype i = 0; i + 1 < named.size(); i += 2) {
            QWidget* w = shown->findChild<QWidget*>(named[i]);
            QVERIFY2(reached.contains(w), qPrintable(named[i]));
            QCOMPARE(reader(w)->text(QAccessible::Name), named[i + 1]);
        }
    }

    void theFileListSaysHowManyAreSelected() {
        QVERIFY(open("main") != nullptr);
        const auto said = [this] { return reader(file1())->text(QAccessible::Description); };
        const QString purpose = QStringLiteral("現在選択されているフォルダのファイル一覧。");
        QCOMPARE(said(), purpose + "3 個のファイルのうち 0 個を選択しています。");
        clickFile(1);
        QCOMPARE(said(), purpose + "3 個のファイルのうち 1 個を選択しています。");
        click("b_all_choise");
        QCOMPARE(said(), purpose + "3 個のファイルのうち 3 個を選択しています。");
        folder("pics", {"e.jpg"});
        click("b_reset");
        QVERIFY(waitListed());
        QCOMPARE(said(), purpose + "4 個のファイルのうち 0 個を選択しています。");
    }

    // Tab goes through every control in the designed order and comes round again; the menu,
    // whose captions have no access keys, opens with F10; Space unchecks a folder offered.
    void theKeyboardReachesEveryControl_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("main") << "main" << QStringList{"Drive1",  "Dir1",  "File1",  "b_all_choise",
                                                       "b_atart", "b_end", "b_reset"};
        QTest::newRow("merge") << "merge" << QStringList{"e_dest",        "b_browse",   "List_src",
                                                         "c_all",         "c_keepdup",  "c_number",
                                                         "c_keepfolders", "c_namefrom", "c_dedupe",
                                                         "Table_preview", "b_merge",    "b_close"};
    }
    void theKeyboardReachesEveryControl() {
        QFETCH(QString, window);
        QFETCH(QStringList, order);
        QWidget* shown = open(window);
        QVERIFY(shown != nullptr);
        shown->findChild<QWidget*>(order.first())->setFocus();
        QStringList reached;
        for (int i = 0; i <= order.size(); ++i) {
            reached << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(reached, order + QStringList{order.first()});
        if (window == u"main") {
            QTest::keyClick(shown, Qt::Key_F10);
            QTRY_VERIFY(window_->menuBar()->activeAction() != nullptr);
            QCOMPARE(window_->menuBar()->activeAction()->objectName(), QStringLiteral("m_f"));
            QTRY_VERIFY(window_->menuBar()->activeAction()->menu()->isVisible());
            QTest::keyClick(window_->menuBar()->activeAction()->menu(), Qt::Key_Escape);
        } else {
            auto* sources = shown->findChild<QAbstractItemView*>("List_src");
            sources->setFocus();
            sources->setCurrentIndex(sources->model()->index(0, 0));
            QTest::keyClick(sources, Qt::Key_Space);
            QCOMPARE(sources->currentIndex().data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
        }
    }

    void thePreviewNamesItsColumns() {
        QWidget* merge = open("merge");
        QVERIFY(merge != nullptr);
        QAccessibleInterface* table = reader(merge->findChild<QWidget*>("Table_preview"));
        QStringList headers;
        for (int i = 0; i < table->childCount() && headers.size() < 3; ++i) {
            if (table->child(i)->role() == QAccessible::ColumnHeader) {
                headers << table->child(i)->text(QAccessible::Name);
            }
        }
        QCOMPARE(headers, (QStringList{"元の場所", "新しい名前", "処理"}));
    }
};

QTEST_MAIN(TestAccessible)
#include "tst_accessible.moc"
