#include "fs/undo/examine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "core/paths.h"
#include "fs/merge/steps.h"
#include "fs/undo/identity.h"

namespace fs {

namespace {

// Files made within the coarsest drive's time step (FAT's 2 s) of a recorded moment count as made
// then.
constexpr std::int64_t kCoarsestTime = 2000000000;

// What the run recorded in one folder about names in its target, for lookups by name.
using Names = std::unordered_set<std::string_view>;
using Reservations = std::unordered_map<std::string_view, const JournalPlan::Reservation*>;

Names namesOf(const std::vector<std::string>& names) {
    return Names(names.begin(), names.end());
}

// The last record of a name is the one that may be left: made after it was announced. An intent
// heard of no more never hides a reservation whose identity was recorded before it: a file that
// matches that identity is the run's own whatever came after.
Reservations reservationsOf(const std::vector<JournalPlan::Reservation>& made) {
    Reservations out;
    for (const JournalPlan::Reservation& r : made) {
        const JournalPlan::Reservation*& last = out[r.name];
        if (last == nullptr || r.id != FileId{} || last->id == FileId{}) {
            last = &r;
        }
    }
    return out;
}

// What the run, and the undos and finishes that went on with it, recorded in one folder about
// names in its target (the run's) and in the folder itself (an undo's, back to old names).
struct Recorded {
    Names linked, linkMade, backLinked, backLinkMade;
    Reservations reservations, backReservations;
    explicit Recorded(const JournalPlan& plan)
        : linked(namesOf(plan.linked)),
          linkMade(namesOf(plan.linkMade)),
          backLinked(namesOf(plan.backLinked)),
          backLinkMade(namesOf(plan.backLinkMade)),
          reservations(reservationsOf(plan.reservations)),
          backReservations(reservationsOf(plan.backReservations)) {}
    bool mayHaveLeftover(const std::string& newName, const std::string& oldName) const {
        return linked.count(newName) != 0 || reservations.count(newName) != 0 ||
               backLinked.count(oldName) != 0 || backReservations.count(oldName) != 0;
    }
    // A second name made by a link: the run's to the new name, or an undo's to the old one.
    bool linking(const std::string& newName, const std::string& oldName) const {
        return linked.count(newName) != 0 || backLinked.count(oldName) != 0;
    }
    bool linkHeardMade(const std::string& newName, const std::string& oldName) const {
        return linkMade.count(newName) != 0 || backLinkMade.count(oldName) != 0;
    }
};

// Whether `seen` under `name` is the empty reservation the run recorded making there, by the
// identity read back from it: its device and inode where the drive keeps them, else its time.
// A reservation announced and never heard of again is unknown, and unknown is never ours.
bool isOurReservation(const Reservations& reservations, const std::string& name, const Seen& seen,
                      IdentityKind kind, std::uint64_t deviceNow) {
    if (!seen.emptyFile()) {
        return false;
    }
    const auto found = reservations.find(name);
    if (found == reservations.end()) {
        return false;
    }
    const JournalPlan::Reservation& r = *found->second;
    if (r.id == FileId{}) {
        // Announced, and never heard made (a kill, or a server gone silent, between the create
        // and its record): an empty file made there since is taken for it. Removing an empty
        // file loses no byte; a file with anything in it is never taken.
        return r.at != 0 && seen.modifiedAt >= r.at - kCoarsestTime;
    }
    if (kind == IdentityKind::Inode) {
        return seen.inodeId.inode == r.id.inode && seen.inodeId.device == deviceNow;
    }
    // A drive that numbers its files anew keeps their times, to its own step.
    return r.modifiedAt != 0 && seen.modifiedAt > r.modifiedAt - kCoarsestTime &&
           seen.modifiedAt < r.modifiedAt + kCoarsestTime;
}

// A link the server may have made without a word (it went silent) on a drive that cannot tell
// two names of one file from two files: taken for the run's second name only while both names
// hold the same bytes, size and time, so that removing one loses nothing. Two photos alike in
// size and time but not in bytes both stay.
bool unheardLinkLosesNothing(IdentityKind kind, const Seen& atOld, const Seen& atNew, int dirfd,
                             const std::string& oldName, int targetfd, const std::string& newName) {
    return kind != IdentityKind::Inode && atOld.size == atNew.size &&
           atOld.modifiedAt == atNew.modifiedAt &&
           merge_steps::sameContent(dirfd, oldName, targetfd, newName);
}

// Which method, if any, left the entry's names looking like `now`.
RenameMethod cutShortBy(const NamesNow& now) {
    for (const NoReplaceRename* const* m = methodsThatCutShort(); *m != nullptr; ++m) {
        if ((*m)->cutShort(now)) {
            return (*m)->kind();
        }
    }
    return RenameMethod::Unknown;
}

// A name the folder's listing holds, with the number the listing gave: enough to tell it is there,
// and which file it is where the listing's numbers are stat's.
Seen listedAs(std::uint64_t device, std::uint64_t inode) {
    Seen seen;
    seen.present = true;
    seen.inodeId = {device, inode};
    return seen;
}

// The state of a rename's or a same-drive move's entry from what its two names hold.
EntryState stateOf(const Seen& atOld, const Seen& atNew, bool oldHolds, bool newHolds, bool linked,
                   bool ourReservation, RenameMethod& method) {
    NamesNow now;
    now.oldHolds = oldHolds;
    now.newHolds = newHolds;
    now.newTaken = atNew.present && !newHolds;
    now.newIsEmptyFile = now.newTaken && atNew.emptyFile();
    now.recordedLinked = linked;
    now.recordedReservation = ourReservation;
    method = cutShortBy(now);
    (void)atOld;
    return method != RenameMethod::Unknown ? EntryState::CutShort
           : oldHolds                      ? EntryState::AtOldName
           : newHolds                      ? EntryState::AtNewName
                                           : EntryState::Missing;
}

}  // namespace

const std::string& nameInTarget(const JournalPlan& plan, std::uint64_t i) {
    const EntryEvents* events = plan.eventsOf(i);
    return events != nullptr && !events->numbered.empty() ? events->numbered
                                                          : plan.entries[i].newName;
}

RecordedFile fileBefore(const JournalPlan& plan, std::uint64_t i) {
    RecordedFile file = recordedBefore(plan, plan.entries[i]);
    if (const EntryEvents* events = plan.eventsOf(i); events != nullptr && events->movedAs) {
        file.id = events->movedId;
    }
    return file;
}

RecordedFile fileAfter(const JournalPlan& plan, std::uint64_t i) {
    RecordedFile file = recordedAfter(plan, plan.entries[i]);
    if (const EntryEvents* events = plan.eventsOf(i); events != nullptr && events->movedAs) {
        file.id = events->movedId;
    }
    return file;
}

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

Examination examineWith(int dirfd, const JournalPlan& plan, const Target* target,
                        const Listed* listed) {
    Examination out;
    FolderState& result = out.state;
    // A folder the run removed, emptied, is looked for in its target only.
    const bool removed = dirfd < 0;
    const std::optional<FileId> folder =
        removed ? std::optional(plan.folderId) : fileIdAt(dirfd, ".");
    if (!folder) {
        result.status = FolderState::Status::CannotOpen;
        result.err = errno;
        return out;
    }
    // The device may differ on a new mount; the inode, where the drive keeps it, may not.
    if (!removed && plan.identity == IdentityKind::Inode && folder->inode != plan.folderId.inode &&
        !(plan.making && (plan.madeId == FileId{} || folder->inode == plan.madeId.inode))) {
        result.status = FolderState::Status::OtherFolder;
        return out;
    }
    const int targetfd = target != nullptr ? target->fd : dirfd;
    const std::optional<FileId> targetFolder = target != nullptr ? fileIdAt(targetfd, ".") : folder;
    const std::vector<JournalEntry>& entries = plan.entries;
    result.states.reserve(entries.size());
    result.cutShortBy.reserve(entries.size());
    const Recorded recorded(plan);
    const IdentityKind kind = plan.identity;
    std::optional<Placed> placed;  // where the folder's drive is now, once asked

    // One reading of each folder answers which names are there, and, where the drive keeps
    // inode numbers and the listing gives stat's, which file most are: a stat only where the
    // answer depends on more than the number.
    SortedListing own;
    const SortedListing& listing = listed != nullptr && listed->error >= 0 ? listed->listing : own;
    const bool listingRead =
        removed || (listed != nullptr && listed->error >= 0 ? listed->error : own.read(dirfd)) == 0;
    const SortedListing* targetListing = target == nullptr ? &listing : target->listing;
    if (removed && target == nullptr) {
        result.status = FolderState::Status::CannotOpen;
        result.err = ENOENT;
        return out;
    }
    std::vector<std::optional<std::uint64_t>> oldInodes;
    std::vector<std::optional<std::uint64_t>> newInodes;
    if (listingRead) {
        oldInodes = listing.find(
            entries.size(), [&](std::size_t i) -> std::string_view { return entries[i].oldName; });
    }
    const bool targetRead = target == nullptr ? listingRead : targetListing != nullptr;
    if (targetRead) {
        newInodes = targetListing->find(entries.size(), [&](std::size_t i) -> std::string_view {
            return nameInTarget(plan, i);
        });
    }
    // The listing's numbers are stat's, checked on the first name found; and, while the folder is
    // untouched since the run left it, no file there was made since, so none can have been given
    // the number of one the run renamed.
    bool numbersAnswer =
        !removed && listingRead && kind == IdentityKind::Inode && target == nullptr;
    for (std::size_t i = 0; i < entries.size() && numbersAnswer; ++i) {
        if (oldInodes[i] || newInodes[i]) {
            const std::string& name = oldInodes[i] ? entries[i].oldName : entries[i].newName;
            const Seen byStat = seeAt(dirfd, name);
            numbersAnswer = byStat.present &&
                            byStat.inodeId.inode == *(oldInodes[i] ? oldInodes[i] : newInodes[i]) &&
                            byStat.inodeId.device == folder->device;
            break;
        }
    }
    struct stat folderStat {};
    const bool untouched = numbersAnswer && plan.leftAt != 0 && ::fstat(dirfd, &folderStat) == 0 &&
                           static_cast<std::int64_t>(folderStat.st_mtim.tv_sec) * 1000000000 +
                                   folderStat.st_mtim.tv_nsec ==
                               plan.leftAt;

    // What `name` holds: from the listing where it is absent there, or where its number says all.
    const auto look = [&](int fd, const std::string& name, bool read,
                          const std::optional<std::uint64_t>& inode, std::uint64_t device,
                          const RecordedFile* wanted) -> Seen {
        if (read && !inode) {
            return {};
        }
        if (read && numbersAnswer &&
            (untouched || wanted == nullptr || *inode != wanted->id.inode)) {
            return listedAs(device, *inode);
        }
        return seeAt(fd, name);
    };

    for (std::size_t i = 0; i < entries.size(); ++i) {
        const JournalEntry& e = entries[i];
        const EntryEvents* events = plan.eventsOf(i);
        RecordedFile before = fileBefore(plan, i);
        RecordedFile after = fileAfter(plan, i);
        if (kind == IdentityKind::Inode && !removed) {
            before.device = folder->device;
            after.device = targetFolder ? targetFolder->device : 0;
        }
        const std::string& newName = nameInTarget(plan, i);
        RenameMethod method = RenameMethod::Unknown;
        EntryState state = EntryState::Missing;
        int err = 0;
        // A leftover beside the file needs both names' kind and links from a stat.
        const bool leftoverMayBe = recorded.mayHaveLeftover(newName, e.oldName);
        const Seen atOld =
            leftoverMayBe && (!listingRead || oldInodes[i])
                ? seeAt(dirfd, e.oldName)
                : look(dirfd, e.oldName, listingRead, listingRead ? oldInodes[i] : std::nullopt,
                       folder->device, &before);
        const bool oldHolds = sameFile(atOld, before);
        if (atOld.err != 0) {
            err = atOld.err;
        } else if (events != nullptr && events->trashing) {
            // It went nowhere but to the Trash: its new name is another file's, maybe its twin's.
            state = oldHolds ? EntryState::AtOldName : EntryState::Missing;
            if (!oldHolds) {
                RecordedFile after = fileAfter(plan, i);  // in a Trash of its own drive
                after.device = before.device;
                std::optional<TrashedFile> where;
                if (!events->trashName.empty()) {
                    // Where the journal says it went; on its drive as mounted now.
                    const auto holds = [&](const std::string& dir) {
                        const Seen inTrash = seeAt(AT_FDCWD, dir + "/files/" + events->trashName);
                        err = inTrash.err;
                        if (sameFile(inTrash, after)) {
                            where = TrashedFile{dir, events->trashName};
                        }
                    };
                    holds(events->trashDir);
                    if (!where && err == 0 && !plan.place.mountPoint.empty()) {
                        if (!placed) {
                            placed = placedNow(plan);
                        }
                        const std::string dir = pathNow(plan, *placed, events->trashDir);
                        if (dir != events->trashDir) {
                            holds(dir);
                        }
                    }
                } else {
                    // Recorded by a version that did not know the name beforehand.
                    where = findTrashed(
                        core::joinPath(plan.folder, e.oldName),
                        [&after](const struct stat& st) { return sameFile(seenOf(st), after); });
                }
                if (where) {
                    state = EntryState::Trashed;
                    out.trashed.emplace_back(i, *where);
                }
            }
        } else if (events != nullptr && (events->copying || events->copied)) {
            // Copied to another drive: the original, or its whole copy; or the copy an undo made
            // back whole.
            const bool back =
                oldHolds || (events->copiedBack &&
                             sameFile(atOld, {kind, events->copiedBackId, 0, 0, before.device}));
            state = back ? EntryState::AtOldName : EntryState::Missing;
            if (!back && events->copied) {
                const Seen atNew = seeAt(targetfd, newName);
                err = atNew.err;
                const RecordedFile copy{target != nullptr ? target->plan->identity : kind,
                                        events->copyId, 0, 0};
                if (sameFile(atNew, copy)) {
                    state = EntryState::Copied;
                }
            }
        } else {
            const std::optional<std::uint64_t> newInode =
                targetRead ? newInodes[i] : std::optional<std::uint64_t>();
            const bool lookNew = !targetRead || newInode.has_value();
            Seen atNew;
            if (lookNew) {
                atNew = (oldHolds && leftoverMayBe) || !targetRead
                            ? seeAt(targetfd, newName)
                            : look(targetfd, newName, targetRead, newInode,
                                   targetFolder ? targetFolder->device : 0, &after);
            }
            if (atNew.err != 0) {
                err = atNew.err;
            } else {
                const bool newHolds = sameFile(atNew, after);
                const bool linkedByUs =
                    recorded.linking(newName, e.oldName) && oldHolds && newHolds &&
                    (oneFile(atOld, atNew, kind, recorded.linkHeardMade(newName, e.oldName)) ||
                     unheardLinkLosesNothing(kind, atOld, atNew, dirfd, e.oldName, targetfd,
                                             newName));
                state = stateOf(atOld, atNew, oldHolds, newHolds, linkedByUs,
                                oldHolds && !newHolds && plan.mayLeaveReservations &&
                                    isOurReservation(recorded.reservations, newName, atNew, kind,
                                                     targetFolder ? targetFolder->device : 0),
                                method);
                // An undo cut short between its reservation of the old name and its rename.
                if (state == EntryState::AtNewName && leftoverMayBe &&
                    isOurReservation(recorded.backReservations, e.oldName, atOld, kind,
                                     folder->device)) {
                    out.reservedBack.emplace_back(i, atOld);
                }
            }
        }
        if (err != 0) {
            state = EntryState::Unreachable;
            result.unreachable.emplace_back(i, err);
        }
        result.states.push_back(state);
        result.cutShortBy.push_back(method);
    }
    return out;
}

FolderState examineAt(int dirfd, const JournalPlan& plan) {
    return examineWith(dirfd, plan, nullptr, nullptr).state;
}

FolderState examineAt(int dirfd, const JournalPlan& plan, int targetfd, const JournalPlan& target) {
    Target t;
    t.fd = targetfd;
    t.plan = &target;
    return examineWith(dirfd, plan, &t, nullptr).state;
}

FolderState examine(const JournalPlan& plan) {
    FolderState result;
    Fd fd(openRunFolder(plan, result.status, result.err));
    if (fd.get() < 0) {
        return result;
    }
    return examineAt(fd.get(), plan);
}

}  // namespace fs
