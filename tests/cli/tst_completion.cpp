// What shells and scripts read of kovra: bash's completion as bash asks for it at a Tab, and the
// history as `kovra undo --list --json` gives it.

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "procutil.h"

namespace {

// Asks the completion function what it offers at the end of `line`, the way bash would at a
// Tab: the words so far, the last one being completed (empty after a blank).
QStringList offered(const QString& line, const QString& stateHome) {
    static const char* const script = R"(
source "$1"
line=$2
read -ra COMP_WORDS <<<"$line"
[[ $line == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE=$line
COMP_POINT=${#line}
_kovra
printf '%s\n' "${COMPREPLY[@]}"
)";
    QProcess bash;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), QFileInfo(QStringLiteral(KOVRA_PROGRAM)).absolutePath() +
                                           QStringLiteral(":/usr/bin:/bin"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    bash.setProcessEnvironment(env);
    bash.start(QStringLiteral("bash"),
               {QStringLiteral("--norc"), QStringLiteral("--noprofile"), QStringLiteral("-c"),
                QString::fromUtf8(script), QStringLiteral("bash"), QStringLiteral(KOVRA_COMPLETION),
                line});
    if (!bash.waitForFinished(30000)) {
        return {QStringLiteral("(bash did not end)")};
    }
    return QString::fromUtf8(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

}  // namespace

class TestCompletion : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(tree_.isValid() && state_.isValid());
        const QDir root(tree_.path());
        for (const char* folder : {"cats", "cat food", "dogs"}) {
            QVERIFY(root.mkpath(QString::fromUtf8(folder)));
        }
        for (const char* file : {"cats.txt", "cats/a.jpg", "dogs/b.jpg"}) {
            QFile f(root.filePath(QString::fromUtf8(file)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        // Two runs in the history: the dogs renamed, then the cats.
        qputenv("XDG_STATE_HOME", QFile::encodeName(state_.path()));
        for (const char* folder : {"dogs", "cats"}) {
            const std::string path = QFile::encodeName(root.filePath(folder)).toStdString();
            QCOMPARE(procutil::run(procutil::command({KOVRA_PROGRAM, "rename", path}, "/dev/null")),
                     0);
        }
    }

    // What a Tab offers: `present` must all be offered, `absent` none; with `only`, nothing else.
    void offers_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");
        QTest::addColumn<bool>("only");
        const QString t = tree_.path();
        QTest::newRow("the commands")
            << "kovra " << QStringList{"rename", "merge", "undo"} << QStringList{} << false;
        QTest::newRow("a command begun")
            << "kovra re" << QStringList{"rename"} << QStringList{"merge", "undo"} << true;
        QTest::newRow("rename's options")
            << "kovra rename --no-" << QStringList{"--no-undo", "--no-progress"} << QStringList{}
            << true;
        QTest::newRow("merge's options")
            << "kovra merge --keep-" << QStringList{"--keep-duplicates", "--keep-folders"}
            << QStringList{} << true;
        QTest::newRow("undo's options")
            << "kovra undo --j" << QStringList{"--json", "--jobs="} << QStringList{} << true;
        QTest::newRow("no merge option after rename")
            << "kovra rename --n" << QStringList{"--no-undo"} << QStringList{"--number"} << false;
        QTest::newRow("folders for merge")
            << "kovra merge " + t + "/ca" << QStringList{t + "/cats", t + "/cat food"}
            << QStringList{t + "/cats.txt"} << true;
        QTest::newRow("files for rename") << "kovra rename " + t + "/cats."
                                          << QStringList{t + "/cats.txt"} << QStringList{} << true;
        QTest::newRow("a command only first")
            << "kovra " + t + "/cats re" << QStringList{} << QStringList{"rename"} << false;
    }

    void offers() {
        QFETCH(QString, line);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        QFETCH(bool, only);
        const QStringList words = offered(line, state_.path());
        const QString said = words.join(QStringLiteral(" | "));
        for (const QString& word : present) {
            QVERIFY2(words.contains(word), qPrintable(word + " not offered: " + said));
        }
        for (const QString& word : absent) {
            QVERIFY2(!words.contains(word), qPrintable(word + " offered: " + said));
        }
        if (only) {
            QVERIFY2(words.size() == present.size(), qPrintable("offered: " + said));
        }
    }

    // `kovra undo N`: each run of the history by its number, with its time and folder; one run
    // left goes onto the line as its number alone.
    void runs() {
        const QStringList all = offered(QStringLiteral("kovra undo "), state_.path());
        QCOMPARE(all.size(), 2);
        QVERIFY2(all[0].startsWith(QStringLiteral("1  ")) && all[0].contains("/cats"),
                 qPrintable(all[0]));
        QVERIFY2(all[1].startsWith(QStringLiteral("2  ")) && all[1].contains("/dogs"),
                 qPrintable(all[1]));
        QVERIFY2(all[0].contains(QDate::currentDate().toString(Qt::ISODate)), qPrintable(all[0]));
        QCOMPARE(offered(QStringLiteral("kovra undo 2"), state_.path()), QStringList{"2"});
    }

    // One JSON object a line, a run each, newest first, with what a script needs to choose one.
    void runsForScripts() {
        QProcess kovra;
        kovra.start(QStringLiteral(KOVRA_PROGRAM),
                    {QStringLiteral("undo"), QStringLiteral("--list"), QStringLiteral("--json")});
        QVERIFY(kovra.waitForFinished(30000));
        QCOMPARE(kovra.exitCode(), 0);
        const QList<QByteArray> lines = kovra.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        const QDir root(tree_.path());
        const char* const newestFirst[] = {"cats", "dogs"};
        for (int i = 0; i < 2; ++i) {
            QJsonParseError error{};
            const QJsonObject run = QJsonDocument::fromJson(lines[i], &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, lines[i].constData());
            QCOMPARE(run.value("number").toInt(), i + 1);
            QCOMPARE(run.value("kind").toString(), QStringLiteral("rename"));
            QCOMPARE(run.value("state").toString(), QStringLiteral("done"));
            QCOMPARE(run.value("files").toInt(), 1);
            QCOMPARE(run.value("folders").toArray().first().toString(),
                     QDir(root.filePath(newestFirst[i])).canonicalPath());
            const QDateTime time = QDateTime::fromString(run.value("time").toString(), Qt::ISODate);
            QVERIFY2(time.isValid() && qAbs(time.secsTo(QDateTime::currentDateTime())) < 3600,
                     lines[i].constData());
        }
        // The same words in every language.
        kovra.setProcessEnvironment([] {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("LANG"), QStringLiteral("ja_JP.UTF-8"));
            env.insert(QStringLiteral("LC_ALL"), QStringLiteral("ja_JP.UTF-8"));
            return env;
        }());
        kovra.start(QStringLiteral(KOVRA_PROGRAM),
                    {QStringLiteral("undo"), QStringLiteral("--list"), QStringLiteral("--json")});
        QVERIFY(kovra.waitForFinished(30000));
        QCOMPARE(kovra.readAllStandardOutput().trimmed().split('\n'), lines);
    }

private:
    QTemporaryDir tree_;
    QTemporaryDir state_;
};

QTEST_GUILESS_MAIN(TestCompletion)
#include "tst_completion.moc"
