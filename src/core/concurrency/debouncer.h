// Collapses bursts of events per key: a key is delivered once, `quietPeriod` after its last trigger,
// but never later than `maxWait` after the first trigger of the burst; a trigger after delivery starts
// a new burst.
//
// Thread-safe. Deliveries run on the given executor (or the pool), one call per burst. shutdown()
// withdraws everything pending and ignores later triggers; destruction does the same and waits for a
// delivery in progress, so the callback never runs after the destructor returns.
#pragma once

#include "core/concurrency/timer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lumidex {

template <class Key, class Hash = std::hash<Key>>
class Debouncer {
public:
    using Deliver = std::function<void(const Key&)>;

    Debouncer(Timer::Duration quietPeriod, Timer::Duration maxWait, SerialExecutor& executor, Deliver deliver,
              Clock& clock = Clock::steady())
        : quietPeriod_(quietPeriod), maxWait_(maxWait), executor_(&executor), clock_(clock), deliver_(std::move(deliver)) {}
    Debouncer(Timer::Duration quietPeriod, Timer::Duration maxWait, ThreadPool& pool, Deliver deliver,
              Clock& clock = Clock::steady())
        : quietPeriod_(quietPeriod), maxWait_(maxWait), pool_(&pool), clock_(clock), deliver_(std::move(deliver)) {}
    ~Debouncer() { shutdown(); }
    Debouncer(const Debouncer&) = delete;
    Debouncer& operator=(const Debouncer&) = delete;

    void trigger(const Key& key) {
        std::lock_guard lock(mutex_);
        if (shutDown_) return;
        const auto now = clock_.now();
        auto [it, inserted] = bursts_.try_emplace(key);
        if (inserted) {
            it->second.firstEvent = now;
            it->second.timer =
                executor_ ? std::make_unique<Timer>(*executor_, clock_) : std::make_unique<Timer>(*pool_, clock_);
        }
        it->second.timer->schedule(debounceDelay(now - it->second.firstEvent, quietPeriod_, maxWait_),
                                   [this, key] { fire(key); });
    }

    void shutdown() {
        std::unordered_map<Key, Burst, Hash> withdrawn;
        {
            std::lock_guard lock(mutex_);
            shutDown_ = true;
            withdrawn.swap(bursts_);
        }
        // Timers are destroyed outside the lock: each waits for its running delivery, which needs the lock.
        withdrawn.clear();
        std::unique_lock lock(mutex_);
        const auto me = std::this_thread::get_id();
        delivered_.wait(lock, [this, me] {
            return std::all_of(delivering_.begin(), delivering_.end(), [me](auto id) { return id == me; });
        });
    }

    std::size_t pendingCount() const {
        std::lock_guard lock(mutex_);
        return bursts_.size();
    }

private:
    struct Burst {
        Clock::TimePoint firstEvent;
        std::unique_ptr<Timer> timer;
    };

    void fire(const Key& key) {
        std::unique_ptr<Timer> own;
        {
            std::lock_guard lock(mutex_);
            auto it = bursts_.find(key);
            if (shutDown_ || it == bursts_.end()) return;
            own = std::move(it->second.timer);
            bursts_.erase(it);
            delivering_.push_back(std::this_thread::get_id());
        }
        own.reset();  // destroying a timer from inside its own callback does not wait
        struct Done {
            Debouncer& self;
            ~Done() {
                std::lock_guard lock(self.mutex_);
                self.delivering_.erase(std::find(self.delivering_.begin(), self.delivering_.end(),
                                                 std::this_thread::get_id()));
                self.delivered_.notify_all();
            }
        } done{*this};
        deliver_(key);
    }

    const Timer::Duration quietPeriod_;
    const Timer::Duration maxWait_;
    SerialExecutor* executor_ = nullptr;
    ThreadPool* pool_ = nullptr;
    Clock& clock_;
    const Deliver deliver_;
    mutable std::mutex mutex_;
    std::condition_variable delivered_;
    std::vector<std::thread::id> delivering_;  // deliveries already taken out of `bursts_`
    bool shutDown_ = false;
    std::unordered_map<Key, Burst, Hash> bursts_;
};

}  // namespace lumidex
