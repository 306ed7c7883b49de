// The run of a merge: the destination made, the plan recorded ahead of the moves, each file
// moved, and the emptied folders removed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "core/paths.h"
#include "fs/fd.h"
#include "fs/merge/steps.h"
#include "fs/mounts.h"
#include "fs/syscalls.h"

namespace fs {

using merge_steps::inodeIdOf;

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
                // A folder of named files of which none moves (a link to a folder named) is
                // none of the merge's.
                bool records = folder.walked;
                for (std::size_t i = c.file; !records && i < filesEnd(c.folder); ++i) {
                    records = acts(plan_.files_[i].action);
                }
                c.fd.reset(records ? openFolder(c.folder, st) : -1);
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
