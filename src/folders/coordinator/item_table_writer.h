// The write side of a folder's item tables, taken off the caller's thread: creates and removals are
// queued and carried out strictly in the order they were asked for, by whichever thread drains the
// queue (a task on the pool, or a caller waiting in flush()).
//
// Why: every item-table operation is a transaction on each shard it touches, with its own commit
// and index work however few rows it writes. So the writer gathers: a write starts `gatherDelay` after the first
// operation waiting for it, at once when `gatherLimit` items wait, or when someone flushes; creates (and
// removals) waiting next to each other are written as one batch. A walk then never waits for the disk,
// and a few large transactions reach it instead of one per buffered thousand items.
//
// Thread-safety: every member may be called from any thread. The queue's mutex is never held during
// database work or while the timer is asked. flush() returns once everything queued before it is
// written; when nobody is draining, the caller drains itself, so flushing from a pool thread cannot
// starve the pool. Destruction flushes. The pool must outlive the writer.
// Failure behaviour: as the balancer's (stores log their errors and carry on); nothing throws except
// std::bad_alloc.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/model/nan_item.h"

namespace lumidex {
class ThreadPool;
}
namespace lumidex::storage {
class SqliteDatabaseBalancer;
}

namespace lumidex::folders {

class ItemTableWriter {
public:
    struct Options {
        std::chrono::milliseconds gatherDelay{500};
        std::size_t gatherLimit = 10000;  // items
    };

    ItemTableWriter(storage::SqliteDatabaseBalancer& balancer, ThreadPool& pool, Options options);
    ItemTableWriter(storage::SqliteDatabaseBalancer& balancer, ThreadPool& pool)
        : ItemTableWriter(balancer, pool, Options{}) {}
    ~ItemTableWriter();
    ItemTableWriter(const ItemTableWriter&) = delete;
    ItemTableWriter& operator=(const ItemTableWriter&) = delete;

    void create(std::vector<NanItem> items);
    void remove(std::vector<NanItem> items);
    // Waits until every operation queued before the call has been written.
    void flush();

    std::size_t pendingOperations() const;
    // Database writes carried out so far (each one batch of one or more queued operations).
    uint64_t writeCount() const;
    // Of those, writes that failed in part or whole (a caller compares the count around its flush).
    uint64_t failedWriteCount() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace lumidex::folders
