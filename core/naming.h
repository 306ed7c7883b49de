#pragma once

#include <string>
#include <string_view>

namespace core {

// The new name of a file: the last component of `folder` (the folder the file list shows), "_"
// and the old name. Bytes in, bytes out: nothing is decoded, trimmed or checked.
std::string prefixedName(const std::string& folder, std::string_view name);

}  // namespace core
