#include <QTest>
#include <string>

#include "core/naming.h"
#include "core/paths.h"
#include "core/shown_name.h"
#include "core/unicode.h"
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
        // A name not in NFC shows what keeps it out: never like its composed twin.
        QTest::newRow("decomposed accent")
            << bytes("cafe\u0301.txt") << bytes("café.txt") << bytes("cafe\\u{0301}.txt");
        QTest::newRow("composed accent")
            << bytes("café.txt") << bytes("cafe\u0301.txt") << bytes("café.txt");
        QTest::newRow("decomposed kana")
            << bytes("か\u3099.jpg") << bytes("が.jpg") << bytes("か\\u{3099}.jpg");
        QTest::newRow("marks out of order")
            << bytes("e\u0302\u0323") << bytes("e\u0323\u0302") << bytes("e\\u{0302}\\u{0323}");
        QTest::newRow("composed letter and a mark")
            << bytes("\u00EA\u0323") << bytes("\u1EC7") << bytes("\u00EA\\u{0323}");
        QTest::newRow("angstrom sign") << bytes("\u212B") << bytes("\u00C5") << bytes("\\u{212B}");
        QTest::newRow("hangul jamo")
            << bytes("\u1100\u1161") << bytes("\uAC00") << bytes("\u1100\\u{1161}");
        QTest::newRow("a mark nothing composes with")
            << bytes("x\u0301") << bytes("x") << bytes("x\u0301");
    }

    // Whether a text is in NFC, as Qt (which the windows draw with) says: every character alone,
    // and each letter below U+3100 with each accent and kana mark after it.
    void nfcAgreesWithQt() {
        const auto agrees = [](const std::u32string& text) {
            const QString qt = QString::fromUcs4(text.data(), qsizetype(text.size()));
            const QString nfc = qt.normalized(QString::NormalizationForm_C);
            const std::u32string ours = core::toNfc(text);
            return QString::fromUcs4(ours.data(), qsizetype(ours.size())) == nfc &&
                   core::charactersOutOfNfc(text).empty() == (nfc == qt);
        };
        for (char32_t c = 1; c <= 0x10FFFF; ++c) {
            if ((c < 0xD800 || c > 0xDFFF) && !agrees({c})) {
                QFAIL(qPrintable(QString::number(c, 16)));
            }
        }
        for (char32_t base = 0x41; base < 0x3100; ++base) {
            for (char32_t mark : {0x300, 0x301, 0x302, 0x303, 0x308, 0x30A, 0x30C, 0x323, 0x327,
                                  0x342, 0x345, 0x3099, 0x309A}) {
                if (!agrees({base, mark}) || !agrees({base, 0x323, mark})) {
                    QFAIL(qPrintable(QString::number(base, 16) + " " + QString::number(mark, 16)));
                }
            }
        }
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
