#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/concurrency/serial_executor.h"
#include "core/concurrency/thread_pool.h"
#include "search/list_search_view_model.h"
#include "search_test_support.h"

namespace lumidex::search {
namespace {

using namespace std::chrono_literals;

// Waits (generously) until `done` holds, asking on the main queue.
template <class F>
bool eventually(SerialExecutor& main, F done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (main.sync(done)) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

TEST(ExecutorScheduler, RunsMainWorkOnTheExecutorAndDelayedCallsUnlessCancelled) {
    ThreadPool pool(2);
    SerialExecutor main("main", pool);
    ExecutorScheduler scheduler(main, &pool);

    std::mutex mutex;
    std::condition_variable changed;
    bool onMain = false, background = false, fired = false;
    scheduler.postToMain([&] {
        std::lock_guard lock(mutex);
        onMain = main.isCurrent();
        changed.notify_all();
    });
    scheduler.postToBackground([&] {
        std::lock_guard lock(mutex);
        background = pool.isWorkerThread() && !main.isCurrent();
        changed.notify_all();
    });
    auto cancelled = scheduler.scheduleOnMain(1ms, [&] { ADD_FAILURE() << "cancelled call ran"; });
    main.sync([&] { cancelled->cancel(); });
    auto kept = scheduler.scheduleOnMain(1ms, [&] {
        std::lock_guard lock(mutex);
        fired = main.isCurrent();
        changed.notify_all();
    });
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 30s, [&] { return onMain && background && fired; }));
}

// The whole list model on real threads: searches overtaking each other end with the last one's results.
TEST(ExecutorScheduler, ListSearchOnRealThreadsShowsTheLastSearch) {
    lumidex::testing::TempDir settingsDir;
    SettingsStore store(settingsDir / "settings.json");
    Settings settings(store);
    ASSERT_FALSE(settings.set(SettingsKeys::automaticallySearchAfterKey, int64_t{0}).has_value());

    auto folder = std::make_shared<testing::StorageFolderIndex>("Docs");
    folder->add({"alpha.txt", "alpha report", 1000});
    folder->add({"beta.txt", "beta report", 2000});
    testing::FolderRegistry registry;
    registry.add(folder);

    ThreadPool pool(2);
    SerialExecutor main("main", pool);
    {
        ExecutorScheduler scheduler(main, &pool);
        auto model = main.sync([&] {
            return std::make_unique<ListSearchViewModel>(std::make_shared<SearchEngine>(registry.function(), nullptr, &pool),
                                                         settings, scheduler);
        });
        main.sync([&] {
            for (const char* text : {"alpha", "beta", "report", "alpha", "beta"}) model->searchTextTyped(text);
        });
        ASSERT_TRUE(eventually(main, [&] { return !model->isBusy(); }));
        main.sync([&] {
            ASSERT_EQ(model->items().size(), 1u);
            EXPECT_EQ(model->items()[0].fileName, "beta.txt");
        });
        ASSERT_TRUE(eventually(main, [&] { return !model->filterViewModel().isComputingMetadata(); }));
        main.sync([&] { model->submitSearchText("report"); });
        main.sync([&] { model.reset(); });  // destroyed while its search may still run
        pool.shutdown();
    }
}

}  // namespace
}  // namespace lumidex::search
