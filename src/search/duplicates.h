// Finding documents with the same extracted text: groups by non-zero contentHash, the producer that
// hands growing partial groups over at most every few seconds, and the rows the result list shows.
// Pure functions, thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "core/model/nan_item.h"
#include "core/uuid.h"

namespace lumidex::search {

inline constexpr std::string_view kNoDuplicatesFoundText = "No duplicates found";

// contentHash -> documents with that text. Hash 0 (text too short to identify) never appears.
using DuplicateGroups = std::map<uint32_t, std::vector<NanItem>>;

enum class DuplicateItemViewModelTypes { header, duplicate, seperator };

struct DuplicateItemViewModel {
    Uuid id;              // stable for a row across rebuilds, so a selection survives new results
    uint32_t groupId = 0;  // the group's contentHash
    Date modificationDate{};
    DuplicateItemViewModelTypes type = DuplicateItemViewModelTypes::header;
    std::optional<NanItem> nanItem;  // present on duplicate rows
};

struct DuplicatesProducerClock {
    using Clock = std::chrono::steady_clock;
    std::function<Clock::time_point()> now;
    Clock::duration handOverInterval = std::chrono::seconds(3);
};

// Walks the items and hands partial maps over: whenever at least `handOverInterval` passed since the
// last hand-over (a new map is started then), and what is left at the end if not empty. Returns false,
// without the final hand-over, when `token` was cancelled.
bool produceDuplicateGroups(const std::vector<NanItem>& items, const DuplicatesProducerClock& clock,
                            const CancellationToken& token, const std::function<void(DuplicateGroups)>& handOver);

// Appends each list of `partial` to the group of the same hash.
void mergeDuplicateGroups(DuplicateGroups& into, DuplicateGroups partial);

// The rows of every group of two or more documents: header, the documents oldest modification first,
// separator. Groups are listed by their oldest document, oldest group first (ties by hash).
std::vector<DuplicateItemViewModel> duplicateRows(const DuplicateGroups& groups);

// Number of groups with at least two documents.
size_t duplicateGroupCount(const DuplicateGroups& groups);

}  // namespace lumidex::search
