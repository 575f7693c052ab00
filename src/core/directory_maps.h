// Process-wide maps from an item key to that item's data directory, one per kind of per-item data.
// Thread-safe: one mutex per map guards every read and write. The shared maps are never destroyed, so
// they may be used while the process exits.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace lumidex {

class DirectoryMap {
public:
    explicit DirectoryMap(std::string label) : label_(std::move(label)) {}
    DirectoryMap(const DirectoryMap&) = delete;
    DirectoryMap& operator=(const DirectoryMap&) = delete;

    const std::string& label() const { return label_; }

    std::optional<std::filesystem::path> find(const std::string& key) const;
    void set(const std::string& key, std::filesystem::path directory);
    // The stored directory, or the one `make` returns, stored first. `make` runs under the map's lock
    // and must not use this map.
    std::filesystem::path findOrInsert(const std::string& key, const std::function<std::filesystem::path()>& make);
    bool erase(const std::string& key);
    void clear();
    std::size_t size() const;

private:
    const std::string label_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::filesystem::path> directories_;
};

DirectoryMap& nanDataDirectories();    // "nanDataDirectoryDictSerialQueue": item data
DirectoryMap& nanAiDataDirectories();  // "nanAiDataDirectoryDictSerialQueue": AI-folder item data
DirectoryMap& sqliteDataDirectories(); // "sqliteDataDirectoryDictSerialQueue": database files
DirectoryMap& cloudDataDirectories();  // "cloudDataDirectoryDictSerialQueue": cloud-extraction files

}  // namespace lumidex
