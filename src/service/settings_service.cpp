#include "service/settings_service.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/settings/settings.h"
#include "core/uuid.h"
#include "folders/scanning/excluded_extensions.h"
#include "folders/scanning/file_types.h"

namespace lumidex::service {
namespace {

using nlohmann::json;
using K = SettingsKeys;

struct Field {
    std::string_view name;
    std::string_view key;
};

// The keys each category mirrors one to one; result_limit, style_type and excluded_extensions have
// rules of their own.
const std::vector<Field>& plainFields(SettingsCategory category) {
    static const std::vector<Field> search{{"min_char_count", K::startSearchCharacterCountKey},
                                           {"result_limit_type", K::limitSearchResultsTypeKey},
                                           {"show_ocr_rects", K::showOcrRectsKey},
                                           {"animate_ocr_rects", K::animateOcrRectsKey},
                                           {"show_edited_checkbox", K::checkBoxFuerBearbeitetEinblenden},
                                           {"auto_search_delay", K::automaticallySearchAfterKey}};
    static const std::vector<Field> processing{{"low_res_images", K::lowResImagesKey},
                                               {"ignore_small_images", K::ignoreSmallImagesKey},
                                               {"slow_hard_drive", K::slowHardDrive},
                                               {"disable_idle_timer", K::disableIdleTimerKey},
                                               {"use_cloud_service", K::useCloudServiceKey},
                                               {"exclude_by_extension", K::excludeFilesWithPathExtensionActive}};
    static const std::vector<Field> appearance{
        {"show_path_bar", K::settingsShowPathBarKey},
        {"show_busy_indicator", K::showBusyIndicatorKey},
        {"always_show_busy_indicator", K::alwaysShowBusyIndicatorKey},
        {"show_thumbnails_in_list", K::thumbsInListViewKey},
        {"show_transcript_item_numbers", K::showTranscriptItemNumbersKey},
        {"auto_toggle_transcript", K::autoToggleTranscriptKey},
        {"reset_transcript_on_close", K::resetTranscriptKey},
        // The list's marker for entries whose stored state no longer matches their file.
        {"show_not_processed_indicator", K::showListViewModifiedFileIndicatorKey},
        {"show_busy_sheet", K::showBusySheetKey},
        {"show_path_in_list_header", K::showPathInListHeader},
        {"show_file_type_icons", K::showFileTypeIconsKey},
        {"font_size", K::listFontSizeKey}};
    static const std::vector<Field> sharing{{"show_recent_scan_items", K::showRecentScanItems},
                                            {"number_of_recent_scan_items", K::numberOfRecentScanItems}};
    switch (category) {
        case SettingsCategory::search: return search;
        case SettingsCategory::processing: return processing;
        case SettingsCategory::appearance: return appearance;
        case SettingsCategory::sharing: break;
    }
    return sharing;
}

const std::vector<Field>& serverFields() {
    static const std::vector<Field> fields{{"enabled", K::apiServerEnabledKey}, {"configured_port", K::apiServerPortKey}};
    return fields;
}

json toJson(const SettingValue& value) {
    json out;
    std::visit([&out](const auto& v) { out = v; }, value);
    return out;
}

// The JSON value as the setting value it most naturally is; nullopt for null, objects and mixed arrays
// (the type check then names the key).
std::optional<SettingValue> fromJson(const json& value) {
    if (value.is_boolean()) return SettingValue(value.get<bool>());
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
            return SettingValue(value.get<double>());
        }
        return SettingValue(value.get<int64_t>());
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        // 3.0 is the integer 3 to a client that writes all numbers alike.
        if (number >= -9.0e15 && number <= 9.0e15 && number == static_cast<double>(static_cast<int64_t>(number))) {
            return SettingValue(static_cast<int64_t>(number));
        }
        return SettingValue(number);
    }
    if (value.is_string()) return SettingValue(value.get<std::string>());
    if (value.is_array()) {
        StringList list;
        for (const auto& entry : value) {
            if (!entry.is_string()) return std::nullopt;
            list.push_back(entry.get<std::string>());
        }
        return SettingValue(std::move(list));
    }
    return std::nullopt;
}

using Writes = std::vector<std::pair<std::string_view, SettingValue>>;

// Checks the keys of `fields` present in `changes` and adds them to `writes`; the first rejection.
std::optional<std::string> checkFields(const std::vector<Field>& fields, const json& changes, Writes& writes) {
    for (const Field& field : fields) {
        const auto found = changes.find(std::string(field.name));
        if (found == changes.end()) continue;
        const auto description = describeSetting(field.key);
        if (!description) continue;
        auto value = fromJson(*found);
        if (!value) value = SettingValue(std::string());  // only to have the type check name the key
        if (auto rejection = checkSettingValue(*description, *value, field.name)) return rejection;
        writes.emplace_back(field.key, std::move(*value));
    }
    return std::nullopt;
}

std::optional<std::string> storeAll(SettingsStore& store, Writes& writes) {
    Settings settings(store);
    for (auto& [key, value] : writes) {
        if (auto error = settings.set(key, std::move(value))) return "Could not save the settings: " + error->message;
    }
    return std::nullopt;
}

std::string styleChoicesMessage() {
    std::string message = "style_type must be one of: ";
    const auto& names = installedStyleNames();
    for (std::size_t i = 0; i < names.size(); ++i) message += (i ? ", " : "") + std::string(names[i]);
    return message;
}

std::string normalisedExtension(std::string_view text) {
    while (!text.empty() && text.front() == '.') text.remove_prefix(1);
    return folders::asciiLowerCase(text);
}

std::string_view categoryOfRoute(folders::FileRoute route) {
    switch (route) {
        case folders::FileRoute::image: return "image";
        case folders::FileRoute::cloud: return "office";
        case folders::FileRoute::pdf:
        case folders::FileRoute::text: break;
    }
    return "document";
}

}  // namespace

std::optional<SettingsCategory> settingsCategoryNamed(std::string_view name) {
    if (name == "search") return SettingsCategory::search;
    if (name == "processing") return SettingsCategory::processing;
    if (name == "appearance") return SettingsCategory::appearance;
    if (name == "sharing") return SettingsCategory::sharing;
    return std::nullopt;
}

const std::vector<std::string_view>& installedStyleNames() {
    static const std::vector<std::string_view> names{"Auto", "Light", "Dark"};
    return names;
}

bool isSidebarConfigurationKey(std::string_view key) {
    return key == K::globalSideBarItemsConfigKey || key == K::globalGroupHeaderConfigKey ||
           key == K::globalShortcutItemConfigKey;
}

std::optional<std::string> storeSettingText(SettingsStore& store, std::string_view key, std::string_view text) {
    const auto description = describeSetting(key);
    if (!description) {
        if (isSidebarConfigurationKey(key))
            return std::string(key) + " belongs to the user interface and cannot be set here";
        return "unknown key \"" + std::string(key) + "\" (see \"lumidex settings list\")";
    }
    std::string parseError;
    auto value = parseSettingText(description->type, text, parseError);
    if (!value)
        return "invalid value for " + std::string(key) + " (" + std::string(name(description->type)) + "): " + parseError;
    if (auto rejection = checkSettingValue(*description, *value, key)) return rejection;
    if (auto error = Settings(store).set(key, *value)) return error->message;
    return std::nullopt;
}

SettingsService::SettingsService(SettingsStore& store, Options options) : store_(store), options_(std::move(options)) {}

json SettingsService::category(SettingsCategory which) const {
    const Settings settings(store_);
    json out = json::object();
    for (const Field& field : plainFields(which)) {
        const auto description = describeSetting(field.key);
        const auto value = description ? settings.effectiveValue(*description) : std::nullopt;
        out[std::string(field.name)] = value ? toJson(*value) : json();
    }
    switch (which) {
        case SettingsCategory::search: {
            const auto limit = settings.resultLimit();
            out["result_limit"] = limit ? json(*limit) : json();
            break;
        }
        case SettingsCategory::processing: {
            json list = json::array();
            for (const auto& entry : folders::loadExcludedFileExtensions(options_.excludedExtensionsFile)) {
                list.push_back({{"extension", entry.extensionName}, {"info", entry.info}, {"active", entry.isToggled}});
            }
            out["excluded_extensions"] = std::move(list);
            break;
        }
        case SettingsCategory::appearance: out["style_type"] = settings.selectedStyleType(); break;
        case SettingsCategory::sharing: break;
    }
    return out;
}

std::optional<json> SettingsService::patch(SettingsCategory which, const json& changes, Refusal& refusal) {
    if (!changes.is_object()) {
        refusal = {RefusalKind::badRequest, "Invalid JSON body: expected a JSON object"};
        return std::nullopt;
    }
    std::lock_guard lock(patchMutex_);
    const auto refuse = [&refusal](std::string message) {
        refusal = {RefusalKind::badRequest, std::move(message)};
        return std::nullopt;
    };

    // Everything is checked before the first write.
    Writes writes;
    if (auto rejection = checkFields(plainFields(which), changes, writes)) return refuse(std::move(*rejection));

    std::optional<std::vector<folders::ExcludedFileExtension>> extensions;
    switch (which) {
        case SettingsCategory::search:
            if (const auto found = changes.find("result_limit"); found != changes.end()) {
                std::optional<int64_t> choice = 5;  // null: no limit
                if (!found->is_null()) {
                    const auto number = fromJson(*found);
                    const auto* integer = number ? std::get_if<int64_t>(&*number) : nullptr;
                    choice = integer ? resultLimitChoiceForNumber(*integer) : std::nullopt;
                }
                if (!choice) return refuse(std::string(kResultLimitChoicesMessage));
                writes.emplace_back(K::limitSearchResultsTypeKey, *choice);
            }
            break;
        case SettingsCategory::appearance:
            if (const auto found = changes.find("style_type"); found != changes.end()) {
                const auto& names = installedStyleNames();
                if (!found->is_string() || std::find(names.begin(), names.end(), found->get<std::string>()) == names.end())
                    return refuse(styleChoicesMessage());
                writes.emplace_back(K::selectedStyleType, found->get<std::string>());
            }
            break;
        case SettingsCategory::processing:
            if (const auto found = changes.find("excluded_extensions"); found != changes.end()) {
                constexpr std::string_view shape =
                    R"(excluded_extensions must be a list of {"extension", "info", "active"} objects)";
                if (!found->is_array()) return refuse(std::string(shape));
                extensions = folders::loadExcludedFileExtensions(options_.excludedExtensionsFile);
                for (const auto& patch : *found) {
                    const auto name = patch.is_object() ? patch.find("extension") : patch.end();
                    if (!patch.is_object() || name == patch.end() || !name->is_string()) return refuse(std::string(shape));
                    const auto info = patch.find("info");
                    const auto active = patch.find("active");
                    if ((info != patch.end() && !info->is_string()) || (active != patch.end() && !active->is_boolean()))
                        return refuse(std::string(shape));
                    const std::string extension = normalisedExtension(name->get<std::string>());
                    if (extension.empty()) return refuse("excluded_extensions: extension must not be empty");
                    auto entry = std::find_if(extensions->begin(), extensions->end(), [&](const auto& e) {
                        return normalisedExtension(e.extensionName) == extension;
                    });
                    if (entry == extensions->end()) {
                        // Naming an extension that is not listed yet adds it, excluded unless told otherwise.
                        extensions->push_back({Uuid::random().toString(), extension, "", true});
                        entry = extensions->end() - 1;
                    }
                    if (info != patch.end()) entry->info = info->get<std::string>();
                    if (active != patch.end()) entry->isToggled = active->get<bool>();
                }
            }
            break;
        case SettingsCategory::sharing: break;
    }

    if (auto failure = storeAll(store_, writes)) {
        refusal = {RefusalKind::internal, std::move(*failure)};
        return std::nullopt;
    }
    if (extensions && !folders::saveExcludedFileExtensions(options_.excludedExtensionsFile, *extensions)) {
        refusal = {RefusalKind::internal, "Could not save the excluded extensions"};
        return std::nullopt;
    }
    return category(which);
}

json SettingsService::server() const {
    const Settings settings(store_);
    return {{"enabled", settings.apiServerEnabled()},
            {"configured_port", settings.apiServerPort()},
            {"actual_port", options_.actualPort ? options_.actualPort() : 0},
            {"auth_enabled", true},
            {"token_set", !settings.apiServerToken().empty()}};
}

std::optional<json> SettingsService::patchServer(const json& changes, Refusal& refusal) {
    if (!changes.is_object()) {
        refusal = {RefusalKind::badRequest, "Invalid JSON body: expected a JSON object"};
        return std::nullopt;
    }
    std::lock_guard lock(patchMutex_);
    Writes writes;
    if (auto rejection = checkFields(serverFields(), changes, writes)) {
        refusal = {RefusalKind::badRequest, std::move(*rejection)};
        return std::nullopt;
    }
    if (auto failure = storeAll(store_, writes)) {
        refusal = {RefusalKind::internal, std::move(*failure)};
        return std::nullopt;
    }
    return server();
}

std::string SettingsService::token() const { return Settings(store_).apiServerToken(); }

std::optional<std::string> SettingsService::newToken(Refusal& refusal) {
    std::string value = Uuid::random().toString();
    if (const auto failure = Settings(store_).set(K::apiServerTokenKey, value)) {
        refusal = {RefusalKind::internal, "Could not save the settings: " + failure->message};
        return std::nullopt;
    }
    return value;
}

json SettingsService::all() const {
    return {{"search", category(SettingsCategory::search)},
            {"processing", category(SettingsCategory::processing)},
            {"server", server()},
            {"appearance", category(SettingsCategory::appearance)},
            {"sharing", category(SettingsCategory::sharing)}};
}

json SettingsService::fileTypes() {
    json list = json::array();
    for (const auto& type : folders::supportedFileTypes()) {
        list.push_back({{"extension", type.extension}, {"category", categoryOfRoute(type.route)}});
    }
    return {{"file_types", std::move(list)}};
}

}  // namespace lumidex::service
