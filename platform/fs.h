#pragma once

// File-system operations on native names (bytes as stored). No Qt here: names never pass through
// a QString on their way from the listing to the rename.

#include <string>
#include <vector>

#include "core/rename_run.h"

namespace platform {

// The system calls under the rename, replaceable by tests to inject faults.
struct Syscalls {
    int (*renameat2)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
                     unsigned int flags);
    int (*linkat)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags);
    int (*unlinkat)(int dirfd, const char* pathname, int flags);
    int (*fsync)(int fd);
};
Syscalls& syscalls();
Syscalls defaultSyscalls();

// Every entry of `folder` that is not a folder (files, symbolic links, others), hidden ones
// included, sorted in display order. On failure returns an empty list and sets `err`.
std::vector<std::string> listFiles(const std::string& folder, int& err);

// The subfolders of `folder`, symbolic links to folders and hidden ones included, sorted in
// display order. On failure returns an empty list and sets `err`.
std::vector<std::string> listFolders(const std::string& folder, int& err);

// The program's working directory, or "/" when it has gone.
std::string currentFolder();

// `path` with repeated separators made one and no trailing separator except at the root.
std::string normalizeFolder(const std::string& path);

// The reason a folder cannot be opened, in Japanese (UTF-8), without the error number.
std::string folderErrorReason(int err);

// Display order: by name ignoring ASCII case, ties broken by the raw bytes.
bool displayLess(const std::string& a, const std::string& b);
void sortForDisplay(std::vector<std::string>& names);

// Renames `from` to `to` inside the folder `dirfd`, never replacing an existing `to`.
core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to);

// The longest name the file system holding `folder` takes, in bytes.
long nameMax(const std::string& folder);

// The reason for a failed rename, in Japanese (UTF-8), without the error number.
std::string errorReason(const core::RenameStatus& status, std::size_t nameBytes = 0,
                        long nameLimit = 0);

// The file name of the running program, which a run must never rename.
std::string ownExecutableName();

// The real file system: folders opened with O_DIRECTORY, renames relative to that handle.
class PosixFileSystem : public core::FileSystem {
public:
    std::unique_ptr<core::Folder> Open(const std::string& path, int& err) override;
};

}  // namespace platform
