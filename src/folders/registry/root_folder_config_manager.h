// The per-folder configuration: "folder_config.json" directly inside a root folder, one JSON object
// with string keys, written pretty-printed. A folder we may not write to (a read-only mount, a shared
// drive) keeps its configuration in `fallbackFile` under the data directory instead, which is logged;
// reads prefer the file in the folder and fall back to that one.
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

    // Without a `fallbackFile`, a folder that cannot be written to keeps no configuration.
    explicit RootFolderConfigManager(const std::filesystem::path& rootFolder, LogSink log = {},
                                     std::filesystem::path fallbackFile = {});

    const std::filesystem::path& configFileUrl() const { return configFileUrl_; }
    // <data directory>/folder_configs/<folder's bookmark stem>.json
    static std::filesystem::path fallbackFileFor(const std::filesystem::path& dataDirectory, std::string_view nfcRootFolder);

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
    // The file that holds the configuration now: the folder's own, else an existing fallback.
    const std::filesystem::path& currentFile() const;

    std::filesystem::path configFileUrl_;
    std::filesystem::path fallbackFile_;
    LogSink log_;
};

}  // namespace lumidex::folders
