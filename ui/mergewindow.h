#pragma once

#include <QAbstractTableModel>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fs/merge.h"
#include "ui/run_progress.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;

namespace ui {

// Every file of a plan, one row each: where it lies, its new name, what happens to it. Rows are
// made only for what is painted, so a plan of a million files costs the plan and little more.
class MergePreviewModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setPlan(std::shared_ptr<const fs::MergePlan> plan);
    const fs::MergePlan* plan() const { return plan_.get(); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    std::shared_ptr<const fs::MergePlan> plan_;
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

signals:
    // A merge has run (whatever its end); `journal` is its record for undo, empty without one.
    void merged(const std::string& destination, const std::string& journal);

private:
    void chooseDestination();
    void setDestination(const std::string& destination, std::vector<std::string> sources);
    // Plans again from what is checked now, dropping a plan under way.
    void replan();
    void planned(std::uint64_t generation, std::shared_ptr<fs::MergePlan> plan, int error,
                 const std::string& failedPath);
    void showCounts(const std::vector<std::string>& sources,
                    const std::vector<std::int64_t>& counts);
    fs::MergeRequest request() const;
    void runMerge();
    void updateButtons();

    struct Planning;
    std::string destination_;
    std::vector<std::string> sources_;
    std::shared_ptr<Planning> planning_;
    std::shared_ptr<const fs::MergePlan> plan_;  // what the preview shows
    std::uint64_t generation_ = 0;
    bool running_ = false;
    ProgressTiming progressTiming_;

    QLineEdit* destinationEdit_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QListWidget* sourceList_ = nullptr;
    QCheckBox* allBox_ = nullptr;
    QCheckBox* keepDuplicatesBox_ = nullptr;
    QCheckBox* numberBox_ = nullptr;
    QCheckBox* keepFoldersBox_ = nullptr;
    QTableView* preview_ = nullptr;
    MergePreviewModel model_;
    QLabel* status_ = nullptr;
    QTimer* planTimer_ = nullptr;
    QPlainTextEdit* leftBox_ = nullptr;
    QPushButton* mergeButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
};

}  // namespace ui
