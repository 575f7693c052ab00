// The user's settings as the outside ways in see them: five categories (search, processing,
// appearance, sharing, server) with snake_case keys mirroring the stored preferences, the list of file
// types the pipeline reads, and changes to any subset of a category's keys.
//
// A change is checked whole before anything is stored: one rejected key (wrong type, out of range)
// stores nothing, and the rejection names the key ("font_size must be between 10 and 24"). A failed
// write of the settings file or of the excluded-extension list is reported as such; keys written
// before it stay changed in memory (the settings store keeps them for its next save).
//
// The server category tells whether an access token is set, never the token.
// Borrows the settings store; thread-safe (changes are applied one at a time). Nothing throws except
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "service/index_lookup.h"

namespace lumidex {
class SettingsStore;
}

namespace lumidex::service {

enum class SettingsCategory { search, processing, appearance, sharing };

// "search", "processing", "appearance", "sharing"; nullopt for any other name.
std::optional<SettingsCategory> settingsCategoryNamed(std::string_view name);

// The colour styles a user can choose.
const std::vector<std::string_view>& installedStyleNames();

// The command line's way to store one preference: KEY as stored, VALUE as text read by the key's type
// (parseSettingText), checked like a value from the API. Returns the reason for a refusal (unknown key,
// a key of the user interface's own, unreadable or out-of-range value, failed write), else nullopt.
std::optional<std::string> storeSettingText(SettingsStore& store, std::string_view key, std::string_view text);
// The sidebar configuration keys: stored by the user interface in a layout of its own.
bool isSidebarConfigurationKey(std::string_view key);

class SettingsService {
public:
    struct Options {
        std::filesystem::path excludedExtensionsFile;  // the user's excluded-extension list
        std::function<uint16_t()> actualPort;           // the API server's port; none or 0: not listening
    };

    SettingsService(SettingsStore& store, Options options);

    nlohmann::json category(SettingsCategory category) const;
    // Applies the keys present in `changes` (a JSON object) and answers the category afterwards.
    std::optional<nlohmann::json> patch(SettingsCategory category, const nlohmann::json& changes, Refusal& refusal);

    // {"enabled", "configured_port", "actual_port", "auth_enabled", "token_set"}
    nlohmann::json server() const;
    // {"search", "processing", "server", "appearance", "sharing"}
    nlohmann::json all() const;
    // {"file_types": [{"extension", "category"}]}: "document", "image" or "office" (text extracted by
    // the cloud service).
    static nlohmann::json fileTypes();

private:
    SettingsStore& store_;
    Options options_;
    std::mutex patchMutex_;  // one change at a time: the excluded-extension list is read, changed, written
};

}  // namespace lumidex::service
