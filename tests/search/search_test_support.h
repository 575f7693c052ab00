// Test doubles for the search tests: a scheduler driven by hand, a searchable folder over the real
// stores in a temporary directory, and a mail source that records its calls.
#pragma once

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "search/searchable_folder.h"
#include "search/view_model_scheduler.h"
#include "storage/fts_balancer.h"
#include "storage/item_balancer.h"
#include "support/temp_home.h"

namespace lumidex::search::testing {

// Main and background queues that run only when the test says so, on the test's thread, and a clock
// that moves only when advanced.
class ManualScheduler : public ViewModelScheduler {
public:
    Clock::time_point now() const override;
    void postToMain(std::function<void()> task) override;
    void postToBackground(std::function<void()> task) override;
    std::unique_ptr<ScheduledCall> scheduleOnMain(Clock::duration delay, std::function<void()> call) override;

    // Moves the clock and runs the delayed calls that fell due, in due order.
    void advance(Clock::duration by);
    size_t runBackground();  // runs queued background tasks, also those they queue; returns the count
    size_t runMain();
    void settle();  // both queues until nothing is left
    size_t pendingBackground() const;
    size_t pendingMain() const;

private:
    struct Delayed {
        Clock::time_point due;
        uint64_t order;
        std::function<void()> call;
        std::shared_ptr<bool> cancelled;
    };
    static size_t drain(std::mutex& mutex, std::deque<std::function<void()>>& queue);

    mutable std::mutex mutex_;
    Clock::time_point now_{};
    uint64_t nextOrder_ = 0;
    std::deque<std::function<void()>> main_;
    std::deque<std::function<void()>> background_;
    std::vector<Delayed> delayed_;
};

// A private folder removed with its contents, in memory (/dev/shm) when the machine has it: the stores
// sync every shard file they create, which on a disk costs seconds per test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct DocumentFixture {
    std::string relativePath;  // below the folder's root; the file is written there with `text` as content
    std::string text;
    double modified = 1700000000;
    int64_t pages = 1;
    uint32_t contentHash = 0;
    bool writeFile = true;
};

// A searchable folder whose root and data directory live in a temporary directory, with documents
// written through the real item and full-text stores.
class StorageFolderIndex : public SearchableFolderIndex {
public:
    explicit StorageFolderIndex(const std::string& name);

    NanItem add(const DocumentFixture& fixture) { return addAll({fixture}).front(); }
    // Many documents with one write per store and shard.
    std::vector<NanItem> addAll(const std::vector<DocumentFixture>& fixtures);
    // Removes the item but leaves its full-text row behind, like a store that was not cleaned up.
    void forgetItem(const NanItem& item);

    std::string rootPath() const override { return root_.string(); }
    void waitForInitToComplete() override;
    bool isIndexing() const override { return indexing.load(); }
    bool isRemoved() const override { return removed.load(); }
    storage::SqliteFtsDatabaseBalancer& ftsBalancer() override;
    std::optional<NanItem> itemForCombinedHash(uint32_t combinedHash) override;
    std::vector<NanItem> allItems() override;

    const std::filesystem::path& dataDirectory() const { return data_; }
    // Drops the open stores, so the next use opens the shard files again.
    void reopenStores();

    std::atomic<bool> indexing{false};
    std::atomic<bool> removed{false};
    std::atomic<int> waits{0};  // one per search or scan of this folder
    std::function<void()> onWait;  // runs inside waitForInitToComplete
    bool throwOnLookup = false;

private:
    ScratchDir dir_;
    std::filesystem::path root_;
    std::filesystem::path data_;
    std::unique_ptr<storage::SqliteFtsDatabaseBalancer> fts_;
    std::unique_ptr<storage::SqliteDatabaseBalancer> itemStore_;
    std::mutex mutex_;
    std::unordered_map<uint32_t, NanItem> items_;
};

// A folder list that tests can change while a search runs.
class FolderRegistry {
public:
    void add(std::shared_ptr<SearchableFolderIndex> folder);
    void remove(const SearchableFolderIndex* folder);
    std::vector<std::shared_ptr<SearchableFolderIndex>> list() const;
    FolderListFunction function() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SearchableFolderIndex>> folders_;
};

class FakeMailSource : public MailSearchSource {
public:
    std::string rootFolderUrl() const override { return "###appleMailSourceIdentifier###"; }
    std::vector<MailSearchHit> search(const SearchParameters& parameters, int64_t rowLimit,
                                      const CancellationToken& token) override;

    std::vector<MailSearchHit> hits;
    std::atomic<int> calls{0};
    std::string lastText;
};

}  // namespace lumidex::search::testing
