// The value each preference has while nothing is stored under its key. Member names follow the key
// constants of SettingsKeys without their "Key" suffix. Keys without a default here (identifiers, the
// selected sidebar path, panel positions) are "absent" until something stores them.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumidex {

struct DefaultSettings {
    static constexpr int64_t startSearchCharacterCount = 3;
    static constexpr int64_t automaticallySearchAfter = 1;  // seconds
    static constexpr int64_t limitSearchResultsType = 2;    // 250 results
    static constexpr std::string_view sortOrder = "new2Old";

    static constexpr bool showOcrRects = true;
    static constexpr bool animateOcrRects = true;
    static constexpr bool scaleAnimateOcrRects = true;
    static constexpr bool checkBoxFuerBearbeitetEinblenden = false;

    static constexpr bool lowResImages = false;
    static constexpr bool ignoreSmallImages = true;
    // Text files larger than this are not read; a user may raise it up to the cap, beyond which one
    // file's text would cost the extraction worker and the full-text store too much memory.
    static constexpr int64_t maxTextFileSizeBytes = 512000;
    static constexpr int64_t maxTextFileSizeBytesCap = 50'000'000;
    static constexpr bool slowHardDrive = false;
    // Per folder: extraction results kept by content, so that a moved, copied or touched file is not
    // read and recognised again. 0 turns the cache off.
    static constexpr int64_t contentCacheMaxBytes = int64_t{256} << 20;
    static constexpr int64_t contentCacheMaxBytesCap = int64_t{64} << 30;
    static constexpr bool disableIdleTimer = true;
    static constexpr bool excludeFilesWithPathExtensionActive = false;
    static constexpr bool useCloudService = false;
    static constexpr bool acceptCloudServiceConditions = false;
    static constexpr std::string_view conversionServiceURL = "";
    static constexpr std::string_view conversionServiceAPIKey = "";
    static constexpr bool localOfficeConversion = true;

    static constexpr bool showBusyIndicator = true;
    static constexpr bool alwaysShowBusyIndicator = false;
    static constexpr bool showBusySheet = true;
    static constexpr bool thumbsInListView = false;
    static constexpr bool settingsShowPathBar = true;
    static constexpr bool showPathInListHeader = true;
    static constexpr bool showFileTypeIcons = true;
    static constexpr bool showListViewModifiedFileIndicator = true;
    static constexpr double listFontSize = 13.0;
    static constexpr std::string_view selectedStyleType = "Auto";

    static constexpr bool showTranscriptItemNumbers = true;
    static constexpr bool autoToggleTranscript = true;
    static constexpr bool resetTranscript = false;
    static constexpr double transcriptWidth = 280.0;
    static constexpr int64_t transcriptOcrItemGlobalCount = 0;
    // Raw value of the user interface's transcript visibility mode.
    static constexpr int64_t isTranscriptViewVisible2 = 0;
    static constexpr double zoomLevelBackingField = 1.0;

    static constexpr bool dontShowIntroductionAgain = false;
    static constexpr bool showRecentScanItems = true;
    static constexpr double numberOfRecentScanItems = 25.0;
    static constexpr int64_t scanDateFormatStyle = 1;
    static constexpr bool scanDateShowCount = false;

    // Panel sizes: a stored 0 (the default) means the "used" size; any other value is clamped.
    static constexpr double filterPanelWidth = 0;
    static constexpr double filterPanelHeight = 0;
    static constexpr double infoPanelWidth = 0;
    static constexpr double infoPanelHeight = 0;
    static constexpr double filterPanelWidthUsed = 560, filterPanelWidthMin = 320, filterPanelWidthMax = 800;
    static constexpr double filterPanelHeightUsed = 320, filterPanelHeightMin = 200, filterPanelHeightMax = 600;
    static constexpr double infoPanelWidthUsed = 340, infoPanelWidthMin = 280, infoPanelWidthMax = 600;
    static constexpr double infoPanelHeightUsed = 480, infoPanelHeightMin = 300, infoPanelHeightMax = 800;

    static constexpr bool mailSourceEnabled = false;
    static constexpr bool apiServerEnabled = false;
    static constexpr int64_t apiServerPort = 44477;
    static constexpr std::string_view apiServerToken = "";
    static constexpr bool apiServerAllowLan = false;
    static constexpr bool lanDefaultMigrationDone = false;

    static constexpr int64_t searchIndexFoldingVersion = 0;
};

}  // namespace lumidex
