#pragma once

// Where each entry of a run's folder is now: the examination that undo, finish and recovery share.
// Inside the undo engine only.

#include <cstdint>
#include <string>
#include <vector>

#include "fs/fd.h"
#include "fs/journal/journal.h"
#include "fs/listing.h"
#include "fs/merge/trash.h"
#include "fs/undo/identity.h"
#include "fs/undo/places.h"
#include "fs/undo/undo.h"

namespace fs {

// What a folder of a run holds, read ahead of the journal's entries: they are needed to look its
// names up, not to read it.
struct Listed {
    std::string folder;  // the plan's folder and identity, as the journal's summary gives them
    FileId folderId;
    Fd fd;  // the folder as opened for the reading; none: why is in `opened`
    FolderState opened;
    SortedListing listing;
    int error = -1;  // of the reading; -1: not read
};

// Opens the folder of `plan` and reads it into `listed`.
void listFolder(const JournalPlan& plan, Listed& listed);

// The folder a run's entries went to, opened, and what the examination needs of it.
struct Target {
    int fd = -1;
    const JournalPlan* plan = nullptr;
    const SortedListing* listing = nullptr;  // its names, read once; null: looked up one by one
};

// The examination of one folder: the states, and where the files found elsewhere are.
struct Examination {
    FolderState state;
    std::vector<std::pair<std::uint64_t, TrashedFile>> trashed;  // Trashed entries, rising
    // Entries at their new name beside an empty reservation of their old name that an undo cut
    // short made, and heard made: as seen then, rising.
    std::vector<std::pair<std::uint64_t, Seen>> reservedBack;
};

// The state of every entry of `plan` in the folder `dirfd`, whose entries went to `target` (null:
// the folder itself). `listed`: the folder read ahead.
Examination examineWith(int dirfd, const JournalPlan& plan, const Target* target,
                        const Listed* listed);

// The name entry `i` of `plan` went to in its target: the number it was given, or its new name.
const std::string& nameInTarget(const JournalPlan& plan, std::uint64_t i);

// The file entry `i` of `plan` was before the run, and after it on the same drive.
RecordedFile fileBefore(const JournalPlan& plan, std::uint64_t i);
RecordedFile fileAfter(const JournalPlan& plan, std::uint64_t i);

}  // namespace fs
