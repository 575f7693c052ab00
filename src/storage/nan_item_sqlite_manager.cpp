#include "storage/nan_item_sqlite_manager.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <optional>
#include <system_error>

#include "core/app_log.h"
#include "core/uuid.h"
#include "platform/sqlite.h"
#include "storage/first_positions.h"
#include "storage/shard_layout.h"

namespace lumidex::storage {

using platform::SqliteStatement;

namespace {

constexpr const char* kTable = "nanItemTable";

constexpr const char* kColumns =
    "combinedHash, contentHash, fileModificationTimestamp, fileCreationTimestamp, fileContentCreated, "
    "totalPageCount, nanItemProcessingState, sqlitePath, sqliteFileName";

}  // namespace

NanItemSqliteManager_v2::NanItemSqliteManager_v2(const std::filesystem::path& folderDataDirectory, uint32_t shard,
                                                 std::string rootFolderUrl, ShardUse use,
                                                 CaptureDateReader captureDate)
    : rootFolderUrl_(std::move(rootFolderUrl)), captureDate_(std::move(captureDate)) {
    db_ = openShardDatabase(folderDataDirectory, StoreKind::items, shard, "nan", use);
    if (!db_ || use == ShardUse::oneCommand) return;
    std::string error;
    // The two sync columns are not in the base table: the first migration adds them, for new and old files alike.
    if (!db_->exec("CREATE TABLE IF NOT EXISTS nanItemTable (dbId INTEGER PRIMARY KEY, combinedHash INTEGER NOT NULL, "
                   "contentHash INTEGER NOT NULL, fileModificationTimestamp REAL NOT NULL, fileCreationTimestamp REAL "
                   "NOT NULL, fileContentCreated REAL NOT NULL, totalPageCount INTEGER NOT NULL, "
                   "nanItemProcessingState INTEGER NOT NULL, sqlitePath TEXT, sqliteFileName TEXT)",
                   error) ||
        !db_->exec("CREATE INDEX IF NOT EXISTS idx_nanItems_combinedHash ON nanItemTable (combinedHash)", error)) {
        appLog("nan initDatabaseStructure " + error);
        db_.reset();
        return;
    }
    runMigrations(std::to_string(shard) + ".sqlite");
}

NanItemSqliteManager_v2::~NanItemSqliteManager_v2() = default;

int NanItemSqliteManager_v2::userVersion() {
    if (!db_) return 0;
    std::string error;
    auto version = db_->prepare("PRAGMA user_version", error);
    if (!version || version->step() != SqliteStatement::Step::row) return 0;
    return static_cast<int>(version->int64At(0));
}

void NanItemSqliteManager_v2::runMigrations(const std::string& fileName) {
    if (userVersion() > 0) return;
    std::string error;
    if (!db_->exec(std::string("ALTER TABLE ") + kTable + " ADD COLUMN lastSyncedCombinedHash INTEGER", error) ||
        !db_->exec(std::string("ALTER TABLE ") + kTable + " ADD COLUMN tombstone INTEGER NOT NULL DEFAULT 0", error) ||
        !db_->exec("PRAGMA user_version = 1", error)) {
        appLog("nan migration v1 failed: " + error);
        return;
    }
    appLog("nan migration v1: lastSyncedCombinedHash + tombstone added (" + fileName + ")");
}

bool NanItemSqliteManager_v2::create(const NanItem& item) { return createInTransaction({ItemWrite{&item, true}}, "nan create "); }

bool NanItemSqliteManager_v2::create(const std::vector<NanItem>& items) {
    std::vector<ItemWrite> writes;
    writes.reserve(items.size());
    for (const NanItem& item : items) writes.push_back({&item, true});
    return createInTransaction(writes, "nan create ");
}

bool NanItemSqliteManager_v2::create(const std::vector<ItemWrite>& writes) {
    return createInTransaction(writes, "nan create ");
}

bool NanItemSqliteManager_v2::createInTransaction(const std::vector<ItemWrite>& writes, const char* prefix) {
    if (!db_ || writes.empty()) return false;
    std::string error;
    platform::SqliteTransaction transaction(*db_);
    auto update = db_->prepare(std::string("UPDATE ") + kTable +
                                   " SET combinedHash = ?1, contentHash = ?2, fileModificationTimestamp = ?3, "
                                   "fileCreationTimestamp = ?4, fileContentCreated = ?5, totalPageCount = ?6, "
                                   "nanItemProcessingState = ?7, sqlitePath = ?8, sqliteFileName = ?9 "
                                   "WHERE combinedHash = ?1",
                               error);
    auto insert = update ? db_->prepare(std::string("INSERT INTO ") + kTable + " (" + kColumns +
                                            ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                                        error)
                         : nullptr;
    if (!transaction.began() || !insert) {
        appLog(prefix + (transaction.began() ? error : transaction.error()));
        return false;
    }
    for (const auto& [itemPointer, mayExist] : writes) {
        const NanItem& item = *itemPointer;
        // The capture date inside an image wins; everything else keeps the date the scanner found.
        const std::optional<Date> captured = captureDate_ ? captureDate_(item.urlString) : std::nullopt;
        const Date contentCreated = captured.value_or(item.fileContentCreatedDate);
        for (SqliteStatement* s : {update.get(), insert.get()}) {
            if (s == update.get() && !mayExist) continue;
            s->reset();
            s->bind(1, static_cast<int64_t>(item.combinedHash));
            s->bind(2, static_cast<int64_t>(item.contentHash));
            s->bind(3, secondsSince1970(item.fileModifiedDate));
            s->bind(4, secondsSince1970(item.fileCreatedDate));
            s->bind(5, secondsSince1970(contentCreated));
            s->bind(6, item.totalPageCount);
            s->bind(7, rawValue(item.processingState));
            s->bind(8, std::string_view(item.urlString));
            s->bind(9, std::string_view(item.fileName));
        }
        if (mayExist && !update->run()) {
            appLog(prefix + update->errorMessage());
            return false;
        }
        if ((!mayExist || db_->changes() == 0) && !insert->run()) {
            appLog(prefix + insert->errorMessage());
            return false;
        }
    }
    if (!transaction.commit()) {
        appLog(prefix + transaction.error());
        return false;
    }
    return true;
}

void NanItemSqliteManager_v2::inBatches(const std::vector<uint32_t>& hashes, const std::string& statementHead,
                                        const std::string& tail, const char* prefix) {
    if (!db_ || hashes.empty()) return;
    platform::SqliteTransaction transaction(*db_);
    if (!transaction.began()) {
        appLog(prefix + transaction.error());
        return;
    }
    for (size_t start = 0; start < hashes.size(); start += batchSize) {
        const size_t count = std::min(batchSize, hashes.size() - start);
        std::string sql = statementHead + " WHERE combinedHash IN (";
        for (size_t i = 0; i < count; ++i) sql += i == 0 ? "?" : ", ?";
        sql += ")" + tail;
        std::string error;
        auto statement = db_->prepare(sql, error);
        if (!statement) {
            appLog(prefix + error);
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            statement->bind(static_cast<int>(i + 1), static_cast<int64_t>(hashes[start + i]));
        }
        if (!statement->run()) {
            appLog(prefix + statement->errorMessage());
            return;
        }
    }
    if (!transaction.commit()) appLog(prefix + transaction.error());
}

bool NanItemSqliteManager_v2::remove(const std::vector<uint32_t>& combinedHashes) {
    if (!db_) return false;
    inBatches(combinedHashes, std::string("DELETE FROM ") + kTable, "", "nan delete ");
    return true;
}

void NanItemSqliteManager_v2::markTombstone(const std::vector<uint32_t>& combinedHashes) {
    inBatches(combinedHashes, std::string("UPDATE ") + kTable + " SET tombstone = 1", "", "nan markTombstone ");
}

void NanItemSqliteManager_v2::purgeTombstones(const std::vector<uint32_t>& combinedHashes) {
    inBatches(combinedHashes, std::string("DELETE FROM ") + kTable, " AND tombstone = 1", "nan purgeTombstones ");
}

void NanItemSqliteManager_v2::markSynced(const std::vector<NanItem>& items) {
    if (!db_ || items.empty()) return;
    const char* prefix = "nan markSynced ";
    std::string error;
    platform::SqliteTransaction transaction(*db_);
    auto update = db_->prepare(
        std::string("UPDATE ") + kTable + " SET lastSyncedCombinedHash = ?1 WHERE combinedHash = ?1", error);
    if (!transaction.began() || !update) {
        appLog(prefix + (transaction.began() ? error : transaction.error()));
        return;
    }
    for (const NanItem& item : items) {
        update->reset();
        update->bind(1, static_cast<int64_t>(item.combinedHash));
        if (!update->run()) {
            appLog(prefix + update->errorMessage());
            return;
        }
    }
    if (!transaction.commit()) appLog(prefix + transaction.error());
}

std::vector<NanItem> NanItemSqliteManager_v2::selectItems(const std::string& whereClause, const char* prefix) {
    std::vector<NanItem> items;
    if (!db_) return items;
    std::string error;
    auto select = db_->prepare(std::string("SELECT ") + kColumns + " FROM " + kTable + whereClause, error);
    if (!select) {
        appLog(prefix + error);
        return items;
    }
    SqliteStatement::Step step;
    while ((step = select->step()) == SqliteStatement::Step::row) items.push_back(itemFromRow(*select));
    if (step == SqliteStatement::Step::error) appLog(prefix + select->errorMessage());
    return items;
}

NanItem NanItemSqliteManager_v2::itemFromRow(const SqliteStatement& row) const {
    NanItem item;
    item.id = Uuid::unique();
    item.combinedHash = static_cast<uint32_t>(row.int64At(0));
    item.contentHash = static_cast<uint32_t>(row.int64At(1));
    item.fileModifiedDate = dateFromSecondsSince1970(row.doubleAt(2));
    item.fileCreatedDate = dateFromSecondsSince1970(row.doubleAt(3));
    item.fileContentCreatedDate = dateFromSecondsSince1970(row.doubleAt(4));
    item.totalPageCount = row.int64At(5);
    // An unknown stored state means the row needs processing again rather than being dropped.
    item.processingState = processingStateFromRaw(row.int64At(6)).value_or(NanItemProcessingStates::readyForProcessing);
    item.urlString = row.textAt(7);
    item.fileName = row.textAt(8);
    item.type = NanItemTypes::file;
    item.searchResultType = SearchResultTypes::normal;
    item.rootFolderUrl = rootFolderUrl_;
    return item;
}

std::vector<NanItem> NanItemSqliteManager_v2::itemsForCombinedHashes(const std::vector<uint32_t>& combinedHashes) {
    std::vector<NanItem> items;
    for (size_t start = 0; start < combinedHashes.size(); start += batchSize) {
        const size_t end = std::min(combinedHashes.size(), start + batchSize);
        std::string list;
        for (size_t i = start; i < end; ++i) {
            if (i > start) list += ", ";
            list += std::to_string(combinedHashes[i]);  // integers: nothing to escape
        }
        std::vector<NanItem> batch = selectItems(" WHERE combinedHash IN (" + list + ")", "nan itemsForCombinedHashes ");
        items.insert(items.end(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
    }
    return items;
}

int64_t NanItemSqliteManager_v2::rowsEstimate() {
    if (!db_) return 0;
    std::string error;
    if (auto last = db_->prepare(std::string("SELECT max(dbId) FROM ") + kTable, error)) {
        if (last->step() == SqliteStatement::Step::row) return last->int64At(0);
    }
    return 0;
}

namespace {

constexpr const char* kSortKeyColumns = "SELECT combinedHash, fileModificationTimestamp, sqliteFileName FROM ";

// Each row of a sort-key select; false after a read error (logged).
bool visitSortKeys(platform::SqliteDatabase& db, const std::string& sql,
                   const std::function<void(uint32_t, double, std::string_view)>& visit) {
    std::string error;
    auto select = db.prepare(sql, error);
    if (!select) {
        appLog("nan sortKeys " + error);
        return false;
    }
    SqliteStatement::Step step;
    while ((step = select->step()) == SqliteStatement::Step::row) {
        visit(static_cast<uint32_t>(select->int64At(0)), select->doubleAt(1), select->textViewAt(2));
    }
    if (step == SqliteStatement::Step::error) {
        appLog("nan sortKeys " + select->errorMessage());
        return false;
    }
    return true;
}

}  // namespace

bool NanItemSqliteManager_v2::forEachSortKey(
    const std::function<void(uint32_t combinedHash, double modified, std::string_view name)>& visit) {
    return db_ && visitSortKeys(*db_, std::string(kSortKeyColumns) + kTable, visit);
}

ItemSortKeys NanItemSqliteManager_v2::sortKeysForCombinedHashes(const std::vector<uint32_t>& combinedHashes) {
    ItemSortKeys result;
    result.keys.resize(combinedHashes.size());
    if (!db_ || combinedHashes.empty()) return result;
    // Where each version was asked for first (a version asked for twice is filled in at the end).
    const FirstPositions positionOf(combinedHashes);
    struct Found {
        size_t nameOffset = 0;
        size_t nameSize = 0;
    };
    std::vector<Found> names(combinedHashes.size());
    auto buffer = std::make_shared<std::string>();
    // Failures leave out what they could not read, as itemsForCombinedHashes does.
    const auto keep = [&](uint32_t combinedHash, double modified, std::string_view name) {
        const std::optional<uint32_t> at = positionOf.find(combinedHash);
        if (!at) return;
        names[*at] = {buffer->size(), name.size()};
        buffer->append(name);
        result.keys[*at].fileModifiedDate = dateFromSecondsSince1970(modified);
        result.keys[*at].found = true;
    };
    // A look-up costs about what reading a few rows in sequence does: a common word, found in a good part
    // of the folder, is cheaper to join against one pass over the table (rows in rowid order, so of two
    // rows of one version the later wins here as in the look-ups).
    if (static_cast<int64_t>(combinedHashes.size()) * 4 >= rowsEstimate()) {
        forEachSortKey(keep);
    } else {
        std::vector<uint32_t> unique = combinedHashes;
        std::sort(unique.begin(), unique.end());
        unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
        for (size_t start = 0; start < unique.size(); start += batchSize) {
            const size_t end = std::min(unique.size(), start + batchSize);
            std::string sql = std::string(kSortKeyColumns) + kTable + " WHERE combinedHash IN (";
            for (size_t i = start; i < end; ++i) {
                if (i > start) sql += ", ";
                sql += std::to_string(unique[i]);  // integers: nothing to escape
            }
            sql += ")";
            visitSortKeys(*db_, sql, keep);
        }
    }
    // Views into the finished buffer only: appending may have moved it.
    for (size_t i = 0; i < combinedHashes.size(); ++i) {
        const uint32_t first = *positionOf.find(combinedHashes[i]);
        if (first != i) {
            result.keys[i] = result.keys[first];
            names[i] = names[first];
        }
        if (result.keys[i].found) result.keys[i].fileName = std::string_view(*buffer).substr(names[i].nameOffset, names[i].nameSize);
    }
    result.nameBuffers.push_back(std::move(buffer));
    return result;
}

std::optional<NanItem> NanItemSqliteManager_v2::itemForCombinedHash(uint32_t combinedHash) {
    std::vector<NanItem> items = itemsForCombinedHashes({combinedHash});
    if (items.empty()) return std::nullopt;
    return std::move(items.front());
}

std::vector<NanItem> NanItemSqliteManager_v2::dirtyItems() {
    return selectItems(" WHERE tombstone = 0 AND (lastSyncedCombinedHash IS NULL OR lastSyncedCombinedHash != combinedHash)",
                       "nan dirtyItems ");
}

std::vector<NanItem> NanItemSqliteManager_v2::tombstoneItems() {
    return selectItems(" WHERE tombstone = 1", "nan tombstoneItems ");
}

std::vector<NanItem> NanItemSqliteManager_v2::allItems() {
    auto items = selectItems("", "nan allItems ");
    // The whole table passed through the page cache, which the connection keeps for its lifetime; the
    // writes that follow touch a few pages each.
    if (db_) db_->releaseMemory();
    return items;
}

void NanItemSqliteManager_v2::markAllSyncedAndPurgeTombstones() {
    if (!db_) return;
    std::string error;
    if (!db_->exec(std::string("UPDATE ") + kTable + " SET lastSyncedCombinedHash = combinedHash WHERE tombstone = 0",
                   error) ||
        !db_->exec(std::string("DELETE FROM ") + kTable + " WHERE tombstone = 1", error)) {
        appLog("nan markAllSyncedAndPurgeTombstones " + error);
    }
}

std::vector<std::string> NanItemSqliteManager_v2::getAllUrlPaths() {
    std::vector<std::string> paths;
    if (!db_) return paths;
    std::string error;
    auto select = db_->prepare(std::string("SELECT sqlitePath FROM ") + kTable, error);
    if (!select) {
        appLog("nan getAllUrlPaths " + error);
        return paths;
    }
    SqliteStatement::Step step;
    while ((step = select->step()) == SqliteStatement::Step::row) {
        if (auto path = select->optionalTextAt(0)) paths.push_back(std::move(*path));
    }
    if (step == SqliteStatement::Step::error) appLog("nan getAllUrlPaths " + select->errorMessage());
    return paths;
}

}  // namespace lumidex::storage
