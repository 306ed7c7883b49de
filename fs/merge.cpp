#include "fs/merge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "core/names.h"
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

void newNameInto(std::string& out, std::string_view folderName, std::string_view name) {
    if (name.size() > folderName.size() && name.substr(0, folderName.size()) == folderName &&
        name[folderName.size()] == '_') {
        out.assign(name);  // named after its folder before: not prefixed twice
        return;
    }
    out.assign(folderName).append(1, '_').append(name);
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
        numbered_ = numberedName(newName, n);
        const std::string& candidate = numbered_;
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

std::uint64_t NameChunks::add(std::string_view a, std::string_view b) {
    // Small for a small plan, large enough for a large one that chunks are few.
    constexpr std::size_t kFirstChunk = std::size_t{1} << 12;
    constexpr std::size_t kLargestChunk = std::size_t{1} << 18;
    const std::size_t size = a.size() + b.size();
    if (chunks_.empty() || capacity_ - used_ < size) {
        capacity_ = std::max(size, std::clamp(capacity_ * 2, kFirstChunk, kLargestChunk));
        chunks_.emplace_back(new char[capacity_]);
        used_ = 0;
    }
    char* at = chunks_.back().get() + used_;
    if (!a.empty()) {
        std::memcpy(at, a.data(), a.size());
    }
    if (!b.empty()) {
        std::memcpy(at + a.size(), b.data(), b.size());
    }
    const std::uint64_t place = (static_cast<std::uint64_t>(chunks_.size() - 1) << 32) | used_;
    used_ += size;
    return place;
}

PlannedFile MergePlan::at(std::size_t i) const {
    const File& f = files_[i];
    PlannedFile planned;
    planned.folder = folders_[f.folder].path;
    planned.name = names_.view(f.at, f.nameBytes);
    planned.newName =
        f.newNameBytes == 0 ? planned.name : names_.view(f.at + f.nameBytes, f.newNameBytes);
    planned.action = f.action;
    return planned;
}

std::int64_t MergePlan::acting() const {
    return count(MergeAction::Move) + count(MergeAction::MoveNumbered) +
           count(MergeAction::TrashDuplicate);
}

namespace {

// A name's hash folded to 32 bits: its upper half, where the mixing is best.
std::uint32_t nameTag(std::string_view name) {
    return static_cast<std::uint32_t>(nameHash(name) >> 32);
}

// The names a destination will hold, each with who holds it: open addressing over references
// to the names where they are kept already. Each slot keeps its name's hash beside the
// reference, so that a probe reads a name only where the hashes agree, and growing reads none.
class NameSet {
public:
    static constexpr std::uint32_t kExisting = 0xffffffffu;

    explicit NameSet(const MergePlan& plan) : plan_(plan) {}

    // Who holds `name`, whose nameTag() is `tag`: kExisting, a planned file's index, or nothing.
    std::optional<std::uint32_t> find(std::string_view name, std::uint32_t tag) const {
        if (slots_.empty()) {
            return std::nullopt;
        }
        for (std::size_t s = tag & mask(); slots_[s] != 0; s = (s + 1) & mask()) {
            const std::uint32_t ref = static_cast<std::uint32_t>(slots_[s]);
            if (static_cast<std::uint32_t>(slots_[s] >> 32) == tag && nameOf(ref) == name) {
                return (ref & kExistingBit) != 0 ? kExisting : ref - 1;
            }
        }
        return std::nullopt;
    }
    // A name the destination holds already.
    void insertExisting(std::string_view name) {
        existing_.push_back({names_.add(name), static_cast<std::uint32_t>(name.size())});
        add(kExistingBit | static_cast<std::uint32_t>(existing_.size()), nameTag(name));
    }
    // The new name of the planned file `file`, whose nameTag() is `tag`.
    void insertPlanned(std::uint32_t file, std::uint32_t tag) { add(file + 1, tag); }
    // Starts fetching the slot a find() of a name whose nameTag() is `tag` begins at.
    void prefetch(std::uint32_t tag) const {
        if (!slots_.empty()) {
            __builtin_prefetch(&slots_[tag & mask()]);
        }
    }

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
            return names_.view(e.at, e.bytes);
        }
        return plan_.newNameAt(ref - 1);
    }
    void add(std::uint32_t ref, std::uint32_t tag) {
        // At most seven slots in ten taken: probes stay short, and compare hashes, not names.
        if ((++count_) * 10 > slots_.size() * 7) {
            std::vector<std::uint64_t> old(std::max<std::size_t>(64, slots_.size() * 2), 0);
            old.swap(slots_);
            for (const std::uint64_t slot : old) {
                if (slot != 0) {
                    place(slot);
                }
            }
        }
        place(static_cast<std::uint64_t>(tag) << 32 | ref);
    }
    void place(std::uint64_t slot) {
        std::size_t s = (slot >> 32) & mask();
        while (slots_[s] != 0) {
            s = (s + 1) & mask();
        }
        slots_[s] = slot;
    }
    const MergePlan& plan_;
    NameChunks names_;  // the destination's own names
    std::vector<Existing> existing_;
    std::vector<std::uint64_t> slots_;  // the hash (high half) and a reference; 0: empty
    std::size_t count_ = 0;
};

// One folder of a walk, read and sorted.
struct WalkedFolder {
    std::string path;
    std::uint32_t parent = kNoFolder;  // the walk's index of the folder it lies in
    struct stat st {};
    core::NameTable files;                      // in display order
    std::vector<std::uint32_t> tags;            // nameTag() of each file's new name, in that order
    std::vector<std::uint64_t> linksToFolders;  // places in `files` of links to folders; rare
    std::vector<std::string> hidden;            // hidden subfolders, left where they are
    bool keepsParent =
        false;    // not walked (the destination, or reached twice): its parent keeps it
    int err = 0;  // the walk stops here: `path` could not be read
};

// Walks source folders in the plan's order: a folder's files, then its hidden subfolders, then
// each of its other subfolders' walks, handing each folder to `take` as it is read. On the
// planner's own thread: a thread ahead of it would wait for the planner, and the planner for it,
// at every few folders, which on a busy machine costs more than it gives.
class FolderWalker {
public:
    using Take = std::function<bool(WalkedFolder& folder)>;  // false: the walk stops

    FolderWalker(FileId destination, bool all, Take take)
        : destination_(destination), all_(all), take_(std::move(take)) {}

    // Walks the folders of `sources` in turn, and tells of the others in `files`; false once a
    // folder could not be read or `take` stopped it.
    bool walkSources(const std::vector<std::string>& sources, std::vector<std::string>& files) {
        for (const std::string& source : sources) {
            Fd fd(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (fd.get() < 0 && errno == ENOTDIR) {
                files.push_back(source);
            } else if (fd.get() < 0 ? !failed(source, errno) : !walk(fd.get(), source, kNoFolder)) {
                return false;
            }
        }
        return true;
    }
    // The folders walked.
    const std::set<std::pair<std::uint64_t, std::uint64_t>>& walked() const { return walked_; }

private:
    bool failed(const std::string& path, int err) {
        WalkedFolder listing;
        listing.path = path;
        listing.err = err;
        take_(listing);
        return false;
    }

    bool put(WalkedFolder&& listing) { return take_(listing); }

    // Walks the folder open as `fd`; false when the walk stops.
    bool walk(int fd, const std::string& path, std::uint32_t parent) {
        WalkedFolder listing;
        listing.path = path;
        listing.parent = parent;
        if (::fstat(fd, &listing.st) != 0) {
            return failed(path, errno);
        }
        const FileId id = inodeIdOf(listing.st);
        if (id == destination_ || !walked_.emplace(id.device, id.inode).second) {
            // The destination inside a source, or a folder reached twice: left out.
            listing.keepsParent = true;
            return parent == kNoFolder || put(std::move(listing));
        }
        const std::uint32_t index = folders_++;
        std::vector<std::string> folders;
        // Its own handle by dup: its position is nobody else's concern, and no path is looked up.
        const int err = readOwnedFolder(
            ::fcntl(fd, F_DUPFD_CLOEXEC, 0), Kinds::Resolve, [&](const FolderEntry& e) {
                if (e.kind == EntryKind::Folder) {
                    if (isHidden(e.name) && !all_) {
                        listing.hidden.emplace_back(e.name);  // .git and the like: stays
                    } else {
                        folders.emplace_back(e.name);
                    }
                } else {
                    const core::NameTable::Entry entry = listing.files.store({}, e.name, e.inode);
                    listing.files.addEntry(entry);
                    if (e.kind == EntryKind::LinkToFolder) {
                        listing.linksToFolders.push_back(entry.place);
                    }
                }
                return true;
            });
        if (err != 0) {
            return failed(path, err);
        }
        sortForDisplay(listing.files);
        sortForDisplay(listing.hidden);
        sortForDisplay(folders);
        // The new names' hashes here, off the planner's thread.
        const std::string folderName = core::fileName(path);
        listing.tags.reserve(listing.files.size());
        for (const core::NameTable::Entry& entry : listing.files.entries()) {
            merge_steps::newNameInto(newName_, folderName, listing.files.nameOf(entry));
            listing.tags.push_back(nameTag(newName_));
        }
        if (!put(std::move(listing))) {
            return false;
        }
        for (const std::string& name : folders) {
            const std::string childPath = core::joinPath(path, name);
            Fd child(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.get() < 0) {
                if (errno == ELOOP || errno == ENOTDIR || errno == ENOENT) {
                    continue;  // no longer a folder since it was listed: not followed
                }
                return failed(childPath, errno);
            }
            if (!walk(child.get(), childPath, index)) {
                return false;
            }
        }
        return true;
    }

    const FileId destination_;
    const bool all_;
    Take take_;
    std::set<std::pair<std::uint64_t, std::uint64_t>> walked_;
    std::uint32_t folders_ = 0;  // folders listed so far: the next one's index
    std::string newName_;
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
        std::vector<std::string> files;
        {
            int err = 0;
            FolderWalker walker(plan_.destination_, request.all, [&](WalkedFolder& folder) {
                if (folder.err != 0) {
                    err = fail(folder.path, folder.err, failedPath);
                    return false;
                }
                if (folder.keepsParent) {
                    plan_.folders_[folder.parent].keeps = true;
                } else {
                    addListing(folder);
                }
                if (!chunk(false)) {
                    err = ECANCELED;
                    return false;
                }
                return true;
            });
            if (!walker.walkSources(request.sources, files)) {
                return err;
            }
            walked_ = walker.walked();
        }
        for (const std::string& file : files) {
            if (const int err = addNamedFile(file); err != 0) {
                return fail(file, err, failedPath);
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
        merge_steps::newNameInto(newName_, plan_.folders_[index].name, name);
        addFile(index, name, static_cast<std::uint64_t>(file.st_ino), EntryKind::File,
                nameTag(newName_));
        return 0;
    }

    // A walked folder and its files; the slots of their new names are fetched a few files ahead.
    void addListing(const WalkedFolder& listing) {
        const std::uint32_t index = addFolder(listing.path, listing.parent, true, listing.st);
        const std::vector<core::NameTable::Entry>& entries = listing.files.entries();
        constexpr std::size_t kAhead = 8;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i == 0) {
                for (std::size_t k = 0; k < kAhead && k < entries.size(); ++k) {
                    taken_.prefetch(listing.tags[k]);
                }
            } else if (i + kAhead < entries.size()) {
                taken_.prefetch(listing.tags[i + kAhead]);
            }
            const std::vector<std::uint64_t>& links = listing.linksToFolders;
            const bool link = !links.empty() && std::find(links.begin(), links.end(),
                                                          entries[i].place) != links.end();
            addFile(index, listing.files.nameOf(entries[i]), entries[i].inode,
                    link ? EntryKind::LinkToFolder : EntryKind::File, listing.tags[i]);
        }
        for (const std::string& name : listing.hidden) {
            addFile(index, name, 0, EntryKind::Folder, 0);
        }
    }

    // `tag`: the nameTag() of its new name, when it has one.
    void addFile(std::uint32_t folder, std::string_view name, std::uint64_t inode, EntryKind kind,
                 std::uint32_t tag) {
        MergePlan::File file{
            0, static_cast<std::uint16_t>(name.size()), 0, folder, inode, MergeAction::Move};
        const MergePlan::Folder& in = plan_.folders_[folder];
        const bool named = !in.walked;
        if (kind == EntryKind::Folder || (isHidden(name) && !plan_.request_.all && !named)) {
            file.action = MergeAction::LeaveHidden;
        } else if (kind == EntryKind::LinkToFolder) {
            file.action = MergeAction::LeaveLinkToFolder;
        }
        if (file.action != MergeAction::Move) {
            file.at = plan_.names_.add(name);
        } else {
            merge_steps::newNameInto(newName_, in.name, name);
            file.action = decide(in.path, name, tag);
            const std::string_view finalName =
                file.action == MergeAction::MoveNumbered ? numbered_ : newName_;
            if (finalName != name) {
                file.newNameBytes = static_cast<std::uint16_t>(finalName.size());
                file.at = plan_.names_.add(name, finalName);
            } else {
                file.at = plan_.names_.add(name);
            }
            if (file.action == MergeAction::Move || file.action == MergeAction::MoveNumbered) {
                taken_.insertPlanned(static_cast<std::uint32_t>(plan_.files_.size()), tag);
            }
        }
        ++plan_.counts_[static_cast<std::size_t>(file.action)];
        plan_.files_.push_back(file);
    }

    // What becomes of `name` (in the folder `folder`) whose name in the destination is
    // newName_, its nameTag() `tag`. A numbered name is left in numbered_, and `tag` becomes its
    // tag.
    MergeAction decide(const std::string& folder, std::string_view name, std::uint32_t& tag) {
        const std::optional<std::uint32_t> holder = taken_.find(newName_, tag);
        if (!holder) {
            return MergeAction::Move;
        }
        // The file that will hold the name: there already, or moved there before this one.
        bool same = false;
        const std::string own(name);
        Fd dirfd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (*holder == NameSet::kExisting) {
            Fd dest(::open(plan_.request_.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            same = dirfd.get() >= 0 && dest.get() >= 0 &&
                   merge_steps::sameContent(dirfd.get(), own, dest.get(), newName_);
        } else {
            const PlannedFile other = plan_.at(*holder);
            Fd otherFolder(
                ::open(std::string(other.folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            same = dirfd.get() >= 0 && otherFolder.get() >= 0 &&
                   merge_steps::sameContent(dirfd.get(), own, otherFolder.get(),
                                            std::string(other.name));
        }
        if (same) {
            return plan_.request_.keepDuplicates ? MergeAction::LeaveDuplicate
                                                 : MergeAction::TrashDuplicate;
        }
        if (!plan_.request_.number) {
            return MergeAction::LeaveClash;
        }
        for (int n = 2;; ++n) {
            numbered_ = numberedName(newName_, n);
            tag = nameTag(numbered_);
            if (!taken_.find(numbered_, tag)) {
                return MergeAction::MoveNumbered;
            }
        }
    }

    MergePlan& plan_;
    const PlanControl& control_;
    NameSet taken_{plan_};
    std::set<std::pair<std::uint64_t, std::uint64_t>> walked_;
    std::size_t chunkFrom_ = 0;
    std::string newName_;   // the file's name in the destination, made afresh for each file
    std::string numbered_;  // ... and numbered, where that is taken
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
    ~MergeRunner() { stopWriter(true); }
    MergeRunner(const MergeRunner&) = delete;
    MergeRunner& operator=(const MergeRunner&) = delete;

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
            if (const int err = record(dest.get(), flags, destMount); err != 0) {
                if (flags.destinationMade) {
                    ::rmdir(request.destination.c_str());
                }
                return failed(MergeResult::End::JournalFailed, err);
            }
            result_.journal = journal_.path();
        }
        moveAll(dest.get(), destKind, flags);
        stopWriter(result_.end == MergeResult::End::Cancelled);
        // Only once the plan is whole in the journal: undo makes again what it removes.
        if (!request.keepFolders && result_.end == MergeResult::End::Completed && writerErr_ == 0) {
            result_.foldersRemoved +=
                remove(emptiedIn(0, plan_.folders_.size()), result_.syncError);
        }
        if (syscalls().fsync(dest.get()) != 0 && result_.syncError == 0) {
            result_.syncError = errno;
        }
        if (control_.journal) {
            const bool changed = result_.moved + result_.trashed + result_.foldersRemoved > 0 ||
                                 flags.destinationMade;
            if (!prunedOnWriter_) {
                journal_.pruneHistory();
            }
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

    // The folder `f` opened, if it is still the one the plan walked; `st` gets its fstat.
    int openFolder(std::size_t f, struct stat& st) const {
        const MergePlan::Folder& folder = plan_.folders_[f];
        const int fd = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0 &&
            (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_ino) != folder.inode ||
             static_cast<std::uint64_t>(st.st_dev) != folder.device)) {
            ::close(fd);
            errno = ESTALE;  // moved or replaced since the plan
            return -1;
        }
        return fd;
    }
    int openFolder(std::size_t f) const {
        struct stat st {};
        return openFolder(f, st);
    }

    // Starts the journal with the plan's first part, on the disk before the first move; a
    // thread of its own writes the rest, part after part, while files move.
    int record(int destfd, const MergeFlags& flags, const std::optional<MountedPath>& destMount) {
        journalFolder_.assign(plan_.folders_.size(), kNoFolder);
        int err =
            journal_.begin(control_.stateDir, destfd, plan_.request_.destination, flags, destMount);
        if (err == 0) {
            err = recordUntil(kFirstPart);
        }
        const bool whole = cursor_.folder == plan_.folders_.size();
        if (err == 0) {
            err = journal_.commit(whole, whole ? mayRemove() : std::vector<std::uint32_t>());
            removalRecorded_ = err == 0 && whole;
        }
        if (err != 0) {
            return err;
        }
        durable_.store(journal_.entries(), std::memory_order_release);
        if (!whole) {
            prunedOnWriter_ = true;
            writer_ = std::thread([this] { writeRest(); });
        }
        return 0;
    }

    // The plan from the cursor on, into the journal: each folder, then each file of it that will
    // be moved or trashed, with what tells it apart; until the journal holds `until` entries, or
    // to the plan's end.
    int recordUntil(std::uint64_t until) {
        Cursor& c = cursor_;
        for (; c.folder < plan_.folders_.size(); ++c.folder, c.begun = false) {
            const MergePlan::Folder& folder = plan_.folders_[c.folder];
            if (!c.begun) {
                c.begun = true;
                c.file = folder.firstFile;
                struct stat st {};
                c.fd.reset(openFolder(c.folder, st));
                // A folder that cannot be opened stays out: its files are left, with the
                // reason, when their turn comes.
                if (c.fd.get() >= 0) {
                    const std::uint32_t parent =
                        folder.parent == kNoFolder ? kNoFolder : journalFolder_[folder.parent];
                    c.kind = IdentityKind::Inode;
                    if (const int err = journal_.addFolder(c.fd.get(), folder.path, parent,
                                                           folder.walked, c.kind, &st);
                        err != 0) {
                        return err;
                    }
                    journalFolder_[c.folder] = journal_.folders() - 1;
                    // The listing's inode numbers, unless the drive's stat says otherwise.
                    c.statEach = c.kind == IdentityKind::SizeAndTime;
                    c.checked = c.statEach;
                }
                publish([&] { seen_.store(c.folder + 1, std::memory_order_release); });
            }
            for (; c.fd.get() >= 0 && c.file < filesEnd(c.folder); ++c.file) {
                const MergePlan::File& file = plan_.files_[c.file];
                if (!acts(file.action)) {
                    continue;
                }
                if (journal_.entries() >= until) {
                    return 0;
                }
                recordName_.assign(plan_.nameAt(c.file));
                FileId id{folder.device, file.inode};
                if (!c.checked || c.statEach) {
                    struct stat st {};
                    if (::fstatat(c.fd.get(), recordName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                        const FileId byStat = identityOf(st, c.kind);
                        c.statEach = c.statEach || byStat != id;
                        id = byStat;
                    }
                    c.checked = true;
                }
                // The name before any number: a number is recorded as it is given.
                merge_steps::newNameInto(recordNewName_, folder.name, recordName_);
                journal_.add(recordName_, recordNewName_, id);
            }
            c.fd.reset();
        }
        return 0;
    }

    // On the writer's thread: the rest of the plan, in parts twice as large each time, each
    // synced before the files it holds may move. A merge stopped early ends its plan where the
    // writer is.
    void writeRest() {
        std::uint64_t part = kFirstPart;
        int err = 0;
        bool whole = false;
        while (err == 0 && !whole) {
            part = std::min(part * 2, kLargestPart);
            const bool stop = stopping_.load(std::memory_order_acquire);
            if (!stop) {
                err = recordUntil(journal_.entries() + part);
            }
            whole = stop || cursor_.folder == plan_.folders_.size();
            if (err == 0) {
                err = journal_.sync(whole,
                                    whole && !stop ? mayRemove() : std::vector<std::uint32_t>());
                removalRecorded_ = err == 0 && whole && !stop;
            }
            publish([&] {
                if (err != 0) {
                    writerErr_ = err;
                }
                durable_.store(err == 0 ? journal_.entries() : durable_.load(),
                               std::memory_order_release);
            });
        }
        publish([&] { writerDone_ = true; });
        journal_.pruneHistory();
    }

    // Changes what the mover waits for, and wakes it.
    template <class Change>
    void publish(Change change) {
        {
            const std::lock_guard lock(recorded_);
            change();
        }
        recordedChanged_.notify_all();
    }

    // Waits until `ready` holds, or the writer has ended; whether it holds.
    template <class Ready>
    bool waitFor(Ready ready) {
        if (ready()) {
            return true;
        }
        std::unique_lock lock(recorded_);
        recordedChanged_.wait(lock, [&] { return ready() || writerDone_; });
        return ready();
    }

    // Whether the journal holds folder `f` (waiting until the writer has come to it).
    bool inJournal(std::size_t f) {
        return waitFor([&] { return seen_.load(std::memory_order_acquire) > f; }) &&
               journalFolder_[f] != kNoFolder;
    }

    // Whether entry `entry` is on the disk (waiting for it); else the writer failed.
    bool durable(std::uint64_t entry) {
        return waitFor([&] { return durable_.load(std::memory_order_acquire) > entry; });
    }

    // The writer's thread gone: the journal is the mover's alone again.
    void stopWriter(bool early) {
        if (writer_.joinable()) {
            stopping_.store(early, std::memory_order_release);
            writer_.join();
        }
    }

    void moveAll(int destfd, IdentityKind destKind, const MergeFlags& flags) {
        merge_steps::Mover mover(destfd, destKind, flags, control_.journal ? &journal_ : nullptr);
        const std::int64_t total = plan_.acting();
        std::int64_t done = 0;
        std::uint64_t entry = 0;
        emptied_.assign(plan_.folders_.size(), true);
        for (std::size_t f = 0; f < plan_.folders_.size(); ++f) {
            const MergePlan::Folder& folder = plan_.folders_[f];
            emptied_[f] = folder.walked && !folder.keeps;
            const std::size_t end = filesEnd(f);
            bool acting = false;
            for (std::size_t i = folder.firstFile; i < end; ++i) {
                const MergeAction action = plan_.files_[i].action;
                if (acts(action)) {
                    acting = true;
                } else {
                    emptied_[f] = false;
                    if (action == MergeAction::LeaveHidden ||
                        action == MergeAction::LeaveLinkToFolder) {
                        ++result_.leftOut;
                    } else {
                        leave(plan_.at(i), std::string(plan_.newNameAt(i)), action, 0);
                    }
                }
            }
            if (!acting) {
                continue;
            }
            if (result_.end == MergeResult::End::Cancelled) {
                emptied_[f] = false;
                continue;
            }
            merge_steps::Source source;
            source.path = folder.path;
            Fd fd(openFolder(f));
            source.fd = fd.get();
            const int openErr = fd.get() < 0 ? errno : 0;
            // Entries are numbered as the journal holds them: a folder it left out has none.
            const bool journaled = !control_.journal || inJournal(f);
            int leftErr = fd.get() < 0 ? openErr : journaled ? 0 : writerError(EIO);
            bool changed = false;
            for (std::size_t i = folder.firstFile; i < end; ++i) {
                const MergeAction action = plan_.files_[i].action;
                if (!acts(action)) {
                    continue;
                }
                if (result_.end == MergeResult::End::Cancelled) {
                    emptied_[f] = false;
                    continue;
                }
                // Buffers of the runner's own: no allocation a file.
                name_.assign(plan_.nameAt(i));
                merge_steps::newNameInto(newName_, folder.name, name_);
                if (leftErr == 0 && control_.journal && !durable(entry)) {
                    leftErr = writerError(EIO);
                }
                if (leftErr != 0) {
                    emptied_[f] = false;
                    leave(plan_.at(i), newName_, action, leftErr);
                } else {
                    const merge_steps::Outcome outcome = mover.move(source, name_, newName_, entry);
                    if (outcome.kind == merge_steps::Outcome::Left) {
                        emptied_[f] = false;
                        leave(plan_.at(i), std::string(outcome.name), outcome.why, outcome.err);
                    } else {
                        changed = true;
                        ++(outcome.kind == merge_steps::Outcome::Moved ? result_.moved
                                                                       : result_.trashed);
                        if (control_.moved) {
                            control_.moved(plan_.at(i), std::string(outcome.name),
                                           outcome.kind == merge_steps::Outcome::Trashed);
                        }
                    }
                }
                entry += journaled ? 1 : 0;
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

    // Why the journal could not take a file: the writer's error, else `otherwise`.
    int writerError(int otherwise) {
        const std::lock_guard lock(recorded_);
        return writerErr_ != 0 ? writerErr_ : otherwise;
    }

    void leave(const PlannedFile& planned, const std::string& newName, MergeAction why, int err) {
        ++result_.left;
        result_.leftFiles.push_back(
            {core::joinPath(std::string(planned.folder), std::string(planned.name)), newName, why,
             err});
    }

    // The journal's numbers of the folders the merge will remove if it empties them: walked, and
    // all their files to be moved. Recorded with the plan, so that the end needs no sync of its
    // own before the first goes; undo makes again only those gone.
    std::vector<std::uint32_t> mayRemove() const {
        std::vector<std::uint32_t> folders;
        if (plan_.request_.keepFolders) {
            return folders;
        }
        for (std::size_t f = 0; f < plan_.folders_.size(); ++f) {
            const MergePlan::Folder& folder = plan_.folders_[f];
            bool all = folder.walked && !folder.keeps && journalFolder_[f] != kNoFolder;
            for (std::size_t i = folder.firstFile; all && i < filesEnd(f); ++i) {
                all = acts(plan_.files_[i].action);
            }
            if (all) {
                folders.push_back(journalFolder_[f]);
            }
        }
        return folders;
    }

    // The folders of [from, to), whole walks of sources, that the merge emptied, deepest first: a
    // folder goes when every file of it went and every folder in it went.
    std::vector<std::uint32_t> emptiedIn(std::size_t from, std::size_t to) {
        for (std::size_t f = to; f-- > from;) {
            const std::uint32_t parent = plan_.folders_[f].parent;
            if (!emptied_[f] && parent != kNoFolder) {
                emptied_[parent] = false;
            }
        }
        std::vector<std::uint32_t> removing;
        for (std::size_t f = to; f-- > from;) {
            if (emptied_[f] && (!control_.journal || journalFolder_[f] != kNoFolder)) {
                removing.push_back(static_cast<std::uint32_t>(f));
            }
        }
        return removing;
    }

    // Removes `folders`, deepest first, once the journal says so; only rmdir: a folder that is
    // not empty stays. Returns how many went; `syncError` hears of a parent not synced.
    std::int64_t remove(const std::vector<std::uint32_t>& folders, int& syncError) {
        if (folders.empty()) {
            return 0;
        }
        // Recorded with the plan already, unless the plan ended early.
        if (control_.journal && !removalRecorded_) {
            std::vector<std::uint32_t> recorded;
            recorded.reserve(folders.size());
            for (const std::uint32_t f : folders) {
                recorded.push_back(journalFolder_[f]);
            }
            if (journal_.recordRemoving(recorded) != 0) {
                return 0;
            }
        }
        // Folders side by side share their parent: it is opened, and synced, once for them.
        std::int64_t removed = 0;
        Fd parent;
        std::string parentPath;
        bool removedHere = false;
        const auto syncParent = [&] {
            if (removedHere && syscalls().fsync(parent.get()) != 0 && syncError == 0) {
                syncError = errno;
            }
            removedHere = false;
        };
        for (const std::uint32_t f : folders) {
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
                ++removed;
                removedHere = true;
            }
        }
        syncParent();
        return removed;
    }

    // Entries of the plan's first part, synced before the first move, and of the largest part
    // the writer's thread writes and syncs at once.
    static constexpr std::uint64_t kFirstPart = 16384;
    static constexpr std::uint64_t kLargestPart = std::uint64_t{1} << 18;
    // Where the journal's plan has got to: the next file to record, of the folder `folder`.
    struct Cursor {
        std::size_t folder = 0;
        std::size_t file = 0;
        bool begun = false;  // the folder is recorded (or left out), its files are under way
        Fd fd;
        IdentityKind kind = IdentityKind::Inode;
        bool statEach = false;
        bool checked = false;
    };

    const MergePlan& plan_;
    const MergeRunControl& control_;
    MergeResult result_;
    MergeJournalWriter journal_;
    std::vector<std::uint32_t> journalFolder_;  // each folder's index in the journal
    std::vector<bool> emptied_;
    std::string name_;     // the file in hand's name
    std::string newName_;  // ... and its name in the destination
    // The writer's thread, and what it tells the mover.
    Cursor cursor_;
    std::string recordName_;
    std::string recordNewName_;
    std::thread writer_;
    std::mutex recorded_;
    std::condition_variable recordedChanged_;
    std::atomic<std::size_t> seen_{0};       // folders the writer has come to
    std::atomic<std::uint64_t> durable_{0};  // entries on the disk for good
    std::atomic<bool> stopping_{false};      // the merge stopped: the plan ends where it is
    int writerErr_ = 0;
    bool writerDone_ = false;       // the plan is written, or the writer failed
    bool prunedOnWriter_ = false;   // the history is trimmed by the writer's thread
    bool removalRecorded_ = false;  // the folders that may go are in the journal with the plan
};

MergeResult runMerge(const MergePlan& plan, const MergeRunControl& control) {
    MergeRunner runner(plan, control);
    return runner.run();
}

}  // namespace fs
