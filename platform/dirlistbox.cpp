#include "platform/dirlistbox.h"

#include <QKeyEvent>
#include <QStyle>
#include <QStyledItemDelegate>

#include "core/naming.h"
#include "platform/display.h"
#include "platform/error_report.h"
#include "platform/fs.h"

namespace platform {

namespace {

// Whether `path` is `root` or lies below it.
bool isUnder(const std::string& path, const std::string& root) {
    if (root == "/") {
        return !path.empty() && path.front() == '/';
    }
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            path[root.size()] == '/');
}

// Draws each row moved right by its level, so the chain reads as a tree.
class IndentDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem shifted = option;
        shifted.rect.setLeft(option.rect.left() + indent(option, index));
        QStyledItemDelegate::paint(painter, shifted, index);
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QStyledItemDelegate::sizeHint(option, index) + QSize(indent(option, index), 0);
    }

private:
    static int indent(const QStyleOptionViewItem& option, const QModelIndex& index) {
        const int step = option.fontMetrics.height() * 2 / 3;
        return index.data(DirListModel::LevelRole).toInt() * step;
    }
};

}  // namespace

void DirListModel::setRows(std::vector<Row> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void DirListModel::setIcons(QIcon openIcon, QIcon closedIcon) {
    openIcon_ = std::move(openIcon);
    closedIcon_ = std::move(closedIcon);
}

int DirListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant DirListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= rows_.size()) {
        return {};
    }
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return displayName(row.name);
        case Qt::DecorationRole:
            return row.open ? openIcon_ : closedIcon_;
        case LevelRole:
            return row.level;
        default:
            return {};
    }
}

DirListBox::DirListBox(QWidget* parent) : QListView(parent) {
    model_.setIcons(style()->standardIcon(QStyle::SP_DirOpenIcon),
                    style()->standardIcon(QStyle::SP_DirClosedIcon));
    setModel(&model_);
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(true);
    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { openRow(index.row()); });
}

void DirListBox::setDriveRoots(const std::vector<std::string>& roots) {
    currentFolders_.clear();
    for (const std::string& root : roots) {
        currentFolders_[root] = root;
    }
    if (!path_.empty()) {
        root_ = driveRootOf(path_);
        if (currentFolders_.count(root_) != 0) {
            currentFolders_[root_] = path_;
        }
    }
}

std::string DirListBox::driveRootOf(const std::string& path) const {
    std::string best;
    for (const auto& [root, folder] : currentFolders_) {
        if (isUnder(path, root) && root.size() > best.size()) {
            best = root;
        }
    }
    return best.empty() ? std::string("/") : best;
}

std::string DirListBox::CurrentFolder(const std::string& root) const {
    const auto it = currentFolders_.find(root);
    return it == currentFolders_.end() ? root : it->second;
}

int DirListBox::SetPath(const std::string& path) {
    const std::string folder = normalizeFolder(path);
    // Staying on the drive the list is on, even where another drive is mounted below it.
    return open(folder, !root_.empty() && isUnder(folder, root_) ? root_ : driveRootOf(folder));
}

int DirListBox::OpenDrive(const std::string& root) {
    const std::string drive = normalizeFolder(root);
    const std::string current = CurrentFolder(drive);
    const int err = open(current, drive);
    // The drive's current folder may have gone meanwhile; its root is the next best thing.
    if (err != 0 && current != drive) {
        return open(drive, drive);
    }
    return err;
}

int DirListBox::open(const std::string& path, const std::string& root) {
    int err = 0;
    std::vector<std::string> subfolders = listFolders(path, err);
    if (err != 0) {
        return err;
    }
    std::vector<DirListModel::Row> rows;
    rows.push_back({root, root, 0, true});
    // The chain below the root, one folder per level.
    std::size_t start = root == "/" ? 1 : root.size() + 1;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            rows.push_back({path.substr(start, end - start), path.substr(0, end),
                            rows.back().level + 1, true});
        }
        start = end + 1;
    }
    const int openRow = static_cast<int>(rows.size()) - 1;
    const int childLevel = rows.back().level + 1;
    rows.reserve(rows.size() + subfolders.size());
    for (std::string& name : subfolders) {
        std::string full = core::joinPath(path, name);
        rows.push_back({std::move(name), std::move(full), childLevel, false});
    }

    path_ = path;
    root_ = root;
    if (currentFolders_.count(root_) != 0) {
        currentFolders_[root_] = path_;
    }
    model_.setRows(std::move(rows));
    const QModelIndex openIndex = model_.index(openRow, 0);
    setCurrentIndex(openIndex);
    scrollTo(openIndex);
    emit Change();
    return 0;
}

void DirListBox::openRow(int row) {
    if (row < 0 || row >= ListCount()) {
        return;
    }
    const std::string target = List(row);
    const int err = open(target, root_);
    if (err != 0) {
        reportFolderError(this, target, err);
    }
}

int DirListBox::ListCount() const {
    return static_cast<int>(model_.rows().size());
}

const std::string& DirListBox::List(int i) const {
    return model_.rows()[static_cast<std::size_t>(i)].path;
}

int DirListBox::ListIndex() const {
    int index = -1;
    for (const DirListModel::Row& row : model_.rows()) {
        if (!row.open) {
            break;
        }
        ++index;
    }
    return index;
}

void DirListBox::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        openRow(currentIndex().row());
        return;
    }
    QListView::keyPressEvent(event);
}

}  // namespace platform
