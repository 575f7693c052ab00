#include "folders/coordinator/item_table_writer.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iterator>
#include <mutex>
#include <string>

#include "core/app_log.h"
#include "core/concurrency/thread_pool.h"
#include "core/concurrency/timer.h"
#include "storage/item_balancer.h"

namespace lumidex::folders {

struct ItemTableWriter::State : std::enable_shared_from_this<State> {
    struct Operation {
        bool remove = false;
        std::vector<NanItem> items;
    };
    enum class Start { none, later, now };

    State(storage::SqliteDatabaseBalancer& b, ThreadPool& p, Options o) : balancer(b), pool(p), options(o), timer(p) {}

    void enqueue(bool remove, std::vector<NanItem> items) {
        if (items.empty()) return;
        Start start = Start::none;
        {
            std::lock_guard lock(mutex);
            queuedItems += items.size();
            queue.push_back(Operation{remove, std::move(items)});
            ++queuedCount;
            start = startNeededLocked();
        }
        arrange(start);
    }

    // What the queue needs now that it changed; the caller carries it out once the lock is released.
    Start startNeededLocked() {
        if (draining || queue.empty()) return Start::none;
        if (queuedItems >= options.gatherLimit && !posted) {
            posted = true;
            return Start::now;
        }
        if (!timerArmed && !posted) {
            timerArmed = true;
            return Start::later;
        }
        return Start::none;
    }

    void arrange(Start start) {
        if (start == Start::now) {
            pool.post([self = shared_from_this()] { self->drainFromPool(false); });
        } else if (start == Start::later) {
            timer.schedule(options.gatherDelay, [self = shared_from_this()] { self->drainFromPool(true); });
        }
    }

    void drainFromPool(bool fromTimer) {
        Start next = Start::none;
        {
            std::unique_lock lock(mutex);
            (fromTimer ? timerArmed : posted) = false;
            if (draining) return;  // the drainer takes what is queued
            drainLocked(lock);
            next = startNeededLocked();
        }
        arrange(next);
    }

    // Writes what was queued when it began, what waiting flushes need, and more while the limit is
    // reached again. The caller holds the lock and nobody else is draining.
    void drainLocked(std::unique_lock<std::mutex>& lock) {
        draining = true;
        drainTarget = std::max(drainTarget, queuedCount);
        while (!queue.empty() && (writtenCount < drainTarget || queuedItems >= options.gatherLimit)) {
            Operation operation = std::move(queue.front());
            queue.pop_front();
            uint64_t merged = 1;
            while (!queue.empty() && queue.front().remove == operation.remove) {
                auto& next = queue.front().items;
                operation.items.insert(operation.items.end(), std::make_move_iterator(next.begin()),
                                       std::make_move_iterator(next.end()));
                queue.pop_front();
                ++merged;
            }
            queuedItems -= operation.items.size();
            lock.unlock();
            bool written = true;
            try {
                if (operation.remove) {
                    balancer.remove(operation.items);
                } else {
                    written = balancer.create(operation.items);
                }
            } catch (const std::exception& e) {
                appLog(std::string("[ItemTableWriter] write failed: ") + e.what());
                written = false;
            }
            operation.items.clear();
            lock.lock();
            if (!written) ++failedWrites;
            writtenCount += merged;
            ++writes;
            changed.notify_all();
        }
        draining = false;
        changed.notify_all();
    }

    void flush() {
        Start next = Start::none;
        {
            std::unique_lock lock(mutex);
            const uint64_t target = queuedCount;
            drainTarget = std::max(drainTarget, target);  // a running drain goes on up to here
            while (writtenCount < target) {
                if (!draining) {
                    drainLocked(lock);
                } else {
                    changed.wait(lock);
                }
            }
            next = startNeededLocked();
        }
        arrange(next);
    }

    storage::SqliteDatabaseBalancer& balancer;
    ThreadPool& pool;
    const Options options;
    Timer timer;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Operation> queue;
    std::size_t queuedItems = 0;
    uint64_t queuedCount = 0;
    uint64_t writtenCount = 0;
    uint64_t writes = 0;
    uint64_t failedWrites = 0;
    uint64_t drainTarget = 0;  // operations (by count queued) a drain must write before it may stop
    bool draining = false;
    bool timerArmed = false;
    bool posted = false;
};

ItemTableWriter::ItemTableWriter(storage::SqliteDatabaseBalancer& balancer, ThreadPool& pool, Options options)
    : state_(std::make_shared<State>(balancer, pool, options)) {}

ItemTableWriter::~ItemTableWriter() {
    state_->flush();
    state_->timer.cancel();  // its pending call holds the state
}

void ItemTableWriter::create(std::vector<NanItem> items) { state_->enqueue(false, std::move(items)); }

void ItemTableWriter::remove(std::vector<NanItem> items) { state_->enqueue(true, std::move(items)); }

void ItemTableWriter::flush() { state_->flush(); }

std::size_t ItemTableWriter::pendingOperations() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<std::size_t>(state_->queuedCount - state_->writtenCount);
}

uint64_t ItemTableWriter::failedWriteCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->failedWrites;
}

uint64_t ItemTableWriter::writeCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->writes;
}

}  // namespace lumidex::folders
