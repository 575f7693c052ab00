#include "core/concurrency/timer.h"

#include "core/concurrency/thread_pool_impl.h"

#include <asio/steady_timer.hpp>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace lumidex {

// Every schedule() or cancel() bumps `generation`; a wake-up whose generation is stale does nothing. The
// Asio timer object is only touched under `mutex`.
struct Timer::State : std::enable_shared_from_this<State> {
    State(ThreadPool& p, SerialExecutor* target, Clock& c)
        : pool(p), executor(target), clock(c), timer(p.impl_->pool.get_executor()) {}

    ThreadPool& pool;
    SerialExecutor* executor;
    Clock& clock;
    std::mutex mutex;
    std::condition_variable idle;
    asio::steady_timer timer;
    std::uint64_t generation = 0;
    bool pending = false;
    Duration interval{};  // zero for a one-shot call
    std::function<void()> callback;
    std::vector<std::thread::id> runningThreads;  // more than one when a replaced call is still running

    bool runningElsewhereLocked() const {
        const auto me = std::this_thread::get_id();
        return std::any_of(runningThreads.begin(), runningThreads.end(), [me](auto id) { return id != me; });
    }

    void armLocked(Duration delay) {
        // A test clock keeps the call itself; a cancelled one finds its generation stale.
        const bool kept = clock.callAt(clock.now() + delay, [weak = weak_from_this(), gen = generation] {
            if (auto self = weak.lock()) self->expired(gen);
        });
        if (kept) return;
        timer.expires_after(delay);
        timer.async_wait([self = shared_from_this(), gen = generation](const std::error_code& ec) {
            if (!ec) self->expired(gen);
        });
    }

    void expired(std::uint64_t gen) {
        if (executor == nullptr) return fire(gen);
        std::lock_guard lock(mutex);
        // Checked again on the executor: a cancel() made there before the hop must still win.
        if (gen == generation && pending) executor->post([self = shared_from_this(), gen] { self->fire(gen); });
    }

    void fire(std::uint64_t gen) {
        std::function<void()> call;
        {
            std::lock_guard lock(mutex);
            if (gen != generation || !pending) return;
            if (interval == Duration::zero()) {
                pending = false;
                call = std::move(callback);
                callback = nullptr;
            } else {
                call = callback;
            }
            runningThreads.push_back(std::this_thread::get_id());
        }
        concurrency_detail::runPoolTask(pool, call);
        call = nullptr;
        std::lock_guard lock(mutex);
        runningThreads.erase(std::find(runningThreads.begin(), runningThreads.end(), std::this_thread::get_id()));
        if (gen == generation && pending && interval != Duration::zero()) armLocked(interval);
        idle.notify_all();
    }

    bool cancelLocked() {
        ++generation;
        const bool wasPending = pending;
        pending = false;
        callback = nullptr;
        timer.cancel();
        return wasPending;
    }

    void start(Duration delay, Duration every, std::function<void()> fn) {
        std::lock_guard lock(mutex);
        cancelLocked();
        if (!fn) return;
        pending = true;
        interval = every;
        callback = std::move(fn);
        armLocked(std::max(delay, Duration::zero()));
    }
};

Timer::Timer(ThreadPool& pool, Clock& clock) : state_(std::make_shared<State>(pool, nullptr, clock)) {}

Timer::Timer(SerialExecutor& executor, Clock& clock)
    : state_(std::make_shared<State>(executor.pool(), &executor, clock)) {}

Timer::~Timer() {
    std::unique_lock lock(state_->mutex);
    state_->cancelLocked();
    state_->idle.wait(lock, [this] { return !state_->runningElsewhereLocked(); });
}

void Timer::schedule(Duration delay, std::function<void()> callback) {
    state_->start(delay, Duration::zero(), std::move(callback));
}

void Timer::scheduleRepeating(Duration interval, std::function<void()> callback) {
    state_->start(interval, std::max(interval, Duration(std::chrono::milliseconds(1))), std::move(callback));
}

bool Timer::cancel() {
    std::lock_guard lock(state_->mutex);
    return state_->cancelLocked();
}

bool Timer::isPending() const {
    std::lock_guard lock(state_->mutex);
    return state_->pending;
}

Timer::Duration debounceDelay(Timer::Duration sinceFirstEvent, Timer::Duration quietPeriod, Timer::Duration maxWait) {
    const Timer::Duration remaining = std::max(Timer::Duration::zero(), maxWait - sinceFirstEvent);
    return std::min(remaining, quietPeriod);
}

}  // namespace lumidex
