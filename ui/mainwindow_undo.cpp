// The main window's undo: Ctrl+Z and the menu on a thread of their own, and the run cut short
// that the window offers at its start.

#include <QApplication>
#include <QPointer>

#include <memory>
#include <thread>
#include <utility>

#include "fs/undo/undo.h"
#include "ui/mainwindow.h"
#include "ui/messages.h"

namespace ui {

void MainWindow::onUndoTriggered() {
    if (busy()) {
        return;
    }
    const Busy busy(this);
    const fs::UndoReport report = undoOnThread(UndoWork::Undo);
    showUndoResult(report, undoReport(report, stateDir_));
}

std::string MainWindow::runToUndo() {
    while (!ownRuns_.empty()) {
        if (fs::undoable(ownRuns_.back())) {
            return ownRuns_.back();
        }
        ownRuns_.pop_back();  // undone since, or gone
    }
    return fs::lastUndoableRun(stateDir_);
}

fs::UndoReport MainWindow::undoOnThread(UndoWork what, const std::string& pendingRun) {
    // Chosen here, before the worker starts: the window's own last run first.
    const std::string run = what == UndoWork::Undo ? runToUndo() : pendingRun;
    RunProgress progress(this, progressTiming_, progressHook_,
                         what == UndoWork::Finish ? finishProgressText : undoProgressText);
    fs::UndoReport report;
    runOnWorker(progress, progressTiming_, [&](const WorkerProgress& worker) {
        const fs::UndoControl control{worker};
        switch (what) {
            case UndoWork::Undo:
                report = run.empty() ? fs::UndoReport{} : fs::undoRun(run, control);
                break;
            // The run the question was about, kept by the user earlier or not.
            case UndoWork::Finish:
                report = fs::finishRun(run, control);
                break;
            case UndoWork::UndoPending:
                report = fs::undoRun(run, control);
                break;
        }
    });
    progress.finish();
    return report;
}

void MainWindow::showUndoResult(const fs::UndoReport& report, const QString& text) {
    updateUndoAction();
    for (const std::string& folder : report.folders) {
        relistIfShowing(folder);
    }
    if (report.status == fs::UndoReport::Status::Done && report.problems.empty() &&
        report.syncError == 0) {
        showInformation(this, text);
    } else {
        showReport(this, text);
    }
}

void MainWindow::checkPendingRun() {
    if (pendingCheck_ != nullptr) {
        return;
    }
    // The journal's folders may be on a drive that does not answer: looked at on a worker, the
    // window showing and usable meanwhile. No run or undo starts before the answer, which may
    // set the journal aside.
    pendingCheck_ = std::make_shared<PendingCheck>();
    updateActions();
    // The answer goes through the application, and reaches the window only if it is still there.
    // Asked for through the menu, a run the user left as it was is offered again.
    std::thread([window = QPointer<MainWindow>(this), check = pendingCheck_, stateDir = stateDir_,
                 kept = pendingAsked_] {
        check->result = fs::pendingRun(stateDir, kept);
        QMetaObject::invokeMethod(
            qApp,
            [window, check] {
                if (window != nullptr && window->pendingCheck_ == check) {
                    window->pendingRunChecked(check->result);
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

bool MainWindow::checkingPendingRun() const {
    return pendingCheck_ != nullptr;
}

void MainWindow::pendingRunChecked(const fs::PendingRun& pending) {
    const bool asked = std::exchange(pendingAsked_, false);
    // Kept while asking and acting, so nothing else starts meanwhile.
    const Busy busy(this);
    pendingCheck_.reset();
    if (pending.status == fs::PendingRun::Status::None) {
        if (asked) {
            showInformation(this, noPendingRunReport());
        }
        return;
    }
    if (pending.status == fs::PendingRun::Status::DriveAbsent && asked) {
        // Asked for: the user may give up on a drive that will not come back.
        if (ask(this, absentDriveQuestion(pending), absentDriveAnswers(), KeepRecord, KeepRecord) ==
            DropRecord) {
            fs::dropRun(pending.run);
            updateUndoAction();
        }
        return;
    }
    if (pending.status != fs::PendingRun::Status::Pending) {
        showReport(this, pendingRunProblemReport(pending, stateDir_));
        return;
    }
    const int answer =
        ask(this, pendingRunQuestion(pending), pendingRunAnswers(pending.merge), KeepRun, KeepRun);
    if (answer == FinishRun || answer == UndoRun) {
        const fs::UndoReport report = undoOnThread(
            answer == FinishRun ? UndoWork::Finish : UndoWork::UndoPending, pending.run);
        showUndoResult(report, answer == FinishRun ? finishReport(report, stateDir_)
                                                   : undoReport(report, stateDir_));
        return;
    }
    if (answer == DropRun) {
        fs::dropRun(pending.run);
        updateUndoAction();
        return;
    }
    // Left as it is: not asked again, and still undoable.
    fs::keepRun(pending.run);
}

MainWindow::~MainWindow() = default;

}  // namespace ui
