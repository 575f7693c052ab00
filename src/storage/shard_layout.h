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
#include <string_view>

#include "platform/sqlite.h"

namespace lumidex::storage {

inline constexpr uint32_t loadBalancerCount = 20;

constexpr uint32_t balancerId(uint32_t combinedHash) { return combinedHash % loadBalancerCount; }

enum class StoreKind { items, fullText, numbers, ocrRects };

// "balanced_db_v9", "balanced_db_fts_v9", "balanced_db_numbers_v9", "balanced_db_ocr_v9".
std::string_view subdirectory(StoreKind kind);

// <folderDataDirectory>/<subdirectory>/<shard>.sqlite
std::filesystem::path shardPath(const std::filesystem::path& folderDataDirectory, StoreKind kind, uint32_t shard);

// Creates the sub-directory if needed, opens the file, sets a 5 s busy timeout, WAL and
// synchronous=NORMAL. `tag` names the store in log lines. Schema creation is the store's job.
std::unique_ptr<platform::SqliteDatabase> openShardDatabase(const std::filesystem::path& folderDataDirectory,
                                                            StoreKind kind, uint32_t shard, std::string_view tag);

}  // namespace lumidex::storage
