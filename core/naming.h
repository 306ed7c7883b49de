#pragma once

#include <string>

namespace core {

// The folder separator of the platform we run on.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// The new name of a file: the last component of `path` (the folder the file list shows), "_" and
// the old name. Bytes in, bytes out: nothing is decoded, trimmed or checked.
std::string kovra(const std::string& path, const std::string& f_name);

// Joins a folder and a name. At a root the folder already ends in the separator, and the result
// still names a file in that root ("/" and "a" give "/a", not "//a").
std::string joinPath(const std::string& folder, const std::string& name);

}  // namespace core
