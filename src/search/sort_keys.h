// Sort keys of many document versions gathered shard by shard, the shards concurrently.
//
// `read(shard, hashes)` answers for the versions of one item shard, keys[i] for hashes[i]; it runs on
// the pool's threads, several shards at once, so it must be safe to call concurrently. The answers are
// put back where their versions were asked for. A shard whose answer has the wrong length contributes
// nothing (its versions stay not found).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/concurrency/thread_pool.h"
#include "core/model/fts_search_result.h"

namespace lumidex::search {

ItemSortKeys sortKeysByShard(const std::vector<uint32_t>& combinedHashes,
                             const std::function<ItemSortKeys(uint32_t shard, const std::vector<uint32_t>& hashes)>& read,
                             ThreadPool& pool = ThreadPool::shared());

}  // namespace lumidex::search
