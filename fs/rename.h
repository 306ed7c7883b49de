#pragma once

// The never-overwriting rename on native names, and the real folder the rename run works in.

#include <optional>
#include <string>

#include "core/rename_run.h"

namespace fs {

// Renames `from` to `to` inside the folder `dirfd`, never replacing an existing `to`.
core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to);

// The longest name the file system holding `folder` takes, in bytes.
long nameMax(const std::string& folder);

// The name under which the running program's own file lies in the folder `dirfd`, recognised by
// identity (device and inode), not by name: a user's file that merely shares the name is not it.
std::optional<std::string> runningProgramNameIn(int dirfd);

// The real file system: folders opened with O_DIRECTORY, renames relative to that handle.
class PosixFileSystem : public core::FileSystem {
public:
    core::OpenedFolder open(const std::string& path) override;
};

}  // namespace fs
