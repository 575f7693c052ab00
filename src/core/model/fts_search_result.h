// One row of a full-text query, a match found without reading the row, and what ranks such a match.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/model/date.h"

namespace lumidex {

struct FtsSearchResult {
    uint32_t combinedHash = 0;
    std::string urlPath;
    std::string fileName;
    std::optional<std::string> snippet;
    int64_t matchCount = 0;
    Date creationDate{};
    Date modificationDate{};
    Date contentCreated{};

    friend bool operator==(const FtsSearchResult&, const FtsSearchResult&) = default;
};

struct FtsMatch {
    uint32_t combinedHash = 0;
    int64_t matchCount = 1;

    friend bool operator==(const FtsMatch&, const FtsMatch&) = default;
};

// The item columns the sort orders compare, read for many matches before the few kept are read whole.
struct ItemSortKey {
    uint32_t combinedHash = 0;
    std::string fileName;
    Date fileModifiedDate{};
};

}  // namespace lumidex
