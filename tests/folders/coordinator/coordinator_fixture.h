// Shared set-up for coordinator tests: a folder on disk, a private data directory, settings, diagnostics
// and a fault-injecting file system, plus helpers to compare the coordinator with the truth on disk.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/diagnostics_collector.h"
#include "core/settings/settings_keys.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/scanning/excluded_folders.h"
#include "folders/scanning/test_file_system.h"
#include "storage/item_balancer.h"
#include "support/temp_home.h"

namespace lumidex::folders::testing {

using namespace std::chrono_literals;

// Records every run; optionally holds the first run until released. Saves each item as complete.
class RecordingRunner : public ProcessingRunner {
public:
    void run(BalancedDataManager& manager, std::vector<NanItem> items, const ProcessingRunSettings& settings) override {
        const int now = ++active;
        {
            std::unique_lock lock(mutex);
            maxActive = std::max(maxActive, now);
            runs.push_back(items);
            lastSettings = settings;
            changed.notify_all();
            if (holdFirstRun && runs.size() == 1) {
                // Polled: cancelling does not notify this test double.
                while (!released && !settings.cancellationToken.isCancelled()) changed.wait_for(lock, 5ms);
            }
        }
        for (NanItem& item : items) {
            if (settings.cancellationToken.isCancelled()) break;
            item.processingState = NanItemProcessingStates::complete;
            item.totalPageCount = 1;
            manager.saveItem(item);
            manager.throttledProgressUpdater().addOcrPages(1);
        }
        --active;
    }

    bool waitForRuns(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return runs.size() >= count; });
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    std::vector<std::vector<NanItem>> allRuns() {
        std::lock_guard lock(mutex);
        return runs;
    }

    bool holdFirstRun = false;
    std::atomic<int> active{0};
    int maxActive = 0;
    ProcessingRunSettings lastSettings;

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<NanItem>> runs;
    bool released = false;
};

// A scratch folder in memory when the machine offers one: a coordinator creates some eighty SQLite files,
// and syncing them to a slow disk would make every test take seconds. Removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = "/dev/shm/lumidex-test-XXXXXX";
        std::error_code ec;
        if (std::filesystem::is_directory("/dev/shm", ec) && ::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        } else {
            fallback_ = std::make_unique<lumidex::testing::TempDir>();
            path_ = fallback_->path();
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!fallback_) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::unique_ptr<lumidex::testing::TempDir> fallback_;
};

class CoordinatorTest : public ::testing::Test {
protected:
    CoordinatorTest() {
        // The one-time refold of an index is tested on its own; elsewhere it would only cost time.
        settings.setInt(SettingsKeys::searchIndexFoldingVersion(root.string()), 1);
    }

    BalancedDataManagerDependencies dependencies(std::shared_ptr<ProcessingRunner> runner = nullptr) {
        BalancedDataManagerDependencies deps;
        deps.folderDataDirectory = dir.path() / "data" / "folder";
        deps.excludedExtensionsFile = dir.path() / "data" / "excluded_file_path_extensions.json";
        deps.settingsStore = &settings;
        deps.diagnostics = &diagnostics;
        deps.fileSystem = &fileSystem;
        deps.excludedFolderCache = &folderCache;
        deps.processingRunner = std::move(runner);
        deps.updaterIntervals = ThrottleIntervals{2s, 20ms};
        deps.scanBatchSize = 40;
        deps.insertBufferSize = 40;
        return deps;
    }

    std::unique_ptr<BalancedDataManager> make(std::shared_ptr<ProcessingRunner> runner = nullptr) {
        return std::make_unique<BalancedDataManager>(root.string(), dependencies(std::move(runner)));
    }

    std::unique_ptr<BalancedDataManager> started(std::shared_ptr<ProcessingRunner> runner = nullptr) {
        auto manager = make(std::move(runner));
        manager->start();
        return manager;
    }

    std::filesystem::path file(const std::string& relative, const std::string& content = "x") {
        const auto path = root / relative;
        makeFile(path, content);
        return path;
    }

    // Path -> modification seconds of every file the scanner must know (regular files, no hidden ones).
    std::map<std::string, double> truthOnDisk() const {
        std::map<std::string, double> truth;
        for (auto it = std::filesystem::recursive_directory_iterator(root); it != std::filesystem::recursive_directory_iterator(); ++it) {
            if (!it->is_regular_file()) continue;
            std::error_code ec;
            auto status = ScanFileSystem::local().status(it->path().string(), false, ec);
            truth[it->path().string()] = secondsSince1970(*status->modified);
        }
        return truth;
    }

    static std::map<std::string, double> registryOf(const std::vector<NanItem>& items) {
        std::map<std::string, double> found;
        for (const NanItem& item : items) found[item.urlString] = secondsSince1970(item.fileModifiedDate);
        return found;
    }

    // The rows of the item tables, read directly.
    std::vector<NanItem> storedRows() const {
        storage::SqliteDatabaseBalancer balancer(dir.path() / "data" / "folder", root.string());
        return balancer.initializeAsync();
    }

    ScratchDir dir;
    std::filesystem::path root = dir.path() / "root";
    SettingsStore settings{dir.path() / "settings.json"};
    DiagnosticsCollector diagnostics;
    ExcludedFolderCache folderCache;
    FaultInjectingFileSystem fileSystem;
};

}  // namespace lumidex::folders::testing
