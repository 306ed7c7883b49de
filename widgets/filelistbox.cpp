#include "widgets/filelistbox.h"

#include <QEventLoop>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>
#include <QtMath>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "fs/deadline.h"
#include "fs/listing.h"
#include "widgets/display.h"

namespace widgets {

namespace {

// setPath waits for a reading to end or hand on its first chunk: a folder smaller than the
// first chunk is thus listed before setPath returns, as if read on the window's thread, without
// a flash of "reading". It blocks this long at most; past that the window repaints while it
// waits (input waits its turn), for as long as the answer deadline.
constexpr std::chrono::milliseconds kQuickRead{20};
// How often the window takes what the reading thread has handed on.
constexpr std::chrono::milliseconds kTakeInterval{15};

FileListBox::ReadHook& readHook() {
    static FileListBox::ReadHook hook;
    return hook;
}

}  // namespace

void FileListModel::reset(std::shared_ptr<const core::NameTable> table) {
    beginResetModel();
    table_ = std::move(table);
    endResetModel();
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(count());
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= count()) {
        return {};
    }
    return displayName(table_->name(static_cast<std::size_t>(index.row())));
}

// What a reading thread shares with the list. The thread owns a reference, so a reading
// cancelled or left stuck on a drive that does not answer writes only here.
struct FileListBox::ReadState {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::condition_variable ended;  // notified at each chunk and at the end
    // Guarded by mutex: the entries handed on so far, and the end.
    std::int64_t handedOn = 0;
    bool done = false;
    int error = 0;
    bool confirmed = false;                        // the folder holds what the list shows
    std::shared_ptr<const core::NameTable> table;  // sorted, once done unless confirmed
    std::optional<core::FolderIdentity> identity;  // of the folder read, once done without error
};

namespace {

// The reading thread: the folder's files in chunks, then all of them sorted for display.
void readFolder(const std::shared_ptr<FileListBox::ReadState>& state, const std::string& folder,
                std::size_t firstChunk, std::size_t chunkSize, const FileListBox::ReadHook& hook);
// The same from the folder list's reading of the folder, handed on in the same chunks.
void readShared(const std::shared_ptr<FileListBox::ReadState>& state, const std::string& folder,
                const std::shared_ptr<fs::FolderScan>& shared, std::size_t firstChunk,
                std::size_t chunkSize, const FileListBox::ReadHook& hook);
// The reading after a run: whether the folder holds what `shown` lists; when it does not, what
// it holds, as readFolder.
void confirmFolder(const std::shared_ptr<FileListBox::ReadState>& state, const std::string& folder,
                   const std::shared_ptr<const core::NameTable>& shown,
                   std::optional<core::FolderIdentity> listed, std::size_t firstChunk,
                   std::size_t chunkSize, const FileListBox::ReadHook& hook);

}  // namespace

void FileListBox::setReadHook(ReadHook hook) {
    readHook() = std::move(hook);
}

FileListBox::FileListBox(QWidget* parent) : QListView(parent) {
    setModel(&model_);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformItemSizes(true);
    // A million rows take some 50 ms to lay out: in batches, between which the window repaints.
    setLayoutMode(QListView::Batched);
    setBatchSize(16384);
    // Scrolling by item has the view copy every row's position at each change of its geometry
    // (each batch of the layout) and at each scroll to a row: 4 bytes a row every time. Rows are
    // all as high, so scrolling by pixel moves by the same rows.
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    readTimer_.setInterval(kTakeInterval);
    connect(&readTimer_, &QTimer::timeout, this, &FileListBox::takeRead);
    silence_.setSingleShot(true);
    silence_.setInterval(std::chrono::milliseconds(2000));
    connect(&silence_, &QTimer::timeout, this, [this] { emit notAnswering(path_); });
}

FileListBox::~FileListBox() {
    cancelReading();
}

int FileListBox::setPath(const std::string& path, std::shared_ptr<fs::FolderScan> shared) {
    return startReading(path, true, std::move(shared));
}

void FileListBox::refresh() {
    startReading(path_, false);
}

void FileListBox::cancelReading() {
    if (reading_) {
        reading_->cancelled = true;
        reading_.reset();
    }
    confirming_ = false;
    readTimer_.stop();
    silence_.stop();
}

int FileListBox::startReading(const std::string& path, bool reportFailure,
                              std::shared_ptr<fs::FolderScan> shared) {
    cancelReading();
    auto state = std::make_shared<ReadState>();
    const fs::PendingAnswer<int> started = fs::startCall(
        [state, path, shared, first = firstChunk_, rest = chunkSize_, hook = readHook()] {
            if (shared) {
                readShared(state, path, shared, first, rest, hook);
            } else {
                readFolder(state, path, first, rest, hook);
            }
            return 0;
        });
    int quickError = 0;
    bool quick = false;
    bool unanswered = false;
    std::shared_ptr<const core::NameTable> table;
    std::optional<core::FolderIdentity> identity;
    if (!started.valid()) {
        // Too many readings stuck on drives that do not answer.
        quick = true;
        quickError = EAGAIN;
    } else {
        // A chunk smaller than the first is the last one: the folder is almost read.
        const auto settled = [&] {
            return state->done || state->handedOn >= static_cast<std::int64_t>(firstChunk_);
        };
        std::unique_lock lock(state->mutex);
        if (!state->ended.wait_for(lock, kQuickRead, settled)) {
            lock.unlock();
            QEventLoop loop;
            QTimer poll;
            const auto giveUp = std::chrono::steady_clock::now() +
                                std::chrono::milliseconds(silence_.interval()) - kQuickRead;
            connect(&poll, &QTimer::timeout, &loop, [&] {
                const std::lock_guard pollLock(state->mutex);
                if (settled() || std::chrono::steady_clock::now() >= giveUp) {
                    loop.quit();
                }
            });
            poll.start(5);
            loop.exec(QEventLoop::ExcludeUserInputEvents);
            lock.lock();
            unanswered = !settled();
        }
        if (state->done) {
            quick = true;
            quickError = state->error;
            table = std::move(state->table);
            identity = state->identity;
        }
    }
    if (quick) {
        if (quickError != 0 && reportFailure) {
            return quickError;
        }
        path_ = path;
        identity_ = identity;
        model_.reset(std::move(table));
        emit readFinished();
        return quickError;
    }

    path_ = path;
    identity_.reset();
    reading_ = std::move(state);
    reportFailure_ = reportFailure;
    // Rows in the folder's order would be shuffled by the sort at the end: none until then.
    model_.reset(nullptr);
    readSoFar_ = 0;
    readTimer_.start();
    silence_.start();
    emit readProgress(0);
    if (unanswered) {
        emit notAnswering(path_);
    }
    takeRead();
    return 0;
}

void FileListBox::showAfterRun(std::shared_ptr<const core::NameTable> table) {
    cancelReading();
    showRead(std::move(table));
    startConfirming();
}

void FileListBox::confirmAgain() {
    if (isReading()) {
        return;
    }
    cancelReading();
    startConfirming();
}

void FileListBox::showRead(std::shared_ptr<const core::NameTable> table) {
    model_.reset(std::move(table));
    // Where a reading of the folder would have left the view: a folder listed at once keeps its
    // place, a larger one (shown empty while read) starts at the top.
    if (model_.count() >= static_cast<std::int64_t>(firstChunk_)) {
        scrollToTop();
    }
}

void FileListBox::startConfirming() {
    auto state = std::make_shared<ReadState>();
    const fs::PendingAnswer<int> started =
        fs::startCall([state, path = path_, shown = model_.table(), listed = identity_,
                       first = firstChunk_, rest = chunkSize_, hook = readHook()] {
            confirmFolder(state, path, shown, listed, first, rest, hook);
            return 0;
        });
    if (!started.valid()) {
        return;  // too many readings stuck: the rows stay as the run left them
    }
    reading_ = std::move(state);
    reportFailure_ = false;
    confirming_ = true;
    // No silence check: the rows are there, and a drive that stops answering now holds only this.
    readTimer_.start();
}

void FileListBox::takeRead() {
    const std::shared_ptr<ReadState> state = reading_;
    if (!state) {
        readTimer_.stop();
        return;
    }
    std::int64_t handedOn = 0;
    bool done = false;
    bool confirmed = false;
    int error = 0;
    std::shared_ptr<const core::NameTable> table;
    {
        const std::lock_guard lock(state->mutex);
        handedOn = state->handedOn;
        done = state->done;
        if (done) {
            error = state->error;
            confirmed = state->confirmed;
            table = std::move(state->table);
            if (!confirmed) {
                identity_ = state->identity;
            }
        }
    }
    if (!done) {
        if (handedOn != readSoFar_ && !confirming_) {
            readSoFar_ = handedOn;
            silence_.start();
            emit readProgress(readSoFar_);
        }
        return;
    }
    const bool wasConfirming = std::exchange(confirming_, false);
    reading_.reset();
    readTimer_.stop();
    silence_.stop();
    if (confirmed) {
        return;
    }
    // Rows a run left while this confirmed them are replaced in one reset, no empty list between.
    if (wasConfirming) {
        showRead(std::move(table));
    } else {
        model_.reset(std::move(table));
        scrollToTop();
    }
    if (error != 0 && reportFailure_ && !wasConfirming) {
        emit readFailed(path_, error);
    }
    emit readFinished();
}

void FileListBox::setChunkSizes(std::size_t first, std::size_t rest) {
    firstChunk_ = first;
    chunkSize_ = rest;
}

void FileListBox::setStatusText(const QString& text) {
    if (text != statusText_) {
        statusText_ = text;
        viewport()->update();
    }
}

void FileListBox::setNotice(const QString& text) {
    if (text != notice_) {
        notice_ = text;
        viewport()->update();
    }
}

namespace {

// Lays `text` out in lines `width` wide: at word boundaries, and within a word only where one
// line cannot hold it (a long name in a path). Returns the height of its lines.
qreal layOut(QTextLayout& layout, int width) {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal height = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, height));
        height += line.height();
    }
    layout.endLayout();
    return height;
}

// Space around an overlay's text, in the list's font.
int overlayPadding(const QFontMetrics& metrics) {
    return std::max(2, metrics.height() / 4);
}

}  // namespace

QRect FileListBox::overlayRect(const QString& text, bool top) const {
    if (text.isEmpty()) {
        return {};
    }
    const QRect area = viewport()->rect();
    const int pad = overlayPadding(fontMetrics());
    QTextLayout layout(text, font(), viewport());
    const int height =
        std::min(area.height(), qCeil(layOut(layout, area.width() - 2 * pad)) + 2 * pad);
    return QRect(area.left(), top ? area.top() : area.bottom() + 1 - height, area.width(), height);
}

void FileListBox::paintOverlay(QPainter& painter, const QString& text, bool top) const {
    const QRect band = overlayRect(text, top);
    if (band.isEmpty()) {
        return;
    }
    const int pad = overlayPadding(fontMetrics());
    QTextLayout layout(text, font(), viewport());
    layOut(layout, band.width() - 2 * pad);
    painter.fillRect(band, palette().toolTipBase());
    painter.setPen(palette().color(QPalette::ToolTipText));
    layout.draw(&painter, band.topLeft() + QPoint(pad, pad));
}

void FileListBox::paintEvent(QPaintEvent* event) {
    QListView::paintEvent(event);
    if (statusText_.isEmpty() && notice_.isEmpty()) {
        return;
    }
    QPainter painter(viewport());
    paintOverlay(painter, statusText_, false);
    paintOverlay(painter, notice_, true);
}

bool FileListBox::viewportEvent(QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (noticeRect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
                setNotice({});
                swallowClick_ = true;
                return true;
            }
            break;
        case QEvent::MouseMove:
            if (swallowClick_) {
                return true;
            }
            break;
        case QEvent::MouseButtonRelease:
            if (std::exchange(swallowClick_, false)) {
                return true;
            }
            break;
        default:
            break;
    }
    return QListView::viewportEvent(event);
}

void FileListBox::scrollContentsBy(int dx, int dy) {
    QListView::scrollContentsBy(dx, dy);
    // Scrolling moves the painted pixels, the overlays with them: they are painted again in place.
    if (!statusText_.isEmpty() || !notice_.isEmpty()) {
        viewport()->update();
    }
}

std::int64_t FileListBox::count() const {
    return model_.count();
}

std::string_view FileListBox::at(std::int64_t i) const {
    return model_.at(i);
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
    const std::shared_ptr<const core::NameTable>& table = model_.table();
    if (!table) {
        return 0;
    }
    const std::vector<core::NameTable::Entry>& rows = table->entries();
    QItemSelection selection;
    std::int64_t found = 0;
    for (const std::string& name : names) {
        const auto it =
            std::lower_bound(rows.begin(), rows.end(), name,
                             [&table](const core::NameTable::Entry& row, const std::string& n) {
                                 return fs::displayLess(table->nameOf(row), n);
                             });
        if (it != rows.end() && table->nameOf(*it) == name) {
            const QModelIndex index = indexAt(it - rows.begin());
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

namespace {

// Hands the end of a reading to the list.
void finish(FileListBox::ReadState& state, int error, bool confirmed,
            std::shared_ptr<const core::NameTable> table,
            std::optional<core::FolderIdentity> identity) {
    {
        const std::lock_guard lock(state.mutex);
        state.done = true;
        state.error = error;
        state.confirmed = confirmed;
        state.table = std::move(table);
        state.identity = identity;
    }
    state.ended.notify_all();
}

// Tells the list, and the hook, how many entries are read.
void handOn(FileListBox::ReadState& state, const std::string& folder, std::size_t entries,
            const FileListBox::ReadHook& hook) {
    {
        const std::lock_guard lock(state.mutex);
        state.handedOn = static_cast<std::int64_t>(entries);
    }
    state.ended.notify_all();
    if (hook) {
        hook(folder, static_cast<std::int64_t>(entries));
    }
}

// Sorts what a reading found and hands it to the list.
void finishRead(FileListBox::ReadState& state, int error, std::shared_ptr<core::NameTable> table,
                const core::FolderIdentity& identity) {
    if (error == 0 && !state.cancelled) {
        fs::sortForDisplay(*table);
    } else {
        // A folder that fails half way lists nothing, as a folder that cannot be opened.
        table->clear();
    }
    finish(state, error, false, std::move(table),
           error == 0 ? std::optional(identity) : std::nullopt);
}

void readAndSort(const std::shared_ptr<FileListBox::ReadState>& state, const std::string& folder,
                 std::size_t firstChunk, std::size_t chunkSize, const FileListBox::ReadHook& hook) {
    auto table = std::make_shared<core::NameTable>();
    core::FolderIdentity identity;
    const int error = fs::readFiles(
        folder, *table, firstChunk, chunkSize, state->cancelled,
        [&](std::size_t entries) { handOn(*state, folder, entries, hook); }, &identity);
    finishRead(*state, error, std::move(table), identity);
}

void readFolder(const std::shared_ptr<FileListBox::ReadState>& state, const std::string& folder,
                std::size_t firstChunk, std::size_t chunkSize, const FileListBox::ReadHook& hook) {
    if (hook) {
        hook(folder, 0);
    }
    readAndSort(state, folder, firstChunk, chunkSize, hook);
}

void readShared(const std::shared_ptr<FileListBox::ReadState>& state, const std::string& folder,
                const std::shared_ptr<fs::FolderScan>& shared, std::size_t firstChunk,
                std::size_t chunkSize, const FileListBox::ReadHook& hook) {
    if (hook) {
        hook(folder, 0);
    }
    std::size_t told = 0;
    std::size_t next = std::max<std::size_t>(firstChunk, 1);
    for (bool done = false; !done;) {
        done = shared->waitDone(std::chrono::milliseconds(5));
        if (state->cancelled) {
            finish(*state, ECANCELED, false, nullptr, std::nullopt);
            return;
        }
        const auto read = static_cast<std::size_t>(shared->filesRead.load());
        for (; read >= next; next = told + std::max<std::size_t>(chunkSize, 1)) {
            handOn(*state, folder, told = next, hook);
        }
    }
    core::FolderIdentity identity;
    std::shared_ptr<core::NameTable> table = shared->takeFiles(identity);
    if (!table) {
        // Failed, or taken by an earlier reading: the folder is read again, as it is now.
        readAndSort(state, folder, firstChunk, chunkSize, hook);
        return;
    }
    if (table->size() != told) {
        handOn(*state, folder, table->size(), hook);
    }
    finishRead(*state, 0, std::move(table), identity);
}

void confirmFolder(const std::shared_ptr<FileListBox::ReadState>& state, const std::string& folder,
                   const std::shared_ptr<const core::NameTable>& shown,
                   std::optional<core::FolderIdentity> listed, std::size_t firstChunk,
                   std::size_t chunkSize, const FileListBox::ReadHook& hook) {
    // A digest of what the folder holds, not a second copy of its names beside the list's.
    fs::FilesDigest found;
    core::FolderIdentity identity;
    const int error = fs::digestFiles(folder, state->cancelled, found, &identity);
    if (error == 0 && shown && listed && identity == *listed && found == fs::digestOf(*shown)) {
        finish(*state, 0, true, nullptr, identity);
        return;
    }
    if (!state->cancelled) {
        readFolder(state, folder, firstChunk, chunkSize, hook);
    }
}

}  // namespace

}  // namespace widgets
