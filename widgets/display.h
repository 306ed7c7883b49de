#pragma once

#include <QString>
#include <string_view>

namespace widgets {

// The text shown for a native name or path: core::shownName, so the windows show every name as
// the command line prints it and no two names alike. Only for showing: the bytes are renamed.
QString displayName(std::string_view name);

}  // namespace widgets
