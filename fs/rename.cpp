#include "fs/rename.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/paths.h"
#include "fs/syscalls.h"

namespace fs {

namespace {

RenameMethod gLastMethod = RenameMethod::Unknown;

class PosixFolder : public core::Folder {
public:
    explicit PosixFolder(int fd) : fd_(fd) {}
    ~PosixFolder() override { ::close(fd_); }
    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    core::RenameStatus rename(const std::string& from, const std::string& to) override {
        core::RenameStatus status = renameNoReplace(fd_, from, to, method_);
        gLastMethod = method_;
        return status;
    }
    int sync() override { return syscalls().fsync(fd_) == 0 ? 0 : errno; }
    std::optional<std::string> runningProgramName() const override {
        return runningProgramNameIn(fd_);
    }

private:
    int fd_;
    RenameMethod method_ = RenameMethod::Unknown;
};

// Whether the sticky bit is why `name` may not be renamed: a shared folder such as /tmp lets only
// the file's or the folder's owner rename it.
bool othersFileInStickyFolder(int dirfd, const std::string& name) {
    struct stat folder {};
    struct stat file {};
    if (::fstat(dirfd, &folder) != 0 || (folder.st_mode & S_ISVTX) == 0 ||
        ::fstatat(dirfd, name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    const uid_t user = ::geteuid();
    return user != 0 && file.st_uid != user && folder.st_uid != user;
}

}  // namespace

namespace {

bool cannotRefuseToReplace(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

bool noLinks(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
}

core::RenameStatus linkThenUnlink(Syscalls& sys, int dirfd, const std::string& from,
                                  const std::string& to) {
    if (sys.unlinkat(dirfd, from.c_str(), 0) != 0) {
        const int unlinkErr = errno;
        // Keep the file under its old name only: drop the link just made.
        sys.unlinkat(dirfd, to.c_str(), 0);
        return core::RenameStatus::failed(unlinkErr);
    }
    return {};
}

// Whether `name` still holds our empty reservation, and nothing else took it meanwhile.
bool holdsReservation(Syscalls& sys, int dirfd, const std::string& name, const struct stat& ours) {
    struct stat now {};
    return sys.fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(now.st_mode) && now.st_dev == ours.st_dev && now.st_ino == ours.st_ino &&
           now.st_size == 0;
}

void dropReservation(Syscalls& sys, int dirfd, const std::string& name, const struct stat& ours) {
    // Only our own empty file: whatever else holds the name now is somebody's.
    if (holdsReservation(sys, dirfd, name, ours)) {
        sys.unlinkat(dirfd, name.c_str(), 0);
    }
}

// For file systems with neither the rename flag nor links. The exclusive create fails if
// anything holds the new name, in any case on a case-insensitive drive; the rename then replaces
// nothing but our own empty file.
core::RenameStatus renameOntoReservation(Syscalls& sys, int dirfd, const std::string& from,
                                         const std::string& to, RenameMethod& method) {
    const int fd =
        sys.openat(dirfd, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return core::RenameStatus::failed(errno);
    }
    struct stat ours {};
    const int statErr = ::fstat(fd, &ours) == 0 ? 0 : errno;
    ::close(fd);
    if (statErr != 0) {
        sys.unlinkat(dirfd, to.c_str(), 0);
        return core::RenameStatus::failed(statErr);
    }
    method = RenameMethod::Reservation;
    if (!holdsReservation(sys, dirfd, to, ours)) {
        // Another program took the name between the reservation and now: leave it be.
        return core::RenameStatus::failed(EEXIST);
    }
    if (sys.renameat(dirfd, from.c_str(), dirfd, to.c_str()) == 0) {
        return {};
    }
    const int renameErr = errno;
    dropReservation(sys, dirfd, to, ours);
    if (renameErr != EEXIST && renameErr != EACCES && renameErr != ENOTEMPTY) {
        return core::RenameStatus::failed(renameErr);
    }
    // Some network file systems refuse to rename onto any existing name, our reservation
    // included. Without it the rename cannot replace anything there; try once more, and only
    // while the name is still free.
    struct stat st {};
    if (sys.fstatat(dirfd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
        return core::RenameStatus::failed(EEXIST);
    }
    if (sys.renameat(dirfd, from.c_str(), dirfd, to.c_str()) != 0) {
        return core::RenameStatus::failed(errno);
    }
    return {};
}

}  // namespace

static core::RenameStatus renameWithMethod(int dirfd, const std::string& from,
                                           const std::string& to, RenameMethod& method) {
    Syscalls& sys = syscalls();
    switch (method) {
        case RenameMethod::Unknown:
        case RenameMethod::NoReplaceFlag:
            break;
        case RenameMethod::LinkThenUnlink:
            if (sys.linkat(dirfd, from.c_str(), dirfd, to.c_str(), 0) != 0) {
                return core::RenameStatus::failed(errno);
            }
            return linkThenUnlink(sys, dirfd, from, to);
        case RenameMethod::Reservation:
            return renameOntoReservation(sys, dirfd, from, to, method);
    }

    if (sys.renameat2(dirfd, from.c_str(), dirfd, to.c_str(), RENAME_NOREPLACE) == 0) {
        method = RenameMethod::NoReplaceFlag;
        return {};
    }
    const int renameErr = errno;
    if (!cannotRefuseToReplace(renameErr) || method == RenameMethod::NoReplaceFlag) {
        // The flag works here (EINVAL then means the name itself was refused).
        if (renameErr != EINVAL) {
            method = RenameMethod::NoReplaceFlag;
        }
        return core::RenameStatus::failed(renameErr);
    }
    // The file system cannot refuse to replace. A hard link can: it fails if `to` exists.
    if (sys.linkat(dirfd, from.c_str(), dirfd, to.c_str(), 0) == 0) {
        method = RenameMethod::LinkThenUnlink;
        return linkThenUnlink(sys, dirfd, from, to);
    }
    const int linkErr = errno;
    if (!noLinks(linkErr)) {
        return core::RenameStatus::failed(linkErr);
    }
    // Neither: reserve the new name. A name the drive refuses fails here with EINVAL, before
    // anything is settled, so one bad name does not decide the method for the whole run.
    return renameOntoReservation(sys, dirfd, from, to, method);
}

core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to,
                                   RenameMethod& method) {
    core::RenameStatus status = renameWithMethod(dirfd, from, to, method);
    if (status.outcome == core::RenameOutcome::Failed && status.error == EPERM) {
        status.othersFileInStickyFolder = othersFileInStickyFolder(dirfd, from);
    }
    return status;
}

core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to) {
    RenameMethod method = RenameMethod::Unknown;
    return renameNoReplace(dirfd, from, to, method);
}

RenameMethod lastRenameMethod() {
    return gLastMethod;
}

std::optional<std::string> runningProgramNameIn(int dirfd) {
    struct stat program {};
    if (::stat("/proc/self/exe", &program) != 0) {
        return std::nullopt;
    }
    char buffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
        return std::nullopt;
    }
    const std::string name = core::fileName(std::string(buffer, static_cast<std::size_t>(length)));
    struct stat here {};
    if (name.empty() || ::fstatat(dirfd, name.c_str(), &here, AT_SYMLINK_NOFOLLOW) != 0 ||
        here.st_dev != program.st_dev || here.st_ino != program.st_ino) {
        return std::nullopt;
    }
    return name;
}

core::OpenedFolder PosixFileSystem::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return {nullptr, errno};
    }
    return {std::make_unique<PosixFolder>(fd), 0};
}

}  // namespace fs
