// The rectangle stores of one folder (20 shards in "balanced_db_ocr_v9") with a cache of pages read.
//
// Every operation on a shard, opening its store included, holds that shard's semaphore, so one shard's
// reads and writes run one at a time while different shards proceed in parallel. Stores are opened on
// first use and kept; a shard that cannot be opened is retried on its next use.
//
// The page cache is a least-recently-used map bounded by the number of rectangles it holds (an empty
// page counts as one), so browsing a large folder cannot grow it without limit. Writing or deleting a
// document's rectangles drops all cached pages of that document; since both happen under the shard's
// semaphore, a read in progress can never put stale rectangles back.
//
// Thread-safety: all members may be called from any thread. The cache's mutex is never held during
// SQLite work. Failure behaviour: as the stores: logged, empty results, nothing throws; a failed read
// is not cached.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "core/concurrency/async_semaphore.h"
#include "storage/ocr_rects_sqlite_manager.h"
#include "storage/shard_layout.h"

namespace lumidex {
class ThreadPool;
}

namespace lumidex::storage {

class SqliteOcrRectsDatabaseBalancer {
public:
    // About 40 MB of typical recognised lines.
    static constexpr size_t defaultCacheCapacity = 200000;

    struct CacheStats {
        uint64_t hits = 0;
        uint64_t misses = 0;
        uint64_t storeReads = 0;  // page reads that reached a store
        size_t pages = 0;
        size_t weight = 0;        // rectangles held (an empty page counts as one)
    };

    // `cacheCapacity` is in rectangles; 0 disables the cache.
    explicit SqliteOcrRectsDatabaseBalancer(std::filesystem::path folderDataDirectory,
                                            size_t cacheCapacity = defaultCacheCapacity);
    ~SqliteOcrRectsDatabaseBalancer();
    SqliteOcrRectsDatabaseBalancer(const SqliteOcrRectsDatabaseBalancer&) = delete;
    SqliteOcrRectsDatabaseBalancer& operator=(const SqliteOcrRectsDatabaseBalancer&) = delete;

    // The rectangles of one page, from the cache when it holds the page.
    std::vector<OcrRect> ocrRectsForPage(uint32_t combinedHash, int64_t pageIndex);
    // Uncached reads of a whole document (or one page).
    std::vector<OcrRect> ocrRects(uint32_t combinedHash, std::optional<int64_t> pageIndex = std::nullopt);
    std::unordered_set<OcrRect> transcriptSearchResultsFor(uint32_t combinedHash);

    // Rectangles may belong to several documents; each goes to its document's shard. False when any
    // shard's write failed (each shard's part is all or nothing).
    bool createOcrRectItem(const std::vector<OcrRect>& rects);
    bool deleteRects(uint32_t combinedHash);

    // Refolds every shard; returns the number of rows changed.
    int64_t refoldAll(ThreadPool* pool = nullptr);

    CacheStats cacheStats() const;
    const std::filesystem::path& folderDataDirectory() const { return folderDataDirectory_; }

private:
    struct PageKey {
        uint32_t combinedHash;
        int64_t pageIndex;
        auto operator<=>(const PageKey&) const = default;
    };
    struct CachedPage {
        std::vector<OcrRect> rects;
        std::list<PageKey>::iterator recency;
    };

    // Both require the shard's permit.
    std::shared_ptr<OcrRectsSqliteManager> storeLocked(uint32_t shard);
    template <class F>
    auto withStore(uint32_t shard, F&& operation);

    // `count` says whether the lookup shows in the hit and miss counters.
    std::optional<std::vector<OcrRect>> cachedPage(const PageKey& key, bool count);
    void cachePage(const PageKey& key, const std::vector<OcrRect>& rects);
    void invalidateDocument(uint32_t combinedHash);

    std::filesystem::path folderDataDirectory_;
    std::array<std::unique_ptr<AsyncSemaphore>, loadBalancerCount> semaphores_;
    std::array<std::shared_ptr<OcrRectsSqliteManager>, loadBalancerCount> stores_;  // guarded by the semaphores

    const size_t cacheCapacity_;
    mutable std::mutex cacheMutex_;
    std::map<PageKey, CachedPage> cache_;  // ordered, so one document's pages are adjacent
    std::list<PageKey> recency_;           // most recently used first
    size_t cacheWeight_ = 0;
    CacheStats stats_;
};

}  // namespace lumidex::storage
