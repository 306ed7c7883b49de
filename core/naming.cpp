#include "core/naming.h"

#include "core/paths.h"

namespace core {

std::string prefixedName(const std::string& folder, std::string_view name) {
    // Everything after the last separator; at a root ("/") that is nothing.
    const std::size_t separator = folder.rfind(kSeparator);
    const std::size_t start = separator == std::string::npos ? 0 : separator + 1;
    std::string result;
    result.reserve(folder.size() - start + 1 + name.size());
    result.append(folder, start, std::string::npos);
    result += '_';
    result += name;
    return result;
}

void mergedNameInto(std::string& out, std::string_view folderName, std::string_view name) {
    if (name.size() > folderName.size() && name.substr(0, folderName.size()) == folderName &&
        name[folderName.size()] == '_') {
        out.assign(name);
        return;
    }
    out.assign(folderName).append(1, '_').append(name);
}

}  // namespace core
