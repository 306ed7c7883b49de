#pragma once

// The commands that run without a window: `kovra rename` and `kovra undo`.

#include <string>
#include <vector>

#include "cli/progress.h"

namespace cli {

// Exit statuses of every command.
enum Status : int {
    kSuccess = 0,     // every file renamed (or, in a dry run, would be)
    kRunFailed = 1,   // the run stopped at a failure, reported on standard error
    kUsageError = 2,  // wrong usage, or a path that cannot be opened: nothing was renamed
};

struct RenameOptions {
    bool dryRun = false;     // print each rename and change nothing
    bool recursive = false;  // every subfolder too, never through a symbolic link
    bool verbose = false;    // print each rename as it is done
    bool all = false;        // names beginning with "." in folders too, and hidden subfolders
    bool noUndo = false;     // keep no journal: the run cannot be undone
    int jobs = 0;            // folders renamed in at once; 0: as many as the drive takes
    ProgressMode progress = ProgressMode::Auto;  // the line on standard error
};

// Renames the files named by `paths` (a folder: all its files), each with its own folder's name,
// through the same run as the window's start button. Returns an exit status.
int renameCommand(const RenameOptions& options, const std::vector<std::string>& paths);

// Undoes run `entry` of the history (1 the newest), or with 0 the most recent run that is neither
// in progress nor undone, `jobs` folders at once (0: as many as the drive takes). Returns an exit
// status.
int undoCommand(int entry = 0, int jobs = 0, ProgressMode progress = ProgressMode::Auto);

// Prints the history of runs, newest first, numbered as `undo N` takes them; with `json`, one
// object per line for scripts.
int undoListCommand(bool verbose, bool json = false);

}  // namespace cli
