#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

// The journal of a rename run: the plan, written once before the first rename and read back after
// a kill or a power cut, or on the user's request, to finish or undo the run. Progress is never
// written per file: it is read from the disk by looking at which of an entry's two names holds
// the recorded file (device and inode). No Qt here: names are the bytes the folder stores.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace fs {

// A file's identity on this machine: the same file under any of its names.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};

// The identity of `name` inside the folder `dirfd`, without following a symbolic link (a link is
// renamed as itself). `fileIdAt(fd, ".")` is the folder's own identity. Empty when the name cannot
// be looked up; errno tells why.
std::optional<FileId> fileIdAt(int dirfd, const std::string& name);

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

// Every name of the folder with the inode number readdir gives for it. The names are kept in
// one buffer, so a folder of a million files costs no allocation per name.
class FolderInodes {
public:
    int read(int dirfd) {
        const int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
        if (dir == nullptr) {
            const int err = errno;
            if (fd >= 0) {
                ::close(fd);
            }
            return err;
        }
        std::vector<std::pair<std::size_t, std::uint64_t>> ends;
        errno = 0;
        while (const dirent* entry = ::readdir(dir)) {
            names_ += entry->d_name;
            ends.emplace_back(names_.size(), static_cast<std::uint64_t>(entry->d_ino));
            errno = 0;
        }
        const int err = errno;
        ::closedir(dir);
        // Views into the buffer only once it no longer grows.
        byName_.reserve(ends.size());
        std::size_t start = 0;
        for (const auto& [end, inode] : ends) {
            byName_.emplace(std::string_view(names_).substr(start, end - start), inode);
            start = end;
        }
        return err;
    }
    std::optional<std::uint64_t> find(const std::string& name) const {
        const auto found = byName_.find(std::string_view(name));
        return found == byName_.end() ? std::nullopt : std::optional(found->second);
    }

private:
    std::string names_;
    std::unordered_map<std::string_view, std::uint64_t> byName_;
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

// Where an entry's file is, judged by its identity only.
//   Undo (entries in reverse order): AtNewName -> rename new back to old, never replacing;
//   AtBothNames -> remove the new name; AtOldName -> nothing to do; Missing -> report it.
//   Finish: AtOldName -> rename old to new (onto a leftover reservation, if that is ours);
//   AtBothNames -> remove the old name; AtNewName -> done; Missing -> report it.
enum class EntryState {
    AtOldName,
    AtNewName,
    AtBothNames,  // a link then unlink cut short: both names are the same file
    Missing,      // neither name holds the recorded file
};

struct Progress {
    enum class Status {
        Ok,
        CannotOpen,     // the folder could not be opened (err)
        OtherFolder,    // the folder's path now names another folder than the run's
        CannotExamine,  // a name could not be looked up for a reason other than its absence (err)
    };
    Status status = Status::Ok;
    int err = 0;
    std::vector<EntryState> states;  // one per entry, in plan order, when Ok
    // One per entry when Ok: the new name holds an empty regular file that is not the recorded
    // file while the old name still holds it. Only when the plan may leave reservations.
    std::vector<bool> leftoverReservation;
};

// Opens the run's folder by its recorded path and checks it is the run's folder. On Ok returns a
// descriptor (O_DIRECTORY) the caller closes and renames relative to; otherwise -1.
int openRunFolder(const JournalPlan& plan, Progress::Status& status, int& err);

// The state of every entry in the folder `dirfd`, which must be the run's folder.
Progress examineAt(int dirfd, const JournalPlan& plan);

// Opens the run's folder, checks it, and examines every entry.
Progress examine(const JournalPlan& plan);

}  // namespace fs
