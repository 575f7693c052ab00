#include "core/concurrency/clock.h"

#include <algorithm>

namespace lumidex {
namespace {

class SteadyClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    bool callAt(TimePoint, std::function<void()>) override { return false; }
};

}  // namespace

Clock& Clock::steady() {
    static SteadyClock clock;
    return clock;
}

Clock::TimePoint ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool ManualClock::callAt(TimePoint when, std::function<void()> due) {
    std::lock_guard lock(mutex_);
    waiting_.push_back(Waiting{when, nextOrder_++, std::move(due)});
    return true;
}

void ManualClock::advance(Duration by) {
    TimePoint target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + by;
    }
    while (true) {
        std::function<void()> call;
        {
            std::lock_guard lock(mutex_);
            const auto next = std::min_element(waiting_.begin(), waiting_.end(), [](const Waiting& a, const Waiting& b) {
                return a.when != b.when ? a.when < b.when : a.order < b.order;
            });
            if (next == waiting_.end() || next->when > target) {
                now_ = std::max(now_, target);  // a call may itself have advanced the clock further
                return;
            }
            // Time passes up to each call, so a call that reads now() sees its own deadline.
            now_ = std::max(now_, next->when);
            call = std::move(next->due);
            waiting_.erase(next);
        }
        if (call) call();
    }
}

size_t ManualClock::waitingCalls() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

}  // namespace lumidex
