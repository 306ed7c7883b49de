#pragma once

// Path helpers on native paths (bytes). Every part of the program that splits or joins paths
// uses these, so a root, a repeated separator or a trailing one is handled the same everywhere.

#include <string>

namespace core {

// The folder separator of the platform we run on.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// Joins a folder and a name. At a root the folder already ends in the separator, and the result
// still names a file in that root ("/" and "a" give "/a", not "//a").
std::string joinPath(const std::string& folder, const std::string& name);

// The folder part of a path: "/a/b" gives "/a", "/a" gives "/", "a" gives "/".
std::string parentFolder(const std::string& path);

// The last component of a path: "/a/b" gives "b", "/" gives "".
std::string fileName(const std::string& path);

// `path` with repeated separators made one and no trailing separator except at the root.
std::string normalizeFolder(const std::string& path);

// Whether `path` is `folder` or lies below it (both normalized).
bool isUnder(const std::string& path, const std::string& folder);

}  // namespace core
