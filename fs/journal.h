#pragma once

// The journal of a rename run: its format, written once before the first rename and read back
// after a kill or a power cut, or on the user's request, to finish or undo the run. Progress is
// never written per file: undo reads it from the disk. No Qt here: names are the bytes the
// folder stores.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/rename_run.h"
#include "core/worklist.h"
#include "fs/file_id.h"

namespace fs {

// The journal file's layout, all integers little-endian:
//   "KOVRAJNL", u32 version, u32 flags, u64 folder count, folder sections, u64 checksum, end mark.
// A folder section is u32 length + folder path bytes, u64 folder device, u64 folder inode,
// u64 entry count, entries; an entry is u32 length + old name, u32 length + new name, u64 device,
// u64 inode. A run over several folders keeps them all in one journal, in run order. The checksum
// is 64-bit FNV-1a over every byte before it. The end mark is the last field: "KOVRARUN" and eight
// zero bytes as written, rewritten in place to "KOVRAEND" and the checksum when the run ends.
// Anything but that exact "ended" value (a torn or damaged mark) reads as a run that never ended.
namespace journal_format {
inline constexpr std::uint32_t kVersion = 2;
inline constexpr std::size_t kVersionOffset = 8;
inline constexpr std::size_t kChecksumBytes = 8;
inline constexpr std::size_t kEndMarkBytes = 16;
// The run may leave new names reserved: created empty, then renamed onto.
inline constexpr std::uint32_t kMayLeaveReservations = 1;
}  // namespace journal_format

// 64-bit FNV-1a over `bytes`: the journal's checksum.
std::uint64_t journalChecksum(std::string_view bytes);

// Where Kovra keeps its state: `$XDG_STATE_HOME/kovra` when XDG_STATE_HOME is an absolute path,
// else `$HOME/.local/state/kovra` (the account's home directory when HOME is not absolute).
// Bytes as found, never decoded. Empty when no home is known.
std::string stateDirectory();

// Creates `stateDir` and its missing parents; the state folder itself is made mode 0700. An
// existing folder is left as it is. Returns 0 or the errno.
int makeStateDirectory(const std::string& stateDir);

// The journal's path inside `stateDir`.
std::string journalPath(const std::string& stateDir);

struct JournalEntry {
    std::string oldName;
    std::string newName;
    FileId fileId;
    bool operator==(const JournalEntry&) const = default;
};

// The plan of one folder of a run: the folder and every rename in it in run order. The journal
// holds one per folder the run renamed in.
struct JournalPlan {
    std::string folder;  // absolute path, as the run opened it
    FileId folderId;
    bool mayLeaveReservations = false;
    std::vector<JournalEntry> entries;
    // When the journal was written (seconds since the epoch; 0 when unknown). A reservation is
    // only ever made after it, so an older empty file under a new name is somebody else's.
    std::int64_t writtenAt = 0;
    bool operator==(const JournalPlan& other) const {
        return folder == other.folder && folderId == other.folderId &&
               mayLeaveReservations == other.mayLeaveReservations && entries == other.entries;
    }
};

// Writes a run's plan as the journal, streaming entries into one buffer written at commit. The
// previous journal stays in place until commit succeeds; a writer dropped before commit leaves no
// trace. After the first failure every later call is a no-op and commit returns that error.
class JournalWriter {
public:
    JournalWriter() = default;
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Starts a plan: creates the state folder if needed and a new temporary file (mode 0600) in
    // it, named after this process; temporaries of processes that have ended are removed.
    // Returns 0 or errno.
    int begin(const std::string& stateDir, bool mayLeaveReservations);

    // Starts the section of the folder `folderPath` (absolute) whose identity is `folderId`; the
    // renames added next are in it. Returns 0 or errno (EINVAL: not an absolute path).
    int addFolder(const std::string& folderPath, FileId folderId);

    // A plan of one folder: begin, then addFolder.
    int begin(const std::string& stateDir, const std::string& folderPath, FileId folderId,
              bool mayLeaveReservations);

    // Appends one rename to the current folder. Names must be single path components (no '/', no
    // NUL, not "." or "..") and differ, and a folder must have been added; otherwise commit fails
    // with EINVAL.
    void add(const std::string& oldName, const std::string& newName, FileId fileId);

    // Writes the plan, syncs it, puts it in place of the previous journal and syncs the state
    // folder: one fsync of each, however many folders. Returns 0 or errno (EINVAL: no folder);
    // on failure the previous journal is kept.
    int commit();

private:
    void drop();

    int dirfd_ = -1;
    int fd_ = -1;
    int err_ = 0;
    std::string tempName_;
    std::string buffer_;
    std::size_t countOffset_ = 0;  // of the current folder's entry count
    std::uint64_t count_ = 0;      // entries of the current folder
    std::uint64_t folders_ = 0;
};

// Marks the journal's run as ended: the end mark is rewritten in place and the file synced. A mark
// cut short reads as never ended. Returns 0 or errno (ENOENT: no journal; EINVAL: not a journal).
int markEnded(const std::string& stateDir);

struct JournalRead {
    enum class Status {
        None,  // no journal
        Ok,    // `plans` and `ended` hold what was written
        Bad,   // not to be acted on: unreadable (err set) or damaged (err 0)
    };
    Status status = Status::None;
    std::vector<JournalPlan> plans;  // one per folder, in run order; never empty when Ok
    bool ended = false;
    int err = 0;
};

// Reads the journal back. Nothing in the file is trusted: a truncated, damaged or foreign file,
// or one of another version, reads as Bad, never as a shorter or different plan.
JournalRead readJournal(const std::string& stateDir);

// Moves the journal aside to the same name + ".bad" (replacing an older one), so a bad journal is
// reported once and never acted on. Returns 0 or errno (ENOENT: no journal).
int setAside(const std::string& stateDir);

// Where setAside puts the journal.
std::string setAsidePath(const std::string& stateDir);

// Removes the journal. Returns 0 or errno (ENOENT: no journal).
int removeJournal(const std::string& stateDir);

// Writes the journal of a run before its first rename, with each file's identity as its folder
// gives it, and marks it ended when the run ends. The window's run records its one folder when it
// begins; the command line adds every folder first and commits once, so that undo takes the whole
// command back.
class RunRecorder : public core::RunJournal {
public:
    // `mayLeaveReservations`: the rename may create the new name empty before renaming onto it,
    // so a kill can leave an empty reservation behind for recovery to remove.
    explicit RunRecorder(std::string stateDir = stateDirectory(),
                         bool mayLeaveReservations = false);
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // Adds the folder open as `dirfd` (its absolute path `folder`) with the names its run will
    // rename, in order. Returns 0 or errno; after a failure, commit fails with it.
    int addFolder(int dirfd, const std::string& folder, const core::WorkList& renameList);
    // Whether a folder was added.
    bool empty() const { return sections_.empty(); }
    // Writes the journal of every folder added. Returns 0 or errno: then no run may begin.
    int commit();

    // Without a committed plan, records this one folder and commits. With one, succeeds, writing
    // nothing, only for a folder added with the very same rename list, once (EINVAL otherwise).
    int begin(const std::string& folder, const core::WorkList& renameList) override;
    // Marks the journal ended when begin() recorded it; the owner of a plan of several folders
    // calls markEnded() once after the last of them instead.
    void end() override;
    void markEnded();

    // Why the end could not be marked (0 if it was, or nothing was begun): the next start will
    // then offer recovery of a run that in fact ended, which is harmless.
    int endError() const { return endError_; }

private:
    void reset();

    struct Section {
        std::string folder;
        std::uint64_t namesChecksum = 0;  // of the rename list, to know the run's is the one
        bool begun = false;
    };
    std::string stateDir_;
    bool mayLeaveReservations_;
    JournalWriter writer_;
    int err_ = 0;
    bool started_ = false;
    bool committed_ = false;
    bool endsWithRun_ = false;
    int endError_ = 0;
    std::vector<Section> sections_;
};

}  // namespace fs
