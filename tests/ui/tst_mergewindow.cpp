// The merge window, driven as a user drives it: the preview of what will happen, the options,
// the merge, and Ctrl+Z in the main window taking it back. The preview is the run: what it
// moves is moved, what it leaves stays with the words it said, and `kovra merge -n` says the same.

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTableView>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <array>

using namespace std::string_literals;

#include "mountutil.h"
#include "testutil.h"
#include "ui/merge_order.h"
#include "ui/merge_picture.h"
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
            if (table->model()
                    ->index(row, 0)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .endsWith(QString::fromStdString(source))) {
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
        // What the windows remember between starts, of the test's own.
        QCOMPARE(::setenv("XDG_CONFIG_HOME", (root() + "/config").c_str(), 1), 0);
        // The desktop's thumbnails, of the test's own.
        QCOMPARE(::setenv("XDG_CACHE_HOME", (root() + "/cache").c_str(), 1), 0);
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
        QTest::addColumn<QString>("report");         // what the report begins with
        QTest::newRow("as it comes")
            << ""
            << "名前が重なる：残す" << testutil::Names{"cats", "cats_a.jpg", "cats_b.jpg"}
            << "1 個のファイルを移しました。1 個は残しました（理由は一覧に）";
        QTest::newRow("numbered") << "c_number"
                                  << "名前を付けて移動"
                                  << testutil::Names{"cats_a (2).jpg", "cats_a.jpg", "cats_b.jpg"}
                                  << "2 個のファイルを移しました。\n";
    }
    void mergeFromThePreviewAndUndo() {
        QFETCH(QString, option);
        QFETCH(QString, clash);
        QFETCH(testutil::Names, after);
        QFETCH(QString, report);
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
        QVERIFY2(reports_[0].startsWith(report), qPrintable(reports_[0]));
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

    // The report's icon says how it went.
    void reportKind_data() {
        QTest::addColumn<int>("end");  // fs::MergeResult::End
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("kind");  // ui::ReportKind
        using E = fs::MergeResult::End;
        QTest::newRow("all moved") << int(E::Completed) << 0 << int(ui::ReportKind::Information);
        QTest::newRow("some left") << int(E::Completed) << 2 << int(ui::ReportKind::Warning);
        QTest::newRow("stopped") << int(E::Cancelled) << 0 << int(ui::ReportKind::Warning);
        QTest::newRow("nothing could move")
            << int(E::JournalFailed) << 0 << int(ui::ReportKind::Error);
    }
    void reportKind() {
        QFETCH(int, end);
        QFETCH(int, left);
        QFETCH(int, kind);
        fs::MergeResult result;
        result.end = static_cast<fs::MergeResult::End>(end);
        result.moved = 3;
        result.left = left;
        QCOMPARE(int(ui::mergeReportKind(result)), kind);
    }

    // Numbers in names count as numbers.
    void naturalOrder_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::newRow("2 before 10") << "IMG_2.JPG"
                                     << "IMG_10.JPG";
        QTest::newRow("9 before 10 in a folder") << "/p/card9/a"
                                                 << "/p/card10/a";
        QTest::newRow("leading zeros: by value") << "IMG_0009"
                                                 << "IMG_10";
        QTest::newRow("case aside") << "apple"
                                    << "Banana";
        QTest::newRow("alike but for zeros: still ordered") << "a01"
                                                            << "a1";
        QTest::newRow("a shorter name first") << "IMG"
                                              << "IMG_1";
    }
    void naturalOrder() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QVERIFY(ui::naturalLess(a.toStdString(), b.toStdString()));
        QVERIFY(!ui::naturalLess(b.toStdString(), a.toStdString()));
    }

    // A window of its own: resizable, its size kept; whole names, cut in the middle with the
    // whole path in a tooltip; files in natural order.
    void windowAsAWindow() {
        const std::string pics = folder("pics");
        folder("pics/cats", {"IMG_10.JPG", "IMG_1.JPG", "IMG_2.JPG"});
        auto* first = new ui::MergeWindow(pics);
        first->show();
        QTRY_VERIFY(first->planReady());
        first->resize(first->width() + 150, first->height() + 90);
        const QSize size = first->size();
        QPointer<ui::MergeWindow> closing(first);
        first->close();
        QTRY_VERIFY(closing.isNull());

        auto* window = new ui::MergeWindow(pics);
        const auto closeIt = qScopeGuard([window] { delete window; });
        window->show();
        QCOMPARE(window->size(), size);
        QTRY_VERIFY(window->planReady());
        auto* table = window->findChild<QTableView*>("Table_preview");
        QCOMPARE(table->textElideMode(), Qt::ElideMiddle);
        QStringList names;
        for (int row = 0; row < table->model()->rowCount(); ++row) {
            names << table->model()->index(row, 1).data().toString();
            QCOMPARE(table->model()->index(row, 1).data(Qt::ToolTipRole).toString(),
                     QString::fromStdString(pics + "/") + names.back());
            // A whole name fits its column.
            QVERIFY(table->fontMetrics().horizontalAdvance(names.back()) < table->columnWidth(1));
        }
        QCOMPARE(names, (QStringList{"cats_IMG_1.JPG", "cats_IMG_2.JPG", "cats_IMG_10.JPG"}));
        // Below the destination, where it lies from there; its whole path in the tooltip.
        QCOMPARE(table->model()->index(0, 0).data().toString(), QStringLiteral("cats/IMG_1.JPG"));
        QCOMPARE(table->model()->index(0, 0).data(Qt::ToolTipRole).toString(),
                 QString::fromStdString(pics + "/cats/IMG_1.JPG"));
    }

    // The selected file as a picture, decoded on a worker or taken from the thumbnail cache; for
    // a duplicate, the copy kept beside it.
    void pictures_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QSize>("size");  // of the picture shown; empty: none, words instead
        QTest::addColumn<bool>("fromCache");
        QTest::newRow("a JPEG its EXIF turns a quarter right") << "exif" << QSize(40, 80) << false;
        QTest::newRow("a PNG larger than the box, scaled") << "png" << QSize(256, 128) << false;
        QTest::newRow("not a picture: words") << "text" << QSize() << false;
        QTest::newRow("a current thumbnail, not decoded again")
            << "thumb" << QSize(128, 128) << true;
        QTest::newRow("a stale thumbnail: decoded") << "stale" << QSize(64, 64) << false;
    }
    void pictures() {
        QFETCH(QString, kind);
        QFETCH(QSize, size);
        QFETCH(bool, fromCache);
        const std::string cats = folder("pics/cats");
        const std::string file = cats + "/a.jpg";
        // Red on the left, blue on the right: turned a quarter right, red is on top.
        QImage drawn(kind == "png"    ? QSize(300, 150)
                     : kind == "exif" ? QSize(80, 40)
                                      : QSize(64, 64),
                     QImage::Format_RGB32);
        drawn.fill(Qt::blue);
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width() / 2; ++x) {
                drawn.setPixel(x, y, qRgb(255, 0, 0));
            }
        }
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(drawn.save(&buffer, kind == "png" ? "PNG" : "JPEG", 95));
        if (kind == "exif") {
            // APP1: Exif, a big-endian TIFF header, one entry: Orientation (0x0112) = 6.
            const QByteArray exif(
                "Exif\0\0MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0"
                "\0\0\0\0",
                32);
            const int length = exif.size() + 2;
            bytes.insert(
                2, QByteArray("\xff\xe1", 2) + char(length >> 8) + char(length & 0xff) + exif);
        } else if (kind == "text") {
            bytes = "a letter, not a picture\n";
        }
        QVERIFY(testutil::makeFile(cats, "a.jpg", bytes.toStdString()));
        if (kind == "thumb" || kind == "stale") {
            struct stat st {};
            QCOMPARE(::stat(file.c_str(), &st), 0);
            QImage thumbnail(128, 128, QImage::Format_RGB32);
            thumbnail.fill(Qt::green);
            const qint64 mtime = kind == "thumb" ? st.st_mtime : st.st_mtime - 60;
            thumbnail.setText("Thumb::MTime", QString::number(mtime));
            const QByteArray uri = QUrl::fromLocalFile(QString::fromStdString(file)).toEncoded();
            const QString folder = QString::fromStdString(root()) + "/cache/thumbnails/large/";
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(thumbnail.save(
                folder + QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex() + ".png"));
        }
        ui::MergeWindow window(folder("pics"), {cats});
        window.show();
        QTRY_VERIFY(window.planReady());
        auto* table = window.findChild<QTableView*>("Table_preview");
        table->setCurrentIndex(table->model()->index(0, 0));
        auto* picture = window.findChild<ui::PictureView*>("p_picture");
        QVERIFY(picture->isVisible());
        QTRY_VERIFY(!picture->loading());
        QCOMPARE(picture->image().isNull() ? QSize() : picture->image().size(), size);
        QCOMPARE(picture->fromCache(), fromCache);
        if (size.isEmpty()) {
            QVERIFY(!picture->findChild<QLabel*>()->text().isEmpty());
        }
        if (kind == "exif") {
            const QImage shown = picture->image();
            QVERIFY(qRed(shown.pixel(20, 10)) > 200 && qBlue(shown.pixel(20, 10)) < 60);
            QVERIFY(qBlue(shown.pixel(20, 70)) > 200 && qRed(shown.pixel(20, 70)) < 60);
        }
        QVERIFY(!window.findChild<ui::PictureView*>("p_kept")->isVisible());
    }

    // A duplicate under another name: its picture and the kept copy's, side by side.
    void duplicateSideBySide() {
        const std::string pics = folder("pics");
        QImage drawn(30, 20, QImage::Format_RGB32);
        drawn.fill(Qt::red);
        QVERIFY(drawn.save(QString::fromStdString(folder("pics/a") + "/one.png")));
        QVERIFY(drawn.save(QString::fromStdString(folder("pics/b") + "/two.png")));
        ui::MergeWindow window(pics, {pics + "/a", pics + "/b"});
        window.show();
        QTRY_VERIFY(window.planReady());
        auto* dedupe = window.findChild<QComboBox*>("c_dedupe");
        dedupe->setCurrentIndex(dedupe->findData(int(fs::Dedupe::First)));
        QTRY_VERIFY(window.planReady());
        auto* table = window.findChild<QTableView*>("Table_preview");
        QCOMPARE(table->model()->index(1, 2).data().toString(),
                 QStringLiteral("同じ内容：ゴミ箱へ"));
        table->setCurrentIndex(table->model()->index(1, 0));
        auto* kept = window.findChild<ui::PictureView*>("p_kept");
        QVERIFY(kept->isVisible());
        QTRY_VERIFY(!kept->loading() &&
                    !window.findChild<ui::PictureView*>("p_picture")->loading());
        QCOMPARE(kept->image().size(), QSize(30, 20));
    }

    // Each row: a tree on this drive ("L/...") and on a tmpfs of its own ("O/...", read-only
    // once made if asked), the sources, the destination, which folders name a file, and what the
    // preview says of one file. For every file, the preview, `kovra merge -n` and the merge agree.
    void previewIsTheRun_data() {
        QTest::addColumn<Lines>("tree");
        QTest::addColumn<Lines>("sources");
        QTest::addColumn<std::string>("destination");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<int>("from");  // fs::NameFrom
        QTest::addColumn<std::string>("file");
        QTest::addColumn<QString>("says");
        const std::string n(255, 'n'), t(250, 't');
        QTest::newRow("a name too long once prefixed")
            << Lines{"L/hz/", "L/hz/" + n + ":x", "L/hz/b:b"} << Lines{"L/hz"} << "L/out"s << false
            << 0 << "L/hz/" + n << "名前が長すぎる：残す";
        QTest::newRow("a folder that cannot be written, on a read-only drive")
            << Lines{"O/ro/", "O/ro/a:a", "L/src/", "L/src/b:b"} << Lines{"O/ro", "L/src"}
            << "L/out"s << true << 0 << "O/ro/a"s
            << "元のフォルダを変更できない：残す";
        QTest::newRow("a read-only destination")
            << Lines{"L/src/", "L/src/a:a", "O/out/"} << Lines{"L/src"} << "O/out"s << true << 0
            << "L/src/a"s
            << "まとめ先に書き込めない：残す";
        QTest::newRow("a pipe bound for another drive")
            << Lines{"L/src/", "L/src/p|", "L/src/f:f"} << Lines{"L/src"} << "O/out"s << false << 0
            << "L/src/p"s
            << "特殊ファイル：残す";
        QTest::newRow("a duplicate on a drive without a Trash")
            << Lines{"O/src/", "O/src/a:=", "O/src/b:b", "O/out/", "O/out/src_a:="}
            << Lines{"O/src"} << "O/out"s << false << 0 << "O/src/a"s
            << "同じ内容・ゴミ箱なし：残す";
        QTest::newRow("a duplicate named too long for the Trash")
            << Lines{"L/d/", "L/d/" + t + ":=", "L/d/b:b", "L/out/", "L/out/d_" + t + ":="}
            << Lines{"L/d"} << "L/out"s << false << 0 << "L/d/" + t
            << "同じ内容・ゴミ箱には長すぎる名前：残す";
        const Lines cards{"L/trip/",
                          "L/trip/card1/",
                          "L/trip/card1/DCIM/",
                          "L/trip/card1/DCIM/100CANON/",
                          "L/trip/card1/DCIM/100CANON/IMG_1.JPG:a",
                          "L/trip/card2/",
                          "L/trip/card2/DCIM/",
                          "L/trip/card2/DCIM/100CANON/",
                          "L/trip/card2/DCIM/100CANON/IMG_1.JPG:b",
                          "L/trip/card3/",
                          "L/trip/card3/DCIM/",
                          "L/trip/card3/DCIM/100CANON/",
                          "L/trip/card3/DCIM/100CANON/IMG_1.JPG:c"};
        const Lines cardSources{"L/trip/card1", "L/trip/card2", "L/trip/card3"};
        const std::string second = "L/trip/card2/DCIM/100CANON/IMG_1.JPG";
        QTest::newRow("three cards named by the folder they lay in: they clash")
            << cards << cardSources << "L/trip"s << false << int(fs::NameFrom::Folder) << second
            << "名前が重なる：残す";
        QTest::newRow("three cards named by the SOURCE")
            << cards << cardSources << "L/trip"s << false << int(fs::NameFrom::Source) << second
            << "移動";
        QTest::newRow("three cards named by every folder from the SOURCE down")
            << cards << cardSources << "L/trip"s << false << int(fs::NameFrom::Path) << second
            << "移動";
    }
    void previewIsTheRun() {
        QFETCH(Lines, tree);
        QFETCH(Lines, sources);
        QFETCH(std::string, destination);
        QFETCH(bool, readOnly);
        QFETCH(int, from);
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
        const char* const words[] = {"folder", "source", "path"};
        Lines args{"merge", "-n", "--name-from="s + words[from]};
        args.insert(args.end(), paths.begin(), paths.end());
        args.push_back(dest);
        int status = 0;
        const std::string dry = commandSays(root() + "/n.log", args, status);

        ui::MergeWindow window(dest, paths);
        window.show();
        QTRY_VERIFY(window.sourcesReady() && window.planReady());
        auto* nameFrom = window.findChild<QComboBox*>("c_namefrom");
        if (nameFrom->findData(from) != nameFrom->currentIndex()) {
            nameFrom->setCurrentIndex(nameFrom->findData(from));
            QVERIFY(!window.planReady());
            QTRY_VERIFY(window.planReady());
        }
        QAbstractItemModel* preview = window.findChild<QTableView*>("Table_preview")->model();
        std::vector<std::array<QString, 3>> rows;  // where, new name, what happens
        for (int r = 0; r < preview->rowCount(); ++r) {
            rows.push_back({preview->index(r, 0).data(Qt::ToolTipRole).toString(),
                            preview->index(r, 1).data().toString(),
                            preview->index(r, 2).data().toString()});
        }
        const QString said = window.findChild<QLabel*>("l_status")->text();
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
        QCOMPARE(
            rows.size(),
            std::size_t(std::count_if(tree.begin(), tree.end(), isFile)) -
                std::size_t(std::count_if(tree.begin(), tree.end(), [&](const std::string& line) {
                    const auto under = [&](const std::string& folder) {
                        return line.find(folder + "/") == 0;
                    };
                    return isFile(line) && under(destination) &&
                           std::none_of(sources.begin(), sources.end(), under);
                })));
        // Names that clash only for their folders: both say which choice parts them.
        const bool note = dry.find("--name-from=source parts them") != std::string::npos;
        QCOMPARE(std::size_t(std::count(dry.begin(), dry.end(), '\n')), rows.size() + note);
        QCOMPARE(said.contains(QStringLiteral("「まとめるフォルダの名前」にすると")), note);
        QCOMPARE(status, stays ? 1 : 0);
    }
};

QTEST_MAIN(TestMergeWindow)
#include "tst_mergewindow.moc"
