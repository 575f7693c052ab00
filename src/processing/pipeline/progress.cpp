#include "processing/pipeline/progress.h"

#include <algorithm>

#include "core/concurrency/serial_executor.h"
#include "core/concurrency/thread_pool.h"
#include "core/concurrency/timer.h"
#include "core/diagnostics_collector.h"

namespace lumidex::processing {

ProgressTracker::ProgressTracker(std::string searchableFolder, Publish publish, std::chrono::milliseconds interval,
                                 ThreadPool* pool, DiagnosticsCollector* diagnostics)
    : folder_(std::move(searchableFolder)),
      publish_(std::move(publish)),
      interval_(std::max(interval, std::chrono::milliseconds(0))),
      diagnostics_(diagnostics != nullptr ? *diagnostics : DiagnosticsCollector::shared()),
      executor_(std::make_unique<SerialExecutor>("progress " + folder_, pool != nullptr ? *pool : ThreadPool::shared())),
      timer_(std::make_unique<Timer>(*executor_)) {}

ProgressTracker::~ProgressTracker() {
    timer_.reset();
    executor_.reset();
}

void ProgressTracker::itemsQueued(int64_t count) {
    if (count <= 0) return;
    {
        std::lock_guard lock(mutex_);
        notProcessed_ += count;
    }
    changed(false);
}

void ProgressTracker::itemsCompleted(int64_t count) {
    if (count <= 0) return;
    bool finished = false;
    {
        std::lock_guard lock(mutex_);
        const int64_t done = std::min(count, notProcessed_);
        notProcessed_ -= done;
        completed_ += done;
        finished = notProcessed_ == 0;
    }
    changed(finished);
}

void ProgressTracker::itemsWithdrawn(int64_t count) {
    if (count <= 0) return;
    bool finished = false;
    {
        std::lock_guard lock(mutex_);
        notProcessed_ -= std::min(count, notProcessed_);
        finished = notProcessed_ == 0;
    }
    changed(finished);
}

void ProgressTracker::pagesRecognised(int64_t count) {
    if (count <= 0) return;
    diagnostics_.increment("ocr.page", count);
    {
        std::lock_guard lock(mutex_);
        pages_ += count;
    }
    changed(false);
}

void ProgressTracker::reset() {
    {
        std::lock_guard lock(mutex_);
        notProcessed_ = completed_ = pages_ = 0;
    }
    changed(true);
}

ProgressItem ProgressTracker::snapshot() const {
    std::lock_guard lock(mutex_);
    return snapshotLocked();
}

ProgressItem ProgressTracker::snapshotLocked() const {
    ProgressItem item;
    item.searchableFolder = folder_;
    item.notProcessedCount = notProcessed_;
    item.ocrPagesCount = pages_;
    item.completedCount = completed_;
    const int64_t total = notProcessed_ + completed_;
    item.progress = total == 0 ? 1.0 : static_cast<double>(completed_) / static_cast<double>(total);
    return item;
}

void ProgressTracker::publishNow() { changed(true); }

void ProgressTracker::changed(bool urgent) {
    const auto now = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration delay{};
    {
        std::lock_guard lock(mutex_);
        const bool quiet = lastPublish_ == std::chrono::steady_clock::time_point{} || now - lastPublish_ >= interval_;
        if (urgent || quiet) {
            lastPublish_ = now;
        } else {
            if (trailingScheduled_) return;
            trailingScheduled_ = true;
            delay = lastPublish_ + interval_ - now;
        }
    }
    if (delay == std::chrono::steady_clock::duration{}) {
        executor_->post([this] { deliver(); });
        return;
    }
    timer_->schedule(delay, [this] {
        {
            std::lock_guard lock(mutex_);
            trailingScheduled_ = false;
            lastPublish_ = std::chrono::steady_clock::now();
        }
        deliver();
    });
}

void ProgressTracker::deliver() {
    if (!publish_) return;
    publish_(snapshot());
}

}  // namespace lumidex::processing
