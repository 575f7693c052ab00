// Typed access to the preferences: each read applies the key's default when the key is absent or holds a
// value of another type (which is left in place). The table of all keys (settingDescriptions) drives the
// command line and the checks on values that come from outside (API, command line).
//
// Settings is a cheap handle over a SettingsStore and shares its thread-safety; writes return the store's
// error (nullopt on success).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/enums.h"
#include "core/settings/default_settings.h"
#include "core/settings/settings_keys.h"
#include "core/settings/settings_store.h"

namespace lumidex {

struct SearchParameters;

enum class SettingType { boolean, integer, real, string, stringList };
std::string_view name(SettingType type);  // "Boolean", "integer", "double", "string", "list of strings"

struct SettingDescription {
    std::string_view key;
    SettingType type;
    std::optional<SettingValue> defaultValue;  // nullopt: absent until something stores it
    std::optional<double> minimum;             // accepted range for values from outside
    std::optional<double> maximum;
    std::string_view meaning;
};

// Every key the system reads or writes, in a stable order. The user interface's sidebar configuration
// keys are not listed: their layout is the user interface's own.
const std::vector<SettingDescription>& settingDescriptions();
// The row for `key`, including the per-folder "searchIndexFoldingVersion_..." keys (whose row views `key`,
// so it must outlive the result); nullopt when unknown.
std::optional<SettingDescription> describeSetting(std::string_view key);

// Checks a value from outside before it is stored: its type (an integer is accepted for a double key and
// converted in place), its range and, for "sortOrderKey", that it names a sort order. Returns the rejection
// message naming `field`, for example "min_char_count must be between 1 and 5".
std::optional<std::string> checkSettingValue(const SettingDescription& description, SettingValue& value,
                                             std::string_view field);

// Text forms for the command line. Parsing by type: "true" or "false"; a decimal integer; a decimal number;
// any text; a list as a JSON array of strings or as comma-separated items with surrounding spaces removed
// (empty text is the empty list). Formatting gives JSON text ("13.0", "\"Auto\"", "[\"a\",\"b\"]").
std::optional<SettingValue> parseSettingText(SettingType type, std::string_view text, std::string& error);
std::string formatSettingValue(const SettingValue& value);

// Result limit: choice 0...4 maps to 25, 100, 250, 500, 1000; any other choice means no limit (nullopt).
inline constexpr std::string_view kResultLimitChoicesMessage = "result_limit must be one of: 25, 100, 250, 500, 1000";
std::optional<int64_t> resultLimitForChoice(int64_t choice);
std::optional<int64_t> resultLimitChoiceForNumber(int64_t limit);  // nullopt for any other number

// A stored panel size: 0 means `used`, anything else is clamped to minimum...maximum.
double panelSize(double stored, double used, double minimum, double maximum);

class Settings {
public:
    explicit Settings(SettingsStore& store) : store_(&store) {}
    static Settings shared() { return Settings(SettingsStore::shared()); }
    SettingsStore& store() const { return *store_; }

    bool boolean(std::string_view key, bool fallback) const { return store_->getBool(key).value_or(fallback); }
    int64_t integer(std::string_view key, int64_t fallback) const { return store_->getInt(key).value_or(fallback); }
    double real(std::string_view key, double fallback) const { return store_->getDouble(key).value_or(fallback); }
    std::string string(std::string_view key, std::string_view fallback) const;
    StringList stringList(std::string_view key) const { return store_->getStringList(key).value_or(StringList{}); }
    // The stored value when it has the table's type (converted to it), else nullopt.
    std::optional<SettingValue> storedValue(const SettingDescription& description) const;
    // storedValue, else the default.
    std::optional<SettingValue> effectiveValue(const SettingDescription& description) const;

    // Stores `value`; for a key of the table the type must match (an integer for a double key is converted).
    std::optional<SettingsError> set(std::string_view key, SettingValue value);
    std::optional<SettingsError> remove(std::string_view key) { return store_->remove(key); }

    // Search
    int64_t minSearchCharCount() const {
        return integer(SettingsKeys::startSearchCharacterCountKey, DefaultSettings::startSearchCharacterCount);
    }
    int64_t autoSearchDelaySeconds() const {
        return integer(SettingsKeys::automaticallySearchAfterKey, DefaultSettings::automaticallySearchAfter);
    }
    int64_t resultLimitChoice() const {
        return integer(SettingsKeys::limitSearchResultsTypeKey, DefaultSettings::limitSearchResultsType);
    }
    std::optional<int64_t> resultLimit() const { return resultLimitForChoice(resultLimitChoice()); }
    // Stores the choice for one of the offered limits; any other number is rejected with
    // kResultLimitChoicesMessage and nothing is stored.
    std::optional<SettingsError> setResultLimit(int64_t limit);
    SortOrders sortOrder() const;  // an unreadable value gives new2Old
    std::optional<SettingsError> setSortOrder(SortOrders order);
    StringList searchFolderUrlStrings() const { return stringList(SettingsKeys::searchFolderUrlStringsKey); }

    // Page view and transcript
    bool showOcrRects() const { return boolean(SettingsKeys::showOcrRectsKey, DefaultSettings::showOcrRects); }
    bool animateOcrRects() const { return boolean(SettingsKeys::animateOcrRectsKey, DefaultSettings::animateOcrRects); }
    bool scaleAnimateOcrRects() const {
        return boolean(SettingsKeys::scaleAnimateOcrRectsKey, DefaultSettings::scaleAnimateOcrRects);
    }
    bool showProcessedCheckBox() const {
        return boolean(SettingsKeys::checkBoxFuerBearbeitetEinblenden, DefaultSettings::checkBoxFuerBearbeitetEinblenden);
    }
    bool showTranscriptItemNumbers() const {
        return boolean(SettingsKeys::showTranscriptItemNumbersKey, DefaultSettings::showTranscriptItemNumbers);
    }
    bool autoToggleTranscript() const {
        return boolean(SettingsKeys::autoToggleTranscriptKey, DefaultSettings::autoToggleTranscript);
    }
    bool resetTranscript() const { return boolean(SettingsKeys::resetTranscriptKey, DefaultSettings::resetTranscript); }
    double transcriptWidth() const { return real(SettingsKeys::transcriptWidthKey, DefaultSettings::transcriptWidth); }
    int64_t transcriptOcrItemGlobalCount() const {
        return integer(SettingsKeys::transcriptOcrItemGlobalCount, DefaultSettings::transcriptOcrItemGlobalCount);
    }
    int64_t transcriptVisibilityRaw() const {
        return integer(SettingsKeys::isTranscriptViewVisible2, DefaultSettings::isTranscriptViewVisible2);
    }
    double zoomLevel() const { return real(SettingsKeys::zoomLevelBackingField, DefaultSettings::zoomLevelBackingField); }

    // Processing
    bool lowResImages() const { return boolean(SettingsKeys::lowResImagesKey, DefaultSettings::lowResImages); }
    bool ignoreSmallImages() const { return boolean(SettingsKeys::ignoreSmallImagesKey, DefaultSettings::ignoreSmallImages); }
    // The stored limit held to 1 ... maxTextFileSizeBytesCap (a value written into the file by hand is
    // not checked on the way in).
    int64_t maxTextFileSizeBytes() const {
        return std::clamp<int64_t>(integer(SettingsKeys::maxTextFileSizeBytesKey, DefaultSettings::maxTextFileSizeBytes), 1,
                                   DefaultSettings::maxTextFileSizeBytesCap);
    }
    int64_t contentCacheMaxBytes() const {
        return std::clamp<int64_t>(integer(SettingsKeys::contentCacheMaxBytesKey, DefaultSettings::contentCacheMaxBytes), 0,
                                   DefaultSettings::contentCacheMaxBytesCap);
    }
    bool slowHardDrive() const { return boolean(SettingsKeys::slowHardDrive, DefaultSettings::slowHardDrive); }
    bool disableIdleTimer() const { return boolean(SettingsKeys::disableIdleTimerKey, DefaultSettings::disableIdleTimer); }
    bool excludeFilesWithPathExtensionActive() const {
        return boolean(SettingsKeys::excludeFilesWithPathExtensionActive,
                       DefaultSettings::excludeFilesWithPathExtensionActive);
    }
    bool useCloudService() const { return boolean(SettingsKeys::useCloudServiceKey, DefaultSettings::useCloudService); }
    bool acceptCloudServiceConditions() const {
        return boolean(SettingsKeys::acceptCloudServiceConditionsKey, DefaultSettings::acceptCloudServiceConditions);
    }

    // Identifiers (absent until ensureIdentifiers has run)
    std::string conversionServiceURL() const {
        return string(SettingsKeys::conversionServiceURLKey, DefaultSettings::conversionServiceURL);
    }
    std::string conversionServiceAPIKey() const {
        return string(SettingsKeys::conversionServiceAPIKeyKey, DefaultSettings::conversionServiceAPIKey);
    }
    bool localOfficeConversion() const {
        return boolean(SettingsKeys::localOfficeConversionKey, DefaultSettings::localOfficeConversion);
    }
    std::optional<std::string> cloudServiceClientIdentifier() const {
        return store_->getString(SettingsKeys::cloudServiceClientIdentifier);
    }
    std::optional<std::string> uniqueIdentifier() const { return store_->getString(SettingsKeys::uniqueIdentifier); }
    std::optional<std::string> uuidString() const { return store_->getString(SettingsKeys::uuidStringKey); }

    // Appearance
    bool showBusyIndicator() const { return boolean(SettingsKeys::showBusyIndicatorKey, DefaultSettings::showBusyIndicator); }
    bool alwaysShowBusyIndicator() const {
        return boolean(SettingsKeys::alwaysShowBusyIndicatorKey, DefaultSettings::alwaysShowBusyIndicator);
    }
    bool showBusySheet() const { return boolean(SettingsKeys::showBusySheetKey, DefaultSettings::showBusySheet); }
    bool thumbsInListView() const { return boolean(SettingsKeys::thumbsInListViewKey, DefaultSettings::thumbsInListView); }
    bool showPathBar() const { return boolean(SettingsKeys::settingsShowPathBarKey, DefaultSettings::settingsShowPathBar); }
    bool showPathInListHeader() const {
        return boolean(SettingsKeys::showPathInListHeader, DefaultSettings::showPathInListHeader);
    }
    bool showFileTypeIcons() const { return boolean(SettingsKeys::showFileTypeIconsKey, DefaultSettings::showFileTypeIcons); }
    bool showListViewModifiedFileIndicator() const {
        return boolean(SettingsKeys::showListViewModifiedFileIndicatorKey,
                       DefaultSettings::showListViewModifiedFileIndicator);
    }
    double listFontSize() const { return real(SettingsKeys::listFontSizeKey, DefaultSettings::listFontSize); }
    std::string selectedStyleType() const {
        return string(SettingsKeys::selectedStyleType, DefaultSettings::selectedStyleType);
    }

    // Sidebar and recent scans
    std::optional<std::string> selectedSidebarUrlPath() const {
        return store_->getString(SettingsKeys::selectedSidebarUrlPath);
    }
    bool dontShowIntroductionAgain() const {
        return boolean(SettingsKeys::dontShowIntroductionAgain, DefaultSettings::dontShowIntroductionAgain);
    }
    bool showRecentScanItems() const {
        return boolean(SettingsKeys::showRecentScanItems, DefaultSettings::showRecentScanItems);
    }
    double numberOfRecentScanItems() const {
        return real(SettingsKeys::numberOfRecentScanItems, DefaultSettings::numberOfRecentScanItems);
    }
    int64_t scanDateFormatStyle() const {
        return integer(SettingsKeys::scanDateFormatStyleKey, DefaultSettings::scanDateFormatStyle);
    }
    bool scanDateShowCount() const { return boolean(SettingsKeys::scanDateShowCountKey, DefaultSettings::scanDateShowCount); }

    // Floating panels: sizes with the 0-means-default rule and clamping; positions absent until stored.
    double filterPanelWidth() const;
    double filterPanelHeight() const;
    double infoPanelWidth() const;
    double infoPanelHeight() const;
    std::optional<double> filterPanelX() const { return store_->getDouble(SettingsKeys::filterPanelXKey); }
    std::optional<double> filterPanelY() const { return store_->getDouble(SettingsKeys::filterPanelYKey); }
    std::optional<double> infoPanelX() const { return store_->getDouble(SettingsKeys::infoPanelXKey); }
    std::optional<double> infoPanelY() const { return store_->getDouble(SettingsKeys::infoPanelYKey); }

    // Mail source and local API server
    bool mailSourceEnabled() const { return boolean(SettingsKeys::mailSourceEnabled, DefaultSettings::mailSourceEnabled); }
    bool apiServerEnabled() const { return boolean(SettingsKeys::apiServerEnabledKey, DefaultSettings::apiServerEnabled); }
    int64_t apiServerPort() const { return integer(SettingsKeys::apiServerPortKey, DefaultSettings::apiServerPort); }
    std::string apiServerToken() const { return string(SettingsKeys::apiServerTokenKey, DefaultSettings::apiServerToken); }
    bool apiServerAllowLan() const {
        return boolean(SettingsKeys::apiServerAllowLanKey, DefaultSettings::apiServerAllowLan);
    }
    bool lanDefaultMigrationDone() const {
        return boolean(SettingsKeys::lanDefaultMigrationDoneKey, DefaultSettings::lanDefaultMigrationDone);
    }

    // Per-folder search-index folding version (absent = 0).
    int64_t searchIndexFoldingVersion(std::string_view rootFolderUrlString) const {
        return integer(SettingsKeys::searchIndexFoldingVersion(rootFolderUrlString),
                       DefaultSettings::searchIndexFoldingVersion);
    }
    std::optional<SettingsError> setSearchIndexFoldingVersion(std::string_view rootFolderUrlString, int64_t version) {
        return store_->setInt(SettingsKeys::searchIndexFoldingVersion(rootFolderUrlString), version);
    }

    // Start-up step: gives "cloudServiceClientIdentifier", "uniqueIdentifier" and "uuidStringKey", in that
    // order, a new upper-case UUID string unless a non-empty string is stored. Concurrent callers agree on
    // one identifier per key. Returns the first write error.
    std::optional<SettingsError> ensureIdentifiers();

    // Start-up step, once until done: an installation that ran the API server before the local-network
    // option existed keeps network access. When "apiServerAllowLanKey" has never been stored and the server
    // is enabled, stores true under it and calls `restartApiServer` (which must hop to the main thread
    // itself); then marks the migration done. Returns the first write error.
    std::optional<SettingsError> migrateLanDefault(const std::function<void()>& restartApiServer);

private:
    SettingsStore* store_;
};

// A new search request from the settings: folders, sort order and minimum word length from the store,
// everything else at its starting value.
SearchParameters searchParametersFromSettings(const Settings& settings);

}  // namespace lumidex
