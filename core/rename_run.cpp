#include "core/rename_run.h"

#include <algorithm>
#include <cerrno>

#include "core/naming.h"

namespace core {

RunResult renameRun(FileList& file1, WorkList& list1, WorkList& list2, FileSystem& fs,
                    const RunOptions& options) {
    RunResult result;

    list1.Clear();
    list2.Clear();

    // Selection pass, in file-list order. Walking the selected ranges gives the same names as
    // testing every entry, without a selection query per entry.
    const std::vector<SelectionRange> ranges = file1.SelectedRanges();
    std::int64_t selectedCount = 0;
    for (const SelectionRange& range : ranges) {
        selectedCount += range.last - range.first + 1;
    }
    list1.Reserve(selectedCount);
    for (const SelectionRange& range : ranges) {
        for (std::int64_t i = range.first; i <= range.last; ++i) {
            list1.AddItem(file1.List(i));
        }
    }
    result.selected = selectedCount;
    if (selectedCount == 0) {
        return result;
    }
    const std::int64_t n = list1.ListCount();
    if (n == 0) {
        return result;
    }

    // Exclusion pass: the program's own executable, by exact name.
    list2.Reserve(n);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::string& name = list1.List(i);
        if (std::find(options.excluded.begin(), options.excluded.end(), name) ==
            options.excluded.end()) {
            list2.AddItem(name);
        }
    }

    // Rename pass, one file after the other in list order. The folder is opened once, so every
    // rename happens in the folder that was listed even if its path changes meanwhile.
    result.end = RunResult::End::Completed;
    result.total = list2.ListCount();
    if (result.total > 0) {
        int openErr = 0;
        std::unique_ptr<Folder> folder = fs.Open(file1.Path(), openErr);
        for (std::int64_t i = 0; i < result.total; ++i) {
            const std::string& name = list2.List(i);
            std::string newName = kovra(file1.Path(), name);
            const RenameStatus status =
                folder ? folder->Rename(name, newName)
                       : RenameStatus{openErr != 0 ? openErr : EIO, false, true};
            if (status) {
                result.end = RunResult::End::Failed;
                result.status = status;
                result.oldPath = joinPath(file1.Path(), name);
                result.newPath = joinPath(file1.Path(), newName);
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
        if (folder) {
            result.syncErr = folder->Sync();
        }
    }

    // Read the folder again, also after a failure, so the list shows what is on disk now.
    file1.Refresh();
    return result;
}

}  // namespace core
