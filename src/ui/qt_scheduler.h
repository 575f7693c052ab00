// The view models' scheduler inside a Qt application: the main queue is the Qt event loop of the
// thread that constructed the scheduler (the GUI thread), background work goes to a thread pool, and
// delayed calls are Qt single-shot timers.
//
// Thread-safety: postToMain and postToBackground may be called from any thread; scheduleOnMain and the
// returned handle's cancel() only from the GUI thread, which makes cancel() exact. The scheduler must
// outlive every view model using it and every background task given to it: windows use shared(),
// which lives as long as the process, since a search may still finish after its window closed. The
// services those tasks borrow must outlive them too: their owner calls waitForBackground() first.
#pragma once

#include <QObject>

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "search/view_model_scheduler.h"

namespace lumidex {
class ThreadPool;
}

namespace lumidex::ui {

class QtScheduler : public search::ViewModelScheduler {
public:
    // `background`: the shared pool when null; must outlive the scheduler.
    explicit QtScheduler(ThreadPool* background = nullptr);
    // The process's scheduler, never destroyed; first called on the GUI thread.
    static QtScheduler& shared();
    ~QtScheduler() override;
    QtScheduler(const QtScheduler&) = delete;
    QtScheduler& operator=(const QtScheduler&) = delete;

    Clock::time_point now() const override { return Clock::now(); }
    void postToMain(std::function<void()> task) override;
    void postToBackground(std::function<void()> task) override;
    std::unique_ptr<search::ScheduledCall> scheduleOnMain(Clock::duration delay, std::function<void()> call) override;

    // Blocks until every background task posted so far has run (a task the pool discards counts until
    // the pool lets go of it). Not from a background task; the tasks must not wait for the caller's
    // thread.
    void waitForBackground();

private:
    void backgroundTaskDone();

    QObject context_;  // lives on the GUI thread; queued calls die with it
    ThreadPool& background_;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::size_t pending_ = 0;  // background tasks not yet run or discarded
};

}  // namespace lumidex::ui
