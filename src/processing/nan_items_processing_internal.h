// What the processing run and the digital-text enrichment (nan_items_processing_enrichment.cpp) share
// inside NanItemsProcessing: the enrichment bookkeeping and a few helpers. Not for other users.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "folders/coordinator/balanced_data_manager.h"
#include "processing/nan_items_processing.h"
#include "storage/content_cache.h"
#include "storage/fts_sqlite.h"

namespace lumidex::processing {

namespace detail {

// How often a wait for a worker looks at the cancellation token.
inline constexpr std::chrono::milliseconds cancellationPoll{100};

bool isRecognisedPage(const std::string& payloadJson);
storage::FtsDocument ftsDocument(const NanItem& item, std::string foldedText);
bool stillRegistered(folders::BalancedDataManager& manager, const NanItem& item);

// Holds a folder's place in `running` (guarded by `mutex`) while one pass of a kind works on it, so
// that a second pass of that kind for the folder steps aside; claimed() is false for that second one.
class FolderPassClaim {
public:
    FolderPassClaim(std::mutex& mutex, std::set<std::string>& running, std::string folder)
        : mutex_(mutex), running_(running), folder_(std::move(folder)) {
        std::lock_guard lock(mutex_);
        claimed_ = running_.insert(folder_).second;
    }
    ~FolderPassClaim() {
        if (!claimed_) return;
        std::lock_guard lock(mutex_);
        running_.erase(folder_);
    }
    FolderPassClaim(const FolderPassClaim&) = delete;
    FolderPassClaim& operator=(const FolderPassClaim&) = delete;
    bool claimed() const { return claimed_; }

private:
    std::mutex& mutex_;
    std::set<std::string>& running_;
    const std::string folder_;
    bool claimed_ = false;
};

}  // namespace detail

// One pass's share of the enrichment queue (a run's holds its content cache only); the pass waits
// until `pending` is 0 before it returns.
struct NanItemsProcessing::EnrichmentContext {
    folders::BalancedDataManager* manager = nullptr;
    CancellationToken cancellationToken;
    std::string rootFolderUrl;
    bool lowResImages = false;
    std::shared_ptr<storage::ContentCache> contentCache;  // null: the cache is off
    std::function<bool()> yield;  // the pass's: true when text work waits and enrichments should stop

    std::mutex mutex;
    std::condition_variable changed;
    int64_t pending = 0;

    void finishOne() {
        std::lock_guard lock(mutex);
        --pending;
        changed.notify_all();
    }
    void waitUntilDone() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return pending == 0; });
    }
};

struct NanItemsProcessing::EnrichmentTicket {
    std::shared_ptr<EnrichmentContext> context;
    NanItem item;
    std::string digitalText;     // folded, as stored
    std::vector<int64_t> pages;  // the pages to recognise, as the extraction named them
    std::string cacheKey;        // where the recognised text is kept for the same content; empty: nowhere
    std::optional<std::string> cachedRecognition;  // what recognition found in the same content before
    bool mayYield = true;  // false for a pass's first: it runs even when text work waits
};

}  // namespace lumidex::processing
