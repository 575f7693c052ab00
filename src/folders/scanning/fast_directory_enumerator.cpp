#include "folders/scanning/fast_directory_enumerator.h"

namespace lumidex::folders {

FastDirectoryEnumerator::FastDirectoryEnumerator(std::string rootFolder,
                                                 std::optional<ExtensionSet> excludedFileExtensions)
    : rootFolder_(std::move(rootFolder)), excludedFileExtensions_(std::move(excludedFileExtensions)) {}

std::vector<HandleUrlResult> FastDirectoryEnumerator::processBatch(const std::vector<EnumeratedEntry>& entries) {
    const ExtensionSet* excluded = excludedFileExtensions_ ? &*excludedFileExtensions_ : nullptr;
    std::vector<HandleUrlResult> candidates;
    candidates.reserve(entries.size());
    uint64_t rejected = 0;
    for (const EnumeratedEntry& entry : entries) {
        auto candidate = handleUrl(entry.path, entry.status, rootFolder_, excluded);
        if (candidate) {
            candidates.push_back(std::move(*candidate));
        } else {
            ++rejected;
        }
    }

    std::vector<HandleUrlResult> fresh;
    fresh.reserve(candidates.size());
    std::lock_guard lock(mutex_);
    counter_ += entries.size();
    rejected_ += rejected;
    for (HandleUrlResult& candidate : candidates) {
        if (!deleteSyncDict_[candidate.balancerId].insert(candidate.combinedHash).second) continue;
        (candidate.isProcessingItem ? processingItemHashes_ : notSupportedItemHashes_).insert(candidate.combinedHash);
        fresh.push_back(std::move(candidate));
    }
    return fresh;
}

bool FastDirectoryEnumerator::markSeen(uint32_t combinedHash) {
    std::lock_guard lock(mutex_);
    return deleteSyncDict_[storage::balancerId(combinedHash)].insert(combinedHash).second;
}

bool FastDirectoryEnumerator::wasSeen(uint32_t combinedHash) const {
    std::lock_guard lock(mutex_);
    return deleteSyncDict_[storage::balancerId(combinedHash)].contains(combinedHash);
}

FastDirectoryEnumerator::ShardHashSets FastDirectoryEnumerator::deleteSyncDict() const {
    std::lock_guard lock(mutex_);
    return deleteSyncDict_;
}

uint64_t FastDirectoryEnumerator::counter() const {
    std::lock_guard lock(mutex_);
    return counter_;
}

uint64_t FastDirectoryEnumerator::acceptedCount() const {
    std::lock_guard lock(mutex_);
    return processingItemHashes_.size() + notSupportedItemHashes_.size();
}

uint64_t FastDirectoryEnumerator::rejectedCount() const {
    std::lock_guard lock(mutex_);
    return rejected_;
}

uint64_t FastDirectoryEnumerator::processingCount() const {
    std::lock_guard lock(mutex_);
    return processingItemHashes_.size();
}

uint64_t FastDirectoryEnumerator::notSupportedCount() const {
    std::lock_guard lock(mutex_);
    return notSupportedItemHashes_.size();
}

}  // namespace lumidex::folders
