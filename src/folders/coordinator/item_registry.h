// The in-memory registry of one folder's items.
//
// NanItemsUrlDictAsync holds each item once, reachable by shard and combinedHash, by id and by NFC path;
// one path holds one version and one combinedHash one item. Upserting a new version of a path displaces
// the old one, and (in the rare case of a 32-bit collision) an item of another path with the same
// combinedHash; both come back to the caller, who removes their rows. It also keeps the insert buffer:
// new items gathered until `bufferSize` of them can be written to the item tables in one batch, and a
// count per processing state for the progress display.
//
// An actor guarded by one mutex, never held across calls into other objects.
// Nothing throws except on allocation failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/model/fts_search_result.h"
#include "core/model/nan_item.h"
#include "storage/shard_layout.h"

namespace lumidex::folders {

// True when `path` is `folder` or lies below it.
bool isPathWithin(std::string_view path, std::string_view folder);

class NanItemsUrlDictAsync {
public:
    static constexpr std::size_t defaultBufferSize = 1000;

    explicit NanItemsUrlDictAsync(std::size_t bufferSize = defaultBufferSize);

    // Items that left the registry because of the upsert.
    struct Displaced {
        std::vector<NanItem> samePathOtherVersion;  // their rows must be deleted
        std::vector<NanItem> sameHashOtherPath;     // their row is overwritten by the new item's
    };
    Displaced upsert(const NanItem& item);
    std::optional<NanItem> remove(uint32_t combinedHash);

    std::optional<NanItem> item(uint32_t combinedHash) const;
    // Name and modification date of many versions, keys[i] for combinedHashes[i], without copying the
    // items: a common word ranks hundreds of thousands of them. Callers may run several at once.
    ItemSortKeys sortKeys(const std::vector<uint32_t>& combinedHashes) const;
    std::optional<NanItem> itemForPath(const std::string& nfcPath) const;
    std::optional<NanItem> itemForId(const Uuid& id) const;
    bool contains(uint32_t combinedHash) const;
    // The state of the version when the registry holds it for this path (no copy of the item).
    std::optional<NanItemProcessingStates> stateOf(uint32_t combinedHash, const std::string& nfcPath) const;
    std::optional<NanItemProcessingStates> stateOf(uint32_t combinedHash) const;
    std::optional<Date> modifiedDateForPath(const std::string& nfcPath) const;

    std::vector<NanItem> allItems() const;
    // Copies of the items `keep` accepts (which runs under the registry's lock, as for itemsOfShard).
    std::vector<NanItem> itemsWhere(const std::function<bool(const NanItem&)>& keep) const;
    std::vector<NanItem> itemsOfShard(uint32_t shard) const;
    // Only the items `keep` accepts are copied. `keep` runs under the registry's lock: it must look at
    // the item and its own data only.
    std::vector<NanItem> itemsOfShard(uint32_t shard, const std::function<bool(const NanItem&)>& keep) const;
    std::vector<NanItem> itemsWithin(const std::string& folder) const;
    std::size_t count() const;
    std::map<NanItemProcessingStates, int64_t> stateCounts() const;
    // Room for this many items in all, so that loading them does not rehash again and again.
    void reserve(std::size_t items);

    // Adds to the insert buffer; returns the whole buffer (and empties it) once it holds bufferSize items.
    std::vector<NanItem> bufferInsert(NanItem item);
    std::vector<NanItem> takeInsertBuffer();
    // Drops buffered versions with this hash (the item was saved or removed directly meanwhile).
    void dropFromInsertBuffer(uint32_t combinedHash);
    std::size_t insertBufferCount() const;
    std::size_t bufferSize() const { return bufferSize_; }

private:
    void eraseLocked(uint32_t combinedHash);

    const std::size_t bufferSize_;
    // Shared only by sortKeys, which searches call from several threads at once.
    mutable std::shared_mutex mutex_;
    std::array<std::unordered_map<uint32_t, NanItem>, storage::loadBalancerCount> balancedNanItemsUrlDict_;
    std::unordered_map<Uuid, uint32_t> allItems_;              // id -> combinedHash
    // 64-bit hash of the NFC path -> combinedHash, the item's own path telling equal hashes apart: a
    // second copy of every path was a tenth of an indexer's memory.
    std::unordered_multimap<uint64_t, uint32_t> allItemsByUrl_;
    std::unordered_multimap<uint64_t, uint32_t>::const_iterator findPathLocked(std::string_view nfcPath) const;
    std::map<NanItemProcessingStates, int64_t> stateCounts_;
    std::vector<NanItem> insertBuffer_;
};

}  // namespace lumidex::folders
