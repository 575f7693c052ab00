#include "ui/qt_scheduler.h"

#include <QMetaObject>
#include <QTimer>

#include <chrono>
#include <memory>

#include "core/concurrency/thread_pool.h"

namespace lumidex::ui {
namespace {

// The timer itself is owned by Qt; the handle only flips the flag the timer's call reads, so a handle
// may be dropped from inside the call it guards.
class FlagCall : public search::ScheduledCall {
public:
    explicit FlagCall(std::shared_ptr<bool> cancelled) : cancelled_(std::move(cancelled)) {}
    ~FlagCall() override { cancel(); }
    void cancel() override { *cancelled_ = true; }

private:
    std::shared_ptr<bool> cancelled_;
};

}  // namespace

QtScheduler::QtScheduler(ThreadPool* background)
    : background_(background != nullptr ? *background : ThreadPool::shared()) {}

QtScheduler::~QtScheduler() = default;

QtScheduler& QtScheduler::shared() {
    static QtScheduler* scheduler = new QtScheduler();  // outlives every task still running at exit
    return *scheduler;
}

void QtScheduler::postToMain(std::function<void()> task) {
    QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
}

void QtScheduler::postToBackground(std::function<void()> task) {
    // Counted until the task object goes, so a task that throws or is dropped unrun is not waited for.
    class Pending {
    public:
        explicit Pending(QtScheduler& scheduler) : scheduler_(scheduler) {}
        ~Pending() { scheduler_.backgroundTaskDone(); }
        Pending(const Pending&) = delete;
        Pending& operator=(const Pending&) = delete;

    private:
        QtScheduler& scheduler_;
    };
    {
        const std::lock_guard lock(mutex_);
        ++pending_;
    }
    background_.post([pending = std::make_shared<Pending>(*this), task = std::move(task)] { task(); });
}

void QtScheduler::backgroundTaskDone() {
    const std::lock_guard lock(mutex_);
    if (--pending_ == 0) idle_.notify_all();
}

void QtScheduler::waitForBackground() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return pending_ == 0; });
}

std::unique_ptr<search::ScheduledCall> QtScheduler::scheduleOnMain(Clock::duration delay, std::function<void()> call) {
    auto cancelled = std::make_shared<bool>(false);
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(delay);
    QTimer::singleShot(milliseconds, &context_, [cancelled, call = std::move(call)] {
        if (!*cancelled) call();
    });
    return std::make_unique<FlagCall>(std::move(cancelled));
}

}  // namespace lumidex::ui
