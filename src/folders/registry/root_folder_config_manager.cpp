#include "folders/registry/root_folder_config_manager.h"

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "core/app_log.h"
#include "core/atomic_file.h"

namespace lumidex::folders {
namespace {

using nlohmann::json;

// The configuration object, or an empty object; `parseError` receives the text of a parse failure.
json readObject(const std::filesystem::path& file, std::string& parseError) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return json::object();
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        json value = json::parse(text);
        return value.is_object() ? value : json::object();
    } catch (const json::exception& e) {
        parseError = e.what();
        return json::object();
    }
}

}  // namespace

RootFolderConfigManager::RootFolderConfigManager(const std::filesystem::path& rootFolder, LogSink log)
    : configFileUrl_(rootFolder / fileName), log_(std::move(log)) {}

void RootFolderConfigManager::log(const std::string& message) const {
    if (log_) log_(message);
    else appLog(message);
}

std::map<std::string, std::string> RootFolderConfigManager::read() const {
    std::string parseError;
    const json object = readObject(configFileUrl_, parseError);
    if (!parseError.empty()) log("Fehler beim Lesen des JSON: " + parseError);
    std::map<std::string, std::string> values;
    for (const auto& [key, value] : object.items()) values.emplace(key, value.dump());
    return values;
}

bool RootFolderConfigManager::set(std::string_view key, std::string_view jsonValue) {
    const json value = json::parse(jsonValue, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) {
        log("folder_config.json: the value for " + std::string(key) + " is not JSON: " + std::string(jsonValue));
        return false;
    }
    std::string parseError;
    json object = readObject(configFileUrl_, parseError);
    if (!parseError.empty()) log("Fehler beim Lesen des JSON: " + parseError);
    object[std::string(key)] = value;
    std::string text;
    try {
        text = object.dump(2);
    } catch (const json::exception& e) {  // invalid UTF-8 in a key or value
        log("folder_config.json could not be serialised: " + std::string(e.what()));
        return false;
    }
    if (auto error = writeFileAtomically(configFileUrl_, text)) {
        log("folder_config.json could not be written: " + error->message());
        return false;
    }
    return true;
}

bool RootFolderConfigManager::setBool(std::string_view key, bool value) { return set(key, value ? "true" : "false"); }

std::optional<bool> RootFolderConfigManager::boolValue(std::string_view key) const {
    std::string parseError;
    const json object = readObject(configFileUrl_, parseError);
    if (!parseError.empty()) log("Fehler beim Lesen des JSON: " + parseError);
    const auto it = object.find(std::string(key));
    if (it == object.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

}  // namespace lumidex::folders
