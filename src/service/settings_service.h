// The user's settings as the outside ways in see them: five categories (search, processing,
// appearance, sharing, server) with snake_case keys mirroring the stored preferences, the list of file
// types the pipeline reads, and changes to any subset of a category's keys.
//
// A change is checked whole before anything is stored: one rejected key (wrong type, out of range)
// stores nothing, and the rejection names the key ("font_size must be between 10 and 24"). A failed
// write of the settings file or of the excluded-extension list is reported as such; keys written
// before it stay changed in memory (the settings store keeps them for its next save).
//
// The server category tells whether an access token is set, never the token; only the user's own
// window reads the token itself (token()).
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
    // Applies "enabled" and "configured_port" of `changes`, checked and stored like a category's keys
    // ("configured_port must be between 1024 and 65535"), and answers server(). A running server goes
    // on with its port until it is started again.
    std::optional<nlohmann::json> patchServer(const nlohmann::json& changes, Refusal& refusal);
    // The access token, empty when none is set. For the user's own window only: no answer to a client
    // carries it.
    std::string token() const;
    // Stores a new random token (a version-4 UUID, upper case), which replaces the old one at once, and
    // returns it; nullopt (refused as internal) when it could not be stored, the old one then still in
    // force.
    std::optional<std::string> newToken(Refusal& refusal);
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
