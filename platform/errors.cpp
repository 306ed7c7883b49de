#include "platform/errors.h"

#include <cerrno>

#include "platform/fs.h"

namespace platform {

std::string reasonLine(const core::RenameStatus& status, std::size_t nameBytes, long nameLimit) {
    return errorReason(status, nameBytes, nameLimit) + "（エラー番号 " +
           std::to_string(status.err) + "）";
}

std::string runFailureReason(const core::RunResult& result) {
    // The folder is what the old path holds before the failed name.
    const std::string& oldPath = result.oldPath;
    const std::size_t nameStart =
        oldPath.size() >= result.failedName.size() ? oldPath.size() - result.failedName.size() : 0;
    const std::string folder = oldPath.substr(0, nameStart);
    const long limit = result.status.err == ENAMETOOLONG ? nameMax(folder) : 0;
    return reasonLine(result.status, result.failedNewName.size(), limit);
}

}  // namespace platform
