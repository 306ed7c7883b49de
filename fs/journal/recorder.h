#pragma once

// The rename run's journal: the plan of each folder written ahead of its renames, with each
// file's identity as its folder gives it, and what the rename learns on the way.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/rename_run.h"
#include "core/worklist.h"
#include "fs/journal/journal.h"
#include "fs/journal/observer.h"
#include "fs/rename_methods.h"

namespace fs {

// Writes the journal of a run ahead of its renames, records what the rename learns on the way,
// and marks the run ended. The window's run records its one folder as a RunJournal of its own;
// the command line takes a Folder for each folder, all in one journal so that undo takes the
// whole command back.
class RunRecorder : public core::RunJournal {
public:
    // `mayLeaveReservations`: the rename may create the new name empty before renaming onto it,
    // so a kill can leave an empty reservation behind for recovery to remove.
    explicit RunRecorder(std::string stateDir = stateDirectory(),
                         bool mayLeaveReservations = false);
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // One folder's run among those of one journal. begin() adds the folder and its plan, keep()
    // waits for it, end() counts what was renamed; the folders' runs may go on at once, on
    // threads of their own. Goes before its recorder.
    class Folder : public core::RunJournal {
    public:
        ~Folder() override;
        int begin(const std::string& folder, const core::WorkList& renameList,
                  const core::Folder* opened = nullptr) override;
        int keep(std::int64_t entries, std::int64_t& kept) override;
        void cancelled() override { recorder_.cancelled(); }
        void end(std::int64_t renamed) override;
        // What the rename in this folder learns; null before begin.
        RenameObserver* observer();

    private:
        friend class RunRecorder;
        Folder(RunRecorder& recorder, int dirfd, FileId id);
        RunRecorder& recorder_;
        int dirfd_;
        FileId id_;
        std::size_t section_ = 0;
        bool begun_ = false;
        bool ended_ = false;
        std::unique_ptr<JournalObserver> observer_;
    };

    // A folder of the command line's run, open as `dirfd` (kept open until its end), whose
    // identity is `id`.
    std::unique_ptr<Folder> folder(int dirfd, FileId id);
    // Marks the run ended once the last folder's run has; with nothing renamed, its journal goes.
    // `cancelled`: the user stopped it.
    void markEnded(bool cancelled = false);
    // Closes the journal without its end, as a kill would leave it: the drive may still make a
    // change it did not answer for, so the run is cut short, for finish and undo to settle.
    void leaveCutShort();

    // The window's run: its one folder, recorded as it begins.
    int begin(const std::string& folder, const core::WorkList& renameList,
              const core::Folder* opened = nullptr) override;
    int keep(std::int64_t entries, std::int64_t& kept) override;
    // Counts the files renamed and marks the journal ended.
    void end(std::int64_t renamed) override;
    // The run was stopped by the user: its end says so.
    void cancelled() override { cancelled_ = true; }
    // What the rename in the window's folder learns; null before begin.
    RenameObserver* observerFor(const std::string& folder);

    // The run's journal, once committed; stays after the recorder is gone unless nothing was
    // renamed.
    const std::string& runPath() const { return runPath_; }

    // Why the end could not be marked (0 if it was, or nothing was begun): the next start will
    // then offer recovery of a run that in fact ended, which is harmless.
    int endError() const { return endError_; }

private:
    int addFolder(Folder& folder, const std::string& path, const core::WorkList& renameList);
    void folderEnded(std::size_t section, std::int64_t renamed, std::int64_t leftAt);
    void reset();

    std::string stateDir_;
    bool mayLeaveReservations_;
    std::mutex mutex_;
    JournalWriter writer_;
    int err_ = 0;
    bool started_ = false;
    bool committed_ = false;
    std::atomic<bool> cancelled_{false};
    int endError_ = 0;
    std::int64_t renamed_ = 0;
    std::vector<std::int64_t> leftAt_;  // each folder's modification time as its run left it
    std::string runPath_;
    std::optional<MountedPath> lastMount_;            // of the folder added last
    std::optional<std::pair<int, bool>> statEachOn_;  // a mount, and whether its listing misleads
    // The window's folder.
    int windowFd_ = -1;
    std::unique_ptr<Folder> window_;
};

}  // namespace fs
