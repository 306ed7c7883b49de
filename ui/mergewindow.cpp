#include "ui/mergewindow.h"

#include <sys/stat.h>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <thread>

#include "core/paths.h"
#include "fs/folder_reader.h"
#include "fs/listing.h"
#include "ui/merge_order.h"
#include "ui/merge_picture.h"
#include "ui/messages.h"
#include "widgets/display.h"

namespace ui {

namespace {

MergeWindow::FolderChooser& folderChooser() {
    static MergeWindow::FolderChooser chooser;
    return chooser;
}

// The dialog answers in text: a folder is taken only where that text names exactly one.
std::string chooseWithDialog(QWidget* parent, const std::string& start) {
    const QString chosen = QFileDialog::getExistingDirectory(
        parent, QStringLiteral("まとめ先のフォルダ"), QFile::decodeName(start.c_str()));
    if (chosen.isEmpty()) {
        return {};
    }
    const std::optional<std::string> path = widgets::certainNativePath(chosen);
    if (!path) {
        showReport(parent, uncertainFolderNameReport(chosen));
        return {};
    }
    return *path;
}

// The subfolders of `folder` that a merge takes by default: real folders, not hidden ones, in
// display order. Links to folders are never merged.
std::vector<std::string> subfoldersOf(const std::string& folder) {
    std::vector<std::string> names;
    fs::readFolder(folder, fs::Kinds::Resolve, [&](const fs::FolderEntry& entry) {
        if (entry.kind == fs::EntryKind::Folder && !entry.name.starts_with('.')) {
            names.emplace_back(entry.name);
        }
        return true;
    });
    fs::sortForDisplay(names);
    for (std::string& name : names) {
        name = core::joinPath(folder, name);
    }
    return names;
}

// Where the windows keep what they remember between starts ($XDG_CONFIG_HOME/kovra/kovra.conf).
QSettings windowSettings() {
    return QSettings(QStringLiteral("kovra"), QStringLiteral("kovra"));
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folders to offer: those of `sources` still there, or without any the destination's
// subfolders.
std::vector<std::string> foldersToOffer(const std::string& destination,
                                        const std::vector<std::string>& sources) {
    std::vector<std::string> still;
    for (const std::string& source : sources) {
        if (isFolder(source)) {
            still.push_back(source);
        }
    }
    return still.empty() ? subfoldersOf(destination) : still;
}

// Files of the plan below each source, in one pass: the plan walks the sources in order.
std::vector<std::int64_t> filesPerSource(const fs::MergePlan& plan,
                                         const std::vector<std::string>& sources) {
    std::vector<std::int64_t> counts(sources.size());
    const auto under = [](std::string_view folder, const std::string& source) {
        return folder.starts_with(source) &&
               (folder.size() == source.size() || folder[source.size()] == '/' || source == "/");
    };
    std::size_t at = 0;
    for (std::size_t i = 0; i < plan.size() && !sources.empty(); ++i) {
        const std::string_view folder = plan.at(i).folder;
        if (!under(folder, sources[at])) {
            const auto it = std::find_if(sources.begin(), sources.end(),
                                         [&](const std::string& s) { return under(folder, s); });
            if (it == sources.end()) {
                continue;
            }
            at = static_cast<std::size_t>(it - sources.begin());
        }
        ++counts[at];
    }
    return counts;
}

}  // namespace

void MergeSourceModel::setSources(std::vector<std::string> sources) {
    beginResetModel();
    sources_ = std::move(sources);
    checked_.assign(sources_.size(), 1);
    counts_.assign(sources_.size(), -1);
    endResetModel();
}

void MergeSourceModel::setCounts(const std::vector<std::int64_t>& counts) {
    // One signal for all the rows, not one a row.
    std::size_t at = 0;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        counts_[i] = checked_[i] != 0 && at < counts.size() ? counts[at++] : counts_[i];
    }
    if (!sources_.empty()) {
        emit dataChanged(index(0), index(static_cast<int>(sources_.size()) - 1), {Qt::DisplayRole});
    }
}

std::vector<std::string> MergeSourceModel::checkedSources() const {
    std::vector<std::string> checked;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (checked_[i] != 0) {
            checked.push_back(sources_[i]);
        }
    }
    return checked;
}

int MergeSourceModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(sources_.size());
}

QVariant MergeSourceModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    if (role == Qt::CheckStateRole) {
        return checked_[row] != 0 ? Qt::Checked : Qt::Unchecked;
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    const std::string name = core::fileName(sources_[row]);
    return counts_[row] < 0 ? widgets::displayName(name) : mergeSourceText(name, counts_[row]);
}

bool MergeSourceModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole) {
        return false;
    }
    checked_[static_cast<std::size_t>(index.row())] =
        value.value<Qt::CheckState>() == Qt::Checked ? 1 : 0;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit checksChanged();
    return true;
}

Qt::ItemFlags MergeSourceModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable
                           : Qt::NoItemFlags;
}

void MergePreviewModel::setPlan(std::shared_ptr<const fs::MergePlan> plan,
                                std::vector<std::uint32_t> order) {
    beginResetModel();
    plan_ = std::move(plan);
    order_ = std::move(order);
    endResetModel();
}

std::size_t MergePreviewModel::fileAt(int row) const {
    const auto r = static_cast<std::size_t>(row);
    return r < order_.size() ? order_[r] : r;
}

int MergePreviewModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || !plan_ ? 0 : static_cast<int>(plan_->size());
}

int MergePreviewModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant MergePreviewModel::data(const QModelIndex& index, int role) const {
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || !plan_ || !index.isValid()) {
        return {};
    }
    const fs::PlannedFile file = plan_->at(fileAt(index.row()));
    switch (index.column()) {
        case 0: {
            // Below the destination (its subfolders merged into it), the path from there: the
            // folders that tell the files apart, not the ones all of them share.
            const std::string path =
                core::joinPath(std::string(file.folder), std::string(file.name));
            const std::string& destination = plan_->request().destination;
            const bool below = role == Qt::DisplayRole && destination != "/" &&
                               path.size() > destination.size() + 1 &&
                               path.starts_with(destination) && path[destination.size()] == '/';
            return widgets::displayName(below ? path.substr(destination.size() + 1) : path);
        }
        case 1:
            // Its whole path in the tooltip: the column shows the name.
            return widgets::displayName(
                role == Qt::ToolTipRole
                    ? core::joinPath(plan_->request().destination, std::string(file.newName))
                    : std::string(file.newName));
        default:
            return mergeActionText(file.action);
    }
}

QVariant MergePreviewModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal) {
        return {};
    }
    static const char* const kTitles[] = {"元の場所", "新しい名前", "処理"};
    return QString::fromUtf8(kTitles[std::clamp(section, 0, 2)]);
}

void MergeLeftModel::setFiles(std::shared_ptr<const std::vector<fs::LeftFile>> files) {
    beginResetModel();
    files_ = std::move(files);
    endResetModel();
}

int MergeLeftModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || !files_ ? 0 : static_cast<int>(files_->size());
}

QVariant MergeLeftModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !files_ || !index.isValid()) {
        return {};
    }
    return mergeLeftLine((*files_)[static_cast<std::size_t>(index.row())]);
}

// What the window shares with a planning thread.
struct MergeWindow::Planning {
    std::atomic<bool> cancelled{false};
    std::atomic<std::int64_t> files{0};
};

// What a planning thread hands the window.
struct MergeWindow::Planned {
    std::shared_ptr<const fs::MergePlan> plan;
    int error = 0;
    std::string failedPath;
    std::vector<std::int64_t> counts;  // files below each source
    std::vector<std::uint32_t> order;  // the preview's
};

MergeWindow::MergeWindow(const std::string& destination, std::vector<std::string> sources,
                         QWidget* parent)
    : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("w_merge"));
    setWindowTitle(QStringLiteral("フォルダをまとめる"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };
    destinationEdit_ = named(new QLineEdit(this), "e_dest");
    destinationEdit_->setReadOnly(true);
    browseButton_ = named(new QPushButton(QStringLiteral("参照…"), this), "b_browse");
    sourceList_ = named(new QListView(this), "List_src");
    sourceList_->setModel(&sources_);
    sourceList_->setUniformItemSizes(true);
    sourceList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // As high as the options beside it: the rest of the height is the preview's.
    sourceList_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    allBox_ = named(new QCheckBox(QStringLiteral("隠しファイルも移動する"), this), "c_all");
    keepDuplicatesBox_ =
        named(new QCheckBox(QStringLiteral("同じ内容のファイルをゴミ箱に入れずに残す"), this),
              "c_keepdup");
    numberBox_ = named(
        new QCheckBox(QStringLiteral("名前が重なるときは番号を付けて移動する"), this), "c_number");
    keepFoldersBox_ =
        named(new QCheckBox(QStringLiteral("空になったフォルダを残す"), this), "c_keepfolders");
    nameFromBox_ = named(new QComboBox(this), "c_namefrom");
    for (const fs::NameFrom from :
         {fs::NameFrom::Folder, fs::NameFrom::Source, fs::NameFrom::Path}) {
        nameFromBox_->addItem(mergeNameFromText(from), static_cast<int>(from));
    }
    dedupeBox_ = named(new QComboBox(this), "c_dedupe");
    dedupeBox_->addItem(QStringLiteral("名前が違えばどれも移動する"), int(fs::Dedupe::Off));
    dedupeBox_->addItem(QStringLiteral("最初のフォルダのものを残す"), int(fs::Dedupe::First));
    dedupeBox_->addItem(QStringLiteral("いちばん古いものを残す"), int(fs::Dedupe::Oldest));
    dedupeBox_->addItem(QStringLiteral("いちばん新しいものを残す"), int(fs::Dedupe::Newest));
    preview_ = named(new QTableView(this), "Table_preview");
    preview_->setModel(&model_);
    // A million rows: no per-row sizes, no row header.
    preview_->verticalHeader()->hide();
    preview_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    preview_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    preview_->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Tab leaves the table for the next control, as in the lists; the arrows move in it.
    preview_->setTabKeyNavigation(false);
    preview_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    preview_->setWordWrap(false);
    // Whole names: both name columns share the width, what does not fit is cut in the middle
    // (where a photo's number is at the end), and the tooltip has the whole path.
    preview_->setTextElideMode(Qt::ElideMiddle);
    preview_->horizontalHeader()->setStretchLastSection(false);
    preview_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    preview_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    preview_->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Fixed);
    int actionWidth = 0;
    for (std::size_t a = 0; a < fs::kMergeActions; ++a) {
        actionWidth = std::max(actionWidth, preview_->fontMetrics().horizontalAdvance(
                                                mergeActionText(static_cast<fs::MergeAction>(a))));
    }
    preview_->setColumnWidth(2, actionWidth + 2 * preview_->fontMetrics().averageCharWidth() + 8);
    // The selected file as a picture, and the copy kept beside it for a duplicate.
    pictures_ = new QWidget(this);
    picture_ = named(new PictureView(pictures_), "p_picture");
    kept_ = named(new PictureView(pictures_), "p_kept");
    pictureTitle_ = new QLabel(pictureThisFileTitle(), pictures_);
    keptTitle_ = new QLabel(pictureKeptCopyTitle(), pictures_);
    picture_->setAccessibleName(pictureThisFileTitle());
    kept_->setAccessibleName(pictureKeptCopyTitle());
    {
        auto* grid = new QGridLayout(pictures_);
        grid->setContentsMargins(0, 0, 0, 0);
        grid->addWidget(pictureTitle_, 0, 0);
        grid->addWidget(keptTitle_, 0, 1);
        grid->addWidget(picture_, 1, 0);
        grid->addWidget(kept_, 1, 1);
        grid->setColumnStretch(0, 1);
        grid->setColumnStretch(1, 1);
    }
    pictures_->hide();
    status_ = named(new QLabel(this), "l_status");
    status_->setWordWrap(true);
    leftBox_ = named(new QListView(this), "t_left");
    leftBox_->setModel(&leftModel_);
    // However many were left: rows of one height, laid out without asking each.
    leftBox_->setUniformItemSizes(true);
    leftBox_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    leftBox_->setMaximumHeight(120);
    leftBox_->hide();
    mergeButton_ = named(new QPushButton(QStringLiteral("まとめる"), this), "b_merge");
    closeButton_ = named(new QPushButton(QStringLiteral("閉じる"), this), "b_close");

    // Each field is named by its label, each list by what it lists.
    auto* destinationLabel = new QLabel(QStringLiteral("まとめ先："), this);
    destinationLabel->setBuddy(destinationEdit_);
    destinationEdit_->setAccessibleName(QStringLiteral("まとめ先"));
    auto* sourcesLabel = new QLabel(QStringLiteral("まとめるフォルダ："), this);
    sourcesLabel->setBuddy(sourceList_);
    sourceList_->setAccessibleName(QStringLiteral("まとめるフォルダ"));
    sourceList_->setAccessibleDescription(
        QStringLiteral("チェックしたフォルダのファイルをまとめ先に移動します"));
    auto* nameFromLabel = new QLabel(QStringLiteral("名前に付けるフォルダ："), this);
    nameFromLabel->setBuddy(nameFromBox_);
    nameFromBox_->setAccessibleName(QStringLiteral("名前に付けるフォルダ"));
    nameFromBox_->setAccessibleDescription(
        QStringLiteral("移動したファイルの名前の前に付けるフォルダの名前"));
    auto* dedupeLabel = new QLabel(QStringLiteral("名前の違う同じ内容のファイル："), this);
    dedupeLabel->setBuddy(dedupeBox_);
    dedupeBox_->setAccessibleName(QStringLiteral("名前の違う同じ内容のファイル"));
    dedupeBox_->setAccessibleDescription(QStringLiteral(
        "同じ内容のファイルを一つだけ残し、ほかをゴミ箱に入れます。まとめ先にあるものは残します"));
    preview_->setAccessibleName(QStringLiteral("ファイルごとの処理"));
    preview_->setAccessibleDescription(
        QStringLiteral("まとめるときに各ファイルがどうなるか：元の場所、新しい名前、処理"));
    // Read by its text, what the plan or the merge says.
    status_->setAccessibleDescription(QStringLiteral("状態"));
    leftBox_->setAccessibleName(QStringLiteral("移動しなかったファイル"));
    leftBox_->setAccessibleDescription(QStringLiteral("元の場所に残したファイルと、その理由"));

    auto* top = new QHBoxLayout;
    top->addWidget(destinationLabel);
    top->addWidget(destinationEdit_, 1);
    top->addWidget(browseButton_);
    auto* options = new QVBoxLayout;
    for (QCheckBox* box : {allBox_, keepDuplicatesBox_, numberBox_, keepFoldersBox_}) {
        options->addWidget(box);
        connect(box, &QCheckBox::toggled, this, &MergeWindow::replan);
    }
    options->addWidget(nameFromLabel);
    options->addWidget(nameFromBox_);
    connect(nameFromBox_, &QComboBox::currentIndexChanged, this, &MergeWindow::replan);
    options->addWidget(dedupeLabel);
    options->addWidget(dedupeBox_);
    connect(dedupeBox_, &QComboBox::currentIndexChanged, this, &MergeWindow::replan);
    options->addStretch();
    auto* middle = new QHBoxLayout;
    middle->addWidget(sourceList_, 1);
    middle->addLayout(options);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(mergeButton_);
    buttons->addWidget(closeButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(sourcesLabel);
    layout->addLayout(middle);
    // The pictures under the preview, the line between them the user's to move.
    auto* split = new QSplitter(Qt::Vertical, this);
    split->setChildrenCollapsible(false);
    split->addWidget(preview_);
    split->addWidget(pictures_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    layout->addWidget(split, 1);
    layout->addWidget(status_);
    layout->addWidget(leftBox_);
    layout->addLayout(buttons);
    // The size the window had when it was last closed.
    const QSize kept = windowSettings().value(QStringLiteral("MergeWindow/size")).toSize();
    resize(kept.isValid() ? kept.expandedTo(minimumSizeHint()) : QSize(860, 720));

    // The count of files looked at so far, while a plan is made.
    planTimer_ = new QTimer(this);
    planTimer_->setInterval(200);
    connect(planTimer_, &QTimer::timeout, this, [this] {
        if (planning_) {
            status_->setText(mergePlanningStatus(planning_->files));
        }
    });
    connect(&sources_, &MergeSourceModel::checksChanged, this, [this] {
        if (!running_) {
            replan();
        }
    });
    connect(preview_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { showPictures(current.row()); });
    connect(&model_, &QAbstractItemModel::modelReset, this, [this] { showPictures(-1); });
    connect(browseButton_, &QPushButton::clicked, this, &MergeWindow::chooseDestination);
    connect(mergeButton_, &QPushButton::clicked, this, &MergeWindow::runMerge);
    connect(closeButton_, &QPushButton::clicked, this, &QWidget::close);
    setDestination(destination, std::move(sources));
}

MergeWindow::~MergeWindow() {
    if (planning_) {
        planning_->cancelled = true;
    }
}

void MergeWindow::closeEvent(QCloseEvent* event) {
    windowSettings().setValue(QStringLiteral("MergeWindow/size"), size());
    QWidget::closeEvent(event);
}

void MergeWindow::setFolderChooser(FolderChooser chooser) {
    folderChooser() = std::move(chooser);
}

bool MergeWindow::planReady() const {
    return !planning_ && model_.plan() != nullptr;
}

void MergeWindow::chooseDestination() {
    const FolderChooser& chooser = folderChooser();
    const std::string chosen =
        chooser ? chooser(this, destination_) : chooseWithDialog(this, destination_);
    if (!chosen.empty() && chosen != destination_) {
        setDestination(chosen, {});
    }
}

void MergeWindow::setDestination(const std::string& destination, std::vector<std::string> sources) {
    destination_ = core::normalizeFolder(destination);
    destinationEdit_->setText(widgets::displayName(destination_));
    // Nothing to plan until the folders are known.
    if (planning_) {
        planning_->cancelled = true;
        planning_.reset();
    }
    planTimer_->stop();
    ++generation_;
    plan_.reset();
    model_.setPlan(nullptr);
    sources_.setSources({});
    status_->setText(QStringLiteral("フォルダを読んでいます…"));
    updateButtons();
    const std::uint64_t generation = ++sourcesGeneration_;
    sourcesReady_ = false;
    QPointer<MergeWindow> self(this);
    std::thread([self, generation, destination = destination_, sources = std::move(sources)] {
        auto found = std::make_shared<std::vector<std::string>>(
            sources.empty() ? subfoldersOf(destination) : foldersToOffer(destination, sources));
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, found] {
                if (self) {
                    self->showSources(generation, std::move(*found));
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

void MergeWindow::showSources(std::uint64_t generation, std::vector<std::string> sources) {
    if (generation != sourcesGeneration_) {
        return;  // another destination was chosen meanwhile
    }
    sourcesReady_ = true;
    sources_.setSources(std::move(sources));
    replan();
}

fs::MergeRequest MergeWindow::request() const {
    fs::MergeRequest request;
    request.sources = sources_.checkedSources();
    request.destination = destination_;
    request.all = allBox_->isChecked();
    request.keepDuplicates = keepDuplicatesBox_->isChecked();
    request.number = numberBox_->isChecked();
    request.keepFolders = keepFoldersBox_->isChecked();
    request.nameFrom = static_cast<fs::NameFrom>(nameFromBox_->currentData().toInt());
    request.dedupe = static_cast<fs::Dedupe>(dedupeBox_->currentData().toInt());
    return request;
}

void MergeWindow::replan() {
    if (planning_) {
        planning_->cancelled = true;
        planning_.reset();
    }
    planTimer_->stop();
    const std::uint64_t generation = ++generation_;
    plan_.reset();
    model_.setPlan(nullptr);
    fs::MergeRequest request = this->request();
    if (request.sources.empty()) {
        status_->setText(QStringLiteral("まとめるフォルダがありません。"));
        updateButtons();
        return;
    }
    auto planning = std::make_shared<Planning>();
    planning_ = planning;
    status_->setText(mergePlanningStatus(0));
    planTimer_->start();
    updateButtons();

    // On a thread of its own: a large tree, or a drive that does not answer, never holds the
    // window. A plan dropped meanwhile is thrown away when it comes.
    QPointer<MergeWindow> self(this);
    std::thread([planning, request = std::move(request), self, generation] {
        auto plan = std::make_shared<fs::MergePlan>();
        fs::PlanControl control;
        control.chunk = [&planning](const fs::MergePlan& p, std::size_t) {
            planning->files = static_cast<std::int64_t>(p.size());
            return !planning->cancelled;
        };
        auto done = std::make_shared<Planned>();
        done->error = fs::planMerge(request, *plan, control, &done->failedPath);
        if (planning->cancelled) {
            return;
        }
        if (done->error == 0) {
            done->counts = filesPerSource(*plan, request.sources);
            done->order = previewOrder(*plan);
            done->plan = std::move(plan);
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, done] {
                if (self) {
                    self->planned(generation, done);
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

void MergeWindow::planned(std::uint64_t generation, std::shared_ptr<Planned> done) {
    if (generation != generation_) {
        return;
    }
    sources_.setCounts(done->counts);
    planning_.reset();
    planTimer_->stop();
    if (done->error != 0) {
        status_->setText(mergePlanFailedStatus(done->failedPath, done->error));
    } else {
        plan_ = done->plan;
        model_.setPlan(plan_, std::move(done->order));
        status_->setText(mergePlanSummary(*plan_));
    }
    updateButtons();
}

std::string MergeWindow::keptCopyOf(std::size_t file) const {
    const fs::PlannedFile planned = plan_->at(file);
    if (planned.action != fs::MergeAction::TrashDuplicate &&
        planned.action != fs::MergeAction::LeaveDuplicate) {
        return {};
    }
    if (const std::string_view kept = plan_->keptCopyOf(file); !kept.empty()) {
        return std::string(kept);
    }
    // Its new name's holder: there already, or a file moved there before it.
    const std::string there =
        core::joinPath(plan_->request().destination, std::string(planned.newName));
    struct stat st {};
    if (::lstat(there.c_str(), &st) == 0) {
        return there;
    }
    for (std::size_t i = 0; i < file; ++i) {
        const fs::PlannedFile other = plan_->at(i);
        if (other.newName == planned.newName && (other.action == fs::MergeAction::Move ||
                                                 other.action == fs::MergeAction::MoveNumbered)) {
            return core::joinPath(std::string(other.folder), std::string(other.name));
        }
    }
    return {};
}

void MergeWindow::showPictures(int row) {
    if (row < 0 || !plan_ || row >= model_.rowCount()) {
        pictures_->hide();
        picture_->showFile({});
        kept_->showFile({});
        return;
    }
    const std::size_t file = model_.fileAt(row);
    const fs::PlannedFile planned = plan_->at(file);
    const std::string kept = keptCopyOf(file);
    picture_->showFile(core::joinPath(std::string(planned.folder), std::string(planned.name)));
    kept_->showFile(kept);
    kept_->setVisible(!kept.empty());
    keptTitle_->setVisible(!kept.empty());
    pictures_->show();
}

void MergeWindow::updateButtons() {
    mergeButton_->setEnabled(!running_ && planReady() && plan_ && plan_->acting() > 0);
    browseButton_->setEnabled(!running_);
    sourceList_->setEnabled(!running_);
    for (QCheckBox* box : {allBox_, keepDuplicatesBox_, numberBox_, keepFoldersBox_}) {
        box->setEnabled(!running_);
    }
    nameFromBox_->setEnabled(!running_);
    dedupeBox_->setEnabled(!running_);
}

void MergeWindow::runMerge() {
    if (running_ || !planReady() || !plan_) {
        return;
    }
    running_ = true;
    updateButtons();
    leftModel_.setFiles(nullptr);
    leftBox_->hide();
    const std::shared_ptr<const fs::MergePlan> plan = plan_;
    fs::MergeResult result;
    {
        RunProgress progress(this, progressTiming_, {}, mergeProgressText);
        runOnWorker(progress, progressTiming_, [&](const WorkerProgress& report) {
            fs::MergeRunControl control;
            control.progress = report;
            result = fs::runMerge(*plan, control);
        });
        progress.finish();
    }
    running_ = false;
    if (!result.leftFiles.empty()) {
        // Lines made only for the rows shown: a merge may leave a million files.
        leftModel_.setFiles(
            std::make_shared<const std::vector<fs::LeftFile>>(std::move(result.leftFiles)));
        leftBox_->show();
    }
    const QString report = mergeReport(result);
    switch (mergeReportKind(result)) {
        case ReportKind::Information:
            showInformation(this, report);
            break;
        case ReportKind::Warning:
            showWarning(this, report);
            break;
        case ReportKind::Error:
            showReport(this, report);
            break;
    }
    // Told at the next turn of the event loop: what the main window then does (its lists read
    // again) comes after this window's own, not in one stretch with it.
    QMetaObject::invokeMethod(
        this,
        [this, destination = destination_, journal = result.journal] {
            emit merged(destination, journal);
        },
        Qt::QueuedConnection);
    // The folders emptied are gone: offer what is left, planned afresh.
    setDestination(destination_, sources_.sources());
}

}  // namespace ui
