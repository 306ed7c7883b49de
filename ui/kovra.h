#pragma once

#include <QMainWindow>
#include <string>
#include <vector>

#include "platform/drivelistbox.h"
#include "platform/form.h"
#include "platform/fs.h"
#include "ui/run_progress.h"
#include "ui/w_setumei.h"
#include "ui/w_ver.h"

class QAction;
class QPushButton;

namespace core {
struct RunResult;
}

namespace platform {
class DirListBox;
class FileListBox;
class ListBox;
}  // namespace platform

// The main window: pick a drive and a folder, select files, rename them.
class kovra : public QMainWindow {
    Q_OBJECT
public:
    // Opens `startFolder` (the working directory unless a test gives another) with `drives` in
    // the drive list.
    explicit kovra(const std::string& startFolder = platform::currentFolder(),
                   std::vector<platform::DriveInfo> drives = platform::mountedDrives(),
                   QWidget* parent = nullptr);

    // When a long rename run shows its progress; tests make it show at once.
    void setProgressTiming(const ui::ProgressTiming& timing) { progressTiming_ = timing; }
    // Called at each update of the progress dialog.
    void setProgressHook(ui::ProgressHook hook) { progressHook_ = std::move(hook); }

public slots:
    void Drive1_Change();
    void Dir1_Change();
    void b_all_choise_Click();
    void b_atart_Click();
    void b_reset_Click();
    void b_end_Click();
    void m_e_click();
    void m_setu_click();
    void m_v_click();

protected:
    // A folder dropped from a file manager opens as if chosen in Dir1; dropped files open their
    // folder and are selected.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    platform::DriveListBox* Drive1 = nullptr;
    platform::DirListBox* Dir1 = nullptr;
    platform::FileListBox* File1 = nullptr;
    QPushButton* b_all_choise = nullptr;
    QPushButton* b_atart = nullptr;
    platform::ListBox* List1 = nullptr;
    QPushButton* b_end = nullptr;
    platform::ListBox* List2 = nullptr;
    QPushButton* b_reset = nullptr;

    QAction* m_f = nullptr;
    QAction* m_e = nullptr;
    QAction* m_h = nullptr;
    QAction* m_setu = nullptr;
    QAction* m_v = nullptr;

    // Created on first use and kept; each loads afresh after it has closed itself.
    platform::FormHolder<w_setumei> setumei_;
    platform::FormHolder<w_ver> ver_;

    ui::ProgressTiming progressTiming_;
    ui::ProgressHook progressHook_;
    // Set while a rename run goes on; the run lets events through at its progress updates.
    bool running_ = false;

    void createControls();
    void createMenu();
    void placeWindow();
    void openStartFolder(const std::string& startFolder);
    // Points File1 at `path`; a folder that cannot be read is reported and File1 stays.
    void setFile1Path(const std::string& path);
    void reportRenameError(const core::RunResult& result);
    void openDropped(const std::vector<std::string>& paths);
};
