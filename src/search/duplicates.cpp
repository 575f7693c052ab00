#include "search/duplicates.h"

#include <algorithm>
#include <utility>

namespace lumidex::search {
namespace {

// Header and separator rows get ids derived from their group, duplicate rows the document's id.
Uuid groupRowId(uint32_t groupId, uint8_t kind) {
    Uuid::Bytes bytes{};
    bytes[0] = 0xD0;
    bytes[1] = kind;
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(12 + i)] = static_cast<uint8_t>(groupId >> (24 - 8 * i));
    bytes[6] = 0x80;  // version 8 (custom), RFC 4122 variant
    bytes[8] = 0x80;
    return Uuid(bytes);
}

}  // namespace

bool produceDuplicateGroups(const std::vector<NanItem>& items, const DuplicatesProducerClock& clock,
                            const CancellationToken& token, const std::function<void(DuplicateGroups)>& handOver) {
    DuplicateGroups pending;
    auto lastHandOver = clock.now();
    for (const NanItem& item : items) {
        if (item.contentHash != 0) pending[item.contentHash].push_back(item);
        if (token.isCancelled()) return false;
        const auto now = clock.now();
        if (now - lastHandOver >= clock.handOverInterval) {
            if (!pending.empty()) handOver(std::exchange(pending, {}));
            lastHandOver = now;
        }
    }
    if (token.isCancelled()) return false;
    if (!pending.empty()) handOver(std::move(pending));
    return true;
}

void mergeDuplicateGroups(DuplicateGroups& into, DuplicateGroups partial) {
    for (auto& [hash, documents] : partial) {
        auto& group = into[hash];
        group.insert(group.end(), std::make_move_iterator(documents.begin()), std::make_move_iterator(documents.end()));
    }
}

std::vector<DuplicateItemViewModel> duplicateRows(const DuplicateGroups& groups) {
    std::vector<std::pair<uint32_t, std::vector<NanItem>>> shown;
    for (const auto& [hash, documents] : groups) {
        if (hash == 0 || documents.size() < 2) continue;
        std::vector<NanItem> sorted = documents;
        std::stable_sort(sorted.begin(), sorted.end(), [](const NanItem& a, const NanItem& b) {
            return a.fileModifiedDate < b.fileModifiedDate;
        });
        shown.emplace_back(hash, std::move(sorted));
    }
    std::stable_sort(shown.begin(), shown.end(), [](const auto& a, const auto& b) {
        const Date& oldestA = a.second.front().fileModifiedDate;
        const Date& oldestB = b.second.front().fileModifiedDate;
        return oldestA != oldestB ? oldestA < oldestB : a.first < b.first;
    });

    std::vector<DuplicateItemViewModel> rows;
    for (const auto& [hash, documents] : shown) {
        const Date oldest = documents.front().fileModifiedDate;
        rows.push_back({groupRowId(hash, 1), hash, oldest, DuplicateItemViewModelTypes::header, std::nullopt});
        for (const NanItem& document : documents) {
            rows.push_back({document.id, hash, document.fileModifiedDate, DuplicateItemViewModelTypes::duplicate,
                            document});
        }
        rows.push_back({groupRowId(hash, 2), hash, oldest, DuplicateItemViewModelTypes::seperator, std::nullopt});
    }
    return rows;
}

size_t duplicateGroupCount(const DuplicateGroups& groups) {
    return static_cast<size_t>(std::count_if(groups.begin(), groups.end(), [](const auto& entry) {
        return entry.first != 0 && entry.second.size() >= 2;
    }));
}

}  // namespace lumidex::search
