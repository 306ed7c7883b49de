#include "cli/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_set>
#include <utility>

#include "cli/text.h"
#include "core/naming.h"
#include "core/paths.h"
#include "core/rename_run.h"
#include "core/worklist.h"
#include "fs/folder_reader.h"
#include "fs/listing.h"
#include "fs/namerule.h"
#include "fs/rename.h"
#include "fs/syscalls.h"
#include "fs/undo.h"

namespace cli {

namespace {

using FolderId = std::pair<dev_t, ino_t>;

std::string programName() {
    return "kovra";
}

// Prints each rename as `old -> new`, full paths, escaped, one per line.
class Printer {
public:
    void renamed(const std::string& folder, const std::string& from, const std::string& to) {
        writeOut(escaped(core::joinPath(folder, from)) + " -> " +
                 escaped(core::joinPath(folder, to)) + "\n");
    }
};

// The files of one folder, all selected, with the inode numbers the walk found for them (none
// for files named one by one). Nothing is shown afterwards, so nothing is read again.
class NameList : public core::FileList {
public:
    NameList(const std::string& path, const std::vector<std::string>& names,
             const std::vector<std::uint64_t>& inodes)
        : path_(path), names_(names), inodes_(inodes) {}
    const std::string& path() const override { return path_; }
    std::int64_t count() const override { return static_cast<std::int64_t>(names_.size()); }
    std::string_view at(std::int64_t i) const override {
        return names_[static_cast<std::size_t>(i)];
    }
    std::uint64_t inodeAt(std::int64_t i) const override {
        return inodes_.empty() ? 0 : inodes_[static_cast<std::size_t>(i)];
    }
    std::vector<core::SelectionRange> selectedRanges() const override {
        if (names_.empty()) {
            return {};
        }
        return {{0, count() - 1}};
    }
    void refresh() override {}

private:
    const std::string& path_;
    const std::vector<std::string>& names_;
    const std::vector<std::uint64_t>& inodes_;
};

// Stops a run at the point where it would keep its plan: what it would rename is then in its
// rename list, and nothing was renamed.
class PlanOnly : public core::RunJournal {
public:
    int begin(const std::string&, const core::WorkList&) override {
        taken = true;
        return ECANCELED;
    }
    void end(std::int64_t) override {}
    bool taken = false;
};

// A folder the walk holds open: the renames are made relative to that handle, so a folder moved
// or replaced by a link while the command runs is never renamed in.
class HeldFolder : public core::Folder {
public:
    HeldFolder(int fd, std::string path, Printer* printer, fs::RunRecorder* recorder = nullptr)
        : fd_(fd), path_(std::move(path)), printer_(printer), recorder_(recorder) {}
    core::RenameStatus rename(const std::string& from, const std::string& to) override {
        if (recorder_ != nullptr) {
            // Once, not per file: the plan is written by the first rename.
            observer_ = std::exchange(recorder_, nullptr)->observerFor(path_);
        }
        core::RenameStatus status = fs::renameNoReplace(fd_, from, to, method_, observer_);
        if (status.done() && printer_ != nullptr) {
            printer_->renamed(path_, from, to);
        }
        return status;
    }
    int sync() override { return fs::syscalls().fsync(fd_) == 0 ? 0 : errno; }
    std::optional<std::string> runningProgramName() const override {
        return fs::runningProgramNameIn(fd_);
    }

protected:
    int fd_;
    std::string path_;
    Printer* printer_;
    fs::RunRecorder* recorder_;
    fs::RenameObserver* observer_ = nullptr;
    // What the folder's file system offers, found on the first rename and kept for the others.
    fs::RenameMethod method_ = fs::RenameMethod::Unknown;
};

// The dry run's folder: renames are played on a record of which names are taken, so the names a
// real run would refuse (an existing name, one taken by an earlier rename) are refused here too.
class DryFolder : public HeldFolder {
public:
    DryFolder(int fd, std::string path, Printer* printer)
        : HeldFolder(fd, std::move(path), printer), rule_(fs::nameRuleAt(fd)) {}
    core::RenameStatus rename(const std::string& from, const std::string& to) override {
        // In the kernel's order: the old name is looked up, then the new one, which the drive
        // refuses as too long before it could find it taken.
        if (!exists(from)) {
            return core::RenameStatus::failed(ENOENT);
        }
        if (!rule_.fits(to)) {
            return core::RenameStatus::failed(ENAMETOOLONG);
        }
        if (exists(to)) {
            return core::RenameStatus::failed(EEXIST);
        }
        added_.erase(from);
        gone_.insert(from);
        gone_.erase(to);
        added_.insert(to);
        if (printer_ != nullptr) {
            printer_->renamed(path_, from, to);
        }
        return {};
    }
    int sync() override { return 0; }

private:
    bool exists(const std::string& name) const {
        if (added_.count(name) != 0) {
            return true;
        }
        if (gone_.count(name) != 0) {
            return false;
        }
        struct stat st {};
        return ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
    }
    fs::NameRule rule_;
    std::unordered_set<std::string> gone_;
    std::unordered_set<std::string> added_;
};

// Hands the run the folder already held open, whatever path it asks for.
class HeldFileSystem : public core::FileSystem {
public:
    HeldFileSystem(int fd, bool dryRun, Printer* printer, fs::RunRecorder* recorder = nullptr)
        : fd_(fd), dryRun_(dryRun), printer_(printer), recorder_(recorder) {}
    core::OpenedFolder open(const std::string& path) override {
        if (dryRun_) {
            return {std::make_unique<DryFolder>(fd_, path, printer_), 0};
        }
        return {std::make_unique<HeldFolder>(fd_, path, printer_, recorder_), 0};
    }

private:
    int fd_;
    bool dryRun_;
    Printer* printer_;
    fs::RunRecorder* recorder_;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct FolderEntries {
    std::vector<fs::FileEntry> files;  // as the window's file list shows them
    std::vector<std::string> folders;  // real folders only, never a link to one
    int error = 0;
};

// One read of the folder `fd` for both its files and its subfolders. A link to a folder is
// neither: the file list shows it with the folders, and the walk never follows it.
FolderEntries readEntries(int fd) {
    FolderEntries entries;
    entries.error = fs::readFolder(fd, fs::Kinds::Resolve, [&entries](const fs::FolderEntry& e) {
        if (e.kind == fs::EntryKind::Folder) {
            entries.folders.emplace_back(e.name);
        } else if (e.kind == fs::EntryKind::File) {
            entries.files.push_back({std::string(e.name), e.inode});
        }
        return true;
    });
    std::sort(entries.files.begin(), entries.files.end(),
              [](const fs::FileEntry& a, const fs::FileEntry& b) {
                  return fs::displayLess(a.name, b.name);
              });
    fs::sortForDisplay(entries.folders);
    return entries;
}

const char* noSafeRename() {
    return QT_TRANSLATE_NOOP("cli", "the drive has no rename that cannot replace a file");
}

bool isHidden(const std::string& name) {
    return !name.empty() && name[0] == '.';
}

// One folder the command renames in, as the walk found it.
struct FolderRun {
    std::string path;
    FolderId id;
    std::vector<std::string> names;
    std::vector<std::uint64_t> inodes;  // the walk's, one per name; empty for named files
};

// What one folder of the command line asks for: all its files, or some named ones.
struct Job {
    std::string folder;  // canonical path: its last component is the real folder's name
    FolderId id;
    bool all = false;
    std::vector<std::string> names;
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
                jobs_.push_back({folder, id, false, {}});
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

    // Finds every folder's files first, and keeps the plan of all of them as one journal, so
    // undo takes the whole command back; then renames folder after folder, stopping at the first
    // failure.
    int run() {
        for (const Job& job : jobs_) {
            if (done_.count(job.id) != 0) {
                continue;  // already walked as a subfolder of an earlier path
            }
            Fd fd(::open(job.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (fd.get() < 0) {
                stop(job.folder, errno);
                break;
            }
            struct stat st {};
            if (::fstat(fd.get(), &st) != 0 || FolderId{st.st_dev, st.st_ino} != job.id) {
                stop(job.folder, ESTALE);
                break;
            }
            const bool complete = job.all ? walk(fd.get(), job.folder, job.id)
                                          : add(fd.get(), job.folder, job.id, job.names);
            if (!complete) {
                break;
            }
        }
        if (journalErr_ == 0 && journaling() && !recorder_.empty()) {
            journalErr_ = recorder_.commit();
        }
        if (journalErr_ != 0) {
            return journalFailed(journalErr_);
        }
        int status = kSuccess;
        for (const FolderRun& folder : folders_) {
            Fd fd(::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat st {};
            if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
                status = folderFailed(folder.path, errno);
                break;
            }
            if (FolderId{st.st_dev, st.st_ino} != folder.id) {
                status = folderFailed(folder.path, ESTALE);  // moved or replaced since it was read
                break;
            }
            if (status = renameIn(fd.get(), folder); status != kSuccess) {
                break;
            }
        }
        recorder_.markEnded();
        if (status == kSuccess && stopErr_ != 0) {
            status = folderFailed(stopPath_, stopErr_);
        }
        return status;
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
    // (--all) or given one by one. False when the walk stops at a folder it cannot read.
    bool walk(int fd, const std::string& path, FolderId id) {
        done_.insert(id);
        FolderEntries entries = readEntries(fd);
        if (entries.error != 0) {
            return stop(path, entries.error);
        }
        if (!options_.all) {
            const auto job =
                std::find_if(jobs_.begin(), jobs_.end(), [id](const Job& j) { return j.id == id; });
            const std::vector<std::string> none;
            const std::vector<std::string>& named = job != jobs_.end() ? job->names : none;
            std::erase_if(entries.files, [&named](const fs::FileEntry& file) {
                return isHidden(file.name) &&
                       !std::binary_search(named.begin(), named.end(), file.name, fs::displayLess);
            });
        }
        std::vector<std::string> names;
        std::vector<std::uint64_t> inodes;
        names.reserve(entries.files.size());
        inodes.reserve(entries.files.size());
        for (fs::FileEntry& file : entries.files) {
            names.push_back(std::move(file.name));
            inodes.push_back(file.inode);
        }
        if (!add(fd, path, id, std::move(names), std::move(inodes))) {
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
                return stop(childPath, errno);
            }
            struct stat st {};
            if (::fstat(child.get(), &st) != 0) {
                return stop(childPath, errno);
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

    // Adds the folder `fd` with the files to rename in it, and its plan to the journal. False when
    // the plan cannot be kept: the command then renames nothing.
    bool add(int fd, const std::string& path, FolderId id, std::vector<std::string> names,
             std::vector<std::uint64_t> inodes = {}) {
        if (names.empty()) {
            return true;
        }
        FolderRun folder{path, id, std::move(names), std::move(inodes)};
        if (journaling()) {
            // The run itself says what it would rename: the plan is the one it will begin with.
            NameList files(folder.path, folder.names, folder.inodes);
            core::WorkList selectionList;
            core::WorkList renameList;
            HeldFileSystem fileSystem(fd, false, nullptr);
            PlanOnly planOnly;
            core::RunOptions options;
            options.journal = &planOnly;
            core::renameRun(files, selectionList, renameList, fileSystem, options);
            if (!planOnly.taken) {
                return true;  // nothing it would rename
            }
            if (const int err = recorder_.addFolder(fd, path, renameList); err != 0) {
                journalErr_ = err;
                return false;
            }
        }
        folders_.push_back(std::move(folder));
        return true;
    }

    // The walk stops at the folder `path`: what was found before it is renamed, then it is
    // reported.
    bool stop(const std::string& path, int error) {
        stopPath_ = path;
        stopErr_ = error;
        return false;
    }

    bool journaling() const { return !options_.dryRun && !options_.noUndo; }

    int renameIn(int fd, const FolderRun& folder) {
        const std::string& path = folder.path;
        NameList files(path, folder.names, folder.inodes);
        core::WorkList selectionList;
        core::WorkList renameList;
        HeldFileSystem fileSystem(fd, options_.dryRun, printer_.get(),
                                  journaling() ? &recorder_ : nullptr);
        const core::RunResult result =
            core::renameRun(files, selectionList, renameList, fileSystem, runOptions());
        if (result.end == core::RunResult::End::JournalFailed) {
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: nothing renamed in %2: the run could not be "
                                               "recorded for undo in %3: %4\n"),
                             {programName(), escaped(path), escaped(fs::stateDirectory()),
                              reason(result.journalError)}));
            return kRunFailed;
        }
        if (result.end == core::RunResult::End::Failed) {
            std::string why =
                result.status.outcome == core::RenameOutcome::NoSafeRename
                    ? message(QT_TRANSLATE_NOOP(
                          "cli", "the drive has no rename that cannot replace a file"))
                    : reason(result.status.error);
            writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: cannot rename %2 to %3: %4\n"),
                             {programName(), escaped(core::joinPath(path, result.failedName)),
                              escaped(core::joinPath(path, result.failedNewName)), why}));
            return kRunFailed;
        }
        if (result.syncError != 0) {
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: the renames in %2 were made but may not "
                                               "survive a power cut: %3\n"),
                             {programName(), escaped(path), reason(result.syncError)}));
            return kRunFailed;
        }
        return kSuccess;
    }

    // The options of one folder's run.
    core::RunOptions runOptions() {
        core::RunOptions runOptions;
        // A dry run changes nothing, and must not take the place of the run to undo.
        if (journaling()) {
            runOptions.journal = &recorder_;
        }
        return runOptions;
    }

    // The plan could not be kept: nothing was renamed.
    int journalFailed(int error) {
        writeErr(message(QT_TRANSLATE_NOOP("cli",
                                           "%1: nothing renamed: the run could not be recorded "
                                           "for undo in %2: %3\n"),
                         {programName(), escaped(fs::stateDirectory()), reason(error)}));
        return kRunFailed;
    }

    void cannotOpen(const std::string& path, int error) {
        writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: cannot open %2: %3\n"),
                         {programName(), escaped(path), reason(error)}));
    }

    int folderFailed(const std::string& path, int error) {
        writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: stopped at the folder %2: %3\n"),
                         {programName(), escaped(path), reason(error)}));
        return kRunFailed;
    }

    RenameOptions options_;
    std::unique_ptr<Printer> printer_;
    // One journal for every folder of the command, so undo takes all of it back.
    fs::RunRecorder recorder_{fs::stateDirectory(), /*mayLeaveReservations=*/true};
    std::vector<Job> jobs_;
    std::set<FolderId> done_;
    std::vector<FolderRun> folders_;  // in the order they are renamed in
    std::string stopPath_;            // where the walk stopped, if it did
    int stopErr_ = 0;
    int journalErr_ = 0;  // why the plan could not be kept
};

}  // namespace

int renameCommand(const RenameOptions& options, const std::vector<std::string>& paths) {
    RenameCommand command(options);
    if (!command.plan(paths)) {
        return kUsageError;
    }
    return command.run();
}

namespace {

// The local time of `ns` (since the epoch), as the history shows it.
std::string localTime(std::int64_t ns) {
    const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
    std::tm parts{};
    char text[32] = "?";
    if (::localtime_r(&seconds, &parts) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    }
    return text;
}

std::string stateWord(fs::RunSummary::State state) {
    using State = fs::RunSummary::State;
    switch (state) {
        case State::Done:
            return message(QT_TRANSLATE_NOOP("cli", "done"));
        case State::CutShort:
            return message(QT_TRANSLATE_NOOP("cli", "cut short"));
        case State::Kept:
            return message(QT_TRANSLATE_NOOP("cli", "cut short, left so"));
        case State::Undone:
            return message(QT_TRANSLATE_NOOP("cli", "undone"));
        case State::InProgress:
            return message(QT_TRANSLATE_NOOP("cli", "in progress"));
        case State::Bad:
            return message(QT_TRANSLATE_NOOP("cli", "damaged"));
    }
    return {};
}

}  // namespace

int undoListCommand() {
    const std::vector<fs::RunSummary> history = fs::runHistory(fs::stateDirectory());
    int n = 0;
    for (const fs::RunSummary& run : history) {
        std::string folders;
        for (std::size_t i = 0; i < run.folders.size(); ++i) {
            // A merge's: its sources, then "->" and its destination.
            const char* separator =
                i == 0 ? "" : (run.merge && i + 1 == run.folders.size() ? " -> " : ", ");
            folders += separator + escaped(run.folders[i]);
        }
        writeOut(std::to_string(++n) + "  " + localTime(run.startedAt) + "  " +
                 countMessage(QT_TRANSLATE_N_NOOP("cli", "%n files"), static_cast<int>(run.files)) +
                 "  " + stateWord(run.state) + "  " + folders + "\n");
    }
    return kSuccess;
}

int undoCommand(int entry) {
    using Status = fs::UndoReport::Status;
    const std::string stateDir = fs::stateDirectory();
    std::string run;
    if (entry == 0) {
        run = fs::lastUndoableRun(stateDir);
    } else if (const std::vector<fs::RunSummary> history = fs::runHistory(stateDir);
               static_cast<std::size_t>(entry) <= history.size()) {
        run = history[static_cast<std::size_t>(entry) - 1].run;
    } else {
        writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: there is no run %2 in the history\n"),
                         {programName(), std::to_string(entry)}));
        return kUsageError;
    }
    const fs::UndoReport report = run.empty() ? fs::UndoReport{} : fs::undoRun(run);
    const std::string folder = escaped(report.folder);
    switch (report.status) {
        case Status::Nothing:
            writeErr(message(QT_TRANSLATE_NOOP("cli", "%1: there is no rename run to undo\n"),
                             {programName()}));
            return kRunFailed;
        case Status::InProgress:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: that run is still in progress, or being "
                                               "undone; nothing was changed\n"),
                             {programName()}));
            return kRunFailed;
        case Status::DriveAbsent:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: the drive of %2 (%3) is not connected; "
                                               "nothing was changed, and the run can be undone "
                                               "once it is\n"),
                             {programName(), folder, escaped(report.drive)}));
            return kRunFailed;
        case Status::BadJournal:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: the record of the run is damaged or "
                                               "unreadable; nothing was changed, and the record "
                                               "was kept as %2\n"),
                             {programName(), escaped(report.run + ".bad")}));
            return kRunFailed;
        case Status::FolderGone:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: the folder of the last run, %2, is gone; "
                                               "nothing was changed\n"),
                             {programName(), folder}));
            return kRunFailed;
        case Status::CannotExamine:
            writeErr(message(QT_TRANSLATE_NOOP("cli",
                                               "%1: cannot read the folder of the last run, %2: "
                                               "%3; nothing was changed\n"),
                             {programName(), folder, reason(report.err)}));
            return kRunFailed;
        case Status::Done:
            break;
    }
    const std::string where =
        report.folders.size() > 1
            ? countMessage(QT_TRANSLATE_N_NOOP("cli", "%1 and %n other folders"),
                           static_cast<int>(report.folders.size() - 1), {folder})
            : folder;
    writeOut(where + ": " +
             countMessage(QT_TRANSLATE_N_NOOP("cli", "%n files renamed back"),
                          static_cast<int>(report.renamed)) +
             "\n");
    for (const fs::EntryReport& e : report.problems) {
        std::string why;
        switch (e.problem) {
            case fs::EntryProblem::Missing:
                why = message(QT_TRANSLATE_NOOP("cli", "the file was changed, moved or removed"));
                break;
            case fs::EntryProblem::NameTaken:
                why = message(QT_TRANSLATE_NOOP("cli", "a file or folder has the old name now"));
                break;
            case fs::EntryProblem::NoSafeRename:
                why = message(noSafeRename());
                break;
            case fs::EntryProblem::FolderGone:
                why = message(
                    QT_TRANSLATE_NOOP("cli", "its folder is gone, or is another folder now"));
                break;
            case fs::EntryProblem::CannotExamine:
                why = message(QT_TRANSLATE_NOOP("cli", "cannot read its folder: %1"),
                              {reason(e.err)});
                break;
            case fs::EntryProblem::DriveAbsent:
                why = message(QT_TRANSLATE_NOOP("cli", "its drive is not connected"));
                break;
            case fs::EntryProblem::RemoveFailed:
            case fs::EntryProblem::RenameFailed:
            case fs::EntryProblem::NotReached:
                why = reason(e.err);
                break;
        }
        // A merge's new name is a whole path, in its destination.
        const bool whole = !e.newName.empty() && e.newName.front() == '/';
        writeErr(message(
            QT_TRANSLATE_NOOP("cli", "%1: cannot rename %2 back to %3: %4\n"),
            {programName(), escaped(whole ? e.newName : core::joinPath(e.folder, e.newName)),
             escaped(core::joinPath(e.folder, e.oldName)), why}));
    }
    if (report.syncError != 0) {
        writeErr(message(QT_TRANSLATE_NOOP("cli",
                                           "%1: the renames in %2 were made but may not "
                                           "survive a power cut: %3\n"),
                         {programName(), folder, reason(report.syncError)}));
    }
    return report.problems.empty() && report.syncError == 0 ? kSuccess : kRunFailed;
}

}  // namespace cli
