#pragma once

#include <QByteArray>
#include <string>
#include <vector>

namespace platform {

// The local paths of a drop's "text/uri-list", as native bytes. The percent-encoded bytes of each
// file URL are decoded directly, never through a QString or QUrl, so a name that is not valid
// UTF-8 arrives intact. Comments, other schemes and other hosts are skipped.
std::vector<std::string> localPathsFromUriList(const QByteArray& uriList);

// The folder part of a path ("/a/b" gives "/a", "/a" gives "/").
std::string parentFolder(const std::string& path);

}  // namespace platform
