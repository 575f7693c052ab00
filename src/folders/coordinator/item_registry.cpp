#include "folders/coordinator/item_registry.h"

#include <algorithm>
#include <memory>
#include <string_view>

namespace lumidex::folders {

bool isPathWithin(std::string_view path, std::string_view folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
    if (!path.starts_with(folder)) return false;
    if (path.size() == folder.size()) return true;
    return folder == "/" || path[folder.size()] == '/';
}

NanItemsUrlDictAsync::NanItemsUrlDictAsync(std::size_t bufferSize) : bufferSize_(std::max<std::size_t>(bufferSize, 1)) {}

namespace {
uint64_t pathKey(std::string_view nfcPath) { return std::hash<std::string_view>{}(nfcPath); }
}  // namespace

std::unordered_multimap<uint64_t, uint32_t>::const_iterator NanItemsUrlDictAsync::findPathLocked(std::string_view nfcPath) const {
    const auto [first, last] = allItemsByUrl_.equal_range(pathKey(nfcPath));
    for (auto it = first; it != last; ++it) {
        const auto& shard = balancedNanItemsUrlDict_[storage::balancerId(it->second)];
        if (const auto found = shard.find(it->second); found != shard.end() && found->second.urlString == nfcPath) return it;
    }
    return allItemsByUrl_.end();
}

void NanItemsUrlDictAsync::eraseLocked(uint32_t combinedHash) {
    auto& shard = balancedNanItemsUrlDict_[storage::balancerId(combinedHash)];
    const auto found = shard.find(combinedHash);
    if (found == shard.end()) return;
    const NanItem& item = found->second;
    if (auto byId = allItems_.find(item.id); byId != allItems_.end() && byId->second == combinedHash) {
        allItems_.erase(byId);
    }
    const auto [first, last] = allItemsByUrl_.equal_range(pathKey(item.urlString));
    if (const auto byUrl = std::find_if(first, last, [&](const auto& entry) { return entry.second == combinedHash; });
        byUrl != last) {
        allItemsByUrl_.erase(byUrl);
    }
    if (--stateCounts_[item.processingState] <= 0) stateCounts_.erase(item.processingState);
    shard.erase(found);
}

NanItemsUrlDictAsync::Displaced NanItemsUrlDictAsync::upsert(const NanItem& item) {
    Displaced displaced;
    std::lock_guard lock(mutex_);
    if (auto byUrl = findPathLocked(item.urlString); byUrl != allItemsByUrl_.end() && byUrl->second != item.combinedHash) {
        const uint32_t old = byUrl->second;
        auto& shard = balancedNanItemsUrlDict_[storage::balancerId(old)];
        if (auto found = shard.find(old); found != shard.end()) displaced.samePathOtherVersion.push_back(found->second);
        eraseLocked(old);
    }
    auto& shard = balancedNanItemsUrlDict_[storage::balancerId(item.combinedHash)];
    if (auto found = shard.find(item.combinedHash); found != shard.end()) {
        if (found->second.urlString != item.urlString) displaced.sameHashOtherPath.push_back(found->second);
        eraseLocked(item.combinedHash);
    }
    shard.emplace(item.combinedHash, item);
    allItems_[item.id] = item.combinedHash;
    allItemsByUrl_.emplace(pathKey(item.urlString), item.combinedHash);
    ++stateCounts_[item.processingState];
    return displaced;
}

std::optional<NanItem> NanItemsUrlDictAsync::remove(uint32_t combinedHash) {
    std::lock_guard lock(mutex_);
    auto& shard = balancedNanItemsUrlDict_[storage::balancerId(combinedHash)];
    const auto found = shard.find(combinedHash);
    if (found == shard.end()) return std::nullopt;
    NanItem item = found->second;
    eraseLocked(combinedHash);
    return item;
}

std::optional<NanItem> NanItemsUrlDictAsync::item(uint32_t combinedHash) const {
    std::lock_guard lock(mutex_);
    const auto& shard = balancedNanItemsUrlDict_[storage::balancerId(combinedHash)];
    const auto found = shard.find(combinedHash);
    if (found == shard.end()) return std::nullopt;
    return found->second;
}

ItemSortKeys NanItemsUrlDictAsync::sortKeys(const std::vector<uint32_t>& combinedHashes) const {
    ItemSortKeys result;
    result.keys.resize(combinedHashes.size());
    std::vector<std::pair<size_t, size_t>> names(combinedHashes.size());  // offset and size in the buffer
    auto buffer = std::make_shared<std::string>();
    // In slices, so that indexing waits for the lock no longer than a slice takes.
    constexpr size_t kSlice = 8192;
    for (size_t start = 0; start < combinedHashes.size(); start += kSlice) {
        std::shared_lock lock(mutex_);
        for (size_t i = start; i < std::min(combinedHashes.size(), start + kSlice); ++i) {
            const auto& shard = balancedNanItemsUrlDict_[storage::balancerId(combinedHashes[i])];
            const auto found = shard.find(combinedHashes[i]);
            if (found == shard.end()) continue;
            names[i] = {buffer->size(), found->second.fileName.size()};
            buffer->append(found->second.fileName);
            result.keys[i].fileModifiedDate = found->second.fileModifiedDate;
            result.keys[i].found = true;
        }
    }
    // Views into the finished buffer only: appending may have moved it.
    for (size_t i = 0; i < combinedHashes.size(); ++i) {
        if (result.keys[i].found) result.keys[i].fileName = std::string_view(*buffer).substr(names[i].first, names[i].second);
    }
    result.nameBuffers.push_back(std::move(buffer));
    return result;
}

std::optional<NanItem> NanItemsUrlDictAsync::itemForPath(const std::string& nfcPath) const {
    std::lock_guard lock(mutex_);
    const auto byUrl = findPathLocked(nfcPath);
    if (byUrl == allItemsByUrl_.end()) return std::nullopt;
    return balancedNanItemsUrlDict_[storage::balancerId(byUrl->second)].at(byUrl->second);
}

std::optional<NanItem> NanItemsUrlDictAsync::itemForId(const Uuid& id) const {
    std::lock_guard lock(mutex_);
    const auto byId = allItems_.find(id);
    if (byId == allItems_.end()) return std::nullopt;
    return balancedNanItemsUrlDict_[storage::balancerId(byId->second)].at(byId->second);
}

bool NanItemsUrlDictAsync::contains(uint32_t combinedHash) const {
    std::lock_guard lock(mutex_);
    return balancedNanItemsUrlDict_[storage::balancerId(combinedHash)].contains(combinedHash);
}

std::optional<NanItemProcessingStates> NanItemsUrlDictAsync::stateOf(uint32_t combinedHash,
                                                                    const std::string& nfcPath) const {
    std::lock_guard lock(mutex_);
    const auto& shard = balancedNanItemsUrlDict_[storage::balancerId(combinedHash)];
    const auto found = shard.find(combinedHash);
    if (found == shard.end() || found->second.urlString != nfcPath) return std::nullopt;
    return found->second.processingState;
}

std::optional<NanItemProcessingStates> NanItemsUrlDictAsync::stateOf(uint32_t combinedHash) const {
    std::lock_guard lock(mutex_);
    const auto& shard = balancedNanItemsUrlDict_[storage::balancerId(combinedHash)];
    const auto found = shard.find(combinedHash);
    if (found == shard.end()) return std::nullopt;
    return found->second.processingState;
}

std::optional<Date> NanItemsUrlDictAsync::modifiedDateForPath(const std::string& nfcPath) const {
    std::lock_guard lock(mutex_);
    const auto byUrl = findPathLocked(nfcPath);
    if (byUrl == allItemsByUrl_.end()) return std::nullopt;
    return balancedNanItemsUrlDict_[storage::balancerId(byUrl->second)].at(byUrl->second).fileModifiedDate;
}

std::vector<NanItem> NanItemsUrlDictAsync::allItems() const {
    std::lock_guard lock(mutex_);
    std::vector<NanItem> items;
    items.reserve(allItemsByUrl_.size());
    for (const auto& shard : balancedNanItemsUrlDict_) {
        for (const auto& [hash, item] : shard) items.push_back(item);
    }
    return items;
}

std::vector<NanItem> NanItemsUrlDictAsync::itemsOfShard(uint32_t shard) const {
    std::lock_guard lock(mutex_);
    std::vector<NanItem> items;
    for (const auto& [hash, item] : balancedNanItemsUrlDict_[shard % storage::loadBalancerCount]) items.push_back(item);
    return items;
}

std::vector<NanItem> NanItemsUrlDictAsync::itemsOfShard(uint32_t shard,
                                                        const std::function<bool(const NanItem&)>& keep) const {
    std::lock_guard lock(mutex_);
    std::vector<NanItem> items;
    for (const auto& [hash, item] : balancedNanItemsUrlDict_[shard % storage::loadBalancerCount]) {
        if (keep(item)) items.push_back(item);
    }
    return items;
}

std::vector<NanItem> NanItemsUrlDictAsync::itemsWhere(const std::function<bool(const NanItem&)>& keep) const {
    std::lock_guard lock(mutex_);
    std::vector<NanItem> items;
    for (const auto& shard : balancedNanItemsUrlDict_) {
        for (const auto& [hash, item] : shard) {
            if (keep(item)) items.push_back(item);
        }
    }
    return items;
}

std::vector<NanItem> NanItemsUrlDictAsync::itemsWithin(const std::string& folder) const {
    std::lock_guard lock(mutex_);
    std::vector<NanItem> items;
    for (const auto& shard : balancedNanItemsUrlDict_) {
        for (const auto& [hash, item] : shard) {
            if (isPathWithin(item.urlString, folder)) items.push_back(item);
        }
    }
    return items;
}

std::size_t NanItemsUrlDictAsync::count() const {
    std::lock_guard lock(mutex_);
    return allItemsByUrl_.size();
}

void NanItemsUrlDictAsync::reserve(std::size_t items) {
    std::lock_guard lock(mutex_);
    // Shards fill unevenly by a few percent.
    const std::size_t perShard = items / storage::loadBalancerCount + items / 100;
    for (auto& shard : balancedNanItemsUrlDict_) shard.reserve(perShard);
    allItems_.reserve(items);
    allItemsByUrl_.reserve(items);
}

std::map<NanItemProcessingStates, int64_t> NanItemsUrlDictAsync::stateCounts() const {
    std::lock_guard lock(mutex_);
    return stateCounts_;
}

std::vector<NanItem> NanItemsUrlDictAsync::bufferInsert(NanItem item) {
    std::lock_guard lock(mutex_);
    insertBuffer_.push_back(std::move(item));
    if (insertBuffer_.size() < bufferSize_) return {};
    std::vector<NanItem> batch;
    batch.swap(insertBuffer_);
    return batch;
}

std::vector<NanItem> NanItemsUrlDictAsync::takeInsertBuffer() {
    std::lock_guard lock(mutex_);
    std::vector<NanItem> batch;
    batch.swap(insertBuffer_);
    return batch;
}

void NanItemsUrlDictAsync::dropFromInsertBuffer(uint32_t combinedHash) {
    std::lock_guard lock(mutex_);
    std::erase_if(insertBuffer_, [combinedHash](const NanItem& item) { return item.combinedHash == combinedHash; });
}

std::size_t NanItemsUrlDictAsync::insertBufferCount() const {
    std::lock_guard lock(mutex_);
    return insertBuffer_.size();
}

}  // namespace lumidex::folders
