#include "storage/fts_balancer.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>

#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"

namespace lumidex::storage {

SqliteFtsDatabaseBalancer::SqliteFtsDatabaseBalancer(std::filesystem::path folderDataDirectory, StoreKind kind)
    : folderDataDirectory_(std::move(folderDataDirectory)), kind_(kind) {}

std::shared_ptr<FtsSqlite> SqliteFtsDatabaseBalancer::store(uint32_t shard) {
    shard %= loadBalancerCount;
    {
        std::lock_guard lock(mutex_);
        if (cachedManagers_[shard]) return cachedManagers_[shard];
    }
    // The file is opened under the shard's turn, not under the map's lock, so other shards proceed.
    AsyncSemaphore::Permit turn = turns_.take(shard);
    {
        std::lock_guard lock(mutex_);
        if (cachedManagers_[shard]) return cachedManagers_[shard];
    }
    auto opened = std::make_shared<FtsSqlite>(folderDataDirectory_, kind_, shard);
    std::lock_guard lock(mutex_);
    cachedManagers_[shard] = opened;
    return opened;
}

bool SqliteFtsDatabaseBalancer::write(const std::vector<FtsDocument>& documents, ThreadPool* pool) {
    std::array<std::vector<FtsDocument>, loadBalancerCount> byShard;
    for (const FtsDocument& d : documents) byShard[balancerId(d.combinedHash)].push_back(d);
    const auto written = parallelMap(
        loadBalancerCount,
        [&](size_t shard) {
            return byShard[shard].empty() || store(static_cast<uint32_t>(shard))->write(byShard[shard]);
        },
        pool != nullptr ? *pool : ThreadPool::shared());
    return std::all_of(written.begin(), written.end(), [](bool ok) { return ok; });
}

namespace {

// The order the SQL of one shard produces, applied to the merged rows of all shards.
bool sqlOrderLess(const FtsSearchResult& a, const FtsSearchResult& b, SortOrders order) {
    switch (order) {
        case SortOrders::a2z: return a.fileName < b.fileName;
        case SortOrders::z2a: return a.fileName > b.fileName;
        case SortOrders::old2New:
            if (a.modificationDate != b.modificationDate) return a.modificationDate < b.modificationDate;
            return a.fileName < b.fileName;
        case SortOrders::new2Old:
        case SortOrders::relevance: break;
    }
    if (a.modificationDate != b.modificationDate) return a.modificationDate > b.modificationDate;
    return a.fileName < b.fileName;
}

}  // namespace

std::vector<FtsSearchResult> SqliteFtsDatabaseBalancer::search(const SearchParameters& parameters, int64_t rowLimit,
                                                               bool withSnippet, bool withMatchCounts,
                                                               ThreadPool* pool) {
    ThreadPool& workers = pool != nullptr ? *pool : ThreadPool::shared();
    auto perShard = parallelMap(
        loadBalancerCount,
        [&](size_t shard) {
            return store(static_cast<uint32_t>(shard))->search(parameters, rowLimit, false, withMatchCounts);
        },
        workers);
    std::vector<FtsSearchResult> all;
    for (auto& rows : perShard) {
        all.insert(all.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    }
    std::stable_sort(all.begin(), all.end(), [&](const FtsSearchResult& a, const FtsSearchResult& b) {
        return sqlOrderLess(a, b, parameters.sortOrder);
    });
    if (rowLimit >= 0 && all.size() > static_cast<size_t>(rowLimit)) all.resize(static_cast<size_t>(rowLimit));
    if (!withSnippet || all.empty()) return all;

    std::array<std::vector<uint32_t>, loadBalancerCount> wanted;
    for (const FtsSearchResult& r : all) wanted[balancerId(r.combinedHash)].push_back(r.combinedHash);
    auto snippetsPerShard = parallelMap(
        loadBalancerCount,
        [&](size_t shard) {
            return store(static_cast<uint32_t>(shard))->snippets(parameters, wanted[shard]);
        },
        workers);
    std::unordered_map<uint32_t, std::string> snippetByHash;
    for (auto& shardSnippets : snippetsPerShard) {
        for (auto& [hash, snippet] : shardSnippets) snippetByHash.emplace(hash, std::move(snippet));
    }
    for (FtsSearchResult& r : all) {
        if (auto found = snippetByHash.find(r.combinedHash); found != snippetByHash.end()) r.snippet = found->second;
    }
    return all;
}

int64_t SqliteFtsDatabaseBalancer::refoldContent(ThreadPool* pool) {
    const auto counts = parallelMap(
        loadBalancerCount, [&](size_t shard) { return store(static_cast<uint32_t>(shard))->refoldContent(); },
        pool != nullptr ? *pool : ThreadPool::shared());
    return std::accumulate(counts.begin(), counts.end(), int64_t{0});
}

}  // namespace lumidex::storage
