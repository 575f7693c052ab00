// The per-folder configuration: "folder_config.json" directly inside a root folder, one JSON object
// with string keys, written pretty-printed.
//
// Values cross this interface as JSON text ("true", "\"text\"", "{...}") so that callers need no JSON
// library. read() never fails: a missing, unreadable or non-object file is an empty configuration (a
// parse error is logged as "Fehler beim Lesen des JSON: " + the error). set() replaces the whole file
// atomically; failures are logged and reported as false. Each call is independent; two concurrent set()
// calls on one folder may lose one of the two keys, so callers serialise writes to the same folder.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "folders/registry/security_bookmarks.h"

namespace lumidex::folders {

class RootFolderConfigManager {
public:
    static constexpr std::string_view keyAiFolder = "aifolder";
    static constexpr std::string_view keyAiSourceFolder = "aiSourceFolder";
    static constexpr std::string_view fileName = "folder_config.json";

    explicit RootFolderConfigManager(const std::filesystem::path& rootFolder, LogSink log = {});

    const std::filesystem::path& configFileUrl() const { return configFileUrl_; }

    // Key → the value as compact JSON text.
    std::map<std::string, std::string> read() const;
    // Stores the JSON value given as text under `key`. False (logged) when the text is not JSON or the
    // file cannot be written.
    bool set(std::string_view key, std::string_view jsonValue);
    bool setBool(std::string_view key, bool value);
    // The value under `key` when it is a JSON Boolean.
    std::optional<bool> boolValue(std::string_view key) const;

private:
    void log(const std::string& message) const;

    std::filesystem::path configFileUrl_;
    LogSink log_;
};

}  // namespace lumidex::folders
