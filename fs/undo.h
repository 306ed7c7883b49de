#pragma once

// Undo of the last run, and recovery of a run that never ended (killed, or the machine off), both
// read from the run's journal and from the disk: which of an entry's two names holds the
// recorded file (device and inode), and which rename method left a rename cut short. Usable by the
// window and the command line alike: results are values (enums and errno), never words. No Qt here.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fs/journal.h"
#include "fs/rename_methods.h"

namespace fs {

// Where an entry's file is, judged by its identity only.
//   Undo (entries in reverse order): AtNewName -> rename new back to old, never replacing;
//   CutShort -> its method rolls it back; AtOldName -> nothing to do; Missing -> report it.
//   Finish: AtOldName -> rename old to new; CutShort -> its method completes it, or rolls it back
//   and it is renamed again; AtNewName -> done; Missing -> report it.
enum class EntryState : unsigned char {
    AtOldName,
    AtNewName,
    CutShort,  // a rename cut short between its steps, recognised by its method
    Missing,   // neither name holds the recorded file
};

// The state of every entry of one folder of a run.
struct FolderState {
    enum class Status {
        Ok,
        CannotOpen,     // the folder could not be opened (err)
        OtherFolder,    // the folder's path now names another folder than the run's
        CannotExamine,  // a name could not be looked up for a reason other than its absence (err)
        DriveAbsent,    // the folder's drive is not connected
    };
    Status status = Status::Ok;
    int err = 0;
    std::vector<EntryState> states;  // one per entry, in plan order, when Ok
    // One per entry when Ok: the method whose rename was cut short there (for CutShort).
    std::vector<RenameMethod> cutShortBy;
};

// Opens the run's folder by its recorded path, or where its drive is mounted now, and checks it is
// the run's folder. On Ok returns a descriptor (O_DIRECTORY) the caller closes and renames
// relative to; otherwise -1.
int openRunFolder(const JournalPlan& plan, FolderState::Status& status, int& err);

// The state of every entry in the folder `dirfd`, which must be the run's folder.
FolderState examineAt(int dirfd, const JournalPlan& plan);

// Opens the run's folder, checks it, and examines every entry.
FolderState examine(const JournalPlan& plan);

// Why one entry could not be undone or finished.
enum class EntryProblem {
    Missing,        // neither name holds the recorded file: changed, moved or removed since
    NameTaken,      // the name it would go to holds another file now
    RenameFailed,   // the file system refused the rename (err)
    RemoveFailed,   // a second name of the same file could not be removed (err)
    NoSafeRename,   // the file system cannot rename without risking to replace (err)
    NotReached,     // finish stopped at an earlier failure before this entry
    FolderGone,     // its folder is gone, or its path names another folder now
    CannotExamine,  // its folder could not be opened or read (err): nothing done in it
    DriveAbsent,    // its drive is not connected: nothing done in it yet
};

struct EntryReport {
    std::string folder;  // the folder of the entry
    std::string oldName;
    std::string newName;  // a merge's: the new name's whole path, in its destination
    EntryProblem problem = EntryProblem::Missing;
    int err = 0;
};

// What an undo or a finish did. A run over several folders is taken folder by folder: a folder
// that is gone or cannot be read is left alone, its entries reported, and the others are done.
struct UndoReport {
    enum class Status {
        Nothing,        // no run to act on
        Done,           // every entry was looked at; `problems` lists what could not be done
        BadJournal,     // damaged or unreadable (err): set aside, nothing done
        FolderGone,     // the run's folders are all gone or are other folders now: kept
        CannotExamine,  // no folder could be examined, one could not be opened or read (err):
                        // kept, nothing done
        DriveAbsent,    // the run's drive is not connected (`drive` names it): kept, nothing done
        InProgress,     // another process holds the run: nothing done
    };
    Status status = Status::Nothing;
    int err = 0;
    std::string run;                   // the run's journal
    std::string folder;                // the run's first folder, or the one the status is about
    std::string drive;                 // the absent drive's label, else its last mount point
    std::vector<std::string> folders;  // every folder of the run, in run order
    std::int64_t entries = 0;          // entries in the journal
    std::int64_t renamed = 0;          // files renamed back (undo) or on (finish) now
    std::int64_t unchanged = 0;        // entries that needed nothing
    std::int64_t reservationsRemoved = 0;
    std::vector<EntryReport> problems;  // in the order they were met
    int syncError = 0;                  // the folder could not be synced at the end
    int journalError = 0;               // the journal could not be marked
    bool journalKept = false;           // something is left that a later undo may still do
    bool cancelled = false;             // stopped between two entries at the user's request
    bool merge = false;                 // the run was a merge: files moved back, not renamed
};

// How an undo or a finish reports on its way, and is stopped.
struct UndoControl {
    // Called after each entry with (entries looked at, entries in all); returning false stops
    // before the next entry. The run is then kept, so the rest can still be done.
    std::function<bool(std::int64_t done, std::int64_t total)> progress;
    // Folders undone at once (each in reverse, the last ones first); 0: as many as the drive of
    // the run's first folder takes. Progress is then told from their threads, one at a time.
    int jobs = 1;
};

// One run of the history.
struct RunSummary {
    enum class State {
        Done,        // ended
        CutShort,    // never ended, and nobody holds it: finish or undo it
        Kept,        // cut short, and left so by the user
        Undone,      // taken back
        InProgress,  // a live run, or its undo, holds it
        Bad,         // damaged
    };
    std::string run;  // its journal
    State state = State::Done;
    std::int64_t startedAt = 0;  // ns since the epoch
    std::int64_t files = 0;      // files it meant to rename
    std::vector<std::string> folders;
    bool merge = false;  // a merge: `folders` are its sources, then its destination
};

// The runs of `stateDir`, newest first.
std::vector<RunSummary> runHistory(const std::string& stateDir);

// The most recent run that can be taken back: neither in progress nor undone (a damaged one
// counts, so that undo says so). Empty when there is none.
std::string lastUndoableRun(const std::string& stateDir);

// Whether there is a run to undo.
bool hasUndo(const std::string& stateDir);

// Whether the run of the journal `run` can be taken back now: neither in progress nor undone.
bool undoable(const std::string& run);

// Undoes the run of the journal `run`, finished or not, holding its lock: in reverse order of
// folders and entries, each file renamed back with the never-overwriting rename, and only where
// the new name still holds the recorded file. Marked undone once nothing more could be undone;
// left as it is while a rename was refused or a folder could not be read.
UndoReport undoRun(const std::string& run, const UndoControl& control = {});

// Renames the rest of a run cut short in its order, stopping at the first refusal (or a folder
// gone or unreadable) as the run does, and marks it left as it is; the whole run can still be
// undone.
UndoReport finishRun(const std::string& run, const UndoControl& control = {});

// undoRun of lastUndoableRun.
UndoReport undoLastRun(const std::string& stateDir, const UndoControl& control = {});

// A merge's journal (fs/merge.h) is acted on by these, which undoRun, finishRun and pendingRun
// hand it to. undoMerge takes the whole merge back: each file into its folder under its old name
// (out of the Trash for a duplicate, copied back from another drive), the removed folders made
// again with their modes and times, a destination it made removed again if empty. finishMerge
// moves the rest of a merge cut short, as the merge would have.
UndoReport undoMerge(const std::string& run, const UndoControl& control = {});
UndoReport finishMerge(const std::string& run, const UndoControl& control = {});

// A run that began and never ended, whose owner has gone.
struct PendingRun {
    enum class Status {
        None,           // no such run
        Pending,        // folder and counts are set
        BadJournal,     // set aside (err)
        FolderGone,     // its folders are all gone: kept
        CannotExamine,  // kept (err)
        DriveAbsent,    // its drive is not connected (`drive` names it): kept for later
    };
    Status status = Status::None;
    int err = 0;
    std::string run;                   // the run's journal
    std::string folder;                // the run's first folder, or the one the status is about
    std::string drive;                 // the absent drive's label, else its last mount point
    std::vector<std::string> folders;  // every folder of the run, in run order
    std::int64_t done = 0;             // entries under their new name
    std::int64_t notDone = 0;          // entries still under their old name
    std::int64_t missing = 0;          // entries under neither, or whose folder is gone
};

// The most recent run cut short that nobody holds and the user has not left as it is; a damaged
// journal is set aside here, so it is reported once.
PendingRun pendingRun(const std::string& stateDir);

// The same of the merge `run`, which the caller holds locked: status None when it ended.
PendingRun pendingMerge(const std::string& run);

// finishRun, undoRun of pendingRun; keepPendingRun leaves it as it is, so the next start does
// not ask again, and keeps it for a later undo (returns 0 or errno).
UndoReport finishPendingRun(const std::string& stateDir, const UndoControl& control = {});
UndoReport undoPendingRun(const std::string& stateDir, const UndoControl& control = {});
int keepPendingRun(const std::string& stateDir);

// Forgets a run that nobody holds: its journal is removed, and it can no longer be finished or
// undone. Returns 0 or errno (EWOULDBLOCK: in progress).
int dropRun(const std::string& run);

}  // namespace fs
