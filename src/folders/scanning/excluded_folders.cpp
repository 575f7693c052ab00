#include "folders/scanning/excluded_folders.h"

#include "folders/scanning/file_types.h"
#include "folders/scanning/scan_file_system.h"

namespace lumidex::folders {

ExcludedFolderCache& ExcludedFolderCache::shared() {
    static ExcludedFolderCache cache;
    return cache;
}

bool ExcludedFolderCache::isExcludedFolder(std::string_view name, const std::string& path, ScanFileSystem& fileSystem,
                                           Clock::time_point now) {
    const std::string lower = asciiLowerCase(name);
    if (lower == "node_modules" || lower == "deriveddata") return true;
    const bool isBuild = lower == "build";
    const bool isLibrary = name == "Library";
    if (!isBuild && !isLibrary) return false;

    {
        std::lock_guard lock(mutex_);
        const auto found = entries_.find(path);
        if (found != entries_.end() && now - found->second.stored < lifetime) return found->second.excluded;
    }

    bool excluded = false;
    if (isBuild) {
        for (std::string_view marker : kBuildFolderMarkers) {
            if (fileSystem.exists(path + "/" + std::string(marker))) {
                excluded = true;
                break;
            }
        }
    } else {
        excluded = fileSystem.exists(path + "/" + std::string(kLibraryFolderMarker));
    }

    std::lock_guard lock(mutex_);
    if (entries_.size() >= maxEntries) entries_.clear();
    entries_.insert_or_assign(path, Entry{excluded, now});
    return excluded;
}

std::size_t ExcludedFolderCache::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void ExcludedFolderCache::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

bool isExcludedFolder(std::string_view name, const std::string& path) {
    return ExcludedFolderCache::shared().isExcludedFolder(name, path, ScanFileSystem::local());
}

}  // namespace lumidex::folders
