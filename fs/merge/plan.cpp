// The plan of a merge: the sources walked, and each file's action decided, changing nothing.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "core/names.h"
#include "core/paths.h"
#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/listing.h"
#include "fs/merge/steps.h"
#include "fs/merge/trash.h"
#include "fs/namerule.h"
#include "fs/rename.h"

namespace fs {

using merge_steps::inodeIdOf;

namespace {

std::int64_t nsOf(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::int64_t now() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return nsOf(t);
}

bool isHidden(std::string_view name) {
    return !name.empty() && name.front() == '.';
}

// The mount a folder lies on, as statx tells it (a rename never crosses two mounts, even of one
// drive); 0 when the kernel does not say.
std::uint64_t mountIdOf(int fd) {
    struct statx stx {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &stx) != 0 ||
        (stx.stx_mask & STATX_MNT_ID) == 0) {
        return 0;
    }
    return stx.stx_mnt_id;
}

// Where a folder lies: its drive and its mount.
struct Place {
    std::uint64_t device = 0;
    std::uint64_t mount = 0;
    bool operator==(const Place& other) const {
        return device == other.device && (mount == 0 || other.mount == 0 || mount == other.mount);
    }
};

// Why nothing can be moved out of, or into, the folder open as `fd`: faccessat's errno for
// writing and searching it, as the process's own identity, or 0.
int lockedReason(int fd) {
    return ::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// What the plan learns once of a folder files leave, and which decides for each of them.
struct FolderChecks {
    int locked = 0;           // lockedReason()
    bool sticky = false;      // only a file's owner may take it out (the sticky bit, as /tmp has)
    bool crossDrive = false;  // not on the destination's mount: its files are copied
    ProgramNames program;     // the running program's own files in it
    int trash = -1;           // for duplicates: 0, or why the Trash cannot take them; -1 not asked
    std::optional<NameRule> rule;  // its drive's, asked for a duplicate's Trash name
};

FolderChecks checkFolder(int fd, const struct stat& st, const Place& destination) {
    FolderChecks checks;
    checks.locked = lockedReason(fd);
    // The folder's owner and root may take out any file; anyone else only their own.
    const uid_t user = ::geteuid();
    checks.sticky = (st.st_mode & S_ISVTX) != 0 && user != 0 && st.st_uid != user;
    checks.crossDrive =
        !(Place{static_cast<std::uint64_t>(st.st_dev), mountIdOf(fd)} == destination);
    checks.program = runningProgramNameIn(fd, static_cast<std::uint64_t>(st.st_dev));
    return checks;
}

// Whether the entry `name` of the sticky folder `fd` is another user's, which only its owner may
// move out.
bool othersFile(int fd, std::string_view name) {
    struct stat st {};
    return ::fstatat(fd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_uid != ::geteuid();
}

// Whether a copy to another drive can carry the entry `name` of the folder `fd`: regular files and
// links only.
bool isSpecialFile(int fd, std::string_view name) {
    struct stat st {};
    return ::fstatat(fd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode);
}

// What the new names of the files of folder `name` begin with, its parent's files' beginning with
// `parentPrefix`. A SOURCE folder's own files begin with its name, whatever the choice.
std::string prefixBelow(NameFrom from, std::string_view parentPrefix, std::string_view name) {
    switch (from) {
        case NameFrom::Source:
            return std::string(parentPrefix);
        case NameFrom::Path:
            return std::string(parentPrefix).append(1, '_').append(name);
        case NameFrom::Folder:
            break;
    }
    return std::string(name);
}

}  // namespace

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
    planned.err = f.err;
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
// to the names where they are kept already. Names are compared as the destination's drive
// compares them (its CaseRule): by their keys, which are the names themselves on most drives.
// Each slot keeps its key's hash beside the reference, so that a probe reads a key only where
// the hashes agree, and growing reads none.
class NameSet {
public:
    static constexpr std::uint32_t kExisting = 0xffffffffu;
    struct Holder {
        std::uint32_t who;      // kExisting, or a planned file's index
        std::string_view name;  // its name in the destination, as it is spelt there
    };

    explicit NameSet(const MergePlan& plan) : plan_(plan) {}

    void setCases(CaseRule cases) { cases_ = cases; }
    CaseRule cases() const { return cases_; }

    // Who holds the name whose key is `key`, and whose nameTag() is `tag`.
    std::optional<Holder> find(std::string_view key, std::uint32_t tag) const {
        if (slots_.empty()) {
            return std::nullopt;
        }
        for (std::size_t s = tag & mask(); slots_[s] != 0; s = (s + 1) & mask()) {
            const std::uint32_t ref = static_cast<std::uint32_t>(slots_[s]);
            if (static_cast<std::uint32_t>(slots_[s] >> 32) == tag && keyOf(ref) == key) {
                return holderOf(ref);
            }
        }
        return std::nullopt;
    }
    // A name the destination holds already.
    void insertExisting(std::string_view name) {
        nameKeyInto(key_, cases_, name);
        const bool same = key_ == name;
        stored_.push_back({names_.add(key_, same ? std::string_view() : name),
                           static_cast<std::uint32_t>(key_.size()),
                           static_cast<std::uint32_t>(same ? 0 : name.size()), kExisting});
        add(kStoredBit | static_cast<std::uint32_t>(stored_.size()), nameTag(key_));
    }
    // The new name of the planned file `file`, whose key is `key` and its nameTag() `tag`.
    void insertPlanned(std::uint32_t file, std::string_view key, std::uint32_t tag) {
        if (cases_ == CaseRule::Exact) {
            add(file + 1, tag);  // the key is the plan's own new name
            return;
        }
        stored_.push_back({names_.add(key), static_cast<std::uint32_t>(key.size()), 0, file});
        add(kStoredBit | static_cast<std::uint32_t>(stored_.size()), tag);
    }
    // Starts fetching the slot a find() of a name whose nameTag() is `tag` begins at.
    void prefetch(std::uint32_t tag) const {
        if (!slots_.empty()) {
            __builtin_prefetch(&slots_[tag & mask()]);
        }
    }

private:
    static constexpr std::uint32_t kStoredBit = 0x80000000u;
    struct Stored {
        std::uint64_t at;  // the key, then the name where it differs
        std::uint32_t keyBytes;
        std::uint32_t nameBytes;  // 0: the name is the key
        std::uint32_t who;
    };
    std::size_t mask() const { return slots_.size() - 1; }
    std::string_view keyOf(std::uint32_t ref) const {
        if ((ref & kStoredBit) != 0) {
            const Stored& e = stored_[(ref & ~kStoredBit) - 1];
            return names_.view(e.at, e.keyBytes);
        }
        return plan_.newNameAt(ref - 1);
    }
    Holder holderOf(std::uint32_t ref) const {
        if ((ref & kStoredBit) == 0) {
            return {ref - 1, plan_.newNameAt(ref - 1)};
        }
        const Stored& e = stored_[(ref & ~kStoredBit) - 1];
        if (e.who != kExisting) {
            return {e.who, plan_.newNameAt(e.who)};
        }
        return {kExisting, e.nameBytes == 0 ? names_.view(e.at, e.keyBytes)
                                            : names_.view(e.at + e.keyBytes, e.nameBytes)};
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
    CaseRule cases_ = CaseRule::Exact;
    NameChunks names_;                  // the destination's own names, and keys of the plan's
    std::vector<Stored> stored_;        // the destination's names; the plan's too where keys differ
    std::vector<std::uint64_t> slots_;  // the hash (high half) and a reference; 0: empty
    std::size_t count_ = 0;
    std::string key_;
};

// One folder of a walk, read and sorted.
struct WalkedFolder {
    std::string path;
    std::uint32_t parent = kNoFolder;  // the walk's index of the folder it lies in
    struct stat st {};
    std::int64_t listedAt = 0;                  // when it was read
    core::NameTable files;                      // in display order
    std::vector<std::uint32_t> tags;            // nameTag() of each file's new name, in that order
    std::vector<std::uint64_t> linksToFolders;  // places in `files` of links to folders; rare
    std::vector<std::uint64_t> specialFiles;    // ... of pipes, sockets, devices, bound elsewhere
    std::vector<std::uint64_t> othersFiles;     // ... of other users' files in a sticky folder
    std::vector<std::string> hidden;            // hidden subfolders, left where they are
    std::string prefix;                         // its files' new names begin with it
    FolderChecks checks;
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

    FolderWalker(FileId destination, Place destinationPlace, CaseRule cases, bool all,
                 NameFrom nameFrom, Take take)
        : destination_(destination),
          destinationPlace_(destinationPlace),
          cases_(cases),
          all_(all),
          nameFrom_(nameFrom),
          take_(std::move(take)) {}

    // Walks the folders of `sources` in turn, each through the handle that opened it and never
    // through a link, and tells of the others (files, links) in `files`; false once a folder
    // could not be read or `take` stopped it.
    bool walkSources(const std::vector<std::string>& sources, std::vector<std::string>& files) {
        for (const std::string& source : sources) {
            Fd fd(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (fd.get() < 0 && (errno == ENOTDIR || errno == ELOOP)) {
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
        listing.listedAt = now();
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
        listing.prefix = parent == kNoFolder
                             ? core::fileName(path)
                             : prefixBelow(nameFrom_, prefixes_[parent], core::fileName(path));
        prefixes_.push_back(listing.prefix);
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
        listing.checks = checkFolder(fd, listing.st, destinationPlace_);
        if (listing.checks.sticky && listing.checks.locked == 0) {
            for (const core::NameTable::Entry& entry : listing.files.entries()) {
                if (othersFile(fd, listing.files.nameOf(entry))) {
                    listing.othersFiles.push_back(entry.place);
                }
            }
        }
        if (listing.checks.crossDrive && listing.checks.locked == 0) {
            // Only a copy carries these files: each one's kind matters, and is asked.
            for (const core::NameTable::Entry& entry : listing.files.entries()) {
                if (isSpecialFile(fd, listing.files.nameOf(entry))) {
                    listing.specialFiles.push_back(entry.place);
                }
            }
        }
        sortForDisplay(listing.files);
        sortForDisplay(listing.hidden);
        sortForDisplay(folders);
        // The new names' hashes here, off the planner's thread.
        listing.tags.reserve(listing.files.size());
        for (const core::NameTable::Entry& entry : listing.files.entries()) {
            merge_steps::newNameInto(newName_, listing.prefix, listing.files.nameOf(entry));
            if (cases_ == CaseRule::Exact) {
                listing.tags.push_back(nameTag(newName_));
            } else {
                nameKeyInto(key_, cases_, newName_);
                listing.tags.push_back(nameTag(key_));
            }
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
    const Place destinationPlace_;
    const CaseRule cases_;
    const bool all_;
    const NameFrom nameFrom_;
    Take take_;
    std::vector<std::string> prefixes_;  // of each folder walked, by its index
    std::set<std::pair<std::uint64_t, std::uint64_t>> walked_;
    std::uint32_t folders_ = 0;  // folders listed so far: the next one's index
    std::string newName_;
    std::string key_;
};

}  // namespace

class MergePlanner {
public:
    MergePlanner(MergePlan& plan, const PlanControl& control) : plan_(plan), control_(control) {}

    int run(const MergeRequest& asked, std::string* failedPath) {
        plan_ = MergePlan();
        plan_.request_ = asked;
        plan_.avoidingChoice_ = asked.nameFrom;
        // A trailing slash would make the system follow a link the path ends in.
        for (std::string& source : plan_.request_.sources) {
            source = core::normalizeFolder(source);
        }
        const MergeRequest& request = plan_.request_;
        // What the destination holds already: by name only, its contents read where one clashes.
        Fd dest(::open(request.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dest.get() >= 0) {
            struct stat st {};
            if (::fstat(dest.get(), &st) != 0) {
                return fail(request.destination, errno, failedPath);
            }
            plan_.destination_ = inodeIdOf(st);
            checkDestination(dest.get(), st);
            const int err = readFolder(dest.get(), Kinds::NameOnly, [&](const FolderEntry& e) {
                taken_.insertExisting(e.name);
                return true;
            });
            if (err != 0) {
                return fail(request.destination, err, failedPath);
            }
        } else if (errno != ENOENT) {
            return fail(request.destination, errno, failedPath);
        } else {
            // Made by the run, in its parent: what that takes decides.
            const std::string parent = core::parentFolder(request.destination);
            Fd in(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat st {};
            if (in.get() < 0 || ::fstat(in.get(), &st) != 0) {
                return fail(parent, errno, failedPath);
            }
            checkDestination(in.get(), st);
        }
        // Folders first: a file named whose folder is walked too is taken once, by the walk.
        std::vector<std::string> files;
        {
            int err = 0;
            FolderWalker walker(plan_.destination_, destPlace_, taken_.cases(), request.all,
                                request.nameFrom, [&](WalkedFolder& folder) {
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

    // The destination, or the folder it will be made in, open as `fd`.
    void checkDestination(int fd, const struct stat& st) {
        destPlace_ = {static_cast<std::uint64_t>(st.st_dev), mountIdOf(fd)};
        destLocked_ = lockedReason(fd);
        destRule_ = nameRuleAt(fd);
        taken_.setCases(caseRuleAt(fd));
    }

    bool chunk(bool last) {
        if (!control_.chunk || (!last && plan_.files_.size() - chunkFrom_ < 4096)) {
            return true;
        }
        const std::size_t from = chunkFrom_;
        chunkFrom_ = plan_.files_.size();
        return control_.chunk(plan_, from);
    }

    std::uint32_t addFolder(const std::string& path, std::string prefix, std::uint32_t parent,
                            bool walked, const struct stat& st, std::int64_t listedAt,
                            FolderChecks checks) {
        MergePlan::Folder& folder = plan_.folders_.emplace_back();
        folder = {path,
                  core::fileName(path),
                  std::move(prefix),
                  parent,
                  walked,
                  static_cast<std::uint64_t>(st.st_dev),
                  static_cast<std::uint64_t>(st.st_ino),
                  plan_.files_.size()};
        folder.mode = st.st_mode & 07777;
        folder.uid = st.st_uid;
        folder.gid = st.st_gid;
        folder.accessedAt = nsOf(st.st_atim);
        folder.modifiedAt = nsOf(st.st_mtim);
        folder.listedAt = listedAt;
        checks_.push_back(std::move(checks));
        return static_cast<std::uint32_t>(plan_.folders_.size() - 1);
    }

    // A file named on the command line: moved with its folder's name, hidden or not; a link to a
    // folder named stays, never followed.
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
        struct stat target {};
        EntryKind kind = EntryKind::File;
        if (S_ISLNK(file.st_mode) && ::fstatat(fd.get(), name.c_str(), &target, 0) == 0 &&
            S_ISDIR(target.st_mode)) {
            kind = EntryKind::LinkToFolder;
        } else if (inodeIdOf(folder) == plan_.destination_) {
            return EINVAL;  // in the destination already
        }
        if (walked_.count({folder.st_dev, folder.st_ino}) != 0 && kind == EntryKind::File) {
            return 0;  // its folder is walked: taken there
        }
        // A folder holding several named files is listed once, with all of them.
        std::uint32_t index = kNoFolder;
        if (!plan_.folders_.empty() && plan_.folders_.back().path == folderPath &&
            !plan_.folders_.back().walked) {
            index = static_cast<std::uint32_t>(plan_.folders_.size() - 1);
        } else {
            index = addFolder(folderPath, core::fileName(folderPath), kNoFolder, false, folder,
                              now(), checkFolder(fd.get(), folder, destPlace_));
        }
        const FolderChecks& checks = checks_[index];
        merge_steps::newNameInto(newName_, plan_.folders_[index].prefix, name);
        addFile(index, name, static_cast<std::uint64_t>(file.st_ino), kind,
                nameTag(keyOf(newName_)),
                checks.crossDrive && checks.locked == 0 && isSpecialFile(fd.get(), name),
                checks.sticky && checks.locked == 0 && othersFile(fd.get(), name));
        return 0;
    }

    // A walked folder and its files; the slots of their new names are fetched a few files ahead.
    void addListing(WalkedFolder& listing) {
        const std::uint32_t index =
            addFolder(listing.path, std::move(listing.prefix), listing.parent, true, listing.st,
                      listing.listedAt, std::move(listing.checks));
        const std::vector<core::NameTable::Entry>& entries = listing.files.entries();
        constexpr std::size_t kAhead = 8;
        const auto among = [](const std::vector<std::uint64_t>& places, std::uint64_t place) {
            return !places.empty() &&
                   std::find(places.begin(), places.end(), place) != places.end();
        };
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i == 0) {
                for (std::size_t k = 0; k < kAhead && k < entries.size(); ++k) {
                    taken_.prefetch(listing.tags[k]);
                }
            } else if (i + kAhead < entries.size()) {
                taken_.prefetch(listing.tags[i + kAhead]);
            }
            const bool link = among(listing.linksToFolders, entries[i].place);
            addFile(index, listing.files.nameOf(entries[i]), entries[i].inode,
                    link ? EntryKind::LinkToFolder : EntryKind::File, listing.tags[i],
                    among(listing.specialFiles, entries[i].place),
                    among(listing.othersFiles, entries[i].place));
        }
        for (const std::string& name : listing.hidden) {
            addFile(index, name, 0, EntryKind::Folder, 0, false, false);
        }
    }

    // What stays before its name is looked at: by its kind, or by what its folder or the
    // destination allow. Move when nothing holds it back.
    MergeAction heldBack(const FolderChecks& checks, bool named, std::string_view name,
                         EntryKind kind, bool special, bool others, int& err) const {
        if (kind == EntryKind::Folder || (isHidden(name) && !plan_.request_.all && !named)) {
            return MergeAction::LeaveHidden;
        }
        if (kind == EntryKind::LinkToFolder) {
            return named ? MergeAction::LeaveNamedLink : MergeAction::LeaveLinkToFolder;
        }
        if (checks.program.contains(name)) {
            return MergeAction::LeaveProgramFile;
        }
        if (destLocked_ != 0) {
            err = destLocked_;
            return MergeAction::LeaveDestinationLocked;
        }
        if (checks.locked != 0) {
            err = checks.locked;
            return MergeAction::LeaveFolderLocked;
        }
        if (others) {
            err = EPERM;
            return MergeAction::LeaveOthersFile;
        }
        return special ? MergeAction::LeaveSpecialFile : MergeAction::Move;
    }

    // `tag`: the nameTag() of its new name's key, when it has one; `special`: a pipe, socket or
    // device that only a copy could carry; `others`: another user's file in a sticky folder.
    void addFile(std::uint32_t folder, std::string_view name, std::uint64_t inode, EntryKind kind,
                 std::uint32_t tag, bool special, bool others) {
        MergePlan::File file{
            0, static_cast<std::uint16_t>(name.size()), 0, folder, inode, MergeAction::Move, 0};
        const MergePlan::Folder& in = plan_.folders_[folder];
        int err = 0;
        file.action = heldBack(checks_[folder], !in.walked, name, kind, special, others, err);
        file.err = static_cast<std::uint8_t>(err);
        if (file.action == MergeAction::LeaveHidden ||
            file.action == MergeAction::LeaveLinkToFolder ||
            file.action == MergeAction::LeaveNamedLink) {
            file.at = plan_.names_.add(name);
        } else {
            merge_steps::newNameInto(newName_, in.prefix, name);
            if (file.action == MergeAction::Move) {
                file.action = destRule_.fits(newName_) ? decide(folder, name, tag)
                                                       : MergeAction::LeaveNameTooLong;
            }
            // A name taken is told as the file holding it is spelt, which on a drive that
            // ignores case may not be the new name itself.
            const std::string_view finalName = file.action == MergeAction::Move ? newName_
                                               : file.action == MergeAction::MoveNumbered
                                                   ? numbered_
                                               : byHolder(file.action) ? holderName_
                                                                       : newName_;
            if (file.action == MergeAction::MoveNumbered && !destRule_.fits(finalName)) {
                file.action = MergeAction::LeaveNameTooLong;
            }
            if (finalName != name) {
                file.newNameBytes = static_cast<std::uint16_t>(finalName.size());
                file.at = plan_.names_.add(name, finalName);
            } else {
                file.at = plan_.names_.add(name);
            }
            if (file.action == MergeAction::Move || file.action == MergeAction::MoveNumbered) {
                taken_.insertPlanned(static_cast<std::uint32_t>(plan_.files_.size()),
                                     keyOf(finalName), tag);
            }
        }
        ++plan_.counts_[static_cast<std::size_t>(file.action)];
        plan_.files_.push_back(file);
    }

    // What becomes of `name` (in the folder `folder`) whose name in the destination is
    // newName_, its nameTag() `tag`. A numbered name is left in numbered_, and `tag` becomes its
    // tag.
    MergeAction decide(std::uint32_t folder, std::string_view name, std::uint32_t& tag) {
        const std::optional<NameSet::Holder> holder = taken_.find(keyOf(newName_), tag);
        if (!holder) {
            return MergeAction::Move;
        }
        holderName_.assign(holder->name);
        // The file that will hold the name: there already, or moved there before this one.
        bool same = false;
        const std::string own(name);
        const std::string& path = plan_.folders_[folder].path;
        Fd dirfd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (holder->who == NameSet::kExisting) {
            Fd dest(::open(plan_.request_.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            same = dirfd.get() >= 0 && dest.get() >= 0 &&
                   merge_steps::sameContent(dirfd.get(), own, dest.get(), holderName_);
        } else {
            const PlannedFile other = plan_.at(holder->who);
            Fd otherFolder(
                ::open(std::string(other.folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            same = dirfd.get() >= 0 && otherFolder.get() >= 0 &&
                   merge_steps::sameContent(dirfd.get(), own, otherFolder.get(),
                                            std::string(other.name));
        }
        if (same) {
            return plan_.request_.keepDuplicates ? MergeAction::LeaveDuplicate
                                                 : trashOrStay(folder, dirfd.get(), own);
        }
        if (holder->who != NameSet::kExisting) {
            noteFolderClash(folder, name, holder->who);
        }
        if (!plan_.request_.number) {
            return MergeAction::LeaveClash;
        }
        for (int n = 2;; ++n) {
            numbered_ = numberedName(newName_, n);
            const std::string_view key = keyOf(numbered_);
            tag = nameTag(key);
            if (!taken_.find(key, tag)) {
                return MergeAction::MoveNumbered;
            }
        }
    }

    // The actions decided by the file that holds the new name: told with that file's name.
    static bool byHolder(MergeAction action) {
        return action == MergeAction::LeaveClash || action == MergeAction::LeaveDuplicate ||
               action == MergeAction::TrashDuplicate || action == MergeAction::LeaveNoTrash ||
               action == MergeAction::LeaveTrashNameTooLong;
    }

    // `name` as the destination's drive compares names: itself, or its key in key_.
    std::string_view keyOf(std::string_view name) {
        if (taken_.cases() == CaseRule::Exact) {
            return name;
        }
        nameKeyInto(key_, taken_.cases(), name);
        return key_;
    }

    // What the files of folder `f` would begin with under the choice `from`.
    std::string prefixUnder(NameFrom from, std::uint32_t f) const {
        const MergePlan::Folder& folder = plan_.folders_[f];
        if (folder.parent == kNoFolder) {
            return folder.name;
        }
        return prefixBelow(from, prefixUnder(from, folder.parent), folder.name);
    }

    // `name` of folder `folder` clashes with the planned file `holder`, of other content: counted
    // where another choice of naming would part them, and that choice remembered.
    void noteFolderClash(std::uint32_t folder, std::string_view name, std::uint32_t holder) {
        const std::uint32_t other = plan_.files_[holder].folder;
        if (other == folder) {
            return;
        }
        const std::string_view otherName = plan_.nameAt(holder);
        std::string mine;
        std::string theirs;
        bool parted = false;
        for (const NameFrom from : {NameFrom::Source, NameFrom::Path}) {
            merge_steps::newNameInto(mine, prefixUnder(from, folder), name);
            merge_steps::newNameInto(theirs, prefixUnder(from, other), otherName);
            // Parted only where the drive tells the two names apart.
            const std::string mineKey(keyOf(mine));
            if (from != plan_.request_.nameFrom && mineKey != keyOf(theirs)) {
                parted = true;
                ++partedBy_[static_cast<std::size_t>(from)];
            }
        }
        if (!parted) {
            return;
        }
        ++plan_.folderClashes_;
        // The shorter names where they part as many.
        const std::int64_t bySource = partedBy_[static_cast<std::size_t>(NameFrom::Source)];
        const std::int64_t byPath = partedBy_[static_cast<std::size_t>(NameFrom::Path)];
        plan_.avoidingChoice_ = bySource >= byPath ? NameFrom::Source : NameFrom::Path;
    }

    // A duplicate `name` of the folder `folder` (open as `dirfd`): to the Trash, if the Trash of
    // its drive can take it, as the Trash itself says; its name must fit there with the suffix of
    // the Trash's record of it.
    MergeAction trashOrStay(std::uint32_t folder, int dirfd, const std::string& name) {
        FolderChecks& checks = checks_[folder];
        if (checks.trash < 0) {
            checks.trash =
                canTrash(core::joinPath(plan_.folders_[folder].path, name)) ? 0 : ENOTSUP;
        }
        if (checks.trash != 0) {
            return MergeAction::LeaveNoTrash;
        }
        if (!checks.rule) {
            checks.rule = dirfd >= 0 ? nameRuleAt(dirfd) : NameRule{};
        }
        return checks.rule->fits(name + kTrashInfoSuffix) ? MergeAction::TrashDuplicate
                                                          : MergeAction::LeaveTrashNameTooLong;
    }

    MergePlan& plan_;
    const PlanControl& control_;
    NameSet taken_{plan_};
    std::set<std::pair<std::uint64_t, std::uint64_t>> walked_;
    std::vector<FolderChecks> checks_;  // of each folder of the plan
    Place destPlace_;
    int destLocked_ = 0;
    NameRule destRule_;
    std::size_t chunkFrom_ = 0;
    std::string newName_;     // the file's name in the destination, made afresh for each file
    std::string numbered_;    // ... and numbered, where that is taken
    std::string holderName_;  // the name of the file that holds it, as decide() found
    std::string key_;         // keyOf()'s
    std::int64_t partedBy_[3] = {};  // folder clashes each NameFrom would part
};

int planMerge(const MergeRequest& request, MergePlan& plan, const PlanControl& control,
              std::string* failedPath) {
    MergePlanner planner(plan, control);
    const int err = planner.run(request, failedPath);
    return err == 0 && request.dedupe != Dedupe::Off ? findContentDuplicates(plan, control) : err;
}

}  // namespace fs
