#pragma once

#include <QAbstractTableModel>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fs/merge/merge.h"
#include "ui/run_progress.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QTableView;
class QTimer;

namespace ui {

class PictureView;

// Every file of a plan, one row each: where it lies, its new name, what happens to it. Rows are
// made only for what is painted, so a plan of a million files costs the plan and little more.
class MergePreviewModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    // `order`: the plan's file indices in the order shown (previewOrder); empty: the plan's.
    void setPlan(std::shared_ptr<const fs::MergePlan> plan, std::vector<std::uint32_t> order = {});
    const fs::MergePlan* plan() const { return plan_.get(); }
    // The plan's index of the file shown at `row`.
    std::size_t fileAt(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    std::shared_ptr<const fs::MergePlan> plan_;
    std::vector<std::uint32_t> order_;
};

// The folders offered, checked or not, with their file counts once planned. A folder of ten
// thousand subfolders costs a row each, its text made only when painted.
class MergeSourceModel : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;
    void setSources(std::vector<std::string> sources);
    // The files planned below each source, in the order of sources(); -1: not known.
    void setCounts(const std::vector<std::int64_t>& counts);
    std::vector<std::string> checkedSources() const;
    const std::vector<std::string>& sources() const { return sources_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    void checksChanged();

private:
    std::vector<std::string> sources_;
    std::vector<char> checked_;
    std::vector<std::int64_t> counts_;
};

// The files a merge left where they were, one row each with why; made only for what is painted.
class MergeLeftModel : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;
    void setFiles(std::shared_ptr<const std::vector<fs::LeftFile>> files);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::shared_ptr<const std::vector<fs::LeftFile>> files_;
};

// Moves the files of the checked subfolders into one folder: a preview of every file, made on a
// worker and made again when a choice changes, then the merge with the run's progress dialog.
class MergeWindow : public QWidget {
    Q_OBJECT
public:
    // Merges into `destination`; `sources` are offered checked. Without sources, the
    // destination's subfolders are offered.
    explicit MergeWindow(const std::string& destination, std::vector<std::string> sources = {},
                         QWidget* parent = nullptr);
    ~MergeWindow() override;

    // Asks for another destination; tests answer without a dialog. Empty: keep the one there.
    using FolderChooser = std::function<std::string(QWidget* parent, const std::string& start)>;
    static void setFolderChooser(FolderChooser chooser);

    void setProgressTiming(const ProgressTiming& timing) { progressTiming_ = timing; }
    const std::string& destination() const { return destination_; }
    // Whether the preview shows the plan of what is checked now.
    bool planReady() const;
    // Whether the folders offered are known (they are read on a thread).
    bool sourcesReady() const { return sourcesReady_; }

protected:
    void closeEvent(QCloseEvent* event) override;

signals:
    // A merge has run (whatever its end); `journal` is its record for undo, empty without one.
    void merged(const std::string& destination, const std::string& journal);

private:
    void chooseDestination();
    // Offers the folders of `sources` that are still folders, or without any the destination's
    // subfolders: read on a thread, as the destination may hold a million files.
    void setDestination(const std::string& destination, std::vector<std::string> sources);
    void showSources(std::uint64_t generation, std::vector<std::string> sources);
    // Plans again from what is checked now, dropping a plan under way.
    void replan();
    struct Planned;
    void planned(std::uint64_t generation, std::shared_ptr<Planned> planned);
    fs::MergeRequest request() const;
    void runMerge();
    void updateButtons();
    // The pictures of the file at the preview's `row`, and of the copy kept if it is a duplicate.
    void showPictures(int row);
    std::string keptCopyOf(std::size_t file) const;

    struct Planning;
    std::string destination_;
    std::shared_ptr<Planning> planning_;
    std::shared_ptr<const fs::MergePlan> plan_;  // what the preview shows
    std::uint64_t generation_ = 0;
    std::uint64_t sourcesGeneration_ = 0;  // of the folders offered, read on a thread
    bool sourcesReady_ = false;
    bool running_ = false;
    ProgressTiming progressTiming_;

    QLineEdit* destinationEdit_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QListView* sourceList_ = nullptr;
    MergeSourceModel sources_;
    QCheckBox* allBox_ = nullptr;
    QCheckBox* keepDuplicatesBox_ = nullptr;
    QCheckBox* numberBox_ = nullptr;
    QCheckBox* keepFoldersBox_ = nullptr;
    QComboBox* nameFromBox_ = nullptr;
    QComboBox* dedupeBox_ = nullptr;
    QTableView* preview_ = nullptr;
    MergePreviewModel model_;
    QWidget* pictures_ = nullptr;
    QLabel* pictureTitle_ = nullptr;
    QLabel* keptTitle_ = nullptr;
    PictureView* picture_ = nullptr;
    PictureView* kept_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* planTimer_ = nullptr;
    QListView* leftBox_ = nullptr;
    MergeLeftModel leftModel_;
    QPushButton* mergeButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
};

}  // namespace ui
