// The full-text (or numbers) stores of one folder: 20 shards, each opened once on first use and kept.
//
// Thread-safety: every member may be called from any thread. Concurrent first uses of one shard open
// it once (the others wait for the shard's turn and receive the same store); different shards open in
// parallel. search() fans out over the shards on the shared thread pool.
// Failure behaviour: a shard that cannot be opened contributes nothing; nothing throws.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "storage/fts_sqlite.h"
#include "storage/shard_turns.h"

namespace lumidex {
class ThreadPool;
}

namespace lumidex::storage {

class SqliteFtsDatabaseBalancer {
public:
    // use: see FtsSqlite (ShardUse::oneCommand for short-lived balancers that answer one search).
    explicit SqliteFtsDatabaseBalancer(std::filesystem::path folderDataDirectory,
                                       StoreKind kind = StoreKind::fullText, ShardUse use = ShardUse::lasting);

    std::shared_ptr<FtsSqlite> store(uint32_t shard);
    std::shared_ptr<FtsSqlite> storeFor(uint32_t combinedHash) { return store(balancerId(combinedHash)); }

    bool write(const FtsDocument& document) { return storeFor(document.combinedHash)->write(document); }
    // Groups the documents by shard and writes each group in one transaction, shards in parallel.
    bool write(const std::vector<FtsDocument>& documents, ThreadPool* pool = nullptr);
    bool remove(uint32_t combinedHash) { return storeFor(combinedHash)->remove(combinedHash); }
    // The open shards found damaged so far (FtsSqlite::looksDamaged), in ascending order.
    std::vector<uint32_t> damagedShards();

    // Every shard queried concurrently; the rows are merged in the SQL order of the sort order and cut to
    // rowLimit (negative: no limit). Shards are first asked for a share of rowLimit a little above their
    // expected part, and asked again for rowLimit rows only when the merge shows they may hold more.
    // Snippets (and, with snippets, match counts) are computed afterwards, only for the rows returned.
    std::vector<FtsSearchResult> search(const SearchParameters& parameters, int64_t rowLimit, bool withSnippet,
                                        bool withMatchCounts, ThreadPool* pool = nullptr);
    // FtsSqlite::matches of every shard, queried concurrently; nullopt when the search needs its rows.
    std::optional<std::vector<FtsMatch>> matches(const SearchParameters& parameters, bool withMatchCounts,
                                                 ThreadPool* pool = nullptr);
    // Refolds all shards; returns the number of rows changed. pathAndNameOnly: see FtsSqlite.
    int64_t refoldContent(ThreadPool* pool = nullptr, std::vector<uint32_t>* pathAndNameOnly = nullptr);
    // FtsSqlite::compactSegments of every shard opened so far, one after another on the calling thread
    // (a merge can take seconds: it must not hold the shared pool's threads); false when one failed or
    // stopped.
    bool compactSegments(const std::function<bool()>& stop = {});
    // Forgets the open shards; the next use opens them again. A store a running call still holds closes
    // when that call ends.
    void closeStores();

    const std::filesystem::path& folderDataDirectory() const { return folderDataDirectory_; }

private:
    std::filesystem::path folderDataDirectory_;
    StoreKind kind_;
    ShardUse use_;
    ShardTurns turns_;
    std::mutex mutex_;
    std::array<std::shared_ptr<FtsSqlite>, loadBalancerCount> cachedManagers_;
};

// The numbers store is a full-text store of its own in "balanced_db_numbers_v9".
class SqliteNumbersDatabaseBalancer : public SqliteFtsDatabaseBalancer {
public:
    explicit SqliteNumbersDatabaseBalancer(std::filesystem::path folderDataDirectory)
        : SqliteFtsDatabaseBalancer(std::move(folderDataDirectory), StoreKind::numbers) {}
};

}  // namespace lumidex::storage
