#include "core/directory_maps.h"

namespace lumidex {

std::optional<std::filesystem::path> DirectoryMap::find(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = directories_.find(key); it != directories_.end()) return it->second;
    return std::nullopt;
}

void DirectoryMap::set(const std::string& key, std::filesystem::path directory) {
    std::lock_guard lock(mutex_);
    directories_.insert_or_assign(key, std::move(directory));
}

std::filesystem::path DirectoryMap::findOrInsert(const std::string& key,
                                                 const std::function<std::filesystem::path()>& make) {
    std::lock_guard lock(mutex_);
    auto it = directories_.find(key);
    if (it == directories_.end()) it = directories_.emplace(key, make()).first;
    return it->second;
}

bool DirectoryMap::erase(const std::string& key) {
    std::lock_guard lock(mutex_);
    return directories_.erase(key) > 0;
}

void DirectoryMap::clear() {
    std::lock_guard lock(mutex_);
    directories_.clear();
}

std::size_t DirectoryMap::size() const {
    std::lock_guard lock(mutex_);
    return directories_.size();
}

namespace {
DirectoryMap& leaked(const char* label) { return *new DirectoryMap(label); }
}  // namespace

DirectoryMap& nanDataDirectories() {
    static DirectoryMap& map = leaked("nanDataDirectoryDictSerialQueue");
    return map;
}
DirectoryMap& nanAiDataDirectories() {
    static DirectoryMap& map = leaked("nanAiDataDirectoryDictSerialQueue");
    return map;
}
DirectoryMap& sqliteDataDirectories() {
    static DirectoryMap& map = leaked("sqliteDataDirectoryDictSerialQueue");
    return map;
}
DirectoryMap& cloudDataDirectories() {
    static DirectoryMap& map = leaked("cloudDataDirectoryDictSerialQueue");
    return map;
}

}  // namespace lumidex
