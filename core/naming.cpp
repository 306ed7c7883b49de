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

}  // namespace core
