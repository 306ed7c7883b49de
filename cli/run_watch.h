#pragma once

// What a command's run watches besides its files: SIGINT and SIGTERM, which stop it between two
// files as the window's cancel does, and a drive that stops answering, said once on standard
// error.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// From now on SIGINT and SIGTERM stop the run between two files; a second one ends the program
// at once, as it would have without this.
void catchInterrupts();

// The signal that asked the run to stop, or 0.
int interruptedBy();

// Says once, on standard error, that the drive of the folder renamed in has not answered for
// `patience`, while the run waits for it. `moved` is called by the run after each file.
class StallWatch {
public:
    explicit StallWatch(std::chrono::milliseconds patience = std::chrono::seconds(5));
    ~StallWatch();
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // A file of `folder` was renamed, or is about to be.
    void moved(const std::string& folder);

private:
    void watch();

    std::chrono::milliseconds patience_;
    std::atomic<std::int64_t> lastNs_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string folder_;  // the folder of the last file, guarded by mutex_
    bool done_ = false;
    std::thread thread_;
};

}  // namespace cli
