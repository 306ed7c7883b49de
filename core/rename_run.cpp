#include "core/rename_run.h"

#include <algorithm>
#include <cerrno>

#include "core/naming.h"

namespace core {

PreparedRun prepareRun(FileList& files, WorkList& selectionList, WorkList& renameList,
                       FileSystem& fileSystem, const RunOptions& options) {
    PreparedRun prepared;
    RunResult& result = prepared.result;
    result.folder = files.path();

    selectionList.clear();
    renameList.clear();

    // Selection pass, in file-list order. Walking the selected ranges gives the same names as
    // testing every entry, without a selection query per entry.
    const std::vector<SelectionRange> ranges = files.selectedRanges();
    std::int64_t selectedCount = 0;
    for (const SelectionRange& range : ranges) {
        selectedCount += range.last - range.first + 1;
    }
    // Where the list keeps its names in a table, both work lists refer to them instead of copying.
    const std::shared_ptr<const NameTable> table = files.names();
    for (const SelectionRange& range : ranges) {
        for (std::int64_t i = range.first; i <= range.last; ++i) {
            if (table) {
                selectionList.appendShared(table, static_cast<std::size_t>(i));
            } else {
                selectionList.append(files.at(i), files.inodeAt(i));
            }
        }
    }
    result.selected = selectedCount;
    if (selectedCount == 0 || selectionList.count() == 0) {
        return prepared;
    }
    const std::int64_t n = selectionList.count();

    // The folder is opened once, so every rename happens in the folder that was listed even if
    // its path changes meanwhile.
    OpenedFolder opened = fileSystem.open(result.folder);
    if (opened.folder) {
        // The selection was made in the folder that was listed; if the path now leads to another
        // (the first renamed away, a new one made under its name), none of it applies there.
        const std::optional<FolderIdentity> listed = files.folderIdentity();
        const std::optional<FolderIdentity> now = opened.folder->identity();
        if (listed && now && *listed != *now) {
            result.end = RunResult::End::FolderReplaced;
            files.refresh();
            return prepared;
        }
    }
    std::vector<std::string> excluded = options.excluded;
    if (opened.folder) {
        for (std::string& own : opened.folder->programNames()) {
            excluded.push_back(std::move(own));
        }
    }

    const auto isExcluded = [&excluded](std::string_view name) {
        return std::find(excluded.begin(), excluded.end(), name) != excluded.end();
    };
    const auto isHidden = [](std::string_view name) { return !name.empty() && name[0] == '.'; };

    // The prefix takes the leading dot away, which unhides a file and breaks a configuration
    // file: the user decides before anything is renamed.
    bool leaveHiddenOut = false;
    if (options.hiddenNames) {
        std::vector<std::string> hidden;
        for (std::int64_t i = 0; i < n; ++i) {
            const std::string_view name = selectionList.at(i);
            if (isHidden(name) && !isExcluded(name)) {
                hidden.emplace_back(name);
            }
        }
        if (!hidden.empty()) {
            const HiddenNames choice = options.hiddenNames(hidden);
            if (choice == HiddenNames::Cancel) {
                result.end = RunResult::End::Declined;
                return prepared;
            }
            leaveHiddenOut = choice == HiddenNames::LeaveOut;
        }
    }

    // Exclusion pass: the program's own file, and hidden names if the user said so.
    for (std::int64_t i = 0; i < n; ++i) {
        const std::string_view name = selectionList.at(i);
        if (!isExcluded(name) && !(leaveHiddenOut && isHidden(name))) {
            renameList.appendFrom(selectionList, i);
        }
    }

    result.end = RunResult::End::Completed;
    result.total = renameList.count();
    // The plan is kept before the first rename; the selection stays as it was if it cannot be,
    // so the caller can ask and run again without a journal.
    RunJournal* const journal = result.total > 0 && opened.folder ? options.journal : nullptr;
    if (journal != nullptr) {
        if (const int err = journal->begin(result.folder, renameList, opened.folder.get());
            err != 0) {
            result.end = RunResult::End::JournalFailed;
            result.journalError = err;
            return prepared;
        }
    }
    prepared.folder = std::move(opened.folder);
    prepared.openError = opened.error;
    prepared.journal = journal;
    prepared.ready = true;
    return prepared;
}

RunResult performRun(PreparedRun& run, FileList& files, const WorkList& renameList,
                     const RunOptions& options) {
    RunResult& result = run.result;
    if (!run.ready) {
        return result;
    }
    run.ready = false;
    RunJournal* const journal = run.journal;
    if (result.total > 0) {
        // Rename pass, one file after the other in list order; none before its plan is kept.
        // The names are made in the same two strings each time, not allocated per file.
        std::int64_t kept = 0;
        std::string name;
        std::string newName = prefixedName(result.folder, {});
        const std::size_t prefix = newName.size();
        for (std::int64_t i = 0; i < result.total; ++i) {
            const std::string_view listed = renameList.at(i);
            name.assign(listed);
            newName.resize(prefix);
            newName.append(listed);
            int journalError = 0;
            if (journal != nullptr && i >= kept) {
                journalError = journal->keep(i + 1, kept);
            }
            const RenameStatus status =
                journalError != 0 ? RenameStatus::failed(journalError)
                : run.folder      ? run.folder->rename(name, newName)
                                  : RenameStatus{RenameOutcome::FolderUnavailable,
                                            run.openError != 0 ? run.openError : EIO};
            if (!status.done()) {
                result.end = RunResult::End::Failed;
                result.status = status;
                result.journalError = journalError;
                result.failedName = name;
                result.failedNewName = std::move(newName);
                break;
            }
            ++result.renamed;
            if (options.progress && !options.progress(result.renamed, result.total) &&
                result.renamed < result.total) {
                result.end = RunResult::End::Cancelled;
                break;
            }
        }
        if (run.folder) {
            result.syncError = run.folder->sync();
        }
        if (journal != nullptr) {
            if (result.end == RunResult::End::Cancelled) {
                journal->cancelled();
            }
            journal->end(result.renamed);
        }
    }

    // Also after a failure, the list shows what is on disk now.
    files.afterRun(renameList, result.renamed);
    return result;
}

RunResult renameRun(FileList& files, WorkList& selectionList, WorkList& renameList,
                    FileSystem& fileSystem, const RunOptions& options) {
    PreparedRun run = prepareRun(files, selectionList, renameList, fileSystem, options);
    return performRun(run, files, renameList, options);
}

}  // namespace core
