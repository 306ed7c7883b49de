#include "fs/rename.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

#include "core/paths.h"
#include "fs/namerule.h"
#include "fs/syscalls.h"

namespace fs {

namespace {

class PosixFolder : public core::Folder {
public:
    PosixFolder(int fd, std::string path, RunRecorder* recorder)
        : fd_(fd), path_(std::move(path)), recorder_(recorder), rule_(fd) {}
    ~PosixFolder() override { ::close(fd_); }
    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    core::RenameStatus rename(const std::string& from, const std::string& to) override {
        if (!rule_.fits(to)) {
            return core::RenameStatus::failed(ENAMETOOLONG);
        }
        if (recorder_ != nullptr) {
            // Once, not per file: the plan is written by the first rename.
            observer_ = std::exchange(recorder_, nullptr)->observerFor(path_);
        }
        return renameNoReplace(fd_, from, to, method_, observer_);
    }
    int sync() override { return syscalls().fsync(fd_) == 0 ? 0 : errno; }
    std::vector<std::string> programNames() const override { return runningProgramNameIn(fd_); }
    int descriptor() const override { return fd_; }
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
    FolderNameRule rule_;
};

}  // namespace

namespace {

// The program's own files. The running one's is looked up once, through /proc, which holds it
// even once the file at its path has been replaced; the others are added before the first run.
struct ProgramFile {
    std::string name;
    FileId id;
};

struct ProgramFiles {
    std::mutex mutex;
    std::vector<ProgramFile> files;
};

ProgramFiles& programFiles() {
    static ProgramFiles* const program = [] {
        auto* files = new ProgramFiles;
        struct stat st {};
        char buffer[4096];
        const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
        if (::stat("/proc/self/exe", &st) == 0 && length > 0 &&
            static_cast<std::size_t>(length) < sizeof buffer) {
            std::string name =
                core::fileName(std::string(buffer, static_cast<std::size_t>(length)));
            if (!name.empty()) {
                files->files.push_back({std::move(name),
                                        {static_cast<std::uint64_t>(st.st_dev),
                                         static_cast<std::uint64_t>(st.st_ino)}});
            }
        }
        return files;
    }();
    return *program;
}

}  // namespace

void addProgramFile(const std::string& path, std::optional<FileId> id) {
    if (!id) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return;
        }
        id = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    }
    std::string name = core::fileName(path);
    if (name.empty()) {
        return;
    }
    ProgramFiles& program = programFiles();
    const std::lock_guard lock(program.mutex);
    program.files.push_back({std::move(name), *id});
}

ProgramNames runningProgramNameIn(int dirfd, std::optional<std::uint64_t> device) {
    ProgramNames names;
    ProgramFiles& program = programFiles();
    const std::lock_guard lock(program.mutex);
    for (const ProgramFile& file : program.files) {
        if ((device && *device != file.id.device) ||
            std::find(names.begin(), names.end(), file.name) != names.end()) {
            continue;
        }
        struct stat here {};
        if (::fstatat(dirfd, file.name.c_str(), &here, AT_SYMLINK_NOFOLLOW) == 0 &&
            static_cast<std::uint64_t>(here.st_dev) == file.id.device &&
            static_cast<std::uint64_t>(here.st_ino) == file.id.inode) {
            names.push_back(file.name);
        }
    }
    return names;
}

namespace {

void syncEach(const std::vector<std::pair<int, int*>>& folders) {
    for (const auto& [fd, error] : folders) {
        if (syscalls().fsync(fd) != 0) {
            *error = errno;
        }
        ::close(fd);
    }
}

}  // namespace

SyncBatch::SyncBatch() : capacity_(256) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        capacity_ = std::max<std::size_t>(capacity_, static_cast<std::size_t>(limit.rlim_cur / 2));
    }
}

void SyncBatch::add(int dirfd, int* error) {
    std::vector<std::pair<int, int*>> batch;
    const int held = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    if (held < 0) {
        // No descriptor to spare: synced at once.
        if (syscalls().fsync(dirfd) != 0) {
            *error = errno;
        }
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        folders_.emplace_back(held, error);
        if (folders_.size() < capacity_) {
            return;
        }
        batch.swap(folders_);
    }
    syncEach(batch);
}

void SyncBatch::flush() {
    std::vector<std::pair<int, int*>> batch;
    {
        const std::lock_guard lock(mutex_);
        batch.swap(folders_);
    }
    syncEach(batch);
}

core::OpenedFolder PosixFileSystem::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return {nullptr, errno};
    }
    return {std::make_unique<PosixFolder>(fd, path, recorder_), 0};
}

}  // namespace fs
