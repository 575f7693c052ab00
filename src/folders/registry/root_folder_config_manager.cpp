#include "folders/registry/root_folder_config_manager.h"

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "core/app_log.h"
#include "core/atomic_file.h"
#include "folders/registry/bookmark_naming.h"

namespace lumidex::folders {
namespace {

namespace fs = std::filesystem;
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

bool isNotWritable(const std::error_code& code) {
    return code == std::errc::permission_denied || code == std::errc::operation_not_permitted ||
           code == std::errc::read_only_file_system;
}

}  // namespace

RootFolderConfigManager::RootFolderConfigManager(const std::filesystem::path& rootFolder, LogSink log,
                                                 std::filesystem::path fallbackFile)
    : configFileUrl_(rootFolder / fileName), fallbackFile_(std::move(fallbackFile)), log_(std::move(log)) {}

std::filesystem::path RootFolderConfigManager::fallbackFileFor(const std::filesystem::path& dataDirectory,
                                                               std::string_view nfcRootFolder) {
    return dataDirectory / "folder_configs" / (bookmarkFileStem(nfcRootFolder) + ".json");
}

const std::filesystem::path& RootFolderConfigManager::currentFile() const {
    std::error_code ec;
    if (fallbackFile_.empty() || fs::exists(configFileUrl_, ec) || !fs::exists(fallbackFile_, ec)) return configFileUrl_;
    return fallbackFile_;
}

void RootFolderConfigManager::log(const std::string& message) const {
    if (log_) log_(message);
    else appLog(message);
}

std::map<std::string, std::string> RootFolderConfigManager::read() const {
    std::string parseError;
    const json object = readObject(currentFile(), parseError);
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
    const std::filesystem::path& current = currentFile();
    json object = readObject(current, parseError);
    if (!parseError.empty()) log("Fehler beim Lesen des JSON: " + parseError);
    object[std::string(key)] = value;
    std::string text;
    try {
        text = object.dump(2);
    } catch (const json::exception& e) {  // invalid UTF-8 in a key or value
        log("folder_config.json could not be serialised: " + std::string(e.what()));
        return false;
    }
    auto error = current == configFileUrl_ ? writeFileAtomically(configFileUrl_, text) : std::nullopt;
    if (current != configFileUrl_ || (error && isNotWritable(error->code) && !fallbackFile_.empty())) {
        if (error) {
            log("folder_config.json: " + configFileUrl_.parent_path().string() + " is not writable (" +
                error->code.message() + "); the configuration is kept in " + fallbackFile_.string());
        }
        std::error_code ec;
        fs::create_directories(fallbackFile_.parent_path(), ec);
        error = writeFileAtomically(fallbackFile_, text);
    }
    if (error) {
        log("folder_config.json could not be written: " + error->message());
        return false;
    }
    return true;
}

bool RootFolderConfigManager::setBool(std::string_view key, bool value) { return set(key, value ? "true" : "false"); }

std::optional<bool> RootFolderConfigManager::boolValue(std::string_view key) const {
    std::string parseError;
    const json object = readObject(currentFile(), parseError);
    if (!parseError.empty()) log("Fehler beim Lesen des JSON: " + parseError);
    const auto it = object.find(std::string(key));
    if (it == object.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

}  // namespace lumidex::folders
