#include "core/naming.h"

namespace core {

std::string kovra(const std::string& path, const std::string& f_name) {
    // Scan from the end for the last separator; position 0 means none was found. At a root
    // ("/") the separator is the last character and the folder name is empty.
    const std::size_t length = path.size();
    std::size_t position = 0;
    for (std::size_t i = length; i >= 1; --i) {
        if (path[i - 1] == kSeparator) {
            position = i;
            break;
        }
    }
    std::string result;
    result.reserve(length - position + 1 + f_name.size());
    result.append(path, position, std::string::npos);
    result += '_';
    result += f_name;
    return result;
}

}  // namespace core

namespace core {

std::string joinPath(const std::string& folder, const std::string& name) {
    std::string joined = folder;
    if (joined.empty() || joined.back() != kSeparator) {
        joined += kSeparator;
    }
    joined += name;
    return joined;
}

}  // namespace core
