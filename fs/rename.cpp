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

class PosixFolder : public core::Folder {
public:
    explicit PosixFolder(int fd) : fd_(fd) {}
    ~PosixFolder() override { ::close(fd_); }
    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    core::RenameStatus rename(const std::string& from, const std::string& to) override {
        return renameNoReplace(fd_, from, to);
    }
    int sync() override { return syscalls().fsync(fd_) == 0 ? 0 : errno; }
    std::optional<std::string> runningProgramName() const override {
        return runningProgramNameIn(fd_);
    }

private:
    int fd_;
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

core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to) {
    Syscalls& sys = syscalls();
    if (sys.renameat2(dirfd, from.c_str(), dirfd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    const int renameErr = errno;
    if (renameErr == EPERM) {
        core::RenameStatus status = core::RenameStatus::failed(renameErr);
        status.othersFileInStickyFolder = othersFileInStickyFolder(dirfd, from);
        return status;
    }
    if (renameErr != EINVAL && renameErr != ENOSYS && renameErr != EOPNOTSUPP) {
        return core::RenameStatus::failed(renameErr);
    }
    // The file system cannot refuse to replace. A hard link can: it fails if `to` exists.
    if (sys.linkat(dirfd, from.c_str(), dirfd, to.c_str(), 0) != 0) {
        const int linkErr = errno;
        const bool noLinks =
            linkErr == EPERM || linkErr == EOPNOTSUPP || linkErr == ENOSYS || linkErr == EINVAL;
        // Without links there is no rename that cannot overwrite: refuse rather than risk it.
        return {noLinks ? core::RenameOutcome::NoSafeRename : core::RenameOutcome::Failed, linkErr};
    }
    if (sys.unlinkat(dirfd, from.c_str(), 0) != 0) {
        const int unlinkErr = errno;
        // Keep the file under its old name only: drop the link just made.
        sys.unlinkat(dirfd, to.c_str(), 0);
        return core::RenameStatus::failed(unlinkErr);
    }
    return {};
}

long nameMax(const std::string& folder) {
    const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? limit : 255;
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
