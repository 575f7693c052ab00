#include "search/view_model_scheduler.h"

#include "core/concurrency/serial_executor.h"
#include "core/concurrency/thread_pool.h"
#include "core/concurrency/timer.h"

namespace lumidex::search {
namespace {

class TimerCall : public ScheduledCall {
public:
    explicit TimerCall(SerialExecutor& executor) : timer_(executor) {}
    void cancel() override { timer_.cancel(); }
    Timer& timer() { return timer_; }

private:
    Timer timer_;
};

}  // namespace

ExecutorScheduler::ExecutorScheduler(SerialExecutor& main, ThreadPool* background)
    : main_(main), background_(background != nullptr ? *background : ThreadPool::shared()) {}

void ExecutorScheduler::postToMain(std::function<void()> task) { main_.post(std::move(task)); }

void ExecutorScheduler::postToBackground(std::function<void()> task) { background_.post(std::move(task)); }

std::unique_ptr<ScheduledCall> ExecutorScheduler::scheduleOnMain(Clock::duration delay, std::function<void()> call) {
    auto scheduled = std::make_unique<TimerCall>(main_);
    scheduled->timer().schedule(delay, std::move(call));
    return scheduled;
}

}  // namespace lumidex::search
