// Delayed calls on steady time.
//
// Timer: one pending call at a time. schedule() replaces whatever was pending and restarts the delay
// (the building block of debouncing). The callback runs on the pool, or on a SerialExecutor when the
// timer was built with one. Thread-safe. Once cancel() (or a new schedule()) returns, the previous
// callback will not start; one already running is not interrupted. With a SerialExecutor target,
// cancelling from that executor is exact: a call that is due but has not started never runs.
// Destruction cancels and waits for a running callback (unless called from inside it), so the callback
// never runs after the destructor returns. Must not outlive its pool, executor or clock. On a
// ManualClock the delay passes only when the clock is advanced.
#pragma once

#include "core/concurrency/clock.h"
#include "core/concurrency/serial_executor.h"
#include "core/concurrency/thread_pool.h"

#include <chrono>
#include <functional>
#include <memory>

namespace lumidex {

class Timer {
public:
    using Duration = std::chrono::steady_clock::duration;

    explicit Timer(ThreadPool& pool = ThreadPool::shared(), Clock& clock = Clock::steady());
    explicit Timer(SerialExecutor& executor, Clock& clock = Clock::steady());
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void schedule(Duration delay, std::function<void()> callback);
    // Calls back every `interval` (the first time after one interval) until cancelled; the next
    // interval is measured from the end of each call, so a slow callback never causes a burst.
    void scheduleRepeating(Duration interval, std::function<void()> callback);
    // True when a pending call was withdrawn.
    bool cancel();
    bool isPending() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// The delay before delivering a debounced event: the quiet period, but never past `maxWait` after the
// first event of the burst (zero once that bound has passed).
Timer::Duration debounceDelay(Timer::Duration sinceFirstEvent, Timer::Duration quietPeriod, Timer::Duration maxWait);

}  // namespace lumidex
