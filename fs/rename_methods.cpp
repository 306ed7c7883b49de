#include "fs/rename_methods.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "fs/merge/steps.h"
#include "fs/namerule.h"
#include "fs/syscalls.h"
#include "fs/write_back.h"

namespace fs {

std::optional<FileId> fileIdAt(int dirfd, const std::string& name) {
    struct stat st {};
    if (syscalls().fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

namespace {

FileId idOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Whether `name` in `dirfd` holds the file `file` right now.
bool holds(int dirfd, const std::string& name, FileId file) {
    const std::optional<FileId> id = fileIdAt(dirfd, name);
    return id && *id == file;
}

// Errors a drive gives when its server or daemon did not answer in time, or the link to it broke.
bool notAnswering(int err) {
    return err == EIO || err == ETIMEDOUT || err == ENOTCONN || err == ECONNABORTED ||
           err == ECONNRESET || err == EHOSTDOWN || err == EHOSTUNREACH || err == ENETDOWN ||
           err == ENETUNREACH;
}

// The failure of a call that changes names: where the drive did not answer, it may have made
// the change all the same.
core::RenameStatus changeFailed(int err) {
    core::RenameStatus status = core::RenameStatus::failed(err);
    status.mayHaveActed = notAnswering(err);
    return status;
}

// One method's rename.
class Method : public NoReplaceRename {
public:
    using NoReplaceRename::rename;
    core::RenameStatus rename(int fromDir, const std::string& from, int toDir,
                              const std::string& to) const override {
        return attempt(fromDir, from, toDir, to, nullptr);
    }
    virtual core::RenameStatus attempt(int fromDir, const std::string& from, int toDir,
                                       const std::string& to, RenameObserver* observer) const = 0;
};

class FlagRename final : public Method {
public:
    RenameMethod kind() const override { return RenameMethod::NoReplaceFlag; }
    core::RenameStatus attempt(int fromDir, const std::string& from, int toDir,
                               const std::string& to, RenameObserver*) const override {
        if (syscalls().renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) {
            return {};
        }
        return changeFailed(errno);
    }
    // One system call: there is no between.
    bool cutShort(const NamesNow&) const override { return false; }
    int rollBack(int, const std::string&, int, const std::string&, const IsFileNow&,
                 const IsFileNow&) const override {
        return EINVAL;
    }
    int complete(int, const std::string&, int, const std::string&,
                 const IsFileNow&) const override {
        return EINVAL;
    }
};

class LinkRename final : public Method {
public:
    RenameMethod kind() const override { return RenameMethod::LinkThenUnlink; }
    core::RenameStatus attempt(int fromDir, const std::string& from, int toDir,
                               const std::string& to, RenameObserver* observer) const override {
        Syscalls& sys = syscalls();
        // Recorded before: a kill between the link and its record would leave a second name
        // nobody knows to be ours.
        if (observer != nullptr) {
            if (const int err = observer->linking(to); err != 0) {
                return core::RenameStatus::failed(err);
            }
        }
        if (sys.linkat(fromDir, from.c_str(), toDir, to.c_str(), 0) != 0) {
            return changeFailed(errno);
        }
        // Without this outcome a drive that cannot tell two names of one file apart from two
        // files alike never has one of them taken for a second name.
        if (observer != nullptr) {
            if (const int err = observer->linked(to); err != 0) {
                sys.unlinkat(toDir, to.c_str(), 0);  // the name just made, unknown to the journal
                return core::RenameStatus::failed(err);
            }
        }
        if (sys.unlinkat(fromDir, from.c_str(), 0) == 0) {
            return {};
        }
        const int unlinkErr = errno;
        // An unlink can act and still report an error (a retransmitted request on NFS answers
        // ENOENT, a soft mount EIO): the new name may now be the file's only one. It goes only
        // while the old name provably still holds the same file.
        struct stat old {};
        if (sys.fstatat(fromDir, from.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                return {};
            }
            return changeFailed(unlinkErr);  // both names kept: nothing lost
        }
        if (holds(toDir, to, idOf(old))) {
            sys.unlinkat(toDir, to.c_str(), 0);
        }
        return changeFailed(unlinkErr);
    }
    // The same file under both names, the second one linked by the run: a hard link the user
    // made is not ours to remove.
    bool cutShort(const NamesNow& now) const override {
        return now.oldHolds && now.newHolds && now.recordedLinked;
    }
    int rollBack(int fromDir, const std::string& from, int toDir, const std::string& to,
                 const IsFileNow& isFile, const IsFileNow&) const override {
        return dropSecond(fromDir, from, toDir, to, isFile);
    }
    int complete(int fromDir, const std::string& from, int toDir, const std::string& to,
                 const IsFileNow& isFile) const override {
        return dropSecond(toDir, to, fromDir, from, isFile);
    }

private:
    // Removes `drop` only while it and `keep` both hold the file: `keep` is then still its name.
    // Where the drive counts no links (sftp), two names whose link the server may have made
    // unheard are one only while they hold the same bytes: removing one then loses nothing.
    static int dropSecond(int keepDir, const std::string& keep, int dropDir,
                          const std::string& drop, const IsFileNow& isFile) {
        struct stat kept {};
        struct stat dropped {};
        if (syscalls().fstatat(keepDir, keep.c_str(), &kept, AT_SYMLINK_NOFOLLOW) != 0 ||
            syscalls().fstatat(dropDir, drop.c_str(), &dropped, AT_SYMLINK_NOFOLLOW) != 0 ||
            !isFile(kept) || !isFile(dropped) || kept.st_dev != dropped.st_dev ||
            ((kept.st_nlink < 2 || dropped.st_nlink < 2) &&
             !merge_steps::sameContent(keepDir, keep, dropDir, drop))) {
            return ESTALE;  // not two names of one file: a file alike is not a second name
        }
        return syscalls().unlinkat(dropDir, drop.c_str(), 0) == 0 ? 0 : errno;
    }
};

class ReservationRename final : public Method {
public:
    RenameMethod kind() const override { return RenameMethod::Reservation; }

    // The exclusive create fails if anything holds the new name, in any case on a
    // case-insensitive drive; the rename then replaces nothing but our own empty file.
    core::RenameStatus attempt(int fromDir, const std::string& from, int toDir,
                               const std::string& to, RenameObserver* observer) const override {
        Syscalls& sys = syscalls();
        if (observer != nullptr) {
            if (const int err = observer->reserving(to); err != 0) {
                return core::RenameStatus::failed(err);
            }
        }
        const int fd = sys.openat(toDir, to.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            return changeFailed(errno);
        }
        struct stat ours {};
        const int statErr = ::fstat(fd, &ours) == 0 ? 0 : errno;
        ::close(fd);
        if (statErr != 0) {
            sys.unlinkat(toDir, to.c_str(), 0);
            return core::RenameStatus::failed(statErr);
        }
        if (observer != nullptr) {
            if (const int err = observer->reserved(to, ours); err != 0) {
                sys.unlinkat(toDir, to.c_str(), 0);
                return core::RenameStatus::failed(err);
            }
        }
        struct stat now {};
        if (sys.fstatat(toDir, to.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 && notAnswering(errno)) {
            // The drive went silent with the reservation made, and recorded: undo and finish
            // remove it.
            return changeFailed(errno);
        }
        if (!isReservation(toDir, to, idOf(ours))) {
            // Another program took the name between the reservation and now: leave it be.
            return core::RenameStatus::failed(EEXIST);
        }
        if (sys.renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0) {
            return {};
        }
        const int renameErr = errno;
        if (isReservation(toDir, to, idOf(ours))) {
            sys.unlinkat(toDir, to.c_str(), 0);
        }
        if (renameErr != EEXIST && renameErr != EACCES && renameErr != ENOTEMPTY) {
            return changeFailed(renameErr);
        }
        // Some network file systems refuse to rename onto any existing name, our reservation
        // included. Without it the rename cannot replace anything there; try once more, and
        // only while the name is still free.
        struct stat st {};
        if (sys.fstatat(toDir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            return core::RenameStatus::failed(EEXIST);
        }
        if (errno != ENOENT) {
            // Not known to be free, nor taken: the drive's own answer.
            return core::RenameStatus::failed(errno);
        }
        if (sys.renameat(fromDir, from.c_str(), toDir, to.c_str()) != 0) {
            return changeFailed(errno);
        }
        return {};
    }

    // The very empty file the run recorded making under the new name, while the old name still
    // holds the file.
    bool cutShort(const NamesNow& now) const override {
        return now.oldHolds && !now.newHolds && now.newTaken && now.newIsEmptyFile &&
               now.recordedReservation;
    }
    int rollBack(int fromDir, const std::string& from, int toDir, const std::string& to,
                 const IsFileNow& isFile, const IsFileNow& isLeftover) const override {
        struct stat file {};
        struct stat leftover {};
        if (syscalls().fstatat(fromDir, from.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0 ||
            syscalls().fstatat(toDir, to.c_str(), &leftover, AT_SYMLINK_NOFOLLOW) != 0 ||
            !isFile(file) || !S_ISREG(leftover.st_mode) || leftover.st_size != 0 ||
            !isLeftover(leftover) ||
            (file.st_dev == leftover.st_dev && file.st_ino == leftover.st_ino)) {
            return ESTALE;
        }
        return syscalls().unlinkat(toDir, to.c_str(), 0) == 0 ? 0 : errno;
    }
    int complete(int, const std::string&, int, const std::string&,
                 const IsFileNow&) const override {
        return EINVAL;
    }

private:
    // Whether `name` holds the empty regular file `ours`, and nothing else took it meanwhile.
    static bool isReservation(int dirfd, const std::string& name, FileId ours) {
        struct stat now {};
        return syscalls().fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(now.st_mode) && now.st_size == 0 && idOf(now) == ours;
    }
};

const FlagRename kFlag;
const LinkRename kLink;
const ReservationRename kReservation;
const NoReplaceRename* const kCutShort[] = {&kLink, &kReservation, nullptr};

const Method& methodObject(RenameMethod kind) {
    switch (kind) {
        case RenameMethod::LinkThenUnlink:
            return kLink;
        case RenameMethod::Reservation:
            return kReservation;
        case RenameMethod::Unknown:
        case RenameMethod::NoReplaceFlag:
            break;
    }
    return kFlag;
}

// What the chain compares to tell that a failed method left the old name as it was, a moment
// later in the same run (never a proof for removing anything): on network drives the inode number
// may be made up anew at each lookup, so the kind, size and times.
bool looksUnchanged(const struct stat& a, const struct stat& b) {
    return (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Whether a method that failed with `err` changed nothing the next method could trip on: the
// error does not say the new name is taken, the old name still holds the file and the new name
// is still free. A drive's odd answer (EIO from link on WebDAV) then says only that the method
// does not work there.
bool nothingDone(int err, int fromDir, const std::string& from, const struct stat& before,
                 int toDir, const std::string& to) {
    if (err == EEXIST || err == ENOTEMPTY) {
        return false;
    }
    struct stat now {};
    if (syscalls().fstatat(fromDir, from.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !looksUnchanged(now, before)) {
        return false;
    }
    return syscalls().fstatat(toDir, to.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

// Errors that say a method is not offered, or not offered that way, rather than anything about
// the file, the name or the user's rights.
bool notOffered(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EPERM || err == EIO ||
           err == EBADMSG || err == EPROTO || err == ENOTTY;
}

// Whether the drive of the folder `dirfd` answers a look at `name` there asked afresh, and one at
// a name nobody uses, which no cache can answer (sshfs answers for a known name from its own
// cache after its server is gone); its error when it does not.
int silence(int dirfd, const std::string& name) {
    for (const std::string& look : {name, name + ".kovra-look"}) {
        struct statx st {};
        if (::statx(dirfd, look.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC, STATX_TYPE,
                    &st) != 0 &&
            notAnswering(errno)) {
            return errno;
        }
    }
    return 0;
}

// A method whose answer took this long and was an I/O error met a server that did not answer;
// a method the drive lacks is refused at once.
constexpr std::chrono::seconds kTimedOut{2};

// Passes on what a rename tells, and keeps whether it made a reservation.
class ReservationSeen final : public RenameObserver {
public:
    explicit ReservationSeen(RenameObserver* next) : next_(next) {}
    int linking(const std::string& name) override {
        return next_ == nullptr ? 0 : next_->linking(name);
    }
    int linked(const std::string& name) override {
        return next_ == nullptr ? 0 : next_->linked(name);
    }
    int reserving(const std::string& name) override {
        return next_ == nullptr ? 0 : next_->reserving(name);
    }
    int reserved(const std::string& name, const struct stat& st) override {
        made = true;
        return next_ == nullptr ? 0 : next_->reserved(name, st);
    }
    bool made = false;

private:
    RenameObserver* next_;
};

core::RenameStatus renameByChain(int fromDir, const std::string& from, int toDir,
                                 const std::string& to, RenameMethod& settled,
                                 RenameObserver* observer) {
    if (settled != RenameMethod::Unknown) {
        return methodObject(settled).attempt(fromDir, from, toDir, to, observer);
    }
    struct stat before {};
    if (syscalls().fstatat(fromDir, from.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
        return core::RenameStatus::failed(errno);
    }
    // A name taken is refused before any method is asked: a drive that does not know the flag
    // answers EINVAL whether the name is taken or not. Refusing on a look renames nothing.
    struct stat taken {};
    if (syscalls().fstatat(toDir, to.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
        return core::RenameStatus::failed(EEXIST);
    }
    if (errno != ENOENT) {
        return core::RenameStatus::failed(errno);
    }
    // The first error that says something of the file or the name is the one reported; a drive
    // where every method failed for want of the method has no safe rename at all.
    core::RenameStatus reported;
    core::RenameStatus status;
    bool timedOut = false;
    bool reservationTried = false;
    ReservationSeen seen(observer);
    for (const Method* method :
         {static_cast<const Method*>(&kFlag), static_cast<const Method*>(&kLink),
          static_cast<const Method*>(&kReservation)}) {
        // A drive that uploads what is written later could send the empty reservation after
        // the rename it made way for: the late upload would empty the renamed file. A drive
        // whose flag is a look then a rename that replaces gets the reservation instead.
        if (method == &kReservation && waysOf(toDir).writeBack != WriteBack::InOrder) {
            break;
        }
        if (method == &kFlag && waysOf(toDir).flagOnlyLooks) {
            continue;
        }
        reservationTried = reservationTried || method == &kReservation;
        const auto start = std::chrono::steady_clock::now();
        status = method->attempt(fromDir, from, toDir, to, &seen);
        if (status.done()) {
            settled = method->kind();
            return status;
        }
        timedOut = timedOut || (notAnswering(status.error) &&
                                std::chrono::steady_clock::now() - start >= kTimedOut);
        if (!nothingDone(status.error, fromDir, from, before, toDir, to)) {
            return timedOut && status.error == EIO ? core::RenameStatus::failed(ETIMEDOUT) : status;
        }
        if (reported.done() && !notOffered(status.error)) {
            reported = status;
        }
    }
    if (!reported.done()) {
        return reported;
    }
    // An I/O error of a server that did not answer says nothing of the methods it offers; the
    // server may still act on what it was asked.
    if (timedOut) {
        return changeFailed(ETIMEDOUT);
    }
    if (notAnswering(status.error)) {
        if (const int err = silence(toDir, to); err != 0) {
            return changeFailed(err == EIO ? ETIMEDOUT : err);
        }
    }
    // An exclusive create is offered wherever files can be made: refused, it says something of
    // the name (EINVAL: a name the drive cannot hold) or the folder, not of the drive's renames.
    if (reservationTried && !seen.made && status.error != ENOSYS && status.error != EOPNOTSUPP) {
        return core::RenameStatus::failed(status.error);
    }
    return {core::RenameOutcome::NoSafeRename, status.error};
}

}  // namespace

bool othersFileInStickyFolder(int dirfd, const std::string& name) {
    struct stat folder {};
    struct stat file {};
    if (::fstat(dirfd, &folder) != 0 || (folder.st_mode & S_ISVTX) == 0 ||
        ::fstatat(dirfd, name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    const uid_t user = ::geteuid();
    return user != 0 && file.st_uid != user && folder.st_uid != user;
}

const NoReplaceRename& renameMethod(RenameMethod kind) {
    return methodObject(kind);
}

const NoReplaceRename* const* methodsThatCutShort() {
    return kCutShort;
}

core::RenameStatus renameNoReplace(int fromDir, const std::string& from, int toDir,
                                   const std::string& to, RenameMethod& settled,
                                   RenameObserver* observer) {
    const auto start = std::chrono::steady_clock::now();
    core::RenameStatus status = renameByChain(fromDir, from, toDir, to, settled, observer);
    if (status.done() || status.error == EEXIST || status.error == ENOENT) {
        return status;
    }
    // A failure of a drive that no longer answers is its server's silence, not the file's nor
    // the methods': an I/O error after a wait, or any answer (gvfs says EINVAL once its backend
    // is gone) where the folder does not answer a fresh look now.
    if (status.error != ETIMEDOUT) {
        if ((notAnswering(status.error) && std::chrono::steady_clock::now() - start >= kTimedOut) ||
            silence(toDir, to) != 0) {
            status.outcome = core::RenameOutcome::Failed;
            status.error = ETIMEDOUT;
            status.mayHaveActed = true;
            return status;
        }
    }
    // A name longer than the drive takes is refused by many servers in words of their own
    // ("Bad message" over sftp, EINVAL or EIO elsewhere): said as the dry run says it.
    if (!nameRuleAt(toDir).fits(to)) {
        return core::RenameStatus::failed(ENAMETOOLONG);
    }
    if (status.error == EPERM && othersFileInStickyFolder(fromDir, from)) {
        status = core::RenameStatus::failed(EPERM);
        status.othersFileInStickyFolder = true;
    }
    return status;
}

core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to,
                                   RenameMethod& settled, RenameObserver* observer) {
    return renameNoReplace(dirfd, from, dirfd, to, settled, observer);
}

core::RenameStatus renameNoReplace(int dirfd, const std::string& from, const std::string& to) {
    RenameMethod settled = RenameMethod::Unknown;
    return renameNoReplace(dirfd, from, to, settled);
}

}  // namespace fs
