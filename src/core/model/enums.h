// The enumerations shared by every subsystem, with their stored raw values. Raw values are persisted
// (item tables, settings, sync JSON): never renumber a case.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace lumidex {

enum class NanItemProcessingStates : int64_t {
    complete = 1,
    notProcessed = 3,
    textFileProcessing = 4,
    cloudProcessing = 5,
    imageReady = 6,
    notSupported = 7,
    pdfLocked = 8,
    uploaded = 9,
    readyForProcessing = 10,
    error = 11,
    downloaded = 13,
    cloudFailed = 14,
};

std::optional<NanItemProcessingStates> processingStateFromRaw(int64_t raw);
constexpr int64_t rawValue(NanItemProcessingStates s) { return static_cast<int64_t>(s); }
// Final states end work on a document; anything else means work is pending.
bool isFinal(NanItemProcessingStates s);
std::string_view name(NanItemProcessingStates s);

enum class NanItemTypes { file, folder, search, folderBackNavigationItem, sidebarScannerItem, scannerDateHeader, emailMessage };
enum class SearchResultTypes { normal, fuzzy };

enum class SortOrders { a2z, z2a, new2Old, old2New, relevance };
std::optional<SortOrders> sortOrderFromRaw(std::string_view raw);
std::string_view rawValue(SortOrders s);

enum class SecurityBookmarkStates { valid, stale, doesNotExist, error, noSecurityBookmark };

enum class OcrTextFileUrlTypes {
    sortedFirstPage,
    sortedAllPages,
    firstThirdFirstPage,
    firstThirdAllPages,
    aiDocumentDetails,
    aiDocumentTypes,
    aiStructuredDocument,
};
std::optional<OcrTextFileUrlTypes> ocrTextFileUrlTypeFromRaw(std::string_view raw);
std::string_view rawValue(OcrTextFileUrlTypes t);

enum class HistoryItemSyncTypes : int64_t {
    notDefined = 0,
    onlyForLocalUse = 1,
    downloadFile = 2,
    uploadNewFile = 3,
    uploadModifiedFile = 4,
    createFolder = 5,
    deleteFolder = 6,
    deleteFile = 7,
    uploadSuccess = 8,
    case1 = 9,
    case2 = 10,
    case3 = 11,
};
std::optional<HistoryItemSyncTypes> historyItemSyncTypeFromRaw(int64_t raw);
constexpr int64_t rawValue(HistoryItemSyncTypes t) { return static_cast<int64_t>(t); }

// An option set: created = 1, modified = 2, contentCreated = 4. Empty means "any of the three dates".
struct DateSearchParameters {
    static constexpr int64_t created = 1;
    static constexpr int64_t modified = 2;
    static constexpr int64_t contentCreated = 4;
    static constexpr int64_t all = created | modified | contentCreated;

    int64_t rawValue = all;

    bool contains(int64_t member) const { return (rawValue & member) == member; }
    bool isEmpty() const { return rawValue == 0; }
    bool operator==(const DateSearchParameters&) const = default;
};

enum class FlatPageNanItemStates { notHandled, inProgress, done };

}  // namespace lumidex
