#include "cli/text.h"

#include <unistd.h>
#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/shown_name.h"

namespace cli {

namespace {

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
    return core::shownName(name);
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
