#pragma once

#include <QAbstractListModel>
#include <QIcon>
#include <QListView>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fs/deadline.h"
#include "fs/listing.h"

namespace widgets {

// The rows of the folder list: the chain from the drive's root down to the open folder, then the
// open folder's subfolders. Names stay native bytes; display strings are made when painted.
class FolderListModel : public QAbstractListModel {
    Q_OBJECT
public:
    struct Row {
        std::string name;   // what the row shows: a root path or one folder name
        std::string path;   // the full path the row opens
        int level = 0;      // indentation steps
        bool open = false;  // on the chain to the open folder (the open folder included)
    };

    using QAbstractListModel::QAbstractListModel;

    void setRows(std::vector<Row> rows);
    const std::vector<Row>& rows() const { return rows_; }
    void setIcons(QIcon openIcon, QIcon closedIcon);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    static constexpr int LevelRole = Qt::UserRole + 1;
    static constexpr int OpenRole = Qt::UserRole + 2;

private:
    std::vector<Row> rows_;
    QIcon openIcon_;
    QIcon closedIcon_;
};

// The folder list box. Each drive keeps a current folder, as the drives of the desktop this
// control comes from do: opening a drive opens its current folder, and opening a folder makes it
// the current folder of the drive the list is on.
class FolderListBox : public QListView {
    Q_OBJECT
public:
    explicit FolderListBox(QWidget* parent = nullptr);

    // The drives' root folders. A drive listed before keeps its current folder, a new one's is its
    // root; the drive holding the open folder gets the open folder.
    void setDriveRoots(const std::vector<std::string>& roots);

    // The open folder.
    const std::string& path() const { return path_; }
    // Opens `path` and fires `folderChanged`. The window repaints while a slow drive is asked;
    // one that does not answer in time gives ETIMEDOUT. Returns 0, or the errno of a folder that
    // cannot be read (nothing changes then).
    int setPath(const std::string& path);
    // Opens the current folder of the drive whose root is `root`, or the root itself when that
    // folder has gone, and fires `folderChanged`. Returns 0 or errno, as SetPath.
    int openDrive(const std::string& root);

    // The root of the drive the list is on, where the chain starts; empty before the first open.
    const std::string& root() const { return root_; }
    // The current folder of the drive whose root is `root`.
    std::string currentFolderOf(const std::string& root) const;

    // How long a folder may take to list before it counts as on a drive that does not answer
    // (ETIMEDOUT).
    void setAnswerDeadline(std::chrono::milliseconds deadline) { answerDeadline_ = deadline; }

    // The rows, as paths: the chain to the open folder, then its subfolders.
    int count() const;
    const std::string& at(int i) const;
    // The row of the open folder.
    int openRow() const;
    // The reading of the open folder while it goes on (a large folder's), for the file list to
    // share; null otherwise.
    const std::shared_ptr<fs::FolderScan>& reading() const { return reading_; }

signals:
    // The open folder changed.
    void folderChanged();
    // A folder the user chose could not be opened; the list stays where it was.
    void openFailed(const std::string& path, int error);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void doItemsLayout() override;
    void updateGeometries() override;

private:
    using Listing = fs::PendingAnswer<std::shared_ptr<fs::FolderScan>>;

    int open(const std::string& path, const std::string& root);
    // Adds the subfolders of a large folder once its listing has ended.
    void addSubfolders();
    // Opens a row the user chose; a folder that cannot be opened is signalled.
    void openRow(int row);
    std::string driveRootOf(const std::string& path) const;

    FolderListModel model_;
    std::string path_;
    std::string root_;
    std::map<std::string, std::string> currentFolders_;
    // Set when a folder opens, until the list has scrolled sideways to it while shown.
    bool revealOpenRow_ = false;
    std::chrono::milliseconds answerDeadline_{2000};
    Listing subfolders_;
    std::shared_ptr<fs::FolderScan> reading_;
    QTimer subfolderTimer_;
};

}  // namespace widgets
