// The application-wide owner of the folder coordinators: one BalancedDataManager per searchable folder in
// `balancedDataManagerDict` (keyed by the folder's NFC path), plus the directory scanner that runs every
// folder's first full scan, one folder after another.
//
// Dependencies are injected once at construction (tests pass their own data directory, settings, file
// system, processing runner and observer factory); shared() is the process's instance over the defaults.
// Removing a folder cancels its coordinator and drops it; its destructor (which waits for its scans and
// runs) then runs on whichever thread releases the last reference.
//
// Thread-safety: all members may be called from any thread. Adding, removing and starting folders run on
// the object's own executor ("CoreManagerData"); lookups take a mutex only. Nothing throws except on
// allocation failure.
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/concurrency/serial_executor.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/scanning/supported_file_types_store.h"

namespace lumidex::folders {

struct CoreManagerDataDependencies {
    std::filesystem::path dataDirectory;  // empty: the user's data directory
    SettingsStore* settingsStore = nullptr;
    DiagnosticsCollector* diagnostics = nullptr;
    ScanFileSystem* fileSystem = nullptr;
    ExcludedFolderCache* excludedFolderCache = nullptr;
    ThreadPool* pool = nullptr;
    std::shared_ptr<ProcessingRunner> processingRunner;
    FolderObserverFactory observerFactory;
    storage::CaptureDateReader imageCaptureDate;  // see BalancedDataManagerDependencies
};

// Runs first full scans one at a time, in the order asked, on a thread of its own. A folder removed
// before its turn is skipped. Logs "handleWithBlocks startet <folder>" and "handleWithBlocks completed
// <folder>" around each scan.
class DirectoryScannerActor {
public:
    DirectoryScannerActor() = default;
    ~DirectoryScannerActor();
    DirectoryScannerActor(const DirectoryScannerActor&) = delete;
    DirectoryScannerActor& operator=(const DirectoryScannerActor&) = delete;

    void scan(const std::shared_ptr<BalancedDataManager>& manager, bool background = false);
    bool waitUntilIdle(std::chrono::milliseconds timeout = std::chrono::hours(24));
    void stop();

private:
    struct Request {
        std::weak_ptr<BalancedDataManager> manager;
        bool background;
    };
    void work();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Request> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

class CoreManagerData {
public:
    explicit CoreManagerData(CoreManagerDataDependencies dependencies = {});
    ~CoreManagerData();
    CoreManagerData(const CoreManagerData&) = delete;
    CoreManagerData& operator=(const CoreManagerData&) = delete;

    static CoreManagerData& shared();

    // Creates the folder's coordinator (not started); an already present folder returns its coordinator.
    std::shared_ptr<BalancedDataManager> addFolder(const std::string& rootFolder);
    // addFolder, start-up in the background, then the first full scan through the directory scanner.
    std::shared_ptr<BalancedDataManager> addAndStartFolder(const std::string& rootFolder, bool backgroundScan = false);
    bool removeFolder(const std::string& rootFolder);
    // Start-up of every coordinator not yet started (concurrently), each followed by its first full scan.
    void startAll(bool backgroundScan = false);
    void cancelAll();

    std::shared_ptr<BalancedDataManager> balancedDataManager(const std::string& rootFolder) const;
    std::vector<std::shared_ptr<BalancedDataManager>> balancedDataManagers() const;

    // Per extension over all initialized folders: files found and files processed.
    std::vector<SupportedFileTypeItem> fileTypeTallies() const;
    bool refreshFileTypeStatistics(SupportedFileTypesSqliteManager& store) const;

    DirectoryScannerActor& directoryScanner() { return directoryScanner_; }
    const std::filesystem::path& dataDirectory() const { return dataDirectory_; }
    // The object's executor, e.g. for a responsiveness probe.
    SerialExecutor& executor() { return executor_; }

private:
    BalancedDataManagerDependencies managerDependencies(const std::string& nfcRoot) const;

    CoreManagerDataDependencies dependencies_;
    std::filesystem::path dataDirectory_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<BalancedDataManager>> balancedDataManagerDict_;
    DirectoryScannerActor directoryScanner_;
    SerialExecutor executor_;
};

}  // namespace lumidex::folders
