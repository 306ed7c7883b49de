// The merge window, driven as a user drives it: the preview of what will happen, the options,
// the merge, and Ctrl+Z in the main window taking it back.

#include <stdlib.h>
#include <QCheckBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "testutil.h"
#include "ui/mergewindow.h"
#include "ui/windowfixture.h"

class TestMergeWindow : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    ui::MergeWindow* merge() const { return window()->findChild<ui::MergeWindow*>("w_merge"); }
    // The preview's "what happens" column for the row of `source`.
    QString actionOf(const std::string& source) const {
        auto* table = merge()->findChild<QTableView*>("Table_preview");
        for (int row = 0; row < table->model()->rowCount(); ++row) {
            if (table->model()->index(row, 0).data().toString().endsWith(
                    QString::fromStdString(source))) {
                return table->model()->index(row, 2).data().toString();
            }
        }
        return {};
    }

private slots:
    void initTestCase() {
        // The Trash and the journals of the test's own.
        QCOMPARE(::setenv("XDG_DATA_HOME", (root() + "/data").c_str(), 1), 0);
        QCOMPARE(::setenv("XDG_STATE_HOME", (root() + "/state").c_str(), 1), 0);
    }
    void init() { beginTest(); }
    void cleanup() { endTest(); }

    void mergeFromThePreviewAndUndo_data() {
        QTest::addColumn<QString>("option");         // the check box ticked, if any
        QTest::addColumn<QString>("clash");          // what happens to the file whose name is taken
        QTest::addColumn<testutil::Names>("after");  // the destination's files after the merge
        QTest::newRow("as it comes")
            << ""
            << "名前が重なる：残す" << testutil::Names{"cats", "cats_a.jpg", "cats_b.jpg"};
        QTest::newRow("numbered") << "c_number"
                                  << "名前を付けて移動"
                                  << testutil::Names{"cats_a (2).jpg", "cats_a.jpg", "cats_b.jpg"};
    }
    void mergeFromThePreviewAndUndo() {
        QFETCH(QString, option);
        QFETCH(QString, clash);
        QFETCH(testutil::Names, after);
        const std::string pics = folder("pics");
        folder("pics/cats", {"a.jpg", "b.jpg"});
        QVERIFY(testutil::makeFile(pics, "cats_a.jpg", "other content"));
        const testutil::Names before = testutil::entries(pics);
        openWindow(pics);
        window()->findChild<QAction*>("m_merge")->trigger();
        QVERIFY(merge() != nullptr);
        QTRY_VERIFY(merge()->planReady());
        if (!option.isEmpty()) {
            merge()->findChild<QCheckBox*>(option)->click();
            QVERIFY(!merge()->planReady());  // planned again
            QTRY_VERIFY(merge()->planReady());
        }
        QCOMPARE(actionOf("/cats/a.jpg"), clash);
        QCOMPARE(actionOf("/cats/b.jpg"), QStringLiteral("移動"));
        QTest::mouseClick(merge()->findChild<QPushButton*>("b_merge"), Qt::LeftButton);
        QCOMPARE(reports_.size(), 1);
        QCOMPARE(testutil::entries(pics), after);

        // Back in the main window, Ctrl+Z takes the whole merge back.
        QTest::mouseClick(merge()->findChild<QPushButton*>("b_close"), Qt::LeftButton);
        window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window()));
        QTest::keyClick(window(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(reports_.size(), 2);
        QVERIFY2(reports_[1].contains(QStringLiteral("元の場所に戻した")), qPrintable(reports_[1]));
        QCOMPARE(testutil::entries(pics), before);
        QCOMPARE(testutil::entries(pics + "/cats"), (testutil::Names{"a.jpg", "b.jpg"}));
    }
};

QTEST_MAIN(TestMergeWindow)
#include "tst_mergewindow.moc"
