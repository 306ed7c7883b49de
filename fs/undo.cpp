#include "fs/undo.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/listing.h"
#include "fs/mounts.h"
#include "fs/rename.h"
#include "fs/syscalls.h"

namespace fs {

namespace {

// What a name holds, looked up by stat.
struct NameLookup {
    bool present = false;
    FileId id;  // as the plan's identity kind says
    bool emptyFile = false;
    FileId inodeId;              // device and inode, whatever the kind
    std::int64_t bornAt = -1;    // ns since the epoch; -1 when the drive does not say
    std::int64_t changedAt = 0;  // ns since the epoch
};

std::int64_t ns(const statx_timestamp& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Looks `name` up in `dirfd`; false when that failed for a reason other than its absence.
bool lookUp(int dirfd, const std::string& name, IdentityKind kind, NameLookup& out, int& err) {
    struct statx st {};
    out = {};
    if (::statx(dirfd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) !=
        0) {
        if (errno == ENOENT) {
            return true;
        }
        err = errno;
        return false;
    }
    out.present = true;
    out.inodeId = {static_cast<std::uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor)),
                   st.stx_ino};
    out.id = kind == IdentityKind::SizeAndTime
                 ? FileId{st.stx_size, static_cast<std::uint64_t>(ns(st.stx_mtime))}
                 : out.inodeId;
    out.emptyFile = S_ISREG(st.stx_mode) && st.stx_size == 0;
    out.bornAt = (st.stx_mask & STATX_BTIME) != 0 ? ns(st.stx_btime) : -1;
    out.changedAt = ns(st.stx_ctime);
    return true;
}

// Whether the file at a name is one made, or changed, after the run: an inode number the drive
// handed out again cannot pass for the file the run renamed.
bool newerThanRun(const NameLookup& found, const JournalPlan& plan, bool renamedByRun) {
    if (plan.identity != IdentityKind::Inode) {
        return false;  // told apart by size and time: a number handed out again fools nothing
    }
    if (found.bornAt >= 0 && plan.startedAt > 0) {
        return found.bornAt > plan.startedAt;
    }
    // Without a birth time: a rename sets the change time, so one after the run's end means the
    // file was made or changed since.
    return renamedByRun && plan.endedAt > 0 && found.changedAt > plan.endedAt;
}

// What the run recorded in one folder, for lookups by name.
struct Recorded {
    std::unordered_set<std::string_view> linked;
    std::unordered_map<std::string_view, FileId> reservations;
    explicit Recorded(const JournalPlan& plan) {
        for (const std::string& name : plan.linked) {
            linked.insert(name);
        }
        for (const auto& [name, id] : plan.reservations) {
            reservations[name] = id;  // the last one made under a name is the one that may be left
        }
    }
};

// Which method, if any, left the entry's names looking like `now`.
RenameMethod cutShortBy(const NamesNow& now) {
    for (const NoReplaceRename* const* m = methodsThatCutShort(); *m != nullptr; ++m) {
        if ((*m)->cutShort(now)) {
            return (*m)->kind();
        }
    }
    return RenameMethod::Unknown;
}

EntryReport problemOf(const std::string& folder, const JournalEntry& e,
                      const core::RenameStatus& status) {
    EntryProblem problem = EntryProblem::RenameFailed;
    if (status.outcome == core::RenameOutcome::NoSafeRename) {
        problem = EntryProblem::NoSafeRename;
    } else if (status.error == EEXIST || status.error == ENOTEMPTY) {
        problem = EntryProblem::NameTaken;
    }
    return {folder, e.oldName, e.newName, problem, status.error};
}

// Renames an entry's file from `from` to `to`, counting it, or its problem; false on a refusal.
// `method` carries what the folder's file system offers from one file to the next.
bool moveEntry(int dirfd, const std::string& folder, const JournalEntry& e, const std::string& from,
               const std::string& to, RenameMethod& method, UndoReport& report) {
    const core::RenameStatus status = renameNoReplace(dirfd, from, to, method);
    if (status.done()) {
        ++report.renamed;
        return true;
    }
    report.problems.push_back(problemOf(folder, e, status));
    return false;
}

// Rolls back (undo) or completes (finish) the rename cut short at entry `i`. A reservation,
// removed, is counted apart; the entry is then still to be renamed when finishing. False when the
// method's leftover could not be removed.
bool settleCutShort(int dirfd, const JournalPlan& plan, const FolderState& state, std::size_t i,
                    const Recorded& recorded, bool finishing, UndoReport& report) {
    const JournalEntry& e = plan.entries[i];
    const NoReplaceRename& method = renameMethod(state.cutShortBy[i]);
    if (method.kind() == RenameMethod::Reservation) {
        const auto found = recorded.reservations.find(e.newName);
        if (found != recorded.reservations.end() &&
            method.rollBack(dirfd, e.oldName, e.newName, e.fileId, found->second) == 0) {
            ++report.reservationsRemoved;
        }
        return true;
    }
    const int err = finishing ? method.complete(dirfd, e.oldName, e.newName, e.fileId)
                              : method.rollBack(dirfd, e.oldName, e.newName, e.fileId, {});
    if (err != 0) {
        report.problems.push_back(
            {plan.folder, e.oldName, e.newName, EntryProblem::RemoveFailed, err});
        return false;
    }
    ++report.renamed;
    return true;
}

// Tells the control of each entry looked at, one thread at a time; false once it asked to stop.
class Progress {
public:
    Progress(const UndoControl& control, std::int64_t total) : control_(control), total_(total) {}
    bool step() {
        if (stopped_.load(std::memory_order_relaxed)) {
            return false;
        }
        if (!control_.progress) {
            return true;
        }
        const std::lock_guard lock(mutex_);
        if (!control_.progress(++looked_, total_)) {
            stopped_.store(true);
        }
        return !stopped_.load();
    }
    bool stopped() const { return stopped_.load(); }

private:
    const UndoControl& control_;
    std::int64_t total_;
    std::mutex mutex_;
    std::int64_t looked_ = 0;
    std::atomic<bool> stopped_{false};
};

// Calls `work(i)` for every i below `count`, in order on `jobs` threads at once.
template <class Work>
void inParallel(std::size_t count, int jobs, const Work& work) {
    if (jobs <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            work(i);
        }
        return;
    }
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    const auto n = std::min(count, static_cast<std::size_t>(jobs));
    for (std::size_t t = 0; t < n; ++t) {
        threads.emplace_back([&] {
            for (std::size_t i; (i = next.fetch_add(1)) < count;) {
                work(i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// How many folders to undo at once.
int jobsFor(const UndoControl& control, const JournalRead& journal) {
    if (control.jobs > 0 || journal.plans.size() < 2) {
        return std::max(control.jobs, 1);
    }
    const int fd = ::open(journal.plans.front().folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int jobs = foldersAtOnce(fd);
    if (fd >= 0) {
        ::close(fd);
    }
    return jobs;
}

// Whether entry `i` has its file under the old name alone, or beside a reservation of ours.
bool stillToRename(const FolderState& state, std::size_t i) {
    return state.states[i] == EntryState::AtOldName ||
           (state.states[i] == EntryState::CutShort &&
            state.cutShortBy[i] == RenameMethod::Reservation);
}

bool folderGone(const FolderState& p) {
    return p.status == FolderState::Status::OtherFolder ||
           (p.status == FolderState::Status::CannotOpen && (p.err == ENOENT || p.err == ENOTDIR));
}

// The name to give the user for the drive of `plan`.
std::string driveName(const JournalPlan& plan) {
    return !plan.place.label.empty() ? plan.place.label : plan.place.mountPoint;
}

// What a folder of a run holds, read ahead of the journal's renames: they are needed to look its
// names up, not to read it.
struct Listed {
    std::string folder;  // the plan's folder and identity, as the journal's summary gives them
    FileId folderId;
    Fd fd;  // the folder as opened for the reading; none: why is in `opened`
    FolderState opened;
    SortedListing listing;
    int error = 0;  // of the reading
};

// Opens the folder of `plan` and reads it into `listed`.
void listFolder(const JournalPlan& plan, Listed& listed) {
    listed.folder = plan.folder;
    listed.folderId = plan.folderId;
    listed.fd.reset(openRunFolder(plan, listed.opened.status, listed.opened.err));
    if (listed.fd.get() < 0 && (listed.opened.err == EMFILE || listed.opened.err == ENFILE)) {
        listed.folder.clear();  // no descriptor to spare now: examined afresh
    }
    if (listed.fd.get() >= 0) {
        listed.error = listed.listing.read(listed.fd.get());
    }
}

// examineAt, with the folder's listing read already when `listed` is given.
FolderState examineWith(int dirfd, const JournalPlan& plan, const Listed* listed);

// A run's journal read and every folder of it examined, under the run's lock.
struct Examined {
    std::unique_ptr<LockedRun> lock;
    JournalRead journal;
    std::vector<FolderState> states;
    int jobs = 1;  // folders acted in at once
};

// Takes the run's lock, reads the run and examines every folder of it; fills `report`. False
// when nothing is to be done: another process holds the run, a bad journal (set aside here), or
// no folder that can be examined.
bool prepare(const std::string& run, const UndoControl& control, Examined& examined,
             UndoReport& report) {
    report.run = run;
    examined.lock = std::make_unique<LockedRun>(run);
    if (!examined.lock->valid()) {
        const bool busy = examined.lock->busy();
        report.status = busy ? UndoReport::Status::InProgress : UndoReport::Status::Nothing;
        report.err = busy ? 0 : examined.lock->error();
        return false;
    }
    JournalRead& journal = examined.journal;
    // The folders are read beside the journal's renames, from the places its summary gives; each
    // is held open until it is examined, as many as a quarter of the descriptors allow.
    std::vector<Listed> listed;
    std::thread reader;
    if (JournalRead summary = readJournalSummary(run); summary.status == JournalRead::Status::Ok) {
        examined.jobs = jobsFor(control, summary);
        rlimit limit{};
        std::size_t held = summary.plans.size();
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            held = std::min<std::size_t>(held, limit.rlim_cur / 4);
        }
        summary.plans.resize(held);
        listed = std::vector<Listed>(held);
        reader = std::thread([&listed, plans = std::move(summary.plans), jobs = examined.jobs] {
            inParallel(plans.size(), jobs, [&](std::size_t f) { listFolder(plans[f], listed[f]); });
        });
    }
    journal = readJournal(run);
    if (reader.joinable()) {
        reader.join();
    }
    if (journal.status == JournalRead::Status::None) {
        report.status = UndoReport::Status::Nothing;
        return false;
    }
    if (journal.status == JournalRead::Status::Bad) {
        report.status = UndoReport::Status::BadJournal;
        report.err = journal.err;
        setAside(run);
        return false;
    }
    report.folder = journal.plans.front().folder;
    const FolderState* unreadable = nullptr;
    const JournalPlan* unreadableFolder = nullptr;
    const JournalPlan* absent = nullptr;
    bool anyOk = false;
    if (listed.empty()) {
        examined.jobs = jobsFor(control, journal);
    }
    examined.states.resize(journal.plans.size());
    inParallel(journal.plans.size(), examined.jobs, [&](std::size_t f) {
        const JournalPlan& plan = journal.plans[f];
        Listed* const read = f < listed.size() && listed[f].folder == plan.folder &&
                                     listed[f].folderId == plan.folderId
                                 ? &listed[f]
                                 : nullptr;
        examined.states[f] = read == nullptr       ? examine(plan)
                             : read->fd.get() >= 0 ? examineWith(read->fd.get(), plan, read)
                                                   : read->opened;
        if (read != nullptr) {
            read->fd.reset();
            read->listing = {};
        }
    });
    for (std::size_t f = 0; f < journal.plans.size(); ++f) {
        const JournalPlan& plan = journal.plans[f];
        report.folders.push_back(plan.folder);
        report.entries += static_cast<std::int64_t>(plan.entries.size());
        const FolderState& p = examined.states[f];
        anyOk = anyOk || p.status == FolderState::Status::Ok;
        if (p.status == FolderState::Status::DriveAbsent && absent == nullptr) {
            absent = &plan;
        } else if (p.status != FolderState::Status::Ok && !folderGone(p) && unreadable == nullptr) {
            unreadable = &p;
            unreadableFolder = &plan;
        }
    }
    if (anyOk) {
        report.status = UndoReport::Status::Done;
        return true;
    }
    report.journalKept = true;
    if (absent != nullptr) {
        report.status = UndoReport::Status::DriveAbsent;
        report.folder = absent->folder;
        report.drive = driveName(*absent);
    } else if (unreadable != nullptr) {
        report.status = UndoReport::Status::CannotExamine;
        report.err = unreadable->err;
        report.folder = unreadableFolder->folder;
    } else {
        report.status = UndoReport::Status::FolderGone;
        report.err = examined.states.front().err;
    }
    return false;
}

// Opens a folder examined as Ok again for acting in it; -1 (with `p` saying why) when it is no
// longer there.
int reopen(const JournalPlan& plan, FolderState& p) {
    if (p.status != FolderState::Status::Ok) {
        return -1;
    }
    FolderState::Status status = FolderState::Status::Ok;
    int err = 0;
    const int dirfd = openRunFolder(plan, status, err);
    if (dirfd < 0) {
        p.status = status;
        p.err = err;
    }
    return dirfd;
}

// Reports every entry of a folder that could not be acted in, in the order they would have been
// met; true when it may yet be (the folder could not be read, or its drive is away, but it is
// there).
bool reportFolder(const JournalPlan& plan, const FolderState& p, bool reverse, UndoReport& report) {
    const bool gone = folderGone(p);
    const EntryProblem problem = gone ? EntryProblem::FolderGone
                                 : p.status == FolderState::Status::DriveAbsent
                                     ? EntryProblem::DriveAbsent
                                     : EntryProblem::CannotExamine;
    const int err = gone ? 0 : p.err;
    const std::size_t n = plan.entries.size();
    for (std::size_t k = 0; k < n; ++k) {
        const JournalEntry& e = plan.entries[reverse ? n - 1 - k : k];
        report.problems.push_back({plan.folder, e.oldName, e.newName, problem, err});
    }
    return !gone;
}

// Adds what one folder's part did to the whole.
void merge(UndoReport& report, UndoReport& part) {
    report.renamed += part.renamed;
    report.unchanged += part.unchanged;
    report.reservationsRemoved += part.reservationsRemoved;
    report.problems.insert(report.problems.end(), std::make_move_iterator(part.problems.begin()),
                           std::make_move_iterator(part.problems.end()));
    if (report.syncError == 0) {
        report.syncError = part.syncError;
    }
}

// The folder at `path` if it is the run's folder `plan`: by identity where the drive keeps inode
// numbers, else by where it lies on its drive. -1 otherwise (`status` says why).
int openAsRunFolder(const std::string& path, const JournalPlan& plan, FolderState::Status& status,
                    int& err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        status = FolderState::Status::CannotOpen;
        return -1;
    }
    const std::optional<FileId> id = fileIdAt(fd, ".");
    bool same = id && *id == plan.folderId;
    if (id && !same && !plan.place.mountIdentity.empty()) {
        // Mounted anew: the device number may differ; the inode, where the drive keeps it, not.
        const std::optional<MountedPath> at = mountOf(fd);
        same = at && at->identity == plan.place.mountIdentity &&
               at->mount.root == plan.place.mountRoot && at->relative == plan.place.relative &&
               (plan.identity == IdentityKind::SizeAndTime || id->inode == plan.folderId.inode);
    }
    if (!id) {
        err = errno;
        status = FolderState::Status::CannotOpen;
    } else if (!same) {
        status = FolderState::Status::OtherFolder;
    } else {
        status = FolderState::Status::Ok;
        return fd;
    }
    ::close(fd);
    return -1;
}

}  // namespace

int openRunFolder(const JournalPlan& plan, FolderState::Status& status, int& err) {
    err = 0;
    int fd = openAsRunFolder(plan.folder, plan, status, err);
    if (fd >= 0 || plan.place.mountIdentity.empty()) {
        return fd;
    }
    // A card taken out and put back may be mounted elsewhere: found by its identity.
    const std::optional<Mount> mount = findMount(plan.place.mountIdentity, plan.place.mountRoot);
    if (!mount) {
        status = FolderState::Status::DriveAbsent;
        err = 0;
        return -1;
    }
    const std::string here = plan.place.relative.empty()
                                 ? mount->mountPoint
                                 : mount->mountPoint + "/" + plan.place.relative;
    if (here != plan.folder) {
        fd = openAsRunFolder(here, plan, status, err);
    }
    return fd;
}

FolderState examineAt(int dirfd, const JournalPlan& plan) {
    return examineWith(dirfd, plan, nullptr);
}

namespace {

FolderState examineWith(int dirfd, const JournalPlan& plan, const Listed* listed) {
    FolderState result;
    const std::optional<FileId> folder = fileIdAt(dirfd, ".");
    if (!folder) {
        result.status = FolderState::Status::CannotOpen;
        result.err = errno;
        return result;
    }
    // The device may differ on a new mount; the inode, where the drive keeps it, may not.
    if (plan.identity == IdentityKind::Inode && folder->inode != plan.folderId.inode) {
        result.status = FolderState::Status::OtherFolder;
        return result;
    }
    result.states.reserve(plan.entries.size());
    result.cutShortBy.reserve(plan.entries.size());
    const Recorded recorded(plan);
    const IdentityKind kind = plan.identity;
    // One reading of the folder answers for most entries where the drive keeps inode numbers; a
    // stat where the listing's numbers are not stat's (FUSE, some overlay and network file
    // systems), where a file may have been made since the run, or a leftover needs its size.
    SortedListing own;
    const SortedListing& listing = listed != nullptr ? listed->listing : own;
    const int listingError = listed != nullptr ? listed->error : own.read(dirfd);
    bool listingAnswers = kind == IdentityKind::Inode && listingError == 0;
    // Where its numbers do not tell files apart, the listing still says which names are there:
    // a name it lacks is not looked up, which on a network drive is a round trip per file.
    const bool listingNames = kind != IdentityKind::Inode && listingError == 0;
    // Untouched since the run left it, the listing included: no file there was made since, so
    // none can have been given the number of one the run renamed, and the listing's numbers say
    // it all.
    struct stat folderStat {};
    const bool untouched = plan.leftAt != 0 && ::fstat(dirfd, &folderStat) == 0 &&
                           static_cast<std::int64_t>(folderStat.st_mtim.tv_sec) * 1000000000 +
                                   folderStat.st_mtim.tv_nsec ==
                               plan.leftAt;
    std::vector<std::optional<std::uint64_t>> oldInodes;
    std::vector<std::optional<std::uint64_t>> newInodes;
    if (listingAnswers || listingNames) {
        const std::vector<JournalEntry>& entries = plan.entries;
        oldInodes = listing.find(
            entries.size(), [&](std::size_t i) -> std::string_view { return entries[i].oldName; });
        newInodes = listing.find(
            entries.size(), [&](std::size_t i) -> std::string_view { return entries[i].newName; });
    }
    if (listingAnswers) {
        const std::vector<JournalEntry>& entries = plan.entries;
        // Checked on every name found until one is, not on the first entry alone: its file
        // may be gone.
        bool checked = false;
        for (std::size_t i = 0; i < entries.size() && !checked && listingAnswers; ++i) {
            for (const bool old : {true, false}) {
                const std::optional<std::uint64_t> byListing = old ? oldInodes[i] : newInodes[i];
                NameLookup byStat;
                if (!byListing || !lookUp(dirfd, old ? entries[i].oldName : entries[i].newName,
                                          kind, byStat, result.err)) {
                    continue;
                }
                checked = true;
                listingAnswers = byStat.present && byStat.inodeId.inode == *byListing &&
                                 byStat.inodeId.device == folder->device;
                break;
            }
        }
    }
    const auto cannotExamine = [&result] {
        result.status = FolderState::Status::CannotExamine;
        result.states.clear();
        result.cutShortBy.clear();
        return result;
    };
    const auto holdsRecorded = [&](const NameLookup& at, const JournalEntry& e) {
        // Within the folder the device is the folder's, which a new mount may have changed.
        // A zero identity is a name the run found gone: it never holds anything.
        return at.present && e.fileId != FileId{} &&
               (kind == IdentityKind::SizeAndTime ? at.id == e.fileId
                                                  : at.id.inode == e.fileId.inode);
    };
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        const JournalEntry& e = plan.entries[i];
        NameLookup atOld;
        NameLookup atNew;
        if (listingAnswers) {
            // A stat only where the answer depends on more than the number: whether the file
            // was made since the run, and, beside the file, whether a leftover is ours.
            const std::optional<std::uint64_t> oldInode = oldInodes[i];
            const std::optional<std::uint64_t> newInode = newInodes[i];
            if (untouched) {
                atOld.present = oldInode.has_value();
                atOld.id = atOld.inodeId = {folder->device, oldInode.value_or(0)};
                atNew.present = newInode.has_value();
                atNew.id = atNew.inodeId = {folder->device, newInode.value_or(0)};
                // A leftover's size and identity still come from a stat.
                if (holdsRecorded(atOld, e) && atNew.present && !holdsRecorded(atNew, e) &&
                    !lookUp(dirfd, e.newName, kind, atNew, result.err)) {
                    return cannotExamine();
                }
            } else if (oldInode && *oldInode == e.fileId.inode) {
                if (!lookUp(dirfd, e.oldName, kind, atOld, result.err)) {
                    return cannotExamine();
                }
            } else if (oldInode) {
                atOld.present = true;
                atOld.id = atOld.inodeId = {folder->device, *oldInode};
            }
            if (untouched) {
                // Looked at above.
            } else if (newInode && (*newInode == e.fileId.inode || holdsRecorded(atOld, e))) {
                if (!lookUp(dirfd, e.newName, kind, atNew, result.err)) {
                    return cannotExamine();
                }
            } else if (newInode) {
                atNew.present = true;
                atNew.id = atNew.inodeId = {folder->device, *newInode};
            }
        } else if (listingNames) {
            if ((oldInodes[i] && !lookUp(dirfd, e.oldName, kind, atOld, result.err)) ||
                (newInodes[i] && !lookUp(dirfd, e.newName, kind, atNew, result.err))) {
                return cannotExamine();
            }
        } else if (!lookUp(dirfd, e.oldName, kind, atOld, result.err) ||
                   !lookUp(dirfd, e.newName, kind, atNew, result.err)) {
            return cannotExamine();
        }
        NamesNow now;
        now.oldHolds = holdsRecorded(atOld, e) && !newerThanRun(atOld, plan, false);
        now.newHolds = holdsRecorded(atNew, e) && !newerThanRun(atNew, plan, true);
        now.newTaken = atNew.present && !now.newHolds;
        now.newIsEmptyFile = now.newTaken && atNew.emptyFile;
        // Most runs record neither: no name is hashed for them.
        now.recordedLinked = !recorded.linked.empty() && recorded.linked.count(e.newName) != 0;
        if (plan.mayLeaveReservations && !recorded.reservations.empty()) {
            const auto reservation = recorded.reservations.find(e.newName);
            now.recordedReservation =
                reservation != recorded.reservations.end() && reservation->second == atNew.inodeId;
        }
        const RenameMethod method = cutShortBy(now);
        result.cutShortBy.push_back(method);
        result.states.push_back(method != RenameMethod::Unknown ? EntryState::CutShort
                                : now.oldHolds                  ? EntryState::AtOldName
                                : now.newHolds                  ? EntryState::AtNewName
                                                                : EntryState::Missing);
    }
    return result;
}

}  // namespace

FolderState examine(const JournalPlan& plan) {
    FolderState result;
    const int fd = openRunFolder(plan, result.status, result.err);
    if (fd < 0) {
        return result;
    }
    result = examineAt(fd, plan);
    ::close(fd);
    return result;
}

namespace {

// A run's line of the history; nullopt when its journal is gone.
std::optional<RunSummary> summarize(const std::string& run) {
    RunSummary summary;
    summary.run = run;
    const LockedRun lock(run);
    const JournalRead read = readJournalSummary(run);
    if (read.status == JournalRead::Status::None) {
        return std::nullopt;  // removed meanwhile
    }
    summary.startedAt = read.startedAt;
    summary.files = read.entries;
    for (const JournalPlan& plan : read.plans) {
        summary.folders.push_back(plan.folder);
    }
    summary.merge = read.merge;
    summary.state = read.status == JournalRead::Status::Bad ? RunSummary::State::Bad
                    : lock.busy()                           ? RunSummary::State::InProgress
                    : read.undone                           ? RunSummary::State::Undone
                    : read.ended                            ? RunSummary::State::Done
                    : read.kept                             ? RunSummary::State::Kept
                                                            : RunSummary::State::CutShort;
    return summary;
}

}  // namespace

std::vector<RunSummary> runHistory(const std::string& stateDir) {
    std::vector<RunSummary> history;
    for (const std::string& run : runJournals(stateDir)) {
        if (std::optional<RunSummary> summary = summarize(run)) {
            history.push_back(std::move(*summary));
        }
    }
    return history;
}

bool undoable(const std::string& run) {
    const std::optional<RunSummary> summary = summarize(run);
    // A damaged one too: undo then says so, and sets it aside.
    return summary && summary->state != RunSummary::State::InProgress &&
           summary->state != RunSummary::State::Undone;
}

std::string lastUndoableRun(const std::string& stateDir) {
    for (const std::string& run : runJournals(stateDir)) {
        if (undoable(run)) {
            return run;
        }
    }
    return {};
}

bool hasUndo(const std::string& stateDir) {
    return !stateDir.empty() && !lastUndoableRun(stateDir).empty();
}

UndoReport undoRun(const std::string& run, const UndoControl& control) {
    if (isMergeJournal(run)) {
        return undoMerge(run, control);
    }
    UndoReport report;
    Examined examined;
    if (!prepare(run, control, examined, report)) {
        return report;
    }
    const JournalRead& journal = examined.journal;
    const std::size_t folders = journal.plans.size();
    // Each folder's part, merged in the order a folder after the other would meet them.
    std::vector<UndoReport> parts(folders);
    std::vector<char> refusedIn(folders, 0);
    Progress progress(control, report.entries);
    SyncBatch syncs;
    // Last folder first, and in each the last renamed first: a later rename may have taken a name
    // an earlier one freed.
    inParallel(folders, examined.jobs, [&](std::size_t k) {
        const std::size_t f = folders - 1 - k;
        const JournalPlan& plan = journal.plans[f];
        FolderState& state = examined.states[f];
        UndoReport& part = parts[k];
        if (progress.stopped()) {
            return;
        }
        const int dirfd = reopen(plan, state);
        if (dirfd < 0) {
            refusedIn[k] = reportFolder(plan, state, true, part);
            return;
        }
        const Recorded recorded(plan);
        bool refused = false;
        RenameMethod method = RenameMethod::Unknown;
        for (std::size_t i = plan.entries.size(); i-- > 0;) {
            const JournalEntry& e = plan.entries[i];
            switch (state.states[i]) {
                case EntryState::AtNewName:
                    refused |=
                        !moveEntry(dirfd, plan.folder, e, e.newName, e.oldName, method, part);
                    break;
                case EntryState::CutShort:
                    refused |= !settleCutShort(dirfd, plan, state, i, recorded, false, part);
                    if (state.cutShortBy[i] == RenameMethod::Reservation) {
                        ++part.unchanged;
                    }
                    break;
                case EntryState::AtOldName:
                    ++part.unchanged;
                    break;
                case EntryState::Missing:
                    part.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::Missing, 0});
                    break;
            }
            if (!progress.step()) {
                break;
            }
        }
        refusedIn[k] = refused;
        if (part.renamed + part.reservationsRemoved > 0) {
            syncs.add(dirfd, &part.syncError);
        }
        ::close(dirfd);
    });
    syncs.flush();
    bool refused = false;
    for (std::size_t k = 0; k < folders; ++k) {
        merge(report, parts[k]);
        refused = refused || refusedIn[k] != 0;
    }
    report.cancelled = progress.stopped();
    // A refused rename may succeed later; a file changed since never will come back.
    if (refused || report.cancelled || report.syncError != 0) {
        report.journalKept = true;
        if (!journal.ended && !journal.kept) {
            report.journalError = markKept(run);
        }
    } else {
        report.journalError = markUndone(run);
    }
    return report;
}

UndoReport undoLastRun(const std::string& stateDir, const UndoControl& control) {
    const std::string run = lastUndoableRun(stateDir);
    if (run.empty()) {
        return {};
    }
    return undoRun(run, control);
}

UndoReport finishRun(const std::string& run, const UndoControl& control) {
    if (isMergeJournal(run)) {
        return finishMerge(run, control);
    }
    UndoReport report;
    Examined examined;
    if (!prepare(run, control, examined, report)) {
        return report;
    }
    const JournalRead& journal = examined.journal;
    bool stopped = false;
    Progress progress(control, report.entries);
    SyncBatch syncs;
    // One per folder, for their syncs.
    std::vector<int> syncErrors(journal.plans.size(), 0);
    for (std::size_t f = 0; f < journal.plans.size() && !report.cancelled; ++f) {
        const JournalPlan& plan = journal.plans[f];
        FolderState& state = examined.states[f];
        if (stopped && state.status == FolderState::Status::Ok) {
            for (std::size_t i = 0; i < plan.entries.size(); ++i) {
                if (stillToRename(state, i)) {
                    report.problems.push_back({plan.folder, plan.entries[i].oldName,
                                               plan.entries[i].newName, EntryProblem::NotReached,
                                               0});
                }
            }
            continue;
        }
        const int dirfd = stopped ? -1 : reopen(plan, state);
        if (dirfd < 0) {
            // As the run does at a folder it cannot open: it stops there.
            reportFolder(plan, state, false, report);
            stopped = true;
            continue;
        }
        const Recorded recorded(plan);
        const std::int64_t changedBefore = report.renamed + report.reservationsRemoved;
        RenameMethod method = RenameMethod::Unknown;
        for (std::size_t i = 0; i < plan.entries.size() && !report.cancelled; ++i) {
            const JournalEntry& e = plan.entries[i];
            if (stopped) {
                if (stillToRename(state, i)) {
                    report.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::NotReached, 0});
                }
                continue;
            }
            switch (state.states[i]) {
                case EntryState::CutShort:
                    stopped = !settleCutShort(dirfd, plan, state, i, recorded, true, report);
                    if (stopped || !stillToRename(state, i)) {
                        break;
                    }
                    [[fallthrough]];
                case EntryState::AtOldName:
                    // As the run does: the first refusal ends it.
                    stopped =
                        !moveEntry(dirfd, plan.folder, e, e.oldName, e.newName, method, report);
                    break;
                case EntryState::AtNewName:
                    ++report.unchanged;
                    break;
                case EntryState::Missing:
                    report.problems.push_back(
                        {plan.folder, e.oldName, e.newName, EntryProblem::Missing, 0});
                    break;
            }
            report.cancelled = !progress.step();
        }
        if (report.renamed + report.reservationsRemoved > changedBefore) {
            syncs.add(dirfd, &syncErrors[f]);
        }
        ::close(dirfd);
    }
    syncs.flush();
    for (const int err : syncErrors) {
        report.syncError = report.syncError != 0 ? report.syncError : err;
    }
    // Kept, so the whole run can still be undone, and not offered at the next start again.
    report.journalKept = true;
    if (!journal.kept) {
        report.journalError = markKept(run);
    }
    return report;
}

PendingRun pendingRun(const std::string& stateDir) {
    PendingRun pending;
    for (const std::string& run : runJournals(stateDir)) {
        const LockedRun lock(run);
        if (!lock.valid()) {
            continue;  // a live run, or another process is finishing or undoing it
        }
        // Most runs ended: told from their last records, without reading their renames.
        const JournalRead state = readJournalSummary(run);
        if (state.status == JournalRead::Status::None ||
            (state.status == JournalRead::Status::Ok &&
             (state.ended || state.undone || state.kept))) {
            continue;
        }
        if (state.merge) {
            if (PendingRun merge = pendingMerge(run); merge.status != PendingRun::Status::None) {
                return merge;
            }
            continue;
        }
        const JournalRead journal = readJournal(run);
        if (journal.status == JournalRead::Status::None) {
            continue;
        }
        pending.run = run;
        if (journal.status == JournalRead::Status::Bad) {
            pending.status = PendingRun::Status::BadJournal;
            pending.err = journal.err;
            setAside(run);
            return pending;
        }
        if (journal.ended || journal.undone || journal.kept || journal.entries == 0) {
            continue;  // over, or cut short before a plan of any rename was written
        }
        pending.folder = journal.plans.front().folder;
        bool anyOk = false;
        std::int64_t gone = 0;
        for (const JournalPlan& plan : journal.plans) {
            pending.folders.push_back(plan.folder);
            const FolderState progress = examine(plan);
            if (progress.status == FolderState::Status::DriveAbsent) {
                // Kept for when the drive is back.
                pending.status = PendingRun::Status::DriveAbsent;
                pending.folder = plan.folder;
                pending.drive = driveName(plan);
                return pending;
            }
            if (progress.status != FolderState::Status::Ok) {
                if (!folderGone(progress)) {
                    // Offered only once every folder can be looked at.
                    pending.status = PendingRun::Status::CannotExamine;
                    pending.err = progress.err;
                    pending.folder = plan.folder;
                    return pending;
                }
                gone += static_cast<std::int64_t>(plan.entries.size());
                continue;
            }
            anyOk = true;
            for (std::size_t i = 0; i < progress.states.size(); ++i) {
                switch (progress.states[i]) {
                    case EntryState::CutShort:
                        // A link cut short has the file under its new name already.
                        if (progress.cutShortBy[i] == RenameMethod::Reservation) {
                            ++pending.notDone;
                        } else {
                            ++pending.done;
                        }
                        break;
                    case EntryState::AtNewName:
                        ++pending.done;
                        break;
                    case EntryState::AtOldName:
                        ++pending.notDone;
                        break;
                    case EntryState::Missing:
                        ++pending.missing;
                        break;
                }
            }
        }
        if (!anyOk) {
            pending.status = PendingRun::Status::FolderGone;
            pending.done = pending.notDone = pending.missing = 0;
            return pending;
        }
        pending.status = PendingRun::Status::Pending;
        pending.missing += gone;
        return pending;
    }
    return pending;
}

UndoReport finishPendingRun(const std::string& stateDir, const UndoControl& control) {
    const PendingRun pending = pendingRun(stateDir);
    return pending.status == PendingRun::Status::Pending ? finishRun(pending.run, control)
                                                         : UndoReport{};
}

UndoReport undoPendingRun(const std::string& stateDir, const UndoControl& control) {
    const PendingRun pending = pendingRun(stateDir);
    return pending.status == PendingRun::Status::Pending ? undoRun(pending.run, control)
                                                         : UndoReport{};
}

int keepPendingRun(const std::string& stateDir) {
    const PendingRun pending = pendingRun(stateDir);
    if (pending.run.empty()) {
        return ENOENT;
    }
    const LockedRun lock(pending.run);
    return lock.valid() ? markKept(pending.run) : lock.error();
}

int dropRun(const std::string& run) {
    const LockedRun lock(run);
    if (!lock.valid()) {
        return lock.error();
    }
    return removeJournal(run);
}

}  // namespace fs
