#include "folders/watch/nan_file_presenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/diagnostics_collector.h"
#include "manual_event_queue.h"
#include "support/temp_home.h"

namespace lumidex::folders {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;
using testing::FakeWatcher;
using testing::FakeWatcherControl;
using testing::ManualEventQueue;
using Clock = PresenterEventQueue::Clock;

struct Delivery {
    std::string path;
    FileChangeType kind;
    Clock::time_point time;
};

class PresenterTest : public ::testing::Test {
protected:
    PresenterTest() {
        fs::create_directories(root());
        NanFilePresenter_v3::Dependencies deps;
        deps.eventQueue = queue_;
        deps.diagnostics = &diagnostics_;
        deps.log = [this](std::string_view line) { logged_.emplace_back(line); };
        deps.limitRescanInterval = 1min;
        deps.makeWatcher = [this](const fs::path& path, platform::FileWatcher::Handler handler,
                                  platform::FileWatcher::Options options) {
            control_->root = path.string();
            control_->handler = std::move(handler);
            control_->options = std::move(options);
            return std::make_unique<FakeWatcher>(control_);
        };
        presenter_ = std::make_unique<NanFilePresenter_v3>(root().string(), std::move(deps));
        presenter_->setChangeKindHandler([this](const std::string& path, FileChangeType kind) {
            deliveries_.push_back({path, kind, queue_->now()});
        });
        presenter_->setRescanHandler([this] { rescans_.push_back(queue_->now()); });
        queue_->runReady();
    }

    fs::path root() const { return dir_ / "Projects"; }
    std::string path(const std::string& relative) const { return (root() / relative).string(); }
    // The platform reports a change: the call reaches the presenter's queue at once.
    void notify(const std::string& file) {
        control_->handler.changed(file);
        queue_->runReady();
    }
    void touch(const std::string& file, const std::string& content) { writeFile(file, content); }
    // A delivered file: its attributes are known from then on, so later changes are modifications.
    void known(const std::string& file) {
        touch(file, "v0");
        notify(file);
        queue_->advance(1s);
        deliveries_.clear();
    }

    TempDir dir_;
    std::shared_ptr<ManualEventQueue> queue_ = std::make_shared<ManualEventQueue>();
    std::shared_ptr<FakeWatcherControl> control_ = std::make_shared<FakeWatcherControl>();
    DiagnosticsCollector diagnostics_;
    std::vector<std::string> logged_;
    std::vector<Delivery> deliveries_;
    std::vector<Clock::time_point> rescans_;
    std::unique_ptr<NanFilePresenter_v3> presenter_;
};

TEST_F(PresenterTest, HiddenAndExcludedFoldersAreFilteredBeforeAnyDiskAccess) {
    fs::create_directories(root() / "app" / "build");
    writeFile(root() / "app" / "build" / "CMakeLists.txt", "");
    fs::create_directories(root() / "docs" / "build");  // no marker: an ordinary folder
    writeFile(root() / "docs" / "build" / "report.pdf", "%PDF");

    for (const char* ignored : {".git/index", "project/node_modules/x.js", "a/DerivedData/b/c.o", "app/build/out.o",
                                ".DS_Store", "docs/.~lock.report.odt#"}) {
        notify(path(ignored));
    }
    notify(path("docs/build/report.pdf"));
    queue_->advance(5s);

    ASSERT_EQ(deliveries_.size(), 1u);
    EXPECT_EQ(deliveries_[0].path, path("docs/build/report.pdf"));
    EXPECT_EQ(diagnostics_.counter("fsevent.raw"), 7);
    EXPECT_EQ(diagnostics_.counter("fsevent.ignored"), 6);
}

TEST_F(PresenterTest, ABurstGivesOneDeliveryAQuietPeriodAfterItsLastNotification) {
    const std::string file = path("report.txt");
    known(file);
    Clock::time_point last;
    for (int i = 1; i <= 10; ++i) {
        touch(file, std::string(static_cast<std::size_t>(i), 'x'));  // a real change every time
        notify(file);
        last = queue_->now();
        queue_->advance(20ms);
    }
    queue_->advance(5s);

    ASSERT_EQ(deliveries_.size(), 1u);
    EXPECT_EQ(deliveries_[0].kind, FileChangeType::modified);
    EXPECT_EQ(deliveries_[0].time - last, NanFilePresenter_v3::quietPeriod);
    EXPECT_EQ(diagnostics_.counter("fsevent.deliver.Projects"), 2);
    const auto events = diagnostics_.recentEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, "fsevent.deliver.Projects");
    EXPECT_EQ(events[0].detail, "report.txt");
}

TEST_F(PresenterTest, SteadyChangesAreDeliveredAtLeastEveryMaxWait) {
    const std::string file = path("sync.log");
    known(file);
    const auto begin = queue_->now();
    for (int i = 1; i <= 20; ++i) {  // every 0.25 s for 5 s
        touch(file, std::string(static_cast<std::size_t>(i), 'x'));
        notify(file);
        queue_->advance(250ms);
    }
    queue_->advance(5s);

    ASSERT_GE(deliveries_.size(), 3u);
    EXPECT_LE(deliveries_[0].time - begin, NanFilePresenter_v3::maxWait);
    for (std::size_t i = 1; i + 1 < deliveries_.size(); ++i) {
        EXPECT_LE(deliveries_[i].time - deliveries_[i - 1].time, NanFilePresenter_v3::maxWait + 250ms);
    }
}

TEST_F(PresenterTest, RepeatedNotificationsWithoutARealChangeAreIgnored) {
    const std::string file = path("same.txt");
    known(file);
    notify(file);
    notify(file);
    queue_->advance(5s);
    EXPECT_TRUE(deliveries_.empty());
    EXPECT_EQ(diagnostics_.counter("fsevent.ignored_extension"), 2);
}

TEST_F(PresenterTest, ChangeKindsFollowTheFileAndAreDebouncedSeparately) {
    const std::string file = path("a/letter.txt");
    touch(file, "new");
    notify(file);
    queue_->advance(1s);
    touch(file, "rewritten");
    notify(file);
    fs::remove(file);
    notify(file);  // within the quiet period of the modification
    queue_->advance(1s);
    touch(file, "again");  // comes back: new again even with equal attributes
    notify(file);
    queue_->advance(1s);

    std::vector<FileChangeType> kinds;
    for (const auto& d : deliveries_) kinds.push_back(d.kind);
    EXPECT_EQ(kinds, (std::vector<FileChangeType>{FileChangeType::added, FileChangeType::modified,
                                                  FileChangeType::removed, FileChangeType::added}));
}

TEST_F(PresenterTest, NothingIsDeliveredAfterShutDownNotEvenWhatWasScheduledBefore) {
    const std::string file = path("pending.txt");
    touch(file, "x");
    notify(file);
    presenter_->shutdown();
    EXPECT_TRUE(control_->stopped);
    control_->handler.changed(path("later.txt"));
    queue_->advance(10s);
    EXPECT_TRUE(deliveries_.empty());
}

TEST_F(PresenterTest, WithoutAHandlerChangesAreDroppedAndThePlainHandlerGetsThePath) {
    presenter_->setChangeKindHandler({});
    touch(path("one.txt"), "x");
    notify(path("one.txt"));
    queue_->advance(1s);
    EXPECT_TRUE(deliveries_.empty());
    EXPECT_EQ(diagnostics_.counter("fsevent.deliver.Projects"), 0);

    std::vector<std::string> paths;
    presenter_->setHandler([&](const std::string& p) { paths.push_back(p); });
    touch(path("two.txt"), "x");
    notify(path("two.txt"));
    queue_->advance(1s);
    EXPECT_EQ(paths, std::vector<std::string>{path("two.txt")});
}

TEST_F(PresenterTest, LostNotificationsAskForOneRescanPerBurst) {
    control_->handler.rescanNeeded(platform::RescanReason::queueOverflow);
    control_->handler.rescanNeeded(platform::RescanReason::queueOverflow);
    queue_->advance(5min);
    EXPECT_EQ(rescans_.size(), 1u);
    EXPECT_EQ(diagnostics_.counter("fsevent.overflow"), 2);
    EXPECT_EQ(diagnostics_.counter("fsevent.rescan_requested"), 1);
    EXPECT_TRUE(std::any_of(logged_.begin(), logged_.end(),
                            [](const std::string& l) { return l.find("queue overflow") != std::string::npos; }));
}

TEST_F(PresenterTest, AtTheWatchLimitRescansRepeatUntilShutDown) {
    control_->handler.rescanNeeded(platform::RescanReason::watchLimit);
    queue_->advance(3min + 1s);
    EXPECT_EQ(rescans_.size(), 4u);  // at once, then every minute
    EXPECT_EQ(diagnostics_.counter("fsevent.watch_limit"), 1);
    presenter_->shutdown();
    queue_->advance(10min);
    EXPECT_EQ(rescans_.size(), 4u);
}

TEST_F(PresenterTest, TheSummaryReportsAndResetsTheCountsEveryMinute) {
    known(path("x.txt"));  // one raw event
    notify(path(".hidden"));
    notify(path("x.txt"));
    queue_->advance(60s);
    const std::string expected = "[NanFilePresenter] Projects: raw file-change events in last minute: 3 (ignored: 2)";
    EXPECT_EQ(std::count(logged_.begin(), logged_.end(), expected), 1);
    queue_->advance(60s);
    EXPECT_EQ(logged_.back(), "[NanFilePresenter] Projects: raw file-change events in last minute: 0 (ignored: 0)");
}

TEST_F(PresenterTest, TheWatcherSkipsHiddenAndExcludedFolders) {
    const auto& skip = control_->options.skipDirectory;
    ASSERT_TRUE(skip);
    EXPECT_EQ(control_->root, root().string());
    EXPECT_TRUE(skip(root() / ".git"));
    EXPECT_TRUE(skip(root() / "web" / "node_modules"));
    EXPECT_FALSE(skip(root() / "src"));
}

// The real watcher end to end; timeouts are generous and nothing depends on how fast it is.
TEST(PresenterWithInotify, AFileWrittenInTheFolderReachesTheHandler) {
    TempDir dir;
    const fs::path root = dir / "Inbox";
    fs::create_directories(root / "sub");
    DiagnosticsCollector diagnostics;
    NanFilePresenter_v3::Dependencies deps;
    deps.diagnostics = &diagnostics;
    deps.log = [](std::string_view) {};
    NanFilePresenter_v3 presenter(root.string(), std::move(deps));

    std::mutex mutex;
    std::condition_variable arrived;
    std::set<std::string> paths;
    presenter.setHandler([&](const std::string& p) {
        std::lock_guard lock(mutex);
        paths.insert(p);
        arrived.notify_all();
    });
    ASSERT_TRUE(presenter.waitUntilWatching(10s));
    writeFile(root / "sub" / "scan.pdf", "%PDF");
    writeFile(root / ".hidden.pdf", "%PDF");

    std::unique_lock lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, 20s, [&] { return paths.count((root / "sub" / "scan.pdf").string()) > 0; }));
    EXPECT_EQ(paths.count((root / ".hidden.pdf").string()), 0u);
    lock.unlock();
    presenter.shutdown();
    EXPECT_GE(diagnostics.counter("fsevent.raw"), 1);
}

}  // namespace
}  // namespace lumidex::folders
