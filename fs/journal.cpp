#include "fs/journal.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/naming.h"
#include "fs/folder_reader.h"

namespace fs {

namespace {

using namespace journal_format;

constexpr char kMagic[8] = {'K', 'O', 'V', 'R', 'A', 'J', 'N', 'L'};
constexpr char kRunningTag[8] = {'K', 'O', 'V', 'R', 'A', 'R', 'U', 'N'};
constexpr char kEndedTag[8] = {'K', 'O', 'V', 'R', 'A', 'E', 'N', 'D'};
constexpr char kJournalName[] = "journal";
constexpr char kBadSuffix[] = ".bad";
constexpr char kTempPrefix[] = "journal.tmp.";

// Magic, version, flags and the folder count.
constexpr std::size_t kHeadBytes = sizeof kMagic + 4 + 4 + 8;
constexpr std::size_t kIdBytes = 16;
constexpr std::size_t kMinEntryBytes = 4 + 1 + 4 + 1 + kIdBytes;
constexpr std::size_t kMinFolderBytes = 4 + 1 + kIdBytes + 8;
constexpr std::size_t kTailBytes = kChecksumBytes + kEndMarkBytes;
// Far beyond any real plan; a larger file is not ours and is not read into memory.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 34;
// No file system gives longer names or paths; longer lengths mean a damaged file.
constexpr std::size_t kMaxNameBytes = 4096;
constexpr std::size_t kMaxPathBytes = 1 << 16;

void putU32(std::string& out, std::uint32_t v) {
    char bytes[4];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>(v >> (8 * i));
    }
    out.append(bytes, sizeof bytes);
}

void putU64(std::string& out, std::uint64_t v) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>(v >> (8 * i));
    }
    out.append(bytes, sizeof bytes);
}

void setU64(char* at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        at[i] = static_cast<char>(v >> (8 * i));
    }
}

std::uint64_t getLE(const char* at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(at[i]);
    }
    return v;
}

bool validName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameBytes && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool validFolder(std::string_view path) {
    return !path.empty() && path.front() == '/' && path.size() <= kMaxPathBytes &&
           path.find('\0') == std::string_view::npos;
}

void endMark(char* out, bool ended, std::uint64_t checksum) {
    std::memcpy(out, ended ? kEndedTag : kRunningTag, 8);
    // Tied to the plan so that no other plan's mark reads as this one's.
    setU64(out + 8, ended ? checksum : 0);
}

int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int preadAll(int fd, char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;  // shorter than fstat said: changed under us
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return 0;
}

int openStateFolder(const std::string& stateDir) {
    return ::open(stateDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Removes the temporaries of writers killed before their commit: a plan of a million entries
// left behind would weigh tens of megabytes. A writer still running keeps its own.
void removeDeadTemporaries(int dirfd) {
    const std::size_t prefix = sizeof kTempPrefix - 1;
    std::vector<std::string> dead;
    readFolder(dirfd, Kinds::NameOnly, [&](const FolderEntry& entry) {
        if (entry.name.substr(0, prefix) != kTempPrefix) {
            return true;
        }
        const std::string name(entry.name);
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix, &end, 10);
        if (end != name.c_str() + prefix && *end == '.' && pid > 0 &&
            ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            dead.push_back(name);
        }
        return true;
    });
    for (const std::string& name : dead) {
        ::unlinkat(dirfd, name.c_str(), 0);
    }
}

// Reads the plan out of the whole file `data`, trusting no length in it.
class Parser {
public:
    explicit Parser(std::string_view data) : data_(data) {}

    bool u32(std::uint32_t& v) {
        if (left() < 4) {
            return false;
        }
        v = static_cast<std::uint32_t>(getLE(data_.data() + pos_, 4));
        pos_ += 4;
        return true;
    }
    bool u64(std::uint64_t& v) {
        if (left() < 8) {
            return false;
        }
        v = getLE(data_.data() + pos_, 8);
        pos_ += 8;
        return true;
    }
    bool bytes(std::string& out, std::size_t maxBytes) {
        std::uint32_t n = 0;
        if (!u32(n) || n > maxBytes || n > left()) {
            return false;
        }
        out.assign(data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool id(FileId& v) { return u64(v.device) && u64(v.inode); }
    std::size_t left() const { return data_.size() - pos_; }
    std::size_t pos() const { return pos_; }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

bool parsePlans(std::string_view body, std::vector<JournalPlan>& plans) {
    if (body.size() < sizeof kMagic || std::memcmp(body.data(), kMagic, sizeof kMagic) != 0) {
        return false;
    }
    Parser p(body.substr(sizeof kMagic));
    std::uint32_t version = 0;
    std::uint32_t flags = 0;
    std::uint64_t folders = 0;
    if (!p.u32(version) || version != kVersion || !p.u32(flags) ||
        (flags & ~kMayLeaveReservations) != 0 || !p.u64(folders)) {
        return false;
    }
    // A count the remaining bytes cannot hold is refused before anything is allocated for it.
    if (folders == 0 || folders > p.left() / kMinFolderBytes) {
        return false;
    }
    plans.resize(static_cast<std::size_t>(folders));
    for (JournalPlan& plan : plans) {
        std::uint64_t count = 0;
        if (!p.bytes(plan.folder, kMaxPathBytes) || !validFolder(plan.folder) ||
            !p.id(plan.folderId) || !p.u64(count) || count > p.left() / kMinEntryBytes) {
            return false;
        }
        plan.mayLeaveReservations = (flags & kMayLeaveReservations) != 0;
        plan.entries.resize(static_cast<std::size_t>(count));
        for (JournalEntry& e : plan.entries) {
            if (!p.bytes(e.oldName, kMaxNameBytes) || !p.bytes(e.newName, kMaxNameBytes) ||
                !p.id(e.fileId) || !validName(e.oldName) || !validName(e.newName) ||
                e.oldName == e.newName) {
                return false;
            }
        }
    }
    return p.left() == 0;
}

// Adds the folder `dirfd` at `folder` to `writer`, with each name of `renameList` and the
// identity of its file as the folder gives it.
int recordFolder(JournalWriter& writer, int dirfd, const std::string& folder,
                 const core::WorkList& renameList) {
    int err = 0;
    const std::optional<FileId> folderId = fileIdAt(dirfd, ".");
    // The file list's own reading gave each name its inode number; a list without them (or a
    // name without one) is looked up in one pass over the folder.
    bool fromList = renameList.count() > 0;
    for (std::int64_t i = 0; fromList && i < renameList.count(); ++i) {
        fromList = renameList.inodeAt(i) != 0;
    }
    InodesByName inodes;
    if (!folderId) {
        err = errno;
    } else if (!fromList) {
        err = inodes.read(dirfd);
    }
    const auto listed = [&](std::int64_t i) {
        return fromList ? std::optional<std::uint64_t>(renameList.inodeAt(i))
                        : inodes.find(renameList.at(i));
    };
    // Some file systems (overlays, some network ones) give readdir inode numbers that differ
    // from stat's: check the first name, and ask stat for each if they differ.
    bool statEach = false;
    if (err == 0 && renameList.count() > 0) {
        const std::optional<std::uint64_t> found = listed(0);
        const FileId byStat = fileIdAt(dirfd, renameList.at(0)).value_or(FileId{});
        statEach = !found || byStat.inode != *found || byStat.device != folderId->device;
    }
    if (err == 0) {
        err = writer.addFolder(folder, *folderId);
    }
    for (std::int64_t i = 0; err == 0 && i < renameList.count(); ++i) {
        const std::string& name = renameList.at(i);
        FileId id;
        if (statEach) {
            id = fileIdAt(dirfd, name).value_or(FileId{});
        } else if (const std::optional<std::uint64_t> found = listed(i)) {
            id = {folderId->device, *found};
        }
        // A name the listing had and the folder has no longer keeps a zero identity: nothing
        // will ever be done to it.
        writer.add(name, core::prefixedName(folder, name), id);
    }
    return err;
}

// A checksum of a folder's rename list, to know the list a run begins with is the one recorded.
std::uint64_t namesChecksum(const core::WorkList& renameList) {
    std::uint64_t h = journalChecksum({});
    for (std::int64_t i = 0; i < renameList.count(); ++i) {
        h = (h ^ journalChecksum(renameList.at(i))) * 0x100000001b3ULL;
    }
    return h ^ static_cast<std::uint64_t>(renameList.count());
}

}  // namespace

std::uint64_t journalChecksum(std::string_view bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char c : bytes) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    return h;
}

std::string stateDirectory() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return (std::filesystem::path(xdg) / "kovra").string();
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* pw = ::getpwuid(::getuid());
        home =
            pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] == '/' ? pw->pw_dir : nullptr;
    }
    if (home == nullptr) {
        return {};
    }
    return (std::filesystem::path(home) / ".local" / "state" / "kovra").string();
}

int makeStateDirectory(const std::string& stateDir) {
    if (stateDir.empty()) {
        return ENOENT;
    }
    const std::filesystem::path dir = std::filesystem::path(stateDir).lexically_normal();
    const std::filesystem::path leaf = dir.has_filename() ? dir : dir.parent_path();
    if (leaf.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(leaf.parent_path(), ec);
        if (ec) {
            return ec.value();
        }
    }
    if (::mkdir(leaf.c_str(), 0700) == 0) {
        // The umask may have taken more than asked; the state folder is the user's alone.
        return ::chmod(leaf.c_str(), 0700) == 0 ? 0 : errno;
    }
    if (errno != EEXIST) {
        return errno;
    }
    struct stat st {};
    if (::stat(leaf.c_str(), &st) != 0) {
        return errno;
    }
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

std::string journalPath(const std::string& stateDir) {
    return (std::filesystem::path(stateDir) / kJournalName).string();
}

JournalWriter::~JournalWriter() {
    drop();
}

void JournalWriter::drop() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlinkat(dirfd_, tempName_.c_str(), 0);
    }
    if (dirfd_ >= 0) {
        ::close(dirfd_);
    }
    fd_ = -1;
    dirfd_ = -1;
    buffer_.clear();
    buffer_.shrink_to_fit();
    count_ = 0;
    folders_ = 0;
}

int JournalWriter::begin(const std::string& stateDir, bool mayLeaveReservations) {
    drop();
    err_ = 0;
    if (const int err = makeStateDirectory(stateDir); err != 0) {
        return err_ = err;
    }
    dirfd_ = openStateFolder(stateDir);
    if (dirfd_ < 0) {
        return err_ = errno;
    }
    removeDeadTemporaries(dirfd_);
    // A name no other writer picks: this process, a counter, and the clock.
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        tempName_ = std::string(kTempPrefix) + std::to_string(::getpid()) + "." +
                    std::to_string(serial++) + "." + std::to_string(now.tv_nsec);
        fd_ = ::openat(dirfd_, tempName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        err_ = errno;
        drop();
        return err_;
    }
    buffer_.append(kMagic, sizeof kMagic);
    putU32(buffer_, kVersion);
    putU32(buffer_, mayLeaveReservations ? kMayLeaveReservations : 0);
    putU64(buffer_, 0);  // the folder count, known at commit
    return 0;
}

int JournalWriter::begin(const std::string& stateDir, const std::string& folderPath,
                         FileId folderId, bool mayLeaveReservations) {
    if (!validFolder(folderPath)) {
        drop();
        return err_ = EINVAL;
    }
    if (const int err = begin(stateDir, mayLeaveReservations); err != 0) {
        return err;
    }
    return addFolder(folderPath, folderId);
}

int JournalWriter::addFolder(const std::string& folderPath, FileId folderId) {
    if (err_ != 0 || fd_ < 0) {
        return err_ != 0 ? err_ : EBADF;
    }
    if (!validFolder(folderPath)) {
        return err_ = EINVAL;
    }
    if (folders_ > 0) {
        setU64(buffer_.data() + countOffset_, count_);
    }
    putU32(buffer_, static_cast<std::uint32_t>(folderPath.size()));
    buffer_ += folderPath;
    putU64(buffer_, folderId.device);
    putU64(buffer_, folderId.inode);
    countOffset_ = buffer_.size();
    putU64(buffer_, 0);  // the entry count, known at the next folder or at commit
    count_ = 0;
    ++folders_;
    return 0;
}

void JournalWriter::add(const std::string& oldName, const std::string& newName, FileId fileId) {
    if (err_ != 0 || fd_ < 0) {
        return;
    }
    if (folders_ == 0 || !validName(oldName) || !validName(newName) || oldName == newName) {
        err_ = EINVAL;
        return;
    }
    putU32(buffer_, static_cast<std::uint32_t>(oldName.size()));
    buffer_ += oldName;
    putU32(buffer_, static_cast<std::uint32_t>(newName.size()));
    buffer_ += newName;
    putU64(buffer_, fileId.device);
    putU64(buffer_, fileId.inode);
    ++count_;
}

int JournalWriter::commit() {
    if (err_ == 0 && fd_ < 0) {
        err_ = EBADF;  // no begin
    }
    if (err_ == 0 && folders_ == 0) {
        err_ = EINVAL;
    }
    if (err_ == 0) {
        setU64(buffer_.data() + countOffset_, count_);
        setU64(buffer_.data() + sizeof kMagic + 8, folders_);
        const std::uint64_t sum = journalChecksum(buffer_);
        putU64(buffer_, sum);
        buffer_.resize(buffer_.size() + kEndMarkBytes);
        endMark(buffer_.data() + buffer_.size() - kEndMarkBytes, false, sum);
        err_ = writeAll(fd_, buffer_.data(), buffer_.size());
    }
    if (err_ == 0 && ::fsync(fd_) != 0) {
        err_ = errno;
    }
    if (err_ == 0) {
        // Our own state file: replacing the previous journal is the point.
        if (::renameat(dirfd_, tempName_.c_str(), dirfd_, kJournalName) != 0) {
            err_ = errno;
        } else {
            ::close(fd_);
            fd_ = -1;  // in place: nothing left to remove
            if (::fsync(dirfd_) != 0) {
                err_ = errno;
            }
        }
    }
    const int err = err_;
    drop();
    err_ = err;
    return err;
}

int markEnded(const std::string& stateDir) {
    const int fd = ::open(journalPath(stateDir).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return errno;
    }
    int err = 0;
    struct stat st {};
    char tail[kTailBytes];
    if (::fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) < kTailBytes) {
        err = EINVAL;
    } else {
        err = preadAll(fd, tail, kTailBytes, st.st_size - static_cast<off_t>(kTailBytes));
    }
    char mark[kEndMarkBytes];
    if (err == 0) {
        const std::uint64_t sum = getLE(tail, 8);
        char running[kEndMarkBytes];
        endMark(running, false, sum);
        endMark(mark, true, sum);
        // Only a mark this code wrote is rewritten; anything else is not a journal of ours.
        if (std::memcmp(tail + kChecksumBytes, running, kEndMarkBytes) != 0 &&
            std::memcmp(tail + kChecksumBytes, mark, kEndMarkBytes) != 0) {
            err = EINVAL;
        }
    }
    if (err == 0) {
        const off_t at = st.st_size - static_cast<off_t>(kEndMarkBytes);
        const ssize_t n = ::pwrite(fd, mark, kEndMarkBytes, at);
        if (n < 0) {
            err = errno;
        } else if (static_cast<std::size_t>(n) != kEndMarkBytes) {
            err = EIO;
        } else if (::fsync(fd) != 0) {
            err = errno;
        }
    }
    ::close(fd);
    return err;
}

JournalRead readJournal(const std::string& stateDir) {
    JournalRead result;
    const int fd = ::open(journalPath(stateDir).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno != ENOENT) {
            result.status = JournalRead::Status::Bad;
            result.err = errno;
        }
        return result;
    }
    result.status = JournalRead::Status::Bad;
    std::string data;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.err = errno;
    } else if (S_ISREG(st.st_mode) && st.st_size >= static_cast<off_t>(kHeadBytes + kTailBytes) &&
               static_cast<std::uint64_t>(st.st_size) <= kMaxFileBytes) {
        data.resize(static_cast<std::size_t>(st.st_size));
        result.err = preadAll(fd, data.data(), data.size(), 0);
    }
    ::close(fd);
    if (result.err != 0 || data.empty()) {
        return result;
    }
    const std::string_view all(data);
    const std::string_view body = all.substr(0, all.size() - kTailBytes);
    const std::uint64_t sum = getLE(all.data() + body.size(), 8);
    if (sum != journalChecksum(body) || !parsePlans(body, result.plans)) {
        result.plans.clear();
        return result;
    }
    char ended[kEndMarkBytes];
    endMark(ended, true, sum);
    result.ended = std::memcmp(all.data() + all.size() - kEndMarkBytes, ended, kEndMarkBytes) == 0;
    for (JournalPlan& plan : result.plans) {
        plan.writtenAt = static_cast<std::int64_t>(st.st_mtime);
    }
    result.status = JournalRead::Status::Ok;
    return result;
}

std::string setAsidePath(const std::string& stateDir) {
    return journalPath(stateDir) + kBadSuffix;
}

int setAside(const std::string& stateDir) {
    const std::string path = journalPath(stateDir);
    return ::rename(path.c_str(), setAsidePath(stateDir).c_str()) == 0 ? 0 : errno;
}

int removeJournal(const std::string& stateDir) {
    return ::unlink(journalPath(stateDir).c_str()) == 0 ? 0 : errno;
}

RunRecorder::RunRecorder(std::string stateDir, bool mayLeaveReservations)
    : stateDir_(std::move(stateDir)), mayLeaveReservations_(mayLeaveReservations) {}

RunRecorder::~RunRecorder() = default;

int RunRecorder::addFolder(int dirfd, const std::string& folder, const core::WorkList& renameList) {
    if (err_ == 0 && committed_) {
        err_ = EINVAL;  // the journal is written: a folder added now would not be in it
    }
    if (err_ == 0 && stateDir_.empty()) {
        err_ = ENOENT;
    }
    if (err_ == 0 && !started_) {
        err_ = writer_.begin(stateDir_, mayLeaveReservations_);
        started_ = true;
    }
    if (err_ == 0) {
        err_ = recordFolder(writer_, dirfd, folder, renameList);
    }
    if (err_ == 0) {
        sections_.push_back({folder, namesChecksum(renameList), false});
    }
    return err_;
}

int RunRecorder::commit() {
    if (err_ == 0 && (committed_ || sections_.empty())) {
        err_ = EINVAL;
    }
    if (err_ == 0) {
        err_ = writer_.commit();
    }
    committed_ = err_ == 0;
    return err_;
}

int RunRecorder::begin(const std::string& folder, const core::WorkList& renameList) {
    endError_ = 0;
    if (!started_) {
        // The window's run: its one folder, recorded now.
        const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirfd < 0) {
            return errno;
        }
        addFolder(dirfd, folder, renameList);
        ::close(dirfd);
        endsWithRun_ = commit() == 0;
        if (!endsWithRun_) {
            const int err = err_;
            reset();
            return err;
        }
    }
    if (!committed_) {
        return err_ != 0 ? err_ : EINVAL;
    }
    const std::uint64_t names = namesChecksum(renameList);
    for (Section& section : sections_) {
        if (!section.begun && section.folder == folder && section.namesChecksum == names) {
            section.begun = true;
            return 0;
        }
    }
    // Not the plan that was recorded: renaming would leave renames undo does not know of.
    return EINVAL;
}

void RunRecorder::end() {
    if (endsWithRun_) {
        markEnded();
    }
}

void RunRecorder::markEnded() {
    if (committed_) {
        endError_ = fs::markEnded(stateDir_);
        committed_ = false;
    }
    if (endsWithRun_) {
        reset();  // the next run of the window records afresh
    }
}

void RunRecorder::reset() {
    err_ = 0;
    started_ = false;
    committed_ = false;
    endsWithRun_ = false;
    sections_.clear();
}

}  // namespace fs
