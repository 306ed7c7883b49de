#pragma once

// The journal of a run: one file per run in the state folder's `runs/`, written ahead of what the
// run changes and read back after a kill or a power cut, or on the user's request, to finish or
// undo the run. Every run is a list of moves, each from a folder and name to a folder and name,
// with what tells the file apart: a rename is the case where both folders are one, a merge moves
// the files of many folders into one. What the disk cannot tell later (a second name, an empty
// reservation, a number given, a Trash entry, a copy on another drive, a folder removed or made
// again) is recorded before the call that makes it. The run that writes it holds an flock on it for
// as long as it lives, and so does whoever finishes or undoes it. No Qt here: names are the bytes
// the folder stores.

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "fs/file_id.h"
#include "fs/mounts.h"

namespace fs {

// A run's file, all integers little-endian: a head of "KOVRAJNL", u32 version, u32 flags, i64
// start time (ns since the epoch) and the u64 checksum of those 24 bytes; then records of u32
// type, u32 length, the u32 check of those 8 bytes, the payload, and the u64 checksum of type,
// length and payload. Records are only ever appended. A move to its usual new name keeps none.
// The plan comes in chunks ahead of the moves: each folder once, then its moves in records naming
// the folder, in order within it; the records of several folders may alternate, and what the run
// learns comes in between. A record cut short at the very end of the file (a kill, or a power
// cut before it was synced) reads as never written: the moves it held never began. A damaged
// record followed by another makes the journal damaged.
namespace journal_format {
inline constexpr std::uint32_t kVersion = 6;
// Files of the versions before are read: version 5, which recorded no outcome of a link or a
// reservation (read as unknown: no leftover of either is then proven ours); the rename's and the
// merge's of version 4, whose plan was streamed; the rename's of version 3, whose plan was written
// whole first.
inline constexpr std::uint32_t kFolderRolesVersion = 5;
inline constexpr std::uint32_t kStreamedVersion = 4;
inline constexpr std::uint32_t kWholePlanVersion = 3;
inline constexpr std::size_t kHeadBytes = 32;
// The run may leave new names reserved: created empty, then renamed onto.
inline constexpr std::uint32_t kMayLeaveReservations = 1;
// A merge's run: its folders' files go to its destination under the merge's names.
inline constexpr std::uint32_t kMerge = 2;
// Version 4 only: a merge's plan streamed in parts.
inline constexpr std::uint32_t kMergeStreamed = 4;
}  // namespace journal_format

// The journal's checksum of `bytes`: 64 bits, eight bytes at a time.
std::uint64_t journalChecksum(std::string_view bytes);

// Where Kovra keeps its state: `$XDG_STATE_HOME/kovra` when XDG_STATE_HOME is an absolute path,
// else `$HOME/.local/state/kovra` (the account's home directory when HOME is not absolute).
// Bytes as found, never decoded. Empty when no home is known.
std::string stateDirectory();

// Creates `stateDir` and its missing parents; the state folder itself is made mode 0700. An
// existing folder is left as it is. Returns 0 or the errno.
int makeStateDirectory(const std::string& stateDir);

// The folder of the runs' journals inside `stateDir`.
std::string runsDirectory(const std::string& stateDir);

// How the files of a folder are told apart from one mount of its drive to the next.
enum class IdentityKind : unsigned char {
    Inode,        // device and inode number: the drive keeps inode numbers
    SizeAndTime,  // size and modification time in ns: the drive numbers its files per mount
    // The size alone, the names the journal recorded telling the rest: a drive that gives a file
    // renamed a new modification time (a WebDAV share through rclone uploads it again).
    Size,
};

// Which kind a file system of `type` ("ext4", "vfat", "fuse.sshfs", ...) needs.
IdentityKind identityKindOf(const std::string& type);

// The identity a journal keeps of the file `st` on a drive of `kind`.
FileId identityOf(const struct stat& st, IdentityKind kind);

inline constexpr std::uint32_t kNoFolder = 0xffffffffu;

enum class RunKind : unsigned char {
    Rename,  // each file renamed in its own folder to the folder's name, "_" and its name
    Merge,   // each file moved into the destination, named after the folder it lay in
};

// How a merge was asked to treat what it meets.
struct MergeFlags {
    bool destinationMade = false;  // the merge created the destination
    bool keepDuplicates = false;
    bool number = false;
    bool keepFolders = false;
    bool all = false;
    bool operator==(const MergeFlags&) const = default;
};

struct JournalEntry {
    std::string oldName;
    std::string newName;  // in the folder's target: the usual one unless the plan said otherwise
    // {device, inode}, or {size, modification time in ns}, as the folder's kind says.
    FileId fileId;
    bool operator==(const JournalEntry&) const = default;
};

// Where a folder lies, to find it again when its drive is mounted elsewhere.
struct FolderPlace {
    std::string mountIdentity;  // "UUID=…" or "SOURCE=…"; empty when unknown
    std::string mountRoot;      // the file system's folder seen at the mount point
    std::string mountPoint;     // where it was mounted during the run
    std::string relative;       // the folder below the mount point, without a leading "/"
    std::string label;          // the drive's label, to name it to the user
    bool operator==(const FolderPlace&) const = default;
};

// What a run recorded of one entry while it moved it, before each call it made.
struct EntryEvents {
    std::string numbered;        // the name it went to in place of a taken one
    bool trashing = false;       // it was about to go to the Trash:
    std::string trashDir;        // ... this Trash folder (holding files/ and info/),
    std::string trashName;       // ... under this name (info/NAME.trashinfo); empty: not known
    bool copying = false;        // a copy on another drive was about to be made under its new name
    std::int64_t copyingAt = 0;  // ... at this time (ns since the epoch)
    FileId copyMade;             // ... made: device and inode; none: not heard of
    bool copied = false;         // the copy was whole and checked before the file itself went
    FileId copyId;               // ... as the target's identity kind tells it
    bool ownerKnown = false;     // ... and the original's mode and owner, which a drive without
    std::uint32_t mode = 0;      //     them (a card) does not keep: undo gives them back
    std::uint32_t uid = 0;       //
    std::uint32_t gid = 0;       //
    std::uint32_t notKept = 0;   // what the target could not hold of it (CopyLoss bits)
    bool copyingBack = false;    // an undo made a copy back under its old name
    FileId backCopy;             // ... device and inode of that copy
    bool copiedBack = false;     // ... whole and checked, before the copy it came from went:
    FileId copiedBackId;         //     as the folder's identity kind tells it
    bool movedAs = false;        // the file that moved is not the one planned, but
    FileId movedId;              // ... this one, as its folder's identity kind tells it
    bool operator==(const EntryEvents&) const = default;
};

// One folder of a run, and what the run recorded there while it went on.
struct JournalPlan {
    std::string folder;  // absolute path, as the run opened it
    FileId folderId;
    IdentityKind identity = IdentityKind::Inode;
    FolderPlace place;
    std::uint32_t parent = kNoFolder;  // a merge's: the folder of the run it lies in
    std::uint32_t target = kNoFolder;  // where its entries go; kNoFolder: the folder itself
    bool walked = false;               // a merge's: walked whole, so it goes once emptied
    bool destination = false;          // a merge's destination
    // The folder as it was before the run: what it takes to make it again, and its times to
    // give back once its files are.
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::int64_t accessedAt = 0;  // ns since the epoch; 0 when unknown
    std::int64_t modifiedAt = 0;
    bool mayLeaveReservations = false;
    std::vector<JournalEntry> entries;
    // Names in the target that the run was about to link its files to, before removing their
    // old names; and those it heard linked (the link made: the two names are one file).
    std::vector<std::string> linked;
    std::vector<std::string> linkMade;
    // Empty files the run was about to make (id none) or made under names in the target, as
    // reservations: name, device and inode, when it was announced (ns; 0 when not recorded), and
    // its own modification time read back once made (0 when not recorded: a version before 6).
    struct Reservation {
        std::string name;
        FileId id;
        std::int64_t at = 0;
        std::int64_t modifiedAt = 0;
        bool operator==(const Reservation&) const = default;
    };
    std::vector<Reservation> reservations;
    // The same of an undo's renames back to old names in the folder itself.
    std::vector<std::string> backLinked;
    std::vector<std::string> backLinkMade;
    std::vector<Reservation> backReservations;
    // What the run recorded of its entries: index of the entry, what it recorded; in record
    // order, several records of one entry folded into one.
    std::vector<std::pair<std::uint64_t, EntryEvents>> events;
    bool removing = false;  // the run was about to remove it, emptied
    bool making = false;    // an undo was about to make it again
    FileId madeId;          // ... and made it: device and inode
    // When the run started and ended (ns since the epoch; 0 when unknown or cut short).
    std::int64_t startedAt = 0;
    std::int64_t endedAt = 0;
    // The folder's modification time as the run left it (ns; 0 when unknown): while it is the
    // same, no name in the folder was made, removed or renamed since.
    std::int64_t leftAt = 0;

    bool operator==(const JournalPlan& other) const {
        return folder == other.folder && folderId == other.folderId && identity == other.identity &&
               place == other.place && mayLeaveReservations == other.mayLeaveReservations &&
               entries == other.entries;
    }
    // Whether its entries go to another folder.
    bool moves() const { return target != kNoFolder; }
    // What the run recorded of entry `i`; null when nothing.
    const EntryEvents* eventsOf(std::uint64_t i) const;
};

// Hands the moves of a folder's plan to the journal as it writes them.
class EntrySink {
public:
    virtual void add(std::string_view oldName, std::string_view newName, FileId fileId) = 0;
    // The move to the usual new name (the folder's name, "_" and the old name; for a merge, the
    // old name itself when it begins so already): the journal keeps it without the new name,
    // which is made again from the folder's when it is read.
    virtual void addUsual(std::string_view oldName, FileId fileId) = 0;

protected:
    ~EntrySink() = default;
};
// Makes move `i` of a folder's plan, handing it to the sink. Called with `i` rising.
using EntrySource = std::function<void(std::uint64_t i, EntrySink& out)>;

// A folder as the writer records it: all of JournalPlan but its entries and what is learnt.
struct FolderRecord {
    std::string path;  // absolute
    FileId id;
    IdentityKind identity = IdentityKind::Inode;
    FolderPlace place;
    std::uint32_t parent = kNoFolder;
    std::uint32_t target = kNoFolder;
    bool walked = false;
    bool destination = false;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::int64_t accessedAt = 0;
    std::int64_t modifiedAt = 0;
};

// The folder open as `dirfd` at `path` as a run records it: its identity, where it lies (the
// mount looked up once per drive, through `lastMount`), mode, owner and times; `st` when the
// caller has its fstat. Returns 0 or errno.
int describeFolder(int dirfd, const std::string& path, FolderRecord& out,
                   std::optional<MountedPath>& lastMount, const struct stat* st = nullptr);

// Writes a run's journal. The plan is written into a new file, synced and put in place among the
// runs by commit; what is added afterwards, and the moves of folders whose plan is streamed
// beyond its first chunk, are written and synced by a thread of the writer, chunk after chunk,
// ahead of the moves, which wait for their own entry (waitKept). What the run learns is appended
// to the same file, which stays open and locked until the writer goes. After the first failure
// every later call is a no-op and returns that error.
class JournalWriter {
public:
    JournalWriter() = default;
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Starts a plan: creates the state folder if needed and a new locked temporary file (mode
    // 0600) in it; temporaries of processes that have ended are removed. `flags` are those of
    // journal_format. Returns 0 or errno.
    int begin(const std::string& stateDir, std::uint32_t flags = 0);
    // The journal at `path`, committed before and locked by the caller, opened to append what a
    // finish or an undo learns. Returns 0 or errno.
    int resume(const std::string& path);

    // Starts the section of the folder `folder`; the moves added next are in it, and commit
    // writes them all. Returns 0 or errno (EINVAL: not an absolute path).
    int addFolder(const FolderRecord& folder);
    // A rename's folder: its path (absolute), identity and place.
    int addFolder(const std::string& folderPath, FileId folderId,
                  IdentityKind identity = IdentityKind::Inode, const FolderPlace& place = {});

    // Appends one move to the current folder, before commit. Names must be single path
    // components (no '/', no NUL, not "." or "..") and differ, and a folder must have been added;
    // otherwise commit fails with EINVAL.
    void add(const std::string& oldName, const std::string& newName, FileId fileId);

    // A folder whose plan is streamed: its `count` moves are made by `source` as they are
    // written, in order, by the writer's thread, or by the thread that waits for them when
    // `madeByWaiter` (for a source that asks the drive, and so is best asked from several
    // threads at once). `source` must stay callable until the folder is cut or the writer ends.
    // Before commit, or after it from any thread. `section` receives the folder's index in the
    // plan. Returns 0 or errno.
    int addFolder(const FolderRecord& folder, std::uint64_t count, EntrySource source,
                  bool madeByWaiter, std::size_t& section);

    // A merge's options, and its destination (a folder added before). Before commit.
    int setMerge(const MergeFlags& flags, std::uint32_t destination);

    // Writes what was added (of a streamed folder, its first chunk), syncs it, puts it in place
    // among the runs, syncs the runs' folder and starts the thread that writes the rest. Returns
    // 0 or errno (EINVAL: no folder). The oldest runs beyond the history's length that no one
    // holds are removed.
    int commit();

    // Waits until the first `entries` moves of folder `section` are written and synced, then
    // sets `kept` to how many are. Returns 0, or the errno when they never will be.
    int waitKept(std::size_t section, std::uint64_t entries, std::uint64_t& kept);

    // Folder `section` moves no more than it waited for: the rest of its plan is never written,
    // and its source is not called once this returns.
    void cutFolder(std::size_t section);

    // What the run learns in folder `folder` (its index in the plan), each recorded before the
    // call it announces. Written at once; synced where a power cut could otherwise leave a file
    // where the journal cannot find it (`sync`). From any thread. Return 0 or errno.
    // A second name about to be linked in the folder's target.
    int recordLinked(std::size_t folder, const std::string& name);
    // The link was made: the outcome, which rides in the next record synced.
    int recordLinkMade(std::size_t folder, const std::string& name);
    // An empty reservation about to be made in the folder's target (id none), or made.
    int recordReservation(std::size_t folder, const std::string& name, FileId id);
    // ... made: its identity and time as read back from it (`st`), the outcome.
    int recordReservationMade(std::size_t folder, const std::string& name, const struct stat& st);
    // The same for an undo renaming back to the old name `name` in the folder itself: a link
    // about to be made (`made` false) or made; a reservation about to be made (`st` null) or made.
    int recordBackLink(std::size_t folder, const std::string& name, bool made);
    int recordBackReservation(std::size_t folder, const std::string& name, const struct stat* st);
    // An undo's copy back of entry `entry` is whole and checked: `id` as the folder's kind says.
    int recordCopiedBack(std::size_t folder, std::uint64_t entry, FileId id);
    // Of entry `entry` of the folder: see EntryEvents.
    int recordNumbered(std::size_t folder, std::uint64_t entry, const std::string& name);
    int recordTrashing(std::size_t folder, std::uint64_t entry, const std::string& trashDir,
                       const std::string& trashName);
    int recordCopying(std::size_t folder, std::uint64_t entry);
    int recordCopyMade(std::size_t folder, std::uint64_t entry, FileId id);
    int recordCopied(std::size_t folder, std::uint64_t entry, const EntryEvents& copied);
    int recordCopyingBack(std::size_t folder, std::uint64_t entry, FileId id);
    int recordMovedAs(std::size_t folder, std::uint64_t entry, FileId id);
    // Folders about to be removed, deepest first; synced.
    int recordRemoving(const std::vector<std::uint32_t>& folders);
    // A removed folder about to be made again (id none; synced), or made.
    int recordFolderMade(std::size_t folder, FileId id);

    // The run has ended, having changed `changed` files, leaving each folder of the plan with
    // the modification time in `folderTimes` (ns, 0 when unknown; one per folder, or none);
    // `cancelled`: the user stopped it. Every folder is cut first. Synced. A run that changed
    // nothing leaves no journal at all. Returns 0 or errno.
    int end(std::int64_t changed, const std::vector<std::int64_t>& folderTimes = {},
            bool cancelled = false);

    // Stops writing: a plan not committed leaves nothing behind, a committed run stays as a kill
    // would leave it.
    void close() { drop(); }

    // The run's file, once committed.
    const std::string& path() const { return path_; }
    // The first failure, or 0.
    int error() const;
    // Folders added so far.
    std::size_t folders() const;

private:
    struct Section {
        std::uint64_t count = 0;  // moves planned; fewer once it is cut
        EntrySource source;
        bool madeByWaiter = false;
        bool oneByOne = false;  // its moves added one by one, all written by commit
        std::vector<JournalEntry> added;
        std::string usualPrefix;      // what its usual new names begin with
        std::uint64_t taken = 0;      // moves made into records, written or being written
        std::uint64_t kept = 0;       // moves written and synced
        std::uint64_t nextChunk = 0;  // how many the waiter makes next
    };
    struct Kept {
        std::size_t section;
        std::uint64_t upTo;
        std::uint64_t moves;  // how many of the section's moves this chunk holds
    };
    void drop();
    void stopWriting();
    void writeAhead();
    int append(std::uint32_t type, const std::string& payload, bool sync);
    int recordOf(std::uint32_t type, std::size_t folder, std::uint64_t entry, std::string payload,
                 bool sync);
    // Takes whole records as they are encoded, writes them and empties the string.
    using RecordSpill = std::function<int(std::string& records)>;
    int encode(const Section& section, std::size_t index, std::uint64_t from, std::uint64_t to,
               std::string& out, const RecordSpill* spill = nullptr) const;

    int dirfd_ = -1;
    int fd_ = -1;
    int err_ = 0;
    bool committed_ = false;
    bool resumed_ = false;
    bool merge_ = false;
    // A reservation made was recorded: the run may have left it on the drive, changed files or
    // not.
    std::atomic<bool> leftNames_{false};
    std::uint32_t version_ = journal_format::kVersion;  // of the file appended to
    std::string runsDir_;
    std::string tempName_;
    std::string path_;
    std::string head_;

    // Below mutex_: the plan's folders, the bytes and marks to write next, the writer's state.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Section> sections_;
    std::size_t nextMade_ = 0;  // the first folder the writer's thread may still make moves of
    std::string pending_;
    std::vector<Kept> pendingKept_;
    bool closing_ = false;
    int waiters_ = 0;               // runs waiting for their moves to be kept
    std::size_t encodingFrom_ = 0;  // folders whose moves the writer's thread makes right now
    std::size_t encodingTo_ = 0;
    std::thread thread_;
    std::mutex fileMutex_;  // one record at a time into the file
};

// How many runs the history keeps.
inline constexpr std::size_t kHistoryLength = 20;

struct JournalRead {
    enum class Status {
        None,  // no such file
        Ok,    // the fields below hold what was written
        Bad,   // not to be acted on: unreadable (err set) or damaged (err 0)
    };
    Status status = Status::None;
    int err = 0;
    RunKind kind = RunKind::Rename;
    MergeFlags flags;                       // a merge's
    std::uint32_t destination = kNoFolder;  // a merge's destination among the plans
    std::vector<JournalPlan> plans;         // one per folder, in run order; never empty when Ok
    std::int64_t startedAt = 0;             // ns since the epoch
    bool ended = false;                     // the run ended (else it was cut short)
    bool cancelled = false;                 // ... stopped by the user between two files
    std::int64_t endedAt = 0;               // ns since the epoch, when ended
    std::int64_t renamed = 0;               // files the run said it changed, when ended
    std::int64_t entries = 0;               // moves the plan holds, in all
    bool undone = false;                    // wholly undone since
    bool kept = false;                      // cut short, and the user chose to leave it so
    std::int64_t partlyBack = -1;           // an undo took back this many of its entries (-1: none)
    std::int64_t partlyOf = 0;              // ... of this many the run had changed
    bool merge() const { return kind == RunKind::Merge; }
};

// Reads one run's journal at `path`. Nothing in the file is trusted: a damaged or foreign file,
// or one of another version, reads as Bad, never as a shorter or different plan.
JournalRead readJournal(const std::string& path);

// The same without the moves themselves (the plans hold no entries, `entries` counts them), and
// without checking their bytes: for listing runs and telling their state. Acting on a run takes
// readJournal.
JournalRead readJournalSummary(const std::string& path);

// Appends to a run's journal at `path`, which the caller has locked: the run was undone, the user
// chose to leave it cut short, an undo took back `back` of its `of` entries. Synced. Returns 0 or
// errno.
int markUndone(const std::string& path);
int markKept(const std::string& path);
int markPartlyUndone(const std::string& path, std::int64_t back, std::int64_t of);

// Cuts off a record that a kill or a power cut left torn at the end of the journal at `path`
// (locked by the caller), before anything is appended: after another record it would read as
// damage. Damage elsewhere is left for the reader to report. Returns 0 or errno.
int cutTornTail(const std::string& path);

// A run's journal held open and locked. Invalid when it could not be opened, or another process
// holds it (a run in progress, or its undo).
class LockedRun {
public:
    explicit LockedRun(const std::string& path);
    ~LockedRun();
    LockedRun(const LockedRun&) = delete;
    LockedRun& operator=(const LockedRun&) = delete;
    bool valid() const { return fd_ >= 0; }
    bool busy() const { return busy_; }
    int error() const { return err_; }

private:
    int fd_ = -1;
    bool busy_ = false;
    int err_ = 0;
};

// The runs' journals in `stateDir`, newest first (by their start).
std::vector<std::string> runJournals(const std::string& stateDir);

// Moves a damaged journal aside to the same name + ".bad", so it is reported once and never acted
// on. Returns 0 or errno.
int setAside(const std::string& path);

// Removes a run's journal. Returns 0 or errno.
int removeJournal(const std::string& path);

}  // namespace fs
