#pragma once

// The user's words for a failed rename. Plain C++: the window shows these lines as they are.

#include <string>

#include "core/rename_run.h"

namespace platform {

// The reason in Japanese with the error number beside it: "…（エラー番号 28）".
std::string reasonLine(const core::RenameStatus& status, std::size_t nameBytes = 0,
                       long nameLimit = 0);

// The reason line for a run that ended with a failed rename: a name that is too long is
// reported with its length in bytes and the limit of the folder's file system.
std::string runFailureReason(const core::RunResult& result);

}  // namespace platform
