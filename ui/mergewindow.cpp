#include "ui/mergewindow.h"

#include <sys/stat.h>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <thread>

#include "core/paths.h"
#include "fs/folder_reader.h"
#include "fs/listing.h"
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

void MergePreviewModel::setPlan(std::shared_ptr<const fs::MergePlan> plan) {
    beginResetModel();
    plan_ = std::move(plan);
    endResetModel();
}

int MergePreviewModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || !plan_ ? 0 : static_cast<int>(plan_->size());
}

int MergePreviewModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant MergePreviewModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !plan_ || !index.isValid()) {
        return {};
    }
    const fs::PlannedFile file = plan_->at(static_cast<std::size_t>(index.row()));
    switch (index.column()) {
        case 0:
            return widgets::displayName(
                core::joinPath(std::string(file.folder), std::string(file.name)));
        case 1:
            return widgets::displayName(std::string(file.newName));
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
    allBox_ = named(new QCheckBox(QStringLiteral("隠しファイルも移動する"), this), "c_all");
    keepDuplicatesBox_ =
        named(new QCheckBox(QStringLiteral("同じ内容のファイルをゴミ箱に入れずに残す"), this),
              "c_keepdup");
    numberBox_ = named(
        new QCheckBox(QStringLiteral("名前が重なるときは番号を付けて移動する"), this), "c_number");
    keepFoldersBox_ =
        named(new QCheckBox(QStringLiteral("空になったフォルダを残す"), this), "c_keepfolders");
    preview_ = named(new QTableView(this), "Table_preview");
    preview_->setModel(&model_);
    // A million rows: no per-row sizes, no row header.
    preview_->verticalHeader()->hide();
    preview_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    preview_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    preview_->horizontalHeader()->setStretchLastSection(true);
    preview_->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Tab leaves the table for the next control, as in the lists; the arrows move in it.
    preview_->setTabKeyNavigation(false);
    preview_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    preview_->setWordWrap(false);
    preview_->setColumnWidth(0, 320);
    preview_->setColumnWidth(1, 220);
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
    layout->addWidget(preview_, 3);
    layout->addWidget(status_);
    layout->addWidget(leftBox_);
    layout->addLayout(buttons);
    resize(780, 600);

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
        std::string failed;
        const int error = fs::planMerge(request, *plan, control, &failed);
        if (planning->cancelled) {
            return;
        }
        auto counts = std::make_shared<std::vector<std::int64_t>>(
            error == 0 ? filesPerSource(*plan, request.sources) : std::vector<std::int64_t>{});
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, plan, error, failed, counts] {
                if (self) {
                    self->planned(generation, plan, error, failed, *counts);
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

void MergeWindow::planned(std::uint64_t generation, std::shared_ptr<fs::MergePlan> plan, int error,
                          const std::string& failedPath, const std::vector<std::int64_t>& counts) {
    if (generation != generation_) {
        return;
    }
    sources_.setCounts(counts);
    planning_.reset();
    planTimer_->stop();
    if (error != 0) {
        status_->setText(mergePlanFailedStatus(failedPath, error));
    } else {
        plan_ = plan;
        model_.setPlan(plan_);
        status_->setText(mergePlanSummary(*plan_));
    }
    updateButtons();
}

void MergeWindow::updateButtons() {
    mergeButton_->setEnabled(!running_ && planReady() && plan_ && plan_->acting() > 0);
    browseButton_->setEnabled(!running_);
    sourceList_->setEnabled(!running_);
    for (QCheckBox* box : {allBox_, keepDuplicatesBox_, numberBox_, keepFoldersBox_}) {
        box->setEnabled(!running_);
    }
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
    if (result.end == fs::MergeResult::End::Completed && result.left == 0 &&
        result.syncError == 0) {
        showInformation(this, report);
    } else {
        showReport(this, report);
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
