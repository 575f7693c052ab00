// The item tables of one folder: 20 shards, each used under the shard's turn (so operations on one
// shard run one after the other), plus the set of versions with a row, filled at start-up. A shard's
// connection is opened on its first operation and kept: closing it after every operation would
// checkpoint the write-ahead log with two disk syncs each time. A shard that failed to open is tried
// again on its next operation.
//
// Thread-safety: every member may be called from any thread; the set is guarded by one mutex that
// is never held during database work. Failure behaviour: as the item store — nothing throws, a shard
// that cannot be opened reads as empty.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/model/nan_item.h"
#include "storage/nan_item_sqlite_manager.h"
#include "storage/shard_turns.h"

namespace lumidex {
class ThreadPool;
}

namespace lumidex::storage {

class SqliteDatabaseBalancer {
public:
    // captureDate: see NanItemSqliteManager_v2.
    SqliteDatabaseBalancer(std::filesystem::path folderDataDirectory, std::string rootFolderUrl,
                           CaptureDateReader captureDate = {});

    // Runs `operation` on the shard's store while holding the shard's turn.
    void withStore(uint32_t shard, const std::function<void(NanItemSqliteManager_v2&)>& operation);

    // Reads every shard concurrently, registers the items and returns them.
    std::vector<NanItem> initializeAsync(ThreadPool* pool = nullptr);

    // Keep the set of versions with a row current; before initializeAsync they do nothing (a caller
    // that reads the rows itself knows them already).
    void registerItem(const NanItem& item);
    void unregister(const NanItem& item);

    // Writes the items to their shards (one transaction per shard, shards in parallel on the shared
    // pool) and registers them. False when a shard's write failed (the items are registered anyway).
    bool create(std::vector<NanItem> items);
    // Deletes the rows of these document versions (shards in parallel) and forgets them.
    void remove(const std::vector<NanItem>& items);

    bool containsCombinedHash(uint32_t combinedHash) const;
    size_t registeredCount() const;

private:

    std::filesystem::path folderDataDirectory_;
    std::string rootFolderUrl_;
    CaptureDateReader captureDate_;
    ShardTurns turns_;

    mutable std::mutex mutex_;
    bool loaded_ = false;  // initializeAsync has registered every stored row
    // The versions with a row, kept once initializeAsync has read every row (nothing reads it before):
    // only hashes, the folder's registry holds the items (a copy of each here was a fifth of an
    // indexer's memory).
    std::unordered_set<uint32_t> combinedHashSet_;

    std::array<std::unique_ptr<NanItemSqliteManager_v2>, loadBalancerCount> stores_;  // each under its shard's turn
};

}  // namespace lumidex::storage
