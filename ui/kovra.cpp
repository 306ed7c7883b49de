#include "ui/kovra.h"

#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>

#include <sys/stat.h>

#include "core/rename_run.h"
#include "platform/dirlistbox.h"
#include "platform/display.h"
#include "platform/drop.h"
#include "platform/error_report.h"
#include "platform/errors.h"
#include "platform/filelistbox.h"
#include "platform/fonts.h"
#include "platform/listbox.h"
#include "platform/twips.h"
#include "ui/icon.h"
#include "ui/w_setumei.h"
#include "ui/w_ver.h"

namespace {

// The font of the drive, folder and file lists.
QFont listFont() {
    return platform::namedFont(QStringLiteral("ＭＳ Ｐゴシック"), 12);
}

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

kovra::kovra(const std::string& startFolder, std::vector<platform::DriveInfo> drives,
             QWidget* parent)
    : QMainWindow(parent) {
    // The same credit as the version window's.
    setWindowTitle(QStringLiteral("Kovra Ver 1.00  ") + QString::fromUtf16(w_ver::kCreditLine));
    setWindowIcon(ui::programIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setFont(platform::windowDefaultFont());

    createControls();
    createMenu();
    Drive1->setDrives(std::move(drives));
    Dir1->setDriveRoots(Drive1->roots());
    openStartFolder(startFolder);

    connect(Drive1, &platform::DriveListBox::Change, this, &kovra::Drive1_Change);
    connect(Dir1, &platform::DirListBox::Change, this, &kovra::Dir1_Change);
    connect(b_all_choise, &QPushButton::clicked, this, &kovra::b_all_choise_Click);
    connect(b_atart, &QPushButton::clicked, this, &kovra::b_atart_Click);
    connect(b_end, &QPushButton::clicked, this, &kovra::b_end_Click);
    connect(b_reset, &QPushButton::clicked, this, &kovra::b_reset_Click);
    connect(m_e, &QAction::triggered, this, &kovra::m_e_click);
    connect(m_setu, &QAction::triggered, this, &kovra::m_setu_click);
    connect(m_v, &QAction::triggered, this, &kovra::m_v_click);

    setAcceptDrops(true);
    placeWindow();
}

void kovra::createControls() {
    // Fixed positions: nothing moves or grows with the window.
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    auto setUp = [](QWidget* control, const char* name, int left, int top, int width, int height,
                    const char* toolTip) {
        control->setObjectName(QString::fromLatin1(name));
        platform::placeTwips(control, left, top, width, height);
        control->setToolTip(QString::fromUtf8(toolTip));
    };
    auto button = [&](const char* name, int left, int top, int width, int height,
                      const char* caption, const char* toolTip) {
        auto* b = new QPushButton(QString::fromUtf8(caption), client);
        setUp(b, name, left, top, width, height, toolTip);
        return b;
    };

    // In tab order.
    Drive1 = new platform::DriveListBox(client);
    setUp(Drive1, "Drive1", 120, 120, 4935, 360, "現在のドライブ");
    Drive1->setFont(listFont());
    Dir1 = new platform::DirListBox(client);
    setUp(Dir1, "Dir1", 120, 600, 4935, 3870, "現在選択されているフォルダ");
    Dir1->setFont(listFont());
    File1 = new platform::FileListBox(client);
    setUp(File1, "File1", 5160, 120, 3375, 4410, "現在選択されているフォルダのファイル一覧");
    File1->setFont(listFont());
    b_all_choise = button("b_all_choise", 120, 4920, 1455, 495, "ファイル全選択",
                          "ファイル一覧に表示されている全ファイルを選択対象にします");
    b_atart = button("b_atart", 1800, 4920, 1935, 495, "リネーム　開始",
                     "選択されたファイルの［ｎ］のナンバーを取ります");
    List1 = new platform::ListBox(client);
    setUp(List1, "List1", 5400, 4920, 1455, 240, "");
    b_end = button("b_end", 6960, 4920, 1215, 495, "終　　了", "終了");
    List2 = new platform::ListBox(client);
    setUp(List2, "List2", 5400, 5160, 1455, 240, "");
    b_reset = button("b_reset", 3960, 4920, 1575, 495, "ファイル再表示",
                     "『ファイル名一覧』を再表示します（ファイルを別アプリ等で削除した場合、追加変"
                     "更等で更新した場合に使用してください）");

    QWidget* const order[] = {Drive1, Dir1,  File1, b_all_choise, b_atart,
                              List1,  b_end, List2, b_reset};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
}

void kovra::createMenu() {
    auto action = [](QAction* a, const char* name) {
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    // No access keys: the captions carry no "&".
    QMenu* file = menuBar()->addMenu(QString::fromUtf8("ファイル"));
    m_f = action(file->menuAction(), "m_f");
    m_e = action(file->addAction(QString::fromUtf8("終了")), "m_e");
    m_e->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    m_e->setShortcutContext(Qt::WindowShortcut);

    QMenu* help = menuBar()->addMenu(QString::fromUtf8("ヘルプ"));
    m_h = action(help->menuAction(), "m_h");
    m_setu = action(help->addAction(QString::fromUtf8("Kovra　について")), "m_setu");
    m_v = action(help->addAction(QString::fromUtf8("バージョン情報")), "m_v");
}

void kovra::placeWindow() {
    const double dpi = platform::logicalDpi();
    const QSize client(platform::twipsToPixels(8685, dpi), platform::twipsToPixels(5460, dpi));
    // The menu bar sits above the client area, not inside it.
    resize(client.width(), client.height() + menuBar()->sizeHint().height());
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QPoint origin = screen != nullptr ? screen->geometry().topLeft() : QPoint();
    move(origin + QPoint(platform::twipsToPixels(780, dpi), platform::twipsToPixels(870, dpi)));
}

void kovra::openStartFolder(const std::string& startFolder) {
    std::string folder = platform::normalizeFolder(startFolder);
    int err = Dir1->SetPath(folder);
    if (err != 0) {
        platform::reportFolderError(this, folder, err);
        // The nearest folder above that can be read.
        while (err != 0 && folder != "/") {
            const std::size_t slash = folder.rfind('/');
            folder = slash == 0 || slash == std::string::npos ? "/" : folder.substr(0, slash);
            err = Dir1->SetPath(folder);
        }
    }
    Drive1->SetDrive(Dir1->Root());
    setFile1Path(Dir1->Path());
}

void kovra::setFile1Path(const std::string& path) {
    const int err = File1->SetPath(path);
    if (err != 0) {
        platform::reportFolderError(this, path, err);
    }
}

void kovra::reportRenameError(const core::RunResult& result) {
    QString text =
        QStringLiteral(
            "ファイル名を変更できませんでした。ここで処理を止めました。\n\n"
            "ファイル： %1\n新しい名前： %2\nフォルダ： %3\n理由： %4")
            .arg(platform::displayName(result.failedName),
                 platform::displayName(result.failedNewName), platform::displayName(File1->Path()),
                 fromUtf8(platform::runFailureReason(result)));
    if (result.renamed > 0) {
        text += QStringLiteral("\n\nこれより前の %1 個のファイルは新しい名前になっています。")
                    .arg(result.renamed);
    }
    platform::reportError(this, QStringLiteral("Kovra"), text);
}

void kovra::dragEnterEvent(QDragEnterEvent* event) {
    if (!platform::localPathsFromUriList(event->mimeData()->data(QStringLiteral("text/uri-list")))
             .empty()) {
        event->acceptProposedAction();
    }
}

void kovra::dropEvent(QDropEvent* event) {
    const std::vector<std::string> paths =
        platform::localPathsFromUriList(event->mimeData()->data(QStringLiteral("text/uri-list")));
    if (paths.empty()) {
        return;
    }
    event->acceptProposedAction();
    openDropped(paths);
}

void kovra::openDropped(const std::vector<std::string>& paths) {
    struct stat st {};
    const bool isFolder = ::stat(paths.front().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const std::string folder = isFolder ? paths.front() : platform::parentFolder(paths.front());
    // Fires Dir1_Change, which empties the work lists and lists the folder.
    const int err = Dir1->SetPath(folder);
    if (err != 0) {
        platform::reportFolderError(this, folder, err);
        return;
    }
    Drive1->SetDrive(Dir1->Root());
    if (!isFolder) {
        // Files of other folders in the same drop are left out: one folder is open at a time.
        std::vector<std::string> names;
        for (const std::string& path : paths) {
            if (platform::normalizeFolder(platform::parentFolder(path)) == Dir1->Path()) {
                names.push_back(path.substr(path.rfind('/') + 1));
            }
        }
        File1->SelectNames(names);
    }
}

void kovra::Drive1_Change() {
    // The modal progress dialog keeps input away during a run; should a change get through, it
    // must not empty the work lists or move File1 under the run.
    if (running_) {
        return;
    }
    List1->Clear();
    List2->Clear();
    const std::string previous = Dir1->Root();
    const std::string drive = Drive1->Drive();
    // Fires Dir1_Change, which runs to its end first.
    const int err = Dir1->OpenDrive(drive);
    if (err != 0) {
        // A drive that is not ready: stay on the drive that was open.
        Drive1->SetDrive(previous);
        platform::reportFolderError(this, drive, err);
        return;
    }
    // Dir1_Change has listed this folder already; setting the same path reads nothing again.
    if (File1->Path() != Dir1->Path()) {
        setFile1Path(Dir1->Path());
    }
}

void kovra::Dir1_Change() {
    // The modal progress dialog keeps input away during a run; should a change get through, it
    // must not empty the work lists or move File1 under the run.
    if (running_) {
        return;
    }
    List1->Clear();
    List2->Clear();
    setFile1Path(Dir1->Path());
}

void kovra::b_all_choise_Click() {
    File1->SelectAllFiles();
}

void kovra::b_atart_Click() {
    // A run handles events at its progress updates; a click that reached this button then must
    // not start a second run inside the first, which would clear the work lists under it.
    if (running_) {
        return;
    }
    const QScopedValueRollback<bool> running(running_, true);
    platform::PosixFileSystem fs;
    core::RunOptions options;
    options.excluded = {"kovra.exe", platform::ownExecutableName()};
    ui::RunProgress progress(this, progressTiming_, progressHook_);
    options.progress = [&progress](std::int64_t done, std::int64_t total) {
        return progress.update(done, total);
    };
    const core::RunResult result = core::renameRun(*File1, *List1, *List2, fs, options);
    // A cancelled run needs no word: the refreshed list shows how far it got.
    progress.finish();
    if (result.end == core::RunResult::End::Failed) {
        reportRenameError(result);
    }
    if (result.syncErr != 0) {
        // The renames happened, but the disk did not confirm them: say so rather than nothing.
        platform::reportError(
            this, QStringLiteral("Kovra"),
            QStringLiteral("ファイル名の変更をディスクに書き込めたか確認できませんでした。\n"
                           "電源が切れると、新しい名前が失われることがあります。\n\n"
                           "フォルダ： %1\n理由： %2")
                .arg(platform::displayName(File1->Path()),
                     fromUtf8(platform::reasonLine({result.syncErr, false}))));
    }
}

void kovra::b_reset_Click() {
    // It empties the work lists, which a run in progress is walking.
    if (running_) {
        return;
    }
    List1->Clear();
    List2->Clear();
    // SetPath reads the folder even when the path is the same, so it is the refresh as well.
    const int err = File1->SetPath(Dir1->Path());
    if (err != 0) {
        File1->Refresh();
        platform::reportFolderError(this, Dir1->Path(), err);
    }
}

void kovra::b_end_Click() {
    QApplication::exit(0);
}

void kovra::m_e_click() {
    QApplication::exit(0);
}

void kovra::m_setu_click() {
    setumei_.Show();
}

void kovra::m_v_click() {
    ver_.Show();
}
