// The sort keys (modification date and file name) of one item shard's versions, remembered in a file,
// so that a one-shot command ranking a common word's hits need not read the whole item table again:
// at a million documents that pass was most of a `lumidex search` for a word in half the documents.
//
// What it remembers cannot go stale: a version's combinedHash is made from its path and modification
// time, so the same version always has the same date and name. A version removed since may still be
// remembered; callers read the items of the rows they keep and drop those gone. The file is a cache:
// missing, damaged or of another layout, it is made again from the table; when it cannot be written
// the keys are still answered. Layout: a 16-byte header ("LXSKEYS1", entry count, name bytes), 24-byte
// entries (combinedHash, name offset, name size, unused, date as seconds since 1970), then the names;
// native byte order (the cache never leaves the machine).
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
    explicit SortKeyMemo(std::filesystem::path file) : file_(std::move(file)) {}

    // keys[i] for combinedHashes[i], as store.sortKeysForCombinedHashes answers them. Only a list that is
    // a good part of the shard goes through the file (a short one is looked up in the table directly);
    // versions the file does not know are read from the table and then remembered. When most are
    // unknown, or the file has grown well beyond the table, it is made again from one pass over the table.
    ItemSortKeys sortKeys(NanItemSqliteManager_v2& store, const std::vector<uint32_t>& combinedHashes);

private:
    std::filesystem::path file_;
};

}  // namespace lumidex::storage
