#pragma once

// Calls that may hang (a stat of a drive root, opening or listing a folder on a stuck network or
// FUSE mount) run on a thread of their own, so that the caller can give up waiting while the
// call stays stuck in the kernel.
//
// Thread safety: the call and `onDone` run on the worker thread and must own everything they use
// (capture by value: a call given up on may return long after its caller's frame is gone). The
// answer lives in a shared state kept alive by shared pointers, so a late answer that nobody
// waits for any more is dropped without touching freed memory. One `PendingAnswer` object must not
// be used from two threads at once; copies of it may be used from different threads.
//
// A call stuck in a FUSE request that its daemon has already taken cannot be killed, not even
// by the program's exit: the process ends only once the daemon answers or the mount is aborted.

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

namespace fs {

namespace detail {

// Worker threads started and not yet finished, the stuck ones included.
inline std::atomic<int> workersInFlight{0};

}  // namespace detail

// A stuck mount keeps its thread for as long as it is stuck; past this many threads in flight
// no new call is started, so that a window polling a dead drive cannot pile up threads.
inline constexpr int kMaxWorkersInFlight = 64;

// Worker threads started and not yet finished.
inline int workersInFlight() {
    return detail::workersInFlight.load();
}

template <class R>
class PendingAnswer;

// Starts `call` on a detached thread of its own and returns its pending answer at once. When
// the call returns, `onDone` (if any) runs on that worker thread: a window hands it on to its
// own thread (and must check there that it still exists). What `onDone` throws is dropped.
template <class F>
auto startCall(F call, std::function<void()> onDone = {})
    -> PendingAnswer<std::invoke_result_t<F&>>;

// The answer of a call running on its own thread.
template <class R>
class PendingAnswer {
public:
    PendingAnswer() = default;

    // False when the call was not started (too many threads in flight, or no thread could be
    // made): such a handle never becomes ready.
    bool valid() const { return answer_.valid(); }
    // Whether the call has returned (or thrown); never blocks.
    bool ready() const { return wait_for(std::chrono::milliseconds(0)); }
    // Waits at most `timeout` for the call; true when it has returned.
    bool wait_for(std::chrono::milliseconds timeout) const {
        return valid() && answer_.wait_for(timeout) == std::future_status::ready;
    }
    // The call's result, or its exception rethrown. Blocks until the call returns: call it only
    // once `ready()` holds where blocking is not allowed. Requires `valid()`.
    const R& get() const { return answer_.get(); }

private:
    template <class F>
    friend auto startCall(F call, std::function<void()> onDone)
        -> PendingAnswer<std::invoke_result_t<F&>>;

    explicit PendingAnswer(std::shared_future<R> answer) : answer_(std::move(answer)) {}

    std::shared_future<R> answer_;
};

template <class F>
auto startCall(F call, std::function<void()> onDone) -> PendingAnswer<std::invoke_result_t<F&>> {
    using R = std::invoke_result_t<F&>;
    static_assert(!std::is_void_v<R> && !std::is_reference_v<R>, "the call must return a value");
    std::promise<R> promise;
    std::shared_future<R> answer = promise.get_future().share();
    if (detail::workersInFlight.fetch_add(1) >= kMaxWorkersInFlight) {
        detail::workersInFlight.fetch_sub(1);
        return {};
    }
    try {
        std::thread([call = std::move(call), promise = std::move(promise),
                     onDone = std::move(onDone)]() mutable {
            {
                // Moved out so that all the call owns is gone before the thread counts as
                // finished.
                F work = std::move(call);
                std::promise<R> result = std::move(promise);
                const std::function<void()> notify = std::move(onDone);
                try {
                    result.set_value(work());
                } catch (...) {
                    result.set_exception(std::current_exception());
                }
                if (notify) {
                    try {
                        notify();
                    } catch (...) {
                        // Nobody to report to on a detached thread; losing the notice beats
                        // terminating the program.
                    }
                }
            }
            detail::workersInFlight.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        detail::workersInFlight.fetch_sub(1);
        return {};
    } catch (...) {
        detail::workersInFlight.fetch_sub(1);
        throw;
    }
    return PendingAnswer<R>(std::move(answer));
}

// Runs `call` on a worker thread and waits at most `deadline` for it. Returns nullopt when it
// has not returned in time (or could not be started); it is then left to finish on its own and
// its answer is dropped. An exception thrown in time by the call is rethrown here.
template <class R>
std::optional<R> callWithDeadline(std::function<R()> call, std::chrono::milliseconds deadline) {
    const PendingAnswer<R> pending = startCall(std::move(call));
    if (!pending.wait_for(deadline)) {
        return std::nullopt;
    }
    return pending.get();
}

}  // namespace fs
