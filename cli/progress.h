#pragma once

// The line a long command draws on standard error while it runs on a terminal: files done of the
// total, the rate, the time left and the folder being worked on.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// --progress forces the line, --no-progress turns it off; by default it shows on a terminal.
enum class ProgressMode { Auto, On, Off };

// What the line says, fitted into `width` columns: the folder is shortened from its start.
// `seconds` is the time left, negative while it cannot be told yet.
std::string progressText(std::int64_t done, std::int64_t total, double rate, double seconds,
                         const std::string& folder, int width);

// Shows a command's progress while it lives. The command only moves counters (relaxed atomics,
// no system call); a thread of the line's own draws them a few times a second, from the first
// second on, and clears the line when the command ends.
class ProgressLine {
public:
    // Draws when `mode` is On, or Auto with standard error a terminal; not in Auto when standard
    // output is that terminal too and the command prints a line per file there
    // (`printsEachFile`).
    ProgressLine(ProgressMode mode, bool printsEachFile);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool shown() const { return drawer_.joinable(); }

    void addTotal(std::int64_t n) { total_.fetch_add(n, std::memory_order_relaxed); }
    void setTotal(std::int64_t n) { total_.store(n, std::memory_order_relaxed); }
    void addDone(std::int64_t n) { done_.fetch_add(n, std::memory_order_relaxed); }
    void setDone(std::int64_t n) { done_.store(n, std::memory_order_relaxed); }

    // The folder being worked on, a path as bytes; set once per folder.
    void setFolder(const std::string& path);
    // The same, cheap enough for each file: `path` is kept as a pointer, and must outlive the
    // line.
    void setFolderText(const char* path) { folderText_.store(path, std::memory_order_relaxed); }

    // Stops drawing and clears the line: before the command's report.
    void finish();

private:
    void draw();
    void loop();

    std::atomic<std::int64_t> done_{0};
    std::atomic<std::int64_t> total_{0};
    std::atomic<const char*> folderText_{nullptr};
    std::mutex mutex_;  // the folder, and the stop
    std::condition_variable wake_;
    bool stop_ = false;
    std::string folder_;
    std::chrono::steady_clock::time_point start_;
    // The count a few seconds back, for the rate of late.
    std::chrono::steady_clock::time_point sampledAt_;
    std::int64_t sampled_ = 0;
    double rate_ = 0;
    int width_ = 80;
    bool drawn_ = false;
    std::thread drawer_;
};

}  // namespace cli
