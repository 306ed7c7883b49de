#include "widgets/filelistbox.h"

#include <QItemSelectionModel>
#include <algorithm>

#include "widgets/display.h"
#include "fs/listing.h"

namespace widgets {

void FileListModel::setNames(std::vector<std::string> names) {
    beginResetModel();
    names_ = std::move(names);
    endResetModel();
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(names_.size());
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() ||
        static_cast<std::size_t>(index.row()) >= names_.size()) {
        return {};
    }
    return displayName(names_[static_cast<std::size_t>(index.row())]);
}

FileListBox::FileListBox(QWidget* parent) : QListView(parent) {
    setModel(&model_);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

int FileListBox::setPath(const std::string& path) {
    fs::Listing listing = fs::listFiles(path);
    if (listing.error != 0) {
        return listing.error;
    }
    path_ = path;
    model_.setNames(std::move(listing.names));
    return 0;
}

void FileListBox::refresh() {
    // A folder that has gone since it was listed shows as empty.
    model_.setNames(fs::listFiles(path_).names);
}

std::int64_t FileListBox::count() const {
    return static_cast<std::int64_t>(model_.names().size());
}

const std::string& FileListBox::at(std::int64_t i) const {
    return model_.names()[static_cast<std::size_t>(i)];
}

QModelIndex FileListBox::indexAt(std::int64_t i) const {
    return model_.index(static_cast<int>(i), 0);
}

bool FileListBox::isSelected(std::int64_t i) const {
    return selectionModel()->isSelected(indexAt(i));
}

void FileListBox::setSelected(std::int64_t i, bool selected) {
    selectionModel()->select(
        indexAt(i), selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
}

void FileListBox::selectAllFiles() {
    const std::int64_t entries = count();
    if (entries == 0) {
        return;
    }
    selectionModel()->select(QItemSelection(indexAt(0), indexAt(entries - 1)),
                             QItemSelectionModel::Select);
}

std::int64_t FileListBox::selectNames(const std::vector<std::string>& names) {
    // The list is in display order, so each name is found by binary search.
    const std::vector<std::string>& listed = model_.names();
    QItemSelection selection;
    std::int64_t found = 0;
    for (const std::string& name : names) {
        const auto it = std::lower_bound(listed.begin(), listed.end(), name, fs::displayLess);
        if (it != listed.end() && *it == name) {
            const QModelIndex index = indexAt(it - listed.begin());
            selection.select(index, index);
            ++found;
        }
    }
    selectionModel()->select(selection, QItemSelectionModel::Select);
    return found;
}

std::vector<core::SelectionRange> FileListBox::selectedRanges() const {
    // The selection model keeps ranges as they were made: possibly overlapping, in any order.
    std::vector<core::SelectionRange> ranges;
    const QItemSelection selection = selectionModel()->selection();
    ranges.reserve(static_cast<std::size_t>(selection.size()));
    for (const QItemSelectionRange& range : selection) {
        if (range.isValid()) {
            ranges.push_back({range.top(), range.bottom()});
        }
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<core::SelectionRange> merged;
    for (const core::SelectionRange& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().last + 1) {
            merged.back().last = std::max(merged.back().last, range.last);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

}  // namespace widgets
