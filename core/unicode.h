#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace core {

// Stands for bytes that are not UTF-8 in a decoded name: no character joins across them.
inline constexpr char32_t kNotACharacter = 0xFFFFFFFF;

// The text in Unicode's composed form (NFC).
std::u32string toNfc(std::u32string_view text);

// Which characters of `text` keep it from being in NFC, to be shown as their code points so
// that a name and its twin in another form never look alike: the combining marks of a
// character that NFC would compose or reorder, a character NFC replaces, and one that composes
// with the character before it. Empty when `text` is in NFC (nearly always, and found quickly).
std::vector<bool> charactersOutOfNfc(std::u32string_view text);

}  // namespace core
