// The merge window, driven as a user drives it: the preview of what will happen, the options,
// the merge, and Ctrl+Z in the main window taking it back. The preview is the run: what it
// moves is moved, what it leaves stays with the words it said, and `kovra merge -n` says the same.

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <QCheckBox>
#include <QListView>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <map>
#include <memory>

#include "mountutil.h"
#include "testutil.h"
#include "ui/mergewindow.h"
#include "ui/windowfixture.h"

using Lines = std::vector<std::string>;
Q_DECLARE_METATYPE(Lines)

namespace {

// What the command line prints (in the C locale) of each file for `args`; `status` its exit.
std::map<std::string, std::string> commandSays(const std::string& log, const Lines& args,
                                               int& status) {
    std::vector<std::string> argv{"/usr/bin/env", "LANG=C", "LC_ALL=C", KOVRA_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    ::unlink(log.c_str());
    const pid_t pid = mountutil::spawn(argv, log);
    int wstatus = 0;
    status = pid > 0 && ::waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)
                 ? WEXITSTATUS(wstatus)
                 : -1;
    // "FILE -> NEW", "FILE -> the Trash (...)", "FILE: left: WHY"
    std::map<std::string, std::string> says;
    const std::string out = testutil::readFile(log);
    for (std::size_t at = 0, end; at < out.size(); at = end + 1) {
        end = std::min(out.find('\n', at), out.size());
        const std::string line = out.substr(at, end - at);
        if (const std::size_t left = line.find(": left: "); left != std::string::npos) {
            says[line.substr(0, left)] = "left";
        } else if (const std::size_t arrow = line.find(" -> "); arrow != std::string::npos) {
            const std::string to = line.substr(arrow + 4);
            says[line.substr(0, arrow)] = to.starts_with("the Trash") ? "trash" : "to " + to;
        }
    }
    return says;
}

}  // namespace

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
    void cleanup() {
        onReport_ = {};
        endTest();
    }

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
        // While its report is up, the merge is over: the command line may take it back.
        std::string history;
        onReport_ = [&] {
            int status = 0;
            commandSays(base() + "/list.log", {"undo", "--list"}, status);
            history = testutil::readFile(base() + "/list.log");
        };
        QTest::mouseClick(merge()->findChild<QPushButton*>("b_merge"), Qt::LeftButton);
        QCOMPARE(reports_.size(), 1);
        QVERIFY2(history.find("  done  ") != std::string::npos, history.c_str());
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

    // Each row: a tree on this drive ("L/...") and on a tmpfs of its own ("O/..."), the sources
    // and the destination, and what the preview must say of one file. For every file, the
    // preview, `kovra merge -n` and the merge agree.
    void previewIsTheRun_data() {
        QTest::addColumn<Lines>("tree");
        QTest::addColumn<Lines>("sources");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("setup");  // "ro": the tmpfs made read-only; "0555 P": chmod P
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("says");
        const std::string longName(255, 'n');
        const std::string trashLong(250, 't');
        QTest::newRow("a name too long once prefixed")
            << Lines{"L/hz/", "L/hz/" + longName + ":x", "L/hz/b:b"} << Lines{"L/hz"} << "L/out"
            << "" << QString::fromStdString("L/hz/" + longName) << "名前が長すぎる：残す";
        // Root may write in it all the same, and then the run does: preview and run agree.
        QTest::newRow("a folder without write permission")
            << Lines{"L/locked/", "L/locked/a:a"} << Lines{"L/locked"} << "L/out"
            << "0555 L/locked"
            << "L/locked/a" << (::geteuid() == 0 ? "移動" : "元のフォルダを変更できない：残す");
        QTest::newRow("a folder on a read-only drive")
            << Lines{"O/ro/", "O/ro/a:a", "L/src/", "L/src/b:b"} << Lines{"O/ro", "L/src"}
            << "L/out"
            << "ro"
            << "O/ro/a"
            << "元のフォルダを変更できない：残す";
        QTest::newRow("a read-only destination")
            << Lines{"L/src/", "L/src/a:a", "O/out/"} << Lines{"L/src"} << "O/out"
            << "ro"
            << "L/src/a"
            << "まとめ先に書き込めない：残す";
        QTest::newRow("a pipe bound for another drive")
            << Lines{"L/src/", "L/src/p|", "L/src/f:f"} << Lines{"L/src"} << "O/out"
            << ""
            << "L/src/p"
            << "特殊ファイル：残す";
        QTest::newRow("a duplicate on a drive without a Trash")
            << Lines{"O/src/", "O/src/a:same", "O/src/b:b", "O/out/", "O/out/src_a:same"}
            << Lines{"O/src"} << "O/out"
            << ""
            << "O/src/a"
            << "同じ内容・ゴミ箱なし：残す";
        QTest::newRow("a duplicate named too long for the Trash")
            << Lines{"L/d/", "L/d/" + trashLong + ":same", "L/d/b:b", "L/out/",
                     "L/out/d_" + trashLong + ":same"}
            << Lines{"L/d"} << "L/out"
            << "" << QString::fromStdString("L/d/" + trashLong)
            << "同じ内容・ゴミ箱には長すぎる名前：残す";
        QTest::newRow("a link to a folder named")
            << Lines{"L/real/", "L/real/r:r", "L/lnk@real", "L/src/", "L/src/b:b"}
            << Lines{"L/lnk", "L/src"} << "L/out"
            << ""
            << "L/lnk"
            << "フォルダへのリンク：残す";
    }
    void previewIsTheRun() {
        QFETCH(Lines, tree);
        QFETCH(Lines, sources);
        QFETCH(QString, destination);
        QFETCH(QString, setup);
        QFETCH(QString, file);
        QFETCH(QString, says);
        std::unique_ptr<mountutil::Tmpfs> other;
        const auto uses = [](const std::string& path) { return path.starts_with("O/"); };
        if (std::any_of(tree.begin(), tree.end(), uses) || uses(destination.toStdString())) {
            other = std::make_unique<mountutil::Tmpfs>();
            KOVRA_REQUIRE_MOUNT(*other);
        }
        // "L/x" and "O/x" as real paths.
        const auto real = [&](const std::string& path) {
            return (uses(path) ? other->path() : base()) + path.substr(1);
        };
        for (const std::string& line : tree) {
            testutil::makeTree(uses(line) ? other->path() : base(), {line.substr(2)});
        }
        if (setup == "ro") {
            QVERIFY(other->makeReadOnly());
        } else if (setup.startsWith("0555 ")) {
            QCOMPARE(::chmod(real(setup.mid(5).toStdString()).c_str(), 0555), 0);
        }
        Lines args{"merge", "-n"};
        std::vector<std::string> paths;
        for (const std::string& source : sources) {
            paths.push_back(real(source));
            args.push_back(paths.back());
        }
        const std::string dest = real(destination.toStdString());
        args.push_back(dest);
        int status = 0;
        const std::map<std::string, std::string> dry = commandSays(root() + "/n.log", args, status);

        // The window's preview, row by row, against the dry run.
        auto* window = new ui::MergeWindow(dest, paths);
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        const std::unique_ptr<ui::MergeWindow> owned(window);
        window->show();
        QTRY_VERIFY(window->sourcesReady() && window->planReady());
        QAbstractItemModel* preview = window->findChild<QTableView*>("Table_preview")->model();
        struct Row {
            std::string path, newName;
            QString action;
        };
        std::vector<Row> rows;
        bool stays = false;
        for (int r = 0; r < preview->rowCount(); ++r) {
            rows.push_back({preview->index(r, 0).data().toString().toStdString(),
                            preview->index(r, 1).data().toString().toStdString(),
                            preview->index(r, 2).data().toString()});
            const Row& row = rows.back();
            const auto said = dry.find(row.path);
            QVERIFY2(said != dry.end(), row.path.c_str());
            const bool moves = row.action.endsWith(QStringLiteral("移動"));
            const bool trashed = row.action.endsWith(QStringLiteral("ゴミ箱へ"));
            stays = stays || (!moves && !trashed);
            QCOMPARE(said->second, moves     ? "to " + dest + "/" + row.newName
                                   : trashed ? std::string("trash")
                                             : std::string("left"));
            if (row.path == real(file.toStdString())) {
                QCOMPARE(row.action, says);
            }
        }
        QCOMPARE(dry.size(), rows.size());
        QCOMPARE(status, stays ? 1 : 0);

        // The merge: each file where the preview said, and the list of those left in its words.
        auto* button = window->findChild<QPushButton*>("b_merge");
        const bool acts = std::any_of(rows.begin(), rows.end(), [](const Row& row) {
            return !row.action.endsWith(QStringLiteral("残す"));
        });
        QCOMPARE(button->isEnabled(), acts);
        if (acts) {
            QTest::mouseClick(button, Qt::LeftButton);
            QTRY_COMPARE(reports_.size(), 1);
        }
        QAbstractItemModel* left = window->findChild<QListView*>("t_left")->model();
        const auto leftLine = [&](const std::string& path) {
            for (int r = 0; r < left->rowCount(); ++r) {
                const QString line = left->index(r, 0).data().toString();
                if (line.startsWith(QString::fromStdString(path) + QStringLiteral("　（"))) {
                    return line;
                }
            }
            return QString();
        };
        for (const Row& row : rows) {
            if (row.action.endsWith(QStringLiteral("移動"))) {
                QVERIFY2(!testutil::exists(row.path) && testutil::exists(dest + "/" + row.newName),
                         row.path.c_str());
            } else if (row.action.endsWith(QStringLiteral("ゴミ箱へ"))) {
                QVERIFY2(!testutil::exists(row.path), row.path.c_str());
            } else {
                QVERIFY2(testutil::exists(row.path), row.path.c_str());
                const QString line = leftLine(row.path);
                QVERIFY2(acts ? line.contains(row.action) : line.isEmpty(), qPrintable(line));
            }
        }
    }
};

QTEST_MAIN(TestMergeWindow)
#include "tst_mergewindow.moc"
