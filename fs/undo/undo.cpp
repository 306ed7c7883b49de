// Undo of a run: every file back under its old name, the last moved first.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

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

// The files an undo copied back whose copy had other names in the destination, by the copy's
// device and inode: the copy's other names go back as links to the same file, as the merge found
// them. Folders are undone side by side: shared under a lock.
class LinksBack {
public:
    // Remembers the file just copied back as `name` of `dirfd`, whose copy (`copy`) has other
    // names still to go back.
    void copiedBack(const struct stat& copy, int dirfd, const std::string& name) {
        Fd back(::openat(dirfd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (back.get() < 0 || ::fstat(back.get(), &st) != 0) {
            return;
        }
        const std::lock_guard lock(mutex_);
        backs_[{copy.st_dev, copy.st_ino}] = {std::move(back), st};
    }
    // Gives `newName` of `to` (the copy, `copy` its stat) back as `oldName` of `dirfd` by a link
    // to the file already copied back from the same copy, when it is unchanged (its size and time
    // still the copy's); `recording` hears of the file's identity before the link. ESTALE when
    // there is none: the caller copies it back.
    int linkBack(int to, const std::string& newName, const struct stat& copy, int dirfd,
                 const std::string& oldName, const std::function<int(FileId)>& recording) {
        if (!S_ISREG(copy.st_mode)) {
            return ESTALE;
        }
        const std::lock_guard lock(mutex_);
        const auto it = backs_.find({copy.st_dev, copy.st_ino});
        struct stat back {};
        if (it == backs_.end() || ::fstat(it->second.fd.get(), &back) != 0 ||
            back.st_ino != it->second.st.st_ino || back.st_size != copy.st_size ||
            nsOf(back.st_mtim) != nsOf(copy.st_mtim)) {
            return ESTALE;
        }
        if (const int err = recording(merge_steps::inodeIdOf(back)); err != 0) {
            return err;
        }
        // By the handle: the very file copied back, wherever its name is now.
        const std::string self = "/proc/self/fd/" + std::to_string(it->second.fd.get());
        if (syscalls().linkat(AT_FDCWD, self.c_str(), dirfd, oldName.c_str(), AT_SYMLINK_FOLLOW) !=
            0) {
            const int err = errno;
            return err == EEXIST ? err : ESTALE;
        }
        if (syscalls().fsync(dirfd) != 0) {
            return errno;
        }
        // The copy's name goes only while it holds the copy.
        struct stat now {};
        if (::fstatat(to, newName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == copy.st_dev && now.st_ino == copy.st_ino) {
            syscalls().unlinkat(to, newName.c_str(), 0);
        }
        return 0;
    }

private:
    struct Back {
        Fd fd;  // O_PATH
        struct stat st;
    };
    std::mutex mutex_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Back> backs_;
};

// Entry `i` of folder `f`, copied to the merge's destination on another drive (`to`), copied
// back into `dirfd` under its old name; a copy with other names is copied back once, and its
// other names are linked to that file. Returns 0 or the errno.
int copyBack(Prepared& run, std::size_t f, std::size_t i, int to, int dirfd, LinksBack& links) {
    const JournalPlan& plan = run.journal.plans[f];
    const JournalEntry& e = plan.entries[i];
    const std::string& newName = nameInTarget(plan, i);
    const EntryEvents* events = plan.eventsOf(i);
    // A copy back an earlier undo began: taken away while the copy it came from stands, and
    // made again.
    if (events->copyingBack &&
        merge_steps::isCopyOf(dirfd, e.oldName, events->backCopy, to, newName, false)) {
        syscalls().unlinkat(dirfd, e.oldName.c_str(), 0);
    }
    JournalWriter* const writer = run.appender();
    if (writer == nullptr) {
        return run.writerErr;
    }
    const auto recording = [&](FileId id) { return writer->recordCopyingBack(f, i, id); };
    struct stat copy {};
    const bool seen = ::fstatat(to, newName.c_str(), &copy, AT_SYMLINK_NOFOLLOW) == 0;
    int err = seen ? links.linkBack(to, newName, copy, dirfd, e.oldName, recording) : ESTALE;
    if (err != ESTALE) {
        return err;
    }
    // The copy's drive may have kept neither mode nor owner: the original's.
    const merge_steps::Owner owner{events->mode, events->uid, events->gid};
    err = merge_steps::copyThenRemove(
        to, newName, dirfd, e.oldName, plan.identity, recording,
        [&](FileId id, const merge_steps::Owner&) { return writer->recordCopiedBack(f, i, id); },
        events->ownerKnown ? &owner : nullptr);
    if (err == 0 && seen && S_ISREG(copy.st_mode) && copy.st_nlink > 1) {
        links.copiedBack(copy, dirfd, e.oldName);
    }
    return err;
}

// One folder of the run taken back: its entries from the last, each where the examination found
// it. False when something refused, and may not later.
bool undoFolder(Prepared& run, std::size_t f, int dirfd, UndoReport& part, Progress& progress,
                LinksBack& links) {
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
            case EntryState::Copied:
                err = copyBack(run, f, i, to, dirfd, links);
                if (err != 0) {
                    failed(i, problemOf(err), err);
                }
                break;
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
            // Refused (a name taken, a drive's error): said with its reason, not as a file that
            // cannot be reached now.
            refused = true;
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
    LinksBack links;
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
        if (control.folder) {
            control.folder(plan.folder);
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
        refusedIn[k] = undoFolder(run, f, dirfd.get(), part, progress, links);
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
        // Back: what this undo and those before it took back; of what the run had changed. A
        // file the run never reached was never changed: it is neither.
        const std::int64_t before = std::max<std::int64_t>(journal.partlyBack, 0);
        const std::int64_t back = before + report.renamed;
        const std::int64_t changed = std::max(back, report.entries - report.unchanged + before);
        report.journalError = markPartlyUndone(path, back, changed);
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
