// The table of preference keys, and the text forms and checks for values that come from outside.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/settings/settings.h"

namespace lumidex {

namespace {

using T = SettingType;
using K = SettingsKeys;
using D = DefaultSettings;

SettingValue text(std::string_view s) { return SettingValue(std::string(s)); }

std::vector<SettingDescription> makeTable() {
    const std::nullopt_t none = std::nullopt;
    return {
        {K::startSearchCharacterCountKey, T::integer, D::startSearchCharacterCount, 1, 5,
         "minimum number of characters before a search starts"},
        {K::automaticallySearchAfterKey, T::integer, D::automaticallySearchAfter, 0, 5,
         "seconds of typing pause after which the search starts"},
        {K::limitSearchResultsTypeKey, T::integer, D::limitSearchResultsType, 0, 5,
         "result limit: 0 = 25, 1 = 100, 2 = 250, 3 = 500, 4 = 1000, 5 = no limit"},
        {K::sortOrderKey, T::string, text(D::sortOrder), none, none,
         "sort order of result lists: a2z, z2a, new2Old, old2New or relevance"},
        {K::searchFolderUrlStringsKey, T::stringList, StringList{}, none, none, "paths of the folders to search"},
        {K::showOcrRectsKey, T::boolean, D::showOcrRects, none, none, "draw matching recognised-text rectangles"},
        {K::animateOcrRectsKey, T::boolean, D::animateOcrRects, none, none, "animate those rectangles"},
        {K::scaleAnimateOcrRectsKey, T::boolean, D::scaleAnimateOcrRects, none, none, "let the animation scale"},
        {K::checkBoxFuerBearbeitetEinblenden, T::boolean, D::checkBoxFuerBearbeitetEinblenden, none, none,
         "show the \"processed\" check box in the transcript"},
        {K::lowResImagesKey, T::boolean, D::lowResImages, none, none, "use low-resolution page images"},
        {K::ignoreSmallImagesKey, T::boolean, D::ignoreSmallImages, none, none, "skip small images"},
        {K::maxTextFileSizeBytesKey, T::integer, D::maxTextFileSizeBytes, 1, static_cast<double>(D::maxTextFileSizeBytesCap),
         "text files larger than this many bytes are not read"},
        {K::contentCacheMaxBytesKey, T::integer, D::contentCacheMaxBytes, 0, static_cast<double>(D::contentCacheMaxBytesCap),
         "bytes each folder may keep of extraction results, reused for files with the same content (0: none)"},
        {K::slowHardDrive, T::boolean, D::slowHardDrive, none, none, "the folders lie on a slow drive"},
        {K::disableIdleTimerKey, T::boolean, D::disableIdleTimer, none, none, "keep the system awake while working"},
        {K::excludeFilesWithPathExtensionActive, T::boolean, D::excludeFilesWithPathExtensionActive, none, none,
         "apply the list of excluded file extensions"},
        {K::useCloudServiceKey, T::boolean, D::useCloudService, none, none,
         "send office documents to the cloud text extraction"},
        {K::acceptCloudServiceConditionsKey, T::boolean, D::acceptCloudServiceConditions, none, none,
         "the cloud service conditions were accepted"},
        {K::conversionServiceURLKey, T::string, text(D::conversionServiceURL), none, none,
         "address of the office conversion service (e.g. http://host:44480/)"},
        {K::conversionServiceAPIKeyKey, T::string, text(D::conversionServiceAPIKey), none, none,
         "key the office conversion service expects"},
        {K::localOfficeConversionKey, T::boolean, D::localOfficeConversion, none, none,
         "convert office files on this machine while the conversion service is off"},
        {K::cloudServiceClientIdentifier, T::string, none, none, none, "client identifier (generated)"},
        {K::uniqueIdentifier, T::string, none, none, none, "installation identifier (generated)"},
        {K::uuidStringKey, T::string, none, none, none, "further installation identifier (generated)"},
        {K::showBusyIndicatorKey, T::boolean, D::showBusyIndicator, none, none, "show the busy indicator"},
        {K::alwaysShowBusyIndicatorKey, T::boolean, D::alwaysShowBusyIndicator, none, none,
         "show the busy indicator even when idle"},
        {K::showBusySheetKey, T::boolean, D::showBusySheet, none, none, "show the progress sheet"},
        {K::thumbsInListViewKey, T::boolean, D::thumbsInListView, none, none, "thumbnails in the result list"},
        {K::settingsShowPathBarKey, T::boolean, D::settingsShowPathBar, none, none, "show the path bar"},
        {K::showPathInListHeader, T::boolean, D::showPathInListHeader, none, none, "folder path in the list header"},
        {K::showFileTypeIconsKey, T::boolean, D::showFileTypeIcons, none, none, "file-type icons in the list"},
        {K::showListViewModifiedFileIndicatorKey, T::boolean, D::showListViewModifiedFileIndicator, none, none,
         "mark results whose file was modified"},
        {K::listFontSizeKey, T::real, D::listFontSize, 10, 24, "font size of lists"},
        {K::selectedStyleType, T::string, text(D::selectedStyleType), none, none, "colour style"},
        {K::showTranscriptItemNumbersKey, T::boolean, D::showTranscriptItemNumbers, none, none,
         "number the transcript entries"},
        {K::autoToggleTranscriptKey, T::boolean, D::autoToggleTranscript, none, none, "toggle the transcript automatically"},
        {K::resetTranscriptKey, T::boolean, D::resetTranscript, none, none, "reset the transcript view"},
        {K::transcriptWidthKey, T::real, D::transcriptWidth, none, none, "transcript panel width"},
        {K::transcriptOcrItemGlobalCount, T::integer, D::transcriptOcrItemGlobalCount, none, none,
         "transcript entry counter"},
        {K::isTranscriptViewVisible2, T::integer, D::isTranscriptViewVisible2, none, none, "transcript visibility mode"},
        {K::zoomLevelBackingField, T::real, D::zoomLevelBackingField, none, none, "zoom factor of the page view"},
        {K::selectedSidebarUrlPath, T::string, none, none, none, "sidebar entry selected at last quit"},
        {K::dontShowIntroductionAgain, T::boolean, D::dontShowIntroductionAgain, none, none, "skip the introduction"},
        {K::showRecentScanItems, T::boolean, D::showRecentScanItems, none, none, "show recent scans in the sidebar"},
        {K::numberOfRecentScanItems, T::real, D::numberOfRecentScanItems, 1, none, "how many recent scans are listed"},
        {K::scanDateFormatStyleKey, T::integer, D::scanDateFormatStyle, none, none, "date style of recent-scan headers"},
        {K::scanDateShowCountKey, T::boolean, D::scanDateShowCount, none, none, "show scan counts beside dates"},
        {K::filterPanelWidthKey, T::real, D::filterPanelWidth, none, none, "filter panel width (0 = 560, 320...800)"},
        {K::filterPanelHeightKey, T::real, D::filterPanelHeight, none, none, "filter panel height (0 = 320, 200...600)"},
        {K::filterPanelXKey, T::real, none, none, none, "filter panel position x"},
        {K::filterPanelYKey, T::real, none, none, none, "filter panel position y"},
        {K::infoPanelWidthKey, T::real, D::infoPanelWidth, none, none, "info panel width (0 = 340, 280...600)"},
        {K::infoPanelHeightKey, T::real, D::infoPanelHeight, none, none, "info panel height (0 = 480, 300...800)"},
        {K::infoPanelXKey, T::real, none, none, none, "info panel position x"},
        {K::infoPanelYKey, T::real, none, none, none, "info panel position y"},
        {K::mailSourceEnabled, T::boolean, D::mailSourceEnabled, none, none, "include the mail index in searches"},
        {K::apiServerEnabledKey, T::boolean, D::apiServerEnabled, none, none, "run the local API and MCP server"},
        // The server ignores ports outside 1024...65535; refuse them up front.
        {K::apiServerPortKey, T::integer, D::apiServerPort, 1024, 65535, "TCP port of the local server"},
        {K::apiServerTokenKey, T::string, text(D::apiServerToken), none, none, "access token (empty = none)"},
        {K::apiServerAllowLanKey, T::boolean, D::apiServerAllowLan, none, none, "accept connections from the network"},
        {K::lanDefaultMigrationDoneKey, T::boolean, D::lanDefaultMigrationDone, none, none,
         "the local-network migration has run"},
    };
}

std::string formatNumber(double value) {
    if (value == std::trunc(value) && std::abs(value) < 1e15) return std::to_string(static_cast<int64_t>(value));
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool hasType(const SettingValue& value, SettingType type) {
    switch (type) {
    case SettingType::boolean: return std::holds_alternative<bool>(value);
    case SettingType::integer: return std::holds_alternative<int64_t>(value);
    case SettingType::real: return std::holds_alternative<double>(value);
    case SettingType::string: return std::holds_alternative<std::string>(value);
    case SettingType::stringList: return std::holds_alternative<StringList>(value);
    }
    return false;
}

std::string_view article(SettingType type) {
    switch (type) {
    case SettingType::boolean: return "a Boolean (true or false)";
    case SettingType::integer: return "an integer";
    case SettingType::real: return "a number";
    case SettingType::string: return "a string";
    case SettingType::stringList: return "a list of strings";
    }
    return "a value";
}

}  // namespace

std::string_view name(SettingType type) {
    switch (type) {
    case SettingType::boolean: return "Boolean";
    case SettingType::integer: return "integer";
    case SettingType::real: return "double";
    case SettingType::string: return "string";
    case SettingType::stringList: return "list of strings";
    }
    return "unknown";
}

const std::vector<SettingDescription>& settingDescriptions() {
    static const std::vector<SettingDescription> table = makeTable();
    return table;
}

std::optional<SettingDescription> describeSetting(std::string_view key) {
    const auto& table = settingDescriptions();
    const auto it = std::find_if(table.begin(), table.end(), [key](const auto& d) { return d.key == key; });
    if (it != table.end()) return *it;
    if (key.starts_with(SettingsKeys::searchIndexFoldingVersionPrefix) &&
        key.size() > SettingsKeys::searchIndexFoldingVersionPrefix.size()) {
        return SettingDescription{key,  SettingType::integer, DefaultSettings::searchIndexFoldingVersion,
                                  0,    std::nullopt,         "search-index folding version of one folder"};
    }
    return std::nullopt;
}

std::optional<std::string> checkSettingValue(const SettingDescription& description, SettingValue& value,
                                             std::string_view field) {
    if (description.type == SettingType::real) {
        if (const auto* i = std::get_if<int64_t>(&value)) value = static_cast<double>(*i);
    }
    if (!hasType(value, description.type)) return std::string(field) + " must be " + std::string(article(description.type));

    double number = 0;
    if (const auto* i = std::get_if<int64_t>(&value)) number = static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) return std::string(field) + " must be a finite number";
        number = *d;
    }
    const auto& lo = description.minimum;
    const auto& hi = description.maximum;
    if (lo && hi && (number < *lo || number > *hi))
        return std::string(field) + " must be between " + formatNumber(*lo) + " and " + formatNumber(*hi);
    if (lo && !hi && number < *lo) return std::string(field) + " must be at least " + formatNumber(*lo);
    if (hi && !lo && number > *hi) return std::string(field) + " must be at most " + formatNumber(*hi);

    if (description.key == SettingsKeys::sortOrderKey && !sortOrderFromRaw(std::get<std::string>(value)))
        return std::string(field) + " must be one of: a2z, z2a, new2Old, old2New, relevance";
    return std::nullopt;
}

std::optional<SettingValue> parseSettingText(SettingType type, std::string_view input, std::string& error) {
    switch (type) {
    case SettingType::boolean:
        if (input == "true") return SettingValue(true);
        if (input == "false") return SettingValue(false);
        error = "expected true or false";
        return std::nullopt;
    case SettingType::integer: {
        int64_t value = 0;
        const auto [end, ec] = std::from_chars(input.data(), input.data() + input.size(), value);
        if (ec == std::errc() && end == input.data() + input.size() && !input.empty()) return SettingValue(value);
        error = ec == std::errc::result_out_of_range ? "integer out of range" : "expected an integer";
        return std::nullopt;
    }
    case SettingType::real: {
        double value = 0;
        const auto [end, ec] = std::from_chars(input.data(), input.data() + input.size(), value);
        if (ec == std::errc() && end == input.data() + input.size() && !input.empty() && std::isfinite(value))
            return SettingValue(value);
        error = "expected a number";
        return std::nullopt;
    }
    case SettingType::string: return SettingValue(std::string(input));
    case SettingType::stringList: {
        const std::string_view trimmed = trim(input);
        StringList list;
        if (trimmed.starts_with('[')) {
            const auto json = nlohmann::json::parse(trimmed, nullptr, /*allow_exceptions=*/false);
            if (json.is_discarded() || !json.is_array()) {
                error = "expected a JSON array of strings";
                return std::nullopt;
            }
            for (const auto& item : json) {
                if (!item.is_string()) {
                    error = "expected a JSON array of strings";
                    return std::nullopt;
                }
                list.push_back(item.get<std::string>());
            }
            return SettingValue(std::move(list));
        }
        if (trimmed.empty()) return SettingValue(std::move(list));
        std::size_t start = 0;
        while (true) {
            const auto comma = trimmed.find(',', start);
            list.emplace_back(trim(trimmed.substr(start, comma == std::string_view::npos ? comma : comma - start)));
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
        return SettingValue(std::move(list));
    }
    }
    error = "unknown type";
    return std::nullopt;
}

std::string formatSettingValue(const SettingValue& value) {
    nlohmann::json json;
    std::visit([&json](const auto& v) { json = v; }, value);
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<int64_t> resultLimitForChoice(int64_t choice) {
    static constexpr std::array<int64_t, 5> limits{25, 100, 250, 500, 1000};
    if (choice < 0 || choice >= static_cast<int64_t>(limits.size())) return std::nullopt;
    return limits[static_cast<std::size_t>(choice)];
}

std::optional<int64_t> resultLimitChoiceForNumber(int64_t limit) {
    for (int64_t choice = 0; choice < 5; ++choice) {
        if (resultLimitForChoice(choice) == limit) return choice;
    }
    return std::nullopt;
}

double panelSize(double stored, double used, double minimum, double maximum) {
    if (stored == 0 || std::isnan(stored)) return used;
    return std::clamp(stored, minimum, maximum);
}

}  // namespace lumidex
