#include "storage/fts_balancer.h"

#include <algorithm>
#include <unordered_map>

#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"

namespace lumidex::storage {

SqliteFtsDatabaseBalancer::SqliteFtsDatabaseBalancer(std::filesystem::path folderDataDirectory, StoreKind kind,
                                                     ShardUse use)
    : folderDataDirectory_(std::move(folderDataDirectory)), kind_(kind), use_(use) {}

void SqliteFtsDatabaseBalancer::closeStores() {
    std::array<std::shared_ptr<FtsSqlite>, loadBalancerCount> closing;
    {
        std::lock_guard lock(mutex_);
        closing.swap(cachedManagers_);
    }
    // The connections close here, outside the lock.
}

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
    auto opened = std::make_shared<FtsSqlite>(folderDataDirectory_, kind_, shard, use_);
    std::lock_guard lock(mutex_);
    cachedManagers_[shard] = opened;
    return opened;
}

std::vector<uint32_t> SqliteFtsDatabaseBalancer::damagedShards() {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> damaged;
    for (uint32_t shard = 0; shard < loadBalancerCount; ++shard) {
        if (cachedManagers_[shard] && cachedManagers_[shard]->looksDamaged()) damaged.push_back(shard);
    }
    return damaged;
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
    // With snippets wanted anyway, the match counts come with them, for the rows kept only.
    const bool countsWithSnippets = withSnippet && withMatchCounts;
    const auto shardRows = [&](size_t shard, int64_t limit) {
        return store(static_cast<uint32_t>(shard))
            ->search(parameters, limit, false, withMatchCounts && !countsWithSnippets);
    };
    const auto less = [&](const FtsSearchResult& a, const FtsSearchResult& b) {
        return sqlOrderLess(a, b, parameters.sortOrder);
    };
    // Documents spread evenly over the shards, so a shard holds about rowLimit / 20 of the rows kept.
    // Asking each for a generous share instead of rowLimit rows saves reading and, with excluded words,
    // checking rows that are dropped in the merge. The folder restriction filters after a shard's limit,
    // which hides whether a shard had more; such searches ask for everything at once.
    int64_t share = rowLimit;
    if (rowLimit > 0 && !parameters.searchInsideUrl) {
        share = std::min<int64_t>(rowLimit, 2 * (rowLimit / loadBalancerCount + 1) + 16);
    }
    auto perShard = parallelMap(loadBalancerCount, [&](size_t shard) { return shardRows(shard, share); }, workers);
    const auto merged = [&] {
        std::vector<FtsSearchResult*> rows;
        for (auto& rowsOfShard : perShard) {
            for (FtsSearchResult& r : rowsOfShard) rows.push_back(&r);
        }
        std::stable_sort(rows.begin(), rows.end(), [&](const auto* a, const auto* b) { return less(*a, *b); });
        if (rowLimit >= 0 && rows.size() > static_cast<size_t>(rowLimit)) rows.resize(static_cast<size_t>(rowLimit));
        return rows;
    };
    std::vector<FtsSearchResult*> kept = merged();
    if (share != rowLimit) {
        // A shard that filled its share may hold further rows of the result: exactly when its last row
        // does not come strictly after the last row kept (or fewer than rowLimit rows were found).
        std::vector<size_t> unsure;
        for (size_t shard = 0; shard < loadBalancerCount; ++shard) {
            const auto& rows = perShard[shard];
            if (static_cast<int64_t>(rows.size()) < share) continue;
            if (kept.size() < static_cast<size_t>(rowLimit) || !less(*kept.back(), rows.back())) unsure.push_back(shard);
        }
        if (!unsure.empty()) {
            auto more = parallelMap(unsure.size(), [&](size_t i) { return shardRows(unsure[i], rowLimit); }, workers);
            for (size_t i = 0; i < unsure.size(); ++i) perShard[unsure[i]] = std::move(more[i]);
            kept = merged();
        }
    }
    std::vector<FtsSearchResult> all;
    all.reserve(kept.size());
    for (FtsSearchResult* r : kept) all.push_back(std::move(*r));
    if (!withSnippet || all.empty()) return all;

    std::array<std::vector<uint32_t>, loadBalancerCount> wanted;
    for (const FtsSearchResult& r : all) wanted[balancerId(r.combinedHash)].push_back(r.combinedHash);
    std::vector<uint32_t> shards;
    for (uint32_t shard = 0; shard < loadBalancerCount; ++shard) {
        if (!wanted[shard].empty()) shards.push_back(shard);
    }
    auto detailsPerShard = parallelMap(
        shards.size(),
        [&](size_t i) {
            return store(shards[i])->details(parameters, wanted[shards[i]], true, countsWithSnippets);
        },
        workers);
    std::unordered_map<uint32_t, FtsRowDetails> detailsByHash;
    for (auto& shardDetails : detailsPerShard) {
        for (FtsRowDetails& d : shardDetails) detailsByHash.emplace(d.combinedHash, std::move(d));
    }
    for (FtsSearchResult& r : all) {
        auto found = detailsByHash.find(r.combinedHash);
        if (found == detailsByHash.end()) continue;
        r.snippet = std::move(found->second.snippet);
        if (countsWithSnippets) r.matchCount = found->second.matchCount;
    }
    return all;
}

std::optional<std::vector<FtsMatch>> SqliteFtsDatabaseBalancer::matches(const SearchParameters& parameters,
                                                                        bool withMatchCounts, ThreadPool* pool) {
    if (FtsSqlite::needsRows(parameters)) return std::nullopt;
    auto perShard = parallelMap(
        loadBalancerCount,
        [&](size_t shard) {
            return store(static_cast<uint32_t>(shard))->matches(parameters, withMatchCounts).value_or(std::vector<FtsMatch>{});
        },
        pool != nullptr ? *pool : ThreadPool::shared());
    size_t total = 0;
    for (const auto& shardMatches : perShard) total += shardMatches.size();
    std::vector<FtsMatch> all;
    all.reserve(total);  // a common word's tens of thousands, copied once
    for (auto& shardMatches : perShard) all.insert(all.end(), shardMatches.begin(), shardMatches.end());
    return all;
}

bool SqliteFtsDatabaseBalancer::compactSegments(const std::function<bool()>& stop) {
    std::vector<std::shared_ptr<FtsSqlite>> open;
    {
        std::lock_guard lock(mutex_);
        for (const auto& store : cachedManagers_) {
            if (store) open.push_back(store);
        }
    }
    bool all = true;
    for (const auto& store : open) {
        if (stop && stop()) return false;
        all = store->compactSegments(stop) && all;
    }
    return all;
}

int64_t SqliteFtsDatabaseBalancer::refoldContent(ThreadPool* pool, std::vector<uint32_t>* pathAndNameOnly) {
    struct Refolded {
        int64_t changed = 0;
        std::vector<uint32_t> pathAndNameOnly;
    };
    const auto perShard = parallelMap(
        loadBalancerCount,
        [&](size_t shard) {
            Refolded r;
            r.changed = store(static_cast<uint32_t>(shard))->refoldContent(pathAndNameOnly ? &r.pathAndNameOnly : nullptr);
            return r;
        },
        pool != nullptr ? *pool : ThreadPool::shared());
    int64_t changed = 0;
    for (const Refolded& r : perShard) {
        changed += r.changed;
        if (pathAndNameOnly) pathAndNameOnly->insert(pathAndNameOnly->end(), r.pathAndNameOnly.begin(), r.pathAndNameOnly.end());
    }
    return changed;
}

}  // namespace lumidex::storage
