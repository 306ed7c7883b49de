// The one engine that undoes and finishes runs, renames and merges alike, from their journal and
// from what the disk holds now.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "core/paths.h"
#include "fs/merge/steps.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "fs/undo/engine.h"
#include "fs/undo/identity.h"

namespace fs {

namespace {

bool folderGone(const FolderState& p) {
    return p.status == FolderState::Status::OtherFolder ||
           (p.status == FolderState::Status::CannotOpen && (p.err == ENOENT || p.err == ENOTDIR));
}

// The name to give the user for the drive of `plan`.
std::string driveName(const JournalPlan& plan) {
    return !plan.place.label.empty() ? plan.place.label : plan.place.mountPoint;
}

}  // namespace

bool Progress::step() {
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

void inParallel(std::size_t count, int jobs, const std::function<void(std::size_t)>& work) {
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

namespace {

// How many folders to act in at once.
int jobsFor(const UndoControl& control, const JournalRead& journal) {
    if (control.jobs > 0 || journal.plans.size() < 2) {
        return std::max(control.jobs, 1);
    }
    Fd fd(::open(journal.plans.front().folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return foldersAtOnce(fd.get());
}

// Makes again, parents first, the folders the merge removed that are not there, with their
// modes and owners (their times once their files are back), each recorded before it is made.
void remakeFolders(Prepared& run, UndoReport& report) {
    JournalRead& journal = run.journal;
    for (std::uint32_t f = 0; f < journal.plans.size(); ++f) {
        JournalPlan& plan = journal.plans[f];
        if (!plan.removing) {
            continue;
        }
        FolderState::Status status = FolderState::Status::Ok;
        int err = 0;
        Fd there(openRunFolder(plan, status, err));
        if (there.get() >= 0 || status != FolderState::Status::CannotOpen || err != ENOENT) {
            continue;  // there, or its drive away, or another folder in its place
        }
        const std::string path = placeNow(plan);
        JournalWriter* const writer = run.appender();
        if (path.empty() || writer == nullptr || writer->recordFolderMade(f, {}) != 0 ||
            ::mkdir(path.c_str(), plan.mode & 07777) != 0) {
            continue;
        }
        // Whatever the umask took; the owner where we may give it.
        if (::geteuid() == 0) {
            [[maybe_unused]] const int ignored = ::lchown(path.c_str(), plan.uid, plan.gid);
        }
        ::chmod(path.c_str(), plan.mode & 07777);
        struct stat st {};
        plan.making = true;
        if (::lstat(path.c_str(), &st) == 0) {
            plan.madeId = {static_cast<std::uint64_t>(st.st_dev),
                           static_cast<std::uint64_t>(st.st_ino)};
            writer->recordFolderMade(f, plan.madeId);
        }
        run.made.push_back(f);
        ++report.foldersMade;
    }
}

}  // namespace

bool prepare(const std::string& path, const UndoControl& control, Prepared& run, UndoReport& report,
             Purpose purpose) {
    report.run = path;
    run.path = path;
    run.lock = std::make_unique<LockedRun>(path);
    if (!run.lock->valid()) {
        const bool busy = run.lock->busy();
        report.status = busy ? UndoReport::Status::InProgress : UndoReport::Status::Nothing;
        report.err = busy ? 0 : run.lock->error();
        return false;
    }
    JournalRead& journal = run.journal;
    // The folders of a rename are read beside the journal's entries, from the places its summary
    // gives; each is held open until it is examined, as many as a quarter of the descriptors
    // allow.
    std::vector<Listed> listed;
    std::thread reader;
    if (JournalRead summary = readJournalSummary(path);
        summary.status == JournalRead::Status::Ok && !summary.merge()) {
        run.jobs = jobsFor(control, summary);
        rlimit limit{};
        std::size_t held = summary.plans.size();
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            held = std::min<std::size_t>(held, limit.rlim_cur / 4);
        }
        summary.plans.resize(held);
        listed = std::vector<Listed>(held);
        reader = std::thread([&listed, plans = std::move(summary.plans), jobs = run.jobs] {
            inParallel(plans.size(), jobs, [&](std::size_t f) { listFolder(plans[f], listed[f]); });
        });
    }
    journal = readJournal(path);
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
        setAside(path);
        return false;
    }
    report.merge = journal.merge();
    report.entries = journal.entries;
    for (std::size_t f = 0; f < journal.plans.size(); ++f) {
        const JournalPlan& plan = journal.plans[f];
        if (!journal.merge() || (plan.parent == kNoFolder && !plan.destination)) {
            report.folders.push_back(plan.folder);
        }
    }
    if (journal.merge()) {
        report.folders.push_back(journal.plans[journal.destination].folder);
    }
    report.folder = report.folders.front();
    if (purpose == Purpose::Undo && journal.undone) {
        report.status = UndoReport::Status::AlreadyUndone;
        return false;
    }
    if (purpose != Purpose::Look) {
        // Undo and finish append to it: a record torn at its end goes first.
        report.journalError = cutTornTail(path);
    }
    if (listed.empty()) {
        run.jobs = jobsFor(control, journal);
    }
    // A merge's files went to one folder: it is found first, and read once.
    if (journal.merge()) {
        const JournalPlan& target = journal.plans[journal.destination];
        FolderState::Status status = FolderState::Status::Ok;
        int err = 0;
        run.targetFd.reset(openRunFolder(target, status, err));
        run.target.fd = run.targetFd.get();
        if (run.target.fd < 0) {
            report.journalKept = true;
            report.folder = target.folder;
            report.err = err;
            if (status == FolderState::Status::DriveAbsent) {
                report.status = UndoReport::Status::DriveAbsent;
                report.drive = driveName(target);
            } else if (status == FolderState::Status::OtherFolder ||
                       (status == FolderState::Status::CannotOpen &&
                        (err == ENOENT || err == ENOTDIR))) {
                report.status = UndoReport::Status::FolderGone;
            } else {
                report.status = UndoReport::Status::CannotExamine;
            }
            return false;
        }
        run.target.plan = &target;
        if (run.targetListing.read(run.target.fd) == 0) {
            run.target.listing = &run.targetListing;
        }
        if (purpose == Purpose::Undo) {
            remakeFolders(run, report);
        }
    }
    // Every folder examined, several at once.
    run.exams.resize(journal.plans.size());
    inParallel(journal.plans.size(), run.jobs, [&](std::size_t f) {
        const JournalPlan& plan = journal.plans[f];
        Examination& exam = run.exams[f];
        if (plan.entries.empty()) {
            return;
        }
        Listed* const read = f < listed.size() && listed[f].folder == plan.folder &&
                                     listed[f].folderId == plan.folderId
                                 ? &listed[f]
                                 : nullptr;
        const Target* target = journal.merge() ? &run.target : nullptr;
        if (read != nullptr && read->fd.get() < 0) {
            exam.state = read->opened;
        } else if (read != nullptr) {
            exam = examineWith(read->fd.get(), plan, target, read);
        } else {
            Fd fd(openRunFolder(plan, exam.state.status, exam.state.err));
            if (fd.get() >= 0) {
                exam = examineWith(fd.get(), plan, target, nullptr);
            } else if (target != nullptr && plan.removing &&
                       exam.state.status == FolderState::Status::CannotOpen &&
                       exam.state.err == ENOENT) {
                // Removed by the run once emptied: its files are where it put them.
                exam = examineWith(-1, plan, target, nullptr);
            }
        }
        if (read != nullptr) {
            read->fd.reset();
            read->listing = {};
        }
    });
    const JournalPlan* unreadable = nullptr;
    const FolderState* unreadableState = nullptr;
    const JournalPlan* absent = nullptr;
    bool anyOk = false;
    for (std::size_t f = 0; f < journal.plans.size(); ++f) {
        const JournalPlan& plan = journal.plans[f];
        if (plan.entries.empty()) {
            continue;
        }
        const FolderState& p = run.exams[f].state;
        anyOk = anyOk || p.status == FolderState::Status::Ok;
        if (p.status == FolderState::Status::DriveAbsent && absent == nullptr) {
            absent = &plan;
        } else if (p.status != FolderState::Status::Ok && !folderGone(p) && unreadable == nullptr) {
            unreadable = &plan;
            unreadableState = &p;
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
        report.err = unreadableState->err;
        report.folder = unreadable->folder;
    } else {
        report.status = UndoReport::Status::FolderGone;
        report.err = run.exams.empty() ? 0 : run.exams.front().state.err;
    }
    return false;
}

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
    if (!gone) {
        report.leftForLater += static_cast<std::int64_t>(n);
    }
    return !gone;
}

void mergeReport(UndoReport& report, UndoReport& part) {
    report.renamed += part.renamed;
    report.trashed += part.trashed;
    report.unchanged += part.unchanged;
    report.reservationsRemoved += part.reservationsRemoved;
    report.leftForLater += part.leftForLater;
    report.problems.insert(report.problems.end(), std::make_move_iterator(part.problems.begin()),
                           std::make_move_iterator(part.problems.end()));
    if (report.syncError == 0) {
        report.syncError = part.syncError;
    }
}

EntryReport problemAt(const JournalRead& journal, const JournalPlan& plan, std::uint64_t i,
                      const Examination& exam, EntryProblem problem, int err) {
    const JournalEntry& e = plan.entries[i];
    std::string where;
    if (const TrashedFile* trashed = trashedOf(exam, i)) {
        where = trashed->trashDir + "/files/" + trashed->name;
    } else if (plan.moves()) {
        where = core::joinPath(journal.plans[plan.target].folder, nameInTarget(plan, i));
    } else {
        where = nameInTarget(plan, i);
    }
    return {plan.folder, e.oldName, std::move(where), problem, err};
}

const TrashedFile* trashedOf(const Examination& exam, std::uint64_t i) {
    const auto found = std::lower_bound(exam.trashed.begin(), exam.trashed.end(), i,
                                        [](const std::pair<std::uint64_t, TrashedFile>& t,
                                           std::uint64_t entry) { return t.first < entry; });
    return found != exam.trashed.end() && found->first == i ? &found->second : nullptr;
}

bool dropReservationBack(const Examination& exam, std::uint64_t i, int dirfd,
                         const std::string& oldName) {
    const auto found = std::lower_bound(exam.reservedBack.begin(), exam.reservedBack.end(), i,
                                        [](const std::pair<std::uint64_t, Seen>& r,
                                           std::uint64_t entry) { return r.first < entry; });
    if (found == exam.reservedBack.end() || found->first != i) {
        return false;
    }
    const Seen now = seeAt(dirfd, oldName);
    return now.emptyFile() && now.inodeId == found->second.inodeId &&
           now.modifiedAt == found->second.modifiedAt &&
           syscalls().unlinkat(dirfd, oldName.c_str(), 0) == 0;
}

void dropLeftovers(const JournalPlan& plan, std::uint64_t i, int dirfd, int targetfd) {
    const EntryEvents* events = plan.eventsOf(i);
    if (events == nullptr) {
        return;
    }
    const std::string& newName = nameInTarget(plan, i);
    // A copy goes only while it is the file the run heard made and still holds the original's
    // bytes, or is whole and alike in size, time and bytes; one changed since stays.
    if (events->copying && merge_steps::isCopyOf(targetfd, newName, events->copyMade, dirfd,
                                                 plan.entries[i].oldName, events->copied)) {
        syscalls().unlinkat(targetfd, newName.c_str(), 0);
    }
    if (events->trashing && !events->trashName.empty()) {
        // Its info file made, the file never moved in.
        dropTrashInfo({events->trashDir, events->trashName},
                      core::joinPath(plan.folder, plan.entries[i].oldName));
    }
}

JournalWriter* Prepared::appender() {
    const std::lock_guard lock(writerMutex);
    if (writerErr < 0) {
        writerErr = writer.resume(path);
    }
    return writerErr == 0 ? &writer : nullptr;
}

}  // namespace fs
