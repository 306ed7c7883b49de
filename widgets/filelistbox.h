#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QRect>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/names.h"
#include "core/rename_run.h"
#include "fs/listing.h"

class QPainter;

namespace widgets {

// The entries of one folder, by native name, in display order: a table that stores each name
// once. Display strings are made only for the rows that are painted, so a folder of a million
// files costs its names and little more.
class FileListModel : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    // Replaces every row; none without a table.
    void reset(std::shared_ptr<const core::NameTable> table);
    std::int64_t count() const { return table_ ? static_cast<std::int64_t>(table_->size()) : 0; }
    std::string_view at(std::int64_t i) const { return table_->name(static_cast<std::size_t>(i)); }
    std::uint64_t inodeAt(std::int64_t i) const {
        return table_->inode(static_cast<std::size_t>(i));
    }
    // The rows shown now, kept unchanged for as long as it is held.
    const std::shared_ptr<const core::NameTable>& table() const { return table_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::shared_ptr<const core::NameTable> table_;
};

// The file list box: the files of the folder `Path`, in display order, with extended selection.
// A folder is read on a worker thread: a small one is listed before setPath returns; a large
// one shows no rows, only the count read so far, until it is complete and sorted. Reading another
// folder cancels the reading. After a run the list shows what the run did at once, and a reading
// in the background confirms it or shows what it finds instead.
class FileListBox : public QListView, public core::FileList {
    Q_OBJECT
public:
    // Called on the reading thread before the folder is opened or a reading joined (with 0) and
    // after each chunk is
    // handed on (with the entries read so far). Lets tests hold a reading half way.
    using ReadHook = std::function<void(const std::string& folder, std::int64_t entries)>;
    static void setReadHook(ReadHook hook);
    // What the list shares with a reading thread.
    struct ReadState;

    explicit FileListBox(QWidget* parent = nullptr);
    ~FileListBox() override;

    const std::string& path() const override { return path_; }
    // Lists `path`. Returns 0 once the reading has started (or is done), or the errno of a folder
    // that cannot be read found at once (nothing changes then); a failure found later, when the
    // list already shows `path` as reading, is signalled by readFailed.
    // `shared`, the folder list's reading of `path` while it goes on, is taken rather than read
    // again.
    int setPath(const std::string& path, std::shared_ptr<fs::FolderScan> shared = nullptr);
    // Reads the folder again; nothing is selected afterwards. A folder that has gone shows as
    // empty, without a signal of failure.
    void refresh() override;
    // True while a folder is read: the list holds no rows meanwhile.
    bool isReading() const { return reading_ != nullptr && !confirming_; }
    // Shows `table` (the folder as a run has left it, in display order), nothing selected, and
    // reads the folder in the background: if the folder holds other files by then, the list
    // shows them instead, nothing selected.
    void showAfterRun(std::shared_ptr<const core::NameTable> table);
    // True while that reading goes on; the rows can be used meanwhile.
    bool isConfirming() const { return reading_ != nullptr && confirming_; }
    // Reads the folder again in the background in the same way, the rows shown meanwhile; a
    // reading under way is left to show what it finds.
    void confirmAgain();

    std::int64_t count() const override;
    std::string_view at(std::int64_t i) const override;
    std::uint64_t inodeAt(std::int64_t i) const override { return model_.inodeAt(i); }
    // The folder as the last complete reading found it; none before one or after a failure.
    std::optional<core::FolderIdentity> folderIdentity() const override { return identity_; }
    std::shared_ptr<const core::NameTable> names() const override { return model_.table(); }
    bool isSelected(std::int64_t i) const;
    void setSelected(std::int64_t i, bool selected);
    // Selects every entry as one range.
    void selectAllFiles();
    // Selects the entries with these names, in one selection change; returns how many were found.
    std::int64_t selectNames(const std::vector<std::string>& names);
    std::vector<core::SelectionRange> selectedRanges() const override;

    // Names handed on by the reading thread at a time: a folder smaller than the first chunk is
    // listed at once, a larger one counts from its first chunk.
    void setChunkSizes(std::size_t first, std::size_t rest);
    // A line shown over the bottom of the list (what the list is doing); empty for none.
    void setStatusText(const QString& text);
    // A line shown over the top of the list until cleared (empty) or clicked.
    void setNotice(const QString& text);
    const QString& notice() const { return notice_; }
    // Where the status line and the notice are drawn in the viewport: wrapped to its width, as
    // tall as their lines. Empty when there is none.
    QRect statusRect() const { return overlayRect(statusText_, false); }
    QRect noticeRect() const { return overlayRect(notice_, true); }
    // How long a reading may hand nothing on before notAnswering.
    void setAnswerDeadline(std::chrono::milliseconds deadline) { silence_.setInterval(deadline); }
    const QString& statusText() const { return statusText_; }

signals:
    // While a folder is read: the entries listed so far.
    void readProgress(std::int64_t entries);
    // The reading has ended: the list is complete, or empty after a failure.
    void readFinished();
    // The folder given to setPath could not be read after all; the list is empty.
    void readFailed(const std::string& path, int error);
    // The reading has handed nothing on for a while: its drive does not answer. The reading goes
    // on, and its entries come if the drive answers again.
    void notAnswering(const std::string& path);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    int startReading(const std::string& path, bool reportFailure,
                     std::shared_ptr<fs::FolderScan> shared = nullptr);
    void startConfirming();
    void showRead(std::shared_ptr<const core::NameTable> table);
    void cancelReading();
    // Takes what the reading thread has handed on since the last time.
    void takeRead();

    QModelIndex indexAt(std::int64_t i) const;
    QRect overlayRect(const QString& text, bool top) const;
    void paintOverlay(QPainter& painter, const QString& text, bool top) const;

    FileListModel model_;
    std::string path_;
    std::shared_ptr<ReadState> reading_;
    bool reportFailure_ = false;
    bool confirming_ = false;
    std::int64_t readSoFar_ = 0;
    QTimer readTimer_;
    QTimer silence_;
    std::size_t firstChunk_ = 512;
    std::size_t chunkSize_ = 16384;
    QString statusText_;
    QString notice_;
    std::optional<core::FolderIdentity> identity_;
    // The press cleared the notice: the rest of that click is not the list's.
    bool swallowClick_ = false;
};

}  // namespace widgets
