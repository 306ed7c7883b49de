// Dropping folders and files from a file manager onto the main window.

#include <QDropEvent>
#include <QMimeData>
#include <QTest>

#include "widgets/drop.h"
#include "windowfixture.h"

Q_DECLARE_METATYPE(std::string)
using Paths = std::vector<std::string>;
Q_DECLARE_METATYPE(Paths)

class TestDrop : public QObject, public testutil::WindowFixture {
    Q_OBJECT

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
    void init() { beginTest(); }
    void cleanup() { endTest(); }

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
        const std::string target =
            folder("\xe5\x86\x99\xe7\x9c\x9f \xff", {"a.jpg"});  // "写真 \xff"
        openWindow(folder("start"));
        list("List1")->append("stale");

        QVERIFY(drop(window(), fileUrl(target)));
        QCOMPARE(dir1()->path(), target);
        QCOMPARE(file1()->path(), target);
        QCOMPARE(file1()->count(), 1);
        QVERIFY(file1()->selectedRanges().empty());
        QCOMPARE(list("List1")->count(), 0);
    }

    void droppingFilesOpensTheirFolderAndSelectsThem() {
        const std::string pics = folder("pics", {"a.jpg", "b.jpg", "c.jpg", "d\xfe.jpg"});
        openWindow(base());
        list("List2")->append("stale");

        QVERIFY(drop(window(), fileUrl(pics + "/b.jpg") + fileUrl(pics + "/d\xfe.jpg")));
        QCOMPARE(dir1()->path(), pics);
        QCOMPARE(file1()->count(), 4);
        QCOMPARE(selectedRows(), (testutil::Rows{1, 3}));
        QCOMPARE(list("List2")->count(), 0);
    }

    void aDropWithoutLocalFilesIsRefused() {
        openWindow(base());
        QVERIFY(!drop(window(), "https://example.com/a.jpg\r\n"));
    }
};

QTEST_MAIN(TestDrop)
#include "tst_drop.moc"
