// Full scans, reconciliation, file events, folder rescans and processing runs of the coordinator.
#include <algorithm>
#include <atomic>
#include <exception>

#include "core/app_log.h"
#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"
#include "core/diagnostics_collector.h"
#include "core/settings/settings.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/coordinator_states.h"
#include "folders/scanning/excluded_folders.h"
#include "folders/scanning/fast_directory_enumerator.h"
#include "folders/scanning/file_types.h"
#include "folders/scanning/scan_file_system.h"
#include "platform/unicode.h"

namespace lumidex::folders {
namespace {

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// True when the path or one of its ancestors is in the set.
bool isWithinAny(const std::string& path, const std::set<std::string>& folders) {
    if (folders.empty()) return false;
    if (folders.contains(path)) return true;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (folders.contains(path.substr(0, slash))) return true;
    }
    return false;
}

FullScanResult unfinishedResult(const std::string& folder, EnumerationOutcome outcome) {
    FullScanResult result;
    result.folder = folder;
    result.outcome = outcome;
    return result;
}

}  // namespace

struct BalancedDataManager::ScanState {
    // With items registered already, candidates come identity-only: the commit builds items just for the
    // versions the registry lacks. A first scan builds them on the walk's thread, beside the commits.
    ScanState(std::string nfcFolder, const std::string& rootFolder, std::optional<ExtensionSet> excluded,
              std::size_t registeredItems)
        : folder(std::move(nfcFolder)),
          classifyOnExecutor(registeredItems > 0),
          enumerator(rootFolder, std::move(excluded), classifyOnExecutor, registeredItems) {}

    // Only the hash: most scans find nothing to process, and the items are read once at the end. The
    // enumerator hands out each version once per scan, so no version comes here twice.
    void addToProcess(uint32_t combinedHash) { toProcess.push_back(combinedHash); }

    const std::string folder;  // NFC: the scope of the reconciliation
    const bool classifyOnExecutor;
    FastDirectoryEnumerator enumerator;
    // Batches handed to the executor and not yet committed: the walk goes on meanwhile, up to a bound.
    std::atomic<int> uncommittedBatches{0};
    // Executor only:
    std::unordered_set<std::string> goneSinceStart;     // paths events reported gone during the walk
    std::unordered_set<std::string> updatedSinceStart;  // paths events or saves registered during the walk
    std::vector<uint32_t> toProcess;
    // Known versions whose file was written again within the second that names them: same
    // combinedHash, other content. Read again even though their hash is stored as processed.
    std::vector<uint32_t> rewritten;
    uint64_t newItems = 0;
};

// --- scans ---

BalancedDataManager::ScanTarget BalancedDataManager::scanTarget(const std::string& folder) const {
    std::string disk = withoutTrailingSlashes(folder);
    return ScanTarget{disk, withoutTrailingSlashes(platform::toNfc(disk))};
}

FullScanResult BalancedDataManager::fullScan(ScanProgressCallback progress, RunPriority priority) {
    return fullScan(rootFolderPath_, std::move(progress), priority);
}

FullScanResult BalancedDataManager::fullScan(const std::string& folder, ScanProgressCallback progress,
                                             RunPriority priority) {
    const ScanTarget target = scanTarget(folder);
    if (!isPathWithin(target.nfcPath, rootFolderUrlString_)) {
        appLog("[BalancedDataManager] " + target.nfcPath + " is not inside " + rootFolderUrlString_);
        return unfinishedResult(target.nfcPath, EnumerationOutcome::rootUnreadable);
    }
    waitForInitToComplete();
    auto promise = std::make_shared<std::promise<FullScanResult>>();
    auto future = promise->get_future();
    post([this, target, priority, progress = std::move(progress), promise] {
        requestFolderScanOnExecutor(target, priority, progress,
                                    [promise](const FullScanResult& result) { promise->set_value(result); });
    });
    try {
        return future.get();
    } catch (const std::future_error&) {  // the coordinator went away before the scan could run
        return unfinishedResult(target.nfcPath, EnumerationOutcome::cancelled);
    }
}

void BalancedDataManager::requestFullScan(RunPriority priority) {
    beginWork();
    waitForInitToComplete([this, priority] {
        post([this, priority] { requestFolderScanOnExecutor(scanTarget(rootFolderPath_), priority, {}, {}); });
        endWork();
    });
}

void BalancedDataManager::requestFolderScanOnExecutor(const ScanTarget& target, RunPriority priority,
                                                      ScanProgressCallback progress, ScanCompletion completion) {
    if (isCancelled()) {
        if (completion) completion(unfinishedResult(target.nfcPath, EnumerationOutcome::cancelled));
        return;
    }
    if (runningFolderScans_.contains(target.nfcPath)) {
        // However many requests arrive meanwhile, one further scan serves them all.
        pendingFolderRescans_.insert(target.nfcPath);
        if (completion) pendingCompletions_[target.nfcPath].push_back(std::move(completion));
        auto [slot, inserted] = pendingPriorities_.try_emplace(target.nfcPath, priority);
        if (!inserted && static_cast<int>(priority) > static_cast<int>(slot->second)) slot->second = priority;
        diagnostics_.increment("bdm.folderscan.coalesced");
        return;
    }
    runningFolderScans_.insert(target.nfcPath);
    diagnostics_.record("bdm.folderscan." + rootFolderName_, lastPathComponent(target.nfcPath));
    std::vector<ScanCompletion> completions;
    if (completion) completions.push_back(std::move(completion));
    spawnScan(target, priority, std::move(progress), std::move(completions));
}

void BalancedDataManager::spawnScan(const ScanTarget& target, RunPriority priority, ScanProgressCallback progress,
                                    std::vector<ScanCompletion> completions) {
    beginWork();
    backgroundThreads_.spawn([this, target, priority, progress = std::move(progress),
                              completions = std::move(completions)]() mutable {
        struct Done {
            BalancedDataManager& self;
            ~Done() { self.endWork(); }
        } done{*this};
        FullScanResult result;
        try {
            result = runScan(target, priority, progress);
        } catch (const std::exception& e) {
            appLog("[BalancedDataManager] scan of " + target.nfcPath + " stopped: " + e.what());
            result = unfinishedResult(target.nfcPath, EnumerationOutcome::interrupted);
        }
        post([this, target, result, completions = std::move(completions)]() mutable {
            scanEndedOnExecutor(target, result, std::move(completions));
        });
    });
}

void BalancedDataManager::scanEndedOnExecutor(const ScanTarget& target, const FullScanResult& result,
                                              std::vector<ScanCompletion> completions) {
    runningFolderScans_.erase(target.nfcPath);
    for (auto& completion : completions) completion(result);
    if (pendingFolderRescans_.erase(target.nfcPath) == 0) return;

    auto waiting = std::move(pendingCompletions_[target.nfcPath]);
    pendingCompletions_.erase(target.nfcPath);
    const RunPriority priority = pendingPriorities_[target.nfcPath];
    pendingPriorities_.erase(target.nfcPath);
    if (isCancelled()) {
        for (auto& completion : waiting) completion(unfinishedResult(target.nfcPath, EnumerationOutcome::cancelled));
        return;
    }
    runningFolderScans_.insert(target.nfcPath);
    diagnostics_.record("bdm.folderscan." + rootFolderName_, lastPathComponent(target.nfcPath));
    spawnScan(target, priority, {}, std::move(waiting));
}

FullScanResult BalancedDataManager::runScan(const ScanTarget& target, RunPriority priority,
                                            const ScanProgressCallback& progress) {
    FullScanResult result;
    result.folder = target.nfcPath;
    // A rescan usually finds about what the registry holds.
    auto scan = std::make_shared<ScanState>(target.nfcPath, rootFolderUrlString_, excludedExtensions(),
                                            nanItemsDict_.count());
    executor_->sync([&] { activeScans_.push_back(scan); });

    EnumerationResult walk;
    try {
        DirectoryEnumerator enumerator(fileSystem_, excludedFolderCache_);
        std::vector<EnumeratedEntry> batch;
        batch.reserve(scanBatchSize_);
        uint64_t entriesSeen = 0;
        // The walk and the commits (registry, on the executor) overlap; a few batches may wait, then the
        // walk helps the executor catch up (sync runs the queued tasks, in order). Each batch is classified
        // on whichever side has less to do: the walk's thread while a first scan builds every item, the
        // executor when a rescan mostly just looks versions up.
        constexpr int maxUncommittedBatches = 4;
        auto handOver = [&] {
            if (batch.empty()) return;
            entriesSeen += batch.size();
            std::vector<HandleUrlResult> candidates;
            std::vector<EnumeratedEntry> entries;
            if (scan->classifyOnExecutor) {
                entries = std::move(batch);
            } else {
                candidates = scan->enumerator.processBatch(batch);
            }
            batch.clear();
            batch.reserve(scanBatchSize_);
            if (scan->uncommittedBatches.load() >= maxUncommittedBatches) executor_->sync([] {});
            ++scan->uncommittedBatches;
            post([this, scan, entries = std::move(entries), candidates = std::move(candidates)]() mutable {
                struct Committed {
                    ScanState& scan;
                    ~Committed() { --scan.uncommittedBatches; }
                } committed{*scan};
                if (!entries.empty()) candidates = scan->enumerator.processBatch(entries);
                commitBatchOnExecutor(*scan, candidates);
            });
            if (progress) progress(ScanProgress{target.nfcPath, entriesSeen, scan->enumerator.acceptedCount()});
        };
        walk = enumerator.enumerate(target.diskPath, cancellationToken_, [&](EnumeratedEntry&& entry) {
            batch.push_back(std::move(entry));
            if (batch.size() >= scanBatchSize_) handOver();
        });
        handOver();
    } catch (const std::exception& e) {
        appLog("[BalancedDataManager] walk of " + target.nfcPath + " stopped: " + e.what());
        walk.outcome = EnumerationOutcome::interrupted;
    }

    result.outcome = walk.outcome;
    result.skipped = walk.skipped;

    executor_->sync([&] {
        // Every batch is classified and committed now (the executor runs its tasks in order).
        result.skipped.otherEntries += scan->enumerator.rejectedCount();
        result.found = scan->enumerator.acceptedCount();
        result.unsupported = scan->enumerator.notSupportedCount();
        flushInsertBufferOnExecutor();
        std::erase(activeScans_, scan);
        result.newItems = scan->newItems;
        if (walk.isComplete() && !isCancelled()) {
            result.removedOrphans = reconcileOnExecutor(*scan, walk.unreadablePaths);
            result.reconciled = true;
        } else {
            // Whatever the walk did not reach would look deleted: leave the tables alone.
            appLog("[SyncCleanup] Skipped for " + target.nfcPath + ": enumeration " + std::string(name(walk.outcome)));
        }
        // Still waiting (a file event or a run may have moved them on meanwhile); copied only for a runner.
        std::vector<NanItem> toProcess;
        for (const uint32_t combinedHash : scan->toProcess) {
            if (!processingRunner_) {
                if (auto state = nanItemsDict_.stateOf(combinedHash); state && needsProcessing(combinedHash, *state)) {
                    ++result.queuedForProcessing;
                }
                continue;
            }
            auto current = nanItemsDict_.item(combinedHash);
            if (current && needsProcessing(*current)) toProcess.push_back(std::move(*current));
        }
        for (const uint32_t combinedHash : scan->rewritten) {
            auto current = nanItemsDict_.item(combinedHash);
            if (!current || !coordinator_states::awaitsProcessing(current->processingState)) continue;
            if (processingRunner_) {
                toProcess.push_back(std::move(*current));
            } else {
                ++result.queuedForProcessing;
            }
        }
        if (processingRunner_) result.queuedForProcessing = toProcess.size();
        updateProgressCounts();
        const bool nothingToProcess = toProcess.empty();
        queueForProcessingOnExecutor(std::move(toProcess), priority);
        // A process that stopped before its deferred passes were done left them to this one.
        if (processingRunner_ && nothingToProcess && !processingActive_ && !isCancelled() &&
            processingRunner_->owesWork(*this)) {
            startRunOnExecutor({}, priority, true);
        }
    });
    // The scan's rows are stored when it reports back.
    itemTableWriter_.flush();
    return result;
}

void BalancedDataManager::commitBatchOnExecutor(ScanState& scan, std::vector<HandleUrlResult>& candidates) {
    std::vector<NanItem> inserted;
    for (HandleUrlResult& candidate : candidates) {
        if (isCancelled()) break;
        const NanItem& found = candidate.nanItem;
        if (auto known = nanItemsDict_.stateOf(candidate.combinedHash, found.urlString)) {
            const auto storedDate = nanItemsDict_.modifiedDateForPath(found.urlString);
            if (candidate.isProcessingItem && storedDate && *storedDate != found.fileModifiedDate) {
                completeCandidate(candidate, rootFolderUrlString_);
                scan.rewritten.push_back(candidate.combinedHash);
                insertItemOnExecutor(std::move(candidate.nanItem), false, &inserted);
                continue;
            }
            if (needsProcessing(candidate.combinedHash, *known)) scan.addToProcess(candidate.combinedHash);
            continue;
        }
        // A file event handled this path while the walk was under way. Its word is at least as recent as
        // the walk's (and if the file changed again since, another event is on its way): keep it.
        if (scan.goneSinceStart.contains(found.urlString)) continue;
        if (scan.updatedSinceStart.contains(found.urlString)) {
            if (auto byPath = nanItemsDict_.itemForPath(found.urlString)) scan.enumerator.markSeen(byPath->combinedHash);
            continue;
        }
        markSeenInActiveScansOnExecutor(candidate.combinedHash, found.urlString, &scan);
        ++scan.newItems;
        if (candidate.isProcessingItem) scan.addToProcess(candidate.combinedHash);
        completeCandidate(candidate, rootFolderUrlString_);  // a rescan's candidates are identity-only
        insertItemOnExecutor(std::move(candidate.nanItem), true, &inserted);
    }
    throttledModififiedFilesUpdater_.add(std::move(inserted));
    updateProgressCounts();
}

uint64_t BalancedDataManager::reconcileOnExecutor(ScanState& scan, const std::vector<std::string>& unreadablePaths) {
    // The scan is out of activeScans_ now: nothing marks versions in it any more.
    const auto seen = scan.enumerator.takeDeleteSyncDict();
    std::set<std::string> spared;
    for (const auto& path : unreadablePaths) spared.insert(withoutTrailingSlashes(platform::toNfc(path)));

    auto perShard = parallelMap(
        storage::loadBalancerCount,
        [&](std::size_t shard) {
            return nanItemsDict_.itemsOfShard(static_cast<uint32_t>(shard), [&](const NanItem& item) {
                return !seen[shard].contains(item.combinedHash) && isPathWithin(item.urlString, scan.folder) &&
                       !isWithinAny(item.urlString, spared);
            });
        },
        pool_);
    std::vector<NanItem> orphans;
    for (auto& shard : perShard) std::move(shard.begin(), shard.end(), std::back_inserter(orphans));
    if (orphans.empty()) return 0;
    appLog("[SyncCleanup] Removing " + std::to_string(orphans.size()) +
           " orphaned DB entries (files deleted from disk)");
    removeItemsOnExecutor(orphans);
    return orphans.size();
}

void BalancedDataManager::flushInsertBufferOnExecutor() { itemTableWriter_.create(nanItemsDict_.takeInsertBuffer()); }

void BalancedDataManager::insertItemOnExecutor(NanItem item, bool buffered, std::vector<NanItem>* toPublish) {
    auto displaced = nanItemsDict_.upsert(item);
    removedHashes_.erase(item.combinedHash);
    // The old version of a changed file: its rows go, the new version replaces it in the interface.
    if (!displaced.samePathOtherVersion.empty()) removeItemsOnExecutor(displaced.samePathOtherVersion, false);
    if (!buffered) nanItemsDict_.dropFromInsertBuffer(item.combinedHash);
    // With nobody to tell (a first scan at start-up), the write takes the item itself instead of a copy.
    const bool publish = throttledModififiedFilesUpdater_.hasSubscribers();
    NanItem toWrite = publish ? NanItem(item) : std::move(item);
    if (buffered) {
        itemTableWriter_.create(nanItemsDict_.bufferInsert(std::move(toWrite)));
    } else {
        std::vector<NanItem> single;
        single.push_back(std::move(toWrite));
        itemTableWriter_.create(std::move(single));
    }
    if (!publish) return;
    if (toPublish != nullptr) {
        toPublish->push_back(std::move(item));
    } else {
        throttledModififiedFilesUpdater_.add(item);
    }
}

void BalancedDataManager::markSeenInActiveScansOnExecutor(uint32_t combinedHash, const std::string& path,
                                                          const ScanState* source) {
    for (const auto& scan : activeScans_) {
        if (!isPathWithin(path, scan->folder)) continue;
        scan->enumerator.markSeen(combinedHash);
        if (scan.get() == source) continue;
        scan->goneSinceStart.erase(path);
        scan->updatedSinceStart.insert(path);
    }
}

// --- file events ---

void BalancedDataManager::handleFileEvent(const std::string& path) {
    beginWork();
    waitForInitToComplete([this, path] {
        post([this, path] { handleFileEventOnExecutor(path); });
        endWork();
    });
}

bool BalancedDataManager::isIgnoredPath(const std::string& nfcPath) {
    if (nfcPath.size() <= rootFolderUrlString_.size()) return false;
    std::string folder = rootFolderUrlString_;
    std::size_t start = rootFolderUrlString_.size() + (rootFolderUrlString_ == "/" ? 0 : 1);
    while (start < nfcPath.size()) {
        const std::size_t slash = nfcPath.find('/', start);
        const std::string component = nfcPath.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (component.empty() || component.front() == '.') return true;
        if (slash == std::string::npos) {
            // The entry itself: its kind decides later, except for our own configuration in the root.
            return folder == rootFolderUrlString_ && component == kFolderConfigFileName;
        }
        folder = nfcPath.substr(0, slash);
        if (excludedFolderCache_.isExcludedFolder(component, folder, fileSystem_)) return true;
        start = slash + 1;
    }
    return false;
}

void BalancedDataManager::handleFileEventOnExecutor(const std::string& rawPath) {
    if (isCancelled()) return;
    std::string diskPath = withoutTrailingSlashes(rawPath);
    if (auto package = enclosingPackage(diskPath, rootFolderUrlString_)) diskPath = std::move(*package);
    const std::string path = withoutTrailingSlashes(platform::toNfc(diskPath));
    if (!isPathWithin(path, rootFolderUrlString_) || isIgnoredPath(path)) return;

    std::error_code error;
    const std::optional<FileStatus> status = fileSystem_.status(diskPath, false, error);
    if (!status && path == rootFolderUrlString_) {
        // An unmounted or renamed root says nothing about its files: keep the index until a scan can tell.
        appLog("[BalancedDataManager] root folder not reachable: " + rootFolderUrlString_);
        return;
    }
    const std::optional<NanItem> existing = nanItemsDict_.itemForPath(path);
    if (existing && status && status->modified && *status->modified == existing->fileModifiedDate) {
        diagnostics_.increment("bdm.event.unchanged_skip");
        throttledModififiedFilesUpdater_.add(*existing);
        return;
    }
    const bool isFolder = status && status->isDirectory() && !isPackageName(path);
    if (aiFolderRouting_ && status && !isFolder && path != rootFolderUrlString_ &&
        path.substr(0, path.rfind('/')) == rootFolderUrlString_) {
        aiFolderRouting_(path);
    }
    if (isFolder) {
        if (path != rootFolderUrlString_ &&
            excludedFolderCache_.isExcludedFolder(lastPathComponent(path), path, fileSystem_)) {
            return;
        }
        diagnostics_.increment("bdm.event.folder");
        folderRescanOnExecutor(diskPath, path);
        return;
    }

    diagnostics_.increment("bdm.event.file");
    const auto excluded = excludedExtensions();
    std::optional<HandleUrlResult> candidate;
    if (status) candidate = handleUrl(diskPath, *status, rootFolderUrlString_, excluded ? &*excluded : nullptr);
    if (!candidate) {
        for (const auto& scan : activeScans_) {
            scan->goneSinceStart.insert(path);
            scan->updatedSinceStart.erase(path);
        }
        // A vanished path may have been a folder: everything registered below it went with it.
        std::vector<NanItem> gone = status ? std::vector<NanItem>{} : nanItemsDict_.itemsWithin(path);
        if (status && existing) gone.push_back(*existing);
        if (gone.empty()) return;
        diagnostics_.increment("bdm.event.removed");
        const bool wasFolder = !status && (gone.size() > 1 || !existing);
        removeItemsOnExecutor(gone);
        if (wasFolder) throttledModififiedFilesUpdater_.add(folderItem(path, rootFolderUrlString_));
        return;
    }

    NanItem item = candidate->nanItem;
    if (!candidate->isProcessingItem) {
        item.processingState = NanItemProcessingStates::notSupported;
        item.fileContentCreatedDate = now();
    }
    insertItemOnExecutor(item, false);
    markSeenInActiveScansOnExecutor(item.combinedHash, item.urlString);
    updateProgressCounts();
    if (candidate->isProcessingItem) queueForProcessingOnExecutor({item}, RunPriority::medium);
}

void BalancedDataManager::folderRescanOnExecutor(const std::string& diskPath, const std::string& nfcPath) {
    std::error_code error;
    const auto status = fileSystem_.status(diskPath, false, error);
    const DirectoryListing listing = status && status->isDirectory() ? fileSystem_.list(diskPath, false)
                                                                      : DirectoryListing{{}, error};
    const bool listed = status && status->isDirectory() && !listing.error;
    const auto visible = std::count_if(listing.names.begin(), listing.names.end(),
                                       [](const std::string& name) { return !name.empty() && name.front() != '.'; });
    if (!listed || visible == 0) {
        if (listed) {
            // Listed and empty: nothing registered below it exists any more.
            auto gone = nanItemsDict_.itemsWithin(nfcPath);
            if (!gone.empty()) removeItemsOnExecutor(gone);
        }
        throttledModififiedFilesUpdater_.add(folderItem(nfcPath, rootFolderUrlString_));
        return;
    }
    requestFolderScanOnExecutor(ScanTarget{diskPath, nfcPath}, RunPriority::medium, {}, {});
}

// --- processing runs ---

bool BalancedDataManager::isProcessing() const { return processingActive_.load(); }

BalancedDataManager::RunFigures BalancedDataManager::runFigures() const {
    std::lock_guard lock(runFiguresMutex_);
    return RunFigures{activeRunHashes_.size(), queuedCount_};
}

bool BalancedDataManager::isInActiveRun(uint32_t combinedHash) const {
    std::lock_guard lock(runFiguresMutex_);
    return activeRunHashes_.contains(combinedHash);
}

std::map<NanItemProcessingStates, int64_t> BalancedDataManager::stateCounts() const {
    if (!isInitialized()) return {};
    return nanItemsDict_.stateCounts();
}

void BalancedDataManager::reprocess(std::vector<NanItem> items, RunPriority priority) {
    if (items.empty()) return;
    waitForInitToComplete();
    post([this, items = std::move(items), priority] {
        std::vector<NanItem> ready;
        for (const NanItem& item : items) {
            auto registered = nanItemsDict_.item(item.combinedHash);
            if (!registered || registered->urlString != platform::toNfc(item.urlString)) continue;
            registered->processingState = NanItemProcessingStates::readyForProcessing;
            if (isInActiveRun(item.combinedHash)) reprocessAfterRun_.insert(item.combinedHash);
            ready.push_back(std::move(*registered));
        }
        saveItemsOnExecutor(ready);
        queueForProcessingOnExecutor(std::move(ready), priority);
    });
}

void BalancedDataManager::queueForProcessing(std::vector<NanItem> items, RunPriority priority) {
    if (items.empty()) return;
    waitForInitToComplete();
    post([this, items = std::move(items), priority]() mutable { queueForProcessingOnExecutor(std::move(items), priority); });
}

void BalancedDataManager::queueForProcessingOnExecutor(std::vector<NanItem> items, RunPriority priority) {
    if (!processingRunner_ || isCancelled() || items.empty()) return;
    if (processingActive_) {
        std::unordered_set<uint32_t> queued;
        for (const NanItem& item : queuedForProcessing_) queued.insert(item.combinedHash);
        for (NanItem& item : items) {
            if (queued.insert(item.combinedHash).second) queuedForProcessing_.push_back(std::move(item));
        }
        if (static_cast<int>(priority) > static_cast<int>(queuedPriority_)) queuedPriority_ = priority;
        std::lock_guard lock(runFiguresMutex_);
        queuedCount_ = queuedForProcessing_.size();
        return;
    }
    startRunOnExecutor(std::move(items), priority);
}

void BalancedDataManager::startRunOnExecutor(std::vector<NanItem> items, RunPriority priority, bool resumeOnly) {
    // Only the versions still registered and still waiting: anything else changed since it was queued.
    // The registered version takes the queued one's place in the list, so that a first scan's list
    // and the run's are not held in full side by side.
    std::unordered_set<uint32_t> taken;
    std::size_t kept = 0;
    for (NanItem& item : items) {
        auto registered = nanItemsDict_.item(item.combinedHash);
        const bool waits = registered && registered->urlString == item.urlString &&
                           coordinator_states::awaitsProcessing(registered->processingState);
        if (waits && taken.insert(item.combinedHash).second) {
            items[kept++] = std::move(*registered);
        } else {
            item = NanItem{};
        }
    }
    items.resize(kept);
    if (kept < items.capacity() / 2) items.shrink_to_fit();  // the run holds it until its end
    std::vector<NanItem> current = std::move(items);
    if (current.empty() && !resumeOnly) return;

    const Settings settings(settingsStore_);
    ProcessingRunSettings runSettings;
    runSettings.rootFolderUrl = rootFolderUrlString_;
    runSettings.cancellationToken = cancellationToken_;
    runSettings.activeProcessId = activeProcessId_;
    runSettings.useCloudService = settings.useCloudService();
    runSettings.lowResImages = settings.lowResImages();
    runSettings.slowHardDrive = settings.slowHardDrive();
    runSettings.priority = priority;

    processingActive_ = true;
    {
        std::lock_guard lock(runFiguresMutex_);
        activeRunHashes_ = std::move(taken);
    }
    beginWork();
    backgroundThreads_.spawn([this, runner = processingRunner_, current = std::move(current), runSettings]() mutable {
        struct Done {
            BalancedDataManager& self;
            ~Done() { self.endWork(); }
        } done{*this};
        try {
            if (current.empty()) {
                runner->resumeOwedWork(*this, runSettings);
            } else {
                runner->run(*this, std::move(current), runSettings);
            }
        } catch (const std::exception& e) {
            appLog("[BalancedDataManager] processing run in " + rootFolderName_ + " failed: " + e.what());
        } catch (...) {
            appLog("[BalancedDataManager] processing run in " + rootFolderName_ + " failed");
        }
        post([this] { runEndedOnExecutor(); });
    });
}

void BalancedDataManager::runEndedOnExecutor() {
    processingActive_ = false;
    {
        std::lock_guard lock(runFiguresMutex_);
        activeRunHashes_.clear();
        queuedCount_ = 0;
    }
    if (!reprocessAfterRun_.empty() && !isCancelled()) {
        // The run may have saved its result for these after they were asked for again.
        std::vector<NanItem> again;
        for (uint32_t combinedHash : reprocessAfterRun_) {
            auto registered = nanItemsDict_.item(combinedHash);
            if (!registered || coordinator_states::awaitsProcessing(registered->processingState)) continue;
            registered->processingState = NanItemProcessingStates::readyForProcessing;
            again.push_back(std::move(*registered));
        }
        saveItemsOnExecutor(again);
    }
    reprocessAfterRun_.clear();
    if (queuedForProcessing_.empty() || isCancelled()) {
        queuedForProcessing_.clear();
        return;
    }
    auto next = std::move(queuedForProcessing_);
    queuedForProcessing_.clear();
    const RunPriority priority = queuedPriority_;
    queuedPriority_ = RunPriority::low;
    startRunOnExecutor(std::move(next), priority);
}

}  // namespace lumidex::folders
