// Dropping folders and files from a file manager onto the main window.

#include <QDropEvent>
#include <QMimeData>
#include <QTest>

#include "testutil.h"
#include "ui/mainwindow.h"
#include "widgets/drop.h"
#include "widgets/filelistbox.h"
#include "widgets/folderlistbox.h"
#include "widgets/worklistbox.h"

Q_DECLARE_METATYPE(std::string)
using Paths = std::vector<std::string>;
Q_DECLARE_METATYPE(Paths)

class TestDrop : public QObject {
    Q_OBJECT

    testutil::TempFolder tmp_;
    std::string base_;

    // Delivers a drag entering the window and the drop, as a file manager does.
    static bool drop(QWidget* window, const QByteArray& uriList) {
        QMimeData mime;
        mime.setData(QStringLiteral("text/uri-list"), uriList);
        const QPointF at(window->width() / 2.0, window->height() / 2.0);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &enter);
        if (!enter.isAccepted()) {
            return false;
        }
        QDropEvent dropEvent(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &dropEvent);
        return dropEvent.isAccepted();
    }

    static QByteArray fileUrl(const std::string& path) {
        return "file://" + QByteArray::fromStdString(path).toPercentEncoding("/") + "\r\n";
    }

private slots:
    void initTestCase() { base_ = tmp_.path(); }

    void uriList_data() {
        QTest::addColumn<QByteArray>("uriList");
        QTest::addColumn<Paths>("expected");
        QTest::newRow("two files") << QByteArray("file:///a/b.jpg\r\nfile:///a/c.jpg\r\n")
                                   << Paths{"/a/b.jpg", "/a/c.jpg"};
        QTest::newRow("escaped bytes, not UTF-8")
            << QByteArray("file:///a/%E7%8C%AB%20%FF.jpg") << Paths{"/a/\xe7\x8c\xab \xff.jpg"};
        QTest::newRow("localhost and a trailing slash")
            << QByteArray("file://localhost/a/dir/") << Paths{"/a/dir"};
        QTest::newRow("comments, other schemes and hosts skipped")
            << QByteArray("# comment\nhttps://example.com/x\nfile://otherhost/x\nfile:///ok\n")
            << Paths{"/ok"};
        QTest::newRow("an escaped NUL is no path") << QByteArray("file:///a%00b") << Paths{};
    }
    void uriList() {
        QFETCH(QByteArray, uriList);
        QFETCH(Paths, expected);
        QCOMPARE(widgets::localPathsFromUriList(uriList), expected);
    }

    void droppingAFolderOpensIt() {
        const std::string start = base_ + "/start";
        const std::string target = base_ + "/\xe5\x86\x99\xe7\x9c\x9f \xff";  // "写真 \xff"
        QCOMPARE(::mkdir(start.c_str(), 0755), 0);
        QCOMPARE(::mkdir(target.c_str(), 0755), 0);
        QVERIFY(testutil::makeFile(target, "a.jpg"));
        ui::MainWindow window(start, {{"/", QString()}});
        window.show();
        auto* list1 = window.findChild<widgets::WorkListBox*>("List1");
        list1->append("stale");

        QVERIFY(drop(&window, fileUrl(target)));
        QCOMPARE(window.findChild<widgets::FolderListBox*>("Dir1")->path(), target);
        auto* file1 = window.findChild<widgets::FileListBox*>("File1");
        QCOMPARE(file1->path(), target);
        QCOMPARE(file1->count(), 1);
        QVERIFY(file1->selectedRanges().empty());
        QCOMPARE(list1->count(), 0);
    }

    void droppingFilesOpensTheirFolderAndSelectsThem() {
        const std::string folder = base_ + "/pics";
        QCOMPARE(::mkdir(folder.c_str(), 0755), 0);
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d\xfe.jpg"}) {
            QVERIFY(testutil::makeFile(folder, name));
        }
        ui::MainWindow window(base_, {{"/", QString()}});
        window.show();
        auto* list2 = window.findChild<widgets::WorkListBox*>("List2");
        list2->append("stale");

        QVERIFY(drop(&window, fileUrl(folder + "/b.jpg") + fileUrl(folder + "/d\xfe.jpg")));
        QCOMPARE(window.findChild<widgets::FolderListBox*>("Dir1")->path(), folder);
        auto* file1 = window.findChild<widgets::FileListBox*>("File1");
        QCOMPARE(file1->count(), 4);
        QVERIFY(!file1->isSelected(0));
        QVERIFY(file1->isSelected(1));
        QVERIFY(!file1->isSelected(2));
        QVERIFY(file1->isSelected(3));
        QCOMPARE(list2->count(), 0);
    }

    void aDropWithoutLocalFilesIsRefused() {
        ui::MainWindow window(base_, {{"/", QString()}});
        window.show();
        QVERIFY(!drop(&window, "https://example.com/a.jpg\r\n"));
    }
};

QTEST_MAIN(TestDrop)
#include "tst_drop.moc"
