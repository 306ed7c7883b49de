#pragma once

#include <QString>
#include <string>

namespace widgets {

// The text shown for a native name. Only for showing: bytes that are not valid UTF-8 become
// replacement characters and control characters a visible form (their symbol where a font has it,
// else an escape such as \n), so this string can never be turned back into the name.
QString displayName(const std::string& name);

}  // namespace widgets
