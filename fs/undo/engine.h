#pragma once

// The machinery undo and finish share: a run's journal read under its lock, its folders found
// and examined, and the steps that put a file back or take a half-done step away. Inside the
// undo engine only.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fs/fd.h"
#include "fs/journal/journal.h"
#include "fs/listing.h"
#include "fs/undo/examine.h"
#include "fs/undo/undo.h"

namespace fs {

// Tells the control of each entry looked at, one thread at a time; false once it asked to stop.
class Progress {
public:
    Progress(const UndoControl& control, std::int64_t total) : control_(control), total_(total) {}
    bool step();
    bool stopped() const { return stopped_.load(); }

private:
    const UndoControl& control_;
    std::int64_t total_;
    std::mutex mutex_;
    std::int64_t looked_ = 0;
    std::atomic<bool> stopped_{false};
};

// Calls `work(i)` for every i below `count`, in order on `jobs` threads at once.
void inParallel(std::size_t count, int jobs, const std::function<void(std::size_t)>& work);

enum class Purpose { Undo, Finish, Look };

// A run's journal read and every folder of it examined, under the run's lock.
struct Prepared {
    std::string path;
    std::unique_ptr<LockedRun> lock;
    JournalRead journal;
    std::vector<Examination> exams;  // one per folder of the run
    Target target;                   // a merge's destination, opened and read
    Fd targetFd;
    SortedListing targetListing;
    int jobs = 1;  // folders acted in at once
    // What undo or finish appends to the journal, opened on first use.
    JournalWriter writer;
    int writerErr = -1;  // -1: not opened yet
    std::mutex writerMutex;
    std::vector<std::uint32_t> made;  // folders made again, parents first
    JournalWriter* appender();
};

// Takes the run's lock, reads the run and examines every folder of it (for an undo of a merge,
// after making again the folders it removed); fills `report`. False when nothing is to be done:
// another process holds the run, a bad journal (set aside here), an undo of a run undone, or no
// folder that can be examined.
bool prepare(const std::string& path, const UndoControl& control, Prepared& run, UndoReport& report,
             Purpose purpose);

// Opens a folder examined as Ok again for acting in it; -1 (with `p` saying why) when it is no
// longer there.
int reopen(const JournalPlan& plan, FolderState& p);

// Reports every entry of a folder that could not be acted in, in the order they would have been
// met; true when it may yet be (the folder could not be read, or its drive is away, but it is
// there).
bool reportFolder(const JournalPlan& plan, const FolderState& p, bool reverse, UndoReport& report);

// Adds what one folder's part did to the whole.
void mergeReport(UndoReport& report, UndoReport& part);

// The problem of entry `i` of `plan`, named by where its file is or was to be.
EntryReport problemAt(const JournalRead& journal, const JournalPlan& plan, std::uint64_t i,
                      const Examination& exam, EntryProblem problem, int err);

// Takes away what a step of entry `i` left beside its file, still under its old name in `dirfd`:
// a copy begun in `targetfd` proven the run's own, a Trash entry's info file.
void dropLeftovers(const JournalPlan& plan, std::uint64_t i, int dirfd, int targetfd);

// Removes the reservation of entry `i`'s old name in `dirfd` that an undo cut short left, while it
// is still the empty file the examination found. True when removed.
bool dropReservationBack(const Examination& exam, std::uint64_t i, int dirfd,
                         const std::string& oldName);

// The Trash entry the examination found for entry `i`; null when none.
const TrashedFile* trashedOf(const Examination& exam, std::uint64_t i);

}  // namespace fs
