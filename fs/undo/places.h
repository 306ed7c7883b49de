#pragma once

// Paths of a run's journal as they are now, its drives mounted where they are now. Inside the
// undo engine only.

#include <string>

#include "fs/journal/journal.h"

namespace fs {

// Where the folder of `plan` lies now, and the mount point of its drive; both empty when the
// drive is not connected.
struct Placed {
    std::string folder;
    std::string mountPoint;
};
Placed placedNow(const JournalPlan& plan);

// The path `recorded`, which lay on the drive of `plan` during the run, where it lies now that
// the drive is mounted as `now` says.
std::string pathNow(const JournalPlan& plan, const Placed& now, const std::string& recorded);

}  // namespace fs
