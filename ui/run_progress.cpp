#include "ui/run_progress.h"

#include <QApplication>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "ui/messages.h"

namespace ui {

namespace {

QString progressText(std::int64_t done, std::int64_t total) {
    return QString::fromUtf8("ファイル名を変更しています…") + progressCount(done, total);
}

// The bar holds an int: a larger total is scaled down. 0 (busy) while the total is not known.
int barMaximum(std::int64_t total) {
    return static_cast<int>(std::clamp<std::int64_t>(total, 0, std::numeric_limits<int>::max()));
}

}  // namespace

RunProgress::RunProgress(QWidget* parent, const ProgressTiming& timing, ProgressHook hook,
                         ProgressText text)
    : parent_(parent),
      timing_(timing),
      hook_(std::move(hook)),
      text_(text != nullptr ? text : progressText),
      nextUpdate_(Clock::now() + timing.showDelay) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

RunProgress::~RunProgress() {
    finish();
}

bool RunProgress::update(std::int64_t done, std::int64_t total) {
    if (Clock::now() < nextUpdate_) {
        return true;
    }
    if (dialog_ == nullptr) {
        show(total);
    }
    if (!stopping_) {
        dialog_->setLabelText(text_(done, total));
    }
    setBar(done, total);
    // The window repaints and the cancel button takes its click; the modal dialog keeps every
    // other input away from the window.
    QCoreApplication::processEvents();
    if (hook_) {
        hook_(done, total);
    }
    // Counted from after the events, so a slow repaint cannot take the run's time.
    nextUpdate_ = Clock::now() + timing_.updateInterval;
    return dialog_ != nullptr && !dialog_->wasCanceled();
}

void RunProgress::setNotAnswering(bool notAnswering, std::int64_t done, std::int64_t total) {
    if (dialog_ == nullptr) {
        show(total);
    }
    if (stopping_) {
        return;
    }
    dialog_->setLabelText(notAnswering ? runNotAnsweringText(done, total) : text_(done, total));
}

void RunProgress::setStopping(std::int64_t done, std::int64_t total) {
    if (dialog_ == nullptr) {
        show(total);
    }
    stopping_ = true;
    dialog_->setLabelText(stoppingText());
    // The cancel emptied the bar; it still shows how far the work got.
    setBar(done, total);
    if (cancelButton_ != nullptr) {
        cancelButton_->setEnabled(false);
    }
    // A cancel hides the dialog; while the work has not stopped, it stays in view.
    dialog_->show();
}

void RunProgress::setBar(std::int64_t done, std::int64_t total) {
    // A total known only now makes the busy bar a bar.
    const int maximum = barMaximum(total);
    if (dialog_->maximum() != maximum) {
        dialog_->setRange(0, maximum);
    }
    const int value =
        total == maximum
            ? static_cast<int>(done)
            : static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * maximum);
    dialog_->setValue(value);
}

bool RunProgress::shown() const {
    return dialog_ != nullptr;
}

bool RunProgress::cancelled() const {
    return dialog_ != nullptr && dialog_->wasCanceled();
}

void RunProgress::show(std::int64_t total) {
    auto* dialog = new QProgressDialog(parent_);
    dialog->setObjectName(QStringLiteral("runProgress"));
    dialog->setWindowTitle(QStringLiteral("Kovra"));
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setCancelButtonText(QString::fromUtf8("キャンセル"));
    // Disabled once cancelled.
    cancelButton_ = dialog->findChild<QPushButton*>();
    // A screen reader names the bar and reads its value; the label says what is done.
    if (auto* bar = dialog->findChild<QProgressBar*>()) {
        bar->setAccessibleName(QString::fromUtf8("進み具合"));
    }
    // Esc or closing the dialog cancels and hides it too: shown again while stopping.
    QObject::connect(dialog, &QProgressDialog::canceled, dialog, [this, dialog] {
        if (stopping_) {
            dialog->show();
        }
    });
    // Shown and taken down by us alone, not by the dialog's own timing.
    dialog->setAutoReset(false);
    dialog->setAutoClose(false);
    dialog->setMinimumDuration(0);
    // Busy until the total is known.
    dialog->setRange(0, barMaximum(total));
    // Sized for the widest count, so the dialog does not grow as the numbers do.
    dialog->setLabelText(text_(total, total));
    dialog->show();
    dialog_ = dialog;
    // Working, but the cancel button can be clicked.
    QApplication::changeOverrideCursor(Qt::BusyCursor);
}

void RunProgress::finish() {
    delete dialog_.data();
    dialog_ = nullptr;
    if (!finished_) {
        QApplication::restoreOverrideCursor();
        finished_ = true;
    }
}

namespace {

// A drive that has not finished a rename in this long is said not to answer.
constexpr int kNotAnsweringAfter = 2000;

// What a worker thread (a run, an undo or a finish) shares with the window.
struct WorkShared {
    using Clock = std::chrono::steady_clock;
    std::atomic<std::int64_t> done{0};
    std::atomic<std::int64_t> total{0};
    std::atomic<Clock::rep> lastAnswer{Clock::now().time_since_epoch().count()};
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool asked = false;  // the worker waits for the window to update the progress
    bool finished = false;
};

}  // namespace

void runOnWorker(RunProgress& progress, const ProgressTiming& timing,
                 const std::function<void(const WorkerProgress&)>& work) {
    auto shared = std::make_shared<WorkShared>();
    // Lives on the window's thread until the worker has ended: the worker posts to it to wake the
    // window's event loop at once.
    QObject wake;
    const auto wakeWindow = [&wake] {
        QMetaObject::invokeMethod(
            &wake, [] {}, Qt::QueuedConnection);
    };
    // On the worker: after each file, it asks the window for an update when one is due and
    // waits for the answer (so a cancel takes effect before the next file).
    const WorkerProgress report = [shared, wakeWindow, interval = timing.updateInterval,
                                   next = WorkShared::Clock::now()](std::int64_t done,
                                                                    std::int64_t total) mutable {
        // Once per file: one clock reading, no fences. The window reads the counts for showing
        // only, and the cancel exactly once the worker waits for it below.
        const auto now = WorkShared::Clock::now();
        shared->done.store(done, std::memory_order_relaxed);
        shared->total.store(total, std::memory_order_relaxed);
        shared->lastAnswer.store(now.time_since_epoch().count(), std::memory_order_relaxed);
        if (shared->cancelled.load(std::memory_order_relaxed)) {
            return false;
        }
        if (now < next) {
            return true;
        }
        std::unique_lock lock(shared->mutex);
        shared->asked = true;
        wakeWindow();
        shared->changed.wait(lock, [&] { return !shared->asked; });
        next = WorkShared::Clock::now() + interval;
        return !shared->cancelled.load();
    };
    std::thread worker([shared, &work, report, wakeWindow] {
        work(report);
        const std::lock_guard lock(shared->mutex);
        shared->finished = true;
        shared->changed.notify_all();
        wakeWindow();
    });

    // The window's thread repaints and answers meanwhile; input waits for the dialog, which keeps
    // it away from the window once shown.
    bool saidNotAnswering = false;
    bool saidStopping = false;
    QTimer tick;  // for the check of a drive that does not answer
    tick.start(100);
    for (;;) {
        {
            std::unique_lock lock(shared->mutex);
            if (shared->finished) {
                break;
            }
            if (shared->asked) {
                lock.unlock();
                const bool goOn = progress.update(shared->done, shared->total);
                lock.lock();
                if (!goOn) {
                    shared->cancelled = true;
                }
                shared->asked = false;
                shared->changed.notify_all();
            }
        }
        if (progress.cancelled()) {
            shared->cancelled = true;
        }
        // A cancel takes effect once the file in hand is done, which a drive that does not
        // answer can hold up: the dialog says so until the worker has stopped, so that nothing
        // is renamed after the report.
        if (shared->cancelled && !saidStopping) {
            saidStopping = true;
            progress.setStopping(shared->done, shared->total);
        }
        // A drive that stops answering holds the worker inside one rename: say so, keep painting.
        const auto since = WorkShared::Clock::now().time_since_epoch().count() - shared->lastAnswer;
        const bool notAnswering =
            std::chrono::nanoseconds(since) >= std::chrono::milliseconds(kNotAnsweringAfter);
        if (notAnswering != saidNotAnswering) {
            saidNotAnswering = notAnswering;
            progress.setNotAnswering(notAnswering, shared->done, shared->total);
        }
        QCoreApplication::processEvents(progress.shown() ? QEventLoop::WaitForMoreEvents
                                                         : QEventLoop::WaitForMoreEvents |
                                                               QEventLoop::ExcludeUserInputEvents);
    }
    worker.join();
}

}  // namespace ui
