#pragma once

// The real folder the rename run works in, renamed in by native names and never overwriting.

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/rename_run.h"
#include "fs/file_id.h"
#include "fs/journal/recorder.h"
#include "fs/rename_methods.h"

namespace fs {

// The names under which the program's own files lie in the folder `dirfd`: the running
// program's file and those made known with addProgramFile (the launcher `kovra` and the window
// program `kovra-window` it hands over to), recognised by identity (device and inode), not by
// name: a user's file that merely shares a name is not one of them, and a copy of the program
// under another name is. `device`, the folder's when known, spares lookups in folders of other
// drives.
class ProgramNames : public std::vector<std::string> {
public:
    using std::vector<std::string>::vector;
    bool contains(std::string_view name) const { return std::find(begin(), end(), name) != end(); }
};
ProgramNames runningProgramNameIn(int dirfd, std::optional<std::uint64_t> device = {});

// Makes the file at `path` one of the program's own, which runs keep in place: the window
// program keeps the launcher that started it, the launcher the window program it would start.
// With `id`, the file is the one of that identity (told by the program that runs it, so that a
// file put in its place since is not taken for it); without, the file at `path` now. To be
// called before the first run.
void addProgramFile(const std::string& path, std::optional<FileId> id = {});

// Folders whose renames are made durable a batch at a time: on a journaling file system the first
// sync of a batch commits them all, where a sync after each folder waits for a commit each. A
// batch is as large as the descriptors it holds allow (half the process's limit), so that a run
// over many folders waits for one commit at its end rather than for several on its way. From any
// thread; what is left is synced when it goes.
class SyncBatch {
public:
    SyncBatch();
    ~SyncBatch() { flush(); }
    SyncBatch(const SyncBatch&) = delete;
    SyncBatch& operator=(const SyncBatch&) = delete;
    // Syncs the folder `dirfd` with its batch (on a descriptor of its own); `error`, which must
    // stay valid until then, receives the errno if that fails.
    void add(int dirfd, int* error);
    // Syncs every folder added.
    void flush();

private:
    std::size_t capacity_;
    std::mutex mutex_;
    std::vector<std::pair<int, int*>> folders_;
};

// The real file system: folders opened with O_DIRECTORY, renames relative to that handle. With a
// recorder, the renames tell the run's journal what it must know to repair them after a kill.
class PosixFileSystem : public core::FileSystem {
public:
    explicit PosixFileSystem(RunRecorder* recorder = nullptr) : recorder_(recorder) {}
    core::OpenedFolder open(const std::string& path) override;

private:
    RunRecorder* recorder_;
};

}  // namespace fs
