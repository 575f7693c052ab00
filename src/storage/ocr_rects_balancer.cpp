#include "storage/ocr_rects_balancer.h"

#include <limits>
#include <numeric>
#include <string>

#include "core/app_log.h"
#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"

namespace lumidex::storage {

namespace {

size_t pageWeight(const std::vector<OcrRect>& rects) { return rects.empty() ? 1 : rects.size(); }

std::string pageText(uint32_t combinedHash, int64_t pageIndex) {
    return std::to_string(combinedHash) + ", pageIndex: " + std::to_string(pageIndex);
}

}  // namespace

SqliteOcrRectsDatabaseBalancer::SqliteOcrRectsDatabaseBalancer(std::filesystem::path folderDataDirectory,
                                                               size_t cacheCapacity)
    : folderDataDirectory_(std::move(folderDataDirectory)), cacheCapacity_(cacheCapacity) {
    for (auto& semaphore : semaphores_) semaphore = std::make_unique<AsyncSemaphore>(1);
}

SqliteOcrRectsDatabaseBalancer::~SqliteOcrRectsDatabaseBalancer() = default;

std::shared_ptr<OcrRectsSqliteManager> SqliteOcrRectsDatabaseBalancer::storeLocked(uint32_t shard) {
    if (stores_[shard]) return stores_[shard];
    auto store = std::make_shared<OcrRectsSqliteManager>(folderDataDirectory_, shard);
    // A shard that failed to open is not kept, so a passing problem (a full disk, say) heals on next use.
    if (store->isOpen()) stores_[shard] = store;
    return store;
}

template <class F>
auto SqliteOcrRectsDatabaseBalancer::withStore(uint32_t shard, F&& operation) {
    shard %= loadBalancerCount;
    AsyncSemaphore::Permit permit = semaphores_[shard]->acquirePermit();
    return operation(*storeLocked(shard));
}

std::vector<OcrRect> SqliteOcrRectsDatabaseBalancer::ocrRectsForPage(uint32_t combinedHash, int64_t pageIndex) {
    const PageKey key{combinedHash, pageIndex};
    if (auto cached = cachedPage(key, true)) {
        appLog("Cache-Hit für combinedHash: " + pageText(combinedHash, pageIndex));
        return std::move(*cached);
    }
    appLog("Cache-Miss für combinedHash: " + pageText(combinedHash, pageIndex));
    const auto readPage = [&](OcrRectsSqliteManager& store) -> std::vector<OcrRect> {
        // A concurrent reader of the same page may have filled the cache while this one waited.
        if (auto cached = cachedPage(key, false)) return std::move(*cached);
        {
            std::lock_guard lock(cacheMutex_);
            ++stats_.storeReads;
        }
        std::optional<std::vector<OcrRect>> read = store.readOcrRects(combinedHash, pageIndex);
        if (!read) return std::vector<OcrRect>{};
        cachePage(key, *read);
        return std::move(*read);
    };
    std::vector<OcrRect> rects = withStore(balancerId(combinedHash), readPage);
    appLog("Verlassen combinedHash: " + pageText(combinedHash, pageIndex) + ", result: " +
           std::to_string(rects.size()));
    return rects;
}

std::vector<OcrRect> SqliteOcrRectsDatabaseBalancer::ocrRects(uint32_t combinedHash,
                                                              std::optional<int64_t> pageIndex) {
    return withStore(balancerId(combinedHash),
                     [&](OcrRectsSqliteManager& store) { return store.ocrRects(combinedHash, pageIndex); });
}

std::unordered_set<OcrRect> SqliteOcrRectsDatabaseBalancer::transcriptSearchResultsFor(uint32_t combinedHash) {
    return withStore(balancerId(combinedHash),
                     [&](OcrRectsSqliteManager& store) { return store.transcriptSearchResultsFor(combinedHash); });
}

bool SqliteOcrRectsDatabaseBalancer::createOcrRectItem(const std::vector<OcrRect>& rects) {
    std::array<std::vector<OcrRect>, loadBalancerCount> perShard;
    for (const OcrRect& rect : rects) perShard[balancerId(rect.combinedHash)].push_back(rect);
    bool ok = true;
    for (uint32_t shard = 0; shard < loadBalancerCount; ++shard) {
        if (perShard[shard].empty()) continue;
        ok = withStore(shard,
                       [&](OcrRectsSqliteManager& store) {
                           const bool written = store.createOcrRectItem(perShard[shard]);
                           // Invalidate even after a failure: the transaction rolled back, but the cache
                           // must not be trusted over the store either way.
                           std::unordered_set<uint32_t> documents;
                           for (const OcrRect& rect : perShard[shard]) documents.insert(rect.combinedHash);
                           for (uint32_t hash : documents) invalidateDocument(hash);
                           return written;
                       }) &&
             ok;
    }
    return ok;
}

bool SqliteOcrRectsDatabaseBalancer::deleteRects(uint32_t combinedHash) {
    return withStore(balancerId(combinedHash), [&](OcrRectsSqliteManager& store) {
        const bool deleted = store.deleteRects(combinedHash);
        invalidateDocument(combinedHash);
        return deleted;
    });
}

int64_t SqliteOcrRectsDatabaseBalancer::refoldAll(ThreadPool* pool) {
    const auto counts = parallelMap(
        loadBalancerCount,
        [&](size_t shard) {
            return withStore(static_cast<uint32_t>(shard), [&](OcrRectsSqliteManager& store) {
                const int64_t changed = store.refoldContent();
                if (changed > 0) {
                    // Cached pages of this shard may hold the old text.
                    std::lock_guard lock(cacheMutex_);
                    for (auto it = cache_.begin(); it != cache_.end();) {
                        if (balancerId(it->first.combinedHash) != shard) {
                            ++it;
                            continue;
                        }
                        cacheWeight_ -= pageWeight(it->second.rects);
                        recency_.erase(it->second.recency);
                        it = cache_.erase(it);
                    }
                }
                return changed;
            });
        },
        pool != nullptr ? *pool : ThreadPool::shared());
    return std::accumulate(counts.begin(), counts.end(), int64_t{0});
}

std::optional<std::vector<OcrRect>> SqliteOcrRectsDatabaseBalancer::cachedPage(const PageKey& key, bool count) {
    std::lock_guard lock(cacheMutex_);
    auto it = cache_.find(key);
    if (it == cache_.end()) {
        if (count) ++stats_.misses;
        return std::nullopt;
    }
    if (count) ++stats_.hits;
    recency_.splice(recency_.begin(), recency_, it->second.recency);
    return it->second.rects;
}

void SqliteOcrRectsDatabaseBalancer::cachePage(const PageKey& key, const std::vector<OcrRect>& rects) {
    const size_t weight = pageWeight(rects);
    // A page bigger than the whole cache would only evict everything else and then itself.
    if (weight > cacheCapacity_) return;
    std::lock_guard lock(cacheMutex_);
    auto [it, inserted] = cache_.try_emplace(key);
    if (!inserted) {
        cacheWeight_ -= pageWeight(it->second.rects);
        recency_.erase(it->second.recency);
    }
    it->second.rects = rects;
    recency_.push_front(key);
    it->second.recency = recency_.begin();
    cacheWeight_ += weight;
    while (cacheWeight_ > cacheCapacity_) {
        auto victim = cache_.find(recency_.back());
        cacheWeight_ -= pageWeight(victim->second.rects);
        cache_.erase(victim);
        recency_.pop_back();
    }
}

void SqliteOcrRectsDatabaseBalancer::invalidateDocument(uint32_t combinedHash) {
    std::lock_guard lock(cacheMutex_);
    auto it = cache_.lower_bound(PageKey{combinedHash, std::numeric_limits<int64_t>::min()});
    while (it != cache_.end() && it->first.combinedHash == combinedHash) {
        cacheWeight_ -= pageWeight(it->second.rects);
        recency_.erase(it->second.recency);
        it = cache_.erase(it);
    }
}

SqliteOcrRectsDatabaseBalancer::CacheStats SqliteOcrRectsDatabaseBalancer::cacheStats() const {
    std::lock_guard lock(cacheMutex_);
    CacheStats stats = stats_;
    stats.pages = cache_.size();
    stats.weight = cacheWeight_;
    return stats;
}

}  // namespace lumidex::storage
