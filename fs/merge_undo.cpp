// Undo and finish of a merge, from its journal and from what the disk holds now: where each
// file is (its old name, its new name, a copy on the destination's drive, the Trash) is told by
// the identity the journal recorded, never by a name alone.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "core/paths.h"
#include "fs/fd.h"
#include "fs/merge/steps.h"
#include "fs/syscalls.h"
#include "fs/merge/trash.h"
#include "fs/undo.h"

namespace fs {

namespace {

JournalPlan planOf(const MergeFolder& folder) {
    JournalPlan plan;
    plan.folder = folder.path;
    plan.folderId = folder.id;
    plan.identity = folder.identity;
    plan.place = folder.place;
    return plan;
}

// What the merge recorded of each entry, its records folded into one.
std::unordered_map<std::uint64_t, MergeDone> doneByEntry(const MergeJournalRead& journal) {
    std::unordered_map<std::uint64_t, MergeDone> byEntry;
    for (const auto& [entry, record] : journal.done) {
        MergeDone& d = byEntry[entry];
        if (!record.numbered.empty()) {
            d.numbered = record.numbered;
        }
        d.trashing = d.trashing || record.trashing;
        if (!record.trashName.empty()) {
            d.trashDir = record.trashDir;
            d.trashName = record.trashName;
        }
        d.linked = d.linked || record.linked;
        if (record.reserved) {
            d.reserved = true;
            d.reservation = record.reservation;
        }
        if (record.copying) {
            d.copying = true;
            d.copyReservation = record.copyReservation;
            if (record.copyReservation == FileId{}) {
                d.copyingAt = record.copyingAt;
            }
        }
        if (record.copied) {
            d.copied = true;
            d.copyId = record.copyId;
            d.ownerKnown = record.ownerKnown;
            d.mode = record.mode;
            d.uid = record.uid;
            d.gid = record.gid;
        }
        if (record.copyingBack) {
            d.copyingBack = true;
            d.backReservation = record.backReservation;
        }
    }
    return byEntry;
}

// Tells the file of an entry, as its folder's identity kind does: by inode on the folder's own
// drive (`device`, which a new mount may have changed), else by size and time.
struct Identity {
    IdentityKind kind = IdentityKind::Inode;
    FileId id;
    std::uint64_t device = 0;
    bool matches(const struct stat& st) const {
        if (id == FileId{}) {
            return false;
        }
        if (kind == IdentityKind::SizeAndTime) {
            return identityOf(st, kind) == id;
        }
        return static_cast<std::uint64_t>(st.st_ino) == id.inode &&
               static_cast<std::uint64_t>(st.st_dev) == device;
    }
};

bool holds(int dirfd, const std::string& name, const Identity& identity) {
    struct stat st {};
    return dirfd >= 0 && ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           identity.matches(st);
}

bool holdsInode(int dirfd, const std::string& name, FileId inode) {
    struct stat st {};
    return dirfd >= 0 && ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           static_cast<std::uint64_t>(st.st_dev) == inode.device &&
           static_cast<std::uint64_t>(st.st_ino) == inode.inode;
}

int removeIfInode(int dirfd, const std::string& name, FileId inode) {
    if (!holdsInode(dirfd, name, inode)) {
        return ESTALE;
    }
    return syscalls().unlinkat(dirfd, name.c_str(), 0) == 0 ? 0 : errno;
}

// A copy the merge was about to make when it was killed: a drive that serves its requests apart
// (FUSE) may make the file after the kill, unheard of. What stands under its name then is taken
// for it only while it is an empty file, made since (within the coarsest drive's 2 s of time).
int removeIfMadeEmpty(int dirfd, const std::string& name, std::int64_t about) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != 0 ||
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec <
            about - 2000000000) {
        return ESTALE;
    }
    return syscalls().unlinkat(dirfd, name.c_str(), 0) == 0 ? 0 : errno;
}

std::uint64_t deviceOf(int fd) {
    struct stat st {};
    return fd >= 0 && ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_dev) : 0;
}

// A merge's journal read under its lock, with its destination opened.
struct Merge {
    std::unique_ptr<LockedRun> lock;
    MergeJournalRead journal;
    std::unordered_map<std::uint64_t, MergeDone> done;
    Fd dest;
    Identity destIdentity;  // kind and device of the destination's drive
};

// The folder of a merge's journal opened for acting in it: the very folder, or, for one the
// merge removed, whatever folder lies at its path now (undo made it again).
int openMergeFolder(const MergeJournalRead& journal, std::uint32_t f, FolderState::Status& status,
                    int& err) {
    const MergeFolder& folder = journal.folders[f];
    int fd = openRunFolder(planOf(folder), status, err);
    if (fd < 0 && status == FolderState::Status::OtherFolder) {
        for (const std::uint32_t removed : journal.removing) {
            if (removed == f) {
                fd = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                status = fd >= 0 ? FolderState::Status::Ok : FolderState::Status::CannotOpen;
                err = fd >= 0 ? 0 : errno;
                break;
            }
        }
    }
    return fd;
}

// Takes the lock, reads the journal, opens the destination; false (with `report` saying why)
// when nothing can be done.
bool prepareMerge(const std::string& run, Merge& merge, UndoReport& report) {
    report.run = run;
    report.merge = true;
    merge.lock = std::make_unique<LockedRun>(run);
    if (!merge.lock->valid()) {
        const bool busy = merge.lock->busy();
        report.status = busy ? UndoReport::Status::InProgress : UndoReport::Status::Nothing;
        report.err = busy ? 0 : merge.lock->error();
        return false;
    }
    merge.journal = readMergeJournal(run);
    const MergeJournalRead& journal = merge.journal;
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
    // Undo and finish append to it: a record torn at its end goes first.
    report.journalError = cutTornTail(run);
    for (const MergeFolder& folder : journal.folders) {
        if (folder.parent == kNoFolder) {
            report.folders.push_back(folder.path);
        }
    }
    report.folders.push_back(journal.destination.path);
    report.folder = report.folders.front();
    report.entries = static_cast<std::int64_t>(journal.entries.size());
    FolderState::Status status = FolderState::Status::Ok;
    int err = 0;
    const JournalPlan destination = planOf(journal.destination);
    merge.dest.reset(openRunFolder(destination, status, err));
    if (merge.dest.get() < 0) {
        report.journalKept = true;
        report.folder = journal.destination.path;
        report.err = err;
        if (status == FolderState::Status::DriveAbsent) {
            report.status = UndoReport::Status::DriveAbsent;
            report.drive = !destination.place.label.empty() ? destination.place.label
                                                            : destination.place.mountPoint;
        } else if (status == FolderState::Status::OtherFolder ||
                   (status == FolderState::Status::CannotOpen &&
                    (err == ENOENT || err == ENOTDIR))) {
            report.status = UndoReport::Status::FolderGone;
        } else {
            report.status = UndoReport::Status::CannotExamine;
        }
        return false;
    }
    merge.destIdentity = {journal.destination.identity, {}, deviceOf(merge.dest.get())};
    merge.done = doneByEntry(journal);
    report.status = UndoReport::Status::Done;
    return true;
}

// Where an entry's file is now.
struct Whereabouts {
    enum Kind { AtOld, Moved, Copied, Trashed, Missing } kind = Missing;
    std::string newName;  // its name in the destination
    std::optional<TrashedFile> trashed;
};

// One entry of a merge and the folders it lies between.
struct EntryAt {
    const MergeEntry& e;
    const MergeDone& d;
    int srcfd;
    Identity file;  // the file, as its own folder tells it
    Identity copy;  // its copy on the destination's drive
    std::string sourcePath;
};

Whereabouts locate(const EntryAt& at, int destfd, bool searchTrash) {
    Whereabouts w;
    w.newName = at.d.numbered.empty() ? at.e.newName : at.d.numbered;
    if (holds(at.srcfd, at.e.name, at.file)) {
        w.kind = Whereabouts::AtOld;
    } else if (holds(destfd, w.newName, at.file)) {
        w.kind = Whereabouts::Moved;
    } else if (at.d.copied && holds(destfd, w.newName, at.copy)) {
        w.kind = Whereabouts::Copied;
    } else if (at.d.trashing) {
        const IsFile isOurs = [&](const struct stat& st) { return at.file.matches(st); };
        const TrashedFile recorded{at.d.trashDir, at.d.trashName};
        if (!at.d.trashName.empty() && holdsTrashed(recorded, isOurs)) {
            w.trashed = recorded;
        } else if (searchTrash) {
            w.trashed = findTrashed(at.sourcePath, isOurs);
        }
        w.kind = w.trashed ? Whereabouts::Trashed : Whereabouts::Missing;
    }
    return w;
}

// Removes what a move of the entry cut short left under its new name, while the file is still
// under its old one: a second link, an empty reservation, a copy begun or whole.
void dropLeftovers(const EntryAt& at, int destfd, const std::string& newName) {
    if (at.d.linked && holds(destfd, newName, at.file)) {
        renameMethod(RenameMethod::LinkThenUnlink)
            .rollBack(at.srcfd, at.e.name, destfd, newName, at.e.fileId, {});
    } else if (at.d.reserved) {
        renameMethod(RenameMethod::Reservation)
            .rollBack(at.srcfd, at.e.name, destfd, newName, at.e.fileId, at.d.reservation);
    } else if (at.d.copying && at.d.copyReservation != FileId{}) {
        removeIfInode(destfd, newName, at.d.copyReservation);
    } else if (at.d.copying) {
        removeIfMadeEmpty(destfd, newName, at.d.copyingAt);
    }
}

EntryProblem problemOf(int err) {
    return err == EEXIST || err == ENOTEMPTY ? EntryProblem::NameTaken : EntryProblem::RenameFailed;
}

// Walks a merge's entries in `reverse` or plan order, one source folder open at a time.
template <class Act>
void forEachEntry(Merge& merge, bool reverse, const UndoControl& control, UndoReport& report,
                  bool sync, Act&& act) {
    const MergeJournalRead& journal = merge.journal;
    const std::size_t n = journal.entries.size();
    Fd src;
    std::uint32_t open = kNoFolder;
    FolderState::Status status = FolderState::Status::Ok;
    int err = 0;
    std::uint64_t device = 0;
    const MergeDone none;
    for (std::size_t k = 0; k < n && !report.cancelled; ++k) {
        const std::size_t i = reverse ? n - 1 - k : k;
        const MergeEntry& e = journal.entries[i];
        if (e.folder != open) {
            if (sync && src.get() >= 0 && syscalls().fsync(src.get()) != 0 &&
                report.syncError == 0) {
                report.syncError = errno;
            }
            src.reset(openMergeFolder(journal, e.folder, status, err));
            open = e.folder;
            device = deviceOf(src.get());
            // A folder the merge emptied and removed: its files, moved on their own drive, are
            // told on the destination's drive as it is mounted now.
            if (src.get() < 0 &&
                journal.folders[e.folder].id.device == journal.destination.id.device) {
                device = merge.destIdentity.device;
            }
        }
        const MergeFolder& folder = journal.folders[e.folder];
        const auto found = merge.done.find(i);
        EntryAt at{e,
                   found != merge.done.end() ? found->second : none,
                   src.get(),
                   {folder.identity, e.fileId, device},
                   {merge.destIdentity.kind, {}, merge.destIdentity.device},
                   core::joinPath(folder.path, e.name)};
        at.copy.id = at.d.copyId;
        act(i, at, status, err);
        if (control.progress &&
            !control.progress(static_cast<std::int64_t>(k + 1), static_cast<std::int64_t>(n))) {
            report.cancelled = true;
        }
    }
    if (sync && src.get() >= 0 && syscalls().fsync(src.get()) != 0 && report.syncError == 0) {
        report.syncError = errno;
    }
}

void problem(UndoReport& report, const MergeJournalRead& journal, const EntryAt& at,
             const std::string& newName, EntryProblem why, int err) {
    report.problems.push_back({journal.folders[at.e.folder].path, at.e.name,
                               core::joinPath(journal.destination.path, newName), why, err});
}

timespec timespecOf(std::int64_t ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Makes again, parents first, the folders the merge removed and that are not there: with their
// modes; their times once their files are back. Returns the folders made.
std::vector<std::uint32_t> remakeFolders(const MergeJournalRead& journal) {
    std::unordered_set<std::uint32_t> removed(journal.removing.begin(), journal.removing.end());
    std::vector<std::uint32_t> made;
    for (std::uint32_t f = 0; f < journal.folders.size(); ++f) {
        const MergeFolder& folder = journal.folders[f];
        struct stat st {};
        if (removed.count(f) == 0 || ::lstat(folder.path.c_str(), &st) == 0 || errno != ENOENT) {
            continue;
        }
        if (::mkdir(folder.path.c_str(), folder.mode & 07777) == 0) {
            ::chmod(folder.path.c_str(), folder.mode & 07777);  // whatever the umask took
            made.push_back(f);
        }
    }
    return made;
}

// Removes, deepest first, the folders of the merge's walk that are empty now; recorded first.
std::int64_t removeEmptiedFolders(const MergeJournalRead& journal, MergeJournalWriter& writer) {
    std::vector<std::uint32_t> candidates;
    for (std::uint32_t f = static_cast<std::uint32_t>(journal.folders.size()); f-- > 0;) {
        struct stat st {};
        if (journal.folders[f].walked && ::lstat(journal.folders[f].path.c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_ino) == journal.folders[f].id.inode) {
            candidates.push_back(f);
        }
    }
    if (candidates.empty() || writer.recordRemoving(candidates) != 0) {
        return 0;
    }
    std::int64_t removed = 0;
    for (const std::uint32_t f : candidates) {
        removed += ::rmdir(journal.folders[f].path.c_str()) == 0 ? 1 : 0;
    }
    return removed;
}

}  // namespace

UndoReport undoMerge(const std::string& run, const UndoControl& control) {
    UndoReport report;
    Merge merge;
    if (!prepareMerge(run, merge, report)) {
        return report;
    }
    const MergeJournalRead& journal = merge.journal;
    const int destfd = merge.dest.get();
    const std::vector<std::uint32_t> made = remakeFolders(journal);
    bool refused = false;
    forEachEntry(
        merge, true, control, report, true,
        [&](std::size_t i, const EntryAt& at, FolderState::Status status, int err) {
            if (at.srcfd < 0) {
                const bool absent = status == FolderState::Status::DriveAbsent;
                problem(report, journal, at, at.e.newName,
                        absent ? EntryProblem::DriveAbsent : EntryProblem::FolderGone, err);
                refused = refused || absent;
                return;
            }
            // A copy back begun by an earlier undo: taken away while the copy it came from stands.
            if (at.d.copyingBack && holdsInode(at.srcfd, at.e.name, at.d.backReservation)) {
                const std::string newName = at.d.numbered.empty() ? at.e.newName : at.d.numbered;
                if (!(at.d.copied && holds(destfd, newName, at.copy))) {
                    ++report.unchanged;  // it is back: the copy went after it was whole
                    return;
                }
                removeIfInode(at.srcfd, at.e.name, at.d.backReservation);
            }
            const Whereabouts w = locate(at, destfd, true);
            int moveErr = 0;
            switch (w.kind) {
                case Whereabouts::AtOld:
                    dropLeftovers(at, destfd, w.newName);
                    ++report.unchanged;
                    return;
                case Whereabouts::Moved: {
                    RenameMethod method = RenameMethod::Unknown;
                    const core::RenameStatus status =
                        renameNoReplace(destfd, w.newName, at.srcfd, at.e.name, method);
                    moveErr = status.done() ? 0 : (status.error != 0 ? status.error : EIO);
                    break;
                }
                case Whereabouts::Copied: {
                    // The copy's drive may have kept neither mode nor owner: the original's.
                    const merge_steps::Owner owner{at.d.mode, at.d.uid, at.d.gid};
                    moveErr = merge_steps::copyThenRemove(
                        destfd, w.newName, at.srcfd, at.e.name, at.file.kind,
                        [&](FileId id) { return recordMergeCopyBack(run, i, id); },
                        [](FileId, const merge_steps::Owner&) { return 0; },
                        at.d.ownerKnown ? &owner : nullptr);
                    break;
                }
                case Whereabouts::Trashed: {
                    const IsFile isOurs = [&](const struct stat& st) {
                        return at.file.matches(st);
                    };
                    moveErr = restoreTrashed(*w.trashed, isOurs, at.srcfd, at.e.name);
                    break;
                }
                case Whereabouts::Missing:
                    problem(report, journal, at, w.newName, EntryProblem::Missing, 0);
                    return;
            }
            if (moveErr == 0) {
                ++report.renamed;
            } else {
                refused = true;
                problem(report, journal, at, w.newName, problemOf(moveErr), moveErr);
            }
        });
    // The folders made again get their times once their files are back.
    for (const std::uint32_t f : made) {
        const MergeFolder& folder = journal.folders[f];
        const timespec times[2] = {timespecOf(folder.accessedAt), timespecOf(folder.modifiedAt)};
        ::utimensat(AT_FDCWD, folder.path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    if (journal.flags.destinationMade && !report.cancelled) {
        merge.dest.reset();
        ::rmdir(journal.destination.path.c_str());  // only if empty
    } else if (syscalls().fsync(destfd) != 0 && report.syncError == 0) {
        report.syncError = errno;
    }
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

UndoReport finishMerge(const std::string& run, const UndoControl& control) {
    UndoReport report;
    Merge merge;
    if (!prepareMerge(run, merge, report)) {
        return report;
    }
    const MergeJournalRead& journal = merge.journal;
    const int destfd = merge.dest.get();
    MergeJournalWriter writer;
    if ((report.journalError = writer.resume(run)) != 0) {
        report.journalKept = true;
        return report;
    }
    merge_steps::Mover mover(destfd, merge.destIdentity.kind, journal.flags, &writer);
    std::unordered_map<std::uint32_t, merge_steps::Source> sources;
    forEachEntry(
        merge, false, control, report, true,
        [&](std::size_t i, const EntryAt& at, FolderState::Status status, int err) {
            const Whereabouts w = locate(at, destfd, false);
            if (w.kind == Whereabouts::Moved || w.kind == Whereabouts::Copied ||
                w.kind == Whereabouts::Trashed ||
                (w.kind == Whereabouts::Missing && at.d.trashing)) {
                ++report.unchanged;  // done before the merge was cut short
                return;
            }
            if (at.srcfd < 0 || w.kind != Whereabouts::AtOld) {
                const bool absent = status == FolderState::Status::DriveAbsent;
                problem(report, journal, at, w.newName,
                        at.srcfd >= 0 ? EntryProblem::Missing
                        : absent      ? EntryProblem::DriveAbsent
                                      : EntryProblem::FolderGone,
                        at.srcfd >= 0 ? 0 : err);
                return;
            }
            // Cut short between a move's steps: completed where the file stands whole at both
            // names, else what was begun is taken away and the file moved again.
            if (at.d.linked && holds(destfd, w.newName, at.file)) {
                if (renameMethod(RenameMethod::LinkThenUnlink)
                        .complete(at.srcfd, at.e.name, destfd, w.newName, at.e.fileId) == 0) {
                    ++report.renamed;
                    return;
                }
            }
            if (at.d.copied && holds(destfd, w.newName, at.copy) &&
                merge_steps::sameContent(at.srcfd, at.e.name, destfd, w.newName)) {
                if (syscalls().unlinkat(at.srcfd, at.e.name.c_str(), 0) == 0) {
                    ++report.renamed;
                    return;
                }
            }
            dropLeftovers(at, destfd, w.newName);
            merge_steps::Source& source = sources[at.e.folder];
            source.fd = at.srcfd;
            source.path = journal.folders[at.e.folder].path;
            const merge_steps::Outcome outcome = mover.move(source, at.e.name, at.e.newName, i);
            if (outcome.kind == merge_steps::Outcome::Left) {
                problem(report, journal, at, std::string(outcome.name),
                        outcome.err == 0 ? EntryProblem::NameTaken : problemOf(outcome.err),
                        outcome.err);
            } else {
                ++report.renamed;
            }
        });
    if (!journal.flags.keepFolders && !report.cancelled) {
        removeEmptiedFolders(journal, writer);
    }
    if (syscalls().fsync(destfd) != 0 && report.syncError == 0) {
        report.syncError = errno;
    }
    report.journalKept = true;
    if (!report.cancelled) {
        report.journalError = writer.end(true);
    }
    return report;
}

PendingRun pendingMerge(const std::string& run) {
    PendingRun pending;
    pending.run = run;
    const MergeJournalRead journal = readMergeJournal(run);
    if (journal.status == JournalRead::Status::None || journal.ended || journal.undone ||
        journal.kept) {
        pending.status = PendingRun::Status::None;
        return pending;
    }
    if (journal.status == JournalRead::Status::Bad) {
        pending.status = PendingRun::Status::BadJournal;
        pending.err = journal.err;
        setAside(run);
        return pending;
    }
    for (const MergeFolder& folder : journal.folders) {
        if (folder.parent == kNoFolder) {
            pending.folders.push_back(folder.path);
        }
    }
    pending.folders.push_back(journal.destination.path);
    pending.folder = pending.folders.front();
    FolderState::Status status = FolderState::Status::Ok;
    int err = 0;
    const JournalPlan destination = planOf(journal.destination);
    Fd dest(openRunFolder(destination, status, err));
    if (dest.get() < 0) {
        pending.folder = journal.destination.path;
        pending.err = err;
        pending.status = status == FolderState::Status::DriveAbsent
                             ? PendingRun::Status::DriveAbsent
                         : status == FolderState::Status::OtherFolder || err == ENOENT
                             ? PendingRun::Status::FolderGone
                             : PendingRun::Status::CannotExamine;
        pending.drive = !destination.place.label.empty() ? destination.place.label
                                                         : destination.place.mountPoint;
        return pending;
    }
    Merge merge;
    merge.journal = journal;
    merge.done = doneByEntry(journal);
    merge.destIdentity = {journal.destination.identity, {}, deviceOf(dest.get())};
    UndoReport unused;
    forEachEntry(merge, false, {}, unused, false,
                 [&](std::size_t, const EntryAt& at, FolderState::Status, int) {
                     switch (locate(at, dest.get(), true).kind) {
                         case Whereabouts::AtOld:
                             ++pending.notDone;
                             break;
                         case Whereabouts::Moved:
                         case Whereabouts::Copied:
                         case Whereabouts::Trashed:
                             ++pending.done;
                             break;
                         case Whereabouts::Missing:
                             ++pending.missing;
                             break;
                     }
                 });
    pending.status = PendingRun::Status::Pending;
    return pending;
}

}  // namespace fs
