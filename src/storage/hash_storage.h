// The per-folder record of documents whose processing reached a final state: per shard, a set of
// combinedHash values in "hash_storage_v9/hash_bucket_<shard>.dat" (4-byte little-endian values, no
// header, each once). Loading it lets a rescan skip finished documents without opening a database.
//
// HashStorageManager reads and writes bucket files. A bucket is only ever rewritten whole, atomically
// (temporary file + rename), and only with a superset of what it held, so a crash leaves the old or
// the new bucket, and hashes are never dropped. It keeps no state and may be used from any thread, but
// two concurrent saves of one shard could lose each other's additions: that is what the actors are for.
//
// HashStorageActor collects appended hashes of one shard and writes them once no further append came
// for `delay` (at most `maxDelay` after the first unwritten append, so a steady stream is still
// persisted). All its state and writes live on its own serial executor. A failed write is logged and
// the hashes stay pending for the next write. Destruction writes what is pending.
//
// HashStorageActorManager owns the actors of the 20 shards of a folder; destruction flushes them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "core/concurrency/serial_executor.h"
#include "core/concurrency/timer.h"
#include "storage/shard_layout.h"

namespace lumidex::storage {

using HashSet = std::unordered_set<uint32_t>;

struct HashStorageError {
    enum class Kind { createDirectory, read, write };

    Kind kind;
    std::filesystem::path path;
    std::error_code code;

    // For example "Could not read hash bucket /x/hash_bucket_3.dat: Is a directory".
    std::string message() const;
};

struct HashLoadResult {
    HashSet hashes;                         // empty when `error` is set
    std::optional<HashStorageError> error;

    bool ok() const { return !error.has_value(); }
};

class HashStorageManager {
public:
    explicit HashStorageManager(std::filesystem::path directoryURL);

    const std::filesystem::path& directoryURL() const { return directoryURL_; }
    std::filesystem::path bucketPath(uint32_t balancerID) const;

    // Creates the directory (with its parents) when missing.
    std::optional<HashStorageError> prepare() const;
    // A missing bucket is empty. Trailing bytes that do not make a whole value are logged and ignored
    // (the next save drops them).
    HashLoadResult load(uint32_t balancerID) const;
    // Writes the union of the stored bucket and `hashes`. When the bucket cannot be read nothing is
    // written, so an unreadable bucket is never replaced by a smaller one.
    std::optional<HashStorageError> save(const HashSet& hashes, uint32_t balancerID) const;

private:
    std::filesystem::path directoryURL_;
};

class HashStorageActor {
public:
    using Duration = std::chrono::steady_clock::duration;
    static constexpr Duration defaultDelay = std::chrono::seconds(3);
    static constexpr Duration defaultMaxDelay = std::chrono::seconds(30);

    HashStorageActor(std::shared_ptr<const HashStorageManager> storageManager, uint32_t balancerID,
                     Duration delay = defaultDelay, Duration maxDelay = defaultMaxDelay,
                     Clock& clock = Clock::steady());
    ~HashStorageActor();
    HashStorageActor(const HashStorageActor&) = delete;
    HashStorageActor& operator=(const HashStorageActor&) = delete;

    uint32_t balancerID() const { return balancerID_; }

    // Returns at once; the hashes are written after the debounce delay.
    void append(uint32_t hash);
    void append(const std::vector<uint32_t>& hashes);
    // Writes what is pending now and returns the outcome (nullopt also when nothing was pending).
    std::optional<HashStorageError> flush();
    // The stored bucket plus the hashes not yet written.
    HashLoadResult load();

    size_t pendingCount();
    // Bucket files written so far by this actor.
    uint64_t writeCount();

private:
    void scheduleWrite();
    std::optional<HashStorageError> writePending();

    std::shared_ptr<const HashStorageManager> storageManager_;
    const uint32_t balancerID_;
    const Duration delay_;
    const Duration maxDelay_;
    Clock& clock_;
    // State below is touched only on `executor_`; the timer is declared after it so it dies first.
    SerialExecutor executor_;
    Timer appendCancellable_;
    HashSet pendingChanges_;
    std::optional<std::chrono::steady_clock::time_point> firstPendingAppend_;
    uint64_t writes_ = 0;
};

class HashStorageActorManager {
public:
    using Duration = HashStorageActor::Duration;

    // Prepares "<folderDataDirectory>/hash_storage_v9" (a failure is logged; saves try again).
    explicit HashStorageActorManager(const std::filesystem::path& folderDataDirectory,
                                     Duration delay = HashStorageActor::defaultDelay,
                                     Duration maxDelay = HashStorageActor::defaultMaxDelay);
    ~HashStorageActorManager();
    HashStorageActorManager(const HashStorageActorManager&) = delete;
    HashStorageActorManager& operator=(const HashStorageActorManager&) = delete;

    // Queues the hash on the actor of shard combinedHash % 20.
    void append(uint32_t combinedHash);
    HashStorageActor& actor(uint32_t balancerID) { return *actors_[balancerID % loadBalancerCount]; }
    // One result per shard, index = shard id.
    std::vector<HashLoadResult> loadAll();
    // Writes every shard's pending hashes now; returns the failures.
    std::vector<HashStorageError> flushAll();

    const HashStorageManager& storageManager() const { return *storageManager_; }

private:
    std::shared_ptr<const HashStorageManager> storageManager_;
    std::array<std::unique_ptr<HashStorageActor>, loadBalancerCount> actors_;
};

}  // namespace lumidex::storage
