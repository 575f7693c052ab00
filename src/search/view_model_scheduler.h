// Where the view models run their work: the "main" queue their state lives on, a background queue for
// searches and scans, delayed calls on the main queue, and the clock they measure pauses with.
// Injected so that tests can drive time and queues by hand.
//
// Contract: postToMain runs tasks one at a time in posting order; scheduleOnMain runs the call on the
// main queue after the delay unless it was cancelled first (cancel() from the main queue is exact). The
// scheduler must outlive every view model using it and every task given to it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace lumidex {
class SerialExecutor;
class ThreadPool;
class Timer;
}

namespace lumidex::search {

class ScheduledCall {
public:
    virtual ~ScheduledCall() = default;
    virtual void cancel() = 0;
};

class ViewModelScheduler {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~ViewModelScheduler() = default;
    virtual Clock::time_point now() const = 0;
    virtual void postToMain(std::function<void()> task) = 0;
    virtual void postToBackground(std::function<void()> task) = 0;
    // Dropping the returned handle cancels the call too.
    virtual std::unique_ptr<ScheduledCall> scheduleOnMain(Clock::duration delay, std::function<void()> call) = 0;
};

// The production scheduler: the main queue is a serial executor (the user interface's thread adapter),
// background work goes to a thread pool, the clock is the steady clock. Thread-safe.
class ExecutorScheduler : public ViewModelScheduler {
public:
    explicit ExecutorScheduler(SerialExecutor& main, ThreadPool* background = nullptr);

    Clock::time_point now() const override { return Clock::now(); }
    void postToMain(std::function<void()> task) override;
    void postToBackground(std::function<void()> task) override;
    std::unique_ptr<ScheduledCall> scheduleOnMain(Clock::duration delay, std::function<void()> call) override;

private:
    SerialExecutor& main_;
    ThreadPool& background_;
};

}  // namespace lumidex::search
