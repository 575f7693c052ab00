// One row of a full-text query.
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

}  // namespace lumidex
