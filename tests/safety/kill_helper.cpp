// The real rename run over every file of a folder, publishing how far it got so that a test can
// kill it at a moment of its choosing.
//
//   kill_helper <folder> <progress file>
//   kill_helper --undo <progress file>
//   kill_helper --merge <progress file> <destination> <source>...
//
// The progress file holds two 64-bit counters, shared through mmap: the first becomes 1 once
// the folder is listed and the renames begin, the second counts the renames done. The run keeps
// its journal in the state folder of the environment (XDG_STATE_HOME), as the program does.
// With --undo it undoes the journal's run instead; the first counter becomes 1 as it begins, the
// second counts the entries taken back.
// With --merge it merges the sources into the destination; the first counter becomes 1 once the
// plan is made, the second counts the files moved or trashed.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "core/rename_run.h"
#include "fs/merge/merge.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"
#include "fs/undo/undo.h"

int main(int argc, char** argv) {
    const bool merge = argc >= 5 && std::string_view(argv[1]) == "--merge";
    if (argc != 3 && !merge) {
        std::fprintf(stderr, "usage: kill_helper <folder> <progress file>\n");
        return 2;
    }
    const int fd = ::open(argv[2], O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror("progress file");
        return 2;
    }
    void* map =
        ::mmap(nullptr, 2 * sizeof(std::int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        std::perror("mmap");
        return 2;
    }
    auto* counters = static_cast<std::int64_t*>(map);
    if (merge) {
        fs::MergeRequest request;
        request.destination = argv[3];
        request.sources.assign(argv + 4, argv + argc);
        fs::MergePlan plan;
        if (fs::planMerge(request, plan) != 0) {
            return 3;
        }
        fs::MergeRunControl control;
        control.progress = [counters](std::int64_t done, std::int64_t) {
            std::atomic_ref<std::int64_t>(counters[1]).store(done, std::memory_order_release);
            return true;
        };
        std::atomic_ref<std::int64_t>(counters[0]).store(1, std::memory_order_release);
        const fs::MergeResult result = fs::runMerge(plan, control);
        return result.end == fs::MergeResult::End::Completed && result.left == 0 ? 0 : 1;
    }
    if (std::string_view(argv[1]) == "--undo") {
        fs::UndoControl control;
        control.progress = [counters](std::int64_t done, std::int64_t) {
            std::atomic_ref<std::int64_t>(counters[1]).store(done, std::memory_order_release);
            return true;
        };
        std::atomic_ref<std::int64_t>(counters[0]).store(1, std::memory_order_release);
        const fs::UndoReport report = fs::undoLastRun(fs::stateDirectory(), control);
        return report.status == fs::UndoReport::Status::Done && report.problems.empty() ? 0 : 1;
    }

    fs::PlainFileList file1(argv[1]);
    if (file1.error() != 0) {
        return 3;
    }
    file1.selectAll();
    core::WorkList list1;
    core::WorkList list2;
    fs::RunRecorder recorder(fs::stateDirectory(), /*mayLeaveReservations=*/true);
    fs::PosixFileSystem fileSystem(&recorder);
    core::RunOptions options;
    options.journal = &recorder;
    options.progress = [counters](std::int64_t done, std::int64_t) {
        std::atomic_ref<std::int64_t>(counters[1]).store(done, std::memory_order_release);
        return true;
    };
    std::atomic_ref<std::int64_t>(counters[0]).store(1, std::memory_order_release);
    const core::RunResult result = core::renameRun(file1, list1, list2, fileSystem, options);
    if (result.end == core::RunResult::End::JournalFailed) {
        return 4;
    }
    return result.end == core::RunResult::End::Completed ? 0 : 1;
}
