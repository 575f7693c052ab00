// One row of a full-text query, a match found without reading the row, and what ranks such a match.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The item columns the sort orders compare, read for many matches before the few kept are read whole:
// keys[i] belongs to the i-th version asked for (found false when no item has it). A common word brings
// hundreds of thousands of them, so the names share a few buffers instead of a string each; the views
// stay valid as long as this object (moved or not) lives.
struct ItemSortKeys {
    struct Key {
        std::string_view fileName;
        Date fileModifiedDate{};
        bool found = false;
    };
    std::vector<Key> keys;
    std::vector<std::shared_ptr<const std::string>> nameBuffers;
};

}  // namespace lumidex
