#include "folders/coordinator/core_manager_data.h"

#include <map>

#include "core/app_log.h"
#include "core/concurrency/thread_pool.h"
#include "core/data_directory.h"
#include "core/diagnostics_collector.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/coordinator_states.h"
#include "folders/scanning/excluded_extensions.h"
#include "folders/scanning/file_types.h"
#include "platform/unicode.h"

namespace lumidex::folders {
namespace {

std::string folderKey(const std::string& rootFolder) {
    std::string key = platform::toNfc(rootFolder);
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    return key;
}

}  // namespace

// --- DirectoryScannerActor ---

DirectoryScannerActor::~DirectoryScannerActor() { stop(); }

void DirectoryScannerActor::scan(const std::shared_ptr<BalancedDataManager>& manager, bool background) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push_back(Request{manager, background});
    if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
    changed_.notify_all();
}

void DirectoryScannerActor::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Request request = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        if (auto manager = request.manager.lock(); manager && !manager->isCancelled()) {
            const std::string folder = manager->rootFolderUrlString();
            appLog("handleWithBlocks startet " + folder);
            manager->fullScan({}, request.background ? RunPriority::background : RunPriority::low);
            appLog("handleWithBlocks completed " + folder);
        }
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

bool DirectoryScannerActor::waitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return stopping_ || (queue_.empty() && !busy_); });
}

void DirectoryScannerActor::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
        changed_.notify_all();
    }
    if (worker_.joinable()) {
        if (worker_.get_id() == std::this_thread::get_id()) {
            worker_.detach();
        } else {
            worker_.join();
        }
    }
}

// --- CoreManagerData ---

CoreManagerData::CoreManagerData(CoreManagerDataDependencies dependencies)
    : dependencies_(std::move(dependencies)),
      dataDirectory_(dependencies_.dataDirectory.empty() ? lumidex::dataDirectory() : dependencies_.dataDirectory),
      executor_("CoreManagerData",
                dependencies_.pool != nullptr ? *dependencies_.pool : ThreadPool::shared()) {
    // The process-wide defaults must outlive the shared instance, so they are created before it is.
    if (dependencies_.settingsStore == nullptr) dependencies_.settingsStore = &SettingsStore::shared();
    if (dependencies_.diagnostics == nullptr) dependencies_.diagnostics = &DiagnosticsCollector::shared();
    if (dependencies_.pool == nullptr) dependencies_.pool = &ThreadPool::shared();
}

CoreManagerData::~CoreManagerData() {
    cancelAll();
    directoryScanner_.stop();
    std::map<std::string, std::shared_ptr<BalancedDataManager>> managers;
    {
        std::lock_guard lock(mutex_);
        managers.swap(balancedDataManagerDict_);
    }
    managers.clear();
}

CoreManagerData& CoreManagerData::shared() {
    static CoreManagerData instance;
    return instance;
}

BalancedDataManagerDependencies CoreManagerData::managerDependencies(const std::string& nfcRoot) const {
    BalancedDataManagerDependencies deps;
    deps.folderDataDirectory = dependencies_.dataDirectory.empty() ? folderDataDirectory(nfcRoot)
                                                                   : folderDataDirectory(dataDirectory_, nfcRoot);
    deps.excludedExtensionsFile = excludedFileExtensionsPath(dataDirectory_);
    deps.settingsStore = dependencies_.settingsStore;
    deps.diagnostics = dependencies_.diagnostics;
    deps.fileSystem = dependencies_.fileSystem;
    deps.excludedFolderCache = dependencies_.excludedFolderCache;
    deps.pool = dependencies_.pool;
    deps.processingRunner = dependencies_.processingRunner;
    deps.observerFactory = dependencies_.observerFactory;
    deps.imageCaptureDate = dependencies_.imageCaptureDate;
    return deps;
}

std::shared_ptr<BalancedDataManager> CoreManagerData::addFolder(const std::string& rootFolder) {
    const std::string key = folderKey(rootFolder);
    return executor_.sync([&] {
        {
            std::lock_guard lock(mutex_);
            if (auto found = balancedDataManagerDict_.find(key); found != balancedDataManagerDict_.end()) {
                return found->second;
            }
        }
        auto manager = std::make_shared<BalancedDataManager>(rootFolder, managerDependencies(key));
        std::lock_guard lock(mutex_);
        balancedDataManagerDict_.emplace(key, manager);
        return manager;
    });
}

std::shared_ptr<BalancedDataManager> CoreManagerData::addAndStartFolder(const std::string& rootFolder,
                                                                        bool backgroundScan) {
    auto manager = addFolder(rootFolder);
    manager->startInBackground();
    directoryScanner_.scan(manager, backgroundScan);
    return manager;
}

bool CoreManagerData::removeFolder(const std::string& rootFolder) {
    const std::string key = folderKey(rootFolder);
    std::shared_ptr<BalancedDataManager> removed = executor_.sync([&] {
        std::lock_guard lock(mutex_);
        auto found = balancedDataManagerDict_.find(key);
        if (found == balancedDataManagerDict_.end()) return std::shared_ptr<BalancedDataManager>();
        auto manager = std::move(found->second);
        balancedDataManagerDict_.erase(found);
        return manager;
    });
    if (!removed) return false;
    removed->cancel();
    return true;  // the coordinator goes when its last user lets go of it
}

void CoreManagerData::startAll(bool backgroundScan) {
    for (const auto& manager : balancedDataManagers()) {
        if (manager->isInitialized()) continue;
        manager->startInBackground();
        directoryScanner_.scan(manager, backgroundScan);
    }
}

void CoreManagerData::cancelAll() {
    for (const auto& manager : balancedDataManagers()) manager->cancel();
}

std::shared_ptr<BalancedDataManager> CoreManagerData::balancedDataManager(const std::string& rootFolder) const {
    std::lock_guard lock(mutex_);
    const auto found = balancedDataManagerDict_.find(folderKey(rootFolder));
    return found == balancedDataManagerDict_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<BalancedDataManager>> CoreManagerData::balancedDataManagers() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<BalancedDataManager>> managers;
    for (const auto& [key, manager] : balancedDataManagerDict_) managers.push_back(manager);
    return managers;
}

std::vector<SupportedFileTypeItem> CoreManagerData::fileTypeTallies() const {
    std::map<std::string, SupportedFileTypeItem> tallies;
    for (const auto& manager : balancedDataManagers()) {
        if (!manager->isInitialized()) continue;
        for (const NanItem& item : manager->allItems()) {
            const std::string extension = lowerCaseExtension(item.fileName);
            auto& tally = tallies[extension];
            tally.fileExtension = extension;
            tally.supported = isSupportedExtension(extension);
            ++tally.fileCount;
            if (coordinator_states::isProcessed(item.processingState)) ++tally.handledCount;
        }
    }
    std::vector<SupportedFileTypeItem> result;
    for (auto& [extension, tally] : tallies) result.push_back(std::move(tally));
    return result;
}

bool CoreManagerData::refreshFileTypeStatistics(SupportedFileTypesSqliteManager& store) const {
    return store.replaceCounts(fileTypeTallies());
}

}  // namespace lumidex::folders
