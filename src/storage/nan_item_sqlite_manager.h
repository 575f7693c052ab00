// The indexed documents of one shard of one folder: table "nanItemTable", one row per document
// version keyed by combinedHash.
//
// One object owns one connection; the item balancer keeps it for the shard and uses it only while
// holding the shard's turn, so operations on one shard never overlap. Not thread-safe itself.
// Failure behaviour: SQLite errors are logged with the operation's prefix and the operation returns
// as if nothing was found or changed; batch operations roll back whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/fts_search_result.h"
#include "core/model/nan_item.h"
#include "storage/shard_layout.h"

namespace lumidex::platform {
class SqliteDatabase;
class SqliteStatement;
}

namespace lumidex::storage {

// Reads the capture date stored for a document's file (storage::imageCaptureDate in the indexer).
using CaptureDateReader = std::function<std::optional<Date>(const std::string& path)>;

class NanItemSqliteManager_v2 {
public:
    static constexpr size_t batchSize = 500;

    // use ShardUse::oneCommand: for readers of an index another process keeps (see shard_layout.h): a
    // missing shard file stays missing (the store reads as empty) and neither the table nor a migration
    // is written. captureDate: the date a written row gets as "fileContentCreated" when it has one;
    // without it (or without a date) the item's own fileContentCreatedDate is written.
    NanItemSqliteManager_v2(const std::filesystem::path& folderDataDirectory, uint32_t shard,
                            std::string rootFolderUrl, ShardUse use = ShardUse::lasting,
                            CaptureDateReader captureDate = {});
    ~NanItemSqliteManager_v2();
    NanItemSqliteManager_v2(const NanItemSqliteManager_v2&) = delete;
    NanItemSqliteManager_v2& operator=(const NanItemSqliteManager_v2&) = delete;

    bool isOpen() const { return db_ != nullptr; }

    // Inserts the item or replaces the row with the same combinedHash.
    bool create(const NanItem& item);
    // The same for many items, inside one transaction.
    bool create(const std::vector<NanItem>& items);
    // One row to write; mayExist false (the caller knows the shard holds no row with this combinedHash)
    // skips the look-up for a row to replace.
    struct ItemWrite {
        const NanItem* item;
        bool mayExist = true;
    };
    bool create(const std::vector<ItemWrite>& writes);
    bool remove(const std::vector<uint32_t>& combinedHashes);
    void markSynced(const std::vector<NanItem>& items);
    void markTombstone(const std::vector<uint32_t>& combinedHashes);
    void purgeTombstones(const std::vector<uint32_t>& combinedHashes);
    std::vector<NanItem> dirtyItems();
    std::vector<NanItem> tombstoneItems();
    void markAllSyncedAndPurgeTombstones();
    std::vector<std::string> getAllUrlPaths();
    std::vector<NanItem> allItems();
    // The row of one document version.
    std::optional<NanItem> itemForCombinedHash(uint32_t combinedHash);
    // The rows of many versions, read in batches of batchSize; unknown versions are left out.
    std::vector<NanItem> itemsForCombinedHashes(const std::vector<uint32_t>& combinedHashes);
    // Name and modification date of the same rows (as itemsForCombinedHashes reads them; of two rows of
    // one version the later), without the other columns, in the order asked for: enough to rank
    // thousands of search hits before reading the few kept. When the versions are a good part of the
    // table, it is read through once instead of looked up row by row. Failures leave keys not found.
    ItemSortKeys sortKeysForCombinedHashes(const std::vector<uint32_t>& combinedHashes);
    // The name and modification date of every row, in rowid order; false when the table could not be
    // read through (what was read was visited).
    bool forEachSortKey(const std::function<void(uint32_t combinedHash, double modified, std::string_view name)>& visit);
    // The highest row id: about the number of rows, found without reading them (0 when unreadable).
    int64_t rowsEstimate();

    int userVersion();

private:
    bool createInTransaction(const std::vector<ItemWrite>& writes, const char* prefix);
    void runMigrations(const std::string& fileName);
    std::vector<NanItem> selectItems(const std::string& whereClause, const char* prefix);
    NanItem itemFromRow(const platform::SqliteStatement& row) const;
    void inBatches(const std::vector<uint32_t>& hashes, const std::string& statementHead, const std::string& tail,
                   const char* prefix);

    std::string rootFolderUrl_;
    CaptureDateReader captureDate_;
    std::unique_ptr<platform::SqliteDatabase> db_;
};

}  // namespace lumidex::storage
