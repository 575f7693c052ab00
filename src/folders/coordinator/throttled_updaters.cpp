#include "folders/coordinator/throttled_updaters.h"

#include "core/concurrency/thread_pool.h"

namespace lumidex::folders {

Throttle::Throttle(ThrottleIntervals intervals, ThreadPool& pool, std::function<void()> publish)
    : intervals_(intervals), publish_(std::move(publish)), timer_(pool) {}

void Throttle::trigger() {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    auto fire = [this] {
        {
            std::lock_guard inner(mutex_);
            lastUpdate_ = std::chrono::steady_clock::now();
            published_ = true;
        }
        publish_();
    };
    if (!published_ || now - lastUpdate_ > intervals_.immediateAfter) {
        // Stamped now, so that a trigger right behind this one is debounced instead of published again.
        lastUpdate_ = now;
        published_ = true;
        timer_.schedule(Timer::Duration::zero(), std::move(fire));
    } else {
        timer_.schedule(intervals_.debounce, std::move(fire));
    }
}

ThrottledNanItemRefreshUpdater::ThrottledNanItemRefreshUpdater(ThreadPool& pool, ThrottleIntervals intervals)
    : throttle_(intervals, pool, [this] { publish(); }) {}

// Without a subscriber nobody would receive the set: collecting it (tens of thousands of items on a
// first scan) is skipped.
void ThrottledNanItemRefreshUpdater::add(const NanItem& item) {
    if (refreshItemsSubject_.empty()) return;
    {
        std::lock_guard lock(mutex_);
        dataSet_.erase(item);
        dataSet_.insert(item);
    }
    throttle_.trigger();
}

void ThrottledNanItemRefreshUpdater::add(const std::vector<NanItem>& items) {
    if (items.empty() || refreshItemsSubject_.empty()) return;
    {
        std::lock_guard lock(mutex_);
        for (const NanItem& item : items) {
            dataSet_.erase(item);
            dataSet_.insert(item);
        }
    }
    throttle_.trigger();
}

void ThrottledNanItemRefreshUpdater::add(std::vector<NanItem>&& items) {
    if (items.empty() || refreshItemsSubject_.empty()) return;
    {
        std::lock_guard lock(mutex_);
        for (NanItem& item : items) {
            dataSet_.erase(item);
            dataSet_.insert(std::move(item));
        }
    }
    throttle_.trigger();
}

std::size_t ThrottledNanItemRefreshUpdater::waitingCount() const {
    std::lock_guard lock(mutex_);
    return dataSet_.size();
}

void ThrottledNanItemRefreshUpdater::publish() {
    std::vector<NanItem> items;
    {
        std::lock_guard lock(mutex_);
        items.assign(dataSet_.begin(), dataSet_.end());
        dataSet_.clear();
    }
    if (!items.empty()) refreshItemsSubject_.publish(items);
}

ThrottledProgressUpdater::ThrottledProgressUpdater(std::string rootFolderUrl, ThreadPool& pool,
                                                   ThrottleIntervals intervals)
    : rootFolderUrl_(std::move(rootFolderUrl)), throttle_(intervals, pool, [this] { subject_.publish(current()); }) {}

void ThrottledProgressUpdater::setCounts(int64_t notProcessed, int64_t completed) {
    {
        std::lock_guard lock(mutex_);
        if (notProcessed_ == notProcessed && completed_ == completed) return;
        notProcessed_ = notProcessed;
        completed_ = completed;
    }
    throttle_.trigger();
}

void ThrottledProgressUpdater::addOcrPages(int64_t pages) {
    {
        std::lock_guard lock(mutex_);
        ocrPages_ += pages;
    }
    throttle_.trigger();
}

void ThrottledProgressUpdater::addHandled(int64_t items) {
    std::lock_guard lock(mutex_);
    countHandled_ += items;
}

ProgressItem ThrottledProgressUpdater::current() const {
    std::lock_guard lock(mutex_);
    ProgressItem item;
    item.searchableFolder = rootFolderUrl_;
    item.notProcessedCount = notProcessed_;
    item.completedCount = completed_;
    item.ocrPagesCount = ocrPages_;
    const int64_t total = notProcessed_ + completed_;
    item.progress = total == 0 ? 1.0 : static_cast<double>(completed_) / static_cast<double>(total);
    return item;
}

int64_t ThrottledProgressUpdater::countHandled() const {
    std::lock_guard lock(mutex_);
    return countHandled_;
}

}  // namespace lumidex::folders
