#include "fs/rename.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "core/paths.h"
#include "fs/syscalls.h"

namespace fs {

namespace {

class PosixFolder : public core::Folder {
public:
    PosixFolder(int fd, std::string path, RunRecorder* recorder)
        : fd_(fd), path_(std::move(path)), recorder_(recorder) {}
    ~PosixFolder() override { ::close(fd_); }
    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    core::RenameStatus rename(const std::string& from, const std::string& to) override {
        if (recorder_ != nullptr) {
            // Once, not per file: the plan is written by the first rename.
            observer_ = std::exchange(recorder_, nullptr)->observerFor(path_);
        }
        return renameNoReplace(fd_, from, to, method_, observer_);
    }
    int sync() override { return syscalls().fsync(fd_) == 0 ? 0 : errno; }
    std::optional<std::string> runningProgramName() const override {
        return runningProgramNameIn(fd_);
    }
    std::optional<core::FolderIdentity> identity() const override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            return std::nullopt;
        }
        return core::FolderIdentity{static_cast<std::uint64_t>(st.st_dev),
                                    static_cast<std::uint64_t>(st.st_ino)};
    }

private:
    int fd_;
    std::string path_;
    RunRecorder* recorder_;
    RenameObserver* observer_ = nullptr;
    RenameMethod method_ = RenameMethod::Unknown;
};

}  // namespace

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
    return {std::make_unique<PosixFolder>(fd, path, recorder_), 0};
}

}  // namespace fs
