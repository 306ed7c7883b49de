#pragma once

// Folder listings on native names (bytes as stored): names never pass through a QString on their
// way from the listing to the rename.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/folder_identity.h"
#include "core/names.h"
#include "core/worklist.h"

namespace fs {

// One file of a folder as a reading finds it: its name and the inode number the folder gives.
struct FileEntry {
    std::string name;
    std::uint64_t inode = 0;
};

struct Listing {
    std::vector<std::string> names;  // in display order
    int error = 0;                   // errno; the names are empty then
};

// Every entry of `folder` that is not a folder (files, symbolic links that do not lead to a
// folder, others), hidden ones included.
Listing listFiles(const std::string& folder);

// The files of `folder` as listFiles finds them, added to `table` in the order the folder gives
// them (not sorted), with their inode numbers. `onProgress` is told the entries read so far once
// `firstStep` are read, then every `step` more, and once at the end with any left over. Stops
// before the next entry once `cancelled` is set, with ECANCELED. Returns 0 or the errno; names
// added before an error stay. When given, `identity` receives the folder's identity as opened.
int readFiles(const std::string& folder, core::NameTable& table, std::size_t firstStep,
              std::size_t step, const std::atomic<bool>& cancelled,
              const std::function<void(std::size_t entries)>& onProgress,
              core::FolderIdentity* identity = nullptr);

// What a listing holds, as one number: a sum over its names with their inode numbers, in any
// order, keyed afresh in every process. A listing is checked against its folder by this, without
// keeping a second copy of the names.
struct FilesDigest {
    std::uint64_t count = 0;
    std::uint64_t sum = 0;
    bool operator==(const FilesDigest&) const = default;
};
FilesDigest digestOf(const core::NameTable& table);
// The digest of the files of `folder` (as readFiles finds them), from one reading that keeps
// nothing. Returns 0 or the errno.
int digestFiles(const std::string& folder, const std::atomic<bool>& cancelled, FilesDigest& digest,
                core::FolderIdentity* identity = nullptr);

// The listing `listed` (in display order) as a run leaves it that renamed the first `renamed`
// names of `renameList`, entries of `listed`, each to its prefixed name in `folder`: the other
// names as they were, every name in display order. It refers to `listed`'s names and holds only
// the new ones. Null when `renameList` does not refer to `listed`.
std::shared_ptr<const core::NameTable> listedAfterRun(
    const std::shared_ptr<const core::NameTable>& listed, const core::WorkList& renameList,
    std::int64_t renamed, const std::string& folder);

// The subfolders of `folder`, symbolic links to folders and hidden ones included. When given,
// `entriesSeen` counts the folder's entries as they are read (another thread may watch it).
Listing listFolders(const std::string& folder, std::atomic<std::int64_t>* entriesSeen = nullptr);

// One pass over a folder for both lists of the window: its subfolders as listFolders finds them
// and its files as readFiles finds them (not sorted). A large folder being opened is thus read
// once, not once for each list.
class FolderScan {
public:
    // Entries read so far, and files among them; any thread may watch them.
    std::atomic<std::int64_t> entriesRead{0};
    std::atomic<std::int64_t> filesRead{0};

    // Reads `folder`, on the calling thread.
    void run(const std::string& folder);
    // Waits at most `timeout` for run to end; true once it has.
    bool waitDone(std::chrono::milliseconds timeout);
    // Once done: the subfolders, with the error of a folder that could not be read.
    Listing takeFolders();
    // Once done: the files, to the first taker only (null for any other, or after an error),
    // with the folder's identity as opened.
    std::shared_ptr<core::NameTable> takeFiles(core::FolderIdentity& identity);

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    Listing folders_;
    std::shared_ptr<core::NameTable> files_;
    core::FolderIdentity identity_;
};

// Every name of a folder with the inode number the folder gives for it, from one reading, in
// display order. Many names are looked up at once by walking them and the listing side by side:
// memory is visited in order, not once per name at random.
class SortedListing {
public:
    // Returns 0 or the errno; what was read before an error is kept.
    int read(int dirfd);
    // The inode number of each of `count` names (`nameAt(i)`), nullopt where the folder has no
    // such name. Names given in display order cost a step each; others are put in order first.
    std::vector<std::optional<std::uint64_t>> find(
        std::size_t count, const std::function<std::string_view(std::size_t)>& nameAt) const;

private:
    core::NameTable table_;
};

// The program's working directory, or "/" when it has gone.
std::string currentFolder();

// Display order: by name ignoring ASCII case, ties broken by the raw bytes.
bool displayLess(std::string_view a, std::string_view b);
void sortForDisplay(std::vector<std::string>& names);
void sortForDisplay(core::NameTable& table);

}  // namespace fs
