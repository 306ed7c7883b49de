#pragma once

// The never-overwriting rename on native names, and the real folder the rename run works in.

#include <optional>
#include <string>

#include "core/rename_run.h"

namespace fs {

// How a file system lets us rename without replacing: the rename flag, a hard link (which fails
// where the name exists) then an unlink, or an empty file created exclusively under the new name
// as a reservation that the file is then renamed onto.
enum class RenameMethod { Unknown, NoReplaceFlag, LinkThenUnlink, Reservation };

// Renames `from` to `to` inside the folder `dirfd`, never replacing an existing `to`. `method`
// carries what the file system was found to offer from one call to the next, so a run pays for
// failing system calls on its first file only; it stays Unknown while no call settled it.
core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to,
                                   RenameMethod& method);
// The same, finding the method afresh.
core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to);

// The name under which the running program's own file lies in the folder `dirfd`, recognised by
// identity (device and inode), not by name: a user's file that merely shares the name is not it.
std::optional<std::string> runningProgramNameIn(int dirfd);

// The real file system: folders opened with O_DIRECTORY, renames relative to that handle.
class PosixFileSystem : public core::FileSystem {
public:
    core::OpenedFolder open(const std::string& path) override;
};

// The method the last folder opened by a PosixFileSystem settled on; for tests and benchmarks.
RenameMethod lastRenameMethod();

}  // namespace fs
