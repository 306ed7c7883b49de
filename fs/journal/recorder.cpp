#include "fs/journal/recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "fs/folder_reader.h"
#include "fs/listing.h"

namespace fs {

namespace {

// The identity of `name` in `dirfd` as the plan keeps it; none when it cannot be looked up (a
// name gone since the listing: nothing will ever be done to it).
FileId identityAt(int dirfd, const std::string& name, IdentityKind kind) {
    struct stat st {};
    return ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? identityOf(st, kind)
                                                                         : FileId{};
}

}  // namespace

RunRecorder::Folder::Folder(RunRecorder& recorder, int dirfd, FileId id)
    : recorder_(recorder), dirfd_(dirfd), id_(id) {}

RunRecorder::Folder::~Folder() {
    if (begun_ && !ended_) {
        // Gone without an end, as a kill would leave it: nothing more of its plan is written.
        recorder_.writer_.cutFolder(section_);
    }
}

int RunRecorder::Folder::begin(const std::string& folder, const core::WorkList& renameList,
                               const core::Folder*) {
    if (begun_) {
        return EINVAL;
    }
    const int err = recorder_.addFolder(*this, folder, renameList);
    begun_ = err == 0;
    if (begun_) {
        observer_ = std::make_unique<JournalObserver>(&recorder_.writer_, section_);
    }
    return err;
}

int RunRecorder::Folder::keep(std::int64_t entries, std::int64_t& kept) {
    if (!begun_ || ended_ || entries < 0) {
        return EINVAL;
    }
    std::uint64_t written = 0;
    const int err =
        recorder_.writer_.waitKept(section_, static_cast<std::uint64_t>(entries), written);
    kept = static_cast<std::int64_t>(std::min<std::uint64_t>(written, INT64_MAX));
    return err;
}

void RunRecorder::Folder::end(std::int64_t renamed) {
    if (!begun_ || ended_) {
        return;
    }
    ended_ = true;
    // The folder as the run left it: undo trusts its listing while nothing changed there.
    struct stat st {};
    const std::int64_t leftAt =
        ::fstat(dirfd_, &st) == 0
            ? static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec
            : 0;
    recorder_.writer_.cutFolder(section_);
    recorder_.folderEnded(section_, renamed, leftAt);
}

RenameObserver* RunRecorder::Folder::observer() {
    return observer_.get();
}

RunRecorder::RunRecorder(std::string stateDir, bool mayLeaveReservations)
    : stateDir_(std::move(stateDir)), mayLeaveReservations_(mayLeaveReservations) {}

RunRecorder::~RunRecorder() {
    window_.reset();
    if (windowFd_ >= 0) {
        ::close(windowFd_);
    }
}

std::unique_ptr<RunRecorder::Folder> RunRecorder::folder(int dirfd, FileId id) {
    return std::unique_ptr<Folder>(new Folder(*this, dirfd, id));
}

int RunRecorder::addFolder(Folder& folder, const std::string& path,
                           const core::WorkList& renameList) {
    const std::lock_guard lock(mutex_);
    if (err_ == 0 && stateDir_.empty()) {
        err_ = ENOENT;
    }
    if (err_ == 0 && !started_) {
        err_ = writer_.begin(stateDir_,
                             mayLeaveReservations_ ? journal_format::kMayLeaveReservations : 0);
        started_ = true;
    }
    if (err_ != 0) {
        return err_;
    }
    const int dirfd = folder.dirfd_;
    FolderRecord record;
    if (const int err = describeFolder(dirfd, path, record, lastMount_); err != 0) {
        return err_ = err;
    }
    record.id = folder.id_;
    const IdentityKind kind = record.identity;
    const std::uint64_t count = static_cast<std::uint64_t>(renameList.count());
    const core::WorkList* const list = &renameList;
    EntrySource source;
    bool asksDrive = kind != IdentityKind::Inode;
    if (!asksDrive && count > 0) {
        // The file list's own reading gave each name its inode number; a list without them (or
        // a name without one) is looked up in one pass over the folder.
        bool fromList = true;
        for (std::int64_t i = 0; fromList && i < renameList.count(); ++i) {
            fromList = renameList.inodeAt(i) != 0;
        }
        std::shared_ptr<InodesByName> inodes;
        if (!fromList) {
            inodes = std::make_shared<InodesByName>();
            if (const int err = inodes->read(dirfd); err != 0) {
                return err_ = err;
            }
        }
        // Some file systems (overlays, some network ones) give readdir inode numbers that differ
        // from stat's: the first name tells, once per mount.
        const int mountId = lastMount_ ? lastMount_->mount.id : -1;
        if (statEachOn_ && mountId >= 0 && statEachOn_->first == mountId) {
            asksDrive = statEachOn_->second;
        } else {
            const std::string& first = renameList.at(0);
            const std::optional<std::uint64_t> found =
                fromList ? std::optional(renameList.inodeAt(0)) : inodes->find(first);
            const FileId byStat = identityAt(dirfd, first, kind);
            asksDrive = !found || byStat.inode != *found || byStat.device != folder.id_.device;
            if (byStat != FileId{} && mountId >= 0) {
                statEachOn_ = std::pair(mountId, asksDrive);
            }
        }
        const std::uint64_t device = folder.id_.device;
        source = [list, device, inodes](std::uint64_t i, EntrySink& out) {
            const std::string& name = list->at(static_cast<std::int64_t>(i));
            FileId id;
            if (!inodes) {
                id = {device, list->inodeAt(static_cast<std::int64_t>(i))};
            } else if (const std::optional<std::uint64_t> found = inodes->find(name)) {
                id = {device, *found};
            }
            out.addUsual(name, id);
        };
    }
    if (asksDrive) {
        // A round trip per file on drives that number their files per mount: made by the run
        // that waits for them, so that folders renamed at once ask at once.
        source = [list, dirfd, kind](std::uint64_t i, EntrySink& out) {
            const std::string& name = list->at(static_cast<std::int64_t>(i));
            out.addUsual(name, identityAt(dirfd, name, kind));
        };
    }
    int err = writer_.addFolder(record, count, std::move(source), asksDrive, folder.section_);
    if (err == 0 && !committed_) {
        err = writer_.commit();
        committed_ = err == 0;
        if (committed_) {
            runPath_ = writer_.path();
            renamed_ = 0;
        }
    }
    if (err != 0) {
        return err_ = err;
    }
    if (leftAt_.size() <= folder.section_) {
        leftAt_.resize(folder.section_ + 1, 0);
    }
    return 0;
}

void RunRecorder::folderEnded(std::size_t section, std::int64_t renamed, std::int64_t leftAt) {
    const std::lock_guard lock(mutex_);
    renamed_ += renamed;
    if (section < leftAt_.size()) {
        leftAt_[section] = leftAt;
    }
}

void RunRecorder::markEnded(bool cancelled) {
    const std::lock_guard lock(mutex_);
    if (committed_) {
        endError_ = writer_.end(renamed_, leftAt_, cancelled || cancelled_);
        if (renamed_ == 0) {
            runPath_.clear();  // nothing renamed: no run to take back
        }
    } else {
        writer_.close();
    }
    reset();
}

void RunRecorder::leaveCutShort() {
    const std::lock_guard lock(mutex_);
    writer_.close();
    reset();
}

int RunRecorder::begin(const std::string& folder, const core::WorkList& renameList,
                       const core::Folder* opened) {
    endError_ = 0;
    if (window_) {
        return EINVAL;  // one folder per run of the window
    }
    // The window's run: its one folder, recorded now, as the run opened it.
    const int handle = opened != nullptr ? opened->descriptor() : -1;
    const int dirfd = handle >= 0 ? ::fcntl(handle, F_DUPFD_CLOEXEC, 0)
                                  : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) {
        return errno;
    }
    const std::optional<FileId> id = fileIdAt(dirfd, ".");
    if (!id) {
        const int err = errno;
        ::close(dirfd);
        return err;
    }
    windowFd_ = dirfd;
    window_ = this->folder(dirfd, *id);
    const int err = window_->begin(folder, renameList);
    if (err != 0) {
        window_.reset();
        ::close(windowFd_);
        windowFd_ = -1;
        const std::lock_guard lock(mutex_);
        writer_.close();
        reset();
    }
    return err;
}

int RunRecorder::keep(std::int64_t entries, std::int64_t& kept) {
    return window_ ? window_->keep(entries, kept) : EINVAL;
}

void RunRecorder::end(std::int64_t renamed) {
    if (!window_) {
        return;
    }
    window_->end(renamed);
    window_.reset();
    ::close(windowFd_);
    windowFd_ = -1;
    markEnded();  // the next run of the window records afresh
}

RenameObserver* RunRecorder::observerFor(const std::string& folder) {
    (void)folder;
    return window_ ? window_->observer() : nullptr;
}

void RunRecorder::reset() {
    err_ = 0;
    started_ = false;
    committed_ = false;
    renamed_ = 0;
    cancelled_ = false;
    leftAt_.clear();
}

}  // namespace fs
