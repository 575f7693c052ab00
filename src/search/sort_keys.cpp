#include "search/sort_keys.h"

#include <array>
#include <utility>

#include "core/concurrency/task_group.h"
#include "storage/shard_layout.h"

namespace lumidex::search {

ItemSortKeys sortKeysByShard(const std::vector<uint32_t>& combinedHashes,
                             const std::function<ItemSortKeys(uint32_t shard, const std::vector<uint32_t>& hashes)>& read,
                             ThreadPool& pool) {
    std::array<std::vector<uint32_t>, storage::loadBalancerCount> groups;
    std::array<std::vector<uint32_t>, storage::loadBalancerCount> positions;
    for (size_t i = 0; i < combinedHashes.size(); ++i) {
        const uint32_t shard = storage::balancerId(combinedHashes[i]);
        groups[shard].push_back(combinedHashes[i]);
        positions[shard].push_back(static_cast<uint32_t>(i));
    }
    std::vector<uint32_t> shards;
    for (uint32_t shard = 0; shard < storage::loadBalancerCount; ++shard) {
        if (!groups[shard].empty()) shards.push_back(shard);
    }
    // Each shard's keys go to their places as soon as they are read, and its own list is freed there:
    // a common word's keys are then held once, not once per shard and again merged.
    ItemSortKeys all;
    all.keys.resize(combinedHashes.size());
    auto buffers = parallelMap(
        shards.size(),
        [&](size_t k) {
            const std::vector<uint32_t>& at = positions[shards[k]];
            ItemSortKeys keys = read(shards[k], groups[shards[k]]);
            if (keys.keys.size() != at.size()) return decltype(keys.nameBuffers){};
            for (size_t j = 0; j < at.size(); ++j) all.keys[at[j]] = keys.keys[j];  // each shard its own places
            return std::move(keys.nameBuffers);
        },
        pool);
    for (auto& shardBuffers : buffers) {
        for (auto& buffer : shardBuffers) all.nameBuffers.push_back(std::move(buffer));
    }
    return all;
}

}  // namespace lumidex::search
