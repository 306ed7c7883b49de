// The one reader of runs' journals: this version's, and the rename's and the merge's of the
// versions before, all into one model of a run. Nothing in a file is trusted.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "core/naming.h"
#include "fs/fd.h"
#include "fs/journal/format.h"

namespace fs {

using namespace journal_format;

const EntryEvents* JournalPlan::eventsOf(std::uint64_t i) const {
    const auto found = std::lower_bound(events.begin(), events.end(), i,
                                        [](const std::pair<std::uint64_t, EntryEvents>& e,
                                           std::uint64_t entry) { return e.first < entry; });
    return found != events.end() && found->first == i ? &found->second : nullptr;
}

namespace {

// The smallest an entry takes in an entries record: two name lengths, one byte of name and an
// identity.
constexpr std::size_t kLeastEntry = 4 + 1 + 4 + 16;

// What a journal's records have told so far.
struct ParseState {
    std::uint32_t version = kVersion;
    bool legacyMerge = false;  // a merge's journal of version 4
    bool streamed = true;      // the plan comes in chunks among the other records
    bool planned = false;      // version 3, and a merge's of version 4: the plan is whole
    bool summary = false;
    std::uint64_t entries = 0;
    std::vector<std::uint64_t> counts;  // each folder's entries so far
    // How many moves each folder's records announce, to make room for them at once: counted
    // from the records' heads before they are checked, so only room is made of them.
    std::vector<std::uint64_t> announced;
    // Each folder's events by entry, where they are in its plan's events.
    std::vector<std::unordered_map<std::uint64_t, std::size_t>> eventAt;
    // A version 4 merge: its destination until its folders are all known, and each entry of its
    // plan (numbered across folders) as its folder and its place there.
    std::optional<JournalPlan> destination;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> legacyEntries;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> legacyLinked;  // entries linked
    EntryEvents scratch;  // a summary's: what is learnt of entries is not kept

    // Whether plan records may still come, and records about the plan may.
    bool planOpen() const { return streamed || !planned; }
    bool planKnown(const JournalRead& read) const {
        return streamed ? !read.plans.empty() || destination.has_value() : planned;
    }
};

bool getPlace(Parser& p, FolderPlace& place) {
    return p.bytes(place.mountIdentity, kMaxPathBytes) && p.bytes(place.mountRoot, kMaxPathBytes) &&
           p.bytes(place.mountPoint, kMaxPathBytes) && p.bytes(place.relative, kMaxPathBytes) &&
           p.bytes(place.label, kMaxPathBytes);
}

// A folder record: its path, identity, kind and place, then what the version adds.
bool getFolder(Parser& p, JournalPlan& plan, std::uint32_t version, bool legacyMerge) {
    std::uint8_t kind = 0;
    if (!p.bytes(plan.folder, kMaxPathBytes) || !validFolder(plan.folder) || !p.id(plan.folderId) ||
        !p.u8(kind) || kind > (version < kFolderRolesVersion ? 1 : 2) || !getPlace(p, plan.place)) {
        return false;
    }
    plan.identity = static_cast<IdentityKind>(kind);
    if (legacyMerge) {
        std::uint8_t walked = 0;
        if (!p.u32(plan.parent) || !p.u32(plan.mode) || !p.i64(plan.accessedAt) ||
            !p.i64(plan.modifiedAt) || !p.u8(walked) || walked > 1) {
            return false;
        }
        plan.walked = walked != 0;
        return true;
    }
    if (version < kFolderRolesVersion) {
        return true;
    }
    std::uint8_t roles = 0;
    if (!p.u32(plan.parent) || !p.u32(plan.target) || !p.u8(roles) || roles > 3 ||
        !p.u32(plan.mode) || !p.u32(plan.uid) || !p.u32(plan.gid) || !p.i64(plan.accessedAt) ||
        !p.i64(plan.modifiedAt)) {
        return false;
    }
    plan.walked = (roles & 1) != 0;
    plan.destination = (roles & 2) != 0;
    return true;
}

// The record of entry `entry` of folder `folder`, made on first use; null when no such entry.
EntryEvents* eventsFor(ParseState& state, JournalRead& read, std::uint32_t folder,
                       std::uint64_t entry) {
    if (folder >= read.plans.size() || entry >= state.counts[folder]) {
        return nullptr;
    }
    if (state.summary) {
        state.scratch = {};
        return &state.scratch;
    }
    JournalPlan& plan = read.plans[folder];
    auto [at, added] = state.eventAt[folder].try_emplace(entry, plan.events.size());
    if (added) {
        plan.events.emplace_back(entry, EntryEvents{});
    }
    return &plan.events[at->second].second;
}

bool addPlan(ParseState& state, JournalRead& read, JournalPlan&& plan) {
    if (read.ended || read.plans.size() >= UINT32_MAX ||
        (plan.parent != kNoFolder && plan.parent >= read.plans.size()) ||
        (plan.target != kNoFolder && plan.target >= read.plans.size())) {
        return false;
    }
    const std::size_t index = read.plans.size();
    if (!state.summary && index < state.announced.size()) {
        plan.entries.reserve(state.announced[index]);
    }
    read.plans.push_back(std::move(plan));
    state.counts.push_back(0);
    state.eventAt.emplace_back();
    return true;
}

// The entries of one record into folder `folder`.
bool getEntries(Parser& p, ParseState& state, JournalRead& read, std::uint32_t folder,
                std::uint32_t count) {
    JournalPlan& plan = read.plans[folder];
    if (count > p.left() / kLeastEntry) {
        return false;
    }
    // Room made for twice as many at a time: a plan comes in many records.
    if (plan.entries.capacity() - plan.entries.size() < count) {
        plan.entries.reserve(std::max(2 * plan.entries.capacity(), plan.entries.size() + count));
    }
    const std::string_view folderName =
        std::string_view(plan.folder).substr(plan.folder.rfind('/') + 1);
    for (std::uint32_t i = 0; i < count; ++i) {
        JournalEntry& e = plan.entries.emplace_back();
        if (!p.bytes(e.oldName, kMaxNameBytes) || !p.bytes(e.newName, kMaxNameBytes) ||
            !p.id(e.fileId)) {
            return false;
        }
        if (e.newName.empty() && state.version >= kStreamedVersion) {
            // The move every run makes: the folder's name, "_" and the old name.
            if (read.kind == RunKind::Merge) {
                core::mergedNameInto(e.newName, folderName, e.oldName);
            } else {
                e.newName = core::prefixedName(plan.folder, e.oldName);
            }
        }
        if (!validName(e.oldName) || !validName(e.newName) ||
            (!plan.moves() && e.oldName == e.newName)) {
            return false;
        }
    }
    return true;
}

// The records of this version, and those a newer undo or finish appends to an older file.
bool applyLearnt(std::uint32_t type, Parser& p, ParseState& state, JournalRead& read) {
    std::vector<JournalPlan>& plans = read.plans;
    std::uint32_t folder = 0;
    std::uint64_t entry = 0;
    // Records of one entry: its folder and its place there.
    const auto entryEvents = [&]() -> EntryEvents* {
        return state.planKnown(read) && p.u32(folder) && p.u64(entry)
                   ? eventsFor(state, read, folder, entry)
                   : nullptr;
    };
    EntryEvents* e = nullptr;
    switch (type) {
        case kLinked: {
            std::string name;
            if (!state.planKnown(read) || !p.u32(folder) || !p.name(name) ||
                folder >= plans.size()) {
                return false;
            }
            plans[folder].linked.push_back(std::move(name));
            return true;
        }
        case kReserving:
        case kReserved: {
            JournalPlan::Reservation r;
            if (!state.planKnown(read) || !p.u32(folder) || !p.name(r.name) ||
                folder >= plans.size() || !(type == kReserving ? p.i64(r.at) : p.id(r.id))) {
                return false;
            }
            plans[folder].reservations.push_back(std::move(r));
            return true;
        }
        case kLinkMade: {
            std::string name;
            if (!state.planKnown(read) || !p.u32(folder) || !p.name(name) ||
                folder >= plans.size()) {
                return false;
            }
            plans[folder].linkMade.push_back(std::move(name));
            return true;
        }
        case kReservationMade:
        case kBackReserving:
        case kBackReservationMade: {
            JournalPlan::Reservation r;
            if (!state.planKnown(read) || !p.u32(folder) || !p.name(r.name) ||
                folder >= plans.size() ||
                !(type == kBackReserving ? p.i64(r.at) : p.id(r.id) && p.i64(r.modifiedAt))) {
                return false;
            }
            (type == kReservationMade ? plans[folder].reservations : plans[folder].backReservations)
                .push_back(std::move(r));
            return true;
        }
        case kBackLinking:
        case kBackLinkMade: {
            std::string name;
            if (!state.planKnown(read) || !p.u32(folder) || !p.name(name) ||
                folder >= plans.size()) {
                return false;
            }
            (type == kBackLinking ? plans[folder].backLinked : plans[folder].backLinkMade)
                .push_back(std::move(name));
            return true;
        }
        case kCopiedBack:
            if ((e = entryEvents()) == nullptr || !p.id(e->copiedBackId)) {
                return false;
            }
            e->copiedBack = true;
            return true;
        case kNumbered:
            return (e = entryEvents()) != nullptr && p.name(e->numbered);
        case kTrashing:
            e = entryEvents();
            if (e == nullptr || !p.bytes(e->trashDir, kMaxPathBytes) ||
                !p.bytes(e->trashName, kMaxNameBytes) ||
                (!e->trashDir.empty() && !validFolder(e->trashDir)) ||
                (!e->trashName.empty() && !validName(e->trashName))) {
                return false;
            }
            e->trashing = true;
            return true;
        case kCopying:
            if ((e = entryEvents()) == nullptr || !p.i64(e->copyingAt)) {
                return false;
            }
            e->copying = true;
            return true;
        case kCopyMade:
            if ((e = entryEvents()) == nullptr || !p.id(e->copyMade)) {
                return false;
            }
            e->copying = true;
            return true;
        case kCopied:
            if ((e = entryEvents()) == nullptr || !p.id(e->copyId) || !p.u32(e->mode) ||
                !p.u32(e->uid) || !p.u32(e->gid) || !p.u32(e->notKept)) {
                return false;
            }
            e->copied = e->ownerKnown = true;
            return true;
        case kCopyingBack:
            if ((e = entryEvents()) == nullptr || !p.id(e->backCopy)) {
                return false;
            }
            e->copyingBack = true;
            return true;
        case kMovedAs:
            if ((e = entryEvents()) == nullptr || !p.id(e->movedId)) {
                return false;
            }
            e->movedAs = true;
            return true;
        case kRemoving: {
            std::uint32_t count = 0;
            if (!state.planKnown(read) || !p.u32(count) || count > p.left() / 4) {
                return false;
            }
            for (std::uint32_t i = 0; i < count; ++i) {
                if (!p.u32(folder) || folder >= plans.size()) {
                    return false;
                }
                plans[folder].removing = true;
            }
            return true;
        }
        case kMakingFolder:
        case kFolderMade:
            if (!state.planKnown(read) || !p.u32(folder) || folder >= plans.size() ||
                (type == kFolderMade && !p.id(plans[folder].madeId))) {
                return false;
            }
            plans[folder].making = true;
            return true;
        case kEnded: {
            std::uint64_t changed = 0;
            std::uint32_t folders = 0;
            if (!state.planKnown(read) || read.ended || !p.u64(changed) || !p.i64(read.endedAt) ||
                !p.u32(folders) || (folders != 0 && folders != plans.size())) {
                return false;
            }
            for (std::uint32_t f = 0; f < folders; ++f) {
                if (!p.i64(plans[f].leftAt)) {
                    return false;
                }
            }
            std::uint8_t flags = 0;
            if (state.version >= kFolderRolesVersion && (!p.u8(flags) || flags > 1)) {
                return false;
            }
            read.ended = true;
            read.cancelled = flags != 0;
            read.renamed = static_cast<std::int64_t>(changed);
            return true;
        }
        case kUndone:
        case kKept: {
            std::int64_t at = 0;
            if (!state.planKnown(read) || !p.i64(at)) {
                return false;
            }
            (type == kUndone ? read.undone : read.kept) = true;
            return true;
        }
        case kPartlyUndone: {
            std::uint64_t back = 0;
            std::uint64_t of = 0;
            std::int64_t at = 0;
            if (!state.planKnown(read) || !p.u64(back) || !p.u64(of) || !p.i64(at) || back > of) {
                return false;
            }
            read.partlyBack = static_cast<std::int64_t>(back);
            read.partlyOf = static_cast<std::int64_t>(of);
            return true;
        }
        default:
            return false;
    }
}

// The plan's records of a rename's journal of versions 3 to 5, and a merge's of version 5.
bool applyPlan(std::uint32_t type, Parser& p, ParseState& state, JournalRead& read) {
    switch (type) {
        case kFolder: {
            JournalPlan plan;
            return state.planOpen() && getFolder(p, plan, state.version, false) &&
                   addPlan(state, read, std::move(plan));
        }
        case kMergeOptions: {
            std::uint8_t bits = 0;
            std::uint32_t destination = 0;
            if (read.kind != RunKind::Merge || read.destination != kNoFolder || !p.u8(bits) ||
                bits > 31 || !p.u32(destination) || destination >= read.plans.size() ||
                !read.plans[destination].destination) {
                return false;
            }
            read.flags = {(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0,
                          (bits & 16) != 0};
            read.destination = destination;
            return true;
        }
        case kEntries: {
            std::uint32_t folder = static_cast<std::uint32_t>(read.plans.size()) - 1;
            std::uint32_t count = 0;
            if (!state.planOpen() || read.ended || (state.streamed && !p.u32(folder)) ||
                folder >= read.plans.size() || !p.u32(count)) {
                return false;
            }
            state.entries += count;
            state.counts[folder] += count;
            return state.summary || getEntries(p, state, read, folder, count);
        }
        case kPlanned: {
            std::uint64_t folders = 0;
            std::uint64_t total = 0;
            if (state.streamed || state.planned || !p.u64(folders) || !p.u64(total) ||
                folders != read.plans.size() || folders == 0 || total != state.entries) {
                return false;
            }
            state.planned = true;
            return true;
        }
        default:
            return applyLearnt(type, p, state, read);
    }
}

// The folder and place of a version 4 merge's entry, numbered across folders; kNoFolder when
// there is none. A summary, which reads no entries, checks the number only.
std::uint32_t legacyEntry(ParseState& state, const JournalRead& read, Parser& p,
                          std::uint64_t& entry) {
    std::uint64_t global = 0;
    if (!state.planKnown(read) || !p.u64(global) || global >= state.entries || read.plans.empty()) {
        return kNoFolder;
    }
    if (state.summary) {
        entry = 0;
        return 0;
    }
    entry = state.legacyEntries[global].second;
    return state.legacyEntries[global].first;
}

// The records of a merge's journal of version 4, into this version's model: its folders in their
// order, the destination after them, each entry in its folder.
bool applyLegacyMerge(std::uint32_t type, Parser& p, ParseState& state, JournalRead& read) {
    std::uint64_t entry = 0;
    std::uint32_t folder = kNoFolder;
    EntryEvents* e = nullptr;
    const auto entryEvents = [&]() -> EntryEvents* {
        folder = legacyEntry(state, read, p, entry);
        return folder == kNoFolder ? nullptr : eventsFor(state, read, folder, entry);
    };
    switch (type) {
        case kMergeTarget: {
            std::uint8_t bits = 0;
            JournalPlan destination;
            if (state.planned || state.destination || !getFolder(p, destination, 4, true) ||
                !p.u8(bits) || bits > 31) {
                return false;
            }
            destination.destination = true;
            destination.parent = kNoFolder;
            state.destination = std::move(destination);
            read.flags = {(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0,
                          (bits & 16) != 0};
            return true;
        }
        case kMergeFolder: {
            JournalPlan plan;
            return !state.planned && state.destination && getFolder(p, plan, 4, true) &&
                   addPlan(state, read, std::move(plan));
        }
        case kMergeEntries: {
            std::uint32_t count = 0;
            if (state.planned || read.ended || read.plans.empty() || !p.u32(count)) {
                return false;
            }
            state.entries += count;
            if (state.summary) {
                return true;  // the entries themselves are not read
            }
            if (count > p.left() / (4 + kLeastEntry + (state.streamed ? 0 : 1))) {
                return false;
            }
            for (std::uint32_t i = 0; i < count; ++i) {
                JournalEntry entryRead;
                if (!p.u32(folder) || folder >= read.plans.size() ||
                    !p.bytes(entryRead.oldName, kMaxNameBytes) ||
                    !p.bytes(entryRead.newName, kMaxNameBytes) || !p.id(entryRead.fileId) ||
                    !validName(entryRead.oldName)) {
                    return false;
                }
                JournalPlan& plan = read.plans[folder];
                if (entryRead.newName.empty() && state.streamed) {
                    core::mergedNameInto(
                        entryRead.newName,
                        std::string_view(plan.folder).substr(plan.folder.rfind('/') + 1),
                        entryRead.oldName);
                }
                if (!validName(entryRead.newName)) {
                    return false;
                }
                state.legacyEntries.emplace_back(folder, state.counts[folder]++);
                plan.entries.push_back(std::move(entryRead));
            }
            return true;
        }
        case kMergePlanned: {
            std::uint64_t folders = 0;
            std::uint64_t entries = 0;
            if (state.planned || !p.u64(folders) || !p.u64(entries) ||
                folders != read.plans.size() || entries != state.entries) {
                return false;
            }
            state.planned = true;
            return true;
        }
        case kMergeNumbered:
            return (e = entryEvents()) != nullptr && p.name(e->numbered);
        case kMergeTrashing:
            return (e = entryEvents()) != nullptr && (e->trashing = true);
        case kMergeTrashed:
            if ((e = entryEvents()) == nullptr || !p.bytes(e->trashDir, kMaxPathBytes) ||
                !validFolder(e->trashDir) || !p.name(e->trashName)) {
                return false;
            }
            e->trashing = true;
            return true;
        case kMergeLinked:
            if ((folder = legacyEntry(state, read, p, entry)) == kNoFolder) {
                return false;
            }
            state.legacyLinked.emplace_back(folder, entry);
            return true;
        case kMergeReserved: {
            FileId id;
            if ((folder = legacyEntry(state, read, p, entry)) == kNoFolder || !p.id(id)) {
                return false;
            }
            // Named when the plan is whole: the name depends on a number given before.
            state.legacyLinked.emplace_back(folder, entry | (std::uint64_t{1} << 63));
            read.plans[folder].reservations.push_back({{}, id, 0});
            return true;
        }
        case kMergeCopying: {
            FileId id;
            std::int64_t at = 0;
            if ((e = entryEvents()) == nullptr || !p.id(id) || !p.i64(at)) {
                return false;
            }
            e->copying = true;
            if (id == FileId{}) {
                e->copyingAt = at;
            } else {
                e->copyMade = id;
            }
            return true;
        }
        case kMergeCopied:
            if ((e = entryEvents()) == nullptr || !p.id(e->copyId)) {
                return false;
            }
            e->copied = true;
            // Journals of earlier versions end the record here.
            if (p.left() != 0) {
                e->ownerKnown = p.u32(e->mode) && p.u32(e->uid) && p.u32(e->gid);
                return e->ownerKnown;
            }
            return true;
        case kMergeCopyBack:
            if ((e = entryEvents()) == nullptr || !p.id(e->backCopy)) {
                return false;
            }
            e->copyingBack = true;
            return true;
        case kMergeRemoving: {
            std::uint32_t count = 0;
            if (!state.planKnown(read) || !p.u32(count) || count > p.left() / 4) {
                return false;
            }
            for (std::uint32_t i = 0; i < count; ++i) {
                if (!p.u32(folder) || folder >= read.plans.size()) {
                    return false;
                }
                read.plans[folder].removing = true;
            }
            return true;
        }
        case kMergeEnded:
            if (!state.planKnown(read) || read.ended || !p.i64(read.endedAt)) {
                return false;
            }
            read.ended = true;
            return true;
        default:
            // What a newer undo or finish appended.
            return applyLearnt(type, p, state, read);
    }
}

// The destination of a merge of version 4 put after its folders, and its names of links and
// reservations made out of the entries they were recorded for.
bool finishLegacyMerge(ParseState& state, JournalRead& read) {
    if (!state.destination) {
        return false;
    }
    const std::uint32_t destination = static_cast<std::uint32_t>(read.plans.size());
    std::vector<std::size_t> reservationAt(read.plans.size(), 0);
    for (const auto& [folder, tagged] : state.legacyLinked) {
        const std::uint64_t entry = tagged & ~(std::uint64_t{1} << 63);
        JournalPlan& plan = read.plans[folder];
        if (entry >= plan.entries.size()) {
            continue;  // a summary holds no entries
        }
        const EntryEvents* events = plan.eventsOf(entry);
        const std::string& name = events != nullptr && !events->numbered.empty()
                                      ? events->numbered
                                      : plan.entries[entry].newName;
        if ((tagged >> 63) != 0) {
            plan.reservations[reservationAt[folder]++].name = name;
        } else {
            plan.linked.push_back(name);
        }
    }
    for (JournalPlan& plan : read.plans) {
        plan.target = destination;
    }
    read.plans.push_back(std::move(*state.destination));
    read.destination = destination;
    return true;
}

// Reads a run's records from `fd` of `size` bytes. A summary checks the head of every record but
// skips the moves themselves, reading only their count: enough to list the run and tell its
// state, cheap for a run of a million files.
JournalRead parseJournal(int fd, std::uint64_t size, bool summary) {
    JournalRead result;
    result.status = JournalRead::Status::Bad;
    // Not cleared first: every byte is read over.
    std::unique_ptr<char[]> whole;
    std::string scratch;
    if (!summary) {
        whole = std::make_unique_for_overwrite<char[]>(size);
        if ((result.err = preadAll(fd, whole.get(), size, 0)) != 0) {
            return result;
        }
    }
    // The bytes [at, at + n), from memory or read now; empty when they cannot be read.
    const auto bytesAt = [&](std::uint64_t at, std::size_t n) -> std::string_view {
        if (!summary) {
            return std::string_view(whole.get(), size).substr(at, n);
        }
        scratch.resize(n);
        if ((result.err = preadAll(fd, scratch.data(), n, static_cast<long>(at))) != 0) {
            return {};
        }
        return scratch;
    };
    const std::string_view head = bytesAt(0, kHeadBytes);
    if (head.size() != kHeadBytes) {
        return result;
    }
    ParseState state;
    state.summary = summary;
    state.version = static_cast<std::uint32_t>(getLE(head.data() + 8, 4));
    const auto flags = static_cast<std::uint32_t>(getLE(head.data() + 12, 4));
    result.startedAt = static_cast<std::int64_t>(getLE(head.data() + 16, 8));
    const std::uint32_t version = state.version;
    state.legacyMerge = version == kStreamedVersion && (flags & kMerge) != 0;
    const bool flagsKnown =
        version >= kFolderRolesVersion ? (flags & ~(kMayLeaveReservations | kMerge)) == 0
        : state.legacyMerge            ? (flags == kMerge || flags == (kMerge | kMergeStreamed))
                                       : (flags & ~kMayLeaveReservations) == 0;
    if (std::memcmp(head.data(), kMagic, sizeof kMagic) != 0 ||
        (version != kVersion && version != kFolderRolesVersion && version != kStreamedVersion &&
         version != kWholePlanVersion) ||
        !flagsKnown || getLE(head.data() + 24, 8) != checksumOf(version)(head.substr(0, 24))) {
        return result;
    }
    const Checksum checksum = checksumOf(version);
    result.kind = (flags & kMerge) != 0 ? RunKind::Merge : RunKind::Rename;
    state.streamed =
        state.legacyMerge ? (flags & kMergeStreamed) != 0 : version != kWholePlanVersion;
    if (!summary && version != kWholePlanVersion && !state.legacyMerge) {
        // Each entries record names its folder, among those before it, and how many it holds.
        std::size_t folders = 0;
        for (std::uint64_t pos = kHeadBytes; size - pos >= kRecordFrame;) {
            const char* const at = whole.get() + pos;
            const std::uint64_t length = getLE(at + 4, 4);
            if (length > size - pos - kRecordFrame) {
                break;
            }
            const auto type = static_cast<std::uint32_t>(getLE(at, 4));
            folders += type == kFolder ? 1 : 0;
            if (type == kEntries && length >= 8 && getLE(at + kRecordHead, 4) < folders) {
                const auto folder = static_cast<std::size_t>(getLE(at + kRecordHead, 4));
                state.announced.resize(std::max(state.announced.size(), folder + 1));
                state.announced[folder] +=
                    std::min<std::uint64_t>(getLE(at + kRecordHead + 4, 4), length / kLeastEntry);
            }
            pos += kRecordFrame + length;
        }
    }
    // Damaged: nothing read is kept but what the head said, so no index read so far points into
    // plans that are gone.
    // Done in place: `result` may be the very object returned.
    const auto bad = [&result] {
        const RunKind kind = result.kind;
        const std::int64_t startedAt = result.startedAt;
        result = JournalRead{};
        result.status = JournalRead::Status::Bad;
        result.kind = kind;
        result.startedAt = startedAt;
    };
    for (std::uint64_t pos = kHeadBytes; pos < size;) {
        const std::uint64_t left = size - pos;
        if (left < kRecordFrame) {
            break;  // a record a kill cut short
        }
        const std::string recordHead(bytesAt(pos, kRecordHead));
        if (recordHead.size() != kRecordHead) {
            bad();
            return result;
        }
        const auto type = static_cast<std::uint32_t>(getLE(recordHead.data(), 4));
        const std::uint64_t length = getLE(recordHead.data() + 4, 4);
        if (getLE(recordHead.data() + 8, 4) !=
            static_cast<std::uint32_t>(checksum(std::string_view(recordHead).substr(0, 8)))) {
            bad();
            return result;
        }
        if (length > left - kRecordFrame) {
            break;  // cut short at the very end
        }
        const bool last = pos + kRecordFrame + length == size;
        // A record being written when the run was killed is the last one; before the plan was
        // whole, a file of version 3 was never put in place.
        const bool mayBeTorn = last && (state.streamed || state.planned);
        const bool entries = type == (state.legacyMerge ? kMergeEntries : kEntries);
        if (summary && entries && state.planOpen() && !mayBeTorn) {
            // Only its count is wanted, and, for a folder's, the folder.
            const std::size_t prefix = state.streamed && !state.legacyMerge ? 8 : 4;
            const std::string counts(bytesAt(pos + kRecordHead, prefix));
            Parser p(counts);
            if (counts.size() != prefix || length < prefix ||
                !(state.legacyMerge ? applyLegacyMerge(type, p, state, result)
                                    : applyPlan(type, p, state, result))) {
                bad();
                return result;
            }
            pos += kRecordFrame + length;
            continue;
        }
        const std::string_view record = bytesAt(pos, kRecordHead + length + 8);
        if (record.size() != kRecordHead + length + 8) {
            bad();
            return result;
        }
        const std::uint64_t sum = getLE(record.data() + kRecordHead + length, 8);
        if (sum != checksum(record.substr(0, kRecordHead + length))) {
            if (mayBeTorn) {
                break;  // its bytes were being written when the run was killed
            }
            bad();
            return result;
        }
        Parser p(record.substr(kRecordHead, length));
        const bool applied = state.legacyMerge ? applyLegacyMerge(type, p, state, result)
                                               : applyPlan(type, p, state, result);
        // A summary reads an entries record's head only.
        if (!applied || (p.left() != 0 && !(summary && entries))) {
            bad();
            return result;
        }
        pos += kRecordFrame + length;
    }
    if (state.legacyMerge && !finishLegacyMerge(state, result)) {
        bad();
        return result;
    }
    if (!state.planKnown(result) || result.plans.empty() ||
        (result.kind == RunKind::Merge && result.destination == kNoFolder)) {
        bad();
        return result;
    }
    result.entries = static_cast<std::int64_t>(state.entries);
    for (JournalPlan& plan : result.plans) {
        plan.mayLeaveReservations = (flags & kMayLeaveReservations) != 0 || state.legacyMerge;
        plan.startedAt = result.startedAt;
        plan.endedAt = result.endedAt;
        std::sort(plan.events.begin(), plan.events.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    result.status = JournalRead::Status::Ok;
    return result;
}

JournalRead openAndParse(const std::string& path, bool summary) {
    JournalRead result;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        if (errno != ENOENT) {
            result.status = JournalRead::Status::Bad;
            result.err = errno;
        }
        return result;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        result.status = JournalRead::Status::Bad;
        result.err = errno;
    } else if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kHeadBytes) ||
               static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        result.status = JournalRead::Status::Bad;
    } else {
        result = parseJournal(fd.get(), static_cast<std::uint64_t>(st.st_size), summary);
    }
    return result;
}

}  // namespace

JournalRead readJournal(const std::string& path) {
    return openAndParse(path, false);
}

JournalRead readJournalSummary(const std::string& path) {
    return openAndParse(path, true);
}

}  // namespace fs
