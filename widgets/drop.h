#pragma once

#include <QByteArray>
#include <string>
#include <vector>

namespace widgets {

// The local paths of a drop's "text/uri-list", as native bytes. The percent-encoded bytes of each
// file URL are decoded directly, never through a QString or QUrl, so a name that is not valid
// UTF-8 arrives intact. Comments, other schemes and other hosts are skipped.
std::vector<std::string> localPathsFromUriList(const QByteArray& uriList);

}  // namespace widgets
