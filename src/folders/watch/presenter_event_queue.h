// The serial queue and clock a file-change observer keeps its state on. Production runs tasks on a
// SerialExecutor with Timers for the delays; tests substitute a queue driven by a manual clock, so the
// debouncing can be checked exactly instead of against the wall clock.
//
// Contract for implementations: tasks run one at a time in posting order (delayed tasks when due);
// post() and postAfter() may be called from any thread; cancelling or destroying a Scheduled from a
// task of the same queue guarantees its task does not run afterwards. sync() runs the task on the queue
// and returns when it has run (inline when called from the queue), after every task posted before it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace lumidex::folders {

class PresenterEventQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = Clock::duration;

    // A pending delayed or repeating task. Destruction cancels it.
    class Scheduled {
    public:
        virtual ~Scheduled() = default;
    };

    virtual ~PresenterEventQueue() = default;

    virtual Clock::time_point now() const = 0;
    virtual void post(std::function<void()> task) = 0;
    virtual std::unique_ptr<Scheduled> postAfter(Duration delay, std::function<void()> task) = 0;
    // Every `interval`, the first time after one interval.
    virtual std::unique_ptr<Scheduled> postEvery(Duration interval, std::function<void()> task) = 0;
    virtual void sync(std::function<void()> task) = 0;
};

// A queue over a new SerialExecutor with that label on the shared thread pool.
std::shared_ptr<PresenterEventQueue> makeSerialPresenterEventQueue(std::string label);

}  // namespace lumidex::folders
