#pragma once

#include <string>
#include <string_view>

namespace core {

// The text shown for a name or path, in UTF-8: the same on the terminal and in the windows, so
// that two different names never look the same. Printable UTF-8 is kept as it is; bytes that
// are not valid UTF-8 become \xNN, control characters \n, \t, \r or \xNN (one per byte), a
// backslash \\, characters that reorder or hide text and blanks that pass for a space
// \u{NNNN}, and each blank at the end a visible mark: U+0020 as ␠, U+3000 as \u{3000}. Only for
// showing: the bytes are what gets renamed.
std::string shownName(std::string_view bytes);

}  // namespace core
