#include "core/concurrency/async_semaphore.h"
#include "core/concurrency/cancellation_token.h"
#include "core/concurrency/serial_executor.h"
#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/eventually.h"

namespace lumidex {
namespace {

using namespace std::chrono_literals;

using lumidex::testing::eventually;

TEST(ThreadPool, SurvivesThrowingTasksAndKnowsItsWorkers) {
    ThreadPool pool(2);
    EXPECT_GE(ThreadPool::defaultThreadCount(), 2u);
    EXPECT_FALSE(pool.isWorkerThread());
    pool.post([] { throw std::runtime_error("boom"); });
    pool.post([] { throw 42; });
    std::promise<bool> onWorker;
    pool.post([&] { onWorker.set_value(pool.isWorkerThread()); });
    auto result = onWorker.get_future();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(result.get());
}

TEST(ThreadPool, DestructionLetsTheRunningTaskFinish) {
    std::atomic<bool> finished{false};
    std::latch started(1);
    {
        ThreadPool pool(2);
        pool.post([&] {
            started.count_down();
            std::this_thread::sleep_for(30ms);
            finished = true;
        });
        started.wait();
    }
    EXPECT_TRUE(finished);
}

TEST(SerialExecutor, RunsTasksOneAtATimeInPostOrder) {
    ThreadPool pool(4);
    SerialExecutor executor("test.serial", pool);
    constexpr int producers = 4;
    constexpr int perProducer = 250;
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    std::vector<std::vector<int>> seen(producers);  // touched only on the executor

    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < perProducer; ++i) {
                executor.post([&, p, i] {
                    if (inside.exchange(true)) ++overlaps;
                    EXPECT_TRUE(executor.isCurrent());
                    seen[static_cast<std::size_t>(p)].push_back(i);
                    inside = false;
                });
            }
        });
    }
    for (auto& t : threads) t.join();
    executor.sync([] {});

    EXPECT_EQ(overlaps, 0);
    EXPECT_FALSE(executor.isCurrent());
    for (const auto& list : seen) {
        ASSERT_EQ(list.size(), static_cast<std::size_t>(perProducer));
        for (int i = 0; i < perProducer; ++i) EXPECT_EQ(list[static_cast<std::size_t>(i)], i);
    }
}

TEST(SerialExecutor, SyncReturnsResultsRethrowsAndNestsInline) {
    SerialExecutor executor("test.sync");
    EXPECT_EQ(executor.sync([] { return 7; }), 7);
    EXPECT_THROW(executor.sync([]() -> int { throw std::logic_error("bad"); }), std::logic_error);
    // A task that syncs onto its own executor runs the inner call inline instead of deadlocking.
    EXPECT_EQ(executor.sync([&] { return executor.sync([] { return 3; }) + 1; }), 4);
    EXPECT_EQ(executor.submit([] { return std::string("x"); }).get(), "x");
    EXPECT_EQ(executor.label(), "test.sync");
}

TEST(SerialExecutor, SyncFromEveryPoolThreadDoesNotStarveThePool) {
    // Both workers block in sync(); the executor's runner can never get a thread, so the waiters
    // must run the queue themselves.
    ThreadPool pool(2);
    SerialExecutor executor("test.starve", pool);
    std::latch bothBusy(2);
    std::atomic<int> sum{0};
    std::promise<void> done[2];
    for (auto& d : done) {
        pool.post([&] {
            bothBusy.arrive_and_wait();
            sum += executor.sync([] { return 5; });
            d.set_value();
        });
    }
    for (auto& d : done) ASSERT_EQ(d.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sum, 10);
}

TEST(SerialExecutor, DestructionDropsQueuedTasksAndWaitsForTheRunningOne) {
    ThreadPool pool(2);
    auto executor = std::make_unique<SerialExecutor>("test.destroy", pool);
    std::latch started(1);
    std::atomic<bool> firstDone{false};
    std::atomic<bool> secondRan{false};
    executor->post([&] {
        started.count_down();
        std::this_thread::sleep_for(40ms);
        firstDone = true;
    });
    executor->post([&] { secondRan = true; });
    auto orphaned = executor->submit([] { return 1; });
    started.wait();
    executor.reset();
    EXPECT_TRUE(firstDone);
    EXPECT_THROW(orphaned.get(), std::future_error);
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(secondRan);
}

TEST(CancellationToken, CopiesShareOneFlagAcrossThreads) {
    CancellationToken token;
    std::atomic<int> units{0};
    std::thread worker([copy = token, &units] {
        try {
            for (;;) {
                copy.throwIfCancelled();
                ++units;
                std::this_thread::yield();
            }
        } catch (const MyCancellationError&) {
        }
    });
    ASSERT_TRUE(eventually([&] { return units > 10; }));
    token.cancel();
    worker.join();  // returns only because the worker's copy saw the flag
    EXPECT_THROW(token.throwIfCancelled(), MyCancellationError);
    EXPECT_FALSE(CancellationToken().isCancelled());
}

TEST(AsyncSemaphore, WaitRunsInlineWhenFreeAndOnThePoolWhenGrantedLater) {
    ThreadPool pool(2);
    AsyncSemaphore semaphore(1, pool);
    const auto caller = std::this_thread::get_id();
    std::thread::id firstRanOn;
    semaphore.wait([&] { firstRanOn = std::this_thread::get_id(); });
    EXPECT_EQ(firstRanOn, caller);
    EXPECT_EQ(semaphore.value(), 0u);
    EXPECT_FALSE(semaphore.tryAcquire());

    std::promise<bool> second;
    semaphore.wait([&] { second.set_value(pool.isWorkerThread()); });
    EXPECT_EQ(semaphore.waiterCount(), 1u);
    semaphore.signal();  // hands the permit over instead of freeing it
    EXPECT_EQ(semaphore.value(), 0u);
    EXPECT_TRUE(second.get_future().get());
    semaphore.signal();
    EXPECT_EQ(semaphore.value(), 1u);
    semaphore.signal();  // counting: extra signals add permits
    EXPECT_EQ(semaphore.value(), 2u);
}

TEST(AsyncSemaphore, PermitGuardsReleaseExactlyOnce) {
    AsyncSemaphore semaphore(2);
    {
        auto a = semaphore.acquirePermit();
        auto b = semaphore.tryAcquirePermit();
        EXPECT_TRUE(a && b);
        EXPECT_FALSE(semaphore.tryAcquirePermit());
        AsyncSemaphore::Permit moved = std::move(a);
        EXPECT_FALSE(a);
        EXPECT_EQ(semaphore.value(), 0u);
        b.release();
        b.release();
        EXPECT_EQ(semaphore.value(), 1u);
    }
    EXPECT_EQ(semaphore.value(), 2u);
}

TEST(AsyncSemaphore, BlockingAndAsyncWaitersAreServedInArrivalOrder) {
    ThreadPool pool(2);
    AsyncSemaphore semaphore(0, pool);
    std::mutex orderMutex;
    std::vector<int> grants;
    auto grant = [&](int id) {
        {
            std::lock_guard lock(orderMutex);
            grants.push_back(id);
        }
        semaphore.signal();  // pass the single permit on
    };

    std::vector<std::thread> blocked;
    for (int id = 0; id < 6; ++id) {
        if (id % 2 == 0) {
            semaphore.wait([&grant, id] { grant(id); });
        } else {
            blocked.emplace_back([&semaphore, &grant, id] {
                semaphore.acquire();
                grant(id);
            });
        }
        ASSERT_TRUE(eventually([&] { return semaphore.waiterCount() == static_cast<std::size_t>(id + 1); }));
    }
    semaphore.signal();
    for (auto& t : blocked) t.join();
    ASSERT_TRUE(eventually([&] { return semaphore.value() == 1; }));
    EXPECT_EQ(grants, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(AsyncSemaphore, GrantOrderEqualsWaitOrderUnderContention) {
    ThreadPool pool(2);
    AsyncSemaphore semaphore(0, pool);
    std::mutex orderMutex;
    std::vector<int> waitOrder;
    std::vector<int> grantOrder;
    constexpr int threads = 8;
    constexpr int perThread = 50;

    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const int id = t * perThread + i;
                // Holding orderMutex around wait() makes waitOrder the true queue order.
                std::lock_guard lock(orderMutex);
                waitOrder.push_back(id);
                semaphore.wait([&, id] {
                    {
                        std::lock_guard inner(orderMutex);
                        grantOrder.push_back(id);
                    }
                    semaphore.signal();
                });
            }
        });
    }
    for (auto& p : producers) p.join();
    semaphore.signal();
    ASSERT_TRUE(eventually([&] { return semaphore.value() == 1; }));
    std::lock_guard lock(orderMutex);
    EXPECT_EQ(grantOrder, waitOrder);
}

TEST(AsyncSemaphore, NeverGrantsMoreThanItsPermits) {
    ThreadPool pool(2);
    AsyncSemaphore semaphore(3, pool);
    std::atomic<int> holders{0};
    std::atomic<int> maxHolders{0};
    std::atomic<int> asyncDone{0};
    auto hold = [&] {
        const int now = ++holders;
        int seen = maxHolders.load();
        while (now > seen && !maxHolders.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        --holders;
    };
    constexpr int rounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                if (t % 2 == 0) {
                    auto permit = semaphore.acquirePermit();
                    hold();
                } else {
                    semaphore.wait([&] {
                        auto permit = semaphore.adoptPermit();
                        hold();
                        ++asyncDone;
                    });
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(eventually([&] { return asyncDone == 3 * rounds; }));
    ASSERT_TRUE(eventually([&] { return semaphore.value() == 3; }));
    EXPECT_LE(maxHolders, 3);
    EXPECT_GE(maxHolders, 1);
    EXPECT_EQ(semaphore.waiterCount(), 0u);
}

TEST(TaskGroup, CollectsResultsInIndexOrder) {
    auto squares = parallelMap(20, [](std::size_t shard) { return shard * shard; });
    ASSERT_EQ(squares.size(), 20u);
    for (std::size_t i = 0; i < squares.size(); ++i) EXPECT_EQ(squares[i], i * i);
    EXPECT_TRUE(parallelMap(0, [](std::size_t i) { return i; }).empty());
}

TEST(TaskGroup, JoiningFromEveryPoolThreadDoesNotDeadlock) {
    ThreadPool pool(2);
    std::latch bothBusy(2);
    std::promise<std::size_t> totals[2];
    for (auto& total : totals) {
        pool.post([&] {
            bothBusy.arrive_and_wait();
            // Nested fan-out, joined on a worker while the other worker is joining too.
            auto outer = parallelMap(
                4,
                [&](std::size_t) {
                    auto inner = parallelMap(5, [](std::size_t i) { return i; }, pool);
                    std::size_t sum = 0;
                    for (auto v : inner) sum += v;
                    return sum;
                },
                pool);
            std::size_t sum = 0;
            for (auto v : outer) sum += v;
            total.set_value(sum);
        });
    }
    for (auto& total : totals) {
        auto f = total.get_future();
        ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(f.get(), 40u);
    }
}

TEST(TaskGroup, RethrowsTheFirstFailureAfterEveryStartedChildEnded) {
    ThreadPool pool(2);
    TaskGroup group(pool);
    std::atomic<int> finished{0};
    group.spawn([&] {
        std::this_thread::sleep_for(20ms);
        ++finished;
    });
    group.spawn([] { throw std::runtime_error("shard 3 failed"); });
    try {
        group.wait();
        FAIL() << "expected the child's exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "shard 3 failed");
    }
    EXPECT_EQ(finished, 1);  // wait() never returns while a child still runs
    // The failure was collected; the group can be used again.
    group.spawn([&] { ++finished; });
    EXPECT_NO_THROW(group.wait());
    EXPECT_EQ(finished, 2);
}

}  // namespace
}  // namespace lumidex
