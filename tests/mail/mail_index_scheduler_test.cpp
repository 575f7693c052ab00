#include "mail/mail_index_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace lumidex::mail {
namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;

// Stands in for inotify: hands the scheduler's handler to the test.
class FakeWatcher : public platform::FileWatcher {
public:
    void stop() override {}
    bool waitUntilWatching(std::chrono::milliseconds) override { return true; }
    std::size_t watchedDirectoryCount() const override { return 1; }
};

struct MailIndexSchedulerTest : ::testing::Test {
    std::atomic<int64_t> clockTicks{0};  // seconds on the fake clock
    std::mutex mutex;
    std::vector<bool> forces;
    std::vector<bool> restarts;
    platform::FileWatcher::Handler watcher;      // of the folder /mail
    platform::FileWatcher::Handler fileWatcher;  // of the file /box/inbox.mbox
    std::unique_ptr<MailIndexScheduler> scheduler;

    // Runs return the number of runs so far as messagesRead; while the gate is closed a run waits for it
    // to open or for the cancel flag.
    std::condition_variable gateChanged;
    bool gateClosed = false;
    bool inRun = false;

    void SetUp() override {
        MailIndexScheduler::Options options;
        options.clock = [this] { return TimePoint(std::chrono::seconds(clockTicks.load())); };
        options.watchRoots = {"/mail"};
        options.watchFiles = {"/box/inbox.mbox"};
        options.ignoredFolders = {"/mail/.lumidex"};
        options.makeWatcher = [this](const std::filesystem::path& root, platform::FileWatcher::Handler handler) {
            (root == "/mail" ? watcher : fileWatcher) = std::move(handler);
            return std::make_unique<FakeWatcher>();
        };
        options.log = [](std::string_view) {};
        scheduler = std::make_unique<MailIndexScheduler>(
            [this](bool force, bool restart, const std::atomic<bool>& cancelled) {
                std::unique_lock lock(mutex);
                inRun = true;
                gateChanged.notify_all();
                // The cancel flag is polled, as a real run does between messages.
                const auto limit = std::chrono::steady_clock::now() + 5s;
                while (gateClosed && !cancelled && std::chrono::steady_clock::now() < limit) gateChanged.wait_for(lock, 5ms);
                inRun = false;
                forces.push_back(force);
                restarts.push_back(restart);
                MailRunOutcome outcome;
                outcome.messagesRead = static_cast<int64_t>(forces.size());
                if (cancelled) outcome.errors.push_back("cancelled");
                return outcome;
            },
            std::move(options));
    }

    void advance(int64_t seconds) {
        clockTicks += seconds;
        scheduler->wake();
    }
    int64_t runs() const { return scheduler->status().runsCompleted; }
    // No run follows within a moment: the scheduler's thread has looked at the clock by then.
    bool noFurtherRun(int64_t runsSoFar) { return !scheduler->waitForRuns(runsSoFar + 1, 50ms); }
};

TEST_F(MailIndexSchedulerTest, RunsAtStartAfterChangesSettleOnPollAndOnDemand) {
    scheduler->start();
    ASSERT_TRUE(scheduler->waitForRuns(1, 30s));

    // The program's own files and the neighbours of a watched mbox file are no changes.
    watcher.changed("/mail/.lumidex/MailIndex/mail_fts_v9.sqlite-wal");
    fileWatcher.changed("/box/notes.txt");
    advance(10);
    EXPECT_TRUE(noFurtherRun(1));

    // Each change restarts the 10-second debounce.
    watcher.changed("/mail/V10/MailData/Envelope Index-wal");
    advance(6);
    EXPECT_TRUE(noFurtherRun(1));
    fileWatcher.changed("/box/inbox.mbox");
    advance(6);
    EXPECT_TRUE(noFurtherRun(1));
    advance(4);
    ASSERT_TRUE(scheduler->waitForRuns(2, 30s));

    advance(299);
    EXPECT_TRUE(noFurtherRun(2));
    advance(1);
    ASSERT_TRUE(scheduler->waitForRuns(3, 30s));

    const MailRunOutcome outcome = scheduler->runNow(true);
    EXPECT_EQ(outcome.messagesRead, 4);
    const auto status = scheduler->status();
    EXPECT_EQ(status.runsCompleted, 4);
    EXPECT_FALSE(status.running);
    EXPECT_TRUE(status.lastRunFinished.has_value());
    std::lock_guard lock(mutex);
    EXPECT_EQ(forces, (std::vector<bool>{false, false, false, true}));
}

TEST_F(MailIndexSchedulerTest, TriggersDuringARunAreCoalescedAndStopCancelsIt) {
    {
        std::lock_guard lock(mutex);
        gateClosed = true;
    }
    scheduler->start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(gateChanged.wait_for(lock, 30s, [&] { return inRun; }));
    }
    EXPECT_TRUE(scheduler->status().running);
    scheduler->requestRun();
    scheduler->requestRun(true, true);
    watcher.changed("/mail/a");
    {
        std::lock_guard lock(mutex);
        gateClosed = false;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(scheduler->waitForRuns(2, 30s));
    advance(10);
    EXPECT_TRUE(noFurtherRun(2));  // one run for both requests and the change
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(forces, (std::vector<bool>{false, true}));
        EXPECT_EQ(restarts, (std::vector<bool>{false, true}));
        gateClosed = true;
    }

    watcher.changed("/mail/b");
    advance(10);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(gateChanged.wait_for(lock, 30s, [&] { return inRun; }));
    }
    scheduler->stop();
    EXPECT_EQ(scheduler->status().lastError, "cancelled");
    EXPECT_EQ(scheduler->runNow().errors, std::vector<std::string>{"mail indexing is not running"});
}

}  // namespace
}  // namespace lumidex::mail
