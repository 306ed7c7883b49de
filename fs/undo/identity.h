#pragma once

// The one idea of "the same file" that every run, undo, finish and recovery uses: a name looked
// up now against the file a journal recorded, as the drive tells its files apart. No Qt here.

#include <cstdint>
#include <string>

#include "fs/file_id.h"
#include "fs/journal/journal.h"

namespace fs {

// What a name holds now, looked up without following a link.
struct Seen {
    bool present = false;
    int err = 0;  // the lookup failed for a reason other than the name's absence
    FileId inodeId;
    std::uint64_t size = 0;
    std::uint32_t mode = 0;
    std::int64_t modifiedAt = 0;  // ns since the epoch
    std::int64_t changedAt = 0;
    std::int64_t bornAt = -1;  // -1 when the drive does not say
    std::uint64_t links = 0;   // names the file has; 0 when not looked up
    bool emptyFile() const;
    // Its identity as a journal keeps it on a drive of `kind`.
    FileId as(IdentityKind kind) const;
};

// Looks `name` up in the folder `dirfd`.
Seen seeAt(int dirfd, const std::string& name);
// What a stat gave.
Seen seenOf(const struct stat& st);

// A file a journal recorded, and how its drive tells files apart.
struct RecordedFile {
    IdentityKind kind = IdentityKind::Inode;
    FileId id;  // as the kind says; none: a name the run found gone, which holds nothing
    // A file of that inode number born after this (ns; 0: not checked) is another one that was
    // given the number again.
    std::int64_t bornBy = 0;
    // Without a birth time: a file changed after this (0: not checked) is not the one recorded.
    std::int64_t changedBy = 0;
    // Where the drive keeps inode numbers: the device its folder is on now (0: not checked). A
    // new mount may give the drive another device number; another drive's file is never it.
    std::uint64_t device = 0;
};

// Whether `seen` holds the file `file`: by inode number where the drive keeps them (looked up in
// a folder of the drive, whose device a new mount may have changed), and not a file made since
// that got the number again; by size and modification time where the drive numbers its files
// anew at each mount. Two kinds are never compared.
bool sameFile(const Seen& seen, const RecordedFile& file);

// Whether the two names looked up as `a` and `b` are provably one file: one device and inode
// where the drive keeps inode numbers (`kind`), else only when the journal recorded the link as
// made (`linkMade`) and both still count two names or more. Two files alike are never one.
bool oneFile(const Seen& a, const Seen& b, IdentityKind kind, bool linkMade);

// The file of entry `e` of `plan` where it was before the run, and where the run put it.
RecordedFile recordedBefore(const JournalPlan& plan, const JournalEntry& e);
RecordedFile recordedAfter(const JournalPlan& plan, const JournalEntry& e);

}  // namespace fs
