#include "fs/undo/identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

namespace fs {

namespace {

std::int64_t ns(const statx_timestamp& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

bool Seen::emptyFile() const {
    return present && S_ISREG(mode) && size == 0;
}

FileId Seen::as(IdentityKind kind) const {
    switch (kind) {
        case IdentityKind::SizeAndTime:
            return {size, static_cast<std::uint64_t>(modifiedAt)};
        case IdentityKind::Size:
            return {size, 0};
        case IdentityKind::Inode:
            break;
    }
    return inodeId;
}

Seen seeAt(int dirfd, const std::string& name) {
    Seen seen;
    struct statx st {};
    if (::statx(dirfd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) !=
        0) {
        seen.err = errno == ENOENT ? 0 : errno;
        return seen;
    }
    seen.present = true;
    seen.inodeId = {static_cast<std::uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor)),
                    st.stx_ino};
    seen.size = st.stx_size;
    seen.mode = st.stx_mode;
    seen.modifiedAt = ns(st.stx_mtime);
    seen.changedAt = ns(st.stx_ctime);
    seen.bornAt = (st.stx_mask & STATX_BTIME) != 0 ? ns(st.stx_btime) : -1;
    seen.links = st.stx_nlink;
    return seen;
}

Seen seenOf(const struct stat& st) {
    Seen seen;
    seen.present = true;
    seen.inodeId = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    seen.size = static_cast<std::uint64_t>(st.st_size);
    seen.mode = st.st_mode;
    seen.modifiedAt =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    seen.changedAt = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    seen.links = st.st_nlink;
    return seen;
}

bool sameFile(const Seen& seen, const RecordedFile& file) {
    if (!seen.present || file.id == FileId{}) {
        return false;
    }
    if (file.kind != IdentityKind::Inode) {
        // A number handed out again fools nothing here.
        return seen.as(file.kind) == file.id;
    }
    if (seen.inodeId.inode != file.id.inode ||
        (file.device != 0 && seen.inodeId.device != file.device)) {
        return false;
    }
    if (seen.bornAt >= 0) {
        return file.bornBy == 0 || seen.bornAt <= file.bornBy;
    }
    return file.changedBy == 0 || seen.changedAt <= file.changedBy;
}

bool oneFile(const Seen& a, const Seen& b, IdentityKind kind, bool linkMade) {
    if (!a.present || !b.present || (a.mode & S_IFMT) != (b.mode & S_IFMT)) {
        return false;
    }
    if (kind == IdentityKind::Inode) {
        return a.inodeId == b.inodeId;
    }
    return linkMade && a.links >= 2 && b.links >= 2 && a.size == b.size &&
           a.modifiedAt == b.modifiedAt;
}

RecordedFile recordedBefore(const JournalPlan& plan, const JournalEntry& e) {
    // Under its old name the file kept its change time from before the run, or one the run gave
    // it only by moving it back: a birth time tells, a change time does not.
    return {plan.identity, e.fileId, plan.startedAt, 0};
}

RecordedFile recordedAfter(const JournalPlan& plan, const JournalEntry& e) {
    // A rename sets the change time: one after the run's end means the file was made or changed
    // since.
    return {plan.identity, e.fileId, plan.startedAt, plan.endedAt};
}

}  // namespace fs
