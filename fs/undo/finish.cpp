// Finishing a run cut short: the rest moved on in the run's order, as the run would have.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/paths.h"
#include "fs/journal/observer.h"
#include "fs/merge/steps.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "fs/undo/engine.h"
#include "fs/undo/identity.h"

namespace fs {

namespace {

IsFileNow isFile(const RecordedFile& file) {
    return [file](const struct stat& st) { return sameFile(seenOf(st), file); };
}

// Whether entry `i` has its file under the old name alone, or beside a reservation of ours.
bool stillToMove(const FolderState& state, std::size_t i) {
    return state.states[i] == EntryState::AtOldName ||
           (state.states[i] == EntryState::CutShort &&
            state.cutShortBy[i] == RenameMethod::Reservation);
}

// Settles what a kill left between a move's steps: a second name completed where the file stands
// whole at both, a reservation taken away (the file is then still to move). False when the
// leftover could not be removed.
bool settleCutShort(const Prepared& run, std::size_t f, std::size_t i, int dirfd, int to,
                    UndoReport& report) {
    const JournalPlan& plan = run.journal.plans[f];
    const FolderState& state = run.exams[f].state;
    const JournalEntry& e = plan.entries[i];
    const std::string& newName = nameInTarget(plan, i);
    const NoReplaceRename& method = renameMethod(state.cutShortBy[i]);
    if (method.kind() == RenameMethod::Reservation) {
        if (method.rollBack(dirfd, e.oldName, to, newName, isFile(fileBefore(plan, i)),
                            [](const struct stat&) { return true; }) == 0) {
            ++report.reservationsRemoved;
        }
        return true;
    }
    const int err = method.complete(dirfd, e.oldName, to, newName, isFile(fileBefore(plan, i)));
    if (err != 0) {
        report.problems.push_back(
            problemAt(run.journal, plan, i, run.exams[f], EntryProblem::RemoveFailed, err));
        return false;
    }
    ++report.renamed;
    return true;
}

// The rest of a rename's folders, in order, stopping at the first refusal as the run does.
void finishRenames(Prepared& run, Progress& progress, UndoReport& report) {
    JournalRead& journal = run.journal;
    bool stopped = false;
    SyncBatch syncs;
    std::vector<int> syncErrors(journal.plans.size(), 0);
    for (std::size_t f = 0; f < journal.plans.size() && !report.cancelled; ++f) {
        const JournalPlan& plan = journal.plans[f];
        FolderState& state = run.exams[f].state;
        if (stopped && state.status == FolderState::Status::Ok) {
            for (std::size_t i = 0; i < plan.entries.size(); ++i) {
                if (stillToMove(state, i)) {
                    report.problems.push_back(
                        problemAt(journal, plan, i, run.exams[f], EntryProblem::NotReached, 0));
                }
            }
            continue;
        }
        Fd dirfd(stopped ? -1 : reopen(plan, state));
        if (dirfd.get() < 0) {
            // As the run does at a folder it cannot open: it stops there.
            reportFolder(plan, state, false, report);
            stopped = true;
            continue;
        }
        const std::int64_t changedBefore = report.renamed + report.reservationsRemoved;
        RenameMethod method = RenameMethod::Unknown;
        JournalObserver appender(run.appender(), f);
        for (std::size_t i = 0; i < plan.entries.size() && !report.cancelled; ++i) {
            const JournalEntry& e = plan.entries[i];
            if (stopped) {
                if (stillToMove(state, i)) {
                    report.problems.push_back(
                        problemAt(journal, plan, i, run.exams[f], EntryProblem::NotReached, 0));
                }
                continue;
            }
            switch (state.states[i]) {
                case EntryState::CutShort:
                    stopped = !settleCutShort(run, f, i, dirfd.get(), dirfd.get(), report);
                    if (stopped || !stillToMove(state, i)) {
                        break;
                    }
                    [[fallthrough]];
                case EntryState::AtOldName: {
                    // As the run does: the first refusal ends it.
                    const core::RenameStatus status =
                        renameNoReplace(dirfd.get(), e.oldName, e.newName, method, &appender);
                    if (status.done()) {
                        ++report.renamed;
                    } else {
                        stopped = true;
                        report.problems.push_back(
                            {plan.folder, e.oldName, e.newName,
                             status.outcome == core::RenameOutcome::NoSafeRename
                                 ? EntryProblem::NoSafeRename
                             : status.error == EEXIST || status.error == ENOTEMPTY
                                 ? EntryProblem::NameTaken
                                 : EntryProblem::RenameFailed,
                             status.error});
                    }
                    break;
                }
                case EntryState::AtNewName:
                    if (dropReservationBack(run.exams[f], i, dirfd.get(),
                                            plan.entries[i].oldName)) {
                        ++report.reservationsRemoved;
                    }
                    ++report.unchanged;
                    break;
                case EntryState::Copied:
                case EntryState::Trashed:
                    ++report.unchanged;
                    break;
                case EntryState::Missing:
                case EntryState::Unreachable:
                    report.problems.push_back(problemAt(journal, plan, i, run.exams[f],
                                                        state.states[i] == EntryState::Missing
                                                            ? EntryProblem::Missing
                                                            : EntryProblem::Unreachable,
                                                        0));
                    break;
            }
            report.cancelled = !progress.step();
        }
        if (report.renamed + report.reservationsRemoved > changedBefore) {
            syncs.add(dirfd.get(), &syncErrors[f]);
        }
    }
    syncs.flush();
    for (const int err : syncErrors) {
        report.syncError = report.syncError != 0 ? report.syncError : err;
    }
}

// The rest of a merge, each file as the merge would have moved it, then its emptied folders.
void finishMerge(Prepared& run, Progress& progress, UndoReport& report) {
    JournalRead& journal = run.journal;
    const JournalPlan& target = journal.plans[journal.destination];
    JournalWriter* const writer = run.appender();
    if (writer == nullptr) {
        report.journalError = run.writerErr;
        report.journalKept = true;
        return;
    }
    merge_steps::Mover mover(run.target.fd, target.identity, journal.flags, writer);
    const int destfd = run.target.fd;
    for (std::size_t f = 0; f < journal.plans.size() && !report.cancelled; ++f) {
        const JournalPlan& plan = journal.plans[f];
        if (plan.entries.empty()) {
            continue;
        }
        FolderState& state = run.exams[f].state;
        const bool examined = state.status == FolderState::Status::Ok;
        Fd dirfd(reopen(plan, state));
        if (dirfd.get() < 0 && examined && plan.removing) {
            // Removed by the merge once emptied: every file it held went before.
            for (std::size_t i = 0; i < plan.entries.size(); ++i) {
                const EntryState now = run.exams[f].state.states[i];
                if (now == EntryState::AtNewName || now == EntryState::Copied ||
                    now == EntryState::Trashed) {
                    ++report.unchanged;
                } else {
                    report.problems.push_back(
                        problemAt(journal, plan, i, run.exams[f], EntryProblem::FolderGone, 0));
                }
            }
            continue;
        }
        if (dirfd.get() < 0) {
            reportFolder(plan, state, false, report);
            continue;
        }
        merge_steps::Source source;
        source.fd = dirfd.get();
        source.path = plan.folder;
        source.section = f;
        bool changed = false;
        for (std::size_t i = 0; i < plan.entries.size() && !report.cancelled; ++i) {
            const JournalEntry& e = plan.entries[i];
            const EntryEvents* events = plan.eventsOf(i);
            const std::string& newName = nameInTarget(plan, i);
            const EntryState now = state.states[i];
            report.cancelled = !progress.step();
            if (now == EntryState::AtNewName &&
                dropReservationBack(run.exams[f], i, dirfd.get(), e.oldName)) {
                ++report.reservationsRemoved;
            }
            if (now == EntryState::AtNewName || now == EntryState::Copied ||
                now == EntryState::Trashed) {
                ++report.unchanged;  // done before the merge was cut short
                continue;
            }
            if (now == EntryState::Missing || now == EntryState::Unreachable) {
                report.problems.push_back(problemAt(
                    journal, plan, i, run.exams[f],
                    now == EntryState::Missing ? EntryProblem::Missing : EntryProblem::Unreachable,
                    0));
                continue;
            }
            if (now == EntryState::CutShort) {
                if (!settleCutShort(run, f, i, dirfd.get(), destfd, report)) {
                    continue;
                }
                if (!stillToMove(state, i)) {
                    changed = true;
                    continue;
                }
            }
            // A copy whole and checked, its original not yet gone: the copy stands for it.
            if (events != nullptr && events->copied) {
                const Seen copy = seeAt(destfd, newName);
                if (sameFile(copy, {target.identity, events->copyId, 0, 0}) &&
                    merge_steps::sameContent(dirfd.get(), e.oldName, destfd, newName) &&
                    syscalls().unlinkat(dirfd.get(), e.oldName.c_str(), 0) == 0) {
                    ++report.renamed;
                    changed = true;
                    continue;
                }
            }
            dropLeftovers(plan, i, dirfd.get(), destfd);
            const merge_steps::Outcome outcome = mover.move(source, e.oldName, e.newName, i);
            if (outcome.kind == merge_steps::Outcome::Left) {
                report.problems.push_back({plan.folder, e.oldName,
                                           core::joinPath(target.folder, std::string(outcome.name)),
                                           outcome.err == 0 ? EntryProblem::NameTaken
                                           : outcome.err == EEXIST || outcome.err == ENOTEMPTY
                                               ? EntryProblem::NameTaken
                                               : EntryProblem::RenameFailed,
                                           outcome.err});
            } else {
                ++report.renamed;
                report.trashed += outcome.kind == merge_steps::Outcome::Trashed ? 1 : 0;
                changed = true;
            }
        }
        if (changed && syscalls().fsync(dirfd.get()) != 0 && report.syncError == 0) {
            report.syncError = errno;
        }
    }
    if (journal.flags.keepFolders || report.cancelled) {
        return;
    }
    // The folders of the walk that are empty now, deepest first, recorded before they go.
    std::vector<std::uint32_t> emptied;
    for (std::uint32_t f = static_cast<std::uint32_t>(journal.plans.size()); f-- > 0;) {
        const JournalPlan& plan = journal.plans[f];
        struct stat st {};
        if (plan.walked && ::lstat(plan.folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_ino) == plan.folderId.inode) {
            emptied.push_back(f);
        }
    }
    if (!emptied.empty() && writer->recordRemoving(emptied) == 0) {
        for (const std::uint32_t f : emptied) {
            ::rmdir(journal.plans[f].folder.c_str());  // only if empty
        }
    }
    if (syscalls().fsync(destfd) != 0 && report.syncError == 0) {
        report.syncError = errno;
    }
}

}  // namespace

UndoReport finishRun(const std::string& path, const UndoControl& control) {
    UndoReport report;
    Prepared run;
    if (!prepare(path, control, run, report, Purpose::Finish)) {
        return report;
    }
    Progress progress(control, report.entries);
    if (run.journal.merge()) {
        finishMerge(run, progress, report);
    } else {
        finishRenames(run, progress, report);
    }
    report.cancelled = report.cancelled || progress.stopped();
    // Ended, so the whole run can still be undone and is not offered at the next start again;
    // stopped by the user, it stays cut short, offered again.
    report.journalKept = true;
    if (!report.cancelled && report.journalError == 0 && !run.journal.ended) {
        JournalWriter* const writer = run.appender();
        report.journalError =
            writer == nullptr ? run.writerErr : writer->end(report.renamed + report.unchanged);
    }
    return report;
}

}  // namespace fs
