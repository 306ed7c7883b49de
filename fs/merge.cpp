#include "fs/merge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>

#include "core/naming.h"
#include "core/paths.h"
#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/listing.h"
#include "fs/merge_steps.h"
#include "fs/mounts.h"
#include "fs/syscalls.h"
#include "fs/trash.h"

namespace fs {

namespace {

bool isHidden(std::string_view name) {
    return !name.empty() && name.front() == '.';
}

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

FileId inodeIdOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Removes the copy `name` only while it is still the file `copy`.
void dropCopy(int dirfd, const std::string& name, FileId copy) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && inodeIdOf(st) == copy) {
        syscalls().unlinkat(dirfd, name.c_str(), 0);
    }
}

// Removes the original once its copy stands; an unlink that reports an error may have acted
// (network drives), so what is there decides.
int removeOriginal(int dirfd, const std::string& name, const struct stat& original) {
    if (syscalls().unlinkat(dirfd, name.c_str(), 0) == 0) {
        return 0;
    }
    const int err = errno;
    struct stat now {};
    if (::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        return 0;
    }
    return now.st_ino == original.st_ino ? err : 0;
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
    if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size ||
        (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino)) {
        return false;  // one file under two names is no duplicate to remove
    }
    Fd fa(::openat(dirA, a.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    Fd fb(::openat(dirB, b.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return fa.get() >= 0 && fb.get() >= 0 && sameBytes(fa.get(), fb.get(), sa.st_size);
}

std::string newNameFor(const std::string& folderName, const std::string& folder,
                       std::string_view name) {
    if (name.size() > folderName.size() && name.substr(0, folderName.size()) == folderName &&
        name[folderName.size()] == '_') {
        return std::string(name);  // named after its folder before: not prefixed twice
    }
    return core::prefixedName(folder, std::string(name));
}

int copyThenRemove(int fromDir, const std::string& from, int toDir, const std::string& to,
                   IdentityKind toKind, const std::function<int(FileId)>& reserved,
                   const std::function<int(FileId, const Owner&)>& copied, const Owner* owner) {
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
            err = copied(identityOf(copy, toKind), own);
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
    if (err == 0) {
        // What the drive can keep of them; a drive without owners or modes keeps its own.
        if (::geteuid() == 0) {
            [[maybe_unused]] const int ignored = ::fchown(out.get(), keep.uid, keep.gid);
        }
        ::fchmod(out.get(), keep.mode);  // after the owner, which may clear set-id bits
        const timespec times[2] = {original.st_atim, original.st_mtim};
        ::futimens(out.get(), times);
        if (syscalls().fsync(out.get()) != 0) {
            err = errno;
        }
    }
    if (err == 0 && !sameBytes(in.get(), out.get(), original.st_size)) {
        err = EIO;
    }
    if (err == 0 && ::fstat(out.get(), &copy) != 0) {
        err = errno;
    }
    if (err == 0) {
        err = copied(identityOf(copy, toKind), own);
    }
    out.reset();
    if (err == 0) {
        err = removeOriginal(fromDir, from, original);
    }
    if (err != 0) {
        dropCopy(toDir, to, id);
    }
    return err;
}

class Mover::Observer : public RenameObserver {
public:
    explicit Observer(MergeJournalWriter* journal) : journal_(journal) {}
    void linked(const std::string&) override {
        if (journal_ != nullptr) {
            journal_->recordLinked(entry);
        }
    }
    void reserved(const std::string&, FileId id) override {
        if (journal_ != nullptr) {
            journal_->recordReserved(entry, id);
        }
    }
    std::uint64_t entry = 0;

private:
    MergeJournalWriter* journal_;
};

Mover::Mover(int destfd, IdentityKind destKind, const MergeFlags& flags,
             MergeJournalWriter* journal)
    : destfd_(destfd),
      destKind_(destKind),
      flags_(flags),
      journal_(journal),
      observer_(new Observer(journal)) {}

Mover::~Mover() {
    delete observer_;
}

int Mover::place(Source& source, const std::string& name, const std::string& to,
                 std::uint64_t entry) {
    if (!source.crossDrive) {
        observer_->entry = entry;
        const core::RenameStatus status = renameNoReplace(
            source.fd, name, destfd_, to, source.method, journal_ != nullptr ? observer_ : nullptr);
        if (status.done()) {
            return 0;
        }
        if (status.error != EXDEV) {
            return status.error != 0 ? status.error : EIO;
        }
        source.crossDrive = true;
    }
    if (journal_ != nullptr) {
        if (const int err = journal_->recordCopying(entry, {}); err != 0) {
            return err;
        }
    }
    const auto reserved = [&](FileId id) {
        return journal_ != nullptr ? journal_->recordCopying(entry, id) : 0;
    };
    const auto copied = [&](FileId id, const Owner& owner) {
        return journal_ != nullptr
                   ? journal_->recordCopied(entry, id, owner.mode, owner.uid, owner.gid)
                   : 0;
    };
    return copyThenRemove(source.fd, name, destfd_, to, destKind_, reserved, copied);
}

Outcome Mover::trash(Source& source, const std::string& name, const std::string& newName,
                     std::uint64_t entry) {
    struct stat st {};
    if (::fstatat(source.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return {Outcome::Left, newName, MergeAction::TrashDuplicate, errno};
    }
    if (journal_ != nullptr) {
        if (const int err = journal_->recordTrashing(entry); err != 0) {
            return {Outcome::Left, newName, MergeAction::TrashDuplicate, err};
        }
    }
    const auto isOurs = [device = st.st_dev, inode = st.st_ino](const struct stat& found) {
        return found.st_dev == device && found.st_ino == inode;
    };
    std::optional<TrashedFile> where;
    if (const int err = trashFile(core::joinPath(source.path, name), isOurs, where); err != 0) {
        return {Outcome::Left, newName, MergeAction::TrashDuplicate, err};
    }
    if (where && journal_ != nullptr) {
        journal_->recordTrashed(entry, where->trashDir, where->name);
    }
    return {Outcome::Trashed, newName, MergeAction::TrashDuplicate, 0};
}

Outcome Mover::move(Source& source, const std::string& name, const std::string& newName,
                    std::uint64_t entry) {
    int err = place(source, name, newName, entry);
    if (err == 0) {
        return {Outcome::Moved, newName, MergeAction::Move, 0};
    }
    if (err != EEXIST && err != ENOTEMPTY) {
        return {Outcome::Left, newName, MergeAction::Move, err};
    }
    if (sameContent(source.fd, name, destfd_, newName)) {
        if (flags_.keepDuplicates) {
            return {Outcome::Left, newName, MergeAction::LeaveDuplicate, 0};
        }
        return trash(source, name, newName, entry);
    }
    if (!flags_.number) {
        return {Outcome::Left, newName, MergeAction::LeaveClash, 0};
    }
    for (int n = 2; n < 100000; ++n) {
        const std::string candidate = numberedName(newName, n);
        struct stat st {};
        if (::fstatat(destfd_, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            continue;  // taken: no need to try it, nor to record it
        }
        if (journal_ != nullptr) {
            if ((err = journal_->recordNumbered(entry, candidate)) != 0) {
                return {Outcome::Left, candidate, MergeAction::MoveNumbered, err};
            }
        }
        err = place(source, name, candidate, entry);
        if (err == 0) {
            return {Outcome::Moved, candidate, MergeAction::MoveNumbered, 0};
        }
        if (err != EEXIST && err != ENOTEMPTY) {
            return {Outcome::Left, candidate, MergeAction::MoveNumbered, err};
        }
    }
    return {Outcome::Left, newName, MergeAction::MoveNumbered, EEXIST};
}

}  // namespace merge_steps

std::string numberedName(const std::string& name, int n) {
    const std::size_t dot = name.rfind('.');
    const std::string number = " (" + std::to_string(n) + ")";
    if (dot == std::string::npos || dot == 0) {
        return name + number;
    }
    return name.substr(0, dot) + number + name.substr(dot);
}

PlannedFile MergePlan::at(std::size_t i) const {
    const File& f = files_[i];
    const std::string_view names(names_);
    PlannedFile planned;
    planned.folder = folders_[f.folder].path;
    planned.name = names.substr(f.at, f.nameBytes);
    planned.newName =
        f.newNameBytes == 0 ? planned.name : names.substr(f.at + f.nameBytes, f.newNameBytes);
    planned.action = f.action;
    return planned;
}

std::int64_t MergePlan::acting() const {
    return count(MergeAction::Move) + count(MergeAction::MoveNumbered) +
           count(MergeAction::TrashDuplicate);
}

namespace {

// The names a destination will hold, each with who holds it: open addressing over references
// to the names where they are kept already, some 8 to 16 bytes a name.
class NameSet {
public:
    static constexpr std::uint32_t kExisting = 0xffffffffu;

    explicit NameSet(const MergePlan& plan) : plan_(plan) {}

    // Who holds `name`: kExisting, a planned file's index, or nothing.
    std::optional<std::uint32_t> find(std::string_view name) const {
        return find(name, hash(name));
    }
    std::optional<std::uint32_t> find(std::string_view name, std::size_t hashed) const {
        if (slots_.empty()) {
            return std::nullopt;
        }
        for (std::size_t s = hashed & mask(); slots_[s] != 0; s = (s + 1) & mask()) {
            if (nameOf(slots_[s]) == name) {
                return (slots_[s] & kExistingBit) != 0 ? kExisting : slots_[s] - 1;
            }
        }
        return std::nullopt;
    }
    // A name the destination holds already.
    void insertExisting(std::string_view name) {
        existing_.push_back({names_.size(), static_cast<std::uint32_t>(name.size())});
        names_ += name;
        add(kExistingBit | static_cast<std::uint32_t>(existing_.size()), hash(name));
    }
    // The new name of the planned file `file`, whose hash() is `hashed`.
    void insertPlanned(std::uint32_t file, std::size_t hashed) { add(file + 1, hashed); }
    static std::size_t hash(std::string_view name) { return std::hash<std::string_view>{}(name); }

private:
    static constexpr std::uint32_t kExistingBit = 0x80000000u;
    struct Existing {
        std::uint64_t at;
        std::uint32_t bytes;
    };
    std::size_t mask() const { return slots_.size() - 1; }
    std::string_view nameOf(std::uint32_t ref) const {
        if ((ref & kExistingBit) != 0) {
            const Existing& e = existing_[(ref & ~kExistingBit) - 1];
            return std::string_view(names_).substr(e.at, e.bytes);
        }
        return plan_.newNameAt(ref - 1);
    }
    void add(std::uint32_t ref, std::size_t hashed) {
        if ((++count_) * 2 > slots_.size()) {
            std::vector<std::uint32_t> old(std::max<std::size_t>(64, slots_.size() * 2), 0);
            old.swap(slots_);
            for (const std::uint32_t r : old) {
                if (r != 0) {
                    place(r, hash(nameOf(r)));
                }
            }
        }
        place(ref, hashed);
    }
    void place(std::uint32_t ref, std::size_t hashed) {
        std::size_t s = hashed & mask();
        while (slots_[s] != 0) {
            s = (s + 1) & mask();
        }
        slots_[s] = ref;
    }
    const MergePlan& plan_;
    std::string names_;  // the destination's own names
    std::vector<Existing> existing_;
    std::vector<std::uint32_t> slots_;
    std::size_t count_ = 0;
};

struct Listed {
    std::string name;
    std::uint64_t inode;
    EntryKind kind;
};

}  // namespace

class MergePlanner {
public:
    MergePlanner(MergePlan& plan, const PlanControl& control) : plan_(plan), control_(control) {}

    int run(const MergeRequest& asked, std::string* failedPath) {
        plan_ = MergePlan();
        plan_.request_ = asked;
        const MergeRequest& request = plan_.request_;
        // What the destination holds already: by name only, its contents read where one clashes.
        Fd dest(::open(request.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dest.get() >= 0) {
            struct stat st {};
            if (::fstat(dest.get(), &st) != 0) {
                return fail(request.destination, errno, failedPath);
            }
            plan_.destination_ = inodeIdOf(st);
            const int err = readFolder(dest.get(), Kinds::NameOnly, [&](const FolderEntry& e) {
                taken_.insertExisting(e.name);
                return true;
            });
            if (err != 0) {
                return fail(request.destination, err, failedPath);
            }
        } else if (errno != ENOENT) {
            return fail(request.destination, errno, failedPath);
        }
        // Folders first: a file named whose folder is walked too is taken once, by the walk.
        std::vector<bool> isFolder;
        for (const std::string& source : request.sources) {
            struct stat st {};
            if (::stat(source.c_str(), &st) != 0) {
                return fail(source, errno, failedPath);
            }
            isFolder.push_back(S_ISDIR(st.st_mode));
        }
        for (const bool folders : {true, false}) {
            for (std::size_t i = 0; i < request.sources.size(); ++i) {
                const std::string& source = request.sources[i];
                if (isFolder[i] != folders) {
                    continue;
                }
                int err = 0;
                if (folders) {
                    Fd fd(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                    err = fd.get() < 0 ? fail(source, errno, failedPath)
                                       : walk(fd.get(), source, kNoFolder, failedPath);
                } else if ((err = addNamedFile(source)) != 0) {
                    err = fail(source, err, failedPath);
                }
                if (err != 0) {
                    return err;
                }
            }
        }
        return chunk(true) ? 0 : ECANCELED;
    }

private:
    int fail(const std::string& path, int err, std::string* failedPath) {
        if (failedPath != nullptr) {
            *failedPath = path;
        }
        return err;
    }

    bool chunk(bool last) {
        if (!control_.chunk || (!last && plan_.files_.size() - chunkFrom_ < 4096)) {
            return true;
        }
        const std::size_t from = chunkFrom_;
        chunkFrom_ = plan_.files_.size();
        return control_.chunk(plan_, from);
    }

    std::uint32_t addFolder(const std::string& path, std::uint32_t parent, bool walked,
                            const struct stat& st) {
        plan_.folders_.push_back({path, core::fileName(path), parent, walked,
                                  static_cast<std::uint64_t>(st.st_dev),
                                  static_cast<std::uint64_t>(st.st_ino), plan_.files_.size()});
        return static_cast<std::uint32_t>(plan_.folders_.size() - 1);
    }

    // A file named on the command line: moved with its folder's name, hidden or not.
    int addNamedFile(const std::string& path) {
        const std::string folderPath = core::parentFolder(path);
        const std::string name = core::fileName(path);
        Fd fd(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat folder {};
        struct stat file {};
        if (fd.get() < 0 || ::fstat(fd.get(), &folder) != 0 ||
            ::fstatat(fd.get(), name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno;
        }
        if (inodeIdOf(folder) == plan_.destination_) {
            return EINVAL;  // in the destination already
        }
        if (walked_.count({folder.st_dev, folder.st_ino}) != 0) {
            return 0;  // its folder is walked: taken there
        }
        // A folder holding several named files is listed once, with all of them.
        std::uint32_t index = kNoFolder;
        if (!plan_.folders_.empty() && plan_.folders_.back().path == folderPath &&
            !plan_.folders_.back().walked) {
            index = static_cast<std::uint32_t>(plan_.folders_.size() - 1);
        } else {
            index = addFolder(folderPath, kNoFolder, false, folder);
        }
        addFile(index, fd.get(), name, static_cast<std::uint64_t>(file.st_ino), EntryKind::File);
        return 0;
    }

    int walk(int fd, const std::string& path, std::uint32_t parent, std::string* failedPath) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            return fail(path, errno, failedPath);
        }
        const FileId id = inodeIdOf(st);
        if (id == plan_.destination_ || !walked_.emplace(id.device, id.inode).second) {
            // The destination inside a source, or a folder reached twice: left out, and its
            // parent keeps it.
            if (parent != kNoFolder) {
                plan_.folders_[parent].keeps = true;
            }
            return 0;
        }
        const std::uint32_t index = addFolder(path, parent, true, st);
        std::vector<Listed> files;
        std::vector<std::string> folders;
        int err = readFolder(fd, Kinds::Resolve, [&](const FolderEntry& e) {
            if (e.kind == EntryKind::Folder) {
                folders.emplace_back(e.name);
            } else {
                files.push_back({std::string(e.name), e.inode, e.kind});
            }
            return true;
        });
        if (err != 0) {
            return fail(path, err, failedPath);
        }
        std::sort(files.begin(), files.end(),
                  [](const Listed& a, const Listed& b) { return displayLess(a.name, b.name); });
        sortForDisplay(folders);
        for (const Listed& file : files) {
            addFile(index, fd, file.name, file.inode, file.kind);
        }
        if (!chunk(false)) {
            return ECANCELED;
        }
        for (const std::string& name : folders) {
            if (isHidden(name) && !plan_.request_.all) {
                addFile(index, fd, name, 0, EntryKind::Folder);  // .git and the like: stays
                continue;
            }
            const std::string childPath = core::joinPath(path, name);
            Fd child(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.get() < 0) {
                if (errno == ELOOP || errno == ENOTDIR || errno == ENOENT) {
                    continue;  // no longer a folder since it was listed: not followed
                }
                return fail(childPath, errno, failedPath);
            }
            if ((err = walk(child.get(), childPath, index, failedPath)) != 0) {
                return err;
            }
        }
        return 0;
    }

    void addFile(std::uint32_t folder, int dirfd, const std::string& name, std::uint64_t inode,
                 EntryKind kind) {
        MergePlan::File file{
            plan_.names_.size(), static_cast<std::uint16_t>(name.size()), 0, folder, inode,
            MergeAction::Move};
        plan_.names_ += name;
        const MergePlan::Folder& in = plan_.folders_[folder];
        const bool named = !in.walked;
        if (kind == EntryKind::Folder || (isHidden(name) && !plan_.request_.all && !named)) {
            file.action = MergeAction::LeaveHidden;
        } else if (kind == EntryKind::LinkToFolder) {
            file.action = MergeAction::LeaveLinkToFolder;
        } else {
            const std::string newName = merge_steps::newNameFor(in.name, in.path, name);
            std::string finalName = newName;
            std::size_t hashed = NameSet::hash(newName);
            file.action = decide(dirfd, name, newName, finalName, hashed);
            if (finalName != name) {
                file.newNameBytes = static_cast<std::uint16_t>(finalName.size());
                plan_.names_ += finalName;
            }
            if (file.action == MergeAction::Move || file.action == MergeAction::MoveNumbered) {
                taken_.insertPlanned(static_cast<std::uint32_t>(plan_.files_.size()), hashed);
            }
        }
        ++plan_.counts_[static_cast<std::size_t>(file.action)];
        plan_.files_.push_back(file);
    }

    // What becomes of `name` (in `folder`) whose name in the destination is `newName`.
    // `hashed` is newName's hash, and becomes the final name's.
    MergeAction decide(int dirfd, const std::string& name, const std::string& newName,
                       std::string& finalName, std::size_t& hashed) {
        const std::optional<std::uint32_t> holder = taken_.find(newName, hashed);
        if (!holder) {
            return MergeAction::Move;
        }
        // The file that will hold the name: there already, or moved there before this one.
        bool same = false;
        if (*holder == NameSet::kExisting) {
            Fd dest(::open(plan_.request_.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            same = dest.get() >= 0 && merge_steps::sameContent(dirfd, name, dest.get(), newName);
        } else {
            const PlannedFile other = plan_.at(*holder);
            Fd otherFolder(
                ::open(std::string(other.folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            same =
                otherFolder.get() >= 0 &&
                merge_steps::sameContent(dirfd, name, otherFolder.get(), std::string(other.name));
        }
        if (same) {
            return plan_.request_.keepDuplicates ? MergeAction::LeaveDuplicate
                                                 : MergeAction::TrashDuplicate;
        }
        if (!plan_.request_.number) {
            return MergeAction::LeaveClash;
        }
        for (int n = 2;; ++n) {
            finalName = numberedName(newName, n);
            hashed = NameSet::hash(finalName);
            if (!taken_.find(finalName, hashed)) {
                return MergeAction::MoveNumbered;
            }
        }
    }

    MergePlan& plan_;
    const PlanControl& control_;
    NameSet taken_{plan_};
    std::set<std::pair<std::uint64_t, std::uint64_t>> walked_;
    std::size_t chunkFrom_ = 0;
};

int planMerge(const MergeRequest& request, MergePlan& plan, const PlanControl& control,
              std::string* failedPath) {
    MergePlanner planner(plan, control);
    return planner.run(request, failedPath);
}

class MergeRunner {
public:
    MergeRunner(const MergePlan& plan, const MergeRunControl& control)
        : plan_(plan), control_(control) {}

    MergeResult run() {
        const MergeRequest& request = plan_.request_;
        MergeFlags flags{false, request.keepDuplicates, request.number, request.keepFolders,
                         request.all};
        Fd dest(::open(request.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dest.get() < 0 && errno == ENOENT && !plan_.destinationExists()) {
            if (::mkdir(request.destination.c_str(), 0777) != 0) {
                return failed(MergeResult::End::DestinationFailed, errno);
            }
            flags.destinationMade = true;
            dest.reset(::open(request.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        struct stat st {};
        if (dest.get() < 0 || ::fstat(dest.get(), &st) != 0) {
            return failed(MergeResult::End::DestinationFailed, errno);
        }
        if (plan_.destinationExists() && inodeIdOf(st) != plan_.destination_) {
            // Another folder took its path since the plan.
            return failed(MergeResult::End::DestinationFailed, ESTALE);
        }
        const std::optional<MountedPath> destMount = mountOf(dest.get());
        const IdentityKind destKind =
            destMount ? identityKindOf(destMount->mount.type) : IdentityKind::SizeAndTime;
        if (control_.journal) {
            if (const int err = record(dest.get(), flags); err != 0) {
                if (flags.destinationMade) {
                    ::rmdir(request.destination.c_str());
                }
                return failed(MergeResult::End::JournalFailed, err);
            }
            result_.journal = journal_.path();
        }
        moveAll(dest.get(), destKind, flags);
        if (!request.keepFolders && result_.end == MergeResult::End::Completed) {
            removeEmptied();
        }
        if (syscalls().fsync(dest.get()) != 0 && result_.syncError == 0) {
            result_.syncError = errno;
        }
        if (control_.journal) {
            const bool changed = result_.moved + result_.trashed + result_.foldersRemoved > 0 ||
                                 flags.destinationMade;
            journal_.end(changed);
            if (!changed) {
                result_.journal.clear();
            }
        }
        return std::move(result_);
    }

private:
    MergeResult failed(MergeResult::End end, int err) {
        result_.end = end;
        result_.err = err;
        return std::move(result_);
    }

    static bool acts(MergeAction action) {
        return action == MergeAction::Move || action == MergeAction::MoveNumbered ||
               action == MergeAction::TrashDuplicate;
    }

    std::size_t filesEnd(std::size_t f) const {
        return f + 1 < plan_.folders_.size() ? plan_.folders_[f + 1].firstFile
                                             : plan_.files_.size();
    }

    // The folder `f` opened, if it is still the one the plan walked.
    int openFolder(std::size_t f) const {
        const MergePlan::Folder& folder = plan_.folders_[f];
        const int fd = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 &&
            (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_ino) != folder.inode ||
             static_cast<std::uint64_t>(st.st_dev) != folder.device)) {
            ::close(fd);
            errno = ESTALE;  // moved or replaced since the plan
            return -1;
        }
        return fd;
    }

    // Writes the plan to the journal before the first move: every folder, and every file that
    // will be moved or trashed with what tells it apart.
    int record(int destfd, const MergeFlags& flags) {
        int err = journal_.begin(control_.stateDir, destfd, plan_.request_.destination, flags);
        journalFolder_.assign(plan_.folders_.size(), kNoFolder);
        for (std::size_t f = 0; err == 0 && f < plan_.folders_.size(); ++f) {
            const MergePlan::Folder& folder = plan_.folders_[f];
            Fd fd(openFolder(f));
            if (fd.get() < 0) {
                continue;  // its files are left, with the reason, when their turn comes
            }
            const std::uint32_t parent =
                folder.parent == kNoFolder ? kNoFolder : journalFolder_[folder.parent];
            IdentityKind kind = IdentityKind::Inode;
            if ((err = journal_.addFolder(fd.get(), folder.path, parent, folder.walked, kind)) !=
                0) {
                break;
            }
            journalFolder_[f] = journal_.folders() - 1;
            // The listing's inode numbers, unless the drive's stat says otherwise.
            bool statEach = kind == IdentityKind::SizeAndTime;
            bool checked = statEach;
            for (std::size_t i = folder.firstFile; i < filesEnd(f); ++i) {
                const MergePlan::File& file = plan_.files_[i];
                if (!acts(file.action)) {
                    continue;
                }
                const PlannedFile planned = plan_.at(i);
                const std::string name(planned.name);
                FileId id{folder.device, file.inode};
                if (!checked || statEach) {
                    struct stat st {};
                    if (::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                        const FileId byStat = identityOf(st, kind);
                        statEach = statEach || byStat != id;
                        id = byStat;
                    }
                    checked = true;
                }
                journal_.add(name, merge_steps::newNameFor(folder.name, folder.path, name), id);
            }
        }
        return err != 0 ? err : journal_.commit();
    }

    void moveAll(int destfd, IdentityKind destKind, const MergeFlags& flags) {
        merge_steps::Mover mover(destfd, destKind, flags, control_.journal ? &journal_ : nullptr);
        const std::int64_t total = plan_.acting();
        std::int64_t done = 0;
        std::uint64_t entry = 0;
        emptied_.assign(plan_.folders_.size(), true);
        for (std::size_t f = 0; f < plan_.folders_.size(); ++f) {
            const MergePlan::Folder& folder = plan_.folders_[f];
            merge_steps::Source source;
            source.path = folder.path;
            Fd fd(openFolder(f));
            source.fd = fd.get();
            const int openErr = fd.get() < 0 ? errno : 0;
            const bool inJournal = !control_.journal || journalFolder_[f] != kNoFolder;
            bool changed = false;
            emptied_[f] = folder.walked && !folder.keeps;
            for (std::size_t i = folder.firstFile; i < filesEnd(f); ++i) {
                const PlannedFile planned = plan_.at(i);
                const MergeAction action = planned.action;
                if (!acts(action)) {
                    emptied_[f] = false;
                    if (action == MergeAction::LeaveHidden ||
                        action == MergeAction::LeaveLinkToFolder) {
                        ++result_.leftOut;
                    } else {
                        leave(planned, std::string(planned.newName), action, 0);
                    }
                    continue;
                }
                if (result_.end == MergeResult::End::Cancelled) {
                    emptied_[f] = false;
                    continue;
                }
                const std::string name(planned.name);
                const std::string newName = merge_steps::newNameFor(folder.name, folder.path, name);
                if (fd.get() < 0 || !inJournal) {
                    emptied_[f] = false;
                    leave(planned, newName, action, fd.get() < 0 ? openErr : EIO);
                } else {
                    const merge_steps::Outcome outcome = mover.move(source, name, newName, entry);
                    if (outcome.kind == merge_steps::Outcome::Left) {
                        emptied_[f] = false;
                        leave(planned, outcome.name, outcome.why, outcome.err);
                    } else {
                        changed = true;
                        ++(outcome.kind == merge_steps::Outcome::Moved ? result_.moved
                                                                       : result_.trashed);
                        if (control_.moved) {
                            control_.moved(planned, outcome.name,
                                           outcome.kind == merge_steps::Outcome::Trashed);
                        }
                    }
                }
                ++entry;
                ++done;
                if (control_.progress && !control_.progress(done, total)) {
                    result_.end = MergeResult::End::Cancelled;
                }
            }
            if (changed && syscalls().fsync(fd.get()) != 0 && result_.syncError == 0) {
                result_.syncError = errno;
            }
        }
    }

    void leave(const PlannedFile& planned, const std::string& newName, MergeAction why, int err) {
        ++result_.left;
        result_.leftFiles.push_back(
            {core::joinPath(std::string(planned.folder), std::string(planned.name)), newName, why,
             err});
    }

    // Removes, deepest first, the folders the merge emptied: a folder goes when every file of it
    // went and every folder in it went. Only rmdir: a folder that is not empty stays.
    void removeEmptied() {
        const std::size_t n = plan_.folders_.size();
        for (std::size_t f = n; f-- > 0;) {
            const std::uint32_t parent = plan_.folders_[f].parent;
            if (!emptied_[f] && parent != kNoFolder) {
                emptied_[parent] = false;
            }
        }
        std::vector<std::uint32_t> removing;
        std::vector<std::uint32_t> recorded;
        for (std::size_t f = n; f-- > 0;) {
            if (emptied_[f] && (!control_.journal || journalFolder_[f] != kNoFolder)) {
                removing.push_back(static_cast<std::uint32_t>(f));
                if (control_.journal) {
                    recorded.push_back(journalFolder_[f]);
                }
            }
        }
        if (removing.empty() || (control_.journal && journal_.recordRemoving(recorded) != 0)) {
            return;
        }
        // Folders side by side share their parent: it is opened, and synced, once for them.
        Fd parent;
        std::string parentPath;
        bool removedHere = false;
        const auto syncParent = [&] {
            if (removedHere && syscalls().fsync(parent.get()) != 0 && result_.syncError == 0) {
                result_.syncError = errno;
            }
            removedHere = false;
        };
        for (const std::uint32_t f : removing) {
            const MergePlan::Folder& folder = plan_.folders_[f];
            const std::string parentOf = core::parentFolder(folder.path);
            if (parentOf != parentPath || parent.get() < 0) {
                syncParent();
                parentPath = parentOf;
                parent.reset(::open(parentOf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            }
            struct stat st {};
            if (parent.get() < 0 ||
                ::fstatat(parent.get(), folder.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                static_cast<std::uint64_t>(st.st_ino) != folder.inode ||
                static_cast<std::uint64_t>(st.st_dev) != folder.device) {
                continue;
            }
            if (::unlinkat(parent.get(), folder.name.c_str(), AT_REMOVEDIR) == 0) {
                ++result_.foldersRemoved;
                removedHere = true;
            }
        }
        syncParent();
    }

    const MergePlan& plan_;
    const MergeRunControl& control_;
    MergeResult result_;
    MergeJournalWriter journal_;
    std::vector<std::uint32_t> journalFolder_;  // each folder's index in the journal
    std::vector<bool> emptied_;
};

MergeResult runMerge(const MergePlan& plan, const MergeRunControl& control) {
    MergeRunner runner(plan, control);
    return runner.run();
}

}  // namespace fs
