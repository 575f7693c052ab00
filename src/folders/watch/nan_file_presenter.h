// The file-change observer of one searchable folder: takes the raw notifications of a FileWatcher over
// the root, drops those below hidden or excluded folders, drops those whose file attributes did not
// change, collapses bursts per (path, change kind) — delivery 0.3 s after the last notification, never
// later than 2 s after the first — and hands each surviving path to the handler.
//
// When the watcher lost notifications (queue overflow) or cannot watch the whole tree (watch limit), the
// observer logs it, counts it ("fsevent.overflow", "fsevent.watch_limit") and calls the rescan handler,
// coalescing bursts of such signals into one call per quiet period. After a watch limit it calls the
// rescan handler again every `limitRescanInterval`, since changes in unwatched folders arrive no other
// way. Also counted: "fsevent.raw", "fsevent.ignored", "fsevent.ignored_extension", and one event
// "fsevent.deliver.<root folder name>" (detail: the file name) per delivery.
//
// Threads: notifications may arrive on any thread and move to the event queue at once; all state is
// touched only there, and the handlers run there too, so they must return quickly (hop to your own
// executor). Delivered paths are the paths as on disk (not re-normalized). shutdown() (also run by the
// destructor) stops the watcher and waits until nothing more can be delivered: after it returns no
// handler runs, not even for notifications received before. It must not be called from a watcher
// callback; from a handler it is fine.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "folders/watch/presenter_event_queue.h"
#include "platform/file_watcher.h"

namespace lumidex {
class DiagnosticsCollector;
}

namespace lumidex::folders {

enum class FileChangeType { added, removed, modified };

struct DebounceKey {
    std::string url;
    FileChangeType changeType = FileChangeType::modified;
    bool operator==(const DebounceKey&) const = default;
};

struct DebounceKeyHash {
    std::size_t operator()(const DebounceKey& key) const;
};

struct DebounceState {
    PresenterEventQueue::Clock::time_point firstEventTime;
    std::unique_ptr<PresenterEventQueue::Scheduled> pendingWorkItem;
};

// The attributes compared to tell a real change from a repeated notification (access time excluded).
struct FileAttributes {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint32_t mode = 0;
    std::uint64_t linkCount = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    bool operator==(const FileAttributes&) const = default;
};

class NanFilePresenter_v3 {
public:
    using Duration = PresenterEventQueue::Duration;
    using ChangeHandler = std::function<void(const std::string& path)>;
    using ChangeKindHandler = std::function<void(const std::string& path, FileChangeType kind)>;
    using RescanHandler = std::function<void()>;
    using WatcherFactory = std::function<std::unique_ptr<platform::FileWatcher>(
        const std::filesystem::path& root, platform::FileWatcher::Handler handler, platform::FileWatcher::Options options)>;
    // (folder name, folder path) → never entered; called from the watcher thread too.
    using ExcludedFolderTest = std::function<bool(std::string_view name, const std::string& path)>;
    using LogSink = std::function<void(std::string_view message)>;

    static constexpr Duration quietPeriod = std::chrono::milliseconds(300);
    static constexpr Duration maxWait = std::chrono::milliseconds(2000);
    static constexpr Duration summaryInterval = std::chrono::seconds(60);
    static constexpr std::size_t maxKnownFileAttributes = 50000;

    struct Dependencies {
        WatcherFactory makeWatcher;                       // default: platform::createFileWatcher
        std::shared_ptr<PresenterEventQueue> eventQueue;  // default: a serial queue "NanFilePresenter.events"
        DiagnosticsCollector* diagnostics = nullptr;      // default: DiagnosticsCollector::shared()
        LogSink log;                                      // default: the debug log
        ExcludedFolderTest isExcludedFolder;              // default: the scanner's shared rule
        Duration limitRescanInterval = std::chrono::minutes(10);
    };

    // Starts watching `rootFolderPath` at once. Notifications are dropped until a handler is set.
    explicit NanFilePresenter_v3(std::string rootFolderPath);
    NanFilePresenter_v3(std::string rootFolderPath, Dependencies dependencies);
    ~NanFilePresenter_v3();
    NanFilePresenter_v3(const NanFilePresenter_v3&) = delete;
    NanFilePresenter_v3& operator=(const NanFilePresenter_v3&) = delete;

    // Both take effect for everything delivered after notifications already queued.
    void setHandler(ChangeHandler handler);
    // Also receives the change kind; called after the plain handler when both are set.
    void setChangeKindHandler(ChangeKindHandler handler);
    void setRescanHandler(RescanHandler handler);

    // The notification entry point (the watcher calls it); any thread.
    void subItemDidChange(const std::string& path);
    void shutdown();

    const std::string& rootUrl() const { return rootUrl_; }
    const std::string& rootFolderName() const { return rootFolderName_; }
    // True once the watcher's initial watches are in place (mainly for tests and start-up ordering).
    bool waitUntilWatching(std::chrono::milliseconds timeout);

private:
    void handleNotification(const std::string& path);
    bool isFilteredOut(const std::string& path) const;
    void deliver(const DebounceKey& key);
    void rescanNeeded(platform::RescanReason reason);
    void requestRescan();
    void writeSummary();
    void log(const std::string& message) const;

    // Fields before `watcher_` must outlive every queued task; the queue outlives the Scheduled items.
    std::shared_ptr<PresenterEventQueue> eventQueue_;
    DiagnosticsCollector* diagnostics_;
    LogSink log_;
    ExcludedFolderTest isExcludedFolder_;
    Duration limitRescanInterval_;
    std::string rootUrl_;
    std::string rootFolderName_;
    std::atomic<bool> isShutdown_{false};

    // Event queue only.
    ChangeHandler actionOnEventQueue_;
    ChangeKindHandler kindActionOnEventQueue_;
    RescanHandler rescanActionOnEventQueue_;
    std::unordered_map<DebounceKey, DebounceState, DebounceKeyHash> debounceStates_;
    std::unordered_map<std::string, FileAttributes> lastKnownFileAttributes_;
    std::int64_t rawEventCount_ = 0;
    std::int64_t ignoredEventCount_ = 0;
    std::unique_ptr<PresenterEventQueue::Scheduled> summaryTimer_;
    std::unique_ptr<PresenterEventQueue::Scheduled> pendingRescan_;
    std::unique_ptr<PresenterEventQueue::Scheduled> limitRescanTimer_;

    std::unique_ptr<platform::FileWatcher> watcher_;
};

}  // namespace lumidex::folders
