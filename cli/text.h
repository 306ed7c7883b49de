#pragma once

// Words and names on the terminal. Names stay bytes from the folder to the output: a translated
// message is turned into bytes once, and names are put into it as bytes.

#include <initializer_list>
#include <string>
#include <string_view>

namespace cli {

// `name` made safe to print on one line, as the windows show it (core::shownName).
std::string escaped(std::string_view name);

// The message `sourceText` in the user's language, with %1, %2, ... replaced by `args` (bytes,
// inserted as they are). `sourceText` must be marked with QT_TRANSLATE_NOOP("cli", ...).
std::string message(const char* sourceText, std::initializer_list<std::string_view> args = {});

// The same for a message counting `n` things: %n is replaced by `n`, and the words take the
// plural form the language has for it. `sourceText` must be marked with QT_TRANSLATE_N_NOOP.
std::string countMessage(const char* sourceText, int n,
                         std::initializer_list<std::string_view> args = {});

// Why a rename or an open failed, in the user's language.
std::string reason(int error);

// Writes bytes to standard output or standard error, as they are.
void writeOut(std::string_view text);
void writeErr(std::string_view text);

// Flushes standard output and checks that everything written to it reached its file: 0, or the
// errno of the first write that failed, now or before.
int closeOutput();

}  // namespace cli
