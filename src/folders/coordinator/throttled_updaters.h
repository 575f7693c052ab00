// Throttled publishers that tell the user interface about a folder's changes without flooding it.
//
// Policy (Throttle): a trigger more than `immediateAfter` (2 s) after the last publication publishes at
// once; any other trigger (re)starts a `debounce` (3 s) wait, so a burst is published when it has been
// quiet for that long. Publications run on a pool thread, one at a time per publisher; subscribers must
// not block for long. All classes are thread-safe; destruction withdraws a pending publication and
// waits for one in progress, so no subscriber is called after the destructor returns.
//
// ThrottledNanItemRefreshUpdater collects items (a newer version of an item replaces the one waiting)
// and publishes the set. ThrottledProgressUpdater publishes the folder's ProgressItem.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/concurrency/timer.h"
#include "core/model/nan_item.h"

namespace lumidex {
class ThreadPool;
}

namespace lumidex::folders {

struct ThrottleIntervals {
    Timer::Duration immediateAfter = std::chrono::seconds(2);
    Timer::Duration debounce = std::chrono::seconds(3);
};

class Throttle {
public:
    Throttle(ThrottleIntervals intervals, ThreadPool& pool, std::function<void()> publish);
    void trigger();

private:
    const ThrottleIntervals intervals_;
    const std::function<void()> publish_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point lastUpdate_{};
    bool published_ = false;
    Timer timer_;  // last: withdrawn before the rest goes away
};

template <class Value>
class Subscribers {
public:
    using Callback = std::function<void(const Value&)>;
    int subscribe(Callback callback) {
        std::lock_guard lock(mutex_);
        callbacks_.emplace(++nextToken_, std::move(callback));
        return nextToken_;
    }
    void unsubscribe(int token) {
        std::lock_guard lock(mutex_);
        callbacks_.erase(token);
    }
    bool empty() const {
        std::lock_guard lock(mutex_);
        return callbacks_.empty();
    }
    void publish(const Value& value) const {
        std::map<int, Callback> callbacks;
        {
            std::lock_guard lock(mutex_);
            callbacks = callbacks_;
        }
        for (const auto& [token, callback] : callbacks) callback(value);
    }

private:
    mutable std::mutex mutex_;
    std::map<int, Callback> callbacks_;
    int nextToken_ = 0;
};

class ThrottledNanItemRefreshUpdater {
public:
    explicit ThrottledNanItemRefreshUpdater(ThreadPool& pool, ThrottleIntervals intervals = {});

    void add(const NanItem& item);
    void add(const std::vector<NanItem>& items);
    void add(std::vector<NanItem>&& items);

    // refreshItemsSubject: receives each published set.
    int subscribe(Subscribers<std::vector<NanItem>>::Callback callback) { return refreshItemsSubject_.subscribe(std::move(callback)); }
    void unsubscribe(int token) { refreshItemsSubject_.unsubscribe(token); }
    // Without subscribers `add` drops what it is given, so callers may skip gathering it.
    bool hasSubscribers() const { return !refreshItemsSubject_.empty(); }
    std::size_t waitingCount() const;

private:
    void publish();

    Subscribers<std::vector<NanItem>> refreshItemsSubject_;
    mutable std::mutex mutex_;
    std::unordered_set<NanItem> dataSet_;
    Throttle throttle_;
};

struct ProgressItem {
    std::string searchableFolder;
    int64_t notProcessedCount = 0;  // items whose processing has not reached a final state
    int64_t ocrPagesCount = 0;      // pages recognised since the folder's coordinator started
    int64_t completedCount = 0;     // items in a final state
    double progress = 1.0;          // completed / (completed + not processed); 1 for an empty folder

    bool operator==(const ProgressItem&) const = default;
};

class ThrottledProgressUpdater {
public:
    ThrottledProgressUpdater(std::string rootFolderUrl, ThreadPool& pool, ThrottleIntervals intervals = {});

    // By the coordinator whenever its item states change.
    void setCounts(int64_t notProcessed, int64_t completed);
    // By processing: pages recognised and items handled in the current runs.
    void addOcrPages(int64_t pages);
    void addHandled(int64_t items);

    ProgressItem current() const;
    int64_t countHandled() const;
    int subscribe(Subscribers<ProgressItem>::Callback callback) { return subject_.subscribe(std::move(callback)); }
    void unsubscribe(int token) { subject_.unsubscribe(token); }

private:
    Subscribers<ProgressItem> subject_;
    const std::string rootFolderUrl_;
    mutable std::mutex mutex_;
    int64_t notProcessed_ = 0;
    int64_t completed_ = 0;
    int64_t ocrPages_ = 0;
    int64_t countHandled_ = 0;
    Throttle throttle_;
};

}  // namespace lumidex::folders
