#pragma once

// `kovra merge`: the files of many folders moved into one (fs/merge).

#include <string>
#include <vector>

#include "cli/progress.h"
#include "fs/merge/merge.h"

namespace cli {

struct MergeOptions {
    bool dryRun = false;                         // print each planned move and change nothing
    bool verbose = false;                        // print each move as it is made
    bool all = false;                            // hidden files and folders too
    bool keepDuplicates = false;                 // a duplicate stays where it is, not in the Trash
    bool number = false;                         // other content under the new name: "name (2).ext"
    bool keepFolders = false;                    // emptied folders stay
    bool noUndo = false;                         // keep no journal
    ProgressMode progress = ProgressMode::Auto;  // the line on standard error
    fs::NameFrom nameFrom = fs::NameFrom::Folder;  // which folders a new name carries
    fs::Dedupe dedupe = fs::Dedupe::Off;           // content duplicates of other names too
};

// Merges the SOURCE paths into DEST, the last of `paths`, like mv. Returns an exit status.
int mergeCommand(const MergeOptions& options, const std::vector<std::string>& paths);

}  // namespace cli
