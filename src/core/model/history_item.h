// One entry of the sync history between the desktop and the mobile scanner app.
// JSON coding: core/model/json_coding.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/model/date.h"
#include "core/model/enums.h"
#include "core/uuid.h"

namespace lumidex {

struct HistoryItem {
    Uuid id;
    Uuid uuid;
    int64_t dbId = 0;
    Date creationDate{};
    std::string clientIdentifier;
    std::string encryptionKey;
    std::optional<std::string> relativeSearchableFolderItemUrl;  // relative path
    std::optional<std::string> relativeLocalUrl;                 // relative path
    bool isDirectory = false;
    int64_t pageGroupId = 0;
    int64_t totalPageCount = 0;
    int64_t pageIndex = 0;
    bool isDeleted = false;
    Date fileModifiedDate{};
    Date fileCreatedDate{};
    Date fileContentCreatedDate{};
    int64_t fileSize = 0;
    std::optional<std::vector<uint8_t>> fileData;
    bool editModeActive = false;
    HistoryItemSyncTypes historyItemSyncType = HistoryItemSyncTypes::notDefined;

    friend bool operator==(const HistoryItem&, const HistoryItem&) = default;
};

}  // namespace lumidex
