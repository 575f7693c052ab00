#include "folders/watch/presenter_event_queue.h"

#include "core/concurrency/serial_executor.h"
#include "core/concurrency/timer.h"

namespace lumidex::folders {
namespace {

class TimerTask final : public PresenterEventQueue::Scheduled {
public:
    explicit TimerTask(SerialExecutor& executor) : timer(executor) {}
    Timer timer;  // destruction cancels; from the executor itself the cancel is exact
};

class SerialPresenterEventQueue final : public PresenterEventQueue {
public:
    explicit SerialPresenterEventQueue(std::string label) : executor_(std::move(label)) {}

    Clock::time_point now() const override { return Clock::now(); }
    void post(std::function<void()> task) override { executor_.post(std::move(task)); }

    std::unique_ptr<Scheduled> postAfter(Duration delay, std::function<void()> task) override {
        auto scheduled = std::make_unique<TimerTask>(executor_);
        scheduled->timer.schedule(delay, std::move(task));
        return scheduled;
    }

    std::unique_ptr<Scheduled> postEvery(Duration interval, std::function<void()> task) override {
        auto scheduled = std::make_unique<TimerTask>(executor_);
        scheduled->timer.scheduleRepeating(interval, std::move(task));
        return scheduled;
    }

    void sync(std::function<void()> task) override { executor_.sync(task); }

private:
    SerialExecutor executor_;
};

}  // namespace

std::shared_ptr<PresenterEventQueue> makeSerialPresenterEventQueue(std::string label) {
    return std::make_shared<SerialPresenterEventQueue>(std::move(label));
}

}  // namespace lumidex::folders
