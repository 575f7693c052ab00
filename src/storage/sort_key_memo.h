// The sort keys (modification date and file name) of every row of one item shard, kept in a cache file,
// so that a one-shot command ranking a common word's hits need not read the whole item table again:
// at a million documents that pass was most of a `lumidex search` for a word in half the documents.
//
// The file is a copy of the table as it was when the copy was made, stamped with the size, modification
// time and inode of the shard's database and write-ahead log. It is used only while those are unchanged:
// any write to the shard (a row replaced in place under the same combinedHash included) makes it stale,
// and the next command that needs it reads the table through once and writes it again. It is a cache:
// missing, damaged (a checksum covers it), of another layout or unwritable, the table answers and
// nothing else changes. Layout: a 64-byte header ("LXSKEYS2", entry count, name bytes, the stamp, a
// checksum of what follows), 24-byte entries (combinedHash, name offset, name size, unused, date as
// seconds since 1970), then the names; native byte order (the cache never leaves the machine).
//
// Thread-safety: none of its own; use one object per shard under the shard's lock. Nothing throws but
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "core/model/fts_search_result.h"

namespace lumidex::storage {

class NanItemSqliteManager_v2;

class SortKeyMemo {
public:
    // file: the cache file; shardFile: the item shard's database file `store` reads.
    SortKeyMemo(std::filesystem::path file, std::filesystem::path shardFile)
        : file_(std::move(file)), shardFile_(std::move(shardFile)) {}

    // keys[i] for combinedHashes[i], as store.sortKeysForCombinedHashes answers them. Only a list that is
    // a good part of the shard goes through the file (a short one is looked up in the table directly).
    ItemSortKeys sortKeys(NanItemSqliteManager_v2& store, const std::vector<uint32_t>& combinedHashes);

private:
    std::filesystem::path file_;
    std::filesystem::path shardFile_;
};

}  // namespace lumidex::storage
