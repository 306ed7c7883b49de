#include "ui/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <optional>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "core/paths.h"
#include "core/rename_run.h"
#include "fs/deadline.h"
#include "fs/listing.h"
#include "fs/mounts.h"
#include "fs/rename.h"
#include "fs/undo/undo.h"
#include "ui/icon.h"
#include "ui/messages.h"
#include "widgets/button.h"
#include "widgets/display.h"
#include "widgets/drop.h"
#include "widgets/filelistbox.h"
#include "widgets/folderlistbox.h"
#include "widgets/fonts.h"
#include "widgets/twips.h"
#include "widgets/worklistbox.h"

namespace ui {

namespace {

// Longer than this, the start folder's drive is taken as not answering.
constexpr auto kStartLookDeadline = std::chrono::milliseconds(300);

// The font of the drive, folder and file lists.
QFont listFont() {
    return widgets::namedFont(QStringLiteral("ＭＳ Ｐゴシック"), 12);
}

// The file list as the run sees it from its own thread: the rows shown when it started (a table
// that does not change) and the selection taken before. What the run did is made into the rows to
// show on that thread too; showing them, or reading the folder again, is left to the window.
class ListSnapshot : public core::FileList {
public:
    explicit ListSnapshot(const widgets::FileListBox& list)
        : table_(list.names()),
          path_(list.path()),
          ranges_(list.selectedRanges()),
          identity_(list.folderIdentity()) {}
    const std::string& path() const override { return path_; }
    std::int64_t count() const override {
        return table_ ? static_cast<std::int64_t>(table_->size()) : 0;
    }
    std::string_view at(std::int64_t i) const override {
        return table_->name(static_cast<std::size_t>(i));
    }
    std::uint64_t inodeAt(std::int64_t i) const override {
        return table_->inode(static_cast<std::size_t>(i));
    }
    std::vector<core::SelectionRange> selectedRanges() const override { return ranges_; }
    std::optional<core::FolderIdentity> folderIdentity() const override { return identity_; }
    void refresh() override { refreshed_ = true; }
    void afterRun(const core::WorkList& renameList, std::int64_t renamed) override {
        after_ = fs::listedAfterRun(table_, renameList, renamed, path_);
        refreshed_ = after_ == nullptr;
    }
    std::shared_ptr<const core::NameTable> names() const override { return table_; }
    bool refreshed() const { return refreshed_; }
    // The rows as the run left them, once it has ended; null when the folder is to be read.
    std::shared_ptr<const core::NameTable> takeAfterRun() { return std::move(after_); }

private:
    std::shared_ptr<const core::NameTable> table_;
    std::string path_;
    std::vector<core::SelectionRange> ranges_;
    std::optional<core::FolderIdentity> identity_;
    bool refreshed_ = false;
    std::shared_ptr<const core::NameTable> after_;
};

}  // namespace

MainWindow::MainWindow(const std::string& startFolder, std::vector<widgets::DriveInfo> drives,
                       QWidget* parent)
    : QMainWindow(parent), stateDir_(fs::stateDirectory()) {
    // The same credit as the version window's.
    setWindowTitle(QStringLiteral("Kovra Ver 1.00  ") +
                   QString::fromUtf16(VersionWindow::kCreditLine));
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setFont(widgets::windowDefaultFont());

    createControls();
    createMenu();
    // Before the first folder is read: a large one shows its progress from the start.
    connect(fileList_, &widgets::FileListBox::readProgress, this,
            [this](std::int64_t entries) { fileList_->setStatusText(readingStatus(entries)); });
    connect(fileList_, &widgets::FileListBox::readFinished, this, [this] {
        fileList_->setStatusText({});
        // Here the drive has just answered: watching its folders will not wait on it.
        if (fileList_->folderIdentity()) {
            watch_.watch(fileList_->path());
        }
        runWhenListed();
    });
    connect(fileList_, &widgets::FileListBox::notAnswering, this, [this](const std::string& path) {
        fileList_->setStatusText(notAnsweringStatus(path));
    });
    connect(fileList_, &widgets::FileListBox::readFailed, this,
            [this](const std::string& path, int error) { reportFolderError(path, error); });
    driveList_->setDrives(std::move(drives));
    folderList_->setDriveRoots(driveList_->roots());
    openStartFolder(startFolder);

    connect(driveList_, &widgets::DriveListBox::driveChanged, this, &MainWindow::onDriveChanged);
    connect(folderList_, &widgets::FolderListBox::folderChanged, this,
            &MainWindow::onFolderChanged);
    connect(selectAllButton_, &QPushButton::clicked, this, &MainWindow::onSelectAllClicked);
    connect(startButton_, &QPushButton::clicked, this, &MainWindow::onStartClicked);
    connect(quitButton_, &QPushButton::clicked, this, &MainWindow::onQuitClicked);
    connect(redisplayButton_, &QPushButton::clicked, this, &MainWindow::onRedisplayClicked);
    connect(quitAction_, &QAction::triggered, this, &MainWindow::onQuitTriggered);
    connect(undoAction_, &QAction::triggered, this, &MainWindow::onUndoTriggered);
    connect(pendingAction_, &QAction::triggered, this, [this] {
        if (!busy()) {
            pendingAsked_ = true;
            checkPendingRun();
        }
    });
    connect(aboutAction_, &QAction::triggered, this, &MainWindow::onAboutTriggered);
    connect(mergeAction_, &QAction::triggered, this, &MainWindow::onMergeTriggered);
    connect(versionAction_, &QAction::triggered, this, &MainWindow::onVersionTriggered);
    // A drive list read again on opening may have lost or gained drives.
    connect(driveList_, &widgets::DriveListBox::drivesChanged, this,
            [this] { folderList_->setDriveRoots(driveList_->roots()); });
    connect(folderList_, &widgets::FolderListBox::openFailed, this,
            [this](const std::string& path, int error) { reportFolderError(path, error); });

    watchEvents();
    setAcceptDrops(true);
    updateUndoAction();
    for (QWidget* control : centralWidget()->findChildren<QWidget*>()) {
        control->installEventFilter(this);
    }
    placeWindow();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Qt offers a key to the focused control before it looks for a shortcut, and looks only at
    // enabled actions. Undo's key is the menu's whichever control has the focus, and whether
    // there is a run to undo is read now: the command line or another window may have made or
    // used the journal since the menu was last opened.
    if (event->type() == QEvent::ShortcutOverride &&
        QKeySequence(static_cast<QKeyEvent*>(event)->keyCombination()) == undoAction_->shortcut()) {
        updateUndoAction();
        event->ignore();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::createControls() {
    // Fixed positions: nothing moves or grows with the window.
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    auto setUp = [](QWidget* control, const char* name, int left, int top, int width, int height,
                    const char* toolTip) {
        control->setObjectName(QString::fromLatin1(name));
        widgets::placeTwips(control, left, top, width, height);
        control->setToolTip(QString::fromUtf8(toolTip));
    };
    auto button = [&](const char* name, int left, int top, int width, int height,
                      const char* caption, const char* toolTip) {
        auto* b = new widgets::Button(QString::fromUtf8(caption), client);
        setUp(b, name, left, top, width, height, toolTip);
        return b;
    };

    // In tab order.
    driveList_ = new widgets::DriveListBox(client);
    setUp(driveList_, "Drive1", 120, 120, 4935, 360, "現在のドライブ");
    driveList_->setFont(listFont());
    folderList_ = new widgets::FolderListBox(client);
    setUp(folderList_, "Dir1", 120, 600, 4935, 3870, "現在選択されているフォルダ");
    folderList_->setFont(listFont());
    fileList_ = new widgets::FileListBox(client);
    setUp(fileList_, "File1", 5160, 120, 3375, 4410, "現在選択されているフォルダのファイル一覧");
    fileList_->setFont(listFont());
    selectAllButton_ = button("b_all_choise", 120, 4920, 1455, 495, "ファイル全選択",
                              "ファイル一覧に表示されている全ファイルを選択対象にします");
    startButton_ = button("b_atart", 1800, 4920, 1935, 495, "リネーム　開始",
                          "選択されたファイルの［ｎ］のナンバーを取ります");
    selectionList_ = new widgets::WorkListBox(client);
    setUp(selectionList_, "List1", 5400, 4920, 1455, 240, "");
    quitButton_ = button("b_end", 6960, 4920, 1215, 495, "終　　了", "終了");
    renameList_ = new widgets::WorkListBox(client);
    setUp(renameList_, "List2", 5400, 5160, 1455, 240, "");
    redisplayButton_ =
        button("b_reset", 3960, 4920, 1575, 495, "ファイル再表示",
               "『ファイル名一覧』を再表示します（ファイルを別アプリ等で削除した場合、追加変"
               "更等で更新した場合に使用してください）");

    QWidget* const order[] = {driveList_,       folderList_,  fileList_,
                              selectAllButton_, startButton_, selectionList_,
                              quitButton_,      renameList_,  redisplayButton_};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }

    // What a screen reader says of each list: what it lists. The tooltips are their
    // descriptions; the file list's says how many files it lists and how many are selected.
    driveList_->setAccessibleName(QString::fromUtf8("ドライブ"));
    folderList_->setAccessibleName(QString::fromUtf8("フォルダ一覧"));
    fileList_->setAccessibleName(QString::fromUtf8("ファイル一覧"));
    selectionList_->setAccessibleName(QString::fromUtf8("選択したファイル"));
    renameList_->setAccessibleName(QString::fromUtf8("名前を変えるファイル"));
    const auto describeFiles = [this] {
        std::int64_t selected = 0;
        for (const core::SelectionRange& range : fileList_->selectedRanges()) {
            selected += range.last - range.first + 1;
        }
        fileList_->setAccessibleDescription(
            fileListDescription(fileList_->toolTip(), fileList_->count(), selected));
    };
    connect(fileList_->model(), &QAbstractItemModel::modelReset, this, describeFiles);
    connect(fileList_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            describeFiles);
    describeFiles();
}

void MainWindow::createMenu() {
    auto action = [](QAction* a, const char* name) {
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    // No access keys: the captions carry no "&".
    QMenu* file = menuBar()->addMenu(QString::fromUtf8("ファイル"));
    fileMenu_ = action(file->menuAction(), "m_f");
    undoAction_ = action(file->addAction(QString::fromUtf8("元に戻す")), "m_undo");
    undoAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    undoAction_->setShortcutContext(Qt::WindowShortcut);
    // Another instance or the command line may have made or used a journal meanwhile.
    connect(file, &QMenu::aboutToShow, this, &MainWindow::updateUndoAction);
    // Offers again a run cut short whose drive was away at the start.
    pendingAction_ = action(file->addAction(QString::fromUtf8("途中で終わった変更…")), "m_pending");
    mergeAction_ = action(file->addAction(QString::fromUtf8("フォルダをまとめる…")), "m_merge");
    quitAction_ = action(file->addAction(QString::fromUtf8("終了")), "m_e");
    quitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    quitAction_->setShortcutContext(Qt::WindowShortcut);

    QMenu* help = menuBar()->addMenu(QString::fromUtf8("ヘルプ"));
    helpMenu_ = action(help->menuAction(), "m_h");
    aboutAction_ = action(help->addAction(QString::fromUtf8("Kovra　について")), "m_setu");
    versionAction_ = action(help->addAction(QString::fromUtf8("バージョン情報")), "m_v");

    // The captions carry no access keys: F10 opens the menu from the keyboard, as on desktops.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(menuKey, &QShortcut::activated, this,
            [this] { menuBar()->setActiveAction(fileMenu_); });
}

void MainWindow::placeWindow() {
    const double dpi = widgets::logicalDpi();
    const QSize client(widgets::twipsToPixels(8685, dpi), widgets::twipsToPixels(5460, dpi));
    // The menu bar sits above the client area, not inside it.
    resize(client.width(), client.height() + menuBar()->sizeHint().height());
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QPoint origin = screen != nullptr ? screen->geometry().topLeft() : QPoint();
    move(origin + QPoint(widgets::twipsToPixels(780, dpi), widgets::twipsToPixels(870, dpi)));
}

void MainWindow::openStartFolder(const std::string& startFolder) {
    std::string folder = core::normalizeFolder(startFolder);
    // Looked at on a worker first: a drive that does not answer is found out at once, and the
    // window opens without waiting for the folder list's longer deadline.
    const fs::PendingAnswer<bool> look = fs::startCall([folder] {
        struct stat st {};
        return ::stat(folder.c_str(), &st) == 0;
    });
    int err = look.wait_for(kStartLookDeadline) ? folderList_->setPath(folder) : ETIMEDOUT;
    const bool notAnswering = err == ETIMEDOUT;
    if (notAnswering) {
        // Its parents are most likely on the same drive: home instead.
        const char* home = std::getenv("HOME");
        folder = core::normalizeFolder(home != nullptr && *home == '/' ? home : "/");
        err = folderList_->setPath(folder);
    }
    if (err != 0) {
        reportFolderError(folder, err);
        // The nearest folder above that can be read.
        while (err != 0 && folder != "/") {
            folder = core::parentFolder(folder);
            err = folderList_->setPath(folder);
        }
    }
    driveList_->setDrive(folderList_->root());
    listFolder(folderList_->path());
    if (notAnswering) {
        fileList_->setStatusText(startNotAnsweringStatus(startFolder));
    }
}

void MainWindow::listFolder(const std::string& path) {
    whenListed_.clear();
    shownDrive_ = fs::driveFolder(path, fs::readMountTable());
    // A large folder the folder list is reading is not read a second time for its files.
    const int err =
        fileList_->setPath(path, path == folderList_->path() ? folderList_->reading() : nullptr);
    if (err != 0) {
        reportFolderError(path, err);
    }
}

void MainWindow::reportFolderError(const std::string& path, int error) {
    if (error == ETIMEDOUT) {
        fileList_->setStatusText(notAnsweringStatus(path));
        return;
    }
    showReport(this, folderErrorReport(path, error));
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!widgets::localPathsFromUriList(event->mimeData()->data(QStringLiteral("text/uri-list")))
             .empty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const std::vector<std::string> paths =
        widgets::localPathsFromUriList(event->mimeData()->data(QStringLiteral("text/uri-list")));
    if (paths.empty()) {
        return;
    }
    event->acceptProposedAction();
    openPaths(paths);
}

void MainWindow::openPaths(const std::vector<std::string>& paths) {
    if (paths.empty()) {
        return;
    }
    struct stat st {};
    const bool isFolder = ::stat(paths.front().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const std::string folder = isFolder ? paths.front() : core::parentFolder(paths.front());
    // Fires onFolderChanged, which empties the work lists and lists the folder.
    const int err = folderList_->setPath(folder);
    if (err != 0) {
        reportFolderError(folder, err);
        return;
    }
    driveList_->setDrive(folderList_->root());
    if (!isFolder) {
        // Files of other folders in the same drop are left out: one folder is open at a time.
        std::vector<std::string> names;
        for (const std::string& path : paths) {
            if (core::normalizeFolder(core::parentFolder(path)) == folderList_->path()) {
                names.push_back(core::fileName(path));
            }
        }
        whenListed([this, names = std::move(names)] { fileList_->selectNames(names); });
    }
}

void MainWindow::onDriveChanged() {
    // The modal progress dialog keeps input away during a run; should a change get through, it
    // must not empty the work lists or move fileList_ under the run.
    if (running_) {
        return;
    }
    selectionList_->clear();
    renameList_->clear();
    const std::string previous = folderList_->root();
    const std::string drive = driveList_->drive();
    // Fires onFolderChanged, which runs to its end first.
    const int err = folderList_->openDrive(drive);
    if (err != 0) {
        // A drive that is not ready: stay on the drive that was open.
        driveList_->setDrive(previous);
        reportFolderError(drive, err);
        return;
    }
    // onFolderChanged has listed this folder already; setting the same path reads nothing again.
    if (fileList_->path() != folderList_->path()) {
        listFolder(folderList_->path());
    }
}

void MainWindow::onFolderChanged() {
    // The modal progress dialog keeps input away during a run; should a change get through, it
    // must not empty the work lists or move fileList_ under the run.
    if (running_) {
        return;
    }
    selectionList_->clear();
    renameList_->clear();
    fileList_->setNotice({});
    listFolder(folderList_->path());
}

void MainWindow::whenListed(std::function<void()> action) {
    whenListed_.push_back(std::move(action));
    runWhenListed();
}

void MainWindow::runWhenListed() {
    // An action may read the folder again (a run ends so); the rest waits for that reading.
    while (!whenListed_.empty() && !fileList_->isReading()) {
        const std::function<void()> action = std::move(whenListed_.front());
        whenListed_.pop_front();
        action();
    }
}

void MainWindow::onSelectAllClicked() {
    whenListed([this] { fileList_->selectAllFiles(); });
}

void MainWindow::onStartClicked() {
    // A run handles events at its progress updates; a click that reached this button then must
    // not start a second run inside the first, which would clear the work lists under it.
    if (busy()) {
        return;
    }
    whenListed([this] { startRun(); });
}

void MainWindow::startRun() {
    if (busy()) {
        return;
    }
    const Busy busy(this);
    // Names beginning with "." lose their dot to the prefix: the user decides first, here on the
    // window's thread, before the run's thread starts.
    const core::HiddenNames hiddenAnswer = askAboutSelectedHiddenNames();
    fs::RunRecorder recorder(stateDir_, /*mayLeaveReservations=*/true);
    core::RunResult result = runOnThread(&recorder, hiddenAnswer);
    if (!recorder.runPath().empty()) {
        ownRuns_.push_back(recorder.runPath());
    }
    bool undoable = true;
    if (result.end == core::RunResult::End::JournalFailed) {
        // Nothing was renamed and the selection stands: the user chooses to go on without undo.
        if (ask(this, journalFailedQuestion(stateDir_, result.journalError), journalFailedAnswers(),
                DoNotRename, DoNotRename) != RenameWithoutUndo) {
            return;
        }
        result = runOnThread(nullptr, hiddenAnswer);
        undoable = false;
    }
    updateUndoAction();
    if (result.end == core::RunResult::End::FolderReplaced) {
        showReport(this, folderReplacedReport(result.folder));
        checkOpenFolder();
        return;
    }
    if (result.end == core::RunResult::End::Cancelled) {
        showInformation(this, cancelledRunReport(result.renamed, undoable));
    }
    if (result.end == core::RunResult::End::Failed) {
        showReport(this, runFailureReport(result));
        // A refused rename often means another program (another window's run) is changing the
        // folder: what it holds once the report is read is what the list shows.
        fileList_->confirmAgain();
    }
    if (result.syncError != 0) {
        showReport(this, syncFailureReport(result.folder, result.syncError));
    }
}

core::HiddenNames MainWindow::askAboutSelectedHiddenNames() {
    std::vector<std::string> hidden;
    for (const core::SelectionRange& range : fileList_->selectedRanges()) {
        for (std::int64_t i = range.first; i <= range.last; ++i) {
            const std::string_view name = fileList_->at(i);
            if (!name.empty() && name[0] == '.') {
                hidden.emplace_back(name);
            }
        }
    }
    return hidden.empty() ? core::HiddenNames::Rename : askAboutHiddenNames(this, hidden);
}

core::RunResult MainWindow::runOnThread(core::RunJournal* journal, core::HiddenNames hiddenAnswer) {
    RunProgress progress(this, progressTiming_, progressHook_);
    ListSnapshot snapshot(*fileList_);
    core::RunResult result;
    runOnWorker(progress, progressTiming_, [&](const WorkerProgress& report) {
        core::RunOptions options;
        options.journal = journal;
        // Asked before the run, on the window's thread; the run only applies the answer.
        options.hiddenNames = [hiddenAnswer](const std::vector<std::string>&) {
            return hiddenAnswer;
        };
        options.progress = report;
        // The journal hears of links and reservations made on the way, to repair them after a kill.
        fs::PosixFileSystem fileSystem(dynamic_cast<fs::RunRecorder*>(journal));
        result = core::renameRun(snapshot, *selectionList_, *renameList_, fileSystem, options);
    });
    // The list itself changes here, on the window's thread: it shows what the run did at once
    // (and reads the folder in the background to confirm it), or reads the folder again.
    if (snapshot.refreshed()) {
        fileList_->refresh();
    } else if (std::shared_ptr<const core::NameTable> after = snapshot.takeAfterRun()) {
        fileList_->showAfterRun(std::move(after));
    }
    progress.finish();
    return result;
}

void MainWindow::onRedisplayClicked() {
    // It empties the work lists, which a run in progress is walking.
    if (running_) {
        return;
    }
    whenListed_.clear();
    selectionList_->clear();
    renameList_->clear();
    // The folders too: the open one, or one above it, may have been renamed or removed.
    const std::string shown = folderList_->path();
    checkOpenFolder();
    if (folderList_->path() != shown) {
        return;  // the nearest folder that exists is open and listed
    }
    if (folderList_->setPath(shown) == 0) {
        // Its subfolders were read again, and the files with them.
        return;
    }
    // SetPath reads the folder even when the path is the same, so it is the refresh as well.
    const int err = fileList_->setPath(folderList_->path());
    if (err != 0) {
        fileList_->refresh();
        reportFolderError(folderList_->path(), err);
    }
}

void MainWindow::onMergeTriggered() {
    if (mergeWindow_ == nullptr) {
        mergeWindow_ = new MergeWindow(folderList_->path(), {}, this);
        mergeWindow_->setProgressTiming(progressTiming_);
        connect(mergeWindow_, &MergeWindow::merged, this,
                [this](const std::string&, const std::string& journal) {
                    // Ctrl+Z here takes the merge back first, as it does this window's runs.
                    if (!journal.empty()) {
                        ownRuns_.push_back(journal);
                        // That merge can be taken back: no need to look through the history.
                        undoAction_->setEnabled(!busy());
                    } else {
                        updateUndoAction();
                    }
                    // Files came into, and folders went out of, what the lists may show.
                    onRedisplayClicked();
                });
    }
    mergeWindow_->show();
    mergeWindow_->raise();
    mergeWindow_->activateWindow();
}

bool MainWindow::busy() const {
    return running_ || pendingCheck_ != nullptr;
}

MainWindow::Busy::Busy(MainWindow* window) : window_(window), was_(window->running_) {
    window_->running_ = true;
    window_->updateActions();
}

MainWindow::Busy::~Busy() {
    window_->running_ = was_;
    window_->updateActions();
}

void MainWindow::updateActions() {
    // One run, undo or finish at a time.
    startButton_->setEnabled(!busy());
    pendingAction_->setEnabled(!busy());
    updateUndoAction();
}

void MainWindow::updateUndoAction() {
    undoAction_->setEnabled(!busy() && fs::hasUndo(stateDir_));
}

void MainWindow::relistIfShowing(const std::string& folder) {
    if (folder.empty() || core::normalizeFolder(folder) != fileList_->path()) {
        return;
    }
    selectionList_->clear();
    renameList_->clear();
    if (const int err = fileList_->setPath(fileList_->path()); err != 0) {
        fileList_->refresh();
    }
}

void MainWindow::onQuitClicked() {
    QApplication::exit(0);
}

void MainWindow::onQuitTriggered() {
    QApplication::exit(0);
}

void MainWindow::onAboutTriggered() {
    explanationWindow_.show();
}

void MainWindow::onVersionTriggered() {
    versionWindow_.show();
}

}  // namespace ui

namespace ui {

namespace {

// What a look at the open folder found, made on a worker: a drive that stopped answering must
// not hold the window.
struct FolderLook {
    int error = 0;
    core::FolderIdentity identity;
    std::string nearest;     // the folder itself, or the nearest one above it that exists
    bool driveGone = false;  // the folder is not there because its drive is not
};

FolderLook lookAt(const std::string& path, const std::string& drive) {
    FolderLook look;
    struct stat st {};
    // A drive unmounted may leave an empty folder of the same path, seen as another folder.
    look.driveGone = fs::driveGone(drive, fs::readMountTable());
    if (::stat(path.c_str(), &st) != 0) {
        look.error = errno;
    } else if (!S_ISDIR(st.st_mode)) {
        look.error = ENOTDIR;
    } else {
        look.identity = {static_cast<std::uint64_t>(st.st_dev),
                         static_cast<std::uint64_t>(st.st_ino)};
    }
    look.nearest = path;
    while (look.nearest != "/" &&
           (::stat(look.nearest.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        look.nearest = core::parentFolder(look.nearest);
    }
    return look;
}

// Longer than this, the look is given up: the drive's reading says it does not answer.
constexpr auto kLookDeadline = std::chrono::milliseconds(300);

}  // namespace

void MainWindow::watchEvents() {
    checkTimer_ = new QTimer(this);
    checkTimer_->setSingleShot(true);
    checkTimer_->setInterval(200);
    connect(checkTimer_, &QTimer::timeout, this, [this] {
        if (busy()) {
            // Looked at once the run or undo has ended.
            checkTimer_->start();
            return;
        }
        if (std::exchange(drivesChanged_, false)) {
            rereadDrives();
        }
        checkOpenFolder();
    });
    if (watch_.folderEvents() >= 0) {
        folderEvents_ = new QSocketNotifier(watch_.folderEvents(), QSocketNotifier::Read, this);
        connect(folderEvents_, &QSocketNotifier::activated, this, [this] {
            if (watch_.takeFolderEvents()) {
                checkTimer_->start();
            }
        });
    }
    if (watch_.mountEvents() >= 0) {
        mountEvents_ = new QSocketNotifier(watch_.mountEvents(), QSocketNotifier::Exception, this);
        connect(mountEvents_, &QSocketNotifier::activated, this, [this] {
            watch_.takeMountChange();
            drivesChanged_ = true;
            checkTimer_->start();
        });
    }
}

void MainWindow::rereadDrives() {
    // drivesChanged gives the folder list the new drives.
    driveList_->reread();
}

void MainWindow::checkOpenFolder() {
    if (running_) {
        return;
    }
    const std::string path = folderList_->path();
    const fs::PendingAnswer<FolderLook> answer =
        fs::startCall([path, drive = shownDrive_] { return lookAt(path, drive); });
    if (!answer.wait_for(kLookDeadline)) {
        return;
    }
    const FolderLook look = answer.get();
    const std::optional<core::FolderIdentity> shown = fileList_->folderIdentity();
    const bool same = look.error == 0 && (!shown || *shown == look.identity);
    if (same || folderList_->path() != path) {
        return;
    }
    const std::string root = folderList_->root();
    rereadDrives();
    const std::vector<std::string> roots = driveList_->roots();
    // The drive list's drive went, or the drive the folder lay on (a network share, which the
    // list may not show) went or stopped answering.
    const bool listedGone =
        root != "/" && std::find(roots.begin(), roots.end(), root) == roots.end();
    const bool driveGone = listedGone || look.driveGone;
    const std::string drive = listedGone ? root : shownDrive_;
    QString notice = driveGone         ? driveGoneNotice(drive, look.nearest)
                     : look.error == 0 ? folderReplacedNotice(path)
                                       : folderGoneNotice(path, look.nearest);
    // Fires onFolderChanged, which empties the work lists and lists the folder; the selection
    // made in the folder that went is dropped with it.
    if (folderList_->setPath(look.nearest) != 0) {
        return;
    }
    driveList_->setDrive(folderList_->root());
    fileList_->setNotice(notice);
}

}  // namespace ui
