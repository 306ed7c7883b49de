#include "core/paths.h"

#include <filesystem>

namespace core {

namespace {
std::filesystem::path native(const std::string& path) {
    return std::filesystem::path(path, std::filesystem::path::native_format);
}
}  // namespace

std::string joinPath(const std::string& folder, const std::string& name) {
    std::string joined = folder;
    if (joined.empty() || joined.back() != kSeparator) {
        joined += kSeparator;
    }
    joined += name;
    return joined;
}

std::string parentFolder(const std::string& path) {
    const std::string parent = native(normalizeFolder(path)).parent_path().native();
    return parent.empty() ? std::string(1, kSeparator) : parent;
}

std::string fileName(const std::string& path) {
    return native(normalizeFolder(path)).filename().native();
}

std::string normalizeFolder(const std::string& path) {
    std::string result;
    result.reserve(path.size());
    for (const char c : path) {
        if (c != kSeparator || result.empty() || result.back() != kSeparator) {
            result.push_back(c);
        }
    }
    if (result.size() > 1 && result.back() == kSeparator) {
        result.pop_back();
    }
    return result;
}

bool isUnder(const std::string& path, const std::string& folder) {
    if (folder.size() == 1 && folder[0] == kSeparator) {
        return !path.empty() && path.front() == kSeparator;
    }
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == kSeparator);
}

}  // namespace core
