// Undo of a run: every file back under its old name, the last moved first.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/journal/observer.h"
#include "fs/merge/steps.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "fs/undo/engine.h"
#include "fs/undo/identity.h"

namespace fs {

namespace {

std::int64_t nsOf(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

timespec timespecOf(std::int64_t ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

EntryProblem problemOf(int err) {
    return err == EEXIST || err == ENOTEMPTY ? EntryProblem::NameTaken : EntryProblem::RenameFailed;
}

// Whether a stat shows the file `file`.
IsFileNow isFile(const RecordedFile& file) {
    return [file](const struct stat& st) { return sameFile(seenOf(st), file); };
}

// One folder of the run taken back: its entries from the last, each where the examination found
// it. False when something refused, and may not later.
bool undoFolder(Prepared& run, std::size_t f, int dirfd, UndoReport& part, Progress& progress) {
    const JournalRead& journal = run.journal;
    const JournalPlan& plan = journal.plans[f];
    const Examination& exam = run.exams[f];
    const FolderState& state = exam.state;
    const int to = plan.moves() ? run.target.fd : dirfd;
    bool refused = false;
    RenameMethod method = RenameMethod::Unknown;
    // Its renames back recorded as the run's were: a kill between two steps is then proven.
    JournalObserver back(run.appender(), f);
    back.back();
    const auto failed = [&](std::uint64_t i, EntryProblem problem, int err) {
        part.problems.push_back(problemAt(journal, plan, i, exam, problem, err));
    };
    for (std::size_t i = plan.entries.size(); i-- > 0;) {
        const JournalEntry& e = plan.entries[i];
        const std::string& newName = nameInTarget(plan, i);
        const EntryEvents* events = plan.eventsOf(i);
        int err = 0;
        switch (state.states[i]) {
            case EntryState::AtNewName: {
                if (dropReservationBack(exam, i, dirfd, e.oldName)) {
                    ++part.reservationsRemoved;
                }
                const core::RenameStatus status =
                    renameNoReplace(to, newName, dirfd, e.oldName, method, &back);
                if (!status.done()) {
                    err = status.error != 0 ? status.error : EIO;
                    failed(i,
                           status.outcome == core::RenameOutcome::NoSafeRename
                               ? EntryProblem::NoSafeRename
                               : problemOf(err),
                           err);
                }
                break;
            }
            case EntryState::Copied: {
                // A copy back an earlier undo began: taken away while the copy it came from
                // stands, and made again.
                if (events->copyingBack &&
                    merge_steps::isCopyOf(dirfd, e.oldName, events->backCopy, to, newName, false)) {
                    syscalls().unlinkat(dirfd, e.oldName.c_str(), 0);
                }
                // The copy's drive may have kept neither mode nor owner: the original's.
                const merge_steps::Owner owner{events->mode, events->uid, events->gid};
                JournalWriter* const writer = run.appender();
                err = writer == nullptr
                          ? run.writerErr
                          : merge_steps::copyThenRemove(
                                to, newName, dirfd, e.oldName, plan.identity,
                                [&](FileId id) { return writer->recordCopyingBack(f, i, id); },
                                [&](FileId id, const merge_steps::Owner&) {
                                    return writer->recordCopiedBack(f, i, id);
                                },
                                events->ownerKnown ? &owner : nullptr);
                if (err != 0) {
                    failed(i, problemOf(err), err);
                }
                break;
            }
            case EntryState::Trashed: {
                err = restoreTrashed(*trashedOf(exam, i), isFile(fileAfter(plan, i)), dirfd,
                                     e.oldName, &back);
                if (err != 0) {
                    failed(i, problemOf(err), err);
                } else {
                    ++part.trashed;
                }
                break;
            }
            case EntryState::CutShort: {
                const NoReplaceRename& m = renameMethod(state.cutShortBy[i]);
                const RecordedFile before = fileBefore(plan, i);
                if (m.kind() == RenameMethod::Reservation) {
                    // Ours: empty, announced or heard of; the examination told it apart.
                    if (m.rollBack(dirfd, e.oldName, to, newName, isFile(before),
                                   [](const struct stat&) { return true; }) == 0) {
                        ++part.reservationsRemoved;
                    }
                    ++part.unchanged;
                    break;
                }
                err = m.rollBack(dirfd, e.oldName, to, newName, isFile(before), {});
                if (err != 0) {
                    part.problems.push_back(
                        problemAt(journal, plan, i, exam, EntryProblem::RemoveFailed, err));
                }
                break;
            }
            case EntryState::AtOldName:
                dropLeftovers(plan, i, dirfd, to);
                ++part.unchanged;
                break;
            case EntryState::Missing:
                failed(i, EntryProblem::Missing, 0);
                break;
            case EntryState::Unreachable:
                for (const auto& [entry, why] : state.unreachable) {
                    err = entry == i ? why : err;
                }
                failed(i, EntryProblem::Unreachable, err);
                ++part.leftForLater;
                err = 0;
                break;
        }
        if (err != 0) {
            refused = true;
            ++part.leftForLater;
        } else if (state.states[i] == EntryState::AtNewName ||
                   state.states[i] == EntryState::Copied ||
                   state.states[i] == EntryState::Trashed ||
                   (state.states[i] == EntryState::CutShort &&
                    state.cutShortBy[i] != RenameMethod::Reservation)) {
            ++part.renamed;
        }
        if (!progress.step()) {
            break;
        }
    }
    return refused;
}

}  // namespace

UndoReport undoRun(const std::string& path, const UndoControl& control) {
    UndoReport report;
    Prepared run;
    if (!prepare(path, control, run, report, Purpose::Undo)) {
        return report;
    }
    const JournalRead& journal = run.journal;
    const std::size_t folders = journal.plans.size();
    // A merge's destination left as the merge left it gets its time back with its names.
    struct stat targetWas {};
    const bool targetUntouched =
        journal.merge() && journal.plans[journal.destination].leftAt != 0 &&
        ::fstat(run.target.fd, &targetWas) == 0 &&
        nsOf(targetWas.st_mtim) == journal.plans[journal.destination].leftAt;
    // Each folder's part, merged in the order a folder after the other would meet them.
    std::vector<UndoReport> parts(folders);
    std::vector<char> refusedIn(folders, 0);
    Progress progress(control, report.entries);
    SyncBatch syncs;
    // Last folder first, and in each the last moved first: a later rename may have taken a name
    // an earlier one freed.
    inParallel(folders, run.jobs, [&](std::size_t k) {
        const std::size_t f = folders - 1 - k;
        const JournalPlan& plan = journal.plans[f];
        FolderState& state = run.exams[f].state;
        UndoReport& part = parts[k];
        if (plan.entries.empty() || progress.stopped()) {
            return;
        }
        Fd dirfd(reopen(plan, state));
        if (dirfd.get() < 0) {
            refusedIn[k] = reportFolder(plan, state, true, part);
            return;
        }
        // Left as the run left it: its time is given back with its names.
        struct stat st {};
        const bool untouched = plan.leftAt != 0 && plan.modifiedAt != 0 &&
                               ::fstat(dirfd.get(), &st) == 0 && nsOf(st.st_mtim) == plan.leftAt;
        refusedIn[k] = undoFolder(run, f, dirfd.get(), part, progress);
        if (part.renamed + part.reservationsRemoved > 0) {
            syncs.add(dirfd.get(), &part.syncError);
        }
        if (untouched && part.problems.empty()) {
            const timespec times[2] = {{0, UTIME_OMIT}, timespecOf(plan.modifiedAt)};
            ::futimens(dirfd.get(), times);
        }
    });
    syncs.flush();
    bool refused = false;
    for (std::size_t k = 0; k < folders; ++k) {
        mergeReport(report, parts[k]);
        refused = refused || refusedIn[k] != 0;
    }
    report.cancelled = progress.stopped();
    // The folders made again get their times once their files are back; a destination the
    // merge made goes again when empty.
    for (const std::uint32_t f : run.made) {
        const JournalPlan& plan = journal.plans[f];
        const timespec times[2] = {timespecOf(plan.accessedAt), timespecOf(plan.modifiedAt)};
        const std::string here = placeNow(plan);
        ::utimensat(AT_FDCWD, here.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    if (journal.merge()) {
        const JournalPlan& target = journal.plans[journal.destination];
        if (journal.flags.destinationMade && !report.cancelled) {
            const std::string here = placeNow(target);
            run.targetFd.reset();
            ::rmdir(here.c_str());  // only if empty
        } else {
            if (syscalls().fsync(run.target.fd) != 0 && report.syncError == 0) {
                report.syncError = errno;
            }
            if (targetUntouched && report.problems.empty() && target.modifiedAt != 0) {
                const timespec times[2] = {{0, UTIME_OMIT}, timespecOf(target.modifiedAt)};
                ::futimens(run.target.fd, times);
            }
        }
    }
    // The run's entries under their old names now: moved back, or never moved.
    report.back = report.unchanged + report.renamed;
    // Undone only once every entry is under its old name: a refused rename may succeed later,
    // and a file missing now may come back (an undo of a later run gives it its name again).
    if (refused || report.cancelled || report.syncError != 0 || report.back < report.entries) {
        report.journalKept = true;
        report.journalError = markPartlyUndone(path, report.back, report.entries);
    } else {
        report.journalError = markUndone(path);
    }
    return report;
}

UndoReport undoLastRun(const std::string& stateDir, const UndoControl& control) {
    if (const std::string live = newestRunInProgress(stateDir); !live.empty()) {
        UndoReport report;
        report.status = UndoReport::Status::InProgress;
        report.run = live;
        return report;
    }
    const std::string run = lastUndoableRun(stateDir);
    if (run.empty()) {
        return {};
    }
    return undoRun(run, control);
}

}  // namespace fs
