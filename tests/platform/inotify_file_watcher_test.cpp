#include "platform/file_watcher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "support/temp_home.h"

namespace lumidex::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::TempDir;
using testing::writeFile;

constexpr auto kTimeout = 10s;

// Collects what a watcher reports; waits use generous timeouts and never assert on elapsed time.
class Recorder {
public:
    FileWatcher::Handler handler() {
        FileWatcher::Handler h;
        h.changed = [this](const std::string& path) {
            std::lock_guard lock(mutex_);
            paths_.insert(path);
            changed_.notify_all();
        };
        h.rescanNeeded = [this](RescanReason reason) {
            std::lock_guard lock(mutex_);
            if (reason == RescanReason::queueOverflow) ++overflows_;
            changed_.notify_all();
        };
        return h;
    }
    bool waitFor(const fs::path& path) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kTimeout, [&] { return paths_.count(path.string()) > 0; });
    }
    bool waitForOverflow() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kTimeout, [&] { return overflows_ > 0; });
    }
    bool seen(const fs::path& path) {
        std::lock_guard lock(mutex_);
        return paths_.count(path.string()) > 0;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        paths_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::string> paths_;
    int overflows_ = 0;
};

class InotifyWatcherTest : public ::testing::Test {
protected:
    void start(FileWatcher::Options options = {}) {
        fs::create_directories(root());
        watcher_ = createFileWatcher(root(), recorder_.handler(), std::move(options));
        ASSERT_TRUE(watcher_->waitUntilWatching(kTimeout));
    }
    fs::path root() const { return dir_ / "root"; }
    // A change after every earlier one, to know that the earlier ones have been read.
    void barrier() {
        const fs::path marker = root() / ("barrier" + std::to_string(++barriers_));
        writeFile(marker, "x");
        ASSERT_TRUE(recorder_.waitFor(marker));
    }

    TempDir dir_;
    Recorder recorder_;
    std::unique_ptr<FileWatcher> watcher_;
    int barriers_ = 0;
};

TEST_F(InotifyWatcherTest, ReportsFileChangesAtAnyDepth) {
    fs::create_directories(root() / "a" / "b");
    writeFile(root() / "a" / "b" / "old.txt", "1");
    start();
    EXPECT_EQ(watcher_->watchedDirectoryCount(), 3u);

    writeFile(root() / "top.txt", "x");
    EXPECT_TRUE(recorder_.waitFor(root() / "top.txt"));
    writeFile(root() / "a" / "b" / "old.txt", "22");
    EXPECT_TRUE(recorder_.waitFor(root() / "a" / "b" / "old.txt"));
    recorder_.clear();
    fs::remove(root() / "a" / "b" / "old.txt");
    EXPECT_TRUE(recorder_.waitFor(root() / "a" / "b" / "old.txt"));
    fs::rename(root() / "top.txt", root() / "a" / "moved.txt");
    EXPECT_TRUE(recorder_.waitFor(root() / "top.txt"));
    EXPECT_TRUE(recorder_.waitFor(root() / "a" / "moved.txt"));
    recorder_.clear();
    fs::permissions(root() / "a" / "moved.txt", fs::perms::owner_read);
    EXPECT_TRUE(recorder_.waitFor(root() / "a" / "moved.txt"));
}

TEST_F(InotifyWatcherTest, NewFoldersAreWatchedAndWhatTheyAlreadyHoldIsReported) {
    start();
    // Made in one go: the files exist before the watcher can watch the new folders.
    fs::create_directories(root() / "new" / "deep" / "er");
    writeFile(root() / "new" / "deep" / "er" / "early.txt", "x");
    EXPECT_TRUE(recorder_.waitFor(root() / "new"));
    EXPECT_TRUE(recorder_.waitFor(root() / "new" / "deep" / "er" / "early.txt"));

    writeFile(root() / "new" / "deep" / "er" / "later.txt", "x");
    EXPECT_TRUE(recorder_.waitFor(root() / "new" / "deep" / "er" / "later.txt"));
    EXPECT_EQ(watcher_->watchedDirectoryCount(), 4u);

    // A folder moved in from outside arrives with its content.
    fs::create_directories(dir_ / "outside" / "sub");
    writeFile(dir_ / "outside" / "sub" / "doc.txt", "x");
    fs::rename(dir_ / "outside", root() / "inside");
    EXPECT_TRUE(recorder_.waitFor(root() / "inside" / "sub" / "doc.txt"));
}

TEST_F(InotifyWatcherTest, FoldersThatLeaveAreNoLongerWatched) {
    fs::create_directories(root() / "gone" / "sub");
    fs::create_directories(root() / "away" / "sub");
    fs::create_directories(root() / "old");
    start();
    EXPECT_EQ(watcher_->watchedDirectoryCount(), 6u);

    fs::remove_all(root() / "gone");
    EXPECT_TRUE(recorder_.waitFor(root() / "gone"));
    fs::rename(root() / "away", dir_ / "away");
    EXPECT_TRUE(recorder_.waitFor(root() / "away"));
    fs::rename(root() / "old", root() / "renamed");
    EXPECT_TRUE(recorder_.waitFor(root() / "renamed"));
    barrier();
    EXPECT_EQ(watcher_->watchedDirectoryCount(), 2u);

    writeFile(dir_ / "away" / "sub" / "after.txt", "x");
    writeFile(root() / "renamed" / "inside.txt", "x");
    EXPECT_TRUE(recorder_.waitFor(root() / "renamed" / "inside.txt"));
    barrier();
    EXPECT_FALSE(recorder_.seen(root() / "away" / "sub" / "after.txt"));
    EXPECT_FALSE(recorder_.seen(root() / "old" / "inside.txt"));
}

TEST_F(InotifyWatcherTest, SkippedFoldersAreNeitherWatchedNorReported) {
    fs::create_directories(root() / "node_modules" / "pkg");
    FileWatcher::Options options;
    options.skipDirectory = [](const fs::path& dir) { return dir.filename() == "node_modules" || dir.filename() == "skip"; };
    start(std::move(options));
    EXPECT_EQ(watcher_->watchedDirectoryCount(), 1u);

    writeFile(root() / "node_modules" / "pkg" / "index.js", "x");
    fs::create_directories(root() / "skip");
    writeFile(root() / "skip" / "inner.txt", "x");
    EXPECT_TRUE(recorder_.waitFor(root() / "skip"));
    barrier();
    EXPECT_FALSE(recorder_.seen(root() / "node_modules" / "pkg" / "index.js"));
    EXPECT_FALSE(recorder_.seen(root() / "skip" / "inner.txt"));
}

TEST_F(InotifyWatcherTest, ALostQueueAsksForARescan) {
    long limit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    if (limit <= 0 || limit > 100000) GTEST_SKIP() << "kernel queue limit " << limit << " too large to overflow quickly";
    fs::create_directories(root());

    // The first report blocks the watcher thread while the kernel queue fills up behind it.
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
    Recorder& recorder = recorder_;
    FileWatcher::Handler handler = recorder.handler();
    auto record = handler.changed;
    handler.changed = [&, record](const std::string& path) {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return go; });
        record(path);
    };
    watcher_ = createFileWatcher(root(), handler);
    ASSERT_TRUE(watcher_->waitUntilWatching(kTimeout));
    // Alternating between two files keeps the kernel from merging repeated events into one; the
    // watcher may already hold one buffer of them, hence the margin.
    writeFile(root() / "a", "x");
    writeFile(root() / "b", "x");
    const std::string names[2] = {(root() / "a").string(), (root() / "b").string()};
    for (long i = 0; i < limit + 5000; ++i) ASSERT_EQ(::utimensat(AT_FDCWD, names[i % 2].c_str(), nullptr, 0), 0);
    {
        std::lock_guard lock(mutex);
        go = true;
    }
    released.notify_all();
    EXPECT_TRUE(recorder.waitForOverflow());
    watcher_->stop();
}

TEST_F(InotifyWatcherTest, StopEndsTheThreadAndNothingIsReportedAfterwards) {
    start();
    watcher_->stop();
    watcher_->stop();
    writeFile(root() / "after.txt", "x");
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(recorder_.seen(root() / "after.txt"));
    EXPECT_FALSE(watcher_->waitUntilWatching(10ms));
}

TEST(InotifyWatcher, AMissingRootIsReportedAsAProblem) {
    TempDir dir;
    std::string problem;
    std::mutex mutex;
    FileWatcher::Handler handler;
    handler.problem = [&](const std::string& message) {
        std::lock_guard lock(mutex);
        problem = message;
    };
    auto watcher = createFileWatcher(dir / "missing", handler);
    EXPECT_FALSE(watcher->waitUntilWatching(kTimeout));
    watcher->stop();
    EXPECT_NE(problem.find("missing"), std::string::npos);
}

}  // namespace
}  // namespace lumidex::platform
