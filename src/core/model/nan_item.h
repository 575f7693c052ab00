// One indexed document (or one mail message in search results). A changed document is represented by a
// new value. Identity for equality and hashing is (id, urlString) only: sets and maps of items rely on
// that, so two versions of one record with different states or dates are the same element.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/hashing.h"
#include "core/model/date.h"
#include "core/model/enums.h"
#include "core/uuid.h"

namespace lumidex {

struct NanItem {
    Uuid id;
    std::string urlString;  // absolute NFC path of the document
    std::string fileName;   // last path component
    uint32_t combinedHash = 0;
    uint32_t contentHash = 0;
    int64_t totalPageCount = -1;  // -1: not yet known
    Date fileModifiedDate{};
    Date fileCreatedDate{};
    Date fileContentCreatedDate{};
    NanItemTypes type = NanItemTypes::file;
    SearchResultTypes searchResultType = SearchResultTypes::normal;
    NanItemProcessingStates processingState = NanItemProcessingStates::notProcessed;
    std::string rootFolderUrl;  // path of the searchable folder holding the document
    std::optional<std::string> mailbox;

    friend bool operator==(const NanItem& a, const NanItem& b) { return a.id == b.id && a.urlString == b.urlString; }
};

}  // namespace lumidex

template <>
struct std::hash<lumidex::NanItem> {
    size_t operator()(const lumidex::NanItem& item) const noexcept {
        return lumidex::hashCombine(std::hash<lumidex::Uuid>{}(item.id), std::hash<std::string>{}(item.urlString));
    }
};
