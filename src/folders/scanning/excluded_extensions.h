// The user's list of file extensions that are found but not processed, kept in the data directory as
// "excluded_file_path_extensions.json": a pretty-printed JSON array of objects with exactly the keys
// "id", "extensionName", "info" and "isToggled". A toggled entry excludes its extension, and the list
// applies only while the setting "excludeFilesWithPathExtensionActive" is on.
//
// Free functions; the file is read or written whole on every call (it is tiny), written atomically.
// Failures never throw: a load failure is logged with "Error loading JSON: " and gives an empty list
// (a missing file is simply empty), a save failure is logged with "Error saving JSON: " and gives false.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "folders/scanning/file_candidate.h"

namespace lumidex {
class Settings;
}

namespace lumidex::folders {

inline constexpr std::string_view kExcludedExtensionsFileName = "excluded_file_path_extensions.json";

struct ExcludedFileExtension {
    std::string id;  // upper-case UUID string
    std::string extensionName;
    std::string info;
    bool isToggled = false;

    bool operator==(const ExcludedFileExtension&) const = default;
};

std::filesystem::path excludedFileExtensionsPath(const std::filesystem::path& dataDirectory);

std::vector<ExcludedFileExtension> loadExcludedFileExtensions(const std::filesystem::path& file);
bool saveExcludedFileExtensions(const std::filesystem::path& file, const std::vector<ExcludedFileExtension>& list);

// The toggled extensions, lower-cased and without a leading dot.
ExtensionSet excludedExtensionSet(const std::vector<ExcludedFileExtension>& list);

// The set a scan applies: nullopt while the exclusion setting is off.
std::optional<ExtensionSet> activeExcludedExtensions(const Settings& settings, const std::filesystem::path& file);

}  // namespace lumidex::folders
