// The windows as a screen reader reads them, through Qt's own accessibility interfaces: every
// control the Tab key reaches has a name, the file list says how many files are selected, the
// progress bar gives its value, the preview its column names, and the keyboard reaches every
// control in the designed order.

#include <QAccessible>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTest>

#include "ui/explanationwindow.h"
#include "ui/mergewindow.h"
#include "ui/versionwindow.h"
#include "windowfixture.h"

namespace {

QString nameOf(QObject* object) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
    return iface != nullptr ? iface->text(QAccessible::Name) : QString();
}

// The controls of `window` the Tab key can reach, shown or shown later (the merge window's list
// of files left), without those of popups.
QList<QWidget*> focusable(QWidget* window) {
    QList<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->window() == window && (w->focusPolicy() & Qt::TabFocus) != 0) {
            controls << w;
        }
    }
    return controls;
}

}  // namespace

class TestAccessible : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    // The window `which` opened on a folder of three files, shown, ready for the keyboard.
    QWidget* open(const QString& which) {
        const std::string pics = folder("pics", {"a.jpg", "b.jpg", "c.jpg"});
        folder("pics/cats", {"d.jpg"});
        openWindow(pics);
        if (which == u"main") {
            return window();
        }
        if (which == u"merge") {
            window()->findChild<QAction*>("m_merge")->trigger();
            auto* merge = window()->findChild<ui::MergeWindow*>("w_merge");
            if (!QTest::qWaitFor([merge] { return merge->planReady(); }, 10000)) {
                return nullptr;
            }
            return merge;
        }
        if (which == u"explanation") {
            return explanation_.show();
        }
        return version_.show();
    }

    widgets::FormHolder<ui::ExplanationWindow> explanation_;
    widgets::FormHolder<ui::VersionWindow> version_;

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

    void everyControlHasAName_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("windowName");
        QTest::addColumn<int>("controls");  // that the Tab key can reach
        QTest::newRow("main") << "main"
                              << "Kovra Ver 1.00  すなはらソフト工房" << 7;
        QTest::newRow("merge") << "merge"
                               << "フォルダをまとめる" << 11;
        QTest::newRow("explanation") << "explanation"
                                     << "説明" << 1;
        QTest::newRow("version") << "version"
                                 << "バージョン情報" << 1;
    }
    void everyControlHasAName() {
        QFETCH(QString, window);
        QFETCH(QString, windowName);
        QFETCH(int, controls);
        QWidget* shown = open(window);
        QVERIFY(shown != nullptr);
        QCOMPARE(nameOf(shown), windowName);
        const QList<QWidget*> reached = focusable(shown);
        QCOMPARE(reached.size(), controls);
        for (QWidget* control : reached) {
            QVERIFY2(!nameOf(control).isEmpty(), qPrintable(control->objectName()));
        }
    }

    // What a screen reader says of each list and field: what it lists, or its label.
    void listsAndFieldsAreNamedForWhatTheyHold_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::newRow("Dir1") << "main"
                              << "Dir1"
                              << "フォルダ一覧";
        QTest::newRow("File1") << "main"
                               << "File1"
                               << "ファイル一覧";
        QTest::newRow("e_dest") << "merge"
                                << "e_dest"
                                << "まとめ先";
        QTest::newRow("List_src") << "merge"
                                  << "List_src"
                                  << "まとめるフォルダ";
        QTest::newRow("Table_preview") << "merge"
                                       << "Table_preview"
                                       << "ファイルごとの処理";
        QTest::newRow("t_left") << "merge"
                                << "t_left"
                                << "移動しなかったファイル";
    }
    void listsAndFieldsAreNamedForWhatTheyHold() {
        QFETCH(QString, window);
        QFETCH(QString, control);
        QFETCH(QString, name);
        QWidget* shown = open(window);
        QVERIFY(shown != nullptr);
        QCOMPARE(nameOf(shown->findChild<QWidget*>(control)), name);
    }

    void theFileListSaysHowManyAreSelected() {
        open("main");
        const auto description = [this] {
            return QAccessible::queryAccessibleInterface(file1())->text(QAccessible::Description);
        };
        const QString purpose = QStringLiteral("現在選択されているフォルダのファイル一覧。");
        QCOMPARE(description(), purpose + "3 個のファイルのうち 0 個を選択しています。");
        clickFile(1);
        QCOMPARE(description(), purpose + "3 個のファイルのうち 1 個を選択しています。");
        click("b_all_choise");
        QCOMPARE(description(), purpose + "3 個のファイルのうち 3 個を選択しています。");
        folder("pics", {"e.jpg"});
        click("b_reset");
        QVERIFY(waitListed());
        QCOMPARE(description(), purpose + "4 個のファイルのうち 0 個を選択しています。");
    }

    // Tab goes through every control in the order of the design, and comes round again.
    void tabFollowsTheDesignedOrder_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("main") << "main" << QStringList{"Drive1",  "Dir1",  "File1",  "b_all_choise",
                                                       "b_atart", "b_end", "b_reset"};
        QTest::newRow("merge") << "merge"
                               << QStringList{"e_dest",        "b_browse",      "List_src",
                                              "c_all",         "c_keepdup",     "c_number",
                                              "c_keepfolders", "Table_preview", "b_merge",
                                              "b_close"};
    }
    void tabFollowsTheDesignedOrder() {
        QFETCH(QString, window);
        QFETCH(QStringList, order);
        QWidget* shown = open(window);
        QVERIFY(shown != nullptr);
        shown->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(shown));
        shown->findChild<QWidget*>(order.first())->setFocus();
        QStringList reached;
        for (int i = 0; i <= order.size(); ++i) {
            reached << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(reached, order + QStringList{order.first()});
    }

    // The menu, without access keys in its captions, opens with F10; a folder offered is
    // unchecked with Space.
    void theKeyboardReachesTheMenuAndTheChecks() {
        open("main");
        window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window()));
        QTest::keyClick(window(), Qt::Key_F10);
        QMenuBar* bar = window()->menuBar();
        QTRY_VERIFY(bar->activeAction() != nullptr);
        QCOMPARE(bar->activeAction()->objectName(), QStringLiteral("m_f"));
        QTRY_VERIFY(bar->activeAction()->menu()->isVisible());
        QTest::keyClick(bar->activeAction()->menu(), Qt::Key_Escape);

        window()->findChild<QAction*>("m_merge")->trigger();
        auto* merge = window()->findChild<ui::MergeWindow*>("w_merge");
        QTRY_VERIFY(merge->planReady());
        auto* sources = merge->findChild<QAbstractItemView*>("List_src");
        merge->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(merge));
        sources->setFocus();
        sources->setCurrentIndex(sources->model()->index(0, 0));
        QTest::keyClick(sources, Qt::Key_Space);
        QCOMPARE(sources->model()->index(0, 0).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    }

    // The run's progress: its bar is named and gives the files done as its value.
    void theProgressBarGivesItsValue() {
        const std::string pics = folder("pics", {"a", "b", "c", "d", "e", "f"});
        openWindow(pics);
        window_->setProgressTiming({std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
        QList<std::int64_t> done;
        QList<std::int64_t> read;
        QString name;
        window_->setProgressHook([&](std::int64_t files, std::int64_t) {
            auto* bar = progressDialog()->findChild<QProgressBar*>();
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(bar);
            name = iface->text(QAccessible::Name);
            done << files;
            read << iface->valueInterface()->currentValue().toLongLong();
        });
        click("b_all_choise");
        click("b_atart");
        QCOMPARE(name, QStringLiteral("進み具合"));
        QVERIFY(!done.isEmpty());
        QCOMPARE(read, done);
    }

    void thePreviewNamesItsColumns() {
        QWidget* merge = open("merge");
        QVERIFY(merge != nullptr);
        QAccessibleTableInterface* table =
            QAccessible::queryAccessibleInterface(merge->findChild<QWidget*>("Table_preview"))
                ->tableInterface();
        QVERIFY(table != nullptr);
        QStringList headers;
        for (int column = 0; column < table->columnCount(); ++column) {
            const QList<QAccessibleInterface*> cells =
                table->cellAt(0, column)->tableCellInterface()->columnHeaderCells();
            headers << (cells.isEmpty() ? QString() : cells.first()->text(QAccessible::Name));
        }
        QCOMPARE(headers, (QStringList{"元の場所", "新しい名前", "処理"}));
    }
};

QTEST_MAIN(TestAccessible)
#include "tst_accessible.moc"
