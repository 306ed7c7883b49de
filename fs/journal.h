#pragma once

// The journal of a rename run: one file per run in the state folder's `runs/`, its plan written
// ahead of the renames (none before its own entry is on the disk for good) and read back after
// a kill or a power cut, or on the user's request, to finish or undo the run. The run that writes
// it holds an flock on it for as long as it lives, and so does whoever finishes or undoes it: a run
// in progress is never touched by another process. Progress is not written per file (undo reads it
// from the disk), but what the disk cannot tell is: which rename linked a second name, and which
// empty files were our reservations. No Qt here: names are the bytes the folder stores.

#include <sys/stat.h>
#include <condition_variable>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/rename_run.h"
#include "core/worklist.h"
#include "fs/file_id.h"
#include "fs/mounts.h"
#include "fs/rename_methods.h"

namespace fs {

// A run's file, all integers little-endian: a head of "KOVRAJNL", u32 version, u32 flags, i64
// start time (ns since the epoch) and the u64 checksum of those 24 bytes; then records of u32
// type, u32 length, the u32 check of those 8 bytes, the payload, and the u64 checksum of type,
// length and payload (journalChecksum; 64-bit FNV-1a in version 3). Records are only ever
// appended. A rename to the folder's name, "_" and the old name keeps no new name. The plan
// comes in chunks ahead of the renames: each folder once, then its renames in records naming
// the folder, in order within it; the records of several folders may alternate, and what the run
// learns comes in between. A record cut short at the very end of the file (a kill, or a power
// cut before it was synced) reads as never written: the renames it held never began. A damaged
// record followed by another makes the journal damaged.
namespace journal_format {
inline constexpr std::uint32_t kVersion = 4;
// Files of the version before, whose plan was written whole before the first rename, are read.
inline constexpr std::uint32_t kWholePlanVersion = 3;
inline constexpr std::size_t kHeadBytes = 32;
// The run may leave new names reserved: created empty, then renamed onto.
inline constexpr std::uint32_t kMayLeaveReservations = 1;
// The journal of a merge (see MergeJournalWriter), not of a rename run.
inline constexpr std::uint32_t kMerge = 2;
// A merge's plan in parts among what the merge learns, each synced before its files move; the
// plan is what the journal holds. A file's usual new name is kept as none.
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
};

// Which kind a file system of `type` ("ext4", "vfat", "fuse.sshfs", ...) needs.
IdentityKind identityKindOf(const std::string& type);

struct JournalEntry {
    std::string oldName;
    std::string newName;
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

// The plan of one folder of a run, and what the run recorded there while renaming.
struct JournalPlan {
    std::string folder;  // absolute path, as the run opened it
    FileId folderId;
    IdentityKind identity = IdentityKind::Inode;
    FolderPlace place;
    bool mayLeaveReservations = false;
    std::vector<JournalEntry> entries;
    // New names the run linked its files to, before removing their old names.
    std::vector<std::string> linked;
    // Empty files the run made under new names as reservations: name and identity.
    std::vector<std::pair<std::string, FileId>> reservations;
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
};

// Hands the renames of a folder's plan to the journal as it writes them.
class EntrySink {
public:
    virtual void add(std::string_view oldName, std::string_view newName, FileId fileId) = 0;
    // The rename every run makes, to core::prefixedName(folder, oldName): the journal keeps it
    // without the new name, which is made again from the folder's when it is read.
    virtual void addPrefixed(std::string_view oldName, FileId fileId) = 0;

protected:
    ~EntrySink() = default;
};
// Makes rename `i` of a folder's plan, handing it to the sink.
using EntrySource = std::function<void(std::uint64_t i, EntrySink& out)>;

// Writes a run's journal. The plan is written into a new file, synced and put in place among the
// runs by commit; what is added afterwards, and the renames of folders whose plan is streamed
// beyond its first chunk, are written and synced by a thread of the writer, chunk after chunk,
// ahead of the renames, which wait for their own entry (waitKept). What the run learns is
// appended to the same file, which stays open and locked until the writer goes. After the first
// failure every later call is a no-op and returns that error.
class JournalWriter {
public:
    JournalWriter() = default;
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Starts a plan: creates the state folder if needed and a new locked temporary file (mode
    // 0600) in it; temporaries of processes that have ended are removed. Returns 0 or errno.
    int begin(const std::string& stateDir, bool mayLeaveReservations);

    // Starts the section of the folder `folderPath` (absolute) whose identity is `folderId`; the
    // renames added next are in it, and commit writes them all. Returns 0 or errno (EINVAL: not
    // an absolute path).
    int addFolder(const std::string& folderPath, FileId folderId,
                  IdentityKind identity = IdentityKind::Inode, const FolderPlace& place = {});

    // A plan of one folder: begin, then addFolder.
    int begin(const std::string& stateDir, const std::string& folderPath, FileId folderId,
              bool mayLeaveReservations);

    // Appends one rename to the current folder, before commit. Names must be single path
    // components (no '/', no NUL, not "." or "..") and differ, and a folder must have been added;
    // otherwise commit fails with EINVAL.
    void add(const std::string& oldName, const std::string& newName, FileId fileId);

    // A folder whose plan is streamed: its `count` renames are made by `source` as they are
    // written, in order, by the writer's thread, or by the thread that waits for them when
    // `madeByWaiter` (for a source that asks the drive, and so is best asked from several
    // threads at once). `source` must stay callable until the folder is cut or the writer ends.
    // Before commit, or after it from any thread. `section` receives the folder's index in the
    // plan. Returns 0 or errno.
    int addFolder(const std::string& folderPath, FileId folderId, IdentityKind identity,
                  const FolderPlace& place, std::uint64_t count, EntrySource source,
                  bool madeByWaiter, std::size_t& section);

    // Writes what was added (of a streamed folder, its first chunk), syncs it, puts it in place
    // among the runs, syncs the runs' folder and starts the thread that writes the rest. Returns
    // 0 or errno (EINVAL: no folder). The oldest runs beyond the history's length that no one
    // holds are removed.
    int commit();

    // Waits until the first `entries` renames of folder `section` are written and synced, then
    // sets `kept` to how many are. Returns 0, or the errno when they never will be.
    int waitKept(std::size_t section, std::uint64_t entries, std::uint64_t& kept);

    // Folder `section` renames no more than it waited for: the rest of its plan is never written,
    // and its source is not called once this returns.
    void cutFolder(std::size_t section);

    // What the run learns while renaming in folder `folder` (its index in the plan): a new name
    // it linked a file to, a reservation it made. Written at once, not synced: a kill keeps them;
    // a power cut may lose them, and then a second name or an empty reservation is left rather
    // than anything removed. From any thread. Returns 0 or errno.
    int recordLinked(std::size_t folder, const std::string& name);
    int recordReservation(std::size_t folder, const std::string& name, FileId id);

    // The run has ended, having renamed `renamed` files, leaving each folder of the plan with the
    // modification time in `folderTimes` (ns, 0 when unknown; one per folder, or none). Every
    // folder is cut first. Synced. A run that renamed nothing leaves no journal at all. Returns
    // 0 or errno.
    int end(std::int64_t renamed, const std::vector<std::int64_t>& folderTimes = {});

    // Stops writing: a plan not committed leaves nothing behind, a committed run stays as a kill
    // would leave it.
    void close() { drop(); }

    // The run's file, once committed.
    const std::string& path() const { return path_; }

private:
    // A folder of the plan and how far its renames are written.
    struct Section {
        std::uint64_t count = 0;  // renames planned; fewer once it is cut
        EntrySource source;
        bool madeByWaiter = false;
        bool oneByOne = false;  // its renames added one by one, all written by commit
        std::vector<JournalEntry> added;
        std::uint64_t taken = 0;      // renames made into records, written or being written
        std::uint64_t kept = 0;       // renames written and synced
        std::uint64_t nextChunk = 0;  // how many the waiter makes next
    };
    struct Kept {
        std::size_t section;
        std::uint64_t upTo;
        std::uint64_t renames;  // how many of the section's renames this chunk holds
    };
    void drop();
    void stopWriting();
    void writeAhead();
    int append(std::uint32_t type, const std::string& payload, bool sync);
    // Takes whole records as they are encoded, writes them and empties the string.
    using RecordSpill = std::function<int(std::string& records)>;
    static int encode(const Section& section, std::size_t index, std::uint64_t from,
                      std::uint64_t to, std::string& out, const RecordSpill* spill = nullptr);

    int dirfd_ = -1;
    int fd_ = -1;
    int err_ = 0;
    bool committed_ = false;
    std::string runsDir_;
    std::string tempName_;
    std::string path_;
    std::string head_;

    // Below mutex_: the plan's folders, the bytes and marks to write next, the writer's state.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Section> sections_;
    std::size_t nextMade_ = 0;  // the first folder the writer's thread may still make renames of
    std::string pending_;
    std::vector<Kept> pendingKept_;
    bool closing_ = false;
    int waiters_ = 0;               // runs waiting for their renames to be kept
    std::size_t encodingFrom_ = 0;  // folders whose renames the writer's thread makes right now
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
    std::vector<JournalPlan> plans;  // one per folder, in run order; never empty when Ok
    std::int64_t startedAt = 0;      // ns since the epoch
    bool ended = false;              // the run ended (else it was cut short)
    std::int64_t endedAt = 0;        // ns since the epoch, when ended
    std::int64_t renamed = 0;        // files the run said it renamed, when ended
    std::int64_t entries = 0;        // renames the plan holds, in all
    bool undone = false;             // wholly undone since
    bool kept = false;               // cut short, and the user chose to leave it so
    bool merge = false;              // a merge's: its plans name its folders only (summary)
};

// Reads one run's journal at `path`. Nothing in the file is trusted: a damaged or foreign file,
// or one of another version, reads as Bad, never as a shorter or different plan.
JournalRead readJournal(const std::string& path);

// The same without the renames themselves (the plans hold no entries, `entries` counts them), and
// without checking their bytes: for listing runs and telling their state. Acting on a run takes
// readJournal.
JournalRead readJournalSummary(const std::string& path);

// Appends to a run's journal at `path`, which the caller has locked: the run was undone, or the
// user chose to leave it cut short. Synced. Returns 0 or errno.
int markUndone(const std::string& path);
int markKept(const std::string& path);

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

// Writes the journal of a run ahead of its renames, with each file's identity as its folder gives
// it, records what the rename learns on the way, and marks the run ended. The window's run
// records its one folder as a RunJournal of its own; the command line takes a Folder for each
// folder, all in one journal so that undo takes the whole command back.
class RunRecorder : public core::RunJournal {
public:
    // `mayLeaveReservations`: the rename may create the new name empty before renaming onto it,
    // so a kill can leave an empty reservation behind for recovery to remove.
    explicit RunRecorder(std::string stateDir = stateDirectory(),
                         bool mayLeaveReservations = false);
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // One folder's run among those of one journal. begin() adds the folder and its plan, keep()
    // waits for it, end() counts what was renamed; the folders' runs may go on at once, on
    // threads of their own. Goes before its recorder.
    class Folder : public core::RunJournal {
    public:
        ~Folder() override;
        int begin(const std::string& folder, const core::WorkList& renameList) override;
        int keep(std::int64_t entries, std::int64_t& kept) override;
        void end(std::int64_t renamed) override;
        // What the rename in this folder learns; null before begin.
        RenameObserver* observer();

    private:
        friend class RunRecorder;
        class Observer;
        Folder(RunRecorder& recorder, int dirfd, FileId id);
        RunRecorder& recorder_;
        int dirfd_;
        FileId id_;
        std::size_t section_ = 0;
        bool begun_ = false;
        bool ended_ = false;
        std::unique_ptr<Observer> observer_;
    };

    // A folder of the command line's run, open as `dirfd` (kept open until its end), whose
    // identity is `id`.
    std::unique_ptr<Folder> folder(int dirfd, FileId id);
    // Marks the run ended once the last folder's run has; with nothing renamed, its journal goes.
    void markEnded();

    // The window's run: its one folder, recorded as it begins.
    int begin(const std::string& folder, const core::WorkList& renameList) override;
    int keep(std::int64_t entries, std::int64_t& kept) override;
    // Counts the files renamed and marks the journal ended.
    void end(std::int64_t renamed) override;
    // What the rename in the window's folder learns; null before begin.
    RenameObserver* observerFor(const std::string& folder);

    // The run's journal, once committed; stays after the recorder is gone unless nothing was
    // renamed.
    const std::string& runPath() const { return runPath_; }

    // Why the end could not be marked (0 if it was, or nothing was begun): the next start will
    // then offer recovery of a run that in fact ended, which is harmless.
    int endError() const { return endError_; }

private:
    int addFolder(Folder& folder, const std::string& path, const core::WorkList& renameList);
    void folderEnded(std::size_t section, std::int64_t renamed, std::int64_t leftAt);
    void reset();

    std::string stateDir_;
    bool mayLeaveReservations_;
    std::mutex mutex_;
    JournalWriter writer_;
    int err_ = 0;
    bool started_ = false;
    bool committed_ = false;
    int endError_ = 0;
    std::int64_t renamed_ = 0;
    std::vector<std::int64_t> leftAt_;  // each folder's modification time as its run left it
    std::string runPath_;
    std::optional<MountedPath> lastMount_;            // of the folder added last
    std::optional<std::pair<int, bool>> statEachOn_;  // a mount, and whether its listing misleads
    // The window's folder.
    int windowFd_ = -1;
    std::unique_ptr<Folder> window_;
};

// The journal of a merge: files of many folders moved into one. The same file format, head and
// framing as a run's, with the head flag kMerge and records of its own: the destination, every
// folder walked (with what it takes to make it again), every file it will change, then what the
// merge learns on the way (a numbered name, a file put in the Trash, a copy to another drive, the
// folders it removes).

// The identity a journal keeps of the file `st` on a drive of `kind`.
FileId identityOf(const struct stat& st, IdentityKind kind);

inline constexpr std::uint32_t kNoFolder = 0xffffffffu;

// A folder of a merge.
struct MergeFolder {
    std::string path;  // absolute
    FileId id;
    IdentityKind identity = IdentityKind::Inode;
    FolderPlace place;
    std::uint32_t parent = kNoFolder;  // the folder of the merge it lies in; none for a source
    std::uint32_t mode = 0;            // st_mode's permission bits
    std::int64_t accessedAt = 0;       // ns since the epoch
    std::int64_t modifiedAt = 0;
    bool walked = true;  // its files were all taken: it goes once emptied (else a named file's)
};

// How a merge was asked to treat what it meets.
struct MergeFlags {
    bool destinationMade = false;  // the merge created the destination
    bool keepDuplicates = false;
    bool number = false;
    bool keepFolders = false;
    bool all = false;
};

// One file of a merge: where it was, and the name it goes to in the destination.
struct MergeEntry {
    std::uint32_t folder = 0;
    std::string name;
    std::string newName;
    FileId fileId;  // as its folder's identity kind says
};

// What a merge recorded of one file while it ran.
struct MergeDone {
    std::string numbered;        // the name it was given in place of a taken one; empty: none
    bool trashing = false;       // it was about to go to the Trash
    std::string trashDir;        // ... and went there, under trashName in trashDir/files
    std::string trashName;       //
    bool linked = false;         // a second name linked in the destination (LinkThenUnlink)
    bool reserved = false;       // an empty reservation made under its new name
    FileId reservation;          // ... device and inode
    bool copying = false;        // a copy to another drive was begun under its new name
    FileId copyReservation;      // ... device and inode of that copy; none: about to be made
    std::int64_t copyingAt = 0;  // ... when it was about to be made (ns since the epoch)
    bool copied = false;         // the copy was whole and checked before the file itself went
    FileId copyId;               // ... the copy, as the destination's identity kind says
    bool ownerKnown = false;     // ... and the original's mode and owner, which a drive without
    std::uint32_t mode = 0;      //     them (a card) does not keep: undo gives them back
    std::uint32_t uid = 0;       //
    std::uint32_t gid = 0;       //
    bool copyingBack = false;    // an undo copying it back began a copy under its old name
    FileId backReservation;      // ... device and inode of that copy
};

struct MergeJournalRead {
    JournalRead::Status status = JournalRead::Status::None;
    int err = 0;
    std::int64_t startedAt = 0;
    MergeFolder destination;
    MergeFlags flags;
    std::vector<MergeFolder> folders;  // in walk order: a folder before those it holds
    std::vector<MergeEntry> entries;   // empty in a summary
    std::int64_t entryCount = 0;
    std::vector<std::pair<std::uint64_t, MergeDone>> done;  // by entry, in record order
    std::vector<std::uint32_t> removing;                    // folders the merge set about removing
    bool ended = false;
    std::int64_t endedAt = 0;
    bool undone = false;
    bool kept = false;
};

// Whether the journal at `path` is a merge's.
bool isMergeJournal(const std::string& path);

// Reads a merge's journal, trusting nothing in it, as readJournal does; a summary leaves out
// the entries (entryCount counts them).
MergeJournalRead readMergeJournal(const std::string& path, bool summary = false);

// The summary of a merge's journal in a run's terms, for the history: the source folders, then
// the destination, as its plans.
JournalRead mergeSummary(const std::string& path);

// Writes a merge's journal: the plan streamed into a new locked file, put in place among the
// runs by commit; what the merge learns is appended after. The plan may go on after commit, in
// parts made durable by sync, on one thread while another appends what the merge learns. Errors
// as JournalWriter's.
class MergeJournalWriter {
public:
    MergeJournalWriter() = default;
    ~MergeJournalWriter();
    MergeJournalWriter(const MergeJournalWriter&) = delete;
    MergeJournalWriter& operator=(const MergeJournalWriter&) = delete;

    // Starts the plan with the destination, open as `dirfd` (its mount, when the caller has
    // looked it up). Returns 0 or errno.
    int begin(const std::string& stateDir, int dirfd, const std::string& destination,
              const MergeFlags& flags, const std::optional<MountedPath>& destMount = {});
    // Adds the folder open as `dirfd` (`st`, its fstat, when the caller has it); `kind` gets how
    // its files are told apart. The entries added next lie in it. Returns 0 or errno.
    int addFolder(int dirfd, const std::string& path, std::uint32_t parent, bool walked,
                  IdentityKind& kind, const struct stat* st = nullptr);
    void add(std::string_view name, std::string_view newName, FileId fileId);
    // Writes the plan so far, syncs it and puts it among the runs; `whole`: the plan ends there,
    // and `removing` are the folders the merge will remove if it empties them (as
    // recordRemoving, in the same sync). Returns 0 or errno.
    int commit(bool whole = true, const std::vector<std::uint32_t>& removing = {});
    // Drops the oldest runs beyond the history's length; not before the first move, as it reads
    // them.
    void pruneHistory();
    // After commit(false): writes the plan added since and syncs it; `whole` and `removing` as
    // for commit.
    int sync(bool whole, const std::vector<std::uint32_t>& removing = {});
    // Appends to the committed journal at `path`, which the caller holds locked: to finish it.
    int resume(const std::string& path);

    // What the merge learns about entry `entry` (its index in the plan). Written at once;
    // synced where a power cut could otherwise leave a file the journal cannot find.
    int recordNumbered(std::uint64_t entry, const std::string& name);
    int recordTrashing(std::uint64_t entry);
    int recordTrashed(std::uint64_t entry, const std::string& trashDir, const std::string& name);
    int recordLinked(std::uint64_t entry);
    int recordReserved(std::uint64_t entry, FileId id);
    // A copy about to be made exclusively under the entry's new name (`id` none, synced, as a
    // kill may let the drive make it without us hearing of it), then made as `id`.
    int recordCopying(std::uint64_t entry, FileId id);
    // `mode`, `uid`, `gid`: the original's, for undo to give back.
    int recordCopied(std::uint64_t entry, FileId copyId, std::uint32_t mode, std::uint32_t uid,
                     std::uint32_t gid);
    // The folders about to be removed, synced before the first goes.
    int recordRemoving(const std::vector<std::uint32_t>& folders);
    // The merge ended. A merge that changed nothing leaves no journal. Synced.
    int end(bool changedAnything);

    const std::string& path() const { return path_; }
    std::uint32_t folders() const { return folders_; }
    std::uint64_t entries() const { return entries_; }

private:
    void drop();
    int flush();
    int flushPlan(bool whole, const std::vector<std::uint32_t>& removing);
    int append(std::uint32_t type, const std::string& payload, bool sync);

    int dirfd_ = -1;
    int fd_ = -1;
    int err_ = 0;
    bool committed_ = false;
    bool planned_ = false;  // the plan is whole in the file
    std::mutex writing_;    // one record at a time into the file, from either thread
    std::string runsDir_;
    std::string tempName_;
    std::string path_;
    std::string buffer_;
    std::size_t entriesAt_ = 0;  // where the entries record being written begins in buffer_
    std::string folderName_;     // the last folder's, which its files' usual new names begin with
    std::string usual_;          // the usual new name of the entry in hand
    std::uint32_t entriesCount_ = 0;
    std::uint64_t entries_ = 0;
    std::uint32_t folders_ = 0;
    std::optional<MountedPath> lastMount_;
};

// Records, in a merge's journal that the caller holds locked, that an undo began copying entry
// `entry` back to its old name as the file `id`. Returns 0 or errno.
int recordMergeCopyBack(const std::string& path, std::uint64_t entry, FileId id);

}  // namespace fs
