#pragma once

#include <string>
#include <string_view>

namespace core {

// The text shown for a name or path, in UTF-8: the same on the terminal and in the windows, so
// that two different names never look the same. Printable UTF-8 is kept as it is; bytes that
// are not valid UTF-8 become \xNN, control characters \n, \t, \r or \xNN (one per byte), a
// backslash \\, characters that reorder or hide text and blanks that pass for a space
// \u{NNNN}, and each blank at the end a visible mark: U+0020 as `blankMark` (␠ unless the
// windows' fonts lack it; 0 for \u{0020}), U+3000 as \u{3000}. A name not in Unicode's composed
// form (NFC) shows the characters that keep it out of it as \u{NNNN} too (`cafe\u{0301}` for an
// "é" made of "e" and a combining accent), so it never looks like its composed twin. Only for
// showing: the bytes are what gets renamed.
std::string shownName(std::string_view bytes, char32_t blankMark = U'\u2420');

}  // namespace core
