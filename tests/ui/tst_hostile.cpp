// Unusual names through the window: folders and files whose names are not valid UTF-8 or hold
// control characters, dashes, dots or backslashes are listed, shown, opened and renamed to
// exactly the right bytes; a name that would grow too long is refused and reported.

#include <QAbstractButton>
#include <QTest>

#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/messages.h"
#include "widgets/filelistbox.h"
#include "widgets/folderlistbox.h"

Q_DECLARE_METATYPE(std::string)
using Names = std::vector<std::string>;

namespace {

const Names kFileNames{"\x80\xfe.jpg", "new\nline",   "tab\tname",       "-rf",
                       ".hidden",      "back\\slash", "\xe7\x8c\xab.png"};

}  // namespace

class TestHostileNames : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;
    QStringList reports_;

    static void click(QWidget* window, const char* name) {
        auto* button = window->findChild<QAbstractButton*>(name);
        QVERIFY(button != nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // Opens `path` by double-clicking its row in Dir1, as a user does.
    static void openInDir1(widgets::FolderListBox* dir1, const std::string& path) {
        int row = -1;
        for (int i = 0; i < dir1->count(); ++i) {
            if (dir1->at(i) == path) {
                row = i;
            }
        }
        QVERIFY2(row >= 0, "the folder is not listed in Dir1");
        const QModelIndex index = dir1->model()->index(row, 0);
        QVERIFY(!dir1->model()->data(index).toString().isEmpty());
        dir1->scrollTo(index);
        // A double-click is a press on the row, then the double-click on the same row.
        const QPoint at = dir1->visualRect(index).center();
        QTest::mouseClick(dir1->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(dir1->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(dir1->path(), path);
    }

private slots:
    void init() {
        reports_.clear();
        ui::setReporter(
            [this](QWidget*, const QString&, const QString& text) { reports_ << text; });
        // Hidden names are renamed too: the answer that is neither the default nor Esc.
        ui::setAsker([](QWidget*, const QString&, const QStringList& buttons, int defaultButton,
                        int escapeButton) {
            return testutil::otherAnswer(buttons.size(), defaultButton, escapeButton);
        });
    }
    void cleanup() {
        ui::setReporter({});
        ui::setAsker({});
    }

    void renamedFromTheWindow_data() {
        QTest::addColumn<std::string>("folderName");
        QTest::newRow("not UTF-8") << std::string("\xff\xfe bad");
        QTest::newRow("newline") << std::string("new\nline");
        QTest::newRow("tab") << std::string("tab\tdir");
        QTest::newRow("leading dash") << std::string("-dash");
        QTest::newRow("leading dot") << std::string(".dot");
        QTest::newRow("backslash") << std::string("back\\slash");
    }
    void renamedFromTheWindow() {
        QFETCH(std::string, folderName);
        const std::string base = tmp_.path() + "/" + QTest::currentDataTag();
        const std::string folder = base + "/" + folderName;
        QCOMPARE(::mkdir(base.c_str(), 0755), 0);
        QCOMPARE(::mkdir(folder.c_str(), 0755), 0);
        for (const std::string& name : kFileNames) {
            QVERIFY(testutil::makeFile(folder, name, "content of " + name));
        }

        ui::MainWindow window(base, {{"/", QString()}});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* dir1 = window.findChild<widgets::FolderListBox*>("Dir1");
        auto* file1 = window.findChild<widgets::FileListBox*>("File1");
        openInDir1(dir1, folder);
        QCOMPARE(file1->count(), std::int64_t(kFileNames.size()));
        for (int i = 0; i < file1->model()->rowCount(); ++i) {
            QVERIFY(!file1->model()->data(file1->model()->index(i, 0)).toString().isEmpty());
        }

        click(&window, "b_all_choise");
        click(&window, "b_atart");
        QVERIFY2(reports_.isEmpty(), qPrintable(reports_.join('\n')));
        Names expected;
        for (const std::string& name : kFileNames) {
            expected.push_back(folderName + "_" + name);
            QCOMPARE(testutil::readFile(folder + "/" + folderName + "_" + name),
                     "content of " + name);
        }
        std::sort(expected.begin(), expected.end());
        QCOMPARE(testutil::entries(folder), expected);
    }

    // 251 bytes and "long_" make 256, past the 255-byte limit: refused, reported, kept.
    void aNameThatWouldBeTooLongIsRefused() {
        const std::string folder = tmp_.path() + "/long";
        QCOMPARE(::mkdir(folder.c_str(), 0755), 0);
        const std::string name(251, 'n');
        QVERIFY(testutil::makeFile(folder, name, "kept"));
        ui::MainWindow window(folder, {{"/", QString()}});
        window.show();
        click(&window, "b_all_choise");
        click(&window, "b_atart");
        QCOMPARE(reports_.size(), 1);
        QVERIFY(reports_.first().contains(QStringLiteral("255")));
        QCOMPARE(testutil::entries(folder), Names{name});
        QCOMPARE(testutil::readFile(folder + "/" + name), std::string("kept"));
    }
};

QTEST_MAIN(TestHostileNames)
#include "tst_hostile.moc"
