// The view models' scheduler inside a Qt application: the main queue is the Qt event loop of the
// thread that constructed the scheduler (the GUI thread), background work goes to a thread pool, and
// delayed calls are Qt single-shot timers.
//
// Thread-safety: postToMain and postToBackground may be called from any thread; scheduleOnMain and the
// returned handle's cancel() only from the GUI thread, which makes cancel() exact. The scheduler must
// outlive every view model using it; tasks posted to the main queue after its destruction are dropped.
#pragma once

#include <QObject>

#include "search/view_model_scheduler.h"

namespace lumidex {
class ThreadPool;
}

namespace lumidex::ui {

class QtScheduler : public search::ViewModelScheduler {
public:
    // `background`: the shared pool when null; must outlive the scheduler.
    explicit QtScheduler(ThreadPool* background = nullptr);
    ~QtScheduler() override;
    QtScheduler(const QtScheduler&) = delete;
    QtScheduler& operator=(const QtScheduler&) = delete;

    Clock::time_point now() const override { return Clock::now(); }
    void postToMain(std::function<void()> task) override;
    void postToBackground(std::function<void()> task) override;
    std::unique_ptr<search::ScheduledCall> scheduleOnMain(Clock::duration delay, std::function<void()> call) override;

private:
    QObject context_;  // lives on the GUI thread; queued calls die with it
    ThreadPool& background_;
};

}  // namespace lumidex::ui
