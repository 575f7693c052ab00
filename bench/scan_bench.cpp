// Scan benchmark: generates a folder tree of N files (mixed supported and unsupported types, a few
// hidden entries and excluded folders) and times the walk alone, the first full scan into empty stores
// (start-up included), a second full scan with nothing changed, and a restart that loads the stored
// items before an unchanged scan.
//
//   scan_bench [--files N] [--dir PATH]
//
// The tree and a private data directory live below PATH (default: a new folder in the temporary
// directory, removed afterwards). No processing run is started.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/diagnostics_collector.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/scanning/directory_enumerator.h"
#include "folders/scanning/excluded_folders.h"

using namespace lumidex;
using namespace lumidex::folders;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void writeTree(const std::filesystem::path& root, int files) {
    static const char* kExtensions[] = {"pdf", "jpg", "txt", "docx", "png", "md", "bin", "zip", "csv", "heic"};
    for (int i = 0; i < files; ++i) {
        // About 50 files per folder, three levels deep.
        const int folder = i / 50;
        const auto directory = root / ("a" + std::to_string(folder % 7)) / ("b" + std::to_string(folder % 13)) /
                               ("c" + std::to_string(folder));
        std::filesystem::create_directories(directory);
        std::ofstream(directory / ("file" + std::to_string(i) + "." + kExtensions[i % 10])) << i;
    }
    std::filesystem::create_directories(root / ".git");
    std::ofstream(root / ".git" / "config") << "x";
    std::filesystem::create_directories(root / "web" / "node_modules" / "lib");
    std::ofstream(root / "web" / "node_modules" / "lib" / "index.js") << "x";
}

void row(const char* phase, double seconds, int files) {
    std::printf("| %-34s | %9.3f s | %11.0f files/s |\n", phase, seconds, seconds > 0 ? files / seconds : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    int files = 20000;
    std::filesystem::path base;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--files") == 0) files = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--dir") == 0) base = argv[i + 1];
    }
    const bool ownBase = base.empty();
    if (ownBase) base = std::filesystem::temp_directory_path() / ("lumidex-scan-bench-" + std::to_string(::getpid()));
    const auto root = base / "tree";
    std::filesystem::remove_all(base);

    auto start = Clock::now();
    writeTree(root, files);
    std::printf("generated %d files in %.2f s\n\n", files, secondsSince(start));
    std::printf("| %-34s | %11s | %19s |\n|%s|%s|%s|\n", "phase", "time", "throughput", std::string(36, '-').c_str(),
                std::string(13, '-').c_str(), std::string(21, '-').c_str());

    ExcludedFolderCache cache;
    DirectoryEnumerator enumerator(ScanFileSystem::local(), cache);
    uint64_t yielded = 0;
    start = Clock::now();
    const auto walk = enumerator.enumerate(root.string(), CancellationToken(), [&](EnumeratedEntry&&) { ++yielded; });
    row("enumeration only", secondsSince(start), static_cast<int>(yielded));

    SettingsStore settings(base / "settings.json");
    DiagnosticsCollector diagnostics;
    BalancedDataManagerDependencies deps;
    deps.folderDataDirectory = base / "data" / "folder";
    deps.excludedExtensionsFile = base / "data" / "excluded_file_path_extensions.json";
    deps.settingsStore = &settings;
    deps.diagnostics = &diagnostics;
    deps.excludedFolderCache = &cache;

    FullScanResult first;
    {
        start = Clock::now();
        BalancedDataManager manager(root.string(), deps);
        manager.start();
        first = manager.fullScan();
        row("start-up + first full scan", secondsSince(start), static_cast<int>(first.found));
        start = Clock::now();
        const auto second = manager.fullScan();
        row("unchanged full scan", secondsSince(start), static_cast<int>(second.found));
    }
    {
        start = Clock::now();
        BalancedDataManager manager(root.string(), deps);
        manager.start();
        const double load = secondsSince(start);
        row("restart: load 20 shards", load, static_cast<int>(manager.itemCount()));
        start = Clock::now();
        const auto third = manager.fullScan();
        row("restart: unchanged full scan", secondsSince(start), static_cast<int>(third.found));
    }
    std::printf("\nwalk %s: %llu yielded, %llu skipped; scan: %llu found, %llu new, %llu unsupported\n",
                std::string(name(walk.outcome)).c_str(), static_cast<unsigned long long>(yielded),
                static_cast<unsigned long long>(walk.skipped.total()), static_cast<unsigned long long>(first.found),
                static_cast<unsigned long long>(first.newItems), static_cast<unsigned long long>(first.unsupported));
    if (ownBase) std::filesystem::remove_all(base);
    return 0;
}
