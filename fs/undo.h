#pragma once

// Undo of the last run, and recovery of a run that never ended (killed, or the machine off), both
// read from the run's journal and from the disk. Usable by the window and the command line alike:
// results are values (enums and errno), never words. No Qt here.

#include <cstdint>
#include <memory>
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

// Keeps a run over several folders as one journal, so that undo takes back all of it: every
// folder's rename list is added first, the journal is written once (one fsync of the file and one
// of the state folder, however many folders), then each folder's run is handed runJournal(), and
// end() is called once after the last of them, whatever way the runs ended.
class TreeRecorder {
public:
    explicit TreeRecorder(std::string stateDir = stateDirectory(),
                          bool mayLeaveReservations = false);
    ~TreeRecorder();
    TreeRecorder(const TreeRecorder&) = delete;
    TreeRecorder& operator=(const TreeRecorder&) = delete;

    // Adds the folder open as `dirfd` (its absolute path `folder`) with the names its run will
    // rename, in order, each file's identity read now. Returns 0 or errno; after a failure, commit
    // fails with it.
    int addFolder(int dirfd, const std::string& folder, const core::WorkList& renameList);

    // Whether a folder was added.
    bool empty() const { return sections_.empty(); }

    // Writes the journal of every folder added. Returns 0 or errno: then no run may begin.
    int commit();

    // For each folder's run: begin() succeeds, writing nothing, only for a folder added with the
    // very same rename list, once, after a successful commit (EINVAL otherwise); end() does
    // nothing.
    core::RunJournal& runJournal();

    // Marks the journal ended, once a commit succeeded.
    void end();
    int endError() const { return endError_; }

private:
    class FolderJournal;
    struct Section {
        std::string folder;
        std::uint64_t names = 0;  // a checksum of the rename list
        bool begun = false;
    };
    std::string stateDir_;
    bool mayLeaveReservations_;
    JournalWriter writer_;
    int err_ = 0;
    bool started_ = false;
    bool committed_ = false;
    int endError_ = 0;
    std::vector<Section> sections_;
    std::unique_ptr<FolderJournal> runJournal_;
};

// Whether there is a run to undo: a journal exists in `stateDir`. Cheap: the file is not read.
bool hasUndo(const std::string& stateDir);

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
};

struct EntryReport {
    std::string folder;  // the folder of the entry
    std::string oldName;
    std::string newName;
    EntryProblem problem = EntryProblem::Missing;
    int err = 0;
};

// What an undo or a finish did. A run over several folders is taken folder by folder: a folder
// that is gone or cannot be read is left alone, its entries reported, and the others are done.
struct UndoReport {
    enum class Status {
        Nothing,        // no journal: nothing to do
        Done,           // every entry was looked at; `problems` lists what could not be done
        BadJournal,     // damaged, truncated, foreign or unreadable (err): set aside, nothing done
        FolderGone,     // the run's folders are all gone or are other folders now: set aside
        CannotExamine,  // no folder could be examined, one could not be opened or read (err):
                        // journal kept, nothing done
    };
    Status status = Status::Nothing;
    int err = 0;
    std::string folder;                // the run's first folder, or the one the status is about
    std::vector<std::string> folders;  // every folder of the run, in run order
    std::int64_t entries = 0;          // entries in the journal
    std::int64_t renamed = 0;          // files renamed back (undo) or on (finish) now
    std::int64_t unchanged = 0;        // entries that needed nothing
    std::int64_t reservationsRemoved = 0;
    std::vector<EntryReport> problems;  // in the order they were met
    int syncError = 0;                  // the folder could not be synced at the end
    int journalError = 0;               // the journal could not be marked ended
    bool journalKept = false;           // something is left that a later undo may still do
};

// Undoes the journal's run, finished or not: in reverse order of folders and entries, each file
// renamed back with the never-overwriting rename, and only where the new name still holds the
// recorded file. The journal is removed once nothing more could be undone; kept while a rename
// was refused or a folder could not be read.
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
    std::string folder;                // the run's first folder, or the one the status is about
    std::vector<std::string> folders;  // every folder of the run, in run order
    std::int64_t done = 0;             // entries under their new name
    std::int64_t notDone = 0;          // entries still under their old name
    std::int64_t missing = 0;          // entries under neither, or whose folder is gone
};

// Looks for a run that never ended; a bad journal, or one whose folders are all gone, is set
// aside here, so it is reported once. When a folder cannot be examined, nothing is offered.
PendingRun pendingRun(const std::string& stateDir);

// Renames the rest of a pending run in its order, stopping at the first refusal (or a folder
// gone or unreadable) as the run does, and marks it ended; the journal is kept, so the whole run
// can still be undone.
UndoReport finishPendingRun(const std::string& stateDir);

// Undoes the part of a pending run that was done: the same as undoLastRun.
UndoReport undoPendingRun(const std::string& stateDir);

// Leaves a pending run as it is: marked ended, so the next start does not ask again, and kept
// for a later undo. Returns 0 or errno.
int keepPendingRun(const std::string& stateDir);

}  // namespace fs
