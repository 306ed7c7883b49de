#pragma once

// Undo of the last run, and recovery of a run that never ended (killed, or the machine off), both
// read from the run's journal and from the disk. Usable by the window and the command line alike:
// results are values (enums and errno), never words. No Qt here.

#include <cstdint>
#include <string>
#include <vector>

#include "core/rename_run.h"
#include "core/worklist.h"
#include "fs/journal.h"

namespace fs {

// Writes the run's plan as the journal in `stateDir` before the first rename, with each file's
// identity read in one pass over the folder, and marks it ended when the run ends.
class JournalRecorder : public core::RunJournal {
public:
    // `mayLeaveReservations`: the rename may create the new name empty before renaming onto it,
    // so a kill can leave an empty reservation behind for recovery to remove.
    explicit JournalRecorder(std::string stateDir = stateDirectory(),
                             bool mayLeaveReservations = false);

    int begin(const std::string& folder, const core::WorkList& renameList) override;
    void end() override;

    // Why the end could not be marked (0 if it was, or nothing was begun): the next start will
    // then offer recovery of a run that in fact ended, which is harmless.
    int endError() const { return endError_; }

private:
    std::string stateDir_;
    bool mayLeaveReservations_;
    bool begun_ = false;
    int endError_ = 0;
};

// Whether there is a run to undo: a journal exists in `stateDir`. Cheap: the file is not read.
bool hasUndo(const std::string& stateDir);

// Why one entry could not be undone or finished.
enum class EntryProblem {
    Missing,       // neither name holds the recorded file: changed, moved or removed since
    NameTaken,     // the name it would go to holds another file now
    RenameFailed,  // the file system refused the rename (err)
    RemoveFailed,  // a second name of the same file could not be removed (err)
    NoSafeRename,  // the file system cannot rename without risking to replace (err)
    NotReached,    // finish stopped at an earlier failure before this entry
};

struct EntryReport {
    std::string oldName;
    std::string newName;
    EntryProblem problem = EntryProblem::Missing;
    int err = 0;
};

// What an undo or a finish did.
struct UndoReport {
    enum class Status {
        Nothing,        // no journal: nothing to do
        Done,           // every entry was looked at; `problems` lists what could not be done
        BadJournal,     // damaged, truncated, foreign or unreadable (err): set aside, nothing done
        FolderGone,     // the run's folder is gone or is another folder now: set aside
        CannotExamine,  // the folder could not be opened or read (err): journal kept, nothing done
    };
    Status status = Status::Nothing;
    int err = 0;
    std::string folder;
    std::int64_t entries = 0;    // entries in the journal
    std::int64_t renamed = 0;    // files renamed back (undo) or on (finish) now
    std::int64_t unchanged = 0;  // entries that needed nothing
    std::int64_t reservationsRemoved = 0;
    std::vector<EntryReport> problems;  // in the order they were met
    int syncError = 0;                  // the folder could not be synced at the end
    int journalError = 0;               // the journal could not be marked ended
    bool journalKept = false;           // something is left that a later undo may still do
};

// Undoes the journal's run, finished or not: in reverse order, each file renamed back with the
// never-overwriting rename, and only where the new name still holds the recorded file. The
// journal is removed once nothing more could be undone; kept while a rename was refused.
UndoReport undoLastRun(const std::string& stateDir);

// A run that began and never ended.
struct PendingRun {
    enum class Status {
        None,           // no journal, or its run ended
        Pending,        // the run never ended: folder and counts are set
        BadJournal,     // set aside (err)
        FolderGone,     // set aside
        CannotExamine,  // kept (err)
    };
    Status status = Status::None;
    int err = 0;
    std::string folder;
    std::int64_t done = 0;     // entries under their new name
    std::int64_t notDone = 0;  // entries still under their old name
    std::int64_t missing = 0;  // entries under neither
};

// Looks for a run that never ended; a bad journal, or one whose folder is gone, is set aside
// here, so it is reported once.
PendingRun pendingRun(const std::string& stateDir);

// Renames the rest of a pending run in its order, stopping at the first refusal as the run does,
// and marks it ended; the journal is kept, so the whole run can still be undone.
UndoReport finishPendingRun(const std::string& stateDir);

// Undoes the part of a pending run that was done: the same as undoLastRun.
UndoReport undoPendingRun(const std::string& stateDir);

// Leaves a pending run as it is: marked ended, so the next start does not ask again, and kept
// for a later undo. Returns 0 or errno.
int keepPendingRun(const std::string& stateDir);

}  // namespace fs
