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
#include <QListWidget>
#include <QPlainTextEdit>
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

constexpr int kPathRole = Qt::UserRole;

}  // namespace

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
    sourceList_ = named(new QListWidget(this), "List_src");
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
    preview_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    preview_->setWordWrap(false);
    preview_->setColumnWidth(0, 320);
    preview_->setColumnWidth(1, 220);
    status_ = named(new QLabel(this), "l_status");
    status_->setWordWrap(true);
    leftBox_ = named(new QPlainTextEdit(this), "t_left");
    leftBox_->setReadOnly(true);
    leftBox_->setLineWrapMode(QPlainTextEdit::NoWrap);
    leftBox_->setMaximumHeight(120);
    leftBox_->hide();
    mergeButton_ = named(new QPushButton(QStringLiteral("まとめる"), this), "b_merge");
    closeButton_ = named(new QPushButton(QStringLiteral("閉じる"), this), "b_close");

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("まとめ先："), this));
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
    layout->addWidget(new QLabel(QStringLiteral("まとめるフォルダ："), this));
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
    connect(sourceList_, &QListWidget::itemChanged, this, [this] {
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
    sources_ = sources.empty() ? subfoldersOf(destination_) : std::move(sources);
    {
        const QSignalBlocker blocker(sourceList_);
        sourceList_->clear();
        for (const std::string& source : sources_) {
            auto* item = new QListWidgetItem(widgets::displayName(core::fileName(source)));
            item->setData(kPathRole, QByteArray::fromStdString(source));
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Checked);
            sourceList_->addItem(item);
        }
    }
    replan();
}

fs::MergeRequest MergeWindow::request() const {
    fs::MergeRequest request;
    for (int i = 0; i < sourceList_->count(); ++i) {
        const QListWidgetItem* item = sourceList_->item(i);
        if (item->checkState() == Qt::Checked) {
            request.sources.push_back(item->data(kPathRole).toByteArray().toStdString());
        }
    }
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
            [self, generation, plan, error, failed, counts, sources = request.sources] {
                if (self) {
                    self->planned(generation, plan, error, failed);
                    self->showCounts(sources, *counts);
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

void MergeWindow::planned(std::uint64_t generation, std::shared_ptr<fs::MergePlan> plan, int error,
                          const std::string& failedPath) {
    if (generation != generation_) {
        return;
    }
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

void MergeWindow::showCounts(const std::vector<std::string>& sources,
                             const std::vector<std::int64_t>& counts) {
    if (counts.size() != sources.size()) {
        return;
    }
    const QSignalBlocker blocker(sourceList_);
    for (int i = 0; i < sourceList_->count(); ++i) {
        QListWidgetItem* item = sourceList_->item(i);
        const std::string path = item->data(kPathRole).toByteArray().toStdString();
        const auto it = std::find(sources.begin(), sources.end(), path);
        if (it != sources.end()) {
            item->setText(mergeSourceText(core::fileName(path),
                                          counts[static_cast<std::size_t>(it - sources.begin())]));
        }
    }
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
    leftBox_->clear();
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
        QStringList lines;
        for (const fs::LeftFile& file : result.leftFiles) {
            lines << mergeLeftLine(file);
        }
        leftBox_->setPlainText(lines.join(QLatin1Char('\n')));
        leftBox_->show();
    }
    const QString report = mergeReport(result);
    if (result.end == fs::MergeResult::End::Completed && result.left == 0 &&
        result.syncError == 0) {
        showInformation(this, report);
    } else {
        showReport(this, report);
    }
    emit merged(destination_, result.journal);
    // The folders emptied are gone: offer what is left, planned afresh.
    std::vector<std::string> still;
    for (const std::string& source : sources_) {
        if (isFolder(source)) {
            still.push_back(source);
        }
    }
    setDestination(destination_, still.empty() ? std::vector<std::string>{} : std::move(still));
}

}  // namespace ui
