#include "cli/commands.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_set>
#include <utility>

#include "cli/command_util.h"
#include "cli/run_watch.h"
#include "cli/text.h"
#include "core/naming.h"
#include "core/paths.h"
#include "core/rename_run.h"
#include "core/worklist.h"
#include "fs/fd.h"
#include "fs/folder_reader.h"
#include "fs/listing.h"
#include "fs/mounts.h"
#include "fs/namerule.h"
#include "fs/rename.h"
#include "fs/rename_methods.h"
#include "fs/syscalls.h"
#include "fs/undo/undo.h"

namespace cli {

namespace {

using fs::Fd;

using FolderId = std::pair<dev_t, ino_t>;

// Prints each rename as `old -> new`, full paths, escaped, one per line, from any thread.
class Printer {
public:
    void renamed(const std::string& folder, const std::string& from, const std::string& to) {
        const std::string line = escaped(core::joinPath(folder, from)) + " -> " +
                                 escaped(core::joinPath(folder, to)) + "\n";
        const std::lock_guard lock(mutex_);
        writeOut(line);
    }

private:
    std::mutex mutex_;
};

// The files of one folder, all selected, in a table the run's lists refer to rather than copy,
// with the inode numbers the walk found for them (none for files named one by one). Nothing is
// shown afterwards, so nothing is read again.
class NameList : public core::FileList {
public:
    NameList(const std::string& path, std::shared_ptr<const core::NameTable> names)
        : path_(path), names_(std::move(names)) {}
    const std::string& path() const override { return path_; }
    std::int64_t count() const override { return static_cast<std::int64_t>(names_->size()); }
    std::string_view at(std::int64_t i) const override {
        return names_->name(static_cast<std::size_t>(i));
    }
    std::uint64_t inodeAt(std::int64_t i) const override {
        return names_->inode(static_cast<std::size_t>(i));
    }
    std::vector<core::SelectionRange> selectedRanges() const override {
        if (names_->empty()) {
            return {};
        }
        return {{0, count() - 1}};
    }
    void refresh() override {}
    std::shared_ptr<const core::NameTable> names() const override { return names_; }

private:
    const std::string& path_;
    std::shared_ptr<const core::NameTable> names_;
};

// Where one folder of the command was left.
struct FolderOutcome {
    enum class State {
        NotStarted,   // walked, and stopped before its first rename by a failure elsewhere
        Done,         // every file renamed
        Failed,       // stopped at a file: `result` says which and why
        Stopped,      // stopped between two files by a failure elsewhere
        NotRecorded,  // its plan could not be kept: nothing more renamed there
    };
    std::string path;
    State state = State::NotStarted;
    core::RunResult result;
    std::string next;  // the first file not renamed, when stopped
    int syncError = 0;
};

// One folder as the walk reached it: held open, its files listed, its run prepared, and renamed
// in afterwards, maybe on another thread. The renames are made relative to the handle, so a
// folder moved or replaced by a link while the command runs is never renamed in.
struct FolderTask {
    FolderTask(std::string folderPath, FolderId folderId, int fd)
        : path(std::move(folderPath)), id(folderId), held(fd) {}
    std::string path;
    FolderId id;
    Fd held;
    std::unique_ptr<NameList> list;
    core::WorkList selection;
    core::WorkList renames;
    FolderOutcome* outcome = nullptr;
    // Declared after what their plan and renames refer to, so that they go first.
    std::unique_ptr<fs::RunRecorder::Folder> journal;
    core::RunOptions options;
    core::PreparedRun run;
};

// The folder of a task as the run renames in it.
class HeldFolder : public core::Folder {
public:
    HeldFolder(FolderTask& task, Printer* printer, fs::SyncBatch* syncs)
        : task_(task), printer_(printer), syncs_(syncs), rule_(task.held.get()) {}
    core::RenameStatus rename(const std::string& from, const std::string& to) override {
        if (!rule_.fits(to)) {
            return core::RenameStatus::failed(ENAMETOOLONG);
        }
        if (!observerAsked_) {
            // Once, not per file.
            observer_ = task_.journal ? task_.journal->observer() : nullptr;
            observerAsked_ = true;
        }
        core::RenameStatus status =
            fs::renameNoReplace(task_.held.get(), from, to, method_, observer_);
        if (status.done() && printer_ != nullptr) {
            printer_->renamed(task_.path, from, to);
        }
        return status;
    }
    int sync() override {
        if (syncs_ != nullptr) {
            syncs_->add(task_.held.get(), &task_.outcome->syncError);
            return 0;
        }
        return fs::syscalls().fsync(task_.held.get()) == 0 ? 0 : errno;
    }
    std::vector<std::string> programNames() const override {
        return fs::runningProgramNameIn(task_.held.get(),
                                        static_cast<std::uint64_t>(task_.id.first));
    }

protected:
    FolderTask& task_;
    Printer* printer_;
    fs::SyncBatch* syncs_;
    fs::RenameObserver* observer_ = nullptr;
    bool observerAsked_ = false;
    // What the folder's file system offers, found on the first rename and kept for the others.
    fs::RenameMethod method_ = fs::RenameMethod::Unknown;
    fs::FolderNameRule rule_;
};

// The dry run's folder: renames are played on a record of which names are taken, so the names a
// real run would refuse (an existing name, one taken by an earlier rename, another user's file in
// a sticky folder) are refused here too. Names are recorded as the drive compares them: on one
// that ignores case, "A_b.jpg" renamed away frees "a_b.jpg".
class DryFolder : public HeldFolder {
public:
    DryFolder(FolderTask& task, Printer* printer) : HeldFolder(task, printer, nullptr) {}
    core::RenameStatus rename(const std::string& from, const std::string& to) override {
        // As the run goes: a name too long for the drive is refused before the drive is asked;
        // then the old name is looked up, then the new one.
        if (!rule_.fits(to)) {
            return core::RenameStatus::failed(ENAMETOOLONG);
        }
        const std::string fromKey = rule_.key(from);
        const std::string toKey = rule_.key(to);
        if (const int err = lookUp(from, fromKey); err != EEXIST) {
            return core::RenameStatus::failed(err == 0 ? ENOENT : err);
        }
        if (sticky() && fs::othersFileInStickyFolder(task_.held.get(), from)) {
            core::RenameStatus status = core::RenameStatus::failed(EPERM);
            status.othersFileInStickyFolder = true;
            return status;
        }
        if (const int err = lookUp(to, toKey); err != 0) {
            return core::RenameStatus::failed(err);
        }
        added_.erase(fromKey);
        gone_.insert(fromKey);
        gone_.erase(toKey);
        added_.insert(toKey);
        if (printer_ != nullptr) {
            printer_->renamed(task_.path, from, to);
        }
        return {};
    }
    int sync() override { return 0; }

private:
    // EEXIST when `name` (whose key is `key`) is taken, 0 when it is free, or the drive's error
    // when it cannot tell: a name the drive cannot look up is not taken.
    int lookUp(const std::string& name, const std::string& key) const {
        if (added_.count(key) != 0) {
            return EEXIST;
        }
        if (gone_.count(key) != 0) {
            return 0;
        }
        struct stat st {};
        if (::fstatat(task_.held.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            return EEXIST;
        }
        return errno == ENOENT ? 0 : errno;
    }
    // Whether the folder has the sticky bit, asked once.
    bool sticky() {
        if (!sticky_) {
            struct stat st {};
            sticky_ = ::fstat(task_.held.get(), &st) == 0 && (st.st_mode & S_ISVTX) != 0;
        }
        return *sticky_;
    }
    std::unordered_set<std::string> gone_;   // keys of names renamed away
    std::unordered_set<std::string> added_;  // ... and of the new names
    std::optional<bool> sticky_;
};

// Hands the run its task's folder, whatever path it asks for.
class TaskFileSystem : public core::FileSystem {
public:
    TaskFileSystem(FolderTask& task, bool dryRun, Printer* printer, fs::SyncBatch* syncs)
        : task_(task), dryRun_(dryRun), printer_(printer), syncs_(syncs) {}
    core::OpenedFolder open(const std::string&) override {
        if (dryRun_) {
            return {std::make_unique<DryFolder>(task_, printer_), 0};
        }
        return {std::make_unique<HeldFolder>(task_, printer_, syncs_), 0};
    }

private:
    FolderTask& task_;
    bool dryRun_;
    Printer* printer_;
    fs::SyncBatch* syncs_;
};

// The folders walked and not yet renamed in, handed from the walk to the threads that rename.
// Bounded: each holds its folder open. A walk that filled it goes on once it is half empty, so
// that it walks a stretch of folders at a time rather than one per folder renamed.
class TaskQueue {
public:
    explicit TaskQueue(std::size_t capacity) : capacity_(capacity) {}
    void push(std::unique_ptr<FolderTask> task) {
        std::unique_lock lock(mutex_);
        if (tasks_.size() >= capacity_) {
            walkWaits_ = true;
            roomy_.wait(lock, [&] { return tasks_.size() <= capacity_ / 2; });
            walkWaits_ = false;
        }
        tasks_.push_back(std::move(task));
        if (idle_ > 0) {
            filled_.notify_one();
        }
    }
    // The next task; null once the queue is closed and empty.
    std::unique_ptr<FolderTask> pop() {
        std::unique_lock lock(mutex_);
        ++idle_;
        filled_.wait(lock, [&] { return !tasks_.empty() || closed_; });
        --idle_;
        if (tasks_.empty()) {
            return nullptr;
        }
        std::unique_ptr<FolderTask> task = std::move(tasks_.front());
        tasks_.pop_front();
        if (walkWaits_ && tasks_.size() <= capacity_ / 2) {
            roomy_.notify_one();
        }
        return task;
    }
    void close() {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        filled_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable filled_;  // the threads that rename wait for a task
    std::condition_variable roomy_;   // the walk waits for room
    std::deque<std::unique_ptr<FolderTask>> tasks_;
    std::size_t capacity_;
    int idle_ = 0;
    bool walkWaits_ = false;
    bool closed_ = false;
};

struct FolderEntries {
    std::shared_ptr<core::NameTable> files;  // as the window's file list shows them
    std::vector<std::string> folders;        // real folders only, never a link to one
    int error = 0;
};

// One read of the folder `fd` (just opened: it is read through) for both its files and its
// subfolders; `keep` says which files to take. A link to a folder is neither: the file list shows
// it with the folders, and the walk never follows it.
template <class Keep>
FolderEntries readEntries(int fd, const Keep& keep) {
    FolderEntries entries;
    entries.files = std::make_shared<core::NameTable>();
    core::NameTable& files = *entries.files;
    entries.error = fs::readFolderHere(fd, fs::Kinds::Resolve, [&](const fs::FolderEntry& e) {
        if (e.kind == fs::EntryKind::Folder) {
            entries.folders.emplace_back(e.name);
        } else if (e.kind == fs::EntryKind::File && keep(e.name)) {
            files.add(e.name, e.inode);
        }
        return true;
    });
    fs::sortForDisplay(files);
    fs::sortForDisplay(entries.folders);
    return entries;
}

bool isHidden(std::string_view name) {
    return !name.empty() && name[0] == '.';
}

// What one folder of the command line asks for: all its files, or some named ones.
struct Job {
    std::string folder;  // canonical path: its last component is the real folder's name
    FolderId id;
    bool all = false;
    std::vector<std::string> names;
    int atOnce = 1;  // folders its drive renames in at once by default
};

class RenameCommand {
public:
    explicit RenameCommand(const RenameOptions& options) : options_(options) {
        if (options.dryRun || options.verbose) {
            printer_ = std::make_unique<Printer>();
        }
    }

    // Turns the paths into jobs, one per folder. False (reported) when a path cannot be opened.
    bool plan(const std::vector<std::string>& paths) {
        bool ok = true;
        std::map<FolderId, std::size_t> jobOf;
        for (const std::string& path : paths) {
            std::string folder;
            std::optional<std::string> name;
            if (!locate(path, folder, name)) {
                ok = false;
                continue;
            }
            if (folder == "/") {
                // Its files would all be named "_...".
                writeErr(message(QT_TRANSLATE_NOOP("cli",
                                                   "%1: %2: the root folder has no name to put in "
                                                   "front of its files\n"),
                                 {programName(), escaped(path)}));
                ok = false;
                continue;
            }
            // Opened now, so that a folder that cannot be opened stops the command before the
            // first rename.
            Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat st {};
            if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
                cannotOpen(folder, errno);
                ok = false;
                continue;
            }
            // A folder named is read: one that opens but cannot be listed (no search permission)
            // is refused here too, not after the other paths' files were renamed.
            if (!name) {
                const int err = fs::readFolder(fd.get(), fs::Kinds::NameOnly,
                                               [](const fs::FolderEntry&) { return false; });
                if (err != 0 && err != ECANCELED) {
                    cannotOpen(folder, err);
                    ok = false;
                    continue;
                }
            }
            const FolderId id{st.st_dev, st.st_ino};
            auto [it, added] = jobOf.emplace(id, jobs_.size());
            if (added) {
                jobs_.push_back({folder, id, false, {}, fs::foldersAtOnce(fd.get())});
            }
            Job& job = jobs_[it->second];
            if (name) {
                job.names.push_back(*name);
            } else {
                job.all = true;
            }
        }
        for (Job& job : jobs_) {
            fs::sortForDisplay(job.names);
            job.names.erase(std::unique(job.names.begin(), job.names.end()), job.names.end());
        }
        return ok;
    }

    // One pass: each folder's run is prepared as the walk reaches it, its plan going into the
    // one journal of the command (so undo takes the whole command back), and renamed in by one of
    // -j threads, folders side by side. A failure stops every folder between two files, and the
    // walk.
    int run() {
        // The dry run plays one folder after the other: what it prints comes in order.
        int jobs = 1;
        if (!options_.dryRun && options_.jobs > 0) {
            jobs = options_.jobs;
        } else if (!options_.dryRun) {
            for (const Job& job : jobs_) {
                jobs = std::max(jobs, job.atOnce);
            }
        }
        if (!options_.dryRun) {
            syncs_ = std::make_unique<fs::SyncBatch>();
            catchInterrupts();
            stall_ = std::make_unique<StallWatch>();
        }
        progress_ =
            std::make_unique<ProgressLine>(options_.progress, options_.dryRun || options_.verbose);
        // Renamed in on threads of their own, even one: the walk and the journal then go ahead
        // of the renames, which never wait for a folder to be read or its plan to be kept.
        std::vector<std::thread> workers;
        if (!options_.dryRun) {
            // Far enough ahead that the journal, written and synced on its own thread, keeps ahead
            // of the renames on a busy disk; each folder waiting holds a descriptor, and a quarter
            // of those the process may hold are for them (half are the syncs').
            rlimit limit{};
            std::size_t ahead = 256;
            if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
                ahead = std::clamp<std::size_t>(limit.rlim_cur / 4, 8, ahead);
            }
            queue_ = std::make_unique<TaskQueue>(ahead);
            for (int i = 0; i < jobs; ++i) {
                workers.emplace_back([this] {
                    while (std::unique_ptr<FolderTask> task = queue_->pop()) {
                        if (!stopping()) {
                            perform(*task);
                        }
                    }
                });
            }
        }
        // The folders named first, then the files named in folders no walk reached: a folder is
        // renamed in once, by one thread, with all that was asked of it.
        bool complete = true;
        for (const bool all : {true, false}) {
            for (auto job = jobs_.begin(); complete && job != jobs_.end(); ++job) {
                if (job->all != all || done_.count(job->id) != 0) {
                    continue;  // the other pass's, or already walked as a subfolder
                }
                Fd fd(::open(job->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                struct stat st {};
                if (fd.get() < 0) {
                    complete = walkStopped(job->folder, errno);
                } else if (::fstat(fd.get(), &st) != 0 ||
                           FolderId{st.st_dev, st.st_ino} != job->id) {
                    complete = walkStopped(job->folder, ESTALE);
                } else if (all) {
                    complete = walk(fd.get(), job->folder, job->id);
                } else {
                    done_.insert(job->id);
                    auto named = std::make_shared<core::NameTable>();
                    for (const std::string& name : job->names) {
                        named->add(name, 0);
                    }
                    complete = reach(fd.get(), job->folder, job->id, std::move(named));
                }
            }
        }
        if (queue_) {
            queue_->close();
            for (std::thread& worker : workers) {
                worker.join();
            }
        }
        if (syncs_) {
            syncs_->flush();
        }
        stall_.reset();
        if (journaling()) {
            const bool unsure =
                std::any_of(outcomes_.begin(), outcomes_.end(),
                            [](const FolderOutcome& o) { return o.result.status.mayHaveActed; });
            if (unsure) {
                recorder_.leaveCutShort();
            } else {
                recorder_.markEnded(interruptedBy() != 0);
            }
        }
        progress_->finish();
        return report();
    }

private:
    // The folder a path names (canonical), and the file's name when it names a file. A folder
    // named on the command line is opened even through a symbolic link, as the window opens it.
    bool locate(const std::string& path, std::string& folder, std::optional<std::string>& name) {
        struct stat st {};
        if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
            cannotOpen(path, path.empty() ? ENOENT : errno);
            return false;
        }
        struct stat target {};
        const bool isFolder = ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        std::string folderPath = path;
        if (!isFolder) {
            const std::size_t slash = path.find_last_of('/');
            folderPath = slash == std::string::npos ? "." : path.substr(0, slash + 1);
            name = path.substr(slash == std::string::npos ? 0 : slash + 1);
        }
        char* real = ::realpath(folderPath.c_str(), nullptr);
        if (real == nullptr) {
            cannotOpen(folderPath, errno);
            return false;
        }
        folder = real;
        std::free(real);
        return true;
    }

    // Takes the files of the folder `fd`, then, when recursive, walks its subfolders. The prefix
    // would unhide a name beginning with ".", so hidden files are left out unless asked for
    // (--all) or given one by one. False when the walk stops: at a folder it cannot read, or at
    // a failure.
    bool walk(int fd, const std::string& path, FolderId id) {
        done_.insert(id);
        // Named one by one, a hidden file is renamed all the same.
        const auto job =
            std::find_if(jobs_.begin(), jobs_.end(), [id](const Job& j) { return j.id == id; });
        static const std::vector<std::string> none;
        const std::vector<std::string>& named = job != jobs_.end() ? job->names : none;
        const FolderEntries entries = readEntries(fd, [&](std::string_view name) {
            return options_.all || !isHidden(name) ||
                   std::binary_search(named.begin(), named.end(), name, fs::displayLess);
        });
        if (entries.error != 0) {
            return walkStopped(path, entries.error);
        }
        if (!reach(fd, path, id, entries.files)) {
            return false;
        }
        if (!options_.recursive) {
            return true;
        }
        for (const std::string& name : entries.folders) {
            if (isHidden(name) && !options_.all) {
                continue;  // .git and the like: a tool's own files, not a collection
            }
            const std::string childPath = core::joinPath(path, name);
            Fd child(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.get() < 0) {
                if (errno == ELOOP || errno == ENOTDIR || errno == ENOENT) {
                    continue;  // no longer a folder (or gone) since it was listed: not followed
                }
                return walkStopped(childPath, errno);
            }
            struct stat st {};
            if (::fstat(child.get(), &st) != 0) {
                return walkStopped(childPath, errno);
            }
            const FolderId childId{st.st_dev, st.st_ino};
            if (done_.count(childId) != 0) {
                continue;  // a folder mounted below itself, or one reached twice
            }
            if (!walk(child.get(), childPath, childId)) {
                return false;
            }
        }
        return true;
    }

    // The walk reached the folder `fd` with the files to rename in it: its run is prepared (its
    // plan kept) and renamed in by a thread of the pool (the dry run's here). False when the
    // command stops.
    bool reach(int fd, const std::string& path, FolderId id,
               std::shared_ptr<const core::NameTable> names) {
        if (stopping()) {
            return false;
        }
        if (names->empty()) {
            return true;
        }
        // A handle of the task's own: the walk closes its own when it leaves the folder.
        const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (held < 0) {
            return walkStopped(path, errno);
        }
        auto task = std::make_unique<FolderTask>(path, id, held);
        task->list = std::make_unique<NameList>(task->path, std::move(names));
        task->outcome = &outcomes_.emplace_back();
        task->outcome->path = path;
        if (journaling()) {
            task->journal = recorder_.folder(held, {static_cast<std::uint64_t>(id.first),
                                                    static_cast<std::uint64_t>(id.second)});
            task->options.journal = task->journal.get();
        }
        task->options.progress = [this, folder = task->path](std::int64_t, std::int64_t) {
            progress_->addDone(1);
            if (stall_) {
                stall_->moved(folder);
            }
            return !stopping();
        };
        TaskFileSystem fileSystem(*task, options_.dryRun, printer_.get(), syncs_.get());
        task->run = core::prepareRun(*task->list, task->selection, task->renames, fileSystem,
                                     task->options);
        progress_->addTotal(task->renames.count());
        if (!task->run.ready) {
            // Its plan could not be kept: nothing is renamed there, nor anywhere after it.
            task->outcome->state = FolderOutcome::State::NotRecorded;
            task->outcome->result = task->run.result;
            stop_.store(true);
            return false;
        }
        if (queue_) {
            queue_->push(std::move(task));
        } else {
            perform(*task);
        }
        return !stopping();
    }

    // A failure elsewhere, or the user, asks every folder to stop between two files.
    bool stopping() const { return stop_.load() || interruptedBy() != 0; }

    // Renames in a prepared folder, and says how it ended.
    void perform(FolderTask& task) {
        FolderOutcome& outcome = *task.outcome;
        progress_->setFolder(task.path);
        outcome.result = core::performRun(task.run, *task.list, task.renames, task.options);
        const core::RunResult& result = outcome.result;
        if (result.syncError != 0) {
            outcome.syncError = result.syncError;
        }
        switch (result.end) {
            case core::RunResult::End::Cancelled:
                outcome.state = FolderOutcome::State::Stopped;
                outcome.next = task.renames.at(result.renamed);
                break;
            case core::RunResult::End::Failed:
                outcome.state = result.journalError != 0 ? FolderOutcome::State::NotRecorded
                                                         : FolderOutcome::State::Failed;
                stop_.store(true);
                break;
            default:
                outcome.state = FolderOutcome::State::Done;
                break;
        }
    }

    // The walk stops at the folder `path`: what was found before it is renamed, then it is
    // reported.
    bool walkStopped(const std::string& path, int error) {
        stopPath_ = path;
        stopErr_ = error;
        return false;
    }

    bool journaling() const { return !options_.dryRun && !options_.noUndo; }

    // What each folder came to, said on standard error where it is not what was asked; the exit
    // status.
    int report() {
        int status = kSuccess;
        bool stopped = false;
        std::int64_t renamed = 0;
        for (const FolderOutcome& outcome : outcomes_) {
            renamed += outcome.result.renamed;
        }
        for (const FolderOutcome& outcome : outcomes_) {
            const core::RunResult& result = outcome.result;
            const std::string& path = outcome.path;
            if (outcome.state == FolderOutcome::State::Failed) {
                std::string why = result.status.outcome == core::RenameOutcome::NoSafeRename
                                      ? noSafeRename(path)
                                      : renameFailure(path, result.status.error);
                writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: cannot rename %2 to %3: %4\n"),
                                 {programName(), escaped(core::joinPath(path, result.failedName)),
                                  escaped(core::joinPath(path, result.failedNewName)), why}));
                if (result.status.mayHaveActed) {
                    writeErr(message(
                        QT_TRANSLATE_NOOP("cli",
                                          "%1: the drive may still have made it: %2 may now "
                                          "also, or only, be named %3; the run is left cut "
                                          "short, and \"%1 undo\" takes it back once the drive "
                                          "answers\n"),
                        {programName(), escaped(core::joinPath(path, result.failedName)),
                         escaped(core::joinPath(path, result.failedNewName))}));
                }
            } else if (outcome.state == FolderOutcome::State::NotRecorded && renamed == 0) {
                writeErr(message(
                    QT_TRANSLATE_NOOP("cli",
                                      "%1: nothing renamed: the run could not be "
                                      "recorded for undo in %2: %3\n"),
                    {programName(), escaped(fs::stateDirectory()), reason(result.journalError)}));
            } else if (outcome.state == FolderOutcome::State::NotRecorded) {
                writeErr(message(QT_TRANSLATE_NOOP("cli",
                                                   "%1: nothing more renamed in %2: the run could "
                                                   "not be recorded for undo in %3: %4\n"),
                                 {programName(), escaped(path), escaped(fs::stateDirectory()),
                                  reason(result.journalError)}));
            }
            if (outcome.syncError != 0) {
                writeErr(message(QT_TRANSLATE_NOOP("cli",
                                                   "%1: the renames in %2 were made but may not "
                                                   "survive a power cut: %3\n"),
                                 {programName(), escaped(path), reason(outcome.syncError)}));
                status = kRunFailed;
            }
            if (outcome.state == FolderOutcome::State::Failed ||
                outcome.state == FolderOutcome::State::NotRecorded) {
                stopped = true;
                status = kRunFailed;
            }
        }
        if (stopped && outcomes_.size() > 1) {
            writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: each folder as the run left it:\n"),
                             {programName()}));
            for (const FolderOutcome& outcome : outcomes_) {
                writeErr(folderState(outcome));
            }
        }
        if (stopErr_ != 0) {
            writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: stopped at the folder %2: %3\n"),
                             {programName(), escaped(stopPath_), reason(stopErr_)}));
            status = kRunFailed;
        }
        if (const int signal = interruptedBy(); signal != 0) {
            for (const FolderOutcome& outcome : outcomes_) {
                if (outcome.state == FolderOutcome::State::Stopped) {
                    writeErr(message(
                        QT_TRANSLATE_NOOP("cli", "%1: stopped before %2, as asked\n"),
                        {programName(), escaped(core::joinPath(outcome.path, outcome.next))}));
                }
            }
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: stopped by the user; \"%1 undo\" takes "
                                               "back what was renamed\n"),
                             {programName()}));
            status = 128 + signal;
        }
        return status;
    }

    // One line of the report of a run that stopped.
    static std::string folderState(const FolderOutcome& outcome) {
        const core::RunResult& result = outcome.result;
        const std::string path = escaped(outcome.path);
        switch (outcome.state) {
            case FolderOutcome::State::Done:
                return message(QT_TRANSLATE_NOOP("cli", "  done: %1\n"), {path});
            case FolderOutcome::State::Failed:
                return message(QT_TRANSLATE_NOOP("cli", "  stopped at %1: %2\n"),
                               {escaped(core::joinPath(outcome.path, result.failedName)),
                                result.status.outcome == core::RenameOutcome::NoSafeRename
                                    ? noSafeRename(outcome.path)
                                    : renameFailure(outcome.path, result.status.error)});
            case FolderOutcome::State::NotRecorded:
                return message(
                    QT_TRANSLATE_NOOP("cli", "  stopped before %1: it could not be recorded\n"),
                    {result.failedName.empty()
                         ? path
                         : escaped(core::joinPath(outcome.path, result.failedName))});
            case FolderOutcome::State::Stopped:
                return message(
                    QT_TRANSLATE_NOOP("cli", "  stopped before %1: a failure elsewhere\n"),
                    {escaped(core::joinPath(outcome.path, outcome.next))});
            case FolderOutcome::State::NotStarted:
                break;
        }
        return message(QT_TRANSLATE_NOOP("cli", "  not started: %1\n"), {path});
    }

    void cannotOpen(const std::string& path, int error) {
        writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: cannot open %2: %3\n"),
                         {programName(), escaped(path), reason(error)}));
    }

    RenameOptions options_;
    std::unique_ptr<Printer> printer_;
    // One journal for every folder of the command, so undo takes all of it back.
    fs::RunRecorder recorder_{fs::stateDirectory(), /*mayLeaveReservations=*/true};
    std::vector<Job> jobs_;
    std::set<FolderId> done_;
    std::deque<FolderOutcome> outcomes_;  // in walk order; a task writes its own
    std::unique_ptr<fs::SyncBatch> syncs_;
    std::unique_ptr<TaskQueue> queue_;
    std::atomic<bool> stop_{false};
    std::unique_ptr<ProgressLine> progress_;
    std::unique_ptr<StallWatch> stall_;
    std::string stopPath_;  // where the walk stopped, if it did
    int stopErr_ = 0;
};

}  // namespace

// Each folder renamed in is held open until the end, when they are made durable together: as
// many as the system lets the process hold.
void holdManyFolders() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int renameCommand(const RenameOptions& options, const std::vector<std::string>& paths) {
    holdManyFolders();
    RenameCommand command(options);
    if (!command.plan(paths)) {
        return kUsageError;
    }
    return command.run();
}

}  // namespace cli
