#include "search_test_support.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include <stdlib.h>
#include <unistd.h>

#include "core/hashing.h"
#include "storage/fts_tools.h"

namespace lumidex::search::testing {

namespace {

class DelayedHandle : public ScheduledCall {
public:
    explicit DelayedHandle(std::shared_ptr<bool> cancelled) : cancelled_(std::move(cancelled)) {}
    ~DelayedHandle() override { *cancelled_ = true; }
    void cancel() override { *cancelled_ = true; }

private:
    std::shared_ptr<bool> cancelled_;
};

}  // namespace

ViewModelScheduler::Clock::time_point ManualScheduler::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualScheduler::postToMain(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    main_.push_back(std::move(task));
}

void ManualScheduler::postToBackground(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    background_.push_back(std::move(task));
}

std::unique_ptr<ScheduledCall> ManualScheduler::scheduleOnMain(Clock::duration delay, std::function<void()> call) {
    auto cancelled = std::make_shared<bool>(false);
    std::lock_guard lock(mutex_);
    delayed_.push_back({now_ + delay, nextOrder_++, std::move(call), cancelled});
    return std::make_unique<DelayedHandle>(cancelled);
}

void ManualScheduler::advance(Clock::duration by) {
    Clock::time_point target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + by;
    }
    for (;;) {
        Delayed next;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(delayed_, [](const Delayed& d) { return *d.cancelled; });
            auto due = std::min_element(delayed_.begin(), delayed_.end(), [](const Delayed& a, const Delayed& b) {
                return a.due != b.due ? a.due < b.due : a.order < b.order;
            });
            if (due == delayed_.end() || due->due > target) {
                now_ = target;
                return;
            }
            next = std::move(*due);
            delayed_.erase(due);
            now_ = std::max(now_, next.due);
        }
        next.call();
    }
}

size_t ManualScheduler::drain(std::mutex& mutex, std::deque<std::function<void()>>& queue) {
    size_t count = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex);
            if (queue.empty()) return count;
            task = std::move(queue.front());
            queue.pop_front();
        }
        task();
        ++count;
    }
}

size_t ManualScheduler::runBackground() { return drain(mutex_, background_); }
size_t ManualScheduler::runMain() { return drain(mutex_, main_); }

void ManualScheduler::settle() {
    while (runBackground() + runMain() > 0) {
    }
}

size_t ManualScheduler::pendingBackground() const {
    std::lock_guard lock(mutex_);
    return background_.size();
}

size_t ManualScheduler::pendingMain() const {
    std::lock_guard lock(mutex_);
    return main_.size();
}

StorageFolderIndex::StorageFolderIndex(const std::string& name)
    : root_(dir_.path() / name), data_(dir_.path() / (name + ".data")) {
    std::filesystem::create_directories(root_);
    reopenStores();
}

void StorageFolderIndex::reopenStores() {
    fts_ = std::make_unique<storage::SqliteFtsDatabaseBalancer>(data_);
    itemStore_ = std::make_unique<storage::SqliteDatabaseBalancer>(data_, root_.string());
}

ScratchDir::ScratchDir() {
    std::error_code ec;
    const std::filesystem::path memory = "/dev/shm";
    const bool inMemory = std::filesystem::is_directory(memory, ec) && ::access(memory.c_str(), W_OK) == 0;
    std::string pattern = ((inMemory ? memory : std::filesystem::temp_directory_path()) / "lumidex-search-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<NanItem> StorageFolderIndex::addAll(const std::vector<DocumentFixture>& fixtures) {
    std::vector<NanItem> items;
    std::vector<storage::FtsDocument> documents;
    for (const DocumentFixture& fixture : fixtures) {
        const std::filesystem::path path = root_ / fixture.relativePath;
        if (fixture.writeFile) {
            std::filesystem::create_directories(path.parent_path());
            lumidex::testing::writeFile(path, fixture.text);
        }
        NanItem item;
        item.urlString = path.string();
        item.id = Uuid::nameBased(item.urlString);
        item.fileName = path.filename().string();
        item.fileModifiedDate = dateFromSecondsSince1970(fixture.modified);
        item.fileCreatedDate = dateFromSecondsSince1970(fixture.modified - 100);
        item.fileContentCreatedDate = dateFromSecondsSince1970(fixture.modified - 50);
        item.combinedHash = combinedHash(item.urlString, item.fileModifiedDate);
        item.contentHash = fixture.contentHash;
        item.totalPageCount = fixture.pages;
        item.processingState = NanItemProcessingStates::complete;
        item.rootFolderUrl = root_.string();
        items.push_back(item);

        storage::FtsDocument document;
        document.urlPath = item.urlString;
        document.fileName = item.fileName;
        document.combinedHash = item.combinedHash;
        document.foldedText = storage::FtsTools::fold(fixture.text);
        document.originalText = fixture.text;
        document.creationDate = item.fileCreatedDate;
        document.modificationDate = item.fileModifiedDate;
        document.contentCreated = item.fileContentCreatedDate;
        documents.push_back(std::move(document));
    }
    itemStore_->create(items);
    if (!fts_->write(documents)) throw std::runtime_error("full-text write failed");
    std::lock_guard lock(mutex_);
    for (const NanItem& item : items) items_[item.combinedHash] = item;
    return items;
}

void StorageFolderIndex::forgetItem(const NanItem& item) {
    itemStore_->remove({item});
    std::lock_guard lock(mutex_);
    items_.erase(item.combinedHash);
}

void StorageFolderIndex::waitForInitToComplete() {
    ++waits;
    if (onWait) onWait();
}

storage::SqliteFtsDatabaseBalancer& StorageFolderIndex::ftsBalancer() { return *fts_; }

std::optional<NanItem> StorageFolderIndex::itemForCombinedHash(uint32_t combinedHash) {
    if (throwOnLookup) throw std::runtime_error("lookup failed");
    std::lock_guard lock(mutex_);
    const auto found = items_.find(combinedHash);
    if (found == items_.end()) return std::nullopt;
    return found->second;
}

std::vector<NanItem> StorageFolderIndex::allItems() {
    // Read back through the item tables, as the coordinator loads them.
    std::vector<NanItem> all;
    for (uint32_t shard = 0; shard < storage::loadBalancerCount; ++shard) {
        itemStore_->withStore(shard, [&](storage::NanItemSqliteManager_v2& store) {
            for (NanItem& item : store.allItems()) all.push_back(std::move(item));
        });
    }
    return all;
}

void FolderRegistry::add(std::shared_ptr<SearchableFolderIndex> folder) {
    std::lock_guard lock(mutex_);
    folders_.push_back(std::move(folder));
}

void FolderRegistry::remove(const SearchableFolderIndex* folder) {
    std::lock_guard lock(mutex_);
    std::erase_if(folders_, [folder](const auto& f) { return f.get() == folder; });
}

std::vector<std::shared_ptr<SearchableFolderIndex>> FolderRegistry::list() const {
    std::lock_guard lock(mutex_);
    return folders_;
}

FolderListFunction FolderRegistry::function() const {
    return [this] { return list(); };
}

std::vector<MailSearchHit> FakeMailSource::search(const SearchParameters& parameters, int64_t,
                                                  const CancellationToken&) {
    ++calls;
    lastText = parameters.searchText;
    return hits;
}

}  // namespace lumidex::search::testing
