#include "app/scan_command.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/data_directory.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/security_bookmarks.h"
#include "core/diagnostics_collector.h"
#include "processing/default_runner.h"
#include "storage/shard_layout.h"
#include "storage/image_capture_date.h"

namespace lumidex {
namespace {

std::string skippedDetail(const folders::ScanSkipCounts& s) {
    std::string detail;
    auto add = [&](uint64_t count, const char* label) {
        if (count == 0) return;
        if (!detail.empty()) detail += ", ";
        detail += std::to_string(count) + " " + label;
    };
    add(s.hiddenEntries, "hidden");
    add(s.excludedFolders, "excluded folders");
    add(s.symbolicLinks, "links");
    add(s.unreadableDirectories, "unreadable folders");
    add(s.permissionDenied, "permission denied");
    add(s.vanishedEntries, "vanished");
    add(s.statusErrors, "unreadable entries");
    add(s.directoryLoops, "loops");
    add(s.invalidNames, "invalid names");
    add(s.otherEntries, "other");
    return detail.empty() ? "" : " (" + detail + ")";
}

}  // namespace

void startWithDamagedShardsRebuilt(folders::BalancedDataManager& manager, std::ostream& out) {
    const std::vector<storage::DamagedShard> damaged = storage::moveDamagedShardsAside(manager.folderDataDirectory());
    manager.start();
    std::set<uint32_t> reread;
    for (const storage::DamagedShard& shard : damaged) {
        DiagnosticsCollector::shared().increment("storage.shard_rebuilt");
        out << "  damaged index file " << storage::subdirectory(shard.kind) << '/' << shard.shard << " (" << shard.problem
            << "): ";
        if (shard.movedTo.empty()) {
            out << "could not be moved aside; its documents stay missing from searches (see the debug log)\n";
            continue;
        }
        out << "kept as " << shard.movedTo.filename().string() << ", rebuilt from the files\n";
        // Lost item rows come back through the scan, which finds their files new; the other stores'
        // rows are made again by reading the documents once more.
        if (shard.kind != storage::StoreKind::items) reread.insert(shard.shard);
    }
    if (!reread.empty()) processing::requeueItemsOfShards(manager, reread);
}

folders::FullScanResult fullScanShowingProgress(folders::BalancedDataManager& manager, bool showProgress) {
    folders::ScanProgressCallback progress;
    if (showProgress) {
        progress = [](const folders::ScanProgress& p) {
            std::cout << "\r  scanning: " << p.entriesSeen << " entries, " << p.found << " files" << std::flush;
        };
    }
    folders::FullScanResult result = manager.fullScan(progress);
    if (showProgress) std::cout << "\r\033[K" << std::flush;
    return result;
}

namespace {

bool scanFolder(folders::CoreManagerData& core, const std::string& folder, bool showProgress) {
    std::cout << folder << '\n';
    auto manager = core.addFolder(folder);
    startWithDamagedShardsRebuilt(*manager, std::cout);
    const folders::FullScanResult result = fullScanShowingProgress(*manager, showProgress);

    std::cout << "  found:           " << result.found << '\n'
              << "  new:             " << result.newItems << '\n'
              << "  removed orphans: " << result.removedOrphans << '\n'
              << "  unsupported:     " << result.unsupported << '\n'
              << "  skipped:         " << result.skipped.total() << skippedDetail(result.skipped) << '\n';
    if (!result.reconciled) {
        std::cout << "  enumeration " << folders::name(result.outcome) << ": nothing was removed\n";
    }
    const auto status =
        processing::completeFolderProcessing(*manager, *processing::makeDefaultProcessingRunner(), std::cout, showProgress);
    core.removeFolder(folder);
    return result.outcome == folders::EnumerationOutcome::completed && status.notStored == 0;
}

void runScan(const std::string& path) {
    std::vector<std::string> foldersToScan;
    if (!path.empty()) {
        std::error_code ec;
        auto absolute = std::filesystem::absolute(path, ec);
        if (ec || !std::filesystem::is_directory(absolute, ec)) {
            std::cerr << "lumidex scan: not a folder: " << path << '\n';
            throw CLI::RuntimeError(1);
        }
        foldersToScan.push_back(absolute.lexically_normal().string());
    } else {
        foldersToScan = folders::SecurityBookmarks::shared().list();
        if (foldersToScan.empty()) {
            std::cout << "No searchable folders are stored. Run `lumidex scan PATH` to scan one folder.\n";
            return;
        }
    }

    const auto writer = holdIndexForWriting("scan");
    folders::CoreManagerData core(indexerDependencies());
    const bool showProgress = ::isatty(STDOUT_FILENO) == 1;
    bool allRead = true;
    for (const auto& folder : foldersToScan) allRead = scanFolder(core, folder, showProgress) && allRead;
    if (!allRead) throw CLI::RuntimeError(1);
}

}  // namespace

std::unique_ptr<platform::WriterLock> holdIndexForWriting(std::string_view command) {
    // Two indexers writing one index would both do all the work and race in its migrations.
    const std::string holder = "lumidex " + std::string(command) + " (process " + std::to_string(::getpid()) + ")";
    std::string error;
    auto lock = platform::WriterLock::acquire(dataDirectory() / "indexer.lock", holder, [&](const std::string& current) {
        std::cout << "Waiting for " << current << ", which is updating the index, to finish ..." << std::endl;
    }, error);
    if (!lock) {
        std::cerr << "lumidex " << command << ": cannot take the index for writing: " << error << '\n';
        throw CLI::RuntimeError(1);
    }
    return lock;
}

folders::CoreManagerDataDependencies indexerDependencies() {
    folders::CoreManagerDataDependencies dependencies;
    dependencies.processingRunner = processing::makeDefaultProcessingRunner();
    dependencies.imageCaptureDate = storage::imageCaptureDate;
    return dependencies;
}

void addScanCommand(CLI::App& app) {
    auto path = std::make_shared<std::string>();
    auto* scan = app.add_subcommand("scan", "Scan the searchable folders (or PATH) and update the index of files");
    scan->add_option("PATH", *path, "scan only this folder");
    scan->callback([path] { runScan(*path); });
}

void indexFolderAndReport(folders::CoreManagerData& core, const std::string& folder,
                          processing::NanItemsProcessing& runner, bool showProgress, std::ostream& out) {
    out << "Indexing " << folder << std::endl;
    auto manager = core.addFolder(folder);
    startWithDamagedShardsRebuilt(*manager, out);
    const auto result = fullScanShowingProgress(*manager, showProgress);
    out << "  " << result.found << " files found, " << result.newItems << " new, " << result.removedOrphans
        << " removed, " << result.unsupported << " not supported" << std::endl;
    const auto status = processing::completeFolderProcessing(*manager, runner, out, showProgress,
                                                             std::chrono::milliseconds(500), false);
    if (!status.idle) {
        out << "  (recognising text inside digital PDFs continues in the background; their words "
               "become findable as it finishes)"
            << std::endl;
    }
}

}  // namespace lumidex
