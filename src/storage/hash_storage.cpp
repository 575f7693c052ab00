#include "storage/hash_storage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/app_log.h"
#include "core/atomic_file.h"

namespace lumidex::storage {

namespace {

constexpr const char* kDirectoryName = "hash_storage_v9";

std::error_code lastError() { return {errno, std::generic_category()}; }

// Reads the whole file; ENOENT is reported as an error code like any other, the caller decides.
std::error_code readWholeFile(const std::filesystem::path& path, std::string& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return lastError();
    std::error_code result;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            result = lastError();
            break;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return result;
}

std::string encode(const HashSet& hashes) {
    std::vector<uint32_t> sorted(hashes.begin(), hashes.end());
    std::sort(sorted.begin(), sorted.end());  // the order carries no meaning; sorted files diff well
    std::string bytes;
    bytes.reserve(sorted.size() * 4);
    for (uint32_t value : sorted) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
    return bytes;
}

}  // namespace

std::string HashStorageError::message() const {
    std::string what;
    switch (kind) {
        case Kind::createDirectory: what = "Could not create the hash storage folder "; break;
        case Kind::read: what = "Could not read hash bucket "; break;
        case Kind::write: what = "Could not write hash bucket "; break;
    }
    return what + path.string() + ": " + code.message();
}

// ---- HashStorageManager -------------------------------------------------------------------------

HashStorageManager::HashStorageManager(std::filesystem::path directoryURL) : directoryURL_(std::move(directoryURL)) {}

std::filesystem::path HashStorageManager::bucketPath(uint32_t balancerID) const {
    return directoryURL_ / ("hash_bucket_" + std::to_string(balancerID) + ".dat");
}

std::optional<HashStorageError> HashStorageManager::prepare() const {
    std::error_code ec;
    std::filesystem::create_directories(directoryURL_, ec);
    if (ec) return HashStorageError{HashStorageError::Kind::createDirectory, directoryURL_, ec};
    return std::nullopt;
}

HashLoadResult HashStorageManager::load(uint32_t balancerID) const {
    const std::filesystem::path path = bucketPath(balancerID);
    std::string bytes;
    if (const std::error_code ec = readWholeFile(path, bytes)) {
        if (ec == std::errc::no_such_file_or_directory) return {};
        return {{}, HashStorageError{HashStorageError::Kind::read, path, ec}};
    }
    if (bytes.size() % 4 != 0) {
        appLog("HashStorage load " + path.string() + ": " + std::to_string(bytes.size() % 4) +
               " trailing bytes ignored");
    }
    HashLoadResult result;
    result.hashes.reserve(bytes.size() / 4);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        result.hashes.insert(static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
                             static_cast<uint32_t>(data[i + 2]) << 16 | static_cast<uint32_t>(data[i + 3]) << 24);
    }
    return result;
}

std::optional<HashStorageError> HashStorageManager::save(const HashSet& hashes, uint32_t balancerID) const {
    HashLoadResult stored = load(balancerID);
    if (stored.error) return stored.error;
    const size_t before = stored.hashes.size();
    stored.hashes.insert(hashes.begin(), hashes.end());
    if (stored.hashes.size() == before) return std::nullopt;  // nothing new: the file already says it all

    // The folder may have been removed since prepare(); recreating it is harmless.
    if (auto error = prepare()) return error;
    const std::filesystem::path path = bucketPath(balancerID);
    if (const std::optional<FileWriteError> error = writeFileAtomically(path, encode(stored.hashes))) {
        // The new bucket is in place; only its survival of a power loss is uncertain. Writing it again
        // would not change that.
        if (error->step == FileWriteError::Step::flushFolder) {
            appLog("HashStorage save " + error->message());
            return std::nullopt;
        }
        return HashStorageError{HashStorageError::Kind::write, path, error->code};
    }
    return std::nullopt;
}

// ---- HashStorageActor ---------------------------------------------------------------------------

HashStorageActor::HashStorageActor(std::shared_ptr<const HashStorageManager> storageManager, uint32_t balancerID,
                                   Duration delay, Duration maxDelay, Clock& clock)
    : storageManager_(std::move(storageManager)),
      balancerID_(balancerID),
      delay_(delay),
      maxDelay_(maxDelay),
      clock_(clock),
      executor_("hash_storage_" + std::to_string(balancerID)),
      appendCancellable_(executor_, clock) {}

HashStorageActor::~HashStorageActor() {
    if (auto error = flush()) appLog("HashStorage final write lost: " + error->message());
}

void HashStorageActor::append(uint32_t hash) {
    executor_.post([this, hash] {
        pendingChanges_.insert(hash);
        scheduleWrite();
    });
}

void HashStorageActor::append(const std::vector<uint32_t>& hashes) {
    if (hashes.empty()) return;
    executor_.post([this, hashes] {
        pendingChanges_.insert(hashes.begin(), hashes.end());
        scheduleWrite();
    });
}

void HashStorageActor::scheduleWrite() {
    const auto now = clock_.now();
    if (!firstPendingAppend_) firstPendingAppend_ = now;
    appendCancellable_.schedule(debounceDelay(now - *firstPendingAppend_, delay_, maxDelay_),
                                [this] { writePending(); });
}

std::optional<HashStorageError> HashStorageActor::writePending() {
    if (pendingChanges_.empty()) return std::nullopt;
    if (auto error = storageManager_->save(pendingChanges_, balancerID_)) {
        appLog("HashStorage write failed, " + std::to_string(pendingChanges_.size()) +
               " hashes kept for the next write: " + error->message());
        // The next attempt waits for the next append's full delay instead of retrying on every append.
        firstPendingAppend_ = clock_.now();
        return error;
    }
    pendingChanges_.clear();
    firstPendingAppend_.reset();
    ++writes_;
    return std::nullopt;
}

std::optional<HashStorageError> HashStorageActor::flush() {
    return executor_.sync([this] {
        appendCancellable_.cancel();
        return writePending();
    });
}

HashLoadResult HashStorageActor::load() {
    return executor_.sync([this] {
        HashLoadResult result = storageManager_->load(balancerID_);
        if (result.ok()) result.hashes.insert(pendingChanges_.begin(), pendingChanges_.end());
        return result;
    });
}

size_t HashStorageActor::pendingCount() {
    return executor_.sync([this] { return pendingChanges_.size(); });
}

uint64_t HashStorageActor::writeCount() {
    return executor_.sync([this] { return writes_; });
}

// ---- HashStorageActorManager --------------------------------------------------------------------

HashStorageActorManager::HashStorageActorManager(const std::filesystem::path& folderDataDirectory, Duration delay,
                                                 Duration maxDelay)
    : storageManager_(std::make_shared<HashStorageManager>(folderDataDirectory / kDirectoryName)) {
    if (auto error = storageManager_->prepare()) appLog("HashStorage prepare " + error->message());
    for (uint32_t shard = 0; shard < loadBalancerCount; ++shard) {
        actors_[shard] = std::make_unique<HashStorageActor>(storageManager_, shard, delay, maxDelay);
    }
}

HashStorageActorManager::~HashStorageActorManager() { flushAll(); }

void HashStorageActorManager::append(uint32_t combinedHash) { actor(balancerId(combinedHash)).append(combinedHash); }

std::vector<HashLoadResult> HashStorageActorManager::loadAll() {
    std::vector<HashLoadResult> results;
    results.reserve(loadBalancerCount);
    for (auto& actor : actors_) results.push_back(actor->load());
    return results;
}

std::vector<HashStorageError> HashStorageActorManager::flushAll() {
    std::vector<HashStorageError> errors;
    for (auto& actor : actors_) {
        if (auto error = actor->flush()) errors.push_back(std::move(*error));
    }
    return errors;
}

}  // namespace lumidex::storage
