#include "folders/scanning/fast_directory_enumerator.h"

#include "platform/unicode.h"

namespace lumidex::folders {

FastDirectoryEnumerator::FastDirectoryEnumerator(std::string rootFolder,
                                                 std::optional<ExtensionSet> excludedFileExtensions,
                                                 bool identityOnly, std::size_t expectedVersions)
    : rootFolder_(std::move(rootFolder)),
      excludedFileExtensions_(std::move(excludedFileExtensions)),
      identityOnly_(identityOnly) {
    // Growing 20 sets by rehashing costs more than the walk's own bookkeeping otherwise would.
    const std::size_t perShard = expectedVersions / storage::loadBalancerCount + expectedVersions / 200;
    if (perShard > 0) {
        for (auto& shard : deleteSyncDict_) shard.reserve(perShard);
    }
}

std::vector<HandleUrlResult> FastDirectoryEnumerator::processBatch(const std::vector<EnumeratedEntry>& entries) {
    const ExtensionSet* excluded = excludedFileExtensions_ ? &*excludedFileExtensions_ : nullptr;
    std::vector<HandleUrlResult> candidates;
    candidates.reserve(entries.size());
    uint64_t rejected = 0;
    for (const EnumeratedEntry& entry : entries) {
        // NFC of "folder/name" is NFC(folder) + "/" + NFC(name) ("/" starts a normalisation segment), and
        // entries arrive folder by folder: the folder part is normalised once per folder.
        const std::string_view path = entry.path;
        const std::size_t slash = path.rfind('/');
        std::string nfcPath;
        if (slash == std::string_view::npos || slash + 1 == path.size()) {
            nfcPath = platform::toNfc(path);
        } else {
            const std::string_view folder = path.substr(0, slash);
            if (folder != lastFolder_) {
                lastFolder_ = std::string(folder);
                lastNfcFolder_ = platform::toNfc(folder);
            }
            nfcPath = lastNfcFolder_;
            nfcPath += '/';
            nfcPath += platform::toNfc(path.substr(slash + 1));
        }
        auto candidate = handleNfcUrl(std::move(nfcPath), entry.status, rootFolder_, excluded, identityOnly_);
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
        ++(candidate.isProcessingItem ? processing_ : notSupported_);
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

FastDirectoryEnumerator::ShardHashSets FastDirectoryEnumerator::takeDeleteSyncDict() {
    std::lock_guard lock(mutex_);
    ShardHashSets taken = std::move(deleteSyncDict_);
    for (auto& shard : deleteSyncDict_) shard.clear();  // moved-from: make it a plain empty set again
    return taken;
}

uint64_t FastDirectoryEnumerator::counter() const {
    std::lock_guard lock(mutex_);
    return counter_;
}

uint64_t FastDirectoryEnumerator::acceptedCount() const {
    std::lock_guard lock(mutex_);
    return processing_ + notSupported_;
}

uint64_t FastDirectoryEnumerator::rejectedCount() const {
    std::lock_guard lock(mutex_);
    return rejected_;
}

uint64_t FastDirectoryEnumerator::processingCount() const {
    std::lock_guard lock(mutex_);
    return processing_;
}

uint64_t FastDirectoryEnumerator::notSupportedCount() const {
    std::lock_guard lock(mutex_);
    return notSupported_;
}

}  // namespace lumidex::folders
