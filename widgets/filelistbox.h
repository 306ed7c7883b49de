#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <cstdint>
#include <string>
#include <vector>

#include "core/rename_run.h"

namespace widgets {

// The entries of one folder, by native name. Display strings are made only for the rows that
// are painted, so a folder of a million files costs its names and little more.
class FileListModel : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    void setNames(std::vector<std::string> names);
    const std::vector<std::string>& names() const { return names_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::vector<std::string> names_;
};

// The file list box: the files of the folder `Path`, in display order, with extended selection.
class FileListBox : public QListView, public core::FileList {
    Q_OBJECT
public:
    explicit FileListBox(QWidget* parent = nullptr);

    const std::string& path() const override { return path_; }
    // Lists `path`. Returns 0, or the errno of a folder that cannot be read (nothing changes).
    int setPath(const std::string& path);

    std::int64_t count() const override;
    const std::string& at(std::int64_t i) const override;
    bool isSelected(std::int64_t i) const;
    void setSelected(std::int64_t i, bool selected);
    // Selects every entry as one range.
    void selectAllFiles();
    // Selects the entries with these names, in one selection change; returns how many were found.
    std::int64_t selectNames(const std::vector<std::string>& names);
    std::vector<core::SelectionRange> selectedRanges() const override;
    // Reads the folder again; nothing is selected afterwards.
    void refresh() override;

private:
    QModelIndex indexAt(std::int64_t i) const;

    FileListModel model_;
    std::string path_;
};

}  // namespace widgets
