#pragma once

// What the commands share beyond their words: the program's name as they print it, the message
// for a drive with no safe rename, and the room to hold many folders open.

#include <string>

namespace cli {

inline std::string programName() {
    return "kovra";
}

// Why nothing could be renamed on the drive holding `folder`, naming the drive.
std::string noSafeRename(const std::string& folder);

// Why a rename in `folder` failed with `error`: a drive that does not answer is named.
std::string renameFailure(const std::string& folder, int error);

// Each folder renamed in is held open until the end, when they are made durable together: as
// many as the system lets the process hold.
void holdManyFolders();

}  // namespace cli
