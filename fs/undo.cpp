#include "fs/undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "fs/folder_reader.h"
#include "fs/syscalls.h"

namespace fs {

namespace {

// What a name holds, looked up by stat.
struct NameLookup {
    bool present = false;
    FileId id;
    bool emptyFile = false;
    std::int64_t modifiedAt = 0;
};

// Looks `name` up in `dirfd`; false when that failed for a reason other than its absence.
bool lookUp(int dirfd, const std::string& name, NameLookup& out, int& err) {
    struct stat st {};
    out = {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        err = errno;
        return false;
    }
    out.present = true;
    out.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    out.emptyFile = S_ISREG(st.st_mode) && st.st_size == 0;
    out.modifiedAt = static_cast<std::int64_t>(st.st_mtime);
    return true;
}

// Which method, if any, left the entry's names looking like `now`.
RenameMethod cutShortBy(const NamesNow& now, const JournalPlan& plan) {
    for (const NoReplaceRename* const* m = methodsThatCutShort(); *m != nullptr; ++m) {
        const bool mayLeave =
            (*m)->kind() != RenameMethod::Reservation || plan.mayLeaveReservations;
        if (mayLeave && (*m)->cutShort(now, plan.writtenAt)) {
            return (*m)->kind();
        }
    }
    return RenameMethod::Unknown;
}

EntryReport problemOf(const std::string& folder, const JournalEntry& e,
                      const core::RenameStatus& status) {
    EntryProblem problem = EntryProblem::RenameFailed;
    if (status.outcome == core::RenameOutcome::NoSafeRename) {
        problem = EntryProblem::NoSafeRename;
    } else if (status.error == EEXIST || status.error == ENOTEMPTY) {
        problem = EntryProblem::NameTaken;
    }
    return {folder, e.oldName, e.newName, problem, status.error};
}

// Renames an entry's file from `from` to `to`, counting it, or its problem; false on a refusal.
// `method` carries what the folder's file system offers from one file to the next.
bool moveEntry(int dirfd, const std::string& folder, const JournalEntry& e, const std::string& from,
               const std::string& to, RenameMethod& method, UndoReport& report) {
    const core::RenameStatus status = renameNoReplace(dirfd, from, to, method);
    if (status.done()) {
        ++report.renamed;
        return true;
    }
    report.problems.push_back(problemOf(folder, e, status));
    return false;
}

// Rolls back (undo) or completes (finish) the rename cut short at entry `i`. A reservation,
// removed, is counted apart; the entry is then still to be renamed when finishing. False when the
// method's leftover could not be removed.
bool settleCutShort(int dirfd, const std::string& folder, const FolderState& state, std::size_t i,
                    const JournalEntry& e, bool finishing, UndoReport& report) {
    const NoReplaceRename& method = renameMethod(state.cutShortBy[i]);
    if (method.kind() == RenameMethod::Reservation) {
        if (method.rollBack(dirfd, e.oldName, e.newName, e.fileId) == 0) {
            ++report.reservationsRemoved;
        }
        return true;
    }
    const int err = finishing ? method.complete(dirfd, e.oldName, e.newName, e.fileId)
                              : method.rollBack(dirfd, e.oldName, e.newName, e.fileId);
    if (err != 0) {
        report.problems.push_back({folder, e.oldName, e.newName, EntryProblem::RemoveFailed, err});
        return false;
    }
    ++report.renamed;
    return true;
}

// The first entry the run had not finished: the only one a kill can leave a reservation beside.
std::size_t frontier(const FolderState& state) {
    std::size_t i = 0;
    while (i < state.states.size() && state.states[i] == EntryState::AtNewName) {
        ++i;
    }
    return i;
}

bool folderGone(const FolderState& p) {
    return p.status == FolderState::Status::OtherFolder ||
           (p.status == FolderState::Status::CannotOpen && (p.err == ENOENT || p.err == ENOTDIR));
}

// Reports progress; false when the user asked to stop.
bool goOn(const UndoControl& control, std::int64_t looked, std::int64_t total) {
    return !control.progress || control.progress(looked, total);
}

// Whether entry `i` has its file under the old name alone, or beside a reservation of ours.
bool stillToRename(const FolderState& state, std::size_t i) {
    return state.states[i] == EntryState::AtOldName ||
           (state.states[i] == EntryState::CutShort &&
            state.cutShortBy[i] == RenameMethod::Reservation);
}

// Where the run was when it stopped, across its folders: the run goes through them in order, so
// it is in the first folder not wholly done. A folder that could not be examined may be it.
struct Frontier {
    std::size_t folder = 0;
    std::size_t entry = 0;
    bool at(std::size_t f, std::size_t e) const { return f == folder && e == entry; }
};

Frontier frontierOf(const std::vector<FolderState>& progress) {
    Frontier f;
    for (f.folder = 0; f.folder < progress.size(); ++f.folder) {
        if (progress[f.folder].status != FolderState::Status::Ok) {
            f.entry = SIZE_MAX;
            return f;
        }
        f.entry = frontier(progress[f.folder]);
        if (f.entry < progress[f.folder].states.size()) {
            return f;
        }
    }
    return f;
}

// Reads the journal and examines every folder of it; fills `report`. False when nothing is to be
// done: no journal, a bad one (set aside here), or no folder that can be examined (set aside
// when all are gone).
bool prepare(const std::string& stateDir, JournalRead& journal, std::vector<FolderState>& progress,
             UndoReport& report) {
    journal = readJournal(stateDir);
    if (journal.status == JournalRead::Status::None) {
        report.status = UndoReport::Status::Nothing;
        return false;
    }
    if (journal.status == JournalRead::Status::Bad) {
        report.status = UndoReport::Status::BadJournal;
        report.err = journal.err;
        setAside(stateDir);
        return false;
    }
    report.folder = journal.plans.front().folder;
    const FolderState* unreadable = nullptr;
    const JournalPlan* unreadableFolder = nullptr;
    bool anyOk = false;
    progress.reserve(journal.plans.size());
    for (const JournalPlan& plan : journal.plans) {
        report.folders.push_back(plan.folder);
        report.entries += static_cast<std::int64_t>(plan.entries.size());
        progress.push_back(examine(plan));
        const FolderState& p = progress.back();
        anyOk = anyOk || p.status == FolderState::Status::Ok;
        if (p.status != FolderState::Status::Ok && !folderGone(p) && unreadable == nullptr) {
            unreadable = &p;
            unreadableFolder = &plan;
        }
    }
    if (anyOk) {
        report.status = UndoReport::Status::Done;
        return true;
    }
    if (unreadable != nullptr) {
        report.status = UndoReport::Status::CannotExamine;
        report.err = unreadable->err;
        report.folder = unreadableFolder->folder;
        report.journalKept = true;
    } else {
        report.status = UndoReport::Status::FolderGone;
        report.err = progress.front().err;
        setAside(stateDir);
    }
    return false;
}

// Opens a folder examined as Ok again for acting in it; -1 (with `p` saying why) when it is no
// longer there.
int reopen(const JournalPlan& plan, FolderState& p) {
    if (p.status != FolderState::Status::Ok) {
        return -1;
    }
    FolderState::Status status = FolderState::Status::Ok;
    int err = 0;
    const int dirfd = openRunFolder(plan, status, err);
    if (dirfd < 0) {
        p.status = status;
        p.err = err;
    }
    return dirfd;
}

// Reports every entry of a folder that could not be acted in, in the order they would have been
// met; true when it may yet be (the folder could not be read, but is there).
bool reportFolder(const JournalPlan& plan, const FolderState& p, bool reverse, UndoReport& report) {
    const bool gone = folderGone(p);
    const EntryProblem problem = gone ? EntryProblem::FolderGone : EntryProblem::CannotExamine;
    const int err = gone ? 0 : p.err;
    const std::size_t n = plan.entries.size();
    for (std::size_t k = 0; k < n; ++k) {
        const JournalEntry& e = plan.entries[reverse ? n - 1 - k : k];
        report.problems.push_back({plan.folder, e.oldName, e.newName, problem, err});
    }
    return !gone;
}

void syncFolder(int dirfd, bool changed, UndoReport& report) {
    if (changed && syscalls().fsync(dirfd) != 0 && report.syncError == 0) {
        report.syncError = errno;
    }
}

// A reservation is only ever left where the run was cut short: elsewhere an empty file under a
// new name is somebody's, and the entry is simply at its old name.
void keepReservationsAtFrontier(std::vector<FolderState>& states, const Frontier& edge) {
    for (std::size_t f = 0; f < states.size(); ++f) {
        FolderState& state = states[f];
        for (std::size_t i = 0; i < state.states.size(); ++i) {
            if (state.states[i] == EntryState::CutShort &&
                state.cutShortBy[i] == RenameMethod::Reservation && !edge.at(f, i)) {
                state.states[i] = EntryState::AtOldName;
            }
        }
    }
}

}  // namespace

int openRunFolder(const JournalPlan& plan, FolderState::Status& status, int& err) {
    err = 0;
    const int fd = ::open(plan.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        status = FolderState::Status::CannotOpen;
        return -1;
    }
    const std::optional<FileId> id = fileIdAt(fd, ".");
    if (!id) {
        err = errno;
        status = FolderState::Status::CannotOpen;
    } else if (*id != plan.folderId) {
        status = FolderState::Status::OtherFolder;
    } else {
        status = FolderState::Status::Ok;
        return fd;
    }
    ::close(fd);
    return -1;
}

FolderState examineAt(int dirfd, const JournalPlan& plan) {
    FolderState result;
    const std::optional<FileId> folder = fileIdAt(dirfd, ".");
    if (!folder) {
        result.status = FolderState::Status::CannotOpen;
        result.err = errno;
        return result;
    }
    if (*folder != plan.folderId) {
        result.status = FolderState::Status::OtherFolder;
        return result;
    }
    result.states.reserve(plan.entries.size());
    result.cutShortBy.reserve(plan.entries.size());
    // One reading of the folder answers for most entries; a stat only where the listing's inode
    // numbers are not stat's (some overlay and network file systems) or a leftover may need its
    // size.
    InodesByName inodes;
    bool listingAnswers = inodes.read(dirfd) == 0 && !plan.entries.empty();
    if (listingAnswers) {
        const JournalEntry& first = plan.entries.front();
        for (const std::string* name : {&first.oldName, &first.newName}) {
            NameLookup byStat;
            const std::optional<std::uint64_t> byListing = inodes.find(*name);
            if (!lookUp(dirfd, *name, byStat, result.err) ||
                byStat.present != byListing.has_value() ||
                (byStat.present &&
                 (byStat.id.inode != *byListing || byStat.id.device != plan.folderId.device))) {
                listingAnswers = false;
            }
        }
    }
    const auto fromListing = [&](const std::string& name) {
        const std::optional<std::uint64_t> inode = inodes.find(name);
        NameLookup found;
        found.present = inode.has_value();
        found.id = {plan.folderId.device, inode.value_or(0)};
        return found;
    };
    const auto cannotExamine = [&result] {
        result.status = FolderState::Status::CannotExamine;
        result.states.clear();
        result.cutShortBy.clear();
        return result;
    };
    for (const JournalEntry& e : plan.entries) {
        NameLookup atOld;
        NameLookup atNew;
        if (listingAnswers) {
            atOld = fromListing(e.oldName);
            atNew = fromListing(e.newName);
            // The size and time of a possible leftover come from a stat.
            if (atOld.present && atOld.id == e.fileId && atNew.present && atNew.id != e.fileId &&
                !lookUp(dirfd, e.newName, atNew, result.err)) {
                return cannotExamine();
            }
        } else if (!lookUp(dirfd, e.oldName, atOld, result.err) ||
                   !lookUp(dirfd, e.newName, atNew, result.err)) {
            return cannotExamine();
        }
        NamesNow now;
        now.oldHolds = atOld.present && atOld.id == e.fileId;
        now.newHolds = atNew.present && atNew.id == e.fileId;
        now.newTaken = atNew.present && !now.newHolds;
        now.newIsEmptyFile = now.newTaken && atNew.emptyFile;
        now.newModifiedAt = atNew.modifiedAt;
        const RenameMethod method = cutShortBy(now, plan);
        result.cutShortBy.push_back(method);
        result.states.push_back(method != RenameMethod::Unknown ? EntryState::CutShort
                                : now.oldHolds                  ? EntryState::AtOldName
                                : now.newHolds                  ? EntryState::AtNewName
                                                                : EntryState::Missing);
    }
    return result;
}

FolderState examine(const JournalPlan& plan) {
    FolderState result;
    const int fd = openRunFolder(plan, result.status, result.err);
    if (fd < 0) {
        return result;
    }
    result = examineAt(fd, plan);
    ::close(fd);
    return result;
}

bool hasUndo(const std::string& stateDir) {
    struct stat st {};
    return !stateDir.empty() && ::lstat(journalPath(stateDir).c_str(), &st) == 0;
}

UndoReport undoLastRun(const std::string& stateDir, const UndoControl& control) {
    UndoReport report;
    JournalRead journal;
    std::vector<FolderState> progress;
    if (!prepare(stateDir, journal, progress, report)) {
        return report;
    }
    keepReservationsAtFrontier(progress, frontierOf(progress));
    bool refused = false;
    std::int64_t looked = 0;
    // Last folder first, and in each the last renamed first: a later rename may have taken a name
    // an earlier one freed.
    for (std::size_t f = journal.plans.size(); f-- > 0 && !report.cancelled;) {
        const JournalPlan& plan = journal.plans[f];
        const int dirfd = reopen(plan, progress[f]);
        if (dirfd < 0) {
            refused = reportFolder(plan, progress[f], true, report) || refused;
            continue;
        }
        const std::vector<JournalEntry>& entries = plan.entries;
        const std::vector<EntryState>& states = progress[f].states;
        const std::int64_t changedBefore = report.renamed + report.reservationsRemoved;
        RenameMethod method = RenameMethod::Unknown;
        for (std::size_t i = entries.size(); i-- > 0 && !report.cancelled;) {
            const JournalEntry& e = entries[i];
            switch (states[i]) {
                case EntryState::AtNewName:
                    refused |=
                        !moveEntry(dirfd, plan.folder, e, e.newName, e.oldName, method, report);
                    break;
                case EntryState::CutShort:
                    refused |=
                        !settleCutShort(dirfd, plan.folder, progress[f], i, e, false, report);
                    if (progress[f].cutShortBy[i] == RenameMethod::Reservation) {
                        ++report.unchanged;
                    }
                    break;
                case EntryState::AtOldName:
                    ++report.unchanged;
                    break;
                case EntryState::Missing:
                    report.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::Missing, 0});
                    break;
            }
            report.cancelled = !goOn(control, ++looked, report.entries);
        }
        syncFolder(dirfd, report.renamed + report.reservationsRemoved > changedBefore, report);
        ::close(dirfd);
    }
    // A refused rename may succeed later; a file changed since never will come back.
    if (refused || report.cancelled || report.syncError != 0) {
        report.journalKept = true;
        if (!journal.ended) {
            report.journalError = markEnded(stateDir);
        }
    } else if (const int err = removeJournal(stateDir); err != 0 && err != ENOENT) {
        report.journalError = err;
    }
    return report;
}

PendingRun pendingRun(const std::string& stateDir) {
    PendingRun pending;
    const JournalRead journal = readJournal(stateDir);
    if (journal.status == JournalRead::Status::None) {
        return pending;
    }
    if (journal.status == JournalRead::Status::Bad) {
        pending.status = PendingRun::Status::BadJournal;
        pending.err = journal.err;
        setAside(stateDir);
        return pending;
    }
    if (journal.ended) {
        return pending;
    }
    pending.folder = journal.plans.front().folder;
    bool anyOk = false;
    std::int64_t gone = 0;
    for (const JournalPlan& plan : journal.plans) {
        pending.folders.push_back(plan.folder);
        const FolderState progress = examine(plan);
        if (progress.status != FolderState::Status::Ok) {
            if (!folderGone(progress)) {
                // Offered only once every folder can be looked at.
                pending.status = PendingRun::Status::CannotExamine;
                pending.err = progress.err;
                pending.folder = plan.folder;
                return pending;
            }
            gone += static_cast<std::int64_t>(plan.entries.size());
            continue;
        }
        anyOk = true;
        for (std::size_t i = 0; i < progress.states.size(); ++i) {
            switch (progress.states[i]) {
                case EntryState::CutShort:
                    // A link cut short has the file under its new name already.
                    if (progress.cutShortBy[i] == RenameMethod::Reservation) {
                        ++pending.notDone;
                    } else {
                        ++pending.done;
                    }
                    break;
                case EntryState::AtNewName:
                    ++pending.done;
                    break;
                case EntryState::AtOldName:
                    ++pending.notDone;
                    break;
                case EntryState::Missing:
                    ++pending.missing;
                    break;
            }
        }
    }
    if (!anyOk) {
        pending.status = PendingRun::Status::FolderGone;
        pending.done = pending.notDone = pending.missing = 0;
        setAside(stateDir);
        return pending;
    }
    pending.status = PendingRun::Status::Pending;
    pending.missing += gone;
    return pending;
}

UndoReport finishPendingRun(const std::string& stateDir, const UndoControl& control) {
    UndoReport report;
    JournalRead journal;
    std::vector<FolderState> progress;
    if (!prepare(stateDir, journal, progress, report)) {
        return report;
    }
    keepReservationsAtFrontier(progress, frontierOf(progress));
    bool stopped = false;
    std::int64_t looked = 0;
    for (std::size_t f = 0; f < journal.plans.size() && !report.cancelled; ++f) {
        const JournalPlan& plan = journal.plans[f];
        const std::vector<JournalEntry>& entries = plan.entries;
        const std::vector<EntryState>& states = progress[f].states;
        if (stopped && progress[f].status == FolderState::Status::Ok) {
            for (std::size_t i = 0; i < entries.size(); ++i) {
                if (stillToRename(progress[f], i)) {
                    report.problems.push_back({plan.folder, entries[i].oldName, entries[i].newName,
                                               EntryProblem::NotReached, 0});
                }
            }
            continue;
        }
        const int dirfd = stopped ? -1 : reopen(plan, progress[f]);
        if (dirfd < 0) {
            // As the run does at a folder it cannot open: it stops there.
            reportFolder(plan, progress[f], false, report);
            stopped = true;
            continue;
        }
        const std::int64_t changedBefore = report.renamed + report.reservationsRemoved;
        RenameMethod method = RenameMethod::Unknown;
        for (std::size_t i = 0; i < entries.size() && !report.cancelled; ++i) {
            const JournalEntry& e = entries[i];
            if (stopped) {
                if (stillToRename(progress[f], i)) {
                    report.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::NotReached, 0});
                }
                continue;
            }
            switch (states[i]) {
                case EntryState::CutShort:
                    stopped = !settleCutShort(dirfd, plan.folder, progress[f], i, e, true, report);
                    if (stopped || !stillToRename(progress[f], i)) {
                        break;
                    }
                    [[fallthrough]];
                case EntryState::AtOldName:
                    // As the run does: the first refusal ends it.
                    stopped =
                        !moveEntry(dirfd, plan.folder, e, e.oldName, e.newName, method, report);
                    break;
                case EntryState::AtNewName:
                    ++report.unchanged;
                    break;
                case EntryState::Missing:
                    report.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::Missing, 0});
                    break;
            }
            report.cancelled = !goOn(control, ++looked, report.entries);
        }
        syncFolder(dirfd, report.renamed + report.reservationsRemoved > changedBefore, report);
        ::close(dirfd);
    }
    // Kept, so the whole run can still be undone.
    report.journalKept = true;
    report.journalError = markEnded(stateDir);
    return report;
}

UndoReport undoPendingRun(const std::string& stateDir, const UndoControl& control) {
    return undoLastRun(stateDir, control);
}

int keepPendingRun(const std::string& stateDir) {
    return markEnded(stateDir);
}

}  // namespace fs
