#pragma once

// The bytes of a run's journal: its head, its records and their framing, shared by the writer
// and the reader. Inside the file-system layer only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fs/file_id.h"
#include "fs/journal/journal.h"

namespace fs::journal_format {

inline constexpr char kMagic[8] = {'K', 'O', 'V', 'R', 'A', 'J', 'N', 'L'};
inline constexpr char kRunsFolder[] = "runs";
inline constexpr char kRunPrefix[] = "run-";
inline constexpr char kBadSuffix[] = ".bad";
inline constexpr char kTempPrefix[] = ".tmp.";

enum Record : std::uint32_t {
    kFolder = 1,    // a folder of the run
    kEntries = 2,   // moves out of a folder (in version 3: of the last folder)
    kPlanned = 3,   // version 3: the plan is whole: folder and entry counts
    kLinked = 4,    // a second name about to be linked (version 4: linked) in a folder's target
    kReserved = 5,  // an empty reservation made in a folder's target: name and identity
    kEnded = 6,     // the run ended: files changed, time, each folder's time as it was left
    kUndone = 7,    // the run was undone: time
    kKept = 8,      // the run was cut short and left so: time
    // Version 4's merge journals, read only.
    kMergeTarget = 9,
    kMergeFolder = 10,
    kMergeEntries = 11,
    kMergePlanned = 12,
    kMergeNumbered = 13,
    kMergeTrashing = 14,
    kMergeTrashed = 15,
    kMergeLinked = 16,
    kMergeReserved = 17,
    kMergeCopying = 18,
    kMergeCopied = 19,
    kMergeRemoving = 20,
    kMergeEnded = 21,
    kMergeCopyBack = 22,
    // Version 5: what a run learns of one entry (its folder and its place there), each written
    // before the call it announces.
    kMergeOptions = 30,  // a merge's options and its destination folder
    kReserving = 31,     // an empty reservation about to be made: name, time
    kNumbered = 32,      // the entry goes to this name in place of a taken one
    kTrashing = 33,      // the entry goes to the Trash: its folder and the name there
    kCopying = 34,       // a copy on another drive about to be made: time
    kCopyMade = 35,      // ... made: its device and inode
    kCopied = 36,        // ... whole and checked: identity, the original's mode and owner, and
                         //     what the destination could not hold
    kCopyingBack = 37,   // an undo made a copy back under the old name: device and inode
    kMovedAs = 38,       // the file that moved is not the one planned: its identity
    kRemoving = 39,      // folders about to be removed, deepest first
    kMakingFolder = 40,  // a removed folder about to be made again
    kFolderMade = 41,    // ... made: its device and inode
    kPartlyUndone = 42,  // an undo took back some of the run: entries back, entries in all, time
    // Version 6: outcomes, after the call.
    kLinkMade = 43,         // a second name linked: folder, name
    kReservationMade = 44,  // an empty reservation made: folder, name, device, inode, time
    // An undo's or a finish's renames back to an old name in the folder: as the run's.
    kBackLinking = 45,          // folder, name
    kBackLinkMade = 46,         // folder, name
    kBackReserving = 47,        // folder, name, time
    kBackReservationMade = 48,  // folder, name, device, inode, time
    kCopiedBack = 49,  // a copy made back whole under the old name: identity as the kind says
};

// Type, length, the check of those two, and the checksum after the payload.
inline constexpr std::size_t kRecordHead = 4 + 4 + 4;
inline constexpr std::size_t kRecordFrame = kRecordHead + 8;
// Far beyond any real plan; a larger file is not ours and is not read into memory.
inline constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 34;
// No file system gives longer names or paths; longer lengths mean a damaged file.
inline constexpr std::size_t kMaxNameBytes = 4096;
inline constexpr std::size_t kMaxPathBytes = 1 << 16;

void putU32(std::string& out, std::uint32_t v);
void putU64(std::string& out, std::uint64_t v);
void putBytes(std::string& out, std::string_view bytes);
void putId(std::string& out, FileId id);
void setU32(std::string& out, std::size_t at, std::uint32_t v);
std::uint64_t getLE(const char* at, int bytes);

using Checksum = std::uint64_t (*)(std::string_view);
// The checksum records of a file of `version` carry.
Checksum checksumOf(std::uint32_t version);

std::int64_t nowNs();
bool validName(std::string_view name);
bool validFolder(std::string_view path);

// One record as written: type, length, payload, checksum.
std::string framed(std::uint32_t type, std::string_view payload,
                   Checksum checksum = journalChecksum);

int writeAll(int fd, const char* data, std::size_t size);
int preadAll(int fd, char* data, std::size_t size, long offset);

// Appends one record to the journal at `path` (locked by the caller) and syncs it; a record a
// kill left torn at its end is cut off first.
int appendTo(const std::string& path, std::uint32_t type, const std::string& payload);

// Removes runs beyond the history's length that are over (ended, undone or left cut short) and
// that nobody holds. A run cut short and never looked at is kept, however old.
void pruneHistory(const std::string& runsDir);

// Removes the temporaries of writers killed before their commit in the runs' folder `dirfd`.
void removeDeadTemporaries(int dirfd);

// Reads a record's payload, trusting no length in it.
class Parser {
public:
    explicit Parser(std::string_view data) : data_(data) {}
    bool u8(std::uint8_t& v);
    bool u32(std::uint32_t& v);
    bool u64(std::uint64_t& v);
    bool i64(std::int64_t& v);
    bool bytes(std::string& out, std::size_t maxBytes);
    bool name(std::string& out) { return bytes(out, kMaxNameBytes) && validName(out); }
    bool id(FileId& v) { return u64(v.device) && u64(v.inode); }
    std::size_t left() const { return data_.size() - pos_; }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

}  // namespace fs::journal_format
