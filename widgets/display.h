#pragma once

#include <QString>
#include <string>

namespace widgets {

// The text shown for a native name or path: core::shownName, so the windows show every name as
// the command line prints it and no two names alike. Only for showing: the bytes are renamed.
QString displayName(const std::string& name);

}  // namespace widgets
