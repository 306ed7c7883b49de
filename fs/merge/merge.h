#pragma once

// Merging folders: every file of some folders and of their subfolders moved into one folder, each
// named after the folder it lay in (core::prefixedName), or after its SOURCE folder, or after
// every folder from the SOURCE down (NameFrom), never replacing a file. A name already
// taken in the destination is settled by content: the same bytes go to the Trash (or stay, if
// asked), other bytes stay (or take the first free "name (N).ext", if asked). Emptied folders are
// removed. The whole merge is one journaled operation, undone in one step (fs/undo). Two steps:
// the plan walks and decides, changing nothing; the run carries it out. No Qt here.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fs/journal/journal.h"

namespace fs {

enum class MergeAction : unsigned char {
    Move,               // to its new name
    MoveNumbered,       // its new name holds other content: to the first free "name (N).ext"
    TrashDuplicate,     // its new name holds the same content: this one to the Trash
    LeaveDuplicate,     // ... and it stays, as asked (--keep-duplicates)
    LeaveClash,         // its new name holds other content: it stays
    LeaveHidden,        // a name beginning with "." (a file, or a folder with all it holds)
    LeaveLinkToFolder,  // a link to a folder: never followed, never moved
    // It stays, as the run would find; the plan says so rather than promise a move.
    LeaveNamedLink,          // a SOURCE named that is a link to a folder: never followed
    LeaveNameTooLong,        // its new name is longer than the destination's drive takes
    LeaveFolderLocked,       // its folder cannot be changed (`err`: EACCES, EPERM, EROFS)
    LeaveDestinationLocked,  // the destination cannot be written in (`err` as above)
    LeaveSpecialFile,        // a pipe, socket or device: not copied to another drive
    LeaveNoTrash,            // the same content, and its drive has no Trash to take it
    LeaveTrashNameTooLong,   // the same content, and its name is too long for the Trash
    LeaveProgramFile,        // the running program's own file, or the window program's
    LeaveOthersFile,         // another user's, in a sticky folder: only its owner may move it
    LeaveChanged,            // written to while it was copied to another drive: the copy went
};

inline constexpr std::size_t kMergeActions = 17;

// Which folders a file's new name carries in front of its own.
enum class NameFrom : unsigned char {
    Folder,  // the folder it lay in: cats_a.jpg (a name beginning so keeps it)
    Source,  // the SOURCE folder named, however deep it lay: card1_IMG_0001.JPG
    Path,    // every folder from the SOURCE down: card1_DCIM_100CANON_IMG_0001.JPG
};

// Files of equal content kept once, whatever their names: which one of a group is kept. Files
// already in the destination are always kept.
enum class Dedupe : unsigned char {
    Off,     // only a name taken by the same content makes a duplicate
    First,   // the first SOURCE named keeps its copy
    Oldest,  // the oldest modification time
    Newest,  // the newest
};

struct MergeRequest {
    // Absolute paths, each a folder (all its files, at any depth) or a file. A folder's path
    // should be canonical: its last component names its files.
    std::vector<std::string> sources;
    std::string destination;  // absolute, canonical; made by the run if absent
    bool all = false;         // hidden names and folders too
    bool keepDuplicates = false;
    bool number = false;
    bool keepFolders = false;
    NameFrom nameFrom = NameFrom::Folder;
    Dedupe dedupe = Dedupe::Off;
};

// Bytes kept in chunks that never move, so that views of them stay valid while more are added,
// and a growing plan never copies what it holds.
class NameChunks {
public:
    // Stores `a`, then `b` right after it; returns where, for view().
    std::uint64_t add(std::string_view a, std::string_view b = {});
    std::string_view view(std::uint64_t at, std::size_t bytes) const {
        return {chunks_[at >> 32].get() + (at & 0xffffffffu), bytes};
    }

private:
    std::vector<std::unique_ptr<char[]>> chunks_;
    std::size_t capacity_ = 0;  // of the last chunk
    std::size_t used_ = 0;
};

// Items kept in chunks that never move: a growing plan never copies them, nor holds twice their
// room while it grows.
template <class T>
class Chunked {
public:
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return chunks_[i >> kShift][i & kMask]; }
    const T& operator[](std::size_t i) const { return chunks_[i >> kShift][i & kMask]; }
    void push_back(const T& item) {
        if ((size_ & kMask) == 0) {
            chunks_.emplace_back(new T[kMask + 1]);
        }
        chunks_.back()[size_ & kMask] = item;
        ++size_;
    }

private:
    static constexpr std::size_t kShift = 12;
    static constexpr std::size_t kMask = (std::size_t{1} << kShift) - 1;
    std::vector<std::unique_ptr<T[]>> chunks_;
    std::size_t size_ = 0;
};

// One file of a plan. The views live as long as the plan, unchanged.
struct PlannedFile {
    std::string_view folder;   // the folder it lies in
    std::string_view name;     // its name there
    std::string_view newName;  // in the destination (numbered, for MoveNumbered)
    MergeAction action = MergeAction::Move;
    int err = 0;  // for a file that stays: the errno that says why, where its action needs one
};

class MergePlan {
public:
    const MergeRequest& request() const { return request_; }
    std::size_t size() const { return files_.size(); }
    PlannedFile at(std::size_t i) const;
    // at(i).name alone.
    std::string_view nameAt(std::size_t i) const {
        return names_.view(files_[i].at, files_[i].nameBytes);
    }
    // at(i).newName alone.
    std::string_view newNameAt(std::size_t i) const {
        const File& f = files_[i];
        return f.newNameBytes == 0 ? names_.view(f.at, f.nameBytes)
                                   : names_.view(f.at + f.nameBytes, f.newNameBytes);
    }
    // Files of each action.
    std::int64_t count(MergeAction action) const {
        return counts_[static_cast<std::size_t>(action)];
    }
    // Files the run moves or puts in the Trash.
    std::int64_t acting() const;
    bool destinationExists() const { return destination_.inode != 0; }
    // Names that clash only because folders of one name lie in different places (DCIM/100CANON
    // on every card): how many files stay or are numbered for that, and the choice of naming
    // that parts most of them (the request's own when none is counted).
    std::int64_t folderClashes() const { return folderClashes_; }
    NameFrom avoidingChoice() const { return avoidingChoice_; }
    // For a file sent to the Trash for content equal to another's under another name (Dedupe):
    // the path of the copy kept; empty for any other file.
    std::string_view keptCopyOf(std::size_t i) const;

    // A content duplicate, as the plan found it: the run trashes it only if it is still so.
    struct ContentDuplicate {
        std::uint32_t file;  // the plan's index
        std::string keptCopy;
        std::uint64_t inode;
        std::int64_t size;
        std::int64_t modifiedAt;  // ns
        std::int64_t changedAt;   // ns
    };
    // The content duplicate at index `i`, or null.
    const ContentDuplicate* contentDuplicate(std::size_t i) const;

private:
    friend class MergePlanner;
    friend class MergeRunner;
    friend class DuplicateFinder;
    struct Folder {
        std::string path;
        std::string name;      // its last component
        std::string prefix;    // what its files' new names begin with, by the request's NameFrom
        std::uint32_t parent;  // kNoFolder for a source, or a named file's folder
        bool walked;           // a source folder or one below it, not a named file's
        std::uint64_t device;
        std::uint64_t inode;
        std::size_t firstFile;  // its files are [firstFile, next folder's firstFile)
        bool keeps = false;     // holds what the walk left out: it is never removed
        // As the walk found it: what it takes to make it again, and whether it changed since.
        std::uint32_t mode = 0;
        std::uint32_t uid = 0;
        std::uint32_t gid = 0;
        std::int64_t accessedAt = 0;
        std::int64_t modifiedAt = 0;
        std::int64_t listedAt = 0;  // when the walk read it (ns since the epoch)
    };
    // 32 bytes a file; names in chunks.
    struct File {
        std::uint64_t at;  // name, then new name, in names_
        std::uint16_t nameBytes;
        std::uint16_t newNameBytes;  // 0: the name itself
        std::uint32_t folder;
        std::uint64_t inode;  // as the folder's listing gave it
        MergeAction action;
        std::uint8_t err;  // PlannedFile::err
    };
    MergeRequest request_;
    FileId destination_;
    std::vector<Folder> folders_;
    Chunked<File> files_;
    NameChunks names_;
    std::int64_t counts_[kMergeActions] = {};
    std::int64_t folderClashes_ = 0;
    NameFrom avoidingChoice_ = NameFrom::Folder;
    std::vector<ContentDuplicate> contentDuplicates_;  // by file index
};

struct PlanControl {
    // Called every few thousand files and once at the end with the plan so far and where the
    // files added since the last call begin; returning false stops the walk (ECANCELED).
    std::function<bool(const MergePlan& plan, std::size_t from)> chunk;
};

// Walks the sources and decides each file's action, reading contents only where a new name is
// already taken. Returns 0, or the errno of the first path that could not be read (`failedPath`
// names it) or ECANCELED.
int planMerge(const MergeRequest& request, MergePlan& plan, const PlanControl& control = {},
              std::string* failedPath = nullptr);

// A file the run left where it was, and why.
struct LeftFile {
    std::string path;
    std::string newName;                        // the name it would have had
    MergeAction why = MergeAction::LeaveClash;  // a Leave... the plan decided, or a failure:
    int err = 0;  // ... the errno (Move, TrashDuplicate, ...); or the plan's, as PlannedFile's
};

// What a copy to another drive could not give the file, there being no room for it there.
enum CopyLoss : unsigned {
    kLostAttributes = 1,  // extended attributes (user.*, and security.* or trusted.*)
    kLostAcl = 2,         // its POSIX access control list
};

// A file moved to another drive without all it had.
struct PartlyKept {
    std::string path;   // where it is now, in the destination
    unsigned lost = 0;  // CopyLoss bits
};

struct MergeResult {
    enum class End {
        Completed,
        Cancelled,          // stopped between two files; what was done stays, and is undoable
        DestinationFailed,  // the destination could not be made or opened (err): nothing moved
        JournalFailed,      // the merge could not be recorded for undo (err): nothing moved
    };
    End end = End::Completed;
    int err = 0;
    std::int64_t moved = 0;
    std::int64_t trashed = 0;
    std::int64_t left = 0;        // left in place for a reason named in leftFiles
    std::int64_t leftOut = 0;     // hidden names and links to folders met in the walk, by design
    std::int64_t notReached = 0;  // files a cancelled merge never came to
    std::int64_t foldersRemoved = 0;
    std::vector<LeftFile> leftFiles;
    std::vector<PartlyKept> partlyKept;
    std::string journal;  // the merge's journal, when it keeps one
    int syncError = 0;    // a folder could not be synced: the moves may not survive a power cut
};

struct MergeRunControl {
    // Called after each file with (done, total); returning false stops before the next.
    std::function<bool(std::int64_t done, std::int64_t total)> progress;
    // Told of each file moved (`newName` the name it got) or put in the Trash (`trashed`).
    std::function<void(const PlannedFile& file, const std::string& newName, bool trashed)> moved;
    bool journal = true;  // kept in `stateDir`, for undo
    std::string stateDir = stateDirectory();
};

// Carries the plan out: makes the destination, records the merge, then moves each file with the
// renames that never replace (across drives: an exclusive copy, synced and compared, before the
// original goes), settling names taken since the plan as the plan would have, and removes the
// emptied folders.
MergeResult runMerge(const MergePlan& plan, const MergeRunControl& control = {});

// "name (n).ext": `n` before the last extension.
std::string numberedName(const std::string& name, int n);

}  // namespace fs
