// The history of runs as the user sees it: each run's state, the run to undo, and the run cut
// short to offer at the next start.

#include <cerrno>
#include <optional>

#include "fs/undo/engine.h"

namespace fs {

namespace {

// A run's line of the history; nullopt when its journal is gone.
std::optional<RunSummary> summarize(const std::string& run) {
    RunSummary summary;
    summary.run = run;
    const LockedRun lock(run);
    const JournalRead read = readJournalSummary(run);
    if (read.status == JournalRead::Status::None) {
        return std::nullopt;  // removed meanwhile
    }
    summary.startedAt = read.startedAt;
    summary.files = read.entries;
    summary.changed = read.renamed;
    summary.merge = read.merge();
    for (const JournalPlan& plan : read.plans) {
        if (!read.merge() || (plan.parent == kNoFolder && !plan.destination)) {
            summary.folders.push_back(plan.folder);
        }
    }
    if (read.merge() && read.destination != kNoFolder) {
        summary.folders.push_back(read.plans[read.destination].folder);
    }
    using State = RunSummary::State;
    summary.state = read.status == JournalRead::Status::Bad ? State::Bad
                    : lock.busy()                           ? State::InProgress
                    : read.undone                           ? State::Undone
                    : read.partlyBack >= 0                  ? State::PartlyUndone
                    : read.ended && read.cancelled          ? State::Cancelled
                    : read.ended                            ? State::Done
                    : read.kept                             ? State::Kept
                                                            : State::CutShort;
    summary.back = std::max<std::int64_t>(read.partlyBack, 0);
    summary.backOf = std::max(read.partlyOf, summary.back);
    if (read.ended) {
        summary.done = read.renamed;
    }
    if (summary.state == State::CutShort && !read.plans.empty()) {
        // Kept for when its drive is back.
        const JournalPlan& first = read.merge() ? read.plans[read.destination] : read.plans.front();
        if (!first.place.mountIdentity.empty() && placeNow(first).empty()) {
            summary.state = State::Pending;
            summary.drive = !first.place.label.empty() ? first.place.label : first.place.mountPoint;
        }
    }
    return summary;
}

// Counts the entries of one folder of an examined run by where they are now.
void countStates(const FolderState& state, PendingRun& pending) {
    for (std::size_t i = 0; i < state.states.size(); ++i) {
        switch (state.states[i]) {
            case EntryState::CutShort:
                // A link cut short has the file under its new name already.
                (state.cutShortBy[i] == RenameMethod::Reservation ? pending.notDone
                                                                  : pending.done)++;
                break;
            case EntryState::AtNewName:
            case EntryState::Copied:
                ++pending.done;
                break;
            case EntryState::Trashed:
                ++pending.done;
                ++pending.trashed;
                break;
            case EntryState::AtOldName:
                ++pending.notDone;
                break;
            case EntryState::Missing:
            case EntryState::Unreachable:
                ++pending.missing;
                break;
        }
    }
}

// The files a run cut short renamed or moved, as its folders show them; -1 when they cannot
// be looked at now.
std::int64_t doneOnDisk(const std::string& run) {
    Prepared examined;
    UndoReport report;
    if (!prepare(run, {}, examined, report, Purpose::Look) ||
        report.status != UndoReport::Status::Done) {
        return -1;
    }
    PendingRun counted;
    for (const Examination& exam : examined.exams) {
        if (exam.state.status != FolderState::Status::Ok) {
            return -1;
        }
        countStates(exam.state, counted);
    }
    return counted.done;
}

}  // namespace

std::vector<RunSummary> runHistory(const std::string& stateDir) {
    std::vector<RunSummary> history;
    for (const std::string& run : runJournals(stateDir)) {
        if (std::optional<RunSummary> summary = summarize(run)) {
            // Cut short: what it did is on the disk, not in its journal.
            if (summary->state == RunSummary::State::CutShort ||
                summary->state == RunSummary::State::Kept) {
                summary->done = doneOnDisk(run);
            }
            history.push_back(std::move(*summary));
        }
    }
    return history;
}

bool undoable(const std::string& run) {
    const LockedRun lock(run);
    if (lock.busy()) {
        return false;
    }
    const JournalRead read = readJournalSummary(run);
    // A damaged one too: undo then says so, and sets it aside.
    return read.status == JournalRead::Status::Bad ||
           (read.status == JournalRead::Status::Ok && !read.undone);
}

std::string lastUndoableRun(const std::string& stateDir) {
    for (const std::string& run : runJournals(stateDir)) {
        if (undoable(run)) {
            return run;
        }
    }
    return {};
}

std::string newestRunInProgress(const std::string& stateDir) {
    const std::vector<std::string> runs = runJournals(stateDir);
    if (runs.empty()) {
        return {};
    }
    const LockedRun lock(runs.front());
    return lock.busy() ? runs.front() : std::string();
}

bool hasUndo(const std::string& stateDir) {
    return !stateDir.empty() && !lastUndoableRun(stateDir).empty();
}

PendingRun pendingRun(const std::string& stateDir, bool kept) {
    PendingRun pending;
    for (const std::string& run : runJournals(stateDir)) {
        {
            const LockedRun lock(run);
            if (!lock.valid()) {
                continue;  // a live run, or another process is finishing or undoing it
            }
            // Most runs ended: told from their last records, without reading their entries.
            const JournalRead state = readJournalSummary(run);
            if (state.status == JournalRead::Status::None ||
                (state.status == JournalRead::Status::Ok &&
                 (state.ended || state.undone || (state.kept && !kept) || state.partlyBack >= 0 ||
                  state.entries == 0))) {
                continue;  // over, or cut short before a plan of any move was written
            }
        }
        pending = {};
        pending.run = run;
        Prepared examined;
        UndoReport report;
        const bool ok = prepare(run, {}, examined, report, Purpose::Look);
        pending.folders = report.folders;
        pending.folder = report.folder;
        pending.merge = report.merge;
        switch (report.status) {
            case UndoReport::Status::Nothing:
            case UndoReport::Status::InProgress:
            case UndoReport::Status::AlreadyUndone:
                continue;
            case UndoReport::Status::BadJournal:
                pending.status = PendingRun::Status::BadJournal;
                pending.err = report.err;
                return pending;
            case UndoReport::Status::DriveAbsent:
                pending.status = PendingRun::Status::DriveAbsent;
                pending.drive = report.drive;
                return pending;
            case UndoReport::Status::CannotExamine:
                pending.status = PendingRun::Status::CannotExamine;
                pending.err = report.err;
                return pending;
            case UndoReport::Status::FolderGone:
                pending.status = PendingRun::Status::FolderGone;
                return pending;
            case UndoReport::Status::Done:
                break;
        }
        (void)ok;
        const JournalRead& journal = examined.journal;
        for (std::size_t f = 0; f < journal.plans.size(); ++f) {
            const FolderState& state = examined.exams[f].state;
            if (state.status != FolderState::Status::Ok) {
                if (state.status == FolderState::Status::DriveAbsent) {
                    pending.status = PendingRun::Status::DriveAbsent;
                    pending.folder = journal.plans[f].folder;
                    pending.drive = !journal.plans[f].place.label.empty()
                                        ? journal.plans[f].place.label
                                        : journal.plans[f].place.mountPoint;
                    return pending;
                }
                pending.missing += static_cast<std::int64_t>(journal.plans[f].entries.size());
                continue;
            }
            countStates(state, pending);
        }
        pending.status = PendingRun::Status::Pending;
        return pending;
    }
    return pending;
}

UndoReport finishPendingRun(const std::string& stateDir, const UndoControl& control) {
    const PendingRun pending = pendingRun(stateDir);
    return pending.status == PendingRun::Status::Pending ? finishRun(pending.run, control)
                                                         : UndoReport{};
}

UndoReport undoPendingRun(const std::string& stateDir, const UndoControl& control) {
    const PendingRun pending = pendingRun(stateDir);
    return pending.status == PendingRun::Status::Pending ? undoRun(pending.run, control)
                                                         : UndoReport{};
}

int keepPendingRun(const std::string& stateDir) {
    const PendingRun pending = pendingRun(stateDir);
    return pending.run.empty() ? ENOENT : keepRun(pending.run);
}

int keepRun(const std::string& run) {
    const LockedRun lock(run);
    return lock.valid() ? markKept(run) : lock.error();
}

int dropRun(const std::string& run) {
    const LockedRun lock(run);
    if (!lock.valid()) {
        return lock.error();
    }
    return removeJournal(run);
}

}  // namespace fs
