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

#include "support/eventually.h"

namespace lumidex {
namespace {

using namespace std::chrono_literals;

using lumidex::testing::eventually;

TEST(Timer, RescheduleReplacesThePendingCallAndCancelWithdrawsIt) {
    ThreadPool pool(2);
    ManualClock clock;
    Timer timer(pool, clock);
    int a = 0;
    int b = 0;
    timer.schedule(20ms, [&] { ++a; });
    timer.schedule(30ms, [&] { ++b; });
    EXPECT_TRUE(timer.isPending());
    clock.advance(29ms);
    EXPECT_EQ(a + b, 0) << "the replaced call must not run at its old time";
    clock.advance(1ms);
    EXPECT_EQ(b, 1);
    EXPECT_FALSE(timer.isPending());

    timer.schedule(10ms, [&] { ++a; });
    EXPECT_TRUE(timer.cancel());
    EXPECT_FALSE(timer.cancel());
    clock.advance(1h);
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

TEST(Timer, RepeatsUntilCancelledMeasuringEachIntervalFromTheEndOfTheCall) {
    ThreadPool pool(2);
    ManualClock clock;
    Timer timer(pool, clock);
    int ticks = 0;
    timer.scheduleRepeating(5ms, [&] {
        ++ticks;
        clock.advance(3ms);  // a slow call: the next interval starts after it
    });
    clock.advance(5ms);
    EXPECT_EQ(ticks, 1);
    clock.advance(4ms);  // 3 ms of the call plus 4 ms: still short of the next interval
    EXPECT_EQ(ticks, 1);
    clock.advance(1ms);
    EXPECT_EQ(ticks, 2);
    timer.cancel();
    clock.advance(1h);
    EXPECT_EQ(ticks, 2);
}

TEST(Debouncer, DelayIsTheQuietPeriodCappedByMaxWait) {
    EXPECT_EQ(debounceDelay(0ms, 300ms, 2000ms), 300ms);
    EXPECT_EQ(debounceDelay(1900ms, 300ms, 2000ms), 100ms);
    EXPECT_EQ(debounceDelay(2000ms, 300ms, 2000ms), 0ms);
    EXPECT_EQ(debounceDelay(5000ms, 300ms, 2000ms), 0ms);
}

struct Recorder {
    std::mutex mutex;
    std::vector<std::string> deliveries;
    void operator()(const std::string& key) {
        std::lock_guard lock(mutex);
        deliveries.push_back(key);
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return deliveries.size();
    }
};

TEST(Debouncer, BurstsCollapseToOneDeliveryPerKeyAfterTheQuietPeriod) {
    ThreadPool pool(2);
    SerialExecutor executor("test.debounce", pool);
    ManualClock clock;
    Recorder recorder;
    Debouncer<std::string> debouncer(
        40ms, 1000ms, executor,
        [&](const std::string& key) {
            EXPECT_TRUE(executor.isCurrent());
            recorder(key);
        },
        clock);
    for (int i = 0; i < 10; ++i) {
        debouncer.trigger("a");
        clock.advance(5ms);
    }
    debouncer.trigger("b");  // at 50 ms; the last "a" was at 45 ms
    EXPECT_EQ(debouncer.pendingCount(), 2u);
    const auto deliveredAfter = [&](std::chrono::milliseconds step) {
        clock.advance(step);
        executor.sync([] {});  // deliveries on an executor are posted there when due
        std::lock_guard lock(recorder.mutex);
        std::string keys;
        for (const auto& key : recorder.deliveries) keys += key;
        return keys;
    };
    EXPECT_EQ(deliveredAfter(34ms), "");
    EXPECT_EQ(deliveredAfter(1ms), "a");  // 40 ms after its last trigger
    EXPECT_EQ(deliveredAfter(4ms), "a");
    EXPECT_EQ(deliveredAfter(1ms), "ab");
    EXPECT_EQ(deliveredAfter(1h), "ab");
    EXPECT_EQ(debouncer.pendingCount(), 0u);
}

TEST(Debouncer, ContinuousTriggersStillDeliverWithinMaxWait) {
    ThreadPool pool(2);
    ManualClock clock;
    Recorder recorder;
    Debouncer<std::string> debouncer(40ms, 80ms, pool, std::ref(recorder), clock);
    for (int i = 0; i < 25; ++i) {  // a trigger every 10 ms for 250 ms
        debouncer.trigger("busy.txt");
        clock.advance(10ms);
    }
    // A pure quiet-period debouncer would deliver nothing until the end; this one every 80 ms.
    EXPECT_EQ(recorder.count(), 3u);
    debouncer.shutdown();
    debouncer.trigger("busy.txt");
    clock.advance(1h);
    EXPECT_EQ(recorder.count(), 3u);
    EXPECT_EQ(debouncer.pendingCount(), 0u);
}

}  // namespace
}  // namespace lumidex
