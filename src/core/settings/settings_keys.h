// The names under which preferences are stored. These strings are persisted in every user's settings
// file: never rename one.
#pragma once

#include <string>
#include <string_view>

namespace lumidex {

struct SettingsKeys {
    // Search
    static constexpr std::string_view startSearchCharacterCountKey = "startSearchCharacterCountKey";
    static constexpr std::string_view automaticallySearchAfterKey = "automaticallySearchAfterKey";
    static constexpr std::string_view limitSearchResultsTypeKey = "limitSearchResultsTypeKey";
    static constexpr std::string_view sortOrderKey = "sortOrderKey";
    static constexpr std::string_view searchFolderUrlStringsKey = "searchFolderUrlStringsKey";

    // Recognised-text rectangles
    static constexpr std::string_view showOcrRectsKey = "showOcrRectsKey";
    static constexpr std::string_view animateOcrRectsKey = "animateOcrRectsKey";
    static constexpr std::string_view scaleAnimateOcrRectsKey = "scaleAnimateOcrRectsKey";
    static constexpr std::string_view checkBoxFuerBearbeitetEinblenden = "checkBoxFuerBearbeitetEinblenden";

    // Processing
    static constexpr std::string_view lowResImagesKey = "lowResImagesKey";
    static constexpr std::string_view ignoreSmallImagesKey = "ignoreSmallImagesKey";
    static constexpr std::string_view maxTextFileSizeBytesKey = "maxTextFileSizeBytes";
    static constexpr std::string_view slowHardDrive = "slowHardDrive";
    static constexpr std::string_view contentCacheMaxBytesKey = "contentCacheMaxBytes";
    static constexpr std::string_view disableIdleTimerKey = "disableIdleTimerKey";
    static constexpr std::string_view excludeFilesWithPathExtensionActive = "excludeFilesWithPathExtensionActive";
    static constexpr std::string_view useCloudServiceKey = "useCloudServiceKey";
    static constexpr std::string_view acceptCloudServiceConditionsKey = "acceptCloudServiceConditionsKey";
    // Where the conversion service answers ("https://host/"), and the key it expects.
    static constexpr std::string_view conversionServiceURLKey = "conversionServiceURLKey";
    static constexpr std::string_view conversionServiceAPIKeyKey = "conversionServiceAPIKeyKey";
    // Office files are converted on this machine (LibreOffice) while the conversion service is off.
    static constexpr std::string_view localOfficeConversionKey = "localOfficeConversionKey";

    // Identifiers, generated once at the first start
    static constexpr std::string_view cloudServiceClientIdentifier = "cloudServiceClientIdentifier";
    static constexpr std::string_view uniqueIdentifier = "uniqueIdentifier";
    static constexpr std::string_view uuidStringKey = "uuidStringKey";

    // Appearance
    static constexpr std::string_view showBusyIndicatorKey = "showBusyIndicatorKey";
    static constexpr std::string_view alwaysShowBusyIndicatorKey = "alwaysShowBusyIndicatorKey";
    static constexpr std::string_view showBusySheetKey = "showBusySheetKey";
    static constexpr std::string_view thumbsInListViewKey = "thumbsInListViewKey";
    static constexpr std::string_view settingsShowPathBarKey = "settingsShowPathBarKey";
    static constexpr std::string_view showPathInListHeader = "showPathInListHeader";
    static constexpr std::string_view showFileTypeIconsKey = "showFileTypeIconsKey";
    static constexpr std::string_view showListViewModifiedFileIndicatorKey = "showListViewModifiedFileIndicatorKey";
    static constexpr std::string_view listFontSizeKey = "listFontSizeKey";
    static constexpr std::string_view selectedStyleType = "selectedStyleType";

    // Transcript and page view
    static constexpr std::string_view showTranscriptItemNumbersKey = "showTranscriptItemNumbersKey";
    static constexpr std::string_view autoToggleTranscriptKey = "autoToggleTranscriptKey";
    static constexpr std::string_view resetTranscriptKey = "resetTranscriptKey";
    static constexpr std::string_view transcriptWidthKey = "transcriptWidthKey";
    static constexpr std::string_view transcriptOcrItemGlobalCount = "transcriptOcrItemGlobalCount";
    static constexpr std::string_view isTranscriptViewVisible2 = "isTranscriptViewVisible2";
    static constexpr std::string_view zoomLevelBackingField = "zoomLevelBackingField";

    // Sidebar and recent scans
    static constexpr std::string_view selectedSidebarUrlPath = "selectedSidebarUrlPath";
    static constexpr std::string_view dontShowIntroductionAgain = "dontShowIntroductionAgain";
    static constexpr std::string_view showRecentScanItems = "showRecentScanItems";
    static constexpr std::string_view numberOfRecentScanItems = "numberOfRecentScanItems";
    static constexpr std::string_view scanDateFormatStyleKey = "scanDateFormatStyleKey";
    static constexpr std::string_view scanDateShowCountKey = "scanDateShowCountKey";

    // Floating panels
    static constexpr std::string_view filterPanelWidthKey = "filterPanelWidthKey";
    static constexpr std::string_view filterPanelHeightKey = "filterPanelHeightKey";
    static constexpr std::string_view filterPanelXKey = "filterPanelXKey";
    static constexpr std::string_view filterPanelYKey = "filterPanelYKey";
    static constexpr std::string_view infoPanelWidthKey = "infoPanelWidthKey";
    static constexpr std::string_view infoPanelHeightKey = "infoPanelHeightKey";
    static constexpr std::string_view infoPanelXKey = "infoPanelXKey";
    static constexpr std::string_view infoPanelYKey = "infoPanelYKey";

    // Mail source and local API server
    static constexpr std::string_view mailSourceEnabled = "mailSourceEnabled";
    static constexpr std::string_view apiServerEnabledKey = "apiServerEnabledKey";
    static constexpr std::string_view apiServerPortKey = "apiServerPortKey";
    static constexpr std::string_view apiServerTokenKey = "apiServerTokenKey";
    static constexpr std::string_view apiServerAllowLanKey = "apiServerAllowLanKey";
    static constexpr std::string_view lanDefaultMigrationDoneKey = "lanDefaultMigrationDoneKey";

    // Sidebar configuration; the layout of these values belongs to the desktop user interface.
    static constexpr std::string_view globalSideBarItemsConfigKey = "globalSideBarItemsConfigKey";
    static constexpr std::string_view globalGroupHeaderConfigKey = "_###globalGroupHeaderConfigKey###_";
    static constexpr std::string_view globalShortcutItemConfigKey = "_###globalShortcutItemConfigKey###_";

    // Per-folder integer: the folding version of the folder's search index (absent = 0).
    static constexpr std::string_view searchIndexFoldingVersionPrefix = "searchIndexFoldingVersion_";
    static std::string searchIndexFoldingVersion(std::string_view rootFolderUrlString) {
        return std::string(searchIndexFoldingVersionPrefix) + std::string(rootFolderUrlString);
    }
};

}  // namespace lumidex
