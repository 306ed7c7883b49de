#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/folder_identity.h"
#include "core/names.h"
#include "core/worklist.h"

namespace core {

// A run of selected positions, both ends included.
struct SelectionRange {
    std::int64_t first = 0;
    std::int64_t last = 0;
};

// What the run needs of the file list: the folder, the entries in display order, and the
// selection as ascending, disjoint ranges (reading them must not cost a query per entry).
class FileList {
public:
    virtual ~FileList() = default;
    virtual const std::string& path() const = 0;
    virtual std::int64_t count() const = 0;
    virtual std::string_view at(std::int64_t i) const = 0;
    // The inode number the listing found for entry `i`, or 0 when it has none: the run's journal
    // then looks it up itself.
    virtual std::uint64_t inodeAt(std::int64_t i) const {
        (void)i;
        return 0;
    }
    virtual std::vector<SelectionRange> selectedRanges() const = 0;
    // The folder the entries were read from, when the list knows it: the run renames nothing in
    // another folder that has taken its path since.
    virtual std::optional<FolderIdentity> folderIdentity() const { return std::nullopt; }
    // Reads the folder again; nothing is selected afterwards.
    virtual void refresh() = 0;
    // The run has renamed the first `renamed` names of `renameList`, each to its prefixed name,
    // and nothing else; nothing is selected afterwards. By default the folder is read again.
    virtual void afterRun(const WorkList& renameList, std::int64_t renamed) {
        (void)renameList;
        (void)renamed;
        refresh();
    }
    // The table `at` reads (entry i is name i), kept unchanged for as long as it is held, refresh
    // or not, so the work lists can refer to its names; null when the list has none.
    virtual std::shared_ptr<const NameTable> names() const { return nullptr; }
};

// How one rename ended.
enum class RenameOutcome {
    Done,
    // The file system refused; `error` says why.
    Failed,
    // The file system offers no rename that is sure not to replace an existing file.
    NoSafeRename,
    // The folder could not be opened, so no file was tried.
    FolderUnavailable,
};

struct RenameStatus {
    RenameOutcome outcome = RenameOutcome::Done;
    int error = 0;  // errno; 0 when done
    // EPERM because the folder has the sticky bit and neither the file nor the folder belongs to
    // the user: only the owner may rename it.
    bool othersFileInStickyFolder = false;
    // The drive did not answer a call that changes names (a server stopped or gone): it may have
    // made it, or still make it, so the file may be under both names or the new one alone.
    bool mayHaveActed = false;

    bool done() const { return outcome == RenameOutcome::Done; }
    static RenameStatus failed(int error) { return {RenameOutcome::Failed, error}; }
};

// A folder opened once for the whole run; names are relative to it.
class Folder {
public:
    virtual ~Folder() = default;
    // Renames `from` to `to` inside the folder, never replacing an existing `to`.
    virtual RenameStatus rename(const std::string& from, const std::string& to) = 0;
    // Makes the renames durable. Returns 0, or the errno when they may not be.
    virtual int sync() = 0;
    // The names under which the program's own files lie in this folder: the run never renames
    // them, whatever they are called.
    virtual std::vector<std::string> programNames() const { return {}; }
    // The folder as opened, when the file system can tell.
    virtual std::optional<FolderIdentity> identity() const { return std::nullopt; }
    // The folder's open file descriptor, for a journal that records it; -1 when there is none.
    virtual int descriptor() const { return -1; }
};

struct OpenedFolder {
    std::unique_ptr<Folder> folder;  // null on failure
    int error = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual OpenedFolder open(const std::string& path) = 0;
};

// What to do with names beginning with "." in the rename list: the prefix would unhide them.
enum class HiddenNames { Rename, LeaveOut, Cancel };
// Keeps a run's plan where a later start can find it, so the run can be undone, or finished after
// a kill.
class RunJournal {
public:
    virtual ~RunJournal() = default;
    // Called once before the first rename with the folder (`opened`, as the run opened it, when
    // it could) and every name to be renamed, in order. Returns 0, or the errno when the plan
    // could not be kept: the run then renames nothing.
    virtual int begin(const std::string& folder, const WorkList& renameList,
                      const Folder* opened = nullptr) = 0;
    // Called before the rename of name `entries - 1` of the rename list when the `kept` of the
    // last call does not reach it: waits until the plan's first `entries` names are kept for
    // good, sets `kept` to how many are, and returns 0; or returns the errno when they cannot be,
    // and the run stops before that rename. A journal that keeps the whole plan in begin() need
    // not wait.
    virtual int keep(std::int64_t entries, std::int64_t& kept) {
        (void)entries;
        kept = std::numeric_limits<std::int64_t>::max();
        return 0;
    }
    // Called when the user stopped the run between two files, before its end().
    virtual void cancelled() {}
    // Called once the run has ended, whatever way, after a successful begin(), with the number of
    // files renamed.
    virtual void end(std::int64_t renamed) = 0;
};

struct RunOptions {
    // Names the run never renames, besides the running program's own file.
    std::vector<std::string> excluded{"kovra.exe"};
    // Asked once before any rename when the rename list would hold names beginning with ".",
    // given those names in list order. Unset, they are renamed like any other.
    std::function<HiddenNames(const std::vector<std::string>& hidden)> hiddenNames;
    // Called after each rename with (done, total); returning false stops the run before the next.
    std::function<bool(std::int64_t done, std::int64_t total)> progress;
    // Where the plan is kept before the first rename; none: the run cannot be undone.
    RunJournal* journal = nullptr;
};

struct RunResult {
    enum class End {
        NothingSelected,  // no file selected: nothing renamed, no refresh
        Completed,        // every name of the rename list renamed (possibly none)
        Failed,           // stopped at the first failing rename
        Cancelled,        // stopped by the progress callback between two files
        Declined,         // the user cancelled at the hidden-names question: nothing renamed,
                          // no refresh
        JournalFailed,    // the plan could not be kept (journalError): nothing renamed
        FolderReplaced,   // another folder lies at the listed path now: nothing renamed, the
                          // list is read again
    };
    End end = End::NothingSelected;
    std::int64_t selected = 0;  // names put into the selection list
    std::int64_t total = 0;     // names in the rename list
    std::int64_t renamed = 0;   // renames that succeeded
    std::string folder;         // the folder the run worked in
    // Set when end == Failed: the file, its intended new name and why.
    std::string failedName;
    std::string failedNewName;
    RenameStatus status;
    // Set when the folder could not be synced at the end: the new names may not survive a power
    // cut, though every rename reported done was done.
    int syncError = 0;
    // Why the journal could not be written: set when end == JournalFailed, and when end ==
    // Failed because the plan of the next rename could not be kept (also in `status`).
    int journalError = 0;
};

// A run taken up to its first rename: the selection and rename lists made, the folder opened and
// checked, the plan kept. The command line prepares each folder as its walk reaches it and
// renames in it afterwards, maybe on another thread.
struct PreparedRun {
    RunResult result;                // the whole result when the run ends before renaming
    std::unique_ptr<Folder> folder;  // null when it could not be opened (openError)
    int openError = 0;
    RunJournal* journal = nullptr;  // begun; it is ended by performRun
    bool ready = false;             // the run goes on to its renames (perhaps none)
};

// The first half of renameRun: everything before the first rename.
PreparedRun prepareRun(FileList& files, WorkList& selectionList, WorkList& renameList,
                       FileSystem& fileSystem, const RunOptions& options = {});

// The second half: the renames of a prepared run in list order, the sync, the journal's end and
// the refresh. `renameList` is the one prepareRun filled; a run that is not ready is returned as
// prepared.
RunResult performRun(PreparedRun& run, FileList& files, const WorkList& renameList,
                     const RunOptions& options = {});

// The rename run behind the start button: the selection pass into `selectionList`, the exclusion
// pass into `renameList` (hidden names left out there if the user says so), the renames in list
// order, then the list is told what was renamed. It stops at the first failing
// rename and reports it; files renamed before keep their new names.
RunResult renameRun(FileList& files, WorkList& selectionList, WorkList& renameList,
                    FileSystem& fileSystem, const RunOptions& options = {});

}  // namespace core
