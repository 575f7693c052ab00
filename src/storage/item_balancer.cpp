#include "storage/item_balancer.h"

#include <atomic>

#include "core/app_log.h"
#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"

namespace lumidex::storage {

SqliteDatabaseBalancer::SqliteDatabaseBalancer(std::filesystem::path folderDataDirectory, std::string rootFolderUrl,
                                               CaptureDateReader captureDate)
    : folderDataDirectory_(std::move(folderDataDirectory)),
      rootFolderUrl_(std::move(rootFolderUrl)),
      captureDate_(std::move(captureDate)) {}

void SqliteDatabaseBalancer::withStore(uint32_t shard, const std::function<void(NanItemSqliteManager_v2&)>& operation) {
    shard %= loadBalancerCount;
    AsyncSemaphore::Permit turn = turns_.take(shard);
    std::unique_ptr<NanItemSqliteManager_v2>& store = stores_[shard];
    if (!store || !store->isOpen()) {
        store = std::make_unique<NanItemSqliteManager_v2>(folderDataDirectory_, shard, rootFolderUrl_, ShardUse::lasting, captureDate_);
    }
    operation(*store);
}

std::vector<NanItem> SqliteDatabaseBalancer::initializeAsync(ThreadPool* pool) {
    auto perShard = parallelMap(
        loadBalancerCount,
        [&](size_t shard) {
            std::vector<NanItem> items;
            withStore(static_cast<uint32_t>(shard), [&](NanItemSqliteManager_v2& store) { items = store.allItems(); });
            return items;
        },
        pool != nullptr ? *pool : ThreadPool::shared());
    std::vector<NanItem> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& items : perShard) {
            for (NanItem& item : items) {
                combinedHashSet_.insert(item.combinedHash);
                all.push_back(std::move(item));
            }
        }
        loaded_ = true;
    }
    appLog("initializeAsyncCompleted " + std::filesystem::path(rootFolderUrl_).filename().string());
    return all;
}

void SqliteDatabaseBalancer::registerItem(const NanItem& item) {
    std::lock_guard lock(mutex_);
    if (loaded_) combinedHashSet_.insert(item.combinedHash);
}

void SqliteDatabaseBalancer::unregister(const NanItem& item) {
    std::lock_guard lock(mutex_);
    if (loaded_) combinedHashSet_.erase(item.combinedHash);
}

namespace {

// Runs `operation` for every shard that has work, shards in parallel: each holds only its own turn.
template <class Work, class Operation>
void forEachShardWithWork(const std::array<Work, loadBalancerCount>& byShard, Operation operation) {
    std::vector<uint32_t> shards;
    for (uint32_t shard = 0; shard < loadBalancerCount; ++shard) {
        if (!byShard[shard].empty()) shards.push_back(shard);
    }
    if (shards.size() == 1) {
        operation(shards.front());
        return;
    }
    parallelMap(shards.size(), [&](size_t i) {
        operation(shards[i]);
        return true;
    });
}

}  // namespace

bool SqliteDatabaseBalancer::create(std::vector<NanItem> items) {
    std::array<std::vector<NanItemSqliteManager_v2::ItemWrite>, loadBalancerCount> byShard;
    {
        // Once the tables are loaded, a version the maps do not know has no row to replace.
        std::lock_guard lock(mutex_);
        for (const NanItem& item : items) {
            const bool mayExist = !loaded_ || combinedHashSet_.contains(item.combinedHash);
            byShard[balancerId(item.combinedHash)].push_back({&item, mayExist});
        }
    }
    std::atomic<bool> written{true};
    forEachShardWithWork(byShard, [&](uint32_t shard) {
        withStore(shard, [&](NanItemSqliteManager_v2& store) {
            if (!store.create(byShard[shard])) written = false;
        });
    });
    std::lock_guard lock(mutex_);
    if (loaded_) {
        for (const NanItem& item : items) combinedHashSet_.insert(item.combinedHash);
    }
    return written;
}

void SqliteDatabaseBalancer::remove(const std::vector<NanItem>& items) {
    std::array<std::vector<uint32_t>, loadBalancerCount> byShard;
    for (const NanItem& item : items) byShard[balancerId(item.combinedHash)].push_back(item.combinedHash);
    forEachShardWithWork(byShard, [&](uint32_t shard) {
        withStore(shard, [&](NanItemSqliteManager_v2& store) { store.remove(byShard[shard]); });
    });
    for (const NanItem& item : items) unregister(item);
}

bool SqliteDatabaseBalancer::containsCombinedHash(uint32_t combinedHash) const {
    std::lock_guard lock(mutex_);
    return combinedHashSet_.contains(combinedHash);
}

size_t SqliteDatabaseBalancer::registeredCount() const {
    std::lock_guard lock(mutex_);
    return combinedHashSet_.size();
}

}  // namespace lumidex::storage
