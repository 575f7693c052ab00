#include "folders/watch/nan_file_presenter.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "core/app_log.h"
#include "core/diagnostics_collector.h"
#include "core/hashing.h"
#include "folders/scanning/excluded_folders.h"

namespace lumidex::folders {
namespace {

std::string lastComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<FileAttributes> readAttributes(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return std::nullopt;
    FileAttributes attributes;
    attributes.device = info.st_dev;
    attributes.inode = info.st_ino;
    attributes.mode = info.st_mode;
    attributes.linkCount = info.st_nlink;
    attributes.owner = info.st_uid;
    attributes.group = info.st_gid;
    attributes.size = info.st_size;
    attributes.modifiedSeconds = info.st_mtim.tv_sec;
    attributes.modifiedNanoseconds = info.st_mtim.tv_nsec;
    return attributes;
}

const char* describe(platform::RescanReason reason) {
    switch (reason) {
        case platform::RescanReason::queueOverflow: return "queue overflow";
        case platform::RescanReason::watchLimit: return "watch limit";
    }
    return "unknown";
}

}  // namespace

std::size_t DebounceKeyHash::operator()(const DebounceKey& key) const {
    return hashCombine(std::hash<std::string>{}(key.url), static_cast<std::size_t>(key.changeType));
}

NanFilePresenter_v3::NanFilePresenter_v3(std::string rootFolderPath)
    : NanFilePresenter_v3(std::move(rootFolderPath), Dependencies{}) {}

NanFilePresenter_v3::NanFilePresenter_v3(std::string rootFolderPath, Dependencies dependencies)
    : eventQueue_(dependencies.eventQueue ? std::move(dependencies.eventQueue)
                                          : makeSerialPresenterEventQueue("NanFilePresenter.events")),
      diagnostics_(dependencies.diagnostics ? dependencies.diagnostics : &DiagnosticsCollector::shared()),
      log_(std::move(dependencies.log)),
      isExcludedFolder_(dependencies.isExcludedFolder
                            ? std::move(dependencies.isExcludedFolder)
                            : ExcludedFolderTest([](std::string_view name, const std::string& path) {
                                  return isExcludedFolder(name, path);
                              })),
      limitRescanInterval_(dependencies.limitRescanInterval),
      rootUrl_(std::move(rootFolderPath)) {
    while (rootUrl_.size() > 1 && rootUrl_.back() == '/') rootUrl_.pop_back();
    rootFolderName_ = lastComponent(rootUrl_);

    platform::FileWatcher::Handler handler;
    handler.changed = [this](const std::string& path) { subItemDidChange(path); };
    handler.rescanNeeded = [this](platform::RescanReason reason) {
        if (!isShutdown_) eventQueue_->post([this, reason] { rescanNeeded(reason); });
    };
    handler.problem = [this](const std::string& message) { log("[NanFilePresenter] " + rootFolderName_ + ": " + message); };
    platform::FileWatcher::Options options;
    // Not watching hidden and excluded folders keeps build floods from overflowing the kernel queue.
    options.skipDirectory = [test = isExcludedFolder_](const std::filesystem::path& directory) {
        const std::string name = directory.filename().string();
        return name.starts_with('.') || test(name, directory.string());
    };
    auto makeWatcher = dependencies.makeWatcher ? std::move(dependencies.makeWatcher) : WatcherFactory(platform::createFileWatcher);
    watcher_ = makeWatcher(rootUrl_, std::move(handler), std::move(options));
}

NanFilePresenter_v3::~NanFilePresenter_v3() { shutdown(); }

void NanFilePresenter_v3::log(const std::string& message) const {
    if (log_) log_(message);
    else appLog(message);
}

void NanFilePresenter_v3::setHandler(ChangeHandler handler) {
    eventQueue_->post([this, handler = std::move(handler)]() mutable { actionOnEventQueue_ = std::move(handler); });
}

void NanFilePresenter_v3::setChangeKindHandler(ChangeKindHandler handler) {
    eventQueue_->post([this, handler = std::move(handler)]() mutable { kindActionOnEventQueue_ = std::move(handler); });
}

void NanFilePresenter_v3::setRescanHandler(RescanHandler handler) {
    eventQueue_->post([this, handler = std::move(handler)]() mutable { rescanActionOnEventQueue_ = std::move(handler); });
}

bool NanFilePresenter_v3::waitUntilWatching(std::chrono::milliseconds timeout) {
    return watcher_ && watcher_->waitUntilWatching(timeout);
}

void NanFilePresenter_v3::subItemDidChange(const std::string& path) {
    if (isShutdown_) return;
    eventQueue_->post([this, path] { handleNotification(path); });
}

bool NanFilePresenter_v3::isFilteredOut(const std::string& path) const {
    std::string_view relative = path;
    std::string prefix;  // the folder path up to the current component
    if (relative.starts_with(rootUrl_) && (relative.size() == rootUrl_.size() || relative[rootUrl_.size()] == '/')) {
        relative.remove_prefix(rootUrl_.size());
        prefix = rootUrl_;
    }
    std::vector<std::string_view> components;
    for (std::size_t start = 0; start <= relative.size();) {
        const auto slash = std::min(relative.find('/', start), relative.size());
        if (slash > start) components.push_back(relative.substr(start, slash - start));
        start = slash + 1;
    }
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (components[i].starts_with('.')) return true;
        prefix += '/';
        prefix += components[i];
        if (i + 1 < components.size() && isExcludedFolder_(components[i], prefix)) return true;
    }
    return false;
}

void NanFilePresenter_v3::handleNotification(const std::string& path) {
    if (isShutdown_) return;
    if (!summaryTimer_) summaryTimer_ = eventQueue_->postEvery(summaryInterval, [this] { writeSummary(); });
    ++rawEventCount_;
    diagnostics_->increment("fsevent.raw");

    if (isFilteredOut(path)) {
        ++ignoredEventCount_;
        diagnostics_->increment("fsevent.ignored");
        return;
    }

    FileChangeType kind;
    const auto attributes = readAttributes(path);
    const auto known = lastKnownFileAttributes_.find(path);
    if (!attributes) {
        kind = FileChangeType::removed;
        // Forgotten, so that a file moved away and back with identical attributes counts as new again.
        if (known != lastKnownFileAttributes_.end()) lastKnownFileAttributes_.erase(known);
    } else if (known != lastKnownFileAttributes_.end() && known->second == *attributes) {
        ++ignoredEventCount_;
        diagnostics_->increment("fsevent.ignored_extension");
        return;
    } else if (known != lastKnownFileAttributes_.end()) {
        kind = FileChangeType::modified;
        known->second = *attributes;
    } else {
        kind = FileChangeType::added;
        if (lastKnownFileAttributes_.size() >= maxKnownFileAttributes) lastKnownFileAttributes_.clear();
        lastKnownFileAttributes_.emplace(path, *attributes);
    }

    DebounceKey key{path, kind};
    const auto now = eventQueue_->now();
    auto [it, inserted] = debounceStates_.try_emplace(key);
    if (inserted) it->second.firstEventTime = now;
    it->second.pendingWorkItem.reset();
    const Duration remaining = std::max(Duration::zero(), maxWait - (now - it->second.firstEventTime));
    const Duration delay = std::min(remaining, quietPeriod);
    it->second.pendingWorkItem = eventQueue_->postAfter(delay, [this, key] { deliver(key); });
}

void NanFilePresenter_v3::deliver(const DebounceKey& key) {
    // Erasing destroys the Scheduled that is running this call, which is allowed from inside it.
    debounceStates_.erase(key);
    if (isShutdown_ || (!actionOnEventQueue_ && !kindActionOnEventQueue_)) return;
    diagnostics_->record("fsevent.deliver." + rootFolderName_, lastComponent(key.url));
    if (actionOnEventQueue_) actionOnEventQueue_(key.url);
    if (kindActionOnEventQueue_ && !isShutdown_) kindActionOnEventQueue_(key.url, key.changeType);
}

void NanFilePresenter_v3::rescanNeeded(platform::RescanReason reason) {
    if (isShutdown_) return;
    const bool limit = reason == platform::RescanReason::watchLimit;
    diagnostics_->increment(limit ? "fsevent.watch_limit" : "fsevent.overflow");
    diagnostics_->record("fsevent.rescan." + rootFolderName_, describe(reason));
    log("[NanFilePresenter] " + rootFolderName_ + ": file-change notifications incomplete (" + describe(reason) +
        "); a full rescan of " + rootUrl_ + " is needed");
    requestRescan();
    if (limit && !limitRescanTimer_) {
        limitRescanTimer_ = eventQueue_->postEvery(limitRescanInterval_, [this] { requestRescan(); });
    }
}

void NanFilePresenter_v3::requestRescan() {
    if (isShutdown_ || pendingRescan_) return;
    pendingRescan_ = eventQueue_->postAfter(quietPeriod, [this] {
        pendingRescan_.reset();
        if (isShutdown_ || !rescanActionOnEventQueue_) return;
        diagnostics_->increment("fsevent.rescan_requested");
        rescanActionOnEventQueue_();
    });
}

void NanFilePresenter_v3::writeSummary() {
    log("[NanFilePresenter] " + rootFolderName_ + ": raw file-change events in last minute: " +
        std::to_string(rawEventCount_) + " (ignored: " + std::to_string(ignoredEventCount_) + ")");
    rawEventCount_ = 0;
    ignoredEventCount_ = 0;
}

void NanFilePresenter_v3::shutdown() {
    isShutdown_ = true;
    if (watcher_) watcher_->stop();
    // Runs after every task queued so far; none of them delivers any more, and no timer survives.
    eventQueue_->sync([this] {
        debounceStates_.clear();
        summaryTimer_.reset();
        pendingRescan_.reset();
        limitRescanTimer_.reset();
    });
}

}  // namespace lumidex::folders
