// Where a folder's shards live and how a shard's database is opened.
//
// Every searchable folder keeps four kinds of store, each split over `loadBalancerCount` SQLite files
// below the folder's data directory. A document's rows of every kind lie in shard
// `combinedHash % loadBalancerCount`.
//
// openShardDatabase() never throws: a shard that cannot be opened or configured is logged with its
// path and the caller gets null (a closed store answers every operation with an empty result).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sqlite.h"

namespace lumidex::storage {

inline constexpr uint32_t loadBalancerCount = 20;

constexpr uint32_t balancerId(uint32_t combinedHash) { return combinedHash % loadBalancerCount; }

enum class StoreKind { items, fullText, numbers, ocrRects };

// "balanced_db_v9", "balanced_db_fts_v9", "balanced_db_numbers_v9", "balanced_db_ocr_v9".
std::string_view subdirectory(StoreKind kind);

// <folderDataDirectory>/<subdirectory>/<shard>.sqlite
std::filesystem::path shardPath(const std::filesystem::path& folderDataDirectory, StoreKind kind, uint32_t shard);

// How long a store keeps its shard, which decides how the shard is opened.
//  lasting: the file (and its folder) is created when missing and put in WAL mode; connections of
//    every process share it through the log's shared-memory index.
//  oneCommand: for a command that reads and exits (`lumidex search`). A missing shard stays missing
//    and nothing is written to set one up. While no other connection has the file open, the command
//    holds it alone until it closes the store, so the shared-memory index is not needed: setting it up
//    for each of the 20 shards was a quarter of such a command's time. A connection that comes
//    meanwhile waits for it within its busy timeout; when another connection already has the file
//    open, the shard is read as usual. Of several commands running at once, only the one holding the
//    lock on the folder's data directory (platform::holdDirectoryLockUntilExit) holds shards alone.
enum class ShardUse { lasting, oneCommand };

// Opens the shard for `use` with a 5 s busy timeout; `lasting` also sets WAL and synchronous=NORMAL.
// `tag` names the store in log lines. Schema creation is the store's job. Null for a missing
// `oneCommand` shard, silently.
std::unique_ptr<platform::SqliteDatabase> openShardDatabase(const std::filesystem::path& folderDataDirectory,
                                                            StoreKind kind, uint32_t shard, std::string_view tag,
                                                            ShardUse use = ShardUse::lasting);

// True for SQLite's words for a damaged or foreign file ("database disk image is malformed", "file is not
// a database"), false for every other failure, such as a malformed query.
bool isDamageMessage(std::string_view sqliteMessage);

struct DamagedShard {
    StoreKind kind = StoreKind::items;
    uint32_t shard = 0;
    std::string problem;            // what the check said
    std::filesystem::path movedTo;  // empty when the file could not be moved aside
};

// Checks every existing shard file below the folder's data directory (PRAGMA quick_check) and moves each
// damaged one aside, with its log files, as "<shard>.sqlite.damaged-<UTC time>": a damaged file is never
// written to or deleted, and the next open creates a fresh, empty shard in its place. Call it before any
// store of the folder is open. Each damaged shard is logged. A file unchanged (size and time, with its
// write-ahead log) since it last passed, as "checked_shards.txt" in the folder's data directory records,
// is not read again.
std::vector<DamagedShard> moveDamagedShardsAside(const std::filesystem::path& folderDataDirectory);

}  // namespace lumidex::storage
