#include "widgets/folderlistbox.h"

#include <QEventLoop>
#include <QKeyEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

#include "core/paths.h"
#include "fs/deadline.h"
#include "fs/listing.h"
#include "widgets/display.h"

namespace widgets {

namespace {

// How long a small folder may take before the window lets events through while it waits.
constexpr std::chrono::milliseconds kQuickList{20};
// A folder with more entries than this shows its chain at once and its subfolders once read.
constexpr std::int64_t kLargeFolder = 2048;

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

    // The list asks one row only (uniform sizes): every row is made as wide as the widest, which
    // the list measures at each layout, so that it scrolls sideways only when a row does not fit.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(std::max(widest, rowRight(option, index)),
                     QStyledItemDelegate::sizeHint(option, index).height());
    }

    int widest = 0;

    static int step(const QStyleOptionViewItem& option) {
        return option.fontMetrics.height() * 2 / 3;
    }
    static int indent(const QStyleOptionViewItem& option, const QModelIndex& index) {
        return index.data(FolderListModel::LevelRole).toInt() * step(option);
    }
    // Where the row's name ends.
    int rowRight(const QStyleOptionViewItem& option, const QModelIndex& index) const {
        return indent(option, index) + QStyledItemDelegate::sizeHint(option, index).width();
    }
};

}  // namespace

void FolderListModel::setRows(std::vector<Row> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void FolderListModel::setIcons(QIcon openIcon, QIcon closedIcon) {
    openIcon_ = std::move(openIcon);
    closedIcon_ = std::move(closedIcon);
}

int FolderListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant FolderListModel::data(const QModelIndex& index, int role) const {
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
        case OpenRole:
            return row.open;
        default:
            return {};
    }
}

FolderListBox::FolderListBox(QWidget* parent) : QListView(parent) {
    model_.setIcons(style()->standardIcon(QStyle::SP_DirOpenIcon),
                    style()->standardIcon(QStyle::SP_DirClosedIcon));
    setModel(&model_);
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(true);
    connect(&subfolderTimer_, &QTimer::timeout, this, &FolderListBox::addSubfolders);
    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { openRow(index.row()); });
}

void FolderListBox::setDriveRoots(const std::vector<std::string>& roots) {
    // A drive still there keeps its current folder; a new one starts at its root.
    std::map<std::string, std::string> previous = std::move(currentFolders_);
    currentFolders_.clear();
    for (const std::string& root : roots) {
        const auto it = previous.find(root);
        currentFolders_[root] = it != previous.end() ? it->second : root;
    }
    if (!path_.empty()) {
        root_ = driveRootOf(path_);
        if (currentFolders_.count(root_) != 0) {
            currentFolders_[root_] = path_;
        }
    }
}

std::string FolderListBox::driveRootOf(const std::string& path) const {
    std::string best;
    for (const auto& [root, folder] : currentFolders_) {
        if (core::isUnder(path, root) && root.size() > best.size()) {
            best = root;
        }
    }
    return best.empty() ? std::string("/") : best;
}

std::string FolderListBox::currentFolderOf(const std::string& root) const {
    const auto it = currentFolders_.find(root);
    return it == currentFolders_.end() ? root : it->second;
}

int FolderListBox::setPath(const std::string& path) {
    const std::string folder = core::normalizeFolder(path);
    // Staying on the drive the list is on, even where another drive is mounted below it.
    return open(folder,
                !root_.empty() && core::isUnder(folder, root_) ? root_ : driveRootOf(folder));
}

int FolderListBox::openDrive(const std::string& root) {
    const std::string drive = core::normalizeFolder(root);
    const std::string current = currentFolderOf(drive);
    const int err = open(current, drive);
    // The drive's current folder may have gone meanwhile; its root is the next best thing.
    if (err != 0 && current != drive) {
        return open(drive, drive);
    }
    return err;
}

int FolderListBox::open(const std::string& path, const std::string& root) {
    // The subfolders are listed on a worker thread. The window keeps repainting while it waits
    // (input waits its turn); a drive that has not answered within the deadline gives ETIMEDOUT
    // and its late answer is dropped. A small folder is listed before open returns; a large one
    // opens once its listing is under way, and its subfolders are added when it ends.
    // The files are read in the same pass, for the file list.
    auto scan = std::make_shared<fs::FolderScan>();
    const Listing pending = fs::startCall([path, scan] {
        scan->run(path);
        return scan;
    });
    if (!pending.valid()) {
        return ETIMEDOUT;
    }
    const auto under_way = [&] { return pending.ready() || scan->entriesRead > kLargeFolder; };
    if (!pending.wait_for(kQuickList) && !under_way()) {
        QEventLoop loop;
        QTimer poll;
        const auto giveUp = std::chrono::steady_clock::now() + answerDeadline_ - kQuickList;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (under_way() || std::chrono::steady_clock::now() >= giveUp) {
                loop.quit();
            }
        });
        poll.start(5);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        if (!under_way()) {
            return ETIMEDOUT;
        }
    }
    fs::Listing subfolders;
    const bool listed = pending.ready();
    if (listed) {
        subfolders = pending.get()->takeFolders();
        if (subfolders.error != 0) {
            return subfolders.error;
        }
    }
    subfolders_ = listed ? Listing() : pending;
    // A small folder read already is read again by the file list, as quickly.
    reading_ = listed ? nullptr : scan;
    subfolderTimer_.stop();
    std::vector<FolderListModel::Row> rows;
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
    rows.reserve(rows.size() + subfolders.names.size());
    for (std::string& name : subfolders.names) {
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
    revealOpenRow_ = true;
    if (subfolders_.valid()) {
        subfolderTimer_.start(15);
    }
    emit folderChanged();
    return 0;
}

void FolderListBox::addSubfolders() {
    if (!subfolders_.valid() || !subfolders_.ready()) {
        return;
    }
    subfolderTimer_.stop();
    fs::Listing listing = subfolders_.get()->takeFolders();
    subfolders_ = Listing();
    reading_.reset();
    // A folder that fails half way shows its chain alone, as a folder without subfolders.
    if (listing.error != 0 || listing.names.empty()) {
        return;
    }
    std::vector<FolderListModel::Row> rows = model_.rows();
    const int openRowIndex = openRow();
    const int childLevel = rows[static_cast<std::size_t>(openRowIndex)].level + 1;
    rows.reserve(rows.size() + listing.names.size());
    for (std::string& name : listing.names) {
        std::string full = core::joinPath(path_, name);
        rows.push_back({std::move(name), std::move(full), childLevel, false});
    }
    const int current = currentIndex().row();
    model_.setRows(std::move(rows));
    setCurrentIndex(model_.index(current, 0));
}

void FolderListBox::openRow(int row) {
    if (row < 0 || row >= count()) {
        return;
    }
    const std::string target = at(row);
    const int err = open(target, root_);
    if (err != 0) {
        emit openFailed(target, err);
        // The highlight goes back to the folder that is open, which the file list still shows.
        setCurrentIndex(model_.index(openRow(), 0));
    }
}

int FolderListBox::count() const {
    return static_cast<int>(model_.rows().size());
}

const std::string& FolderListBox::at(int i) const {
    return model_.rows()[static_cast<std::size_t>(i)].path;
}

int FolderListBox::openRow() const {
    int index = -1;
    for (const FolderListModel::Row& row : model_.rows()) {
        if (!row.open) {
            break;
        }
        ++index;
    }
    return index;
}

void FolderListBox::doItemsLayout() {
    // The subfolders share one level: of them, only the longest name is measured as a row.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    auto* delegate = static_cast<IndentDelegate*>(itemDelegate());
    int widest = 0;
    int longest = -1;
    int longestWidth = -1;
    int row = 0;
    for (const FolderListModel::Row& r : model_.rows()) {
        if (r.open) {
            widest = std::max(widest, delegate->rowRight(option, model_.index(row, 0)));
        } else if (const int width = option.fontMetrics.horizontalAdvance(displayName(r.name));
                   width > longestWidth) {
            longest = row;
            longestWidth = width;
        }
        ++row;
    }
    if (longest >= 0) {
        widest = std::max(widest, delegate->rowRight(option, model_.index(longest, 0)));
    }
    delegate->widest = widest;
    QListView::doItemsLayout();
}

void FolderListBox::updateGeometries() {
    QListView::updateGeometries();
    if (!revealOpenRow_ || count() == 0) {
        return;
    }
    // Sideways to the open folder once the list has its size: deep down, its row lies past the
    // right edge. Two levels above it stay in view for orientation.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QModelIndex index = model_.index(openRow(), 0);
    const auto* delegate = static_cast<const IndentDelegate*>(itemDelegate());
    const int right = delegate->rowRight(option, index);
    const int wanted = right <= viewport()->width() ? 0
                                                    : IndentDelegate::indent(option, index) -
                                                          2 * IndentDelegate::step(option);
    horizontalScrollBar()->setValue(std::clamp(wanted, 0, horizontalScrollBar()->maximum()));
    if (isVisible()) {
        revealOpenRow_ = false;
    }
}

void FolderListBox::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        openRow(currentIndex().row());
        return;
    }
    QListView::keyPressEvent(event);
}

}  // namespace widgets
