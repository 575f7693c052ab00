// How documents, folders, processing states and dates are named to outside clients (the local API, the
// AI tools, exports): stable ids, state words and UTC dates. Pure functions; thread-safe; nothing
// throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/date.h"
#include "core/model/enums.h"

namespace lumidex::service {

// A document id is the decimal text of the document version's combinedHash; a folder id is a 32-bit
// number written the same way. nullopt for anything that is not an unsigned 32-bit decimal number
// (signs, blanks, other characters, overflow); leading zeros are allowed.
std::optional<uint32_t> parseDocumentId(std::string_view text);

// A folder id is the FNV-1a hash of the folder's path as stored, in decimal: the same path string
// always gives the same id, a spelling with a trailing "/" another one.
uint32_t folderId(std::string_view folderPath);

// "completed", "not_processed", "processing", "not_supported", "pdf_locked", "syncing" or "error".
std::string_view processingStateName(NanItemProcessingStates state);
// The names in their reporting order, each once.
const std::vector<std::string_view>& processingStateNames();

// ISO 8601 in UTC without fractions ("2024-05-01T10:20:30Z"); nullopt for a date before one second
// after the epoch, which stands for "unknown" in the stores.
std::optional<std::string> reportedDate(Date date);

}  // namespace lumidex::service
