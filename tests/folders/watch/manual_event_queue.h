// Test doubles for the file-change observer: an event queue driven by a manual clock (tasks run on
// the test thread when the clock is advanced) and a watcher whose notifications the test sends.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "folders/watch/presenter_event_queue.h"
#include "platform/file_watcher.h"

namespace lumidex::folders::testing {

class ManualEventQueue final : public PresenterEventQueue {
public:
    Clock::time_point now() const override { return now_; }
    void post(std::function<void()> task) override { add(now_, Duration::zero(), std::move(task)); }
    std::unique_ptr<Scheduled> postAfter(Duration delay, std::function<void()> task) override {
        return std::make_unique<Handle>(add(now_ + delay, Duration::zero(), std::move(task)));
    }
    std::unique_ptr<Scheduled> postEvery(Duration interval, std::function<void()> task) override {
        return std::make_unique<Handle>(add(now_ + interval, interval, std::move(task)));
    }
    void sync(std::function<void()> task) override {
        runDue(now_);
        task();
    }

    // Runs every task due up to now + `step` in time order, moving the clock to each task's time.
    void advance(Duration step) { runDue(now_ + step); }
    void runReady() { runDue(now_); }
    Clock::time_point start() const { return start_; }

private:
    struct Task {
        Clock::time_point due;
        std::uint64_t order;
        Duration interval;
        std::shared_ptr<std::function<void()>> run;
        std::shared_ptr<bool> cancelled;
    };
    class Handle final : public Scheduled {
    public:
        explicit Handle(std::shared_ptr<bool> cancelled) : cancelled_(std::move(cancelled)) {}
        ~Handle() override { *cancelled_ = true; }

    private:
        std::shared_ptr<bool> cancelled_;
    };

    std::shared_ptr<bool> add(Clock::time_point due, Duration interval, std::function<void()> task) {
        auto cancelled = std::make_shared<bool>(false);
        tasks_.push_back({due, next_++, interval, std::make_shared<std::function<void()>>(std::move(task)), cancelled});
        return cancelled;
    }

    void runDue(Clock::time_point until) {
        for (;;) {
            auto it = std::min_element(tasks_.begin(), tasks_.end(), [](const Task& a, const Task& b) {
                return a.due != b.due ? a.due < b.due : a.order < b.order;
            });
            if (it == tasks_.end() || it->due > until) break;
            Task task = *it;
            tasks_.erase(it);
            if (*task.cancelled) continue;
            now_ = std::max(now_, task.due);
            if (task.interval != Duration::zero()) {
                tasks_.push_back({now_ + task.interval, next_++, task.interval, task.run, task.cancelled});
            }
            (*task.run)();  // the shared copy keeps the callable alive even if its handle goes
        }
        now_ = std::max(now_, until);
    }

    Clock::time_point start_ = Clock::time_point{} + std::chrono::hours(1);
    Clock::time_point now_ = start_;
    std::uint64_t next_ = 0;
    std::vector<Task> tasks_;
};

struct FakeWatcherControl {
    std::string root;
    platform::FileWatcher::Handler handler;
    platform::FileWatcher::Options options;
    bool stopped = false;
};

class FakeWatcher final : public platform::FileWatcher {
public:
    explicit FakeWatcher(std::shared_ptr<FakeWatcherControl> control) : control_(std::move(control)) {}
    void stop() override { control_->stopped = true; }
    bool waitUntilWatching(std::chrono::milliseconds) override { return !control_->stopped; }
    std::size_t watchedDirectoryCount() const override { return 1; }

private:
    std::shared_ptr<FakeWatcherControl> control_;
};

}  // namespace lumidex::folders::testing
