// Unusual names through the window: folders and files whose names are not valid UTF-8 or hold
// control characters, dashes, dots or backslashes are listed, shown, opened and renamed to
// exactly the right bytes; names that would look alike are shown apart; a name that would grow
// too long is refused and reported.

#include <QFontMetrics>
#include <QSet>
#include <QTest>

#include "widgets/display.h"
#include "windowfixture.h"

Q_DECLARE_METATYPE(std::string)
using testutil::Names;

namespace {

const Names kFileNames{"\x80\xfe.jpg", "new\nline",   "tab\tname",       "-rf",
                       ".hidden",      "back\\slash", "\xe7\x8c\xab.png"};

}  // namespace

class TestHostileNames : public QObject, public testutil::WindowFixture {
    Q_OBJECT

private slots:
    void init() { beginTest(); }
    void cleanup() { endTest(); }

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
        const std::string path = folder(folderName, kFileNames);
        openWindow(base());
        const int row = dirRow(path);
        QVERIFY2(row >= 0, "the folder is not listed in Dir1");
        QVERIFY(!dir1()->model()->index(row, 0).data().toString().isEmpty());
        doubleClickFolder(path);
        QCOMPARE(dir1()->path(), path);
        QCOMPARE(file1()->count(), std::int64_t(kFileNames.size()));
        for (int i = 0; i < file1()->model()->rowCount(); ++i) {
            QVERIFY(!file1()->model()->data(file1()->model()->index(i, 0)).toString().isEmpty());
        }

        click("b_all_choise");
        click("b_atart");
        QVERIFY2(reports_.isEmpty(), qPrintable(reports_.join('\n')));
        Names expected;
        for (const std::string& name : kFileNames) {
            expected.push_back(folderName + "_" + name);
            QCOMPARE(testutil::readFile(path + "/" + folderName + "_" + name),
                     "content of " + name);
        }
        std::sort(expected.begin(), expected.end());
        QCOMPARE(testutil::entries(path), expected);
    }

    // Names that would look alike are shown apart in the file list, as different strings.
    void lookAlikeNamesAreShownApart() {
        const Names names{"bad\xff\xfeutf",   "bad\xff\xfdutf",
                          "trail space",      "trail space ",
                          "abc\u202Etxt.exe", "abcexe.txt",
                          "a\\xff",           "a\xff",
                          "a\u2420",          "a ",
                          "a\u00A0b",         "a b",
                          "caf\u00E9",        "cafe\u0301",
                          "\u304C",           "\u304B\u3099",
                          "a\u2423",          "a\u2423 "};
        openWindow(folder("alike", names));
        QCOMPARE(file1()->count(), std::int64_t(names.size()));
        QSet<QString> shown;
        const QFontMetrics metrics(file1()->font());
        for (int i = 0; i < file1()->model()->rowCount(); ++i) {
            const QString text = file1()->model()->index(i, 0).data().toString();
            shown.insert(text);
            // Every mark is drawn by the list's own font, none as a box for a missing glyph.
            for (const char32_t c : text.toUcs4()) {
                QVERIFY2(metrics.inFontUcs4(c), qPrintable(text));
            }
            // Nothing invisible or passing for a space, and no blank at the end.
            QVERIFY2(!text.endsWith(QLatin1Char(' ')), qPrintable(text));
            for (const QChar c : text) {
                QVERIFY2(
                    c.category() != QChar::Other_Format && (c == QLatin1Char(' ') || !c.isSpace()),
                    qPrintable(text));
            }
        }
        QCOMPARE(shown.size(), qsizetype(names.size()));
    }

    // A folder dialog answers in text: a path is taken back as bytes only where the text names
    // one folder, never where an invalid byte and a real U+FFFD would read alike.
    void textFromADialogIsTakenBackOnlyWhenCertain_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("certain");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("ascii") << QStringLiteral("/pics/cats") << true << QByteArray("/pics/cats");
        QTest::newRow("japanese")
            << QStringLiteral("/写真/ﾈｺ　") << true
            << QByteArray("/\xe5\x86\x99\xe7\x9c\x9f/\xef\xbe\x88\xef\xbd\xba\xe3\x80\x80");
        QTest::newRow("an invalid byte, or a real U+FFFD")
            << QStringLiteral("/pics/a\uFFFD") << false << QByteArray();
    }
    void textFromADialogIsTakenBackOnlyWhenCertain() {
        QFETCH(QString, text);
        QFETCH(bool, certain);
        QFETCH(QByteArray, bytes);
        const std::optional<std::string> path = widgets::certainNativePath(text);
        QCOMPARE(path.has_value(), certain);
        if (certain) {
            QCOMPARE(QByteArray::fromStdString(*path), bytes);
        }
    }

    // 251 bytes and "long_" make 256, past the 255-byte limit: refused, reported, kept.
    void aNameThatWouldBeTooLongIsRefused() {
        const std::string path = folder("long");
        const std::string name(251, 'n');
        QVERIFY(testutil::makeFile(path, name, "kept"));
        openWindow(path);
        click("b_all_choise");
        click("b_atart");
        QCOMPARE(reports_.size(), 1);
        QVERIFY(reports_.first().contains(QStringLiteral("255")));
        QCOMPARE(testutil::entries(path), Names{name});
        QCOMPARE(testutil::readFile(path + "/" + name), std::string("kept"));
    }
};

QTEST_MAIN(TestHostileNames)
#include "tst_hostile.moc"
