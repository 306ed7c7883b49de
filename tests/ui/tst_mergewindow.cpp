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

#include <algorithm>
#include <array>

using namespace std::string_literals;

#include "mountutil.h"
#include "testutil.h"
#include "ui/mergewindow.h"
#include "ui/windowfixture.h"

using Lines = std::vector<std::string>;
Q_DECLARE_METATYPE(Lines)
Q_DECLARE_METATYPE(std::string)

namespace {

// What the command line prints (in the C locale) for `args`; `status` its exit status.
std::string commandSays(const std::string& log, const Lines& args, int& status) {
    std::vector<std::string> argv{"/usr/bin/env", "LANG=C", "LC_ALL=C", KOVRA_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    ::unlink(log.c_str());
    const pid_t pid = mountutil::spawn(argv, log);
    int wstatus = 0;
    status = pid > 0 && ::waitpid(pid, &wstatus, 0) == pid ? WEXITSTATUS(wstatus) : -1;
    return testutil::readFile(log);
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
        int status = 0;
        onReport_ = [&] {
            history = commandSays(base() + "/list.log", {"undo", "--list"}, status);
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

    // Each row: a tree on this drive ("L/...") and on a tmpfs of its own ("O/...", read-only
    // once made if asked), the sources, the destination, and what the preview says of one file.
    // For every file, the preview, `kovra merge -n` and the merge agree.
    void previewIsTheRun_data() {
        QTest::addColumn<Lines>("tree");
        QTest::addColumn<Lines>("sources");
        QTest::addColumn<std::string>("destination");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<std::string>("file");
        QTest::addColumn<QString>("says");
        const std::string n(255, 'n'), t(250, 't');
        QTest::newRow("a name too long once prefixed")
            << Lines{"L/hz/", "L/hz/" + n + ":x", "L/hz/b:b"} << Lines{"L/hz"} << "L/out"s << false
            << "L/hz/" + n << "名前が長すぎる：残す";
        QTest::newRow("a folder that cannot be written, on a read-only drive")
            << Lines{"O/ro/", "O/ro/a:a", "L/src/", "L/src/b:b"} << Lines{"O/ro", "L/src"}
            << "L/out"s << true << "O/ro/a"s
            << "元のフォルダを変更できない：残す";
        QTest::newRow("a read-only destination") << Lines{"L/src/", "L/src/a:a", "O/out/"}
                                                 << Lines{"L/src"} << "O/out"s << true << "L/src/a"s
                                                 << "まとめ先に書き込めない：残す";
        QTest::newRow("a pipe bound for another drive")
            << Lines{"L/src/", "L/src/p|", "L/src/f:f"} << Lines{"L/src"} << "O/out"s << false
            << "L/src/p"s
            << "特殊ファイル：残す";
        QTest::newRow("a duplicate on a drive without a Trash")
            << Lines{"O/src/", "O/src/a:=", "O/src/b:b", "O/out/", "O/out/src_a:="}
            << Lines{"O/src"} << "O/out"s << false << "O/src/a"s
            << "同じ内容・ゴミ箱なし：残す";
        QTest::newRow("a duplicate named too long for the Trash")
            << Lines{"L/d/", "L/d/" + t + ":=", "L/d/b:b", "L/out/", "L/out/d_" + t + ":="}
            << Lines{"L/d"} << "L/out"s << false << "L/d/" + t
            << "同じ内容・ゴミ箱には長すぎる名前：残す";
    }
    void previewIsTheRun() {
        QFETCH(Lines, tree);
        QFETCH(Lines, sources);
        QFETCH(std::string, destination);
        QFETCH(bool, readOnly);
        QFETCH(std::string, file);
        QFETCH(QString, says);
        mountutil::Tmpfs other;
        KOVRA_REQUIRE_MOUNT(other);
        const auto real = [&](const std::string& path) {
            return (path[0] == 'O' ? other.path() : base()) + path.substr(1);
        };
        for (const std::string& line : tree) {
            testutil::makeTree(real(line.substr(0, 1)), {line.substr(2)});
        }
        QVERIFY(!readOnly || other.makeReadOnly());
        std::vector<std::string> paths;
        std::transform(sources.begin(), sources.end(), std::back_inserter(paths), real);
        const std::string dest = real(destination);
        Lines args{"merge", "-n"};
        args.insert(args.end(), paths.begin(), paths.end());
        args.push_back(dest);
        int status = 0;
        const std::string dry = commandSays(root() + "/n.log", args, status);

        ui::MergeWindow window(dest, paths);
        window.show();
        QTRY_VERIFY(window.sourcesReady() && window.planReady());
        QAbstractItemModel* preview = window.findChild<QTableView*>("Table_preview")->model();
        std::vector<std::array<QString, 3>> rows;  // where, new name, what happens
        for (int r = 0; r < preview->rowCount(); ++r) {
            rows.push_back({preview->index(r, 0).data().toString(),
                            preview->index(r, 1).data().toString(),
                            preview->index(r, 2).data().toString()});
        }
        // The merge is run, by the window, or where it has nothing to move (its button is off)
        // by the command line; the preview is checked against what it did.
        auto* button = window.findChild<QPushButton*>("b_merge");
        const bool runs = button->isEnabled();
        std::string ran = dry;
        if (runs) {
            QTest::mouseClick(button, Qt::LeftButton);
            QTRY_COMPARE(reports_.size(), 1);
        } else {
            Lines merge{"merge"};
            merge.insert(merge.end(), paths.begin(), paths.end());
            merge.push_back(dest);
            int ranStatus = 0;
            ran = commandSays(root() + "/run.log", merge, ranStatus);
            QCOMPARE(ranStatus, status);
        }
        QStringList left;
        QAbstractItemModel* leftBox = window.findChild<QListView*>("t_left")->model();
        for (int r = 0; r < leftBox->rowCount(); ++r) {
            left << leftBox->index(r, 0).data().toString();
        }
        bool stays = false;
        bool found = false;
        for (const auto& [where, newName, action] : rows) {
            const std::string path = where.toStdString();
            const std::string moved = dest + "/" + newName.toStdString();
            const bool moves = action.endsWith(QStringLiteral("移動"));
            const bool trashed = action.endsWith(QStringLiteral("ゴミ箱へ"));
            stays = stays || (!moves && !trashed);
            const std::string said = moves     ? path + " -> " + moved + "\n"
                                     : trashed ? path + " -> the Trash ("
                                               : path + ": left: ";
            QVERIFY2(dry.find(said) != std::string::npos, dry.c_str());
            QVERIFY2(ran.find(moves || trashed ? said : path + ": ") != std::string::npos,
                     ran.c_str());
            QCOMPARE(testutil::exists(path), !moves && !trashed);
            QVERIFY(!moves || testutil::exists(moved));
            // In the list of files left, in the preview's words.
            QCOMPARE(left.filter(where + QStringLiteral("　（") + action).size(),
                     moves || trashed || !runs ? 0 : 1);
            if (path == real(file)) {
                found = true;
                QCOMPARE(action, says);
            }
        }
        QVERIFY2(found, real(file).c_str());
        // Each file of the tree has its row: none missing, none made up.
        const auto isFile = [](const std::string& line) { return line.back() != '/'; };
        QCOMPARE(rows.size(), std::size_t(std::count_if(tree.begin(), tree.end(), isFile)) -
                                  std::size_t(std::count_if(
                                      tree.begin(), tree.end(), [&](const std::string& line) {
                                          return isFile(line) && line.find(destination + "/") == 0;
                                      })));
        QCOMPARE(std::size_t(std::count(dry.begin(), dry.end(), '\n')), rows.size());
        QCOMPARE(status, stays ? 1 : 0);
    }
};

QTEST_MAIN(TestMergeWindow)
#include "tst_mergewindow.moc"
