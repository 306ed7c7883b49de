#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/worklist.h"

namespace core {

// A run of selected positions, both ends included.
struct SelectionRange {
    std::int64_t first = 0;
    std::int64_t last = 0;
};

// What the run needs of the file list: the folder, the entries in display order, and the
// selection as ascending, disjoint ranges (reading them must not cost a query per entry).
class FileList {
public:
    virtual ~FileList() = default;
    virtual const std::string& Path() const = 0;
    virtual std::int64_t ListCount() const = 0;
    virtual const std::string& List(std::int64_t i) const = 0;
    virtual std::vector<SelectionRange> SelectedRanges() const = 0;
    // Reads the folder again; nothing is selected afterwards.
    virtual void Refresh() = 0;
};

// The outcome of one rename. `err` is an errno value, 0 on success. `unsafe` is set when the file
// system could neither rename without replacing nor link, so no safe rename was possible.
struct RenameStatus {
    int err = 0;
    bool unsafe = false;
    // Set when the folder itself could not be opened, so no file was tried.
    bool folder = false;
    explicit operator bool() const { return err != 0; }
};

// A folder opened once for the whole run; names are relative to it.
class Folder {
public:
    virtual ~Folder() = default;
    // Renames `from` to `to` inside the folder, never replacing an existing `to`.
    virtual RenameStatus Rename(const std::string& from, const std::string& to) = 0;
    // Makes the renames durable. Returns 0, or the errno when they may not be.
    virtual int Sync() = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Opens the folder at `path`; on failure returns null and sets `err`.
    virtual std::unique_ptr<Folder> Open(const std::string& path, int& err) = 0;
};

struct RunOptions {
    // Names the run never renames: the program's own executable.
    std::vector<std::string> excluded{"kovra.exe"};
    // Called after each rename with (done, total); returning false stops the run before the next.
    std::function<bool(std::int64_t done, std::int64_t total)> progress;
};

struct RunResult {
    enum class End {
        NothingSelected,  // no file selected: nothing renamed, no refresh
        Completed,        // every name of the rename list renamed (possibly none)
        Failed,           // stopped at the first failing rename
        Cancelled,        // stopped by the progress callback between two files
    };
    End end = End::NothingSelected;
    std::int64_t selected = 0;  // names put into the selection list
    std::int64_t total = 0;     // names in the rename list
    std::int64_t renamed = 0;   // renames that succeeded
    // Set when end == Failed: the file, its intended new name, both full paths and the reason.
    std::string failedName;
    std::string failedNewName;
    std::string oldPath;
    std::string newPath;
    RenameStatus status;
    // Set when the folder could not be synced at the end: the new names may not survive a power
    // cut, though every rename reported done was done.
    int syncErr = 0;
};

// The rename run behind the "start" button: the selection pass into `list1`, the exclusion pass
// into `list2`, the renames in list order, the refresh. It stops at the first failing rename and
// reports it; files renamed before keep their new names.
RunResult renameRun(FileList& file1, WorkList& list1, WorkList& list2, FileSystem& fs,
                    const RunOptions& options = {});

}  // namespace core
