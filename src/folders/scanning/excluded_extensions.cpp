#include "folders/scanning/excluded_extensions.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/app_log.h"
#include "core/atomic_file.h"
#include "core/settings/settings.h"
#include "folders/scanning/file_types.h"

namespace lumidex::folders {

std::filesystem::path excludedFileExtensionsPath(const std::filesystem::path& dataDirectory) {
    return dataDirectory / kExcludedExtensionsFileName;
}

std::vector<ExcludedFileExtension> loadExcludedFileExtensions(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return {};
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        appLog("Error loading JSON: cannot open " + file.string());
        return {};
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    try {
        const nlohmann::json json = nlohmann::json::parse(buffer.str());
        if (!json.is_array()) throw std::runtime_error("the file does not hold a JSON array");
        std::vector<ExcludedFileExtension> list;
        for (const auto& entry : json) {
            // One malformed entry makes the whole file unreadable, as a strict decoder would.
            list.push_back(ExcludedFileExtension{entry.at("id").get<std::string>(),
                                                 entry.at("extensionName").get<std::string>(),
                                                 entry.at("info").get<std::string>(),
                                                 entry.at("isToggled").get<bool>()});
        }
        return list;
    } catch (const std::exception& e) {
        appLog(std::string("Error loading JSON: ") + e.what());
        return {};
    }
}

bool saveExcludedFileExtensions(const std::filesystem::path& file, const std::vector<ExcludedFileExtension>& list) {
    std::string text;
    try {
        nlohmann::ordered_json json = nlohmann::ordered_json::array();
        for (const auto& entry : list) {
            nlohmann::ordered_json object;
            object["id"] = entry.id;
            object["extensionName"] = entry.extensionName;
            object["info"] = entry.info;
            object["isToggled"] = entry.isToggled;
            json.push_back(std::move(object));
        }
        text = json.dump(2);
    } catch (const std::exception& e) {  // text that is not UTF-8
        appLog(std::string("Error saving JSON: ") + e.what());
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (auto error = writeFileAtomically(file, text)) {
        appLog("Error saving JSON: " + error->message());
        return false;
    }
    return true;
}

ExtensionSet excludedExtensionSet(const std::vector<ExcludedFileExtension>& list) {
    ExtensionSet set;
    for (const auto& entry : list) {
        if (!entry.isToggled) continue;
        std::string_view name = entry.extensionName;
        while (!name.empty() && name.front() == '.') name.remove_prefix(1);
        if (!name.empty()) set.insert(asciiLowerCase(name));
    }
    return set;
}

std::optional<ExtensionSet> activeExcludedExtensions(const Settings& settings, const std::filesystem::path& file) {
    if (!settings.excludeFilesWithPathExtensionActive()) return std::nullopt;
    return excludedExtensionSet(loadExcludedFileExtensions(file));
}

}  // namespace lumidex::folders
