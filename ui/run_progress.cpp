#include "ui/run_progress.h"

#include <QApplication>
#include <QProgressDialog>
#include <QPushButton>
#include <algorithm>
#include <limits>

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

}  // namespace ui
