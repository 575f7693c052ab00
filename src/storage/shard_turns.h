// The per-shard opening turn: whoever opens or creates a shard's store holds its turn, and waiting
// callers get it in arrival order. Thread-safe.
#pragma once

#include <array>
#include <memory>

#include "core/concurrency/async_semaphore.h"
#include "storage/shard_layout.h"

namespace lumidex::storage {

class ShardTurns {
public:
    ShardTurns() {
        for (auto& turn : turns_) turn = std::make_unique<AsyncSemaphore>(1);
    }
    // Blocks until the caller holds the shard's turn; the permit gives it back when destroyed.
    AsyncSemaphore::Permit take(uint32_t shard) { return turns_[shard % loadBalancerCount]->acquirePermit(); }
    AsyncSemaphore& semaphore(uint32_t shard) { return *turns_[shard % loadBalancerCount]; }

private:
    std::array<std::unique_ptr<AsyncSemaphore>, loadBalancerCount> turns_;
};

}  // namespace lumidex::storage
