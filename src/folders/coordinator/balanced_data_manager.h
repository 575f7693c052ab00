// The coordinator of one searchable folder: owns the folder's four sharded stores and its hash store,
// keeps the folder's items in memory, loads them at start-up, runs full scans and the reconciliation of
// disk against the item tables, reacts to file events and hands items that need content extraction to
// the processing runner (one run at a time).
//
// Lifecycle: created (nothing read) -> start() (20 shards loaded concurrently, one-time index migration)
// -> initialized (waiting callers released in arrival order, also when a store failed) -> scanning/idle
// -> cancelled. Never re-initialized; destruction cancels, stops the observer, waits for its scans and
// runs, and writes what is buffered.
//
// Thread-safety: every public member may be called from any thread. Mutations (scan batches, file
// events, saves, removals, reconciliation) are serialised on the coordinator's own executor; reads go to
// the registry actor and do not wait for scans. Queries block until start-up has ended, so call start()
// (or let CoreManagerData do it) first. A scan never runs twice for one folder path at a time: requests
// made meanwhile coalesce into one further scan.
//
// Item-table writes are queued in order and gathered (ItemTableWriter): a scan's walk never waits for
// the disk. They are on disk when saveItems/removeItems or a full scan return, after waitUntilIdle(), and
// after destruction; the registry in memory is current at once.
//
// Crash safety: orphans are removed only after a walk that completed (unreadable folders and entries are
// spared), and the rows of a replaced version go only once its successor is registered. A kill at any
// point therefore loses at most versions that the next scan finds again (queued writes included): the
// next start-up and scan reconcile the tables to the truth on disk.
//
// Failure behaviour: nothing throws to callers (except std::bad_alloc); stores log their own errors
// and answer empty; single-file problems are skipped and counted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "core/concurrency/serial_executor.h"
#include "core/model/nan_item.h"
#include "folders/coordinator/background_threads.h"
#include "folders/coordinator/folder_observer.h"
#include "folders/coordinator/item_registry.h"
#include "folders/coordinator/item_table_writer.h"
#include "folders/coordinator/processing_runner.h"
#include "folders/coordinator/throttled_updaters.h"
#include "folders/scanning/directory_enumerator.h"
#include "folders/scanning/file_candidate.h"
#include "storage/fts_balancer.h"
#include "storage/hash_storage.h"
#include "storage/item_balancer.h"
#include "storage/ocr_rects_balancer.h"

namespace lumidex {
class DiagnosticsCollector;
class SettingsStore;
class ThreadPool;
}  // namespace lumidex

namespace lumidex::folders {

class ExcludedFolderCache;
class FastDirectoryEnumerator;
class ScanFileSystem;

// Everything a coordinator uses from outside; null or empty members take the process-wide default.
struct BalancedDataManagerDependencies {
    std::filesystem::path folderDataDirectory;     // default: folderDataDirectory(root) in the data directory
    std::filesystem::path excludedExtensionsFile;  // default: in the data directory
    SettingsStore* settingsStore = nullptr;
    DiagnosticsCollector* diagnostics = nullptr;
    ScanFileSystem* fileSystem = nullptr;
    ExcludedFolderCache* excludedFolderCache = nullptr;
    ThreadPool* pool = nullptr;
    std::shared_ptr<ProcessingRunner> processingRunner;  // none: items stay readyForProcessing
    FolderObserverFactory observerFactory;               // none: no observer
    // Called with each file placed directly in the root (AI folders); whatever it moves comes back as events.
    std::function<void(const std::string& path)> aiFolderRouting;
    // The capture date of an image, for its rows (storage::imageCaptureDate); none: rows keep the
    // item's own content date. Left to the caller so that only programs that write rows link the
    // image-metadata library.
    storage::CaptureDateReader imageCaptureDate;
    std::size_t scanBatchSize = 1000;
    std::size_t insertBufferSize = NanItemsUrlDictAsync::defaultBufferSize;
    ThrottleIntervals updaterIntervals;
};

struct FullScanResult {
    std::string folder;
    EnumerationOutcome outcome = EnumerationOutcome::completed;
    ScanSkipCounts skipped;
    uint64_t found = 0;                // files accepted as items (supported or not)
    uint64_t unsupported = 0;          // of those, not processable
    uint64_t newItems = 0;             // versions the registry did not know
    uint64_t removedOrphans = 0;       // registry versions no longer on disk
    uint64_t queuedForProcessing = 0;
    bool reconciled = false;           // false after a cancelled or incomplete walk
};

struct ScanProgress {
    std::string folder;
    uint64_t entriesSeen = 0;
    uint64_t found = 0;
};

using ScanProgressCallback = std::function<void(const ScanProgress&)>;

class BalancedDataManager {
public:
    BalancedDataManager(std::string rootFolder, BalancedDataManagerDependencies dependencies = {});
    ~BalancedDataManager();
    BalancedDataManager(const BalancedDataManager&) = delete;
    BalancedDataManager& operator=(const BalancedDataManager&) = delete;

    // --- lifecycle ---
    void start();              // runs start-up on the calling thread; later calls do nothing
    void startInBackground();  // the same on a thread of its own
    bool isInitialized() const;
    void waitForInitToComplete() const;
    // Runs `continuation` at once when initialized, else when start-up ends (in arrival order).
    void waitForInitToComplete(std::function<void()> continuation) const;
    void cancel();
    bool isCancelled() const { return cancellationToken_.isCancelled(); }
    const CancellationToken& cancellationToken() const { return cancellationToken_; }
    // Waits until no scan, event, run or queued work is left and the item tables are written (tests,
    // command line). False on timeout.
    bool waitUntilIdle(std::chrono::milliseconds timeout = std::chrono::hours(24));

    // --- scanning and events ---
    // Full scan of the root (or of a folder below it), blocking until it ended; waits for start-up first.
    FullScanResult fullScan(ScanProgressCallback progress = {}, RunPriority priority = RunPriority::medium);
    FullScanResult fullScan(const std::string& folder, ScanProgressCallback progress = {},
                            RunPriority priority = RunPriority::medium);
    // The same without waiting; coalesces with a running scan of the root.
    void requestFullScan(RunPriority priority = RunPriority::medium);
    // A changed path below the root (file or folder, present or gone). Returns at once.
    void handleFileEvent(const std::string& path);

    // --- items (queries block until start-up has ended) ---
    // Upsert into memory and the item table; a processed state also enters the hash store. A version
    // removed or replaced meanwhile is dropped (the late result of a run over an outdated version).
    void saveItem(const NanItem& item);
    // False when the item tables reported a failed write while these were stored (the write may have
    // been another caller's: false means "not known to be stored").
    bool saveItems(const std::vector<NanItem>& items);
    // Removes from memory and from the item, full-text, numbers and rectangle stores.
    void removeItems(const std::vector<NanItem>& items);
    // Hands items to the processing runner (or queues them behind the active run).
    void queueForProcessing(std::vector<NanItem> items, RunPriority priority = RunPriority::medium);
    // Processes these registered versions again, whatever their state: each is saved as
    // readyForProcessing and queued. A version inside the active run is set back and queued once more
    // when that run ends, so the run's own result cannot stand in for the new reading. Returns at once.
    void reprocess(std::vector<NanItem> items, RunPriority priority = RunPriority::medium);

    std::vector<NanItem> allItems() const;
    // The items `keep` accepts, without copying the others (a folder's items are most of an indexer's
    // memory). `keep` runs under the registry's lock: it must look at the item only.
    std::vector<NanItem> itemsWhere(const std::function<bool(const NanItem&)>& keep) const;
    std::optional<NanItem> itemById(const Uuid& id) const;
    std::optional<NanItem> itemByPath(const std::string& path) const;  // any spelling; compared in NFC
    std::optional<NanItem> itemByCombinedHash(uint32_t combinedHash) const;
    // See NanItemsUrlDictAsync::sortKeys.
    ItemSortKeys sortKeysForCombinedHashes(const std::vector<uint32_t>& combinedHashes) const;
    std::vector<NanItem> itemsOfShard(uint32_t shard) const;
    std::size_t itemCount() const;
    std::optional<std::string> pathForCombinedHash(uint32_t combinedHash) const;
    bool isHashStored(uint32_t combinedHash) const;  // processing reached a final state before

    // --- stores, publishers, state ---
    storage::SqliteDatabaseBalancer& databaseBalancer() { return databaseBalancer_; }
    storage::SqliteFtsDatabaseBalancer& ftsDatabaseBalancer() { return ftsDatabaseBalancer_; }
    storage::SqliteNumbersDatabaseBalancer& numbersDatabaseBalancer() { return numbersDatabaseBalancer_; }
    storage::SqliteOcrRectsDatabaseBalancer& ocrRectsDatabaseBalancer() { return ocrRectsDatabaseBalancer_; }
    storage::HashStorageActorManager& hashStorageActorManager() { return hashStorageActorManager_; }
    ThrottledNanItemRefreshUpdater& throttledModifiedFilesUpdater() { return throttledModififiedFilesUpdater_; }
    ThrottledNanItemRefreshUpdater& throttledRemovedFilesUpdater() { return throttledRemovedFilesUpdater_; }
    ThrottledProgressUpdater& throttledProgressUpdater() { return throttledProgressUpdater_; }
    ProgressItem progressItem() const { return throttledProgressUpdater_.current(); }
    bool isProcessing() const;
    // Items handed to the active run whose result is not saved yet (0 when none), and items queued
    // behind the run.
    struct RunFigures {
        std::size_t inRun = 0;
        std::size_t queued = 0;
    };
    RunFigures runFigures() const;
    bool isInActiveRun(uint32_t combinedHash) const;  // handed to the active run, result not saved yet
    // Registered versions per processing state (empty before start-up has ended; does not wait).
    std::map<NanItemProcessingStates, int64_t> stateCounts() const;
    int64_t hashProcessedFileCount() const { return hashProcessedFileCount_.load(); }

    const std::string& rootFolderUrlString() const { return rootFolderUrlString_; }
    const std::filesystem::path& folderDataDirectory() const { return folderDataDirectory_; }
    const std::string& activeProcessId() const { return activeProcessId_; }
    const std::string& activeOcrRectsProcessId() const { return activeOcrRectsProcessId_; }
    // The coordinator's executor, e.g. for a responsiveness probe.
    SerialExecutor& executor() { return *executor_; }

private:
    struct ScanState;
    // A folder to scan: the spelling found on disk (walked) and its NFC form (the key of everything else).
    struct ScanTarget {
        std::string diskPath;
        std::string nfcPath;
    };
    using ScanCompletion = std::function<void(const FullScanResult&)>;

    // All *OnExecutor members run on executor_ only.
    void post(std::function<void()> task);
    ScanTarget scanTarget(const std::string& folder) const;
    void requestFolderScanOnExecutor(const ScanTarget& target, RunPriority priority, ScanProgressCallback progress,
                                     ScanCompletion completion);
    void spawnScan(const ScanTarget& target, RunPriority priority, ScanProgressCallback progress,
                   std::vector<ScanCompletion> completions);
    void scanEndedOnExecutor(const ScanTarget& target, const FullScanResult& result,
                             std::vector<ScanCompletion> completions);
    FullScanResult runScan(const ScanTarget& target, RunPriority priority, const ScanProgressCallback& progress);
    // Completes identity-only candidates it has to insert.
    void commitBatchOnExecutor(ScanState& scan, std::vector<HandleUrlResult>& candidates);
    uint64_t reconcileOnExecutor(ScanState& scan, const std::vector<std::string>& unreadablePaths);
    void runEndedOnExecutor();
    bool isIgnoredPath(const std::string& nfcPath);
    void flushInsertBufferOnExecutor();
    // `toPublish`: collects the item for one announcement of the whole batch instead of announcing it.
    void insertItemOnExecutor(NanItem item, bool buffered, std::vector<NanItem>* toPublish = nullptr);
    void saveItemsOnExecutor(const std::vector<NanItem>& items);
    void removeItemsOnExecutor(const std::vector<NanItem>& items, bool publish = true);
    void handleFileEventOnExecutor(const std::string& rawPath);
    void folderRescanOnExecutor(const std::string& rawPath, const std::string& nfcPath);
    // `resumeOnly`: no items, the runner's owed work instead (ProcessingRunner::resumeOwedWork).
    void startRunOnExecutor(std::vector<NanItem> items, RunPriority priority, bool resumeOnly = false);
    void queueForProcessingOnExecutor(std::vector<NanItem> items, RunPriority priority);
    // `source`: the scan that found the version itself (it is not told about its own finding).
    void markSeenInActiveScansOnExecutor(uint32_t combinedHash, const std::string& path,
                                         const ScanState* source = nullptr);
    void updateProgressCounts();
    bool needsProcessing(const NanItem& item) const;
    bool needsProcessing(uint32_t combinedHash, NanItemProcessingStates state) const;
    std::optional<ExtensionSet> excludedExtensions() const;
    // Start-up only (before the registry is shared): sets the complete PDF and text documents among
    // these back to readyForProcessing in the item table and the registry, so that the next run reads
    // them again (their hashes stay stored: retryFailedItems queues them). False when a write failed.
    bool readAgainAtStart(const std::vector<uint32_t>& combinedHashes);
    void markInitialized();
    void beginWork();
    void endWork();

    const std::string rootFolderPath_;  // as given (the spelling on disk)
    const std::string rootFolderUrlString_;
    const std::string rootFolderName_;
    std::filesystem::path folderDataDirectory_;
    std::filesystem::path excludedExtensionsFile_;
    SettingsStore& settingsStore_;
    DiagnosticsCollector& diagnostics_;
    ScanFileSystem& fileSystem_;
    ExcludedFolderCache& excludedFolderCache_;
    ThreadPool& pool_;
    std::shared_ptr<ProcessingRunner> processingRunner_;
    std::function<void(const std::string&)> aiFolderRouting_;
    const std::size_t scanBatchSize_;
    const std::string activeProcessId_;
    const std::string activeOcrRectsProcessId_;
    CancellationToken cancellationToken_;

    storage::SqliteDatabaseBalancer databaseBalancer_;
    storage::SqliteFtsDatabaseBalancer ftsDatabaseBalancer_;
    storage::SqliteNumbersDatabaseBalancer numbersDatabaseBalancer_;
    storage::SqliteOcrRectsDatabaseBalancer ocrRectsDatabaseBalancer_;
    storage::HashStorageActorManager hashStorageActorManager_;

    NanItemsUrlDictAsync nanItemsDict_;
    mutable std::mutex hashStorageMutex_;
    std::array<std::unordered_set<uint32_t>, storage::loadBalancerCount> hashStorage_;
    std::atomic<int64_t> hashProcessedFileCount_{0};

    // Start-up: guarded by initMutex_.
    mutable std::mutex initMutex_;
    std::condition_variable initDone_;
    bool started_ = false;
    bool isInitialized_ = false;
    mutable std::vector<std::function<void()>> continuationBlockUntilInitComplete_;

    // Executor state.
    std::set<std::string> runningFolderScans_;
    std::set<std::string> pendingFolderRescans_;
    std::map<std::string, std::vector<ScanCompletion>> pendingCompletions_;
    std::map<std::string, RunPriority> pendingPriorities_;
    std::vector<std::shared_ptr<ScanState>> activeScans_;
    std::unordered_set<uint32_t> removedHashes_;  // versions removed since the last completed scan
    std::atomic<bool> processingActive_{false};
    std::vector<NanItem> queuedForProcessing_;
    RunPriority queuedPriority_ = RunPriority::low;
    std::unordered_set<uint32_t> reprocessAfterRun_;  // asked for again while in the active run
    // The active run's versions and the queue's length, readable from any thread.
    mutable std::mutex runFiguresMutex_;
    std::unordered_set<uint32_t> activeRunHashes_;
    std::size_t queuedCount_ = 0;

    // Outstanding work, for waitUntilIdle().
    mutable std::mutex workMutex_;
    std::condition_variable workDone_;
    int64_t outstandingWork_ = 0;

    // Every item-table write goes through here, in order; scans do not wait for the disk per batch.
    ItemTableWriter itemTableWriter_;

    ThrottledNanItemRefreshUpdater throttledModififiedFilesUpdater_;
    ThrottledNanItemRefreshUpdater throttledRemovedFilesUpdater_;
    ThrottledProgressUpdater throttledProgressUpdater_;

    BackgroundThreads backgroundThreads_;
    std::unique_ptr<FolderObserver> nanFilePresenter_;
    std::unique_ptr<SerialExecutor> executor_;
};

// The folder's data directory: the data directory's child named like the folder's bookmark file
// (without ".data"), created on first use and remembered in the process-wide map.
std::filesystem::path folderDataDirectory(const std::string& nfcRootFolder);
std::filesystem::path folderDataDirectory(const std::filesystem::path& dataDirectory, const std::string& nfcRootFolder);

}  // namespace lumidex::folders
