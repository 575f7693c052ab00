// One entry of a synchronised folder tree. JSON coding: core/model/json_coding.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/model/date.h"
#include "core/uuid.h"

namespace lumidex {

struct FileStructureItem {
    Uuid id;
    bool isFile = true;
    std::string url;  // path
    Date creationDate{};
    Date modificationDate{};
    int64_t fileSize = 0;  // bytes
    bool inSyncWithServer = false;
    bool hasContent = false;
    std::optional<int64_t> serverFileId;

    friend bool operator==(const FileStructureItem&, const FileStructureItem&) = default;
};

}  // namespace lumidex
