#include "core/concurrency/debouncer.h"
#include "core/concurrency/serial_executor.h"
#include "core/concurrency/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumidex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(Timer, RescheduleReplacesThePendingCallAndCancelWithdrawsIt) {
    ThreadPool pool(2);
    Timer timer(pool);
    std::atomic<int> a{0};
    std::atomic<int> b{0};
    const auto start = Clock::now();
    timer.schedule(20ms, [&] { ++a; });
    timer.schedule(30ms, [&] { ++b; });
    EXPECT_TRUE(timer.isPending());
    ASSERT_TRUE(eventually([&] { return b == 1; }));
    EXPECT_GE(Clock::now() - start, 30ms);
    EXPECT_FALSE(timer.isPending());

    timer.schedule(10ms, [&] { ++a; });
    EXPECT_TRUE(timer.cancel());
    EXPECT_FALSE(timer.cancel());
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
}

TEST(Timer, DestructionWaitsForARunningCallbackAndDropsAPendingOne) {
    ThreadPool pool(2);
    std::atomic<bool> pendingRan{false};
    {
        Timer pending(pool);
        pending.schedule(5ms, [&] { pendingRan = true; });
    }

    std::latch started(1);
    std::atomic<bool> finished{false};
    {
        Timer running(pool);
        running.schedule(0ms, [&] {
            started.count_down();
            std::this_thread::sleep_for(30ms);
            finished = true;
        });
        started.wait();
    }
    EXPECT_TRUE(finished);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(pendingRan);

    // Destroying a timer from inside its own callback must not wait for itself.
    auto self = std::make_unique<Timer>(pool);
    std::atomic<bool> destroyed{false};
    self->schedule(0ms, [&] {
        self.reset();
        destroyed = true;
    });
    EXPECT_TRUE(eventually([&] { return destroyed.load(); }));
}

TEST(Timer, OnAnExecutorACancelThereWinsOverACallThatIsAlreadyDue) {
    ThreadPool pool(2);
    SerialExecutor executor("test.timer", pool);
    Timer timer(executor);
    std::atomic<int> fired{0};
    executor.sync([&] {
        timer.schedule(0ms, [&] {
            EXPECT_TRUE(executor.isCurrent());
            ++fired;
        });
        std::this_thread::sleep_for(30ms);  // the call comes due and queues behind this task
        EXPECT_TRUE(timer.cancel());
    });
    executor.sync([] {});
    EXPECT_EQ(fired, 0);

    timer.schedule(1ms, [&] { fired += executor.isCurrent() ? 1 : 100; });
    ASSERT_TRUE(eventually([&] { return fired != 0; }));
    EXPECT_EQ(fired, 1);
}

TEST(Timer, RepeatsUntilCancelled) {
    ThreadPool pool(2);
    Timer timer(pool);
    std::atomic<int> ticks{0};
    timer.scheduleRepeating(5ms, [&] { ++ticks; });
    ASSERT_TRUE(eventually([&] { return ticks >= 3; }));
    timer.cancel();
    const int after = ticks;
    std::this_thread::sleep_for(25ms);
    EXPECT_LE(ticks, after + 1);  // at most one call was already running
}

TEST(Debouncer, DelayIsTheQuietPeriodCappedByMaxWait) {
    EXPECT_EQ(debounceDelay(0ms, 300ms, 2000ms), 300ms);
    EXPECT_EQ(debounceDelay(1900ms, 300ms, 2000ms), 100ms);
    EXPECT_EQ(debounceDelay(2000ms, 300ms, 2000ms), 0ms);
    EXPECT_EQ(debounceDelay(5000ms, 300ms, 2000ms), 0ms);
}

struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<std::string, Clock::time_point>> deliveries;
    void operator()(const std::string& key) {
        std::lock_guard lock(mutex);
        deliveries.emplace_back(key, Clock::now());
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return deliveries.size();
    }
};

TEST(Debouncer, BurstsCollapseToOneDeliveryPerKeyAfterTheQuietPeriod) {
    ThreadPool pool(2);
    SerialExecutor executor("test.debounce", pool);
    Recorder recorder;
    Debouncer<std::string> debouncer(40ms, 1000ms, executor, [&](const std::string& key) {
        EXPECT_TRUE(executor.isCurrent());
        recorder(key);
    });
    for (int i = 0; i < 10; ++i) debouncer.trigger("a");
    debouncer.trigger("b");
    const auto lastTrigger = Clock::now();
    EXPECT_EQ(debouncer.pendingCount(), 2u);
    ASSERT_TRUE(eventually([&] { return recorder.count() == 2; }));
    std::this_thread::sleep_for(50ms);
    std::lock_guard lock(recorder.mutex);
    ASSERT_EQ(recorder.deliveries.size(), 2u);
    for (const auto& [key, at] : recorder.deliveries) EXPECT_GE(at - lastTrigger, 40ms) << key;
    EXPECT_EQ(debouncer.pendingCount(), 0u);
}

TEST(Debouncer, ContinuousTriggersStillDeliverWithinMaxWait) {
    ThreadPool pool(2);
    Recorder recorder;
    Debouncer<std::string> debouncer(40ms, 80ms, pool, std::ref(recorder));
    const auto start = Clock::now();
    while (Clock::now() - start < 250ms) {
        debouncer.trigger("busy.txt");
        std::this_thread::sleep_for(10ms);
    }
    const std::size_t duringBurst = recorder.count();
    EXPECT_GE(duringBurst, 2u);  // a pure quiet-period debouncer would deliver nothing until the end
    debouncer.shutdown();
    debouncer.trigger("busy.txt");
    std::this_thread::sleep_for(60ms);
    EXPECT_LE(recorder.count(), duringBurst + 1);  // at most the delivery already in flight
    EXPECT_EQ(debouncer.pendingCount(), 0u);
}

}  // namespace
}  // namespace lumidex
