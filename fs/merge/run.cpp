// The run of a merge: the destination made, the plan recorded ahead of the moves, each file
// moved, and the emptied folders removed.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <optional>

#include "core/paths.h"
#include "fs/fd.h"
#include "fs/merge/steps.h"
#include "fs/mounts.h"
#include "fs/syscalls.h"

namespace fs {

using merge_steps::inodeIdOf;

namespace {

std::int64_t nsOf(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A folder's change within this long of its reading may not show in its time: the clock that
// stamps folders ticks coarsely.
constexpr std::int64_t kCoarseClock = 20000000;

}  // namespace

class MergeRunner {
public:
    MergeRunner(const MergePlan& plan, const MergeRunControl& control)
        : plan_(plan), control_(control) {}
    MergeRunner(const MergeRunner&) = delete;
    MergeRunner& operator=(const MergeRunner&) = delete;

    MergeResult run() {
        const MergeRequest& request = plan_.request_;
        MergeFlags flags{false, request.keepDuplicates, request.number, request.keepFolders,
                         request.all};
        if (plan_.acting() == 0) {
            // Nothing moves: nothing is made or recorded, and what stays is told.
            moveAll(-1, IdentityKind::Inode, flags);
            return std::move(result_);
        }
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
        FolderRecord destination;
        if (const int err =
                describeFolder(dest.get(), request.destination, destination, lastMount_, &st);
            err != 0) {
            return failed(MergeResult::End::DestinationFailed, err);
        }
        if (control_.journal) {
            if (const int err = record(destination, flags); err != 0) {
                journal_.close();
                if (flags.destinationMade) {
                    ::rmdir(request.destination.c_str());
                }
                return failed(MergeResult::End::JournalFailed, err);
            }
            result_.journal = journal_.path();
        }
        folderTimes_.assign(control_.journal ? journal_.folders() : 0, 0);
        moveAll(dest.get(), destination.identity, flags);
        // Only once the plan is whole in the journal: undo makes again what it removes.
        if (!request.keepFolders && result_.end == MergeResult::End::Completed) {
            result_.foldersRemoved +=
                remove(emptiedIn(0, plan_.folders_.size()), result_.syncError);
        }
        if (syscalls().fsync(dest.get()) != 0 && result_.syncError == 0) {
            result_.syncError = errno;
        }
        struct stat left {};
        if (!folderTimes_.empty()) {
            folderTimes_[0] = ::fstat(dest.get(), &left) == 0 ? nsOf(left.st_mtim) : 0;
        }
        const bool changed = result_.moved + result_.trashed + result_.foldersRemoved > 0;
        if (!changed && flags.destinationMade) {
            dest.reset();
            ::rmdir(request.destination.c_str());  // made for nothing: not left behind
        }
        if (control_.journal) {
            // The files it moved: the history counts files, not the folders that went.
            journal_.end(changed ? result_.moved + result_.trashed : 0, folderTimes_,
                         result_.end == MergeResult::End::Cancelled);
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

    // Where a folder of the walk lies and how its files are told apart: from the drive the last
    // folder lay on when it is the same, else from the folder opened.
    int describe(std::size_t f, FolderRecord& out) {
        const MergePlan::Folder& folder = plan_.folders_[f];
        const MountedPath* mounted = lastMount_ ? &*lastMount_ : nullptr;
        const std::string& point = mounted != nullptr ? mounted->mount.mountPoint : folder.path;
        const std::string prefix = point == "/" ? "/" : point + "/";
        if (mounted != nullptr && mounted->mount.device == static_cast<dev_t>(folder.device) &&
            folder.path.rfind(prefix, 0) == 0) {
            out.path = folder.path;
            out.identity = identityKindOf(mounted->mount.type);
            out.place = {mounted->identity, mounted->mount.root, mounted->mount.mountPoint,
                         folder.path.substr(prefix.size()), mounted->mount.label};
            if (mounted->mount.root != "/") {
                out.place.relative.clear();  // a bind of a folder within: found by lookup
                return describeOpened(f, out);
            }
        } else if (const int err = describeOpened(f, out); err != 0) {
            return err;
        }
        out.id = {folder.device, folder.inode};
        out.mode = folder.mode;
        out.uid = folder.uid;
        out.gid = folder.gid;
        out.accessedAt = folder.accessedAt;
        out.modifiedAt = folder.modifiedAt;
        return 0;
    }

    int describeOpened(std::size_t f, FolderRecord& out) {
        const MergePlan::Folder& folder = plan_.folders_[f];
        Fd fd(::open(folder.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0) {
            // Recorded as it was walked; its files are left, with the reason, when their turn
            // comes.
            out.path = folder.path;
            out.identity = IdentityKind::SizeAndTime;
            out.place = {};
            return 0;
        }
        return describeFolder(fd.get(), folder.path, out, lastMount_);
    }

    // One folder's part of the plan as the journal's thread, or the mover, asks for it: its
    // files that will be moved or trashed, in order, each with what tells it apart.
    struct Part {
        std::size_t folder = 0;
        std::size_t file = 0;  // the plan's file after the last one handed over
        IdentityKind kind = IdentityKind::Inode;
        bool statEach = false;
        Fd fd;  // the folder, for a part whose files are looked up one by one
        std::string name;
        std::string newName;
    };

    void handOver(Part& part, EntrySink& out) {
        const MergePlan::Folder& folder = plan_.folders_[part.folder];
        while (!acts(plan_.files_[part.file].action)) {
            ++part.file;
        }
        const std::size_t i = part.file++;
        part.name.assign(plan_.nameAt(i));
        FileId id{folder.device, plan_.files_[i].inode};
        if (part.statEach) {
            if (part.fd.get() < 0) {
                part.fd.reset(::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            }
            struct stat st {};
            id = part.fd.get() >= 0 &&
                         ::fstatat(part.fd.get(), part.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                     ? identityOf(st, part.kind)
                     : FileId{};
        }
        // Its usual name, from its folder's, unless another choice names it; a number is
        // recorded as it is given.
        if (folder.prefix == folder.name) {
            out.addUsual(part.name, id);
        } else {
            merge_steps::newNameInto(part.newName, folder.prefix, part.name);
            out.add(part.name, part.newName, id);
        }
    }

    // Whether the listing's inode numbers are stat's on the drive of folder `f`: the first file
    // tells, once per drive.
    bool listingMisleads(std::size_t f) {
        const MergePlan::Folder& folder = plan_.folders_[f];
        for (const auto& [device, misleads] : misleadsOn_) {
            if (device == folder.device) {
                return misleads;
            }
        }
        for (std::size_t i = folder.firstFile; i < filesEnd(f); ++i) {
            if (!acts(plan_.files_[i].action)) {
                continue;
            }
            Fd fd(::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat st {};
            if (fd.get() < 0 || ::fstatat(fd.get(), std::string(plan_.nameAt(i)).c_str(), &st,
                                          AT_SYMLINK_NOFOLLOW) != 0) {
                return true;  // looked up one by one, as its turn comes
            }
            const bool misleads = static_cast<std::uint64_t>(st.st_ino) != plan_.files_[i].inode;
            misleadsOn_.emplace_back(folder.device, misleads);
            return misleads;
        }
        return false;
    }

    // Starts the journal: the destination, every folder of the walk, and the plan's first part,
    // on the disk before the first move; the writer's thread writes the rest, part after part,
    // while files move.
    int record(const FolderRecord& destination, const MergeFlags& flags) {
        FolderRecord dest = destination;
        dest.destination = true;
        int err = journal_.begin(control_.stateDir,
                                 journal_format::kMerge | journal_format::kMayLeaveReservations);
        if (err == 0) {
            err = journal_.addFolder(dest);
        }
        if (err == 0) {
            err = journal_.setMerge(flags, 0);
        }
        parts_.resize(plan_.folders_.size());
        section_.assign(plan_.folders_.size(), kNoFolder);
        for (std::size_t f = 0; err == 0 && f < plan_.folders_.size(); ++f) {
            const MergePlan::Folder& folder = plan_.folders_[f];
            std::uint64_t count = 0;
            for (std::size_t i = folder.firstFile; i < filesEnd(f); ++i) {
                count += acts(plan_.files_[i].action) ? 1 : 0;
            }
            // A folder of named files of which none moves (a link to a folder named) is none of
            // the merge's.
            if (!folder.walked && count == 0) {
                continue;
            }
            FolderRecord record;
            if ((err = describe(f, record)) != 0) {
                break;
            }
            record.parent = folder.parent == kNoFolder ? kNoFolder : section_[folder.parent];
            record.target = 0;
            record.walked = folder.walked;
            Part& part = parts_[f];
            part.folder = f;
            part.file = folder.firstFile;
            part.kind = record.identity;
            part.statEach =
                count > 0 && (record.identity != IdentityKind::Inode || listingMisleads(f));
            std::size_t section = 0;
            err = journal_.addFolder(
                record, count,
                [this, &part](std::uint64_t, EntrySink& out) { handOver(part, out); },
                part.statEach, section);
            section_[f] = static_cast<std::uint32_t>(section);
        }
        if (err == 0) {
            err = journal_.commit();
        }
        return err;
    }

    // Waits until the entry `entry` of folder `f` is on the disk; the writer's error otherwise.
    int durable(std::size_t f, std::uint64_t entry, std::uint64_t& kept) {
        if (!control_.journal || entry < kept) {
            return 0;
        }
        return journal_.waitKept(section_[f], entry + 1, kept);
    }

    void moveAll(int destfd, IdentityKind destKind, const MergeFlags& flags) {
        merge_steps::Mover mover(destfd, destKind, flags, control_.journal ? &journal_ : nullptr);
        const std::int64_t total = plan_.acting();
        std::int64_t done = 0;
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
                        // As the plan said, with its reason.
                        const PlannedFile planned = plan_.at(i);
                        leave(planned, std::string(planned.newName), action, planned.err);
                    }
                }
            }
            if (!acting) {
                continue;
            }
            if (result_.end == MergeResult::End::Cancelled) {
                emptied_[f] = false;
                for (std::size_t i = folder.firstFile; i < end; ++i) {
                    result_.notReached += acts(plan_.files_[i].action) ? 1 : 0;
                }
                continue;
            }
            merge_steps::Source source;
            source.path = folder.path;
            source.section = control_.journal ? section_[f] : 0;
            struct stat st {};
            Fd fd(openFolder(f, st));
            source.fd = fd.get();
            int leftErr = fd.get() < 0 ? errno : 0;
            // Changed since it was read (a photo saved again over its name, say): each file is
            // looked at before it moves, and the journal told of one that is not the planned.
            const bool changed =
                fd.get() >= 0 && (nsOf(st.st_mtim) != folder.modifiedAt ||
                                  nsOf(st.st_mtim) >= folder.listedAt - kCoarseClock);
            const bool byInode = parts_.empty() || parts_[f].kind == IdentityKind::Inode;
            bool movedAny = false;
            std::uint64_t entry = 0;
            std::uint64_t kept = 0;
            for (std::size_t i = folder.firstFile; i < end; ++i) {
                const MergeAction action = plan_.files_[i].action;
                if (!acts(action)) {
                    continue;
                }
                const std::uint64_t k = entry++;
                if (result_.end == MergeResult::End::Cancelled) {
                    emptied_[f] = false;
                    ++result_.notReached;
                    continue;
                }
                // Buffers of the runner's own: no allocation a file.
                name_.assign(plan_.nameAt(i));
                merge_steps::newNameInto(newName_, folder.prefix, name_);
                if (leftErr == 0) {
                    leftErr = durable(f, k, kept) == 0 ? 0 : writerError();
                }
                if (leftErr == 0 && changed && byInode) {
                    struct stat now {};
                    if (::fstatat(fd.get(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                        static_cast<std::uint64_t>(now.st_ino) != plan_.files_[i].inode &&
                        control_.journal) {
                        if (const int err = journal_.recordMovedAs(
                                source.section, k, identityOf(now, IdentityKind::Inode));
                            err != 0) {
                            emptied_[f] = false;
                            leave(plan_.at(i), newName_, action, err);
                            continue;
                        }
                    }
                }
                // A copy of content kept elsewhere goes to the Trash; changed since the plan, it
                // is another file, and moves as any other.
                const MergePlan::ContentDuplicate* copy =
                    action == MergeAction::TrashDuplicate ? plan_.contentDuplicate(i) : nullptr;
                const bool trashCopy =
                    leftErr == 0 && copy != nullptr && unchanged(fd.get(), *copy);
                if (leftErr != 0) {
                    emptied_[f] = false;
                    leave(plan_.at(i), newName_, action, leftErr);
                } else {
                    const merge_steps::Outcome outcome =
                        trashCopy ? mover.trashCopy(source, name_, newName_, k)
                                  : mover.move(source, name_, newName_, k);
                    if (outcome.kind == merge_steps::Outcome::Left) {
                        emptied_[f] = false;
                        leave(plan_.at(i), std::string(outcome.name), outcome.why, outcome.err);
                    } else {
                        movedAny = true;
                        ++(outcome.kind == merge_steps::Outcome::Moved ? result_.moved
                                                                       : result_.trashed);
                        if (outcome.lost != 0) {
                            result_.partlyKept.push_back({core::joinPath(plan_.request_.destination,
                                                                         std::string(outcome.name)),
                                                          outcome.lost});
                        }
                        if (control_.moved) {
                            control_.moved(plan_.at(i), std::string(outcome.name),
                                           outcome.kind == merge_steps::Outcome::Trashed);
                        }
                    }
                }
                ++done;
                if (control_.progress && !control_.progress(done, total)) {
                    result_.end = MergeResult::End::Cancelled;
                }
            }
            if (movedAny && syscalls().fsync(fd.get()) != 0 && result_.syncError == 0) {
                result_.syncError = errno;
            }
            struct stat left {};
            if (fd.get() >= 0 && ::fstat(fd.get(), &left) == 0) {
                if (control_.journal) {
                    folderTimes_[section_[f]] = nsOf(left.st_mtim);
                }
            }
        }
    }

    // Whether `copy`, of the folder open as `fd`, is still the file the plan compared: the same
    // inode, size and times (a write changes the change time, whatever it sets the others to).
    bool unchanged(int fd, const MergePlan::ContentDuplicate& copy) const {
        struct stat st {};
        return ::fstatat(fd, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               static_cast<std::uint64_t>(st.st_ino) == copy.inode && st.st_size == copy.size &&
               nsOf(st.st_mtim) == copy.modifiedAt && nsOf(st.st_ctim) == copy.changedAt;
    }

    // Why the journal could not take a file: the writer's error.
    int writerError() {
        const int err = journal_.error();
        return err != 0 ? err : EIO;
    }

    void leave(const PlannedFile& planned, const std::string& newName, MergeAction why, int err) {
        ++result_.left;
        result_.leftFiles.push_back(
            {core::joinPath(std::string(planned.folder), std::string(planned.name)), newName, why,
             err});
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
            if (emptied_[f]) {
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
        if (control_.journal) {
            std::vector<std::uint32_t> recorded;
            recorded.reserve(folders.size());
            for (const std::uint32_t f : folders) {
                recorded.push_back(section_[f]);
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

    const MergePlan& plan_;
    const MergeRunControl& control_;
    MergeResult result_;
    std::optional<MountedPath> lastMount_;
    std::vector<std::pair<std::uint64_t, bool>> misleadsOn_;  // drives whose listing misleads
    std::deque<Part> parts_;  // one per folder of the plan, as the journal asks for them
    std::vector<std::uint32_t> section_;     // each folder's index in the journal, or kNoFolder
    std::vector<std::int64_t> folderTimes_;  // each journal folder's time as the merge left it
    std::vector<bool> emptied_;
    std::string name_;       // the file in hand's name
    std::string newName_;    // ... and its name in the destination
    JournalWriter journal_;  // last: its thread, which asks the parts, goes first
};

MergeResult runMerge(const MergePlan& plan, const MergeRunControl& control) {
    MergeRunner runner(plan, control);
    return runner.run();
}

}  // namespace fs
