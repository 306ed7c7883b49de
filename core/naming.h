#pragma once

#include <string>
#include <string_view>

namespace core {

// The new name of a file: the last component of `folder` (the folder the file list shows), "_"
// and the old name. Bytes in, bytes out: nothing is decoded, trimmed or checked.
std::string prefixedName(const std::string& folder, std::string_view name);

// The name a merge gives a file of the folder whose own name is `folderName`, into `out`: that
// name, "_" and the file's, unless the file's begins so already (it is not named twice).
void mergedNameInto(std::string& out, std::string_view folderName, std::string_view name);

}  // namespace core
