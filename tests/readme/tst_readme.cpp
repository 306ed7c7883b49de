// The README as a newcomer reads it: its headings and tables render, the commands it gives exist
// (the scripts, the program's options), and the paths it names are written as a shell takes them.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTest>

namespace {

// What a README page is checked against: its source tree and the options the program knows.
struct Context {
    QDir root;
    QSet<QString> options;
};

int lineOf(const QString& text, qsizetype offset) {
    return static_cast<int>(text.left(offset).count(QLatin1Char('\n'))) + 1;
}

// The cells of a table row, split at each `|` not escaped.
int cellCount(const QString& row) {
    QString body = row.trimmed();
    body.replace(QStringLiteral("\\|"), QStringLiteral("x"));
    return static_cast<int>(body.count(QLatin1Char('|'))) - 1;
}

// Headings, indented blocks and tables, line by line outside fenced code.
void checkBlocks(const QString& text, QStringList& problems) {
    static const QRegularExpression heading(QStringLiteral("^#{1,6}( \\S|$)"));
    static const QRegularExpression listItem(QStringLiteral("^\\s*(\\d+\\.|[-*]) "));
    static const QRegularExpression delimiter(QStringLiteral("^\\|(\\s*:?-+:?\\s*\\|)+$"));
    const QStringList lines = text.split(QLatin1Char('\n'));
    bool fenced = false;
    bool inList = false;
    int header = -1;  // the cell count of the table being read, -1 outside a table
    for (int i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        const QString where = QStringLiteral("line %1: ").arg(i + 1);
        const QString previous = i > 0 ? lines[i - 1] : QString();
        if (line.startsWith(QStringLiteral("```"))) {
            fenced = !fenced;
            continue;
        }
        if (fenced) {
            continue;
        }
        if (listItem.match(line).hasMatch()) {
            inList = true;
        } else if (previous.trimmed().isEmpty() && !line.startsWith(QLatin1Char(' '))) {
            inList = false;
        }
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('#')) &&
            (line.startsWith(QLatin1Char(' ')) || !heading.match(line).hasMatch())) {
            problems << where + QStringLiteral("a broken heading: ") + trimmed;
        }
        if (!inList && line.startsWith(QStringLiteral("    ")) && previous.trimmed().isEmpty() &&
            !trimmed.isEmpty()) {
            problems << where + QStringLiteral("an indented paragraph shows as code");
        }
        if (!trimmed.startsWith(QLatin1Char('|'))) {
            header = -1;
            continue;
        }
        if (line.startsWith(QLatin1Char(' '))) {
            problems << where + QStringLiteral("an indented table row");
        }
        if (!trimmed.endsWith(QLatin1Char('|'))) {
            problems << where + QStringLiteral("a table row broken across lines");
            continue;
        }
        if (header < 0) {
            header = cellCount(trimmed);
            if (i + 1 >= lines.size() || !delimiter.match(lines[i + 1].trimmed()).hasMatch()) {
                problems << where + QStringLiteral("a table without its |---| line");
            }
        } else if (cellCount(trimmed) != header) {
            problems << where + QStringLiteral("a table row of %1 cells under a header of %2")
                                    .arg(cellCount(trimmed))
                                    .arg(header);
        }
    }
}

// Whether `path`, relative to the source tree, names a file or folder there (a source file may
// be named without its extension).
bool inTree(const QDir& root, QString path) {
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    for (const char* ending : {"", ".cpp", ".h", ".sh"}) {
        if (QFileInfo::exists(root.filePath(path + QLatin1String(ending)))) {
            return true;
        }
    }
    return false;
}

// Code spans: paths and options written as a shell takes them, the commands given existing.
void checkSpans(const QString& text, const Context& context, QStringList& problems) {
    static const QRegularExpression span(QStringLiteral("`([^`]+)`"));
    static const QRegularExpression spacedSlash(QStringLiteral("(^|\\s)/\\s|\\S\\s+/(\\s|$)"));
    static const QRegularExpression spacedOption(
        QStringLiteral("(^|\\s)--?\\s+\\w|\\w--\\s|--[\\w-]+\\s+="));
    static const QRegularExpression treePath(
        QStringLiteral("^(bench|cli|core|docs|fs|packaging|scripts|tests|tools|ui|widgets)/\\S*$"));
    static const QRegularExpression option(QStringLiteral("^\\[?(--?[A-Za-z][\\w-]*)"));
    for (auto it = span.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString code = match.captured(1);
        const QString where = QStringLiteral("line %1: `%2`: ")
                                  .arg(lineOf(text, match.capturedStart()))
                                  .arg(code.simplified());
        if (code.contains(QLatin1Char('\n'))) {
            problems << where + QStringLiteral("a command or path broken across lines");
        }
        if (spacedSlash.match(code).hasMatch()) {
            problems << where + QStringLiteral("spaces around a slash");
        }
        if (spacedOption.match(code).hasMatch()) {
            problems << where + QStringLiteral("an option split by spaces");
        }
        const QStringList words = code.simplified().split(QLatin1Char(' '));
        if (treePath.match(code).hasMatch() && !inTree(context.root, code)) {
            problems << where + QStringLiteral("no such path in the source tree");
        }
        if (words.size() >= 2 && words[0] == QLatin1String("bash") &&
            !QFileInfo(context.root.filePath(words[1])).isFile()) {
            problems << where + QStringLiteral("no such script");
        }
        if (words[0] != QLatin1String("kovra")) {
            continue;
        }
        for (const QString& word : words) {
            const QRegularExpressionMatch name = option.match(word);
            if (name.hasMatch() && !context.options.contains(name.captured(1))) {
                problems << where + QStringLiteral("kovra has no option %1").arg(name.captured(1));
            }
        }
    }
}

// Pictures and links to files of the tree.
void checkLinks(const QString& text, const Context& context, QStringList& problems) {
    static const QRegularExpression link(QStringLiteral("\\]\\(([^)#][^)]*)\\)"));
    for (auto it = link.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString target = match.captured(1);
        if (!target.contains(QStringLiteral("://")) && !inTree(context.root, target)) {
            problems << QStringLiteral("line %1: no such file: %2")
                            .arg(lineOf(text, match.capturedStart()))
                            .arg(target);
        }
    }
}

QStringList problemsIn(const QString& text, const Context& context) {
    QStringList problems;
    checkBlocks(text, problems);
    checkSpans(text, context, problems);
    checkLinks(text, context, problems);
    return problems;
}

// Every option the program's help names, its own and each command's.
QSet<QString> programOptions() {
    QSet<QString> options;
    static const QRegularExpression name(QStringLiteral("(?<![\\w-])--?[A-Za-z][\\w-]*"));
    for (const char* command : {"", "rename", "merge", "undo"}) {
        QProcess help;
        QStringList arguments;
        if (*command != '\0') {
            arguments << QLatin1String(command);
        }
        help.start(QStringLiteral(KOVRA_PROGRAM), arguments << QStringLiteral("--help"));
        help.waitForFinished(30000);
        const QString text = QString::fromUtf8(help.readAllStandardOutput());
        for (auto it = name.globalMatch(text); it.hasNext();) {
            options.insert(it.next().captured());
        }
    }
    return options;
}

}  // namespace

class TestReadme : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        context_.root = QDir(QStringLiteral(KOVRA_SOURCE_DIR));
        context_.options = programOptions();
        QVERIFY2(context_.options.contains(QStringLiteral("--dry-run")),
                 "kovra --help names no option");
    }

    // Each fault a formatter or a stale edit leaves is caught, and text written as it should be
    // passes.
    void faults_data() {
        QTest::addColumn<QString>("markdown");
        QTest::addColumn<QString>("problem");
        QTest::newRow("heading") << "# Kovra\n\n## Undo\n" << QString();
        QTest::newRow("heading without its space") << "#Kovra\n"
                                                   << "a broken heading";
        QTest::newRow("indented heading") << "text\n\n        ##Commands\n"
                                          << "a broken heading";
        QTest::newRow("indented paragraph") << "text\n\n    Kovra never overwrites a file\n"
                                            << "shows as code";
        QTest::newRow("list continued") << "1. Start\n\n    more of the first step\n" << QString();
        QTest::newRow("table") << "| a | b |\n|---|---|\n| `x` | y \\| z |\n" << QString();
        QTest::newRow("table row with a cell more") << "| a | b |\n|---|---|\n| x | y | | z |\n"
                                                    << "cells under a header of 2";
        QTest::newRow("table on one line") << "| a | b | | -- - | -- - |\n| x | y |\n"
                                           << "without its |---| line";
        QTest::newRow("table row broken") << "| a | b |\n|---|---|\n| x | y;\nmore |\n"
                                          << "broken across lines";
        QTest::newRow("indented table") << "text\n\n  | a |\n  |---|\n"
                                        << "an indented table row";
        QTest::newRow("path") << "`bash scripts/run.sh` in `/pics/cats`\n" << QString();
        QTest::newRow("path with spaced slashes") << "in `/ pics / cats`\n"
                                                  << "around a slash";
        QTest::newRow("folder with a spaced slash") << "into `build /`:\n"
                                                    << "around a slash";
        QTest::newRow("glob of folders") << "`kovra merge /pics/*/ /pics`\n" << QString();
        QTest::newRow("option split") << "`--no - undo`\n"
                                      << "an option split";
        QTest::newRow("short option split") << "`- r`\n"
                                            << "an option split";
        QTest::newRow("option glued") << "`merge-- window`\n"
                                      << "an option split";
        QTest::newRow("span across lines") << "`kovra\n-\nwindow`\n"
                                           << "broken across lines";
        QTest::newRow("missing script") << "`bash scripts/start.sh`\n"
                                        << "no such script";
        QTest::newRow("missing source path") << "`fs/nothing/`\n"
                                             << "no such path";
        QTest::newRow("unknown option") << "`kovra rename --fast PATH`\n"
                                        << "no option --fast";
        QTest::newRow("missing picture") << "![a window](docs/none.png)\n"
                                         << "no such file";
    }

    void faults() {
        QFETCH(QString, markdown);
        QFETCH(QString, problem);
        const QStringList problems = problemsIn(markdown, context_);
        if (problem.isEmpty()) {
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        } else {
            QVERIFY2(problems.join(QLatin1Char('\n')).contains(problem),
                     qPrintable(problems.join(QLatin1Char('\n'))));
        }
    }

    void readme() {
        QFile file(context_.root.filePath(QStringLiteral("README.md")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList problems = problemsIn(QString::fromUtf8(file.readAll()), context_);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    }

private:
    Context context_;
};

QTEST_GUILESS_MAIN(TestReadme)
#include "tst_readme.moc"
