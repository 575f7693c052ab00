#include "core/concurrency/serial_executor.h"

#include "core/app_log.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace lumidex {

// One task at a time is "active". A runner posted to the pool executes one task and re-posts itself while
// work remains, so a busy queue shares the pool fairly; a thread blocked in sync() may take the active
// role instead of a runner.
struct SerialExecutor::State : std::enable_shared_from_this<State> {
    State(std::string l, ThreadPool& p) : label(std::move(l)), pool(p) {}

    const std::string label;
    ThreadPool& pool;
    std::mutex mutex;
    std::condition_variable changed;  // a task finished or the queue was closed
    std::deque<std::function<void()>> queue;
    bool active = false;
    bool runnerPosted = false;
    bool closed = false;
    std::thread::id activeThread;

    void scheduleRunnerLocked() {
        if (closed || active || runnerPosted || queue.empty()) return;
        runnerPosted = true;
        pool.post([self = shared_from_this()] { self->runnerEntry(); });
    }

    void runnerEntry() {
        std::unique_lock lock(mutex);
        runnerPosted = false;
        if (closed || active || queue.empty()) return;
        runOneLocked(lock);
    }

    // Pre: locked, not active, queue not empty, not closed. Returns locked.
    void runOneLocked(std::unique_lock<std::mutex>& lock);
};

namespace {
thread_local const SerialExecutor::State* tlCurrent = nullptr;
}

void SerialExecutor::State::runOneLocked(std::unique_lock<std::mutex>& lock) {
    auto task = std::move(queue.front());
    queue.pop_front();
    active = true;
    activeThread = std::this_thread::get_id();
    lock.unlock();

    const State* previous = tlCurrent;
    tlCurrent = this;
    try {
        task();
    } catch (const std::exception& e) {
        appLog("[" + label + "] task failed: " + e.what());
    } catch (...) {
        appLog("[" + label + "] task failed with a non-standard exception");
    }
    task = nullptr;  // captured state is released before the queue moves on
    tlCurrent = previous;

    lock.lock();
    active = false;
    activeThread = {};
    changed.notify_all();
    scheduleRunnerLocked();
}

SerialExecutor::SerialExecutor(std::string label, ThreadPool& pool)
    : state_(std::make_shared<State>(std::move(label), pool)) {}

SerialExecutor::~SerialExecutor() {
    std::deque<std::function<void()>> discarded;
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
        discarded.swap(state_->queue);
    }
    discarded.clear();  // outside the lock: destroying a task may run arbitrary destructors
    std::unique_lock lock(state_->mutex);
    state_->changed.notify_all();  // wakes sync() callers whose task was just discarded
    if (state_->activeThread == std::this_thread::get_id()) return;
    state_->changed.wait(lock, [this] { return !state_->active; });
}

void SerialExecutor::post(std::function<void()> task) {
    if (!task) return;
    std::lock_guard lock(state_->mutex);
    if (state_->closed) return;
    state_->queue.push_back(std::move(task));
    state_->scheduleRunnerLocked();
}

bool SerialExecutor::isCurrent() const { return tlCurrent == state_.get(); }

const std::string& SerialExecutor::label() const { return state_->label; }

ThreadPool& SerialExecutor::pool() const { return state_->pool; }

void SerialExecutor::helpUntilReady(const std::function<bool()>& ready) {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    while (!ready()) {
        if (!s.closed && !s.active && !s.queue.empty()) {
            s.runOneLocked(lock);
        } else {
            s.changed.wait(lock);
        }
    }
}

}  // namespace lumidex
