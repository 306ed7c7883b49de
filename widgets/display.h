#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>

namespace widgets {

// The mark of a blank at the end of a name in the windows: ␠ where their fonts have it, else ␣,
// else none (the blank is shown as \u{0020}).
char32_t trailingBlankMark();

// The text shown for a native name or path: core::shownName, so the windows show every name as
// the command line prints it and no two names alike. Only for showing: the bytes are renamed.
QString displayName(std::string_view name);

// The bytes of a path that came back as text (a system file dialog's answer), when they are
// certain. Invalid bytes in a name come back as U+FFFD, which a real U+FFFD also gives: such a
// path may stand for another folder, so none is given.
std::optional<std::string> certainNativePath(const QString& path);

}  // namespace widgets
