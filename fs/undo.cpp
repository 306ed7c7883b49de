#include "fs/undo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/naming.h"
#include "fs/rename.h"
#include "fs/syscalls.h"

namespace fs {

namespace {

// Every name of the folder `dirfd` with its inode number, in one readdir pass: a stat per name
// costs far more for a million files.
// The file's identity without following a link; a zero identity (never matched) when it is gone.
FileId idOrNone(int dirfd, const std::string& name) {
    return fileIdAt(dirfd, name).value_or(FileId{});
}

// Removes `name` only while it still is the file `id`: the other name keeps it.
int removeSecondName(int dirfd, const std::string& name, FileId id) {
    if (idOrNone(dirfd, name) != id) {
        return ESTALE;
    }
    return syscalls().unlinkat(dirfd, name.c_str(), 0) == 0 ? 0 : errno;
}

// Removes `name` only while it is an empty regular file that is not `keep`: a reservation the
// rename left behind.
bool removeReservation(int dirfd, const std::string& name, FileId keep) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != 0 ||
        FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} ==
            keep) {
        return false;
    }
    return syscalls().unlinkat(dirfd, name.c_str(), 0) == 0;
}

EntryReport problemOf(const JournalEntry& e, const core::RenameStatus& status) {
    EntryProblem problem = EntryProblem::RenameFailed;
    if (status.outcome == core::RenameOutcome::NoSafeRename) {
        problem = EntryProblem::NoSafeRename;
    } else if (status.error == EEXIST || status.error == ENOTEMPTY) {
        problem = EntryProblem::NameTaken;
    }
    return {e.oldName, e.newName, problem, status.error};
}

// The first entry the run had not finished: the only one a kill can leave a reservation beside.
std::size_t frontier(const Progress& progress) {
    std::size_t i = 0;
    while (i < progress.states.size() && progress.states[i] == EntryState::AtNewName) {
        ++i;
    }
    return i;
}

bool folderGone(const Progress& p) {
    return p.status == Progress::Status::OtherFolder ||
           (p.status == Progress::Status::CannotOpen && (p.err == ENOENT || p.err == ENOTDIR));
}

// Reads the journal and examines its folder; fills `report` and returns the folder's descriptor,
// or -1 when nothing is to be done (a bad journal or a gone folder is set aside here).
int prepare(const std::string& stateDir, JournalRead& journal, Progress& progress,
            UndoReport& report) {
    journal = readJournal(stateDir);
    if (journal.status == JournalRead::Status::None) {
        report.status = UndoReport::Status::Nothing;
        return -1;
    }
    if (journal.status == JournalRead::Status::Bad) {
        report.status = UndoReport::Status::BadJournal;
        report.err = journal.err;
        setAside(stateDir);
        return -1;
    }
    report.folder = journal.plan.folder;
    report.entries = static_cast<std::int64_t>(journal.plan.entries.size());
    const int dirfd = openRunFolder(journal.plan, progress.status, progress.err);
    if (dirfd >= 0) {
        progress = examineAt(dirfd, journal.plan);
    }
    if (progress.status == Progress::Status::Ok) {
        return dirfd;
    }
    if (dirfd >= 0) {
        ::close(dirfd);
    }
    report.err = progress.err;
    if (folderGone(progress)) {
        report.status = UndoReport::Status::FolderGone;
        setAside(stateDir);
    } else {
        report.status = UndoReport::Status::CannotExamine;
        report.journalKept = true;
    }
    return -1;
}

void syncFolder(int dirfd, UndoReport& report) {
    if (report.renamed + report.reservationsRemoved > 0 && syscalls().fsync(dirfd) != 0) {
        report.syncError = errno;
    }
}

}  // namespace

JournalRecorder::JournalRecorder(std::string stateDir, bool mayLeaveReservations)
    : stateDir_(std::move(stateDir)), mayLeaveReservations_(mayLeaveReservations) {}

int JournalRecorder::begin(const std::string& folder, const core::WorkList& renameList) {
    begun_ = false;
    endError_ = 0;
    if (stateDir_.empty()) {
        return ENOENT;
    }
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) {
        return errno;
    }
    int err = 0;
    const std::optional<FileId> folderId = fileIdAt(dirfd, ".");
    FolderInodes inodes;
    if (!folderId) {
        err = errno;
    } else {
        err = inodes.read(dirfd);
    }
    // Some file systems (overlays, some network ones) give readdir inode numbers that differ
    // from stat's: check the first name, and ask stat for each if they differ.
    bool statEach = false;
    if (err == 0 && renameList.count() > 0) {
        const std::string& first = renameList.at(0);
        const std::optional<std::uint64_t> found = inodes.find(first);
        const FileId byStat = idOrNone(dirfd, first);
        statEach = !found || byStat.inode != *found || byStat.device != folderId->device;
    }
    JournalWriter writer;
    if (err == 0) {
        err = writer.begin(stateDir_, folder, *folderId, mayLeaveReservations_);
    }
    for (std::int64_t i = 0; err == 0 && i < renameList.count(); ++i) {
        const std::string& name = renameList.at(i);
        FileId id;
        if (statEach) {
            id = idOrNone(dirfd, name);
        } else if (const std::optional<std::uint64_t> found = inodes.find(name)) {
            id = {folderId->device, *found};
        }
        // A name the listing had and the folder has no longer keeps a zero identity: nothing
        // will ever be done to it.
        writer.add(name, core::prefixedName(folder, name), id);
    }
    ::close(dirfd);
    if (err == 0) {
        err = writer.commit();
    }
    begun_ = err == 0;
    return err;
}

void JournalRecorder::end() {
    if (begun_) {
        endError_ = markEnded(stateDir_);
        begun_ = false;
    }
}

bool hasUndo(const std::string& stateDir) {
    struct stat st {};
    return !stateDir.empty() && ::lstat(journalPath(stateDir).c_str(), &st) == 0;
}

UndoReport undoLastRun(const std::string& stateDir) {
    UndoReport report;
    JournalRead journal;
    Progress progress;
    const int dirfd = prepare(stateDir, journal, progress, report);
    if (dirfd < 0) {
        return report;
    }
    report.status = UndoReport::Status::Done;
    const std::vector<JournalEntry>& entries = journal.plan.entries;
    const std::size_t edge = frontier(progress);
    bool refused = false;
    // Last renamed first: a later rename may have taken a name an earlier one freed.
    for (std::size_t i = entries.size(); i-- > 0;) {
        const JournalEntry& e = entries[i];
        switch (progress.states[i]) {
            case EntryState::AtNewName: {
                const core::RenameStatus status = renameNoReplace(dirfd, e.newName, e.oldName);
                if (status.done()) {
                    ++report.renamed;
                } else {
                    report.problems.push_back(problemOf(e, status));
                    refused = true;
                }
                break;
            }
            case EntryState::AtBothNames:
                if (const int err = removeSecondName(dirfd, e.newName, e.fileId); err == 0) {
                    ++report.renamed;
                } else {
                    report.problems.push_back(
                        {e.oldName, e.newName, EntryProblem::RemoveFailed, err});
                    refused = true;
                }
                break;
            case EntryState::AtOldName:
                if (i == edge && progress.leftoverReservation[i] &&
                    removeReservation(dirfd, e.newName, e.fileId)) {
                    ++report.reservationsRemoved;
                }
                ++report.unchanged;
                break;
            case EntryState::Missing:
                report.problems.push_back({e.oldName, e.newName, EntryProblem::Missing, 0});
                break;
        }
    }
    syncFolder(dirfd, report);
    ::close(dirfd);
    // A refused rename may succeed later; a file changed since never will come back.
    if (refused || report.syncError != 0) {
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
    pending.folder = journal.plan.folder;
    const Progress progress = examine(journal.plan);
    if (progress.status != Progress::Status::Ok) {
        pending.err = progress.err;
        if (folderGone(progress)) {
            pending.status = PendingRun::Status::FolderGone;
            setAside(stateDir);
        } else {
            pending.status = PendingRun::Status::CannotExamine;
        }
        return pending;
    }
    pending.status = PendingRun::Status::Pending;
    for (const EntryState state : progress.states) {
        switch (state) {
            case EntryState::AtNewName:
            case EntryState::AtBothNames:
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
    return pending;
}

UndoReport finishPendingRun(const std::string& stateDir) {
    UndoReport report;
    JournalRead journal;
    Progress progress;
    const int dirfd = prepare(stateDir, journal, progress, report);
    if (dirfd < 0) {
        return report;
    }
    report.status = UndoReport::Status::Done;
    const std::vector<JournalEntry>& entries = journal.plan.entries;
    const std::size_t edge = frontier(progress);
    bool stopped = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const JournalEntry& e = entries[i];
        if (stopped) {
            if (progress.states[i] == EntryState::AtOldName) {
                report.problems.push_back({e.oldName, e.newName, EntryProblem::NotReached, 0});
            }
            continue;
        }
        switch (progress.states[i]) {
            case EntryState::AtOldName: {
                if (i == edge && progress.leftoverReservation[i] &&
                    removeReservation(dirfd, e.newName, e.fileId)) {
                    ++report.reservationsRemoved;
                }
                const core::RenameStatus status = renameNoReplace(dirfd, e.oldName, e.newName);
                if (status.done()) {
                    ++report.renamed;
                } else {
                    // As the run does: the first refusal ends it.
                    report.problems.push_back(problemOf(e, status));
                    stopped = true;
                }
                break;
            }
            case EntryState::AtBothNames:
                if (const int err = removeSecondName(dirfd, e.oldName, e.fileId); err == 0) {
                    ++report.renamed;
                } else {
                    report.problems.push_back(
                        {e.oldName, e.newName, EntryProblem::RemoveFailed, err});
                    stopped = true;
                }
                break;
            case EntryState::AtNewName:
                ++report.unchanged;
                break;
            case EntryState::Missing:
                report.problems.push_back({e.oldName, e.newName, EntryProblem::Missing, 0});
                break;
        }
    }
    syncFolder(dirfd, report);
    ::close(dirfd);
    // Kept, so the whole run can still be undone.
    report.journalKept = true;
    report.journalError = markEnded(stateDir);
    return report;
}

UndoReport undoPendingRun(const std::string& stateDir) {
    return undoLastRun(stateDir);
}

int keepPendingRun(const std::string& stateDir) {
    return markEnded(stateDir);
}

}  // namespace fs
