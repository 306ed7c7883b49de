#include "cli/run_watch.h"

#include <signal.h>

#include <QtGlobal>
#include <csignal>
#include <vector>

#include "cli/command_util.h"
#include "cli/text.h"
#include "fs/mounts.h"

namespace cli {

namespace {

volatile std::sig_atomic_t gInterrupt = 0;

extern "C" void onInterrupt(int signal) {
    gInterrupt = signal;
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // The second one is not caught: a user who presses Ctrl+C again wants out now.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int interruptedBy() {
    return gInterrupt;
}

StallWatch::StallWatch(std::chrono::milliseconds patience)
    : patience_(patience), lastNs_(nowNs()), thread_([this] { watch(); }) {}

StallWatch::~StallWatch() {
    {
        const std::lock_guard lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void StallWatch::moved(const std::string& folder) {
    lastNs_.store(nowNs(), std::memory_order_relaxed);
    // Only when it changes: the run calls this for every file.
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock() && folder_ != folder) {
        folder_ = folder;
    }
}

void StallWatch::watch() {
    std::unique_lock lock(mutex_);
    const std::int64_t patience =
        std::chrono::duration_cast<std::chrono::nanoseconds>(patience_).count();
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; })) {
        if (folder_.empty() || nowNs() - lastNs_.load(std::memory_order_relaxed) < patience) {
            continue;
        }
        // Named from the mount table alone: the drive itself is not asked.
        const std::string drive = fs::driveFolder(folder_, fs::readMountTable());
        writeErr(
            message(QT_TRANSLATE_NOOP("cli",
                                      "%1: the drive %2 has not answered for %3 seconds; "
                                      "waiting for it (Ctrl+C stops between two files)\n"),
                    {programName(), escaped(drive), std::to_string(patience_.count() / 1000)}));
        return;  // once
    }
}

}  // namespace cli
