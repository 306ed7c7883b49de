#include "core/shown_name.h"

#include <algorithm>
#include <cstdio>

#include "core/unicode.h"

namespace core {

namespace {

constexpr char32_t kIdeographicSpace = 0x3000;
constexpr char32_t kSymbolForSpace = 0x2420;  // ␠

// Characters shown as \u{NNNN}: bidirectional controls, zero-width and other invisible format
// characters, line and paragraph separators, blanks that look like U+0020 but are not, and ␠
// itself, which stands for a trailing blank.
bool shownAsCodePoint(char32_t c) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range kRanges[] = {
        {0x00A0, 0x00A0},  // no-break space
        {0x00AD, 0x00AD},  // soft hyphen
        {0x034F, 0x034F},  // combining grapheme joiner
        {0x061C, 0x061C},  // Arabic letter mark
        {0x115F, 0x1160},  // Hangul fillers
        {0x1680, 0x1680},  // Ogham space mark
        {0x17B4, 0x17B5},  // Khmer invisible vowels
        {0x180E, 0x180E},  // Mongolian vowel separator
        {0x2000, 0x200F},  // spaces of other widths, zero-width marks, LRM, RLM
        {0x2028, 0x202F},  // separators, embeddings and overrides, narrow no-break space
        {0x205F, 0x206F},  // medium space, word joiner, invisible operators, isolates
        {kSymbolForSpace, kSymbolForSpace},
        {0x2800, 0x2800},    // braille blank
        {0x3164, 0x3164},    // Hangul filler
        {0xFEFF, 0xFEFF},    // byte order mark
        {0xFFA0, 0xFFA0},    // halfwidth Hangul filler
        {0xFFF9, 0xFFFB},    // interlinear annotation
        {0x1BCA0, 0x1BCA3},  // shorthand format controls
        {0x1D173, 0x1D17A},  // musical format controls
        {0xE0000, 0xE007F},  // tags
    };
    for (const Range& range : kRanges) {
        if (c >= range.first && c <= range.last) {
            return true;
        }
    }
    return false;
}

bool isControl(char32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
}

bool isBlank(char32_t c) {
    return c == ' ' || c == kIdeographicSpace;
}

void appendHexByte(std::string& out, unsigned char byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
}

void appendCodePoint(std::string& out, char32_t c) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u{%04X}", static_cast<unsigned>(c));
    out += buffer;
}

// The length of the valid UTF-8 sequence at `s` (at most `n` bytes) and its code point; 0 when
// it is not valid (overlong, surrogate, beyond U+10FFFF, cut short).
std::size_t decodeUtf8(const unsigned char* s, std::size_t n, char32_t& c) {
    const unsigned char b = s[0];
    std::size_t length = 0;
    char32_t min = 0;
    if (b < 0x80) {
        c = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        length = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        length = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        length = 4, c = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (length > n) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (s[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// Where the blanks at the end begin, by the same decoding as the output's.
std::size_t trailingBlanks(const unsigned char* p, std::size_t n) {
    std::size_t from = n;
    for (std::size_t i = 0; i < n;) {
        char32_t c = 0;
        const std::size_t length = decodeUtf8(p + i, n - i, c);
        if (length != 0 && isBlank(c)) {
            from = from == n ? i : from;
        } else {
            from = n;
        }
        i += length != 0 ? length : 1;
    }
    return from;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The characters of a name that keep it out of NFC, one entry per character or stray byte;
// empty when none do. Text below U+0300 is always in NFC: most names are not looked at further.
std::vector<bool> outOfNfc(const unsigned char* p, std::size_t n) {
    if (std::none_of(p, p + n, [](unsigned char b) { return b >= 0xCC; })) {
        return {};
    }
    std::u32string chars;
    chars.reserve(n);
    for (std::size_t i = 0; i < n;) {
        char32_t c = 0;
        const std::size_t length = decodeUtf8(p + i, n - i, c);
        chars += length != 0 ? c : kNotACharacter;
        i += length != 0 ? length : 1;
    }
    return charactersOutOfNfc(chars);
}

}  // namespace

// Injective: every escape starts with a backslash and a backslash is escaped, and the mark of a
// trailing blank can only be a trailing U+0020 since a literal one is escaped.
std::string shownName(std::string_view bytes, char32_t blankMark) {
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t trailing = trailingBlanks(p, bytes.size());
    const std::vector<bool> notNfc = outOfNfc(p, bytes.size());
    std::size_t i = 0;
    for (std::size_t k = 0; i < bytes.size(); ++k) {
        char32_t c = 0;
        const std::size_t length = decodeUtf8(p + i, bytes.size() - i, c);
        if (length == 0) {
            appendHexByte(out, p[i]);
            ++i;
            continue;
        }
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (isControl(c)) {
            for (std::size_t b = 0; b < length; ++b) {
                appendHexByte(out, p[i + b]);
            }
        } else if (i >= trailing && c == ' ' && blankMark != 0) {
            appendUtf8(out, blankMark);
        } else if (shownAsCodePoint(c) || (c == blankMark && blankMark != 0) ||
                   (i >= trailing && isBlank(c)) || (!notNfc.empty() && notNfc[k])) {
            appendCodePoint(out, c);
        } else {
            out.append(bytes.substr(i, length));
        }
        i += length;
    }
    return out;
}

}  // namespace core
