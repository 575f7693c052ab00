// JSON coding of the sync records. Keys are the field names. Dates are seconds since 1970 (number),
// UUIDs the upper-case canonical string, bytes base64, paths plain strings, HistoryItemSyncTypes its
// integer raw value. An absent optional is left out; on input it may be absent or null.
//
// The string functions never throw: malformed JSON, a missing or mistyped key, or an unknown raw value
// gives nullopt. The nlohmann adapters (for embedding in larger documents) throw nlohmann::json
// exceptions on the same faults.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/file_structure_item.h"
#include "core/model/history_item.h"

namespace lumidex {

std::string toJson(const FileStructureItem& item);
std::string toJson(const HistoryItem& item);
std::optional<FileStructureItem> fileStructureItemFromJson(std::string_view json);
std::optional<HistoryItem> historyItemFromJson(std::string_view json);

void to_json(nlohmann::json& j, const FileStructureItem& item);
void from_json(const nlohmann::json& j, FileStructureItem& item);
void to_json(nlohmann::json& j, const HistoryItem& item);
void from_json(const nlohmann::json& j, HistoryItem& item);

// Standard base64 with padding; decoding also accepts missing padding and rejects anything else.
std::string base64Encode(const std::vector<uint8_t>& bytes);
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace lumidex
