#include "cli/text.h"

#include <unistd.h>
#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {

namespace {

// Characters that change how the text around them is shown: bidirectional controls, line and
// paragraph separators, zero-width marks and the byte order mark.
bool hidesOrReorders(char32_t c) {
    return (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

void appendHexByte(std::string& out, unsigned char byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
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

// The first error writing standard output: reported once, at the end.
int gOutputError = 0;

void noteOutputError(int error) {
    if (gOutputError == 0) {
        gOutputError = error != 0 ? error : EIO;
    }
}

// The translated pattern with %1, %2, ... replaced by `args`, in one pass, so that a name
// containing "%2" is never expanded itself.
std::string fillIn(const std::string& pattern, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' &&
            pattern[i + 1] <= '9') {
            const auto index = static_cast<std::size_t>(pattern[i + 1] - '1');
            if (index < args.size()) {
                out.append(*(args.begin() + index));
                ++i;
                continue;
            }
        }
        out += pattern[i];
    }
    return out;
}

}  // namespace

std::string escaped(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    std::size_t i = 0;
    while (i < name.size()) {
        char32_t c = 0;
        const std::size_t length = decodeUtf8(p + i, name.size() - i, c);
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
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            for (std::size_t k = 0; k < length; ++k) {
                appendHexByte(out, p[i + k]);
            }
        } else if (hidesOrReorders(c)) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u{%04X}", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out.append(name.substr(i, length));
        }
        i += length;
    }
    return out;
}

std::string message(const char* sourceText, std::initializer_list<std::string_view> args) {
    return fillIn(QCoreApplication::translate("cli", sourceText).toStdString(), args);
}

std::string countMessage(const char* sourceText, int n,
                         std::initializer_list<std::string_view> args) {
    return fillIn(QCoreApplication::translate("cli", sourceText, nullptr, n).toStdString(), args);
}

std::string reason(int error) {
    switch (error) {
        case EEXIST:
        case ENOTEMPTY:
        case EISDIR:
            return message(QT_TRANSLATE_NOOP("cli", "a file or folder with the new name exists"));
        case ENOENT:
            return message(QT_TRANSLATE_NOOP("cli", "no such file or folder"));
        case ENOTDIR:
            return message(QT_TRANSLATE_NOOP("cli", "not a folder"));
        case EACCES:
        case EPERM:
            return message(QT_TRANSLATE_NOOP("cli", "permission denied"));
        case EROFS:
            return message(QT_TRANSLATE_NOOP("cli", "read-only file system"));
        case ENAMETOOLONG:
            return message(QT_TRANSLATE_NOOP("cli", "the name is too long"));
        case ENOSPC:
        case EDQUOT:
            return message(QT_TRANSLATE_NOOP("cli", "no space left on the drive"));
        case EBUSY:
        case ETXTBSY:
            return message(QT_TRANSLATE_NOOP("cli", "the file is in use"));
        case EIO:
            return message(QT_TRANSLATE_NOOP("cli", "input/output error"));
        case EINVAL:
            return message(QT_TRANSLATE_NOOP("cli", "the drive does not accept this name"));
        case ELOOP:
            return message(QT_TRANSLATE_NOOP("cli", "a symbolic link where a folder was expected"));
        case ESTALE:
            return message(
                QT_TRANSLATE_NOOP("cli", "the folder changed while it was being worked on"));
        default:
            return std::strerror(error);
    }
}

void writeOut(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        noteOutputError(errno);
    }
}

void writeErr(std::string_view text) {
    // What was printed before comes first when both go to the same terminal or file.
    if (std::fflush(stdout) != 0) {
        noteOutputError(errno);
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
}

int closeOutput() {
    if (std::fflush(stdout) != 0) {
        noteOutputError(errno);
    }
    if (std::ferror(stdout)) {
        noteOutputError(EIO);
    }
    // Some drives (NFS) report a failed write only when the file is closed: closing a second
    // handle of it asks them without closing standard output itself.
    if (const int fd = ::dup(STDOUT_FILENO); fd >= 0 && ::close(fd) != 0) {
        noteOutputError(errno);
    }
    return gOutputError;
}

}  // namespace cli
