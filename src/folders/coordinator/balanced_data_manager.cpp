// Lifecycle, start-up and the item operations of the coordinator. Scans, file events and processing
// runs are in balanced_data_manager_scan.cpp.
#include "folders/coordinator/balanced_data_manager.h"

#include <algorithm>
#include <exception>

#include "core/app_log.h"
#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"
#include "core/data_directory.h"
#include "core/diagnostics_collector.h"
#include "core/directory_maps.h"
#include "core/settings/settings.h"
#include "folders/coordinator/coordinator_states.h"
#include "folders/registry/bookmark_naming.h"
#include "folders/scanning/excluded_extensions.h"
#include "folders/scanning/excluded_folders.h"
#include "folders/scanning/file_types.h"
#include "folders/scanning/scan_file_system.h"
#include "platform/unicode.h"
#include "storage/search_index_migration.h"

namespace lumidex::folders {
namespace {

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string normalisedRoot(const std::string& root) { return withoutTrailingSlashes(platform::toNfc(root)); }

std::filesystem::path resolveFolderDataDirectory(const BalancedDataManagerDependencies& deps, const std::string& root) {
    if (!deps.folderDataDirectory.empty()) return deps.folderDataDirectory;
    return folderDataDirectory(root);
}

}  // namespace

std::filesystem::path folderDataDirectory(const std::filesystem::path& dataDirectory, const std::string& nfcRootFolder) {
    return dataDirectory / bookmarkFileStem(nfcRootFolder);
}

std::filesystem::path folderDataDirectory(const std::string& nfcRootFolder) {
    return nanDataDirectories().findOrInsert(nfcRootFolder, [&] {
        const auto directory = folderDataDirectory(lumidex::dataDirectory(), nfcRootFolder);
        std::error_code ec;
        std::filesystem::create_directories(directory, ec);
        if (ec) appLog("Ordner-Datenverzeichnis nicht angelegt: " + directory.string() + ": " + ec.message());
        return directory;
    });
}

BalancedDataManager::BalancedDataManager(std::string rootFolder, BalancedDataManagerDependencies deps)
    : rootFolderPath_(withoutTrailingSlashes(rootFolder)),
      rootFolderUrlString_(normalisedRoot(rootFolder)),
      rootFolderName_(lastPathComponent(rootFolderUrlString_)),
      folderDataDirectory_(resolveFolderDataDirectory(deps, rootFolderUrlString_)),
      excludedExtensionsFile_(deps.excludedExtensionsFile.empty()
                                  ? excludedFileExtensionsPath(lumidex::dataDirectory())
                                  : deps.excludedExtensionsFile),
      settingsStore_(deps.settingsStore != nullptr ? *deps.settingsStore : SettingsStore::shared()),
      diagnostics_(deps.diagnostics != nullptr ? *deps.diagnostics : DiagnosticsCollector::shared()),
      fileSystem_(deps.fileSystem != nullptr ? *deps.fileSystem : ScanFileSystem::local()),
      excludedFolderCache_(deps.excludedFolderCache != nullptr ? *deps.excludedFolderCache
                                                               : ExcludedFolderCache::shared()),
      pool_(deps.pool != nullptr ? *deps.pool : ThreadPool::shared()),
      processingRunner_(std::move(deps.processingRunner)),
      aiFolderRouting_(std::move(deps.aiFolderRouting)),
      scanBatchSize_(std::max<std::size_t>(deps.scanBatchSize, 1)),
      activeProcessId_(Uuid::random().toString()),
      activeOcrRectsProcessId_(Uuid::random().toString()),
      databaseBalancer_(folderDataDirectory_, rootFolderUrlString_, std::move(deps.imageCaptureDate)),
      ftsDatabaseBalancer_(folderDataDirectory_),
      numbersDatabaseBalancer_(folderDataDirectory_),
      ocrRectsDatabaseBalancer_(folderDataDirectory_),
      hashStorageActorManager_(folderDataDirectory_),
      nanItemsDict_(deps.insertBufferSize),
      itemTableWriter_(databaseBalancer_, pool_),
      throttledModififiedFilesUpdater_(pool_, deps.updaterIntervals),
      throttledRemovedFilesUpdater_(pool_, deps.updaterIntervals),
      throttledProgressUpdater_(rootFolderUrlString_, pool_, deps.updaterIntervals),
      executor_(std::make_unique<SerialExecutor>("BalancedDataManager " + rootFolderName_, pool_)) {
    if (deps.observerFactory) {
        FolderObserverHandlers handlers;
        handlers.fileEvent = [this](const std::string& path) { handleFileEvent(path); };
        handlers.rescanNeeded = [this] { requestFullScan(RunPriority::medium); };
        try {
            nanFilePresenter_ = deps.observerFactory(rootFolderUrlString_, std::move(handlers));
        } catch (const std::exception& e) {
            appLog("[BalancedDataManager] observer for " + rootFolderUrlString_ + " not created: " + e.what());
        }
    }
}

BalancedDataManager::~BalancedDataManager() {
    cancellationToken_.cancel();
    if (nanFilePresenter_) nanFilePresenter_->shutdown();
    // A scan waiting for start-up must not wait for ever.
    markInitialized();
    backgroundThreads_.joinAll();
    executor_.reset();  // discards queued events, waits for the running one
    backgroundThreads_.joinAll();
    // Nothing else touches the registry now: keep what the last scan found but did not write yet.
    itemTableWriter_.create(nanItemsDict_.takeInsertBuffer());
    itemTableWriter_.flush();
    nanFilePresenter_.reset();
}

// --- lifecycle ---

void BalancedDataManager::start() {
    {
        std::lock_guard lock(initMutex_);
        if (started_) return;
        started_ = true;
    }
    beginWork();
    try {
        struct ShardLoad {
            std::vector<NanItem> items;
            storage::HashLoadResult hashes;
        };
        auto loads = parallelMap(
            storage::loadBalancerCount,
            [this](std::size_t shard) {
                ShardLoad load;
                const auto id = static_cast<uint32_t>(shard);
                databaseBalancer_.withStore(id, [&](storage::NanItemSqliteManager_v2& store) { load.items = store.allItems(); });
                load.hashes = hashStorageActorManager_.actor(id).load();
                for (NanItem& item : load.items) {
                    // Rows do not keep the id; it is derived from the path, so it is the same in every run.
                    item.id = Uuid::nameBased(item.urlString);
                    item.rootFolderUrl = rootFolderUrlString_;
                }
                return load;
            },
            pool_);
        std::size_t loaded = 0;
        for (const ShardLoad& load : loads) loaded += load.items.size();
        nanItemsDict_.reserve(loaded);

        std::vector<NanItem> superseded;
        for (std::size_t shard = 0; shard < loads.size(); ++shard) {
            ShardLoad& load = loads[shard];
            if (!load.hashes.ok()) appLog("[BalancedDataManager] " + load.hashes.error->message());
            {
                std::lock_guard lock(hashStorageMutex_);
                hashStorage_[shard] = std::move(load.hashes.hashes);
            }
            for (NanItem& item : load.items) {
                // Two versions of one path are left by a run that ended between writing the new one
                // and deleting the old: keep the newer, the next scan settles the rest.
                if (auto existing = nanItemsDict_.modifiedDateForPath(item.urlString);
                    existing && *existing >= item.fileModifiedDate) {
                    superseded.push_back(std::move(item));
                    continue;
                }
                auto displaced = nanItemsDict_.upsert(item);
                for (const NanItem& other : displaced.sameHashOtherPath) databaseBalancer_.unregister(other);
                databaseBalancer_.registerItem(item);
                for (auto& old : displaced.samePathOtherVersion) superseded.push_back(std::move(old));
            }
            // The registry holds them now: kept until every shard is in, the loaded rows were a second
            // copy of the folder's items at the process's peak.
            std::vector<NanItem>().swap(load.items);
        }
        if (!superseded.empty()) {
            appLog("[BalancedDataManager] " + std::to_string(superseded.size()) +
                   " superseded item versions removed in " + rootFolderName_);
            databaseBalancer_.remove(superseded);
        }
        appLog("initializeAsyncCompleted " + rootFolderName_);
        storage::migrateSearchIndexFolding(Settings(settingsStore_), rootFolderUrlString_, ftsDatabaseBalancer_,
                                           ocrRectsDatabaseBalancer_,
                                           [this](const std::vector<uint32_t>& hashes) { return readAgainAtStart(hashes); });
    } catch (const std::exception& e) {
        appLog("[BalancedDataManager] start-up of " + rootFolderUrlString_ + " failed: " + e.what());
    } catch (...) {
        appLog("[BalancedDataManager] start-up of " + rootFolderUrlString_ + " failed");
    }
    updateProgressCounts();
    markInitialized();
    endWork();
}

bool BalancedDataManager::readAgainAtStart(const std::vector<uint32_t>& combinedHashes) {
    // Images are left alone: recognising every photo without text again would cost far more than the
    // few texts an older folding rule dropped could be worth. PDFs and text files are read locally;
    // office documents would go to the cloud service again.
    std::vector<std::vector<NanItem>> byShard(storage::loadBalancerCount);
    std::size_t count = 0;
    for (const uint32_t combinedHash : combinedHashes) {
        std::optional<NanItem> item = nanItemsDict_.item(combinedHash);
        if (!item || item->processingState != NanItemProcessingStates::complete) continue;
        const auto route = routeForExtension(lowerCaseExtension(item->urlString));
        if (route != FileRoute::pdf && route != FileRoute::text) continue;
        item->processingState = NanItemProcessingStates::readyForProcessing;
        byShard[storage::balancerId(combinedHash)].push_back(std::move(*item));
        ++count;
    }
    bool allStored = true;
    for (uint32_t shard = 0; shard < byShard.size(); ++shard) {
        if (byShard[shard].empty()) continue;
        bool stored = false;
        databaseBalancer_.withStore(shard, [&](storage::NanItemSqliteManager_v2& store) { stored = store.create(byShard[shard]); });
        if (!stored) {
            allStored = false;
            continue;
        }
        for (const NanItem& item : byShard[shard]) nanItemsDict_.upsert(item);
    }
    if (count > 0) {
        appLog("[BalancedDataManager] " + std::to_string(count) + " Dokumente ohne Text werden neu gelesen in " +
               rootFolderName_);
    }
    return allStored;
}

void BalancedDataManager::startInBackground() {
    if (isCancelled()) return;
    beginWork();
    backgroundThreads_.spawn([this] {
        start();
        endWork();
    });
}

void BalancedDataManager::markInitialized() {
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard lock(initMutex_);
        if (isInitialized_) return;
        isInitialized_ = true;
        waiting.swap(continuationBlockUntilInitComplete_);
    }
    initDone_.notify_all();
    for (auto& continuation : waiting) {
        try {
            continuation();
        } catch (const std::exception& e) {
            appLog(std::string("[BalancedDataManager] waiting caller failed: ") + e.what());
        }
    }
}

bool BalancedDataManager::isInitialized() const {
    std::lock_guard lock(initMutex_);
    return isInitialized_;
}

void BalancedDataManager::waitForInitToComplete(std::function<void()> continuation) const {
    {
        std::lock_guard lock(initMutex_);
        if (!isInitialized_) {
            continuationBlockUntilInitComplete_.push_back(std::move(continuation));
            return;
        }
    }
    continuation();
}

void BalancedDataManager::waitForInitToComplete() const {
    // Queued like any other caller, so blocked threads are released in their order of arrival too.
    auto released = std::make_shared<std::promise<void>>();
    auto future = released->get_future();
    waitForInitToComplete([released] { released->set_value(); });
    future.wait();
}

void BalancedDataManager::cancel() {
    cancellationToken_.cancel();
    post([this] {
        queuedForProcessing_.clear();
        reprocessAfterRun_.clear();
        std::lock_guard lock(runFiguresMutex_);
        queuedCount_ = 0;
    });
}

void BalancedDataManager::beginWork() {
    std::lock_guard lock(workMutex_);
    ++outstandingWork_;
}

void BalancedDataManager::endWork() {
    {
        std::lock_guard lock(workMutex_);
        --outstandingWork_;
    }
    workDone_.notify_all();
}

bool BalancedDataManager::waitUntilIdle(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(workMutex_);
        if (!workDone_.wait_for(lock, timeout, [this] { return outstandingWork_ == 0; })) return false;
    }
    itemTableWriter_.flush();  // rather than waiting for the writer to gather more
    return true;
}

void BalancedDataManager::post(std::function<void()> task) {
    beginWork();
    executor_->post([this, task = std::move(task)] {
        struct Done {
            BalancedDataManager& self;
            ~Done() { self.endWork(); }
        } done{*this};
        task();
    });
}

// --- items ---

void BalancedDataManager::saveItem(const NanItem& item) { saveItems({item}); }

bool BalancedDataManager::saveItems(const std::vector<NanItem>& items) {
    if (items.empty()) return true;
    waitForInitToComplete();
    const uint64_t failedBefore = itemTableWriter_.failedWriteCount();
    executor_->sync([&] { saveItemsOnExecutor(items); });
    itemTableWriter_.flush();  // stored when this returns, as callers expect
    return itemTableWriter_.failedWriteCount() == failedBefore;
}

void BalancedDataManager::removeItems(const std::vector<NanItem>& items) {
    if (items.empty()) return;
    waitForInitToComplete();
    executor_->sync([&] { removeItemsOnExecutor(items); });
    itemTableWriter_.flush();
}

void BalancedDataManager::saveItemsOnExecutor(const std::vector<NanItem>& items) {
    std::vector<NanItem> accepted;
    std::vector<NanItem> superseded;
    for (NanItem item : items) {
        item.urlString = platform::toNfc(item.urlString);
        if (removedHashes_.contains(item.combinedHash)) {
            appLog("[BalancedDataManager] result for removed item dropped: " + item.urlString);
            continue;
        }
        auto displaced = nanItemsDict_.upsert(item);
        for (auto& old : displaced.samePathOtherVersion) superseded.push_back(std::move(old));
        nanItemsDict_.dropFromInsertBuffer(item.combinedHash);
        if (coordinator_states::isProcessed(item.processingState)) {
            bool fresh = false;
            {
                std::lock_guard lock(hashStorageMutex_);
                fresh = hashStorage_[storage::balancerId(item.combinedHash)].insert(item.combinedHash).second;
            }
            if (fresh) {
                hashStorageActorManager_.append(item.combinedHash);
                ++hashProcessedFileCount_;
            }
            // Its run is done with it, although the run may still be busy with others.
            std::lock_guard lock(runFiguresMutex_);
            activeRunHashes_.erase(item.combinedHash);
        }
        markSeenInActiveScansOnExecutor(item.combinedHash, item.urlString);
        accepted.push_back(std::move(item));
    }
    // The new version replaces the old one in the user interface: no removal to announce.
    if (!superseded.empty()) removeItemsOnExecutor(superseded, false);
    if (accepted.empty()) return;
    itemTableWriter_.create(accepted);
    throttledModififiedFilesUpdater_.add(accepted);
    updateProgressCounts();
}

void BalancedDataManager::removeItemsOnExecutor(const std::vector<NanItem>& items, bool publish) {
    std::vector<NanItem> removed;
    removed.reserve(items.size());
    for (const NanItem& item : items) {
        std::optional<NanItem> registered = nanItemsDict_.item(item.combinedHash);
        // A 32-bit collision partner of another path keeps its slot: remove only what was asked for.
        if (registered && (item.urlString.empty() || registered->urlString == item.urlString)) {
            nanItemsDict_.remove(item.combinedHash);
        } else {
            registered.reset();
        }
        nanItemsDict_.dropFromInsertBuffer(item.combinedHash);
        removedHashes_.insert(item.combinedHash);
        removed.push_back(registered ? std::move(*registered) : item);
    }
    if (removedHashes_.size() > 200000) removedHashes_.clear();  // bounded; only guards late results

    for (const NanItem& item : removed) {
        // Unsupported files never got text or rectangles.
        if (item.processingState == NanItemProcessingStates::notSupported) continue;
        ftsDatabaseBalancer_.remove(item.combinedHash);
        numbersDatabaseBalancer_.remove(item.combinedHash);
        ocrRectsDatabaseBalancer_.deleteRects(item.combinedHash);
    }
    if (publish) throttledRemovedFilesUpdater_.add(removed);
    itemTableWriter_.remove(std::move(removed));
    updateProgressCounts();
}

std::vector<NanItem> BalancedDataManager::allItems() const {
    waitForInitToComplete();
    return nanItemsDict_.allItems();
}

std::vector<NanItem> BalancedDataManager::itemsWhere(const std::function<bool(const NanItem&)>& keep) const {
    waitForInitToComplete();
    return nanItemsDict_.itemsWhere(keep);
}

std::optional<NanItem> BalancedDataManager::itemById(const Uuid& id) const {
    waitForInitToComplete();
    return nanItemsDict_.itemForId(id);
}

std::optional<NanItem> BalancedDataManager::itemByPath(const std::string& path) const {
    waitForInitToComplete();
    return nanItemsDict_.itemForPath(normalisedRoot(path));
}

std::optional<NanItem> BalancedDataManager::itemByCombinedHash(uint32_t combinedHash) const {
    waitForInitToComplete();
    return nanItemsDict_.item(combinedHash);
}

ItemSortKeys BalancedDataManager::sortKeysForCombinedHashes(const std::vector<uint32_t>& combinedHashes) const {
    waitForInitToComplete();
    return nanItemsDict_.sortKeys(combinedHashes);
}

std::vector<NanItem> BalancedDataManager::itemsOfShard(uint32_t shard) const {
    waitForInitToComplete();
    return nanItemsDict_.itemsOfShard(shard);
}

std::size_t BalancedDataManager::itemCount() const {
    waitForInitToComplete();
    return nanItemsDict_.count();
}

std::optional<std::string> BalancedDataManager::pathForCombinedHash(uint32_t combinedHash) const {
    waitForInitToComplete();
    if (auto item = nanItemsDict_.item(combinedHash)) return std::move(item->urlString);
    return std::nullopt;
}

bool BalancedDataManager::isHashStored(uint32_t combinedHash) const {
    std::lock_guard lock(hashStorageMutex_);
    return hashStorage_[storage::balancerId(combinedHash)].contains(combinedHash);
}

void BalancedDataManager::updateProgressCounts() {
    int64_t pending = 0;
    int64_t done = 0;
    for (const auto& [state, count] : nanItemsDict_.stateCounts()) {
        (coordinator_states::isPending(state) ? pending : done) += count;
    }
    throttledProgressUpdater_.setCounts(pending, done);
}

bool BalancedDataManager::needsProcessing(const NanItem& item) const {
    return needsProcessing(item.combinedHash, item.processingState);
}

bool BalancedDataManager::needsProcessing(uint32_t combinedHash, NanItemProcessingStates state) const {
    return coordinator_states::awaitsProcessing(state) && !isHashStored(combinedHash);
}

std::optional<ExtensionSet> BalancedDataManager::excludedExtensions() const {
    return activeExcludedExtensions(Settings(settingsStore_), excludedExtensionsFile_);
}

}  // namespace lumidex::folders
