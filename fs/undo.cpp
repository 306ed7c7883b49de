#include "fs/undo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
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

// Removes the empty reservation a kill left under entry `i`'s new name, only at `atStop`: the one
// entry where the run was cut short.
void clearLeftover(int dirfd, const Progress& progress, bool atStop, std::size_t i,
                   const JournalEntry& e, UndoReport& report) {
    if (atStop && progress.leftoverReservation[i] &&
        removeReservation(dirfd, e.newName, e.fileId)) {
        ++report.reservationsRemoved;
    }
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

// Drops `name`, the second name a link+unlink cut short left on an entry's file.
bool dropSecondName(int dirfd, const std::string& folder, const JournalEntry& e,
                    const std::string& name, UndoReport& report) {
    if (const int err = removeSecondName(dirfd, name, e.fileId); err != 0) {
        report.problems.push_back({folder, e.oldName, e.newName, EntryProblem::RemoveFailed, err});
        return false;
    }
    ++report.renamed;
    return true;
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

// Where the run was when it stopped, across its folders: the run goes through them in order, so
// it is in the first folder not wholly done. A folder that could not be examined may be it.
struct Frontier {
    std::size_t folder = 0;
    std::size_t entry = 0;
    bool at(std::size_t f, std::size_t e) const { return f == folder && e == entry; }
};

Frontier frontierOf(const std::vector<Progress>& progress) {
    Frontier f;
    for (f.folder = 0; f.folder < progress.size(); ++f.folder) {
        if (progress[f.folder].status != Progress::Status::Ok) {
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
bool prepare(const std::string& stateDir, JournalRead& journal, std::vector<Progress>& progress,
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
    const Progress* unreadable = nullptr;
    const JournalPlan* unreadableFolder = nullptr;
    bool anyOk = false;
    progress.reserve(journal.plans.size());
    for (const JournalPlan& plan : journal.plans) {
        report.folders.push_back(plan.folder);
        report.entries += static_cast<std::int64_t>(plan.entries.size());
        progress.push_back(examine(plan));
        const Progress& p = progress.back();
        anyOk = anyOk || p.status == Progress::Status::Ok;
        if (p.status != Progress::Status::Ok && !folderGone(p) && unreadable == nullptr) {
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
int reopen(const JournalPlan& plan, Progress& p) {
    if (p.status != Progress::Status::Ok) {
        return -1;
    }
    Progress::Status status = Progress::Status::Ok;
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
bool reportFolder(const JournalPlan& plan, const Progress& p, bool reverse, UndoReport& report) {
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

// Adds the folder `dirfd` at `folder` to `writer`, with each name of `renameList` and the
// identity of its file, read in one pass over the folder.
int recordFolder(JournalWriter& writer, int dirfd, const std::string& folder,
                 const core::WorkList& renameList) {
    int err = 0;
    const std::optional<FileId> folderId = fileIdAt(dirfd, ".");
    // The file list's own reading gave each name its inode number; a list without them (or a
    // name without one) is looked up in one pass over the folder.
    bool fromList = renameList.count() > 0;
    for (std::int64_t i = 0; fromList && i < renameList.count(); ++i) {
        fromList = renameList.inodeAt(i) != 0;
    }
    FolderInodes inodes;
    if (!folderId) {
        err = errno;
    } else if (!fromList) {
        err = inodes.read(dirfd);
    }
    const auto listed = [&](std::int64_t i) {
        return fromList ? std::optional<std::uint64_t>(renameList.inodeAt(i))
                        : inodes.find(renameList.at(i));
    };
    // Some file systems (overlays, some network ones) give readdir inode numbers that differ
    // from stat's: check the first name, and ask stat for each if they differ.
    bool statEach = false;
    if (err == 0 && renameList.count() > 0) {
        const std::optional<std::uint64_t> found = listed(0);
        const FileId byStat = idOrNone(dirfd, renameList.at(0));
        statEach = !found || byStat.inode != *found || byStat.device != folderId->device;
    }
    if (err == 0) {
        err = writer.addFolder(folder, *folderId);
    }
    for (std::int64_t i = 0; err == 0 && i < renameList.count(); ++i) {
        const std::string& name = renameList.at(i);
        FileId id;
        if (statEach) {
            id = idOrNone(dirfd, name);
        } else if (const std::optional<std::uint64_t> found = listed(i)) {
            id = {folderId->device, *found};
        }
        // A name the listing had and the folder has no longer keeps a zero identity: nothing
        // will ever be done to it.
        writer.add(name, core::prefixedName(folder, name), id);
    }
    return err;
}

// A checksum of a folder's rename list, to know the list a run begins with is the one recorded.
std::uint64_t namesChecksum(const core::WorkList& renameList) {
    std::uint64_t h = journalChecksum({});
    for (std::int64_t i = 0; i < renameList.count(); ++i) {
        const std::string& name = renameList.at(i);
        h = (h ^ journalChecksum(name)) * 0x100000001b3ULL;
    }
    return h ^ static_cast<std::uint64_t>(renameList.count());
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
    JournalWriter writer;
    int err = writer.begin(stateDir_, mayLeaveReservations_);
    if (err == 0) {
        err = recordFolder(writer, dirfd, folder, renameList);
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

class TreeRecorder::FolderJournal : public core::RunJournal {
public:
    explicit FolderJournal(TreeRecorder& tree) : tree_(tree) {}
    int begin(const std::string& folder, const core::WorkList& renameList) override {
        if (!tree_.committed_) {
            return EINVAL;
        }
        const std::uint64_t names = namesChecksum(renameList);
        for (Section& section : tree_.sections_) {
            if (!section.begun && section.folder == folder && section.names == names) {
                section.begun = true;
                return 0;
            }
        }
        // Not the plan that was recorded: renaming would leave renames undo does not know of.
        return EINVAL;
    }
    void end() override {}

private:
    TreeRecorder& tree_;
};

TreeRecorder::TreeRecorder(std::string stateDir, bool mayLeaveReservations)
    : stateDir_(std::move(stateDir)),
      mayLeaveReservations_(mayLeaveReservations),
      runJournal_(std::make_unique<FolderJournal>(*this)) {}

TreeRecorder::~TreeRecorder() = default;

int TreeRecorder::addFolder(int dirfd, const std::string& folder,
                            const core::WorkList& renameList) {
    if (err_ == 0 && committed_) {
        err_ = EINVAL;  // the journal is written: a folder added now would not be in it
    }
    if (err_ == 0 && stateDir_.empty()) {
        err_ = ENOENT;
    }
    if (err_ == 0 && !started_) {
        err_ = writer_.begin(stateDir_, mayLeaveReservations_);
        started_ = true;
    }
    if (err_ == 0) {
        err_ = recordFolder(writer_, dirfd, folder, renameList);
    }
    if (err_ == 0) {
        sections_.push_back({folder, namesChecksum(renameList), false});
    }
    return err_;
}

int TreeRecorder::commit() {
    if (err_ == 0 && (committed_ || sections_.empty())) {
        err_ = EINVAL;
    }
    if (err_ == 0) {
        err_ = writer_.commit();
    }
    committed_ = err_ == 0;
    return err_;
}

core::RunJournal& TreeRecorder::runJournal() {
    return *runJournal_;
}

void TreeRecorder::end() {
    if (committed_) {
        endError_ = markEnded(stateDir_);
        committed_ = false;
    }
}

bool hasUndo(const std::string& stateDir) {
    struct stat st {};
    return !stateDir.empty() && ::lstat(journalPath(stateDir).c_str(), &st) == 0;
}

UndoReport undoLastRun(const std::string& stateDir) {
    UndoReport report;
    JournalRead journal;
    std::vector<Progress> progress;
    if (!prepare(stateDir, journal, progress, report)) {
        return report;
    }
    const Frontier edge = frontierOf(progress);
    bool refused = false;
    // Last folder first, and in each the last renamed first: a later rename may have taken a name
    // an earlier one freed.
    for (std::size_t f = journal.plans.size(); f-- > 0;) {
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
        for (std::size_t i = entries.size(); i-- > 0;) {
            const JournalEntry& e = entries[i];
            switch (states[i]) {
                case EntryState::AtNewName:
                    refused |=
                        !moveEntry(dirfd, plan.folder, e, e.newName, e.oldName, method, report);
                    break;
                case EntryState::AtBothNames:
                    refused |= !dropSecondName(dirfd, plan.folder, e, e.newName, report);
                    break;
                case EntryState::AtOldName:
                    clearLeftover(dirfd, progress[f], edge.at(f, i), i, e, report);
                    ++report.unchanged;
                    break;
                case EntryState::Missing:
                    report.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::Missing, 0});
                    break;
            }
        }
        syncFolder(dirfd, report.renamed + report.reservationsRemoved > changedBefore, report);
        ::close(dirfd);
    }
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
    pending.folder = journal.plans.front().folder;
    bool anyOk = false;
    std::int64_t gone = 0;
    for (const JournalPlan& plan : journal.plans) {
        pending.folders.push_back(plan.folder);
        const Progress progress = examine(plan);
        if (progress.status != Progress::Status::Ok) {
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

UndoReport finishPendingRun(const std::string& stateDir) {
    UndoReport report;
    JournalRead journal;
    std::vector<Progress> progress;
    if (!prepare(stateDir, journal, progress, report)) {
        return report;
    }
    const Frontier edge = frontierOf(progress);
    bool stopped = false;
    for (std::size_t f = 0; f < journal.plans.size(); ++f) {
        const JournalPlan& plan = journal.plans[f];
        const std::vector<JournalEntry>& entries = plan.entries;
        const std::vector<EntryState>& states = progress[f].states;
        if (stopped && progress[f].status == Progress::Status::Ok) {
            for (std::size_t i = 0; i < entries.size(); ++i) {
                if (states[i] == EntryState::AtOldName) {
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
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const JournalEntry& e = entries[i];
            if (stopped) {
                if (states[i] == EntryState::AtOldName) {
                    report.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::NotReached, 0});
                }
                continue;
            }
            switch (states[i]) {
                case EntryState::AtOldName: {
                    clearLeftover(dirfd, progress[f], edge.at(f, i), i, e, report);
                    // As the run does: the first refusal ends it.
                    stopped =
                        !moveEntry(dirfd, plan.folder, e, e.oldName, e.newName, method, report);
                    break;
                }
                case EntryState::AtBothNames:
                    stopped = !dropSecondName(dirfd, plan.folder, e, e.oldName, report);
                    break;
                case EntryState::AtNewName:
                    ++report.unchanged;
                    break;
                case EntryState::Missing:
                    report.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::Missing, 0});
                    break;
            }
        }
        syncFolder(dirfd, report.renamed + report.reservationsRemoved > changedBefore, report);
        ::close(dirfd);
    }
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
