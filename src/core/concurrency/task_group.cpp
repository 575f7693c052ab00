#include "core/concurrency/task_group.h"

#include "core/app_log.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

namespace lumidex {

// Children wait in the group's own queue; each spawn posts one "take the next child" ticket to the pool.
// A ticket that finds the queue empty (the joiner took the child) simply returns.
struct TaskGroup::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> queued;
    std::size_t running = 0;
    std::exception_ptr error;

    // Pre: locked, queue not empty. Returns locked.
    void runNextLocked(std::unique_lock<std::mutex>& lock) {
        auto task = std::move(queued.front());
        queued.pop_front();
        const bool skip = error != nullptr;  // a sibling failed; this result would be lost anyway
        ++running;
        lock.unlock();
        std::exception_ptr failure;
        if (!skip) {
            try {
                task();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        task = nullptr;
        lock.lock();
        if (failure && !error) error = failure;
        --running;
        changed.notify_all();
    }
};

TaskGroup::TaskGroup(ThreadPool& pool) : pool_(pool), state_(std::make_shared<State>()) {}

TaskGroup::~TaskGroup() {
    try {
        wait();
    } catch (const std::exception& e) {
        appLog(std::string("[TaskGroup] uncollected child failure: ") + e.what());
    } catch (...) {
        appLog("[TaskGroup] uncollected child failure");
    }
}

void TaskGroup::spawn(std::function<void()> task) {
    if (!task) return;
    {
        std::lock_guard lock(state_->mutex);
        state_->queued.push_back(std::move(task));
        state_->changed.notify_all();  // a joiner asleep on running children can take this one
    }
    pool_.post([state = state_] {
        std::unique_lock lock(state->mutex);
        if (!state->queued.empty()) state->runNextLocked(lock);
    });
}

void TaskGroup::wait() {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (!s.queued.empty()) {
            s.runNextLocked(lock);
        } else if (s.running == 0) {
            break;
        } else {
            s.changed.wait(lock);
        }
    }
    if (auto error = std::exchange(s.error, nullptr)) std::rethrow_exception(error);
}

}  // namespace lumidex
