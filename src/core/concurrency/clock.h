// Steady time as a dependency, so that code which waits (debounces, polls, back-offs) can be driven
// by a test in microseconds instead of real seconds.
//
// Clock::steady() is the process's monotonic clock. ManualClock stands still until advance() moves
// it; the calls due by then run on the advancing thread, in deadline order. Both are thread-safe.
// A clock must outlive every Timer and component built on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace lumidex {

class Clock {
public:
    using Duration = std::chrono::steady_clock::duration;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    // Arranges for DUE to be called once now() reaches WHEN. False when the clock leaves waiting to
    // the caller's own timer (the real clock): then nothing is kept.
    virtual bool callAt(TimePoint when, std::function<void()> due) = 0;

    static Clock& steady();
};

class ManualClock final : public Clock {
public:
    ManualClock() = default;
    TimePoint now() const override;
    bool callAt(TimePoint when, std::function<void()> due) override;
    // Moves time forward by BY and runs every call that came due, including ones they schedule.
    void advance(Duration by);
    // Calls registered and not yet run (stale ones of cancelled timers included).
    size_t waitingCalls() const;

private:
    struct Waiting {
        TimePoint when;
        uint64_t order;
        std::function<void()> due;
    };
    mutable std::mutex mutex_;
    TimePoint now_{};
    uint64_t nextOrder_ = 0;
    std::vector<Waiting> waiting_;
};

}  // namespace lumidex
