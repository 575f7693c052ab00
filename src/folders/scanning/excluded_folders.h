// Folders a scan never enters: dependency and derived-data folders by name, and build or tool folders
// recognised by a marker entry inside them. The same rule keeps the file-change observer quiet about
// them.
//
// The marker test touches the disk, and the same folders are asked about again on every file event, so
// answers for "build"/"Library" folders are kept for 60 seconds in a cache bounded at 1025 entries
// (emptied whole when full). Thread-safe: one mutex guards the cache and is never held during disk
// access. Never throws except on allocation failure.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace lumidex::folders {

class ScanFileSystem;

// "build" (any letter case) is a build folder when it holds one of these, tested in this order.
inline constexpr std::array<std::string_view, 13> kBuildFolderMarkers = {
    "CMakeLists.txt", "Makefile",         "makefile",      "package.json", "build.gradle",
    "build.gradle.kts", "settings.gradle", "settings.gradle.kts", "gradlew", "Cargo.toml",
    "meson.build",    "pom.xml",          "Package.swift"};
// "Library" (exactly) is a tool folder when it holds this.
inline constexpr std::string_view kLibraryFolderMarker = "ProjectSettings";

class ExcludedFolderCache {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration lifetime = std::chrono::seconds(60);
    static constexpr std::size_t maxEntries = 1025;

    ExcludedFolderCache() = default;
    ExcludedFolderCache(const ExcludedFolderCache&) = delete;
    ExcludedFolderCache& operator=(const ExcludedFolderCache&) = delete;

    // The one cache every scan and observer shares.
    static ExcludedFolderCache& shared();

    // `name` is the folder's last path component, `path` its full path.
    bool isExcludedFolder(std::string_view name, const std::string& path, ScanFileSystem& fileSystem,
                          Clock::time_point now = Clock::now());

    std::size_t size() const;
    void clear();

private:
    struct Entry {
        bool excluded;
        Clock::time_point stored;
    };
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

// The shared cache over the real file system.
bool isExcludedFolder(std::string_view name, const std::string& path);

}  // namespace lumidex::folders
