#pragma once

#include <QPointer>
#include <chrono>
#include <cstdint>
#include <functional>

class QProgressDialog;
class QPushButton;
class QString;
class QWidget;

namespace ui {

// When the progress of a rename run shows, and how often it moves.
struct ProgressTiming {
    // A run shorter than this shows no dialog at all.
    std::chrono::milliseconds showDelay{330};
    // The least time between two updates of the dialog; the window repaints at each update.
    std::chrono::milliseconds updateInterval{100};
};

// Called at every update of the dialog with the files done and the total, after the window has
// handled its events; lets tests act while the dialog is up.
using ProgressHook = std::function<void(std::int64_t done, std::int64_t total)>;

// What the dialog says of the work done so far.
using ProgressText = QString (*)(std::int64_t done, std::int64_t total);

// The progress of one rename run, undo or finish, on the window's thread. Once the work has gone
// on for a while it shows an application-modal dialog with the files done and a cancel button,
// and lets the window repaint at each update. Costs a clock read per file in between.
class RunProgress {
public:
    // `text` says what is done; the rename run's words unless given.
    RunProgress(QWidget* parent, const ProgressTiming& timing, ProgressHook hook = {},
                ProgressText text = nullptr);
    ~RunProgress();
    RunProgress(const RunProgress&) = delete;
    RunProgress& operator=(const RunProgress&) = delete;

    // The run's progress callback: false once the user has cancelled.
    bool update(std::int64_t done, std::int64_t total);
    // Takes the dialog down; the run is over.
    void finish();
    // Says in the dialog (shown at once) that the drive does not answer, or no longer says so.
    void setNotAnswering(bool notAnswering, std::int64_t done, std::int64_t total);
    // After a cancel: says in the dialog (shown again, its button disabled) that the work is
    // stopping, until finish(); the dialog cannot be closed meanwhile.
    void setStopping(std::int64_t done, std::int64_t total);
    bool shown() const;
    // Whether the user has cancelled in the dialog.
    bool cancelled() const;

private:
    using Clock = std::chrono::steady_clock;

    void show(std::int64_t total);
    void setBar(std::int64_t done, std::int64_t total);

    QWidget* parent_;
    ProgressTiming timing_;
    ProgressHook hook_;
    ProgressText text_;
    Clock::time_point nextUpdate_;
    // Null until the run has gone on long enough to show it.
    QPointer<QProgressDialog> dialog_;
    QPointer<QPushButton> cancelButton_;
    bool stopping_ = false;
    bool finished_ = false;
};

// A worker's progress callback: false once the user has cancelled.
using WorkerProgress = std::function<bool(std::int64_t done, std::int64_t total)>;
// Runs `work` on a thread of its own and returns once it has ended, the window painting and
// `progress` showing meanwhile (a drive that stops answering is said so); a cancel there stops
// `work` at its next progress call.
void runOnWorker(RunProgress& progress, const ProgressTiming& timing,
                 const std::function<void(const WorkerProgress&)>& work);

}  // namespace ui
