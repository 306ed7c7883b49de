#pragma once

// Undo of a run, and recovery of a run that never ended (killed, or the machine off), both read
// from the run's journal and from the disk: where each entry's file is now (its old name, its new
// one, a copy on another drive, the Trash), told by the identity the journal recorded, and which
// step a kill left half done. One engine for renames and merges alike. Usable by the window and
// the command line alike: results are values (enums and errno), never words. No Qt here.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fs/journal/journal.h"
#include "fs/rename_methods.h"

namespace fs {

// Where an entry's file is, judged by its identity and by what the journal recorded of it.
//   Undo (entries in reverse order): AtNewName, Copied, Trashed -> back to its old name, never
//   replacing; CutShort -> its method rolls it back; AtOldName -> what a step left is removed;
//   Missing -> report it; Unreachable -> left for a later undo.
//   Finish: AtOldName -> moved on; CutShort -> its method completes it, or rolls it back and it is
//   moved again; AtNewName, Copied, Trashed -> done; Missing, Unreachable -> report it.
enum class EntryState : unsigned char {
    AtOldName,
    AtNewName,    // under its new name (or the number it was given) in the folder's target
    CutShort,     // a rename cut short between its steps, recognised by its method
    Missing,      // no place the journal knows of holds the recorded file
    Copied,       // its copy on the target's drive stands, whole, under its new name
    Trashed,      // in the Trash, where the journal says it went
    Unreachable,  // a name could not be looked up for another reason than its absence (err)
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
    // Why entries are Unreachable: entry and errno, in order.
    std::vector<std::pair<std::uint64_t, int>> unreachable;
};

// Opens the run's folder by its recorded path, or where its drive is mounted now, and checks it is
// the run's folder (or the one an undo made again in its place). On Ok returns a descriptor
// (O_DIRECTORY) the caller closes and renames relative to; otherwise -1.
int openRunFolder(const JournalPlan& plan, FolderState::Status& status, int& err);

// Where the folder of `plan` lies now: its recorded path, or the same place on its drive mounted
// elsewhere; empty when its drive is not connected.
std::string placeNow(const JournalPlan& plan);

// The state of every entry of a rename's folder `dirfd`, which must be the run's folder.
FolderState examineAt(int dirfd, const JournalPlan& plan);
// ... of a folder whose entries went to the folder `targetfd` (of `target`).
FolderState examineAt(int dirfd, const JournalPlan& plan, int targetfd, const JournalPlan& target);

// Opens a rename's folder, checks it, and examines every entry.
FolderState examine(const JournalPlan& plan);

// Why one entry could not be undone or finished.
enum class EntryProblem {
    Missing,        // no place holds the recorded file: changed, moved or removed since
    NameTaken,      // the name it would go to holds another file now
    Unreachable,    // a name could not be looked up now (err): left for a later undo
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
    std::string newName;  // a merge's: the whole path where the file is, or was to be
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
        InProgress,     // another process holds the run (`run` names it): nothing done
        AlreadyUndone,  // the run was undone before: nothing to do
    };
    Status status = Status::Nothing;
    int err = 0;
    std::string run;                   // the run's journal
    std::string folder;                // the run's first folder, or the one the status is about
    std::string drive;                 // the absent drive's label, else its last mount point
    std::vector<std::string> folders;  // every folder of the run, in run order
    std::int64_t entries = 0;          // entries in the journal
    std::int64_t renamed = 0;          // files renamed or moved back (undo) or on (finish) now
    std::int64_t trashed = 0;          // ... of them out of the Trash (undo) or into it (finish)
    std::int64_t unchanged = 0;        // entries that needed nothing
    std::int64_t reservationsRemoved = 0;
    std::int64_t leftForLater = 0;      // entries an undo could not take back now, but may later
    std::int64_t foldersMade = 0;       // folders the run had removed, made again
    std::vector<EntryReport> problems;  // in the order they were met
    int syncError = 0;                  // the folder could not be synced at the end
    int journalError = 0;               // the journal could not be marked
    bool journalKept = false;           // something is left that a later undo may still do
    bool cancelled = false;             // stopped between two entries at the user's request
    bool merge = false;                 // the run was a merge: files moved back, not renamed
    std::int64_t back = 0;              // after an undo: entries of the run back in all
};

// How an undo or a finish reports on its way, and is stopped.
struct UndoControl {
    // Called after each entry with (entries looked at, entries in all); returning false stops
    // before the next entry. The run is then kept, so the rest can still be done.
    std::function<bool(std::int64_t done, std::int64_t total)> progress;
    // Folders undone at once (each in reverse, the last ones first); 0: as many as the drive of
    // the run's first folder takes. Progress is then told from their threads, one at a time.
    int jobs = 1;
    // Told of each folder as its entries begin, from the thread that takes them.
    std::function<void(const std::string& folder)> folder = nullptr;
};

// One run of the history.
struct RunSummary {
    enum class State {
        Done,          // ended
        Cancelled,     // ended early: the user stopped it between two files
        CutShort,      // never ended, and nobody holds it: finish or undo it
        Pending,       // cut short, and its drive is not connected: kept for when it is
        Kept,          // cut short, and left so by the user
        PartlyUndone,  // an undo took back `back` of its `files`; the rest may come later
        Undone,        // taken back
        InProgress,    // a live run, or its undo, holds it
        Bad,           // damaged
    };
    std::string run;  // its journal
    State state = State::Done;
    std::int64_t startedAt = 0;  // ns since the epoch
    std::int64_t files = 0;      // files it meant to rename or move
    std::int64_t changed = 0;    // files it said it changed, when it ended
    // Files it renamed or moved (or put in the Trash): as it said when it ended, as found on the
    // disk when cut short; -1 where that cannot be known now (its drive away, in progress).
    std::int64_t done = -1;
    std::int64_t back = 0;    // files an undo took back, when partly undone
    std::int64_t backOf = 0;  // ... of this many the run had changed
    std::vector<std::string> folders;
    std::string drive;   // Pending: the absent drive's label, else its last mount point
    bool merge = false;  // a merge: `folders` are its sources, then its destination
};

// The runs of `stateDir`, newest first.
std::vector<RunSummary> runHistory(const std::string& stateDir);

// The most recent run that can be taken back: neither in progress nor undone (a damaged one
// counts, so that undo says so). Empty when there is none.
std::string lastUndoableRun(const std::string& stateDir);

// The newest run of `stateDir`, when another process holds it (a run in progress): `kovra undo`
// then refuses rather than take an older one. Empty otherwise.
std::string newestRunInProgress(const std::string& stateDir);

// Whether there is a run to undo.
bool hasUndo(const std::string& stateDir);

// Whether the run of the journal `run` can be taken back now: neither in progress nor undone.
bool undoable(const std::string& run);

// Undoes the run of the journal `run`, finished or not, holding its lock: in reverse order of
// folders and entries, each file moved back under its old name with the never-overwriting rename
// (out of the Trash for a duplicate, copied back from another drive), and only where the journal
// and the file's identity say it is; the folders a merge removed are made again first, with
// their modes and times, and a destination it made is removed again if empty. Marked undone once
// nothing is left to take back; partly undone while an entry could not be reached, a rename was
// refused or a folder could not be read, so that a later undo takes the rest.
UndoReport undoRun(const std::string& run, const UndoControl& control = {});

// Moves the rest of a run cut short in its order, as the run would have (a rename stops at the
// first refusal, or a folder gone or unreadable, as the run does), and marks it ended; the whole
// run can still be undone. Cancelled, it stays cut short.
UndoReport finishRun(const std::string& run, const UndoControl& control = {});

// undoRun of lastUndoableRun; InProgress (nothing done) when the newest run is in progress.
UndoReport undoLastRun(const std::string& stateDir, const UndoControl& control = {});

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
    std::int64_t done = 0;             // entries under their new name (or in the Trash)
    std::int64_t notDone = 0;          // entries still under their old name
    std::int64_t missing = 0;          // entries under neither, or whose folder is gone
    std::int64_t trashed = 0;          // ... of `done`, in the Trash
    bool merge = false;                // the run was a merge
};

// The most recent run cut short that nobody holds and the user has not left as it is (or has,
// with `kept`: the menu offers those too); a damaged journal is set aside here, so it is
// reported once.
PendingRun pendingRun(const std::string& stateDir, bool kept = false);

// finishRun, undoRun of pendingRun; keepPendingRun leaves it as it is, so the next start does
// not ask again, and keeps it for a later undo (returns 0 or errno).
UndoReport finishPendingRun(const std::string& stateDir, const UndoControl& control = {});
UndoReport undoPendingRun(const std::string& stateDir, const UndoControl& control = {});
int keepPendingRun(const std::string& stateDir);
// The same for the run cut short `run`.
int keepRun(const std::string& run);

// Forgets a run that nobody holds: its journal is removed, and it can no longer be finished or
// undone. Returns 0 or errno (EWOULDBLOCK: in progress).
int dropRun(const std::string& run);

}  // namespace fs
