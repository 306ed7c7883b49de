#pragma once

#include <QMainWindow>
#include <QPointer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/rename_run.h"
#include "fs/folder_watch.h"
#include "fs/listing.h"
#include "fs/undo/undo.h"
#include "ui/explanationwindow.h"
#include "ui/mergewindow.h"
#include "ui/run_progress.h"
#include "ui/versionwindow.h"
#include "widgets/drivelistbox.h"
#include "widgets/form.h"

class QAction;
class QSocketNotifier;
class QPushButton;

namespace widgets {
class FolderListBox;
class FileListBox;
class WorkListBox;
}  // namespace widgets

namespace ui {

// The main window: pick a drive and a folder, select files, rename them.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Opens `startFolder` (the working directory unless a test gives another) with `drives` in
    // the drive list.
    explicit MainWindow(const std::string& startFolder = fs::currentFolder(),
                        std::vector<widgets::DriveInfo> drives = widgets::mountedDrives(),
                        QWidget* parent = nullptr);
    // Waits for a check at start that is still looking at a drive.
    ~MainWindow() override;

    // When a long rename run shows its progress; tests make it show at once.
    void setProgressTiming(const ProgressTiming& timing) { progressTiming_ = timing; }
    // Called at each update of the progress dialog.
    void setProgressHook(ProgressHook hook) { progressHook_ = std::move(hook); }
    // Opens paths as a drop does: a folder as if chosen in the folder list; files open their
    // folder and are selected. Paths are absolute native bytes.
    void openPaths(const std::vector<std::string>& paths);

    // Where the run's journal is kept; read from the environment at construction.
    const std::string& stateDirectory() const { return stateDir_; }
    // Offers to finish or undo a run that never ended, and reports a journal that cannot be
    // used. Called once the window shows; returns at once: the journal's folders are looked at
    // on a worker, and the question comes when it answers. No run or undo starts meanwhile.
    void checkPendingRun();
    // Whether that check has not answered yet.
    bool checkingPendingRun() const;
    // Looks whether the open folder is still the one shown; if it was renamed, removed or
    // replaced, or its drive went away, opens the nearest folder that exists and says why in
    // the file list. The folder and mount watches call it.
    void checkOpenFolder();

public slots:
    void onDriveChanged();
    void onFolderChanged();
    void onSelectAllClicked();
    void onStartClicked();
    void onRedisplayClicked();
    void onQuitClicked();
    void onQuitTriggered();
    void onUndoTriggered();
    void onAboutTriggered();
    void onVersionTriggered();
    // Opens the merge window on the open folder, or brings it back.
    void onMergeTriggered();

protected:
    // Ctrl+Z reaches the menu from every control of the window.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // A folder dropped from a file manager opens as if chosen in the folder list; dropped files
    // open their folder and are selected.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    widgets::DriveListBox* driveList_ = nullptr;
    widgets::FolderListBox* folderList_ = nullptr;
    widgets::FileListBox* fileList_ = nullptr;
    QPushButton* selectAllButton_ = nullptr;
    QPushButton* startButton_ = nullptr;
    widgets::WorkListBox* selectionList_ = nullptr;
    QPushButton* quitButton_ = nullptr;
    widgets::WorkListBox* renameList_ = nullptr;
    QPushButton* redisplayButton_ = nullptr;

    QAction* fileMenu_ = nullptr;
    QAction* undoAction_ = nullptr;
    QAction* pendingAction_ = nullptr;
    QAction* mergeAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QAction* helpMenu_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* versionAction_ = nullptr;

    // Created on first use and kept; each loads afresh after it has closed itself.
    widgets::FormHolder<ExplanationWindow> explanationWindow_;
    widgets::FormHolder<VersionWindow> versionWindow_;
    // Deletes itself when closed.
    QPointer<MergeWindow> mergeWindow_;

    ProgressTiming progressTiming_;
    ProgressHook progressHook_;
    // Set while a rename run, an undo or a finish goes on; each lets events through at its
    // progress updates.
    bool running_ = false;
    // The check at start for a run that never ended, while it has not answered. It runs on a
    // thread of its own that the window never waits for: a drive that does not answer holds the
    // thread, not the window, nor its closing.
    struct PendingCheck {
        fs::PendingRun result;  // written by the thread before it posts its answer
    };
    std::shared_ptr<PendingCheck> pendingCheck_;
    bool pendingAsked_ = false;  // the check was asked for through the menu
    // Marks the window busy for its lifetime: start and undo are disabled, then as they were.
    class Busy {
    public:
        explicit Busy(MainWindow* window);
        ~Busy();
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        MainWindow* window_;
        bool was_;
    };
    // Clicks waiting for the file list's reading to end; a newly opened folder drops them.
    std::deque<std::function<void()>> whenListed_;

    void createControls();
    void createMenu();
    void placeWindow();
    void openStartFolder(const std::string& startFolder);
    // Points the file list at `path`; a folder that cannot be read is reported and the list stays.
    void listFolder(const std::string& path);
    // Runs `action` once the file list is complete, after the actions queued before it: a click
    // during a reading acts on the whole list, never on part of it.
    void whenListed(std::function<void()> action);
    void runWhenListed();
    void startRun();
    // The question about names beginning with "." in the selection, if there are any.
    core::HiddenNames askAboutSelectedHiddenNames();
    // The rename run on a thread of its own, the window painting and answering meanwhile.
    core::RunResult runOnThread(core::RunJournal* journal, core::HiddenNames hiddenAnswer);
    enum class UndoWork { Undo, Finish, UndoPending };
    // An undo or a finish on a thread of its own, as the rename run.
    // `run`: the run cut short to finish or undo (Finish, UndoPending).
    fs::UndoReport undoOnThread(UndoWork what, const std::string& run = {});
    // The run Ctrl+Z takes back: this window's last one that still can be, else the newest.
    std::string runToUndo();
    // The check at start has answered: asks, and finishes or undoes.
    void pendingRunChecked(const fs::PendingRun& pending);
    // A run, undo, finish or check is going on.
    bool busy() const;
    // Start and undo are enabled while nothing is going on.
    void updateActions();
    // Shows what an undo or a finish did, and reads the file list again where it changed.
    void showUndoResult(const fs::UndoReport& report, const QString& text);
    // Enabled while there is a run to undo and nothing is going on.
    void updateUndoAction();
    // Reads the file list again if it shows `folder`, which a recovery has changed.
    void relistIfShowing(const std::string& folder);

    std::string stateDir_;
    // Folder and mount events, coalesced: a burst of them is looked at once.
    fs::FolderWatch watch_;
    QSocketNotifier* folderEvents_ = nullptr;
    QSocketNotifier* mountEvents_ = nullptr;
    QTimer* checkTimer_ = nullptr;
    bool drivesChanged_ = false;
    // The folder standing for the open folder's drive, taken from the mount table when the
    // folder was listed: once the drive has gone, the table no longer tells.
    std::string shownDrive_;
    void watchEvents();
    // The drive list read again from the mount table, the open drive kept selected.
    void rereadDrives();
    // This window's runs that can be taken back, oldest first: Ctrl+Z takes back the last, and
    // pressed again, the one before.
    std::vector<std::string> ownRuns_;
    // A folder that cannot be opened is reported; one on a drive that does not answer is said
    // in the file list, without a dialog to dismiss.
    void reportFolderError(const std::string& path, int error);
};

}  // namespace ui
