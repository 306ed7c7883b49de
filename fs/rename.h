#pragma once

// The real folder the rename run works in, renamed in by native names and never overwriting.

#include <optional>
#include <string>

#include "core/rename_run.h"
#include "fs/journal.h"
#include "fs/rename_methods.h"

namespace fs {

// The name under which the running program's own file lies in the folder `dirfd`, recognised by
// identity (device and inode), not by name: a user's file that merely shares the name is not it.
std::optional<std::string> runningProgramNameIn(int dirfd);

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
