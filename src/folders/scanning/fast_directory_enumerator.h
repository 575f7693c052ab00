// The per-URL step of one full scan: classifies the walked entries and records which document versions
// still exist on disk (`deleteSyncDict`, per shard), which the coordinator's reconciliation compares
// against its item tables once the walk has completed.
//
// One object per scan. A version seen twice is returned once. With `identityOnly` the candidates come
// without their items (see HandleUrlResult), for a caller that builds items only for versions it does not
// know yet. Thread-safe: the walk classifies batches on its thread while the coordinator marks versions it
// learnt of by other means (file events) from its own; one mutex guards the sets and is never held while
// the file system is asked.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "folders/scanning/directory_enumerator.h"
#include "folders/scanning/file_candidate.h"
#include "storage/shard_layout.h"

namespace lumidex::folders {

class FastDirectoryEnumerator {
public:
    using ShardHashSets = std::array<std::unordered_set<uint32_t>, storage::loadBalancerCount>;

    // `expectedVersions`: a guess of how many versions the walk will find (room is reserved for them).
    FastDirectoryEnumerator(std::string rootFolder, std::optional<ExtensionSet> excludedFileExtensions,
                            bool identityOnly = false, std::size_t expectedVersions = 0);

    // Classifies the entries; returns the candidates not seen before in this scan, in entry order. Runs on
    // one thread at a time (it keeps the NFC form of the last folder, since entries come folder by folder).
    std::vector<HandleUrlResult> processBatch(const std::vector<EnumeratedEntry>& entries);

    // Records a version as present on disk; false when it was already recorded.
    bool markSeen(uint32_t combinedHash);
    bool wasSeen(uint32_t combinedHash) const;
    ShardHashSets deleteSyncDict() const;
    // Moves the sets out once the scan is over (later marks start from empty sets).
    ShardHashSets takeDeleteSyncDict();

    uint64_t counter() const;           // entries classified
    uint64_t acceptedCount() const;     // distinct versions accepted
    uint64_t rejectedCount() const;     // entries handleUrl refused
    uint64_t processingCount() const;   // distinct versions of processable types
    uint64_t notSupportedCount() const; // distinct versions of other types

    const std::string& rootFolder() const { return rootFolder_; }
    const std::optional<ExtensionSet>& excludedFileExtensions() const { return excludedFileExtensions_; }

private:
    const std::string rootFolder_;
    const std::optional<ExtensionSet> excludedFileExtensions_;
    const bool identityOnly_;
    std::string lastFolder_;     // processBatch only: the last folder (as on disk) and its NFC form
    std::string lastNfcFolder_;

    mutable std::mutex mutex_;
    ShardHashSets deleteSyncDict_;
    uint64_t counter_ = 0;
    uint64_t rejected_ = 0;
    uint64_t processing_ = 0;    // distinct versions, by kind
    uint64_t notSupported_ = 0;
};

}  // namespace lumidex::folders
