#include <QTest>
#include <string>

#include "core/naming.h"
#include "core/paths.h"
#include "core/shown_name.h"
#include "testutil.h"

Q_DECLARE_METATYPE(std::string)

// Test data carries raw bytes: names need not be valid UTF-8.
static std::string bytes(const char* s) {
    return std::string(s);
}

class TestNaming : public QObject {
    Q_OBJECT
private slots:
    void prefixedName_data() {
        QTest::addColumn<std::string>("path");
        QTest::addColumn<std::string>("name");
        QTest::addColumn<std::string>("expected");
        QTest::newRow("plain") << bytes("/pics/cats") << bytes("a.jpg") << bytes("cats_a.jpg");
        QTest::newRow("root") << bytes("/") << bytes("a.jpg") << bytes("_a.jpg");
        QTest::newRow("already prefixed")
            << bytes("/pics/cats") << bytes("cats_a.jpg") << bytes("cats_cats_a.jpg");
        QTest::newRow("dots and spaces")
            << bytes("/home/u/my pics.old") << bytes("a.jpg") << bytes("my pics.old_a.jpg");
        QTest::newRow("japanese") << bytes("/写真/ねこ") << bytes("a.jpg") << bytes("ねこ_a.jpg");
        QTest::newRow("not utf-8 folder")
            << bytes("/x/\xff\xfe") << bytes("a") << bytes("\xff\xfe_a");
        QTest::newRow("not utf-8 name") << bytes("/x/d") << bytes("\x80z") << bytes("d_\x80z");
        QTest::newRow("no separator") << bytes("cats") << bytes("a.jpg") << bytes("cats_a.jpg");
        QTest::newRow("empty path") << bytes("") << bytes("a.jpg") << bytes("_a.jpg");
        QTest::newRow("no extension")
            << bytes("/p/cats") << bytes("readme") << bytes("cats_readme");
        QTest::newRow("backslash is a name byte")
            << bytes("/p/a\\b") << bytes("f") << bytes("a\\b_f");
        QTest::newRow("case kept") << bytes("/p/Cats.D") << bytes("X.JPG") << bytes("Cats.D_X.JPG");
    }
    void prefixedName() {
        QFETCH(std::string, path);
        QFETCH(std::string, name);
        QFETCH(std::string, expected);
        QCOMPARE(core::prefixedName(path, name), expected);
    }

    void joinPath_data() {
        QTest::addColumn<std::string>("folder");
        QTest::addColumn<std::string>("name");
        QTest::addColumn<std::string>("expected");
        QTest::newRow("folder") << bytes("/pics/cats") << bytes("a") << bytes("/pics/cats/a");
        QTest::newRow("root") << bytes("/") << bytes("_a.jpg") << bytes("/_a.jpg");
        QTest::newRow("trailing separator") << bytes("/p/") << bytes("a") << bytes("/p/a");
    }
    void joinPath() {
        QFETCH(std::string, folder);
        QFETCH(std::string, name);
        QFETCH(std::string, expected);
        QCOMPARE(core::joinPath(folder, name), expected);
    }

    // Each name is shown as expected, and not as the name it could pass for.
    void shownName_data() {
        QTest::addColumn<std::string>("name");
        QTest::addColumn<std::string>("lookAlike");
        QTest::addColumn<std::string>("shown");
        QTest::newRow("invalid bytes")
            << bytes("bad\xff\xfeutf") << bytes("bad\xff\xfdutf") << bytes("bad\\xff\\xfeutf");
        QTest::newRow("trailing blank")
            << bytes("trail space ") << bytes("trail space") << bytes("trail space\u2420");
        QTest::newRow("right-to-left override")
            << bytes("abc\u202Etxt.exe") << bytes("abcexe.txt") << bytes("abc\\u{202E}txt.exe");
        QTest::newRow("backslash cannot forge a byte")
            << bytes("a\\xff") << bytes("a\xff") << bytes("a\\\\xff");
        QTest::newRow("control character")
            << bytes("new\nline") << bytes("new\\nline") << bytes("new\\nline");
        QTest::newRow("literal symbol for space")
            << bytes("a\u2420") << bytes("a ") << bytes("a\\u{2420}");
        QTest::newRow("no-break space")
            << bytes("a\u00A0b") << bytes("a b") << bytes("a\\u{00A0}b");
        QTest::newRow("japanese, ideographic space kept")
            << bytes("ねこ　写真.jpg") << bytes("ねこ 写真.jpg") << bytes("ねこ　写真.jpg");
        QTest::newRow("trailing ideographic space")
            << bytes("ねこ　") << bytes("ねこ") << bytes("ねこ\\u{3000}");
    }
    void shownName() {
        QFETCH(std::string, name);
        QFETCH(std::string, lookAlike);
        QFETCH(std::string, shown);
        QCOMPARE(core::shownName(name), shown);
        QVERIFY(core::shownName(lookAlike) != shown);
    }
};

QTEST_APPLESS_MAIN(TestNaming)
#include "tst_naming.moc"
