// Copies to another drive and comparisons of content: what a merge needs where a rename cannot
// carry a file, and to tell a duplicate.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fs/fd.h"
#include "fs/merge/steps.h"
#include "fs/syscalls.h"

namespace fs {

using merge_steps::inodeIdOf;

namespace {

int readAll(int fd, char* data, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, data + got, size - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

// Whether two open files hold the same bytes from their start, both `size` long.
bool sameBytes(int a, int b, off_t size) {
    constexpr std::size_t kChunk = 1 << 16;
    std::unique_ptr<char[]> bufA(new char[kChunk]);
    std::unique_ptr<char[]> bufB(new char[kChunk]);
    if (::lseek(a, 0, SEEK_SET) != 0 || ::lseek(b, 0, SEEK_SET) != 0) {
        return false;
    }
    off_t left = size;
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<off_t>(left, kChunk));
        std::size_t gotA = 0;
        std::size_t gotB = 0;
        if (readAll(a, bufA.get(), want, gotA) != 0 || readAll(b, bufB.get(), want, gotB) != 0 ||
            gotA != want || gotB != want || std::memcmp(bufA.get(), bufB.get(), want) != 0) {
            return false;
        }
        left -= static_cast<off_t>(want);
    }
    // Nothing beyond: a file that grew meanwhile is not the same.
    char extra = 0;
    std::size_t gotA = 0;
    std::size_t gotB = 0;
    return readAll(a, &extra, 1, gotA) == 0 && readAll(b, &extra, 1, gotB) == 0 && gotA == 0 &&
           gotB == 0;
}

std::string linkTarget(int dirfd, const std::string& name) {
    char buffer[4096];
    const ssize_t n = ::readlinkat(dirfd, name.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

// Copies the bytes of `in` to `out`, by the kernel where it can.
int copyBytes(int in, int out) {
    bool kernel = true;
    std::unique_ptr<char[]> buffer;
    constexpr std::size_t kChunk = 1 << 20;
    for (;;) {
        if (kernel) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
            if (n > 0) {
                continue;
            }
            if (n == 0) {
                return 0;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
                return errno;
            }
            kernel = false;  // not between these drives: by hand, from where it stopped
            buffer.reset(new char[kChunk]);
        }
        std::size_t got = 0;
        if (const int err = readAll(in, buffer.get(), kChunk, got); err != 0) {
            return err;
        }
        if (got == 0) {
            return 0;
        }
        for (std::size_t written = 0; written < got;) {
            const ssize_t n = ::write(out, buffer.get() + written, got - written);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            written += static_cast<std::size_t>(n);
        }
    }
}

// Removes the copy `name` only while it is still the file `copy`.
void dropCopy(int dirfd, const std::string& name, FileId copy) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && inodeIdOf(st) == copy) {
        syscalls().unlinkat(dirfd, name.c_str(), 0);
    }
}

// Whether the file seen as `now` was written to since it was seen as `before`.
bool changedSince(const struct stat& now, const struct stat& before) {
    return now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
           now.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
           now.st_ctim.tv_sec != before.st_ctim.tv_sec ||
           now.st_ctim.tv_nsec != before.st_ctim.tv_nsec;
}

// Removes the original once its copy stands, and only while its name still holds the very file
// copied (`original`, as it was before the copy): a file saved again meanwhile stays, with EBUSY.
// An unlink that reports an error may have acted (network drives), so what is there decides.
int removeOriginal(int dirfd, const std::string& name, const struct stat& original) {
    struct stat now {};
    if (::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    if (now.st_dev != original.st_dev || now.st_ino != original.st_ino ||
        now.st_size != original.st_size || now.st_mtim.tv_sec != original.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != original.st_mtim.tv_nsec) {
        return EBUSY;
    }
    if (syscalls().unlinkat(dirfd, name.c_str(), 0) == 0) {
        return 0;
    }
    const int err = errno;
    if (::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : err;  // anything else: nobody can tell it went
    }
    return now.st_dev == original.st_dev && now.st_ino == original.st_ino ? err : 0;
}

// The extended attributes of the open file `fd`, names and values; POSIX ACLs are among them
// (system.posix_acl_access and _default). Returns 0 or the errno.
struct Attribute {
    std::string name;
    std::string value;
};
int readAttributes(int fd, std::vector<Attribute>& out) {
    std::string names(256, '\0');
    ssize_t n = 0;
    while ((n = ::flistxattr(fd, names.data(), names.size())) < 0 && errno == ERANGE) {
        names.resize(names.size() * 4);
    }
    if (n < 0) {
        return errno == ENOTSUP ? 0 : errno;  // a drive without any
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
        Attribute a{names.c_str() + at, {}};
        at += a.name.size() + 1;
        ssize_t size = 0;
        do {
            a.value.resize(a.value.empty() ? 256 : a.value.size() * 4);
        } while ((size = ::fgetxattr(fd, a.name.c_str(), a.value.data(), a.value.size())) < 0 &&
                 errno == ERANGE);
        if (size < 0) {
            if (errno == ENODATA) {
                continue;  // gone since it was listed
            }
            return errno;
        }
        a.value.resize(static_cast<std::size_t>(size));
        out.push_back(std::move(a));
    }
    return 0;
}

bool isAcl(std::string_view name) {
    return name.starts_with("system.posix_acl_");
}

// Gives the open file `fd` the attributes `attributes`. Those the drive cannot hold go into `lost`
// (CopyLoss bits), and out of `attributes`, so that the comparison after leaves them out;
// security.* and trusted.* ones the process may not set are left out quietly. Returns 0 or the
// errno of a failure.
int writeAttributes(int fd, std::vector<Attribute>& attributes, unsigned& lost) {
    for (auto a = attributes.begin(); a != attributes.end();) {
        if (::fsetxattr(fd, a->name.c_str(), a->value.data(), a->value.size(), 0) == 0) {
            ++a;
            continue;
        }
        const int err = errno;
        const bool userOrAcl = a->name.starts_with("user.") || isAcl(a->name);
        if (err == ENOTSUP || err == E2BIG || err == ERANGE || err == ENOSPC ||
            ((err == EPERM || err == EACCES) && userOrAcl)) {
            lost |= isAcl(a->name) ? kLostAcl : kLostAttributes;
        } else if (err != EPERM && err != EACCES) {
            return err;
        }
        a = attributes.erase(a);
    }
    return 0;
}

// Whether the open file `fd` holds each of `attributes`, byte for byte.
bool holdsAttributes(int fd, const std::vector<Attribute>& attributes) {
    std::string value;
    for (const Attribute& a : attributes) {
        value.resize(a.value.size() + 1);  // one more: a longer value shows
        const ssize_t size = ::fgetxattr(fd, a.name.c_str(), value.data(), value.size());
        if (size < 0 || value.compare(0, static_cast<std::size_t>(size), a.value) != 0 ||
            static_cast<std::size_t>(size) != a.value.size()) {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace merge_steps {

bool sameContent(int dirA, const std::string& a, int dirB, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    if (::fstatat(dirA, a.c_str(), &sa, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstatat(dirB, b.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (S_ISLNK(sa.st_mode) && S_ISLNK(sb.st_mode)) {
        const std::string target = linkTarget(dirA, a);
        return !target.empty() && target == linkTarget(dirB, b);
    }
    if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size) {
        return false;
    }
    if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) {
        return true;  // one file under two names: the name that goes leaves it where it is
    }
    Fd fa(::openat(dirA, a.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    Fd fb(::openat(dirB, b.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return fa.get() >= 0 && fb.get() >= 0 && sameBytes(fa.get(), fb.get(), sa.st_size);
}
bool isCopyOf(int copyDir, const std::string& copy, [[maybe_unused]] FileId made, int dirfd,
              const std::string& original, bool whole) {
    Fd in(::openat(dirfd, original.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    Fd out(::openat(copyDir, copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat so {};
    struct stat sc {};
    if (in.get() < 0 || out.get() < 0 || ::fstat(in.get(), &so) != 0 ||
        ::fstat(out.get(), &sc) != 0 || !S_ISREG(so.st_mode) || !S_ISREG(sc.st_mode) ||
        sc.st_size > so.st_size) {
        return false;
    }
    // A copy recorded whole is alike in size, time and bytes. One cut short (or its outcome never
    // heard, or on a drive that numbers its files anew) holds a beginning of the original's bytes,
    // which still stand under the original's name: removing it loses nothing.
    const bool wholeAlike = sc.st_size == so.st_size && sc.st_mtim.tv_sec == so.st_mtim.tv_sec &&
                            sc.st_mtim.tv_nsec == so.st_mtim.tv_nsec;
    if (whole && !wholeAlike) {
        return false;
    }
    // A copy cut short holds the beginning of the original's bytes.
    constexpr std::size_t kChunk = 1 << 16;
    std::unique_ptr<char[]> a(new char[kChunk]);
    std::unique_ptr<char[]> b(new char[kChunk]);
    for (off_t left = sc.st_size; left > 0;) {
        const std::size_t want = static_cast<std::size_t>(std::min<off_t>(left, kChunk));
        std::size_t gotA = 0;
        std::size_t gotB = 0;
        if (readAll(in.get(), a.get(), want, gotA) != 0 ||
            readAll(out.get(), b.get(), want, gotB) != 0 || gotA != want || gotB != want ||
            std::memcmp(a.get(), b.get(), want) != 0) {
            return false;
        }
        left -= static_cast<off_t>(want);
    }
    char extra = 0;
    std::size_t more = 0;
    return readAll(out.get(), &extra, 1, more) == 0 && more == 0;
}

int copyThenRemove(int fromDir, const std::string& from, int toDir, const std::string& to,
                   IdentityKind toKind, const std::function<int(FileId)>& reserved,
                   const std::function<int(FileId, const Owner&)>& copied, const Owner* owner,
                   unsigned* lost) {
    if (lost != nullptr) {
        *lost = 0;
    }
    struct stat original {};
    if (::fstatat(fromDir, from.c_str(), &original, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    const Owner own{static_cast<std::uint32_t>(original.st_mode & 07777), original.st_uid,
                    original.st_gid};
    const Owner& keep = owner != nullptr ? *owner : own;
    struct stat copy {};
    if (S_ISLNK(original.st_mode)) {
        const std::string target = linkTarget(fromDir, from);
        if (target.empty()) {
            return errno != 0 ? errno : EIO;
        }
        // A link made under a name never replaces one.
        if (::symlinkat(target.c_str(), toDir, to.c_str()) != 0) {
            return errno;
        }
        if (::fstatat(toDir, to.c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno;
        }
        const FileId id = inodeIdOf(copy);
        int err = reserved(id);
        if (err == 0 && linkTarget(toDir, to) != target) {
            err = EIO;
        }
        if (err == 0) {
            // A link keeps its owner and times too, where the drive keeps them.
            if (::geteuid() == 0) {
                [[maybe_unused]] const int ignored =
                    ::fchownat(toDir, to.c_str(), keep.uid, keep.gid, AT_SYMLINK_NOFOLLOW);
            }
            const timespec times[2] = {original.st_atim, original.st_mtim};
            ::utimensat(toDir, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
            if (::fstatat(toDir, to.c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0) {
                err = errno;
            }
        }
        if (err == 0) {
            err = copied(identityOf(copy, toKind), own);
        }
        // Its name on the disk for good before the original goes.
        if (err == 0 && syscalls().fsync(toDir) != 0) {
            err = errno;
        }
        if (err == 0) {
            err = removeOriginal(fromDir, from, original);
        }
        if (err != 0) {
            dropCopy(toDir, to, id);
        }
        return err;
    }
    if (!S_ISREG(original.st_mode)) {
        return EXDEV;  // a device or a pipe is not carried to another drive
    }
    Fd in(::openat(fromDir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.get() < 0) {
        return errno;
    }
    Fd out(syscalls().openat(toDir, to.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             0600));
    if (out.get() < 0) {
        return errno;
    }
    if (::fstat(out.get(), &copy) != 0) {
        const int err = errno;
        out.reset();
        syscalls().unlinkat(toDir, to.c_str(), 0);  // ours, made exclusively just now
        return err;
    }
    const FileId id = inodeIdOf(copy);
    int err = reserved(id);
    if (err == 0) {
        err = copyBytes(in.get(), out.get());
    }
    std::vector<Attribute> attributes;
    unsigned notKept = 0;
    if (err == 0) {
        err = readAttributes(in.get(), attributes);
    }
    if (err == 0) {
        // What the drive can keep of them; a drive without owners or modes keeps its own.
        if (::geteuid() == 0) {
            [[maybe_unused]] const int ignored = ::fchown(out.get(), keep.uid, keep.gid);
        }
        ::fchmod(out.get(), keep.mode);  // after the owner, which may clear set-id bits
        // After the mode: an ACL sets the mode's bits as it had them.
        err = writeAttributes(out.get(), attributes, notKept);
    }
    if (err == 0) {
        const timespec times[2] = {original.st_atim, original.st_mtim};
        ::futimens(out.get(), times);
        if (syscalls().fsync(out.get()) != 0) {
            err = errno;
        }
    }
    if (err == 0 && (!sameBytes(in.get(), out.get(), original.st_size) ||
                     !holdsAttributes(out.get(), attributes))) {
        // Written to while it was copied, or a drive that does not give back what it took.
        struct stat now {};
        err = ::fstat(in.get(), &now) == 0 && changedSince(now, original) ? EBUSY : EIO;
    }
    if (err == 0 && ::fstat(out.get(), &copy) != 0) {
        err = errno;
    }
    if (err == 0) {
        err = copied(identityOf(copy, toKind), own);
    }
    out.reset();
    // Its name on the disk for good before the original goes.
    if (err == 0 && syscalls().fsync(toDir) != 0) {
        err = errno;
    }
    if (err == 0) {
        err = removeOriginal(fromDir, from, original);
    }
    if (err == 0 && lost != nullptr) {
        *lost = notKept;
    }
    if (err != 0) {
        dropCopy(toDir, to, id);
    }
    return err;
}
int linkThenRemove(int fromDir, const std::string& from, int toDir, const CopyMade& made,
                   const std::string& to, IdentityKind toKind,
                   const std::function<int(FileId)>& reserved,
                   const std::function<int(FileId, const Owner&)>& copied) {
    struct stat original {};
    struct stat copy {};
    if (::fstatat(fromDir, from.c_str(), &original, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    // The copy must still be the one made, and hold this file's bytes.
    if (!S_ISREG(original.st_mode) ||
        ::fstatat(toDir, made.name.c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0 ||
        !(inodeIdOf(copy) == made.id) || copy.st_size != original.st_size) {
        return ESTALE;
    }
    {
        Fd in(::openat(fromDir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        Fd out(::openat(toDir, made.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (in.get() < 0 || out.get() < 0 || !sameBytes(in.get(), out.get(), original.st_size)) {
            return ESTALE;
        }
    }
    // Known before the link exists: recorded first.
    int err = reserved(made.id);
    if (err != 0) {
        return err;
    }
    if (syscalls().linkat(toDir, made.name.c_str(), toDir, to.c_str(), 0) != 0) {
        err = errno;
        return err == EPERM || err == EMLINK || err == ENOTSUP || err == ENOSYS ? ESTALE : err;
    }
    if (::fstatat(toDir, to.c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    const Owner own{static_cast<std::uint32_t>(original.st_mode & 07777), original.st_uid,
                    original.st_gid};
    err = copied(identityOf(copy, toKind), own);
    if (err == 0 && syscalls().fsync(toDir) != 0) {
        err = errno;
    }
    if (err == 0) {
        err = removeOriginal(fromDir, from, original);
    }
    if (err != 0) {
        dropCopy(toDir, to, made.id);
    }
    return err;
}

}  // namespace merge_steps

}  // namespace fs
