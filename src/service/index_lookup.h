// How the outside ways in (local API, MCP) name documents, folders, states and dates, and how they find
// a document or a folder of the running coordinators by those names.
//
// Document id: the decimal combined hash of the version (unsigned 32-bit). Folder id: the decimal
// 32-bit FNV-1a hash of the folder's path as registered. Pure functions apart from the lookups, which
// read the coordinators (thread-safe, they wait for a folder's start-up like every coordinator query).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/date.h"
#include "core/model/nan_item.h"

namespace lumidex::folders {
class BalancedDataManager;
class CoreManagerData;
}  // namespace lumidex::folders

namespace lumidex::service {

// "completed", "not_processed", "processing", "not_supported", "pdf_locked", "syncing" or "error".
std::string_view processingStateApiName(NanItemProcessingStates state);
// The names in their reporting order, each once.
const std::vector<std::string_view>& processingStateApiNames();

uint32_t folderIdOf(std::string_view folderPath);
// A decimal unsigned 32-bit number without sign, blanks or anything after it; otherwise nullopt.
std::optional<uint32_t> parseDecimalId(std::string_view text);

// "2024-05-01T10:20:30Z"; nullopt for dates earlier than one second after 1970 (never set).
std::optional<std::string> isoDateOrNone(Date date);

// Why a request was turned down; each kind is one answer of the API.
enum class RefusalKind { badRequest, notFound, conflict, internal };
struct Refusal {
    RefusalKind kind;
    std::string message;
};

struct LocatedDocument {
    NanItem item;
    std::shared_ptr<folders::BalancedDataManager> manager;
    std::string folder;  // the searchable folder's path
};

// The version with this combined hash in any started folder; nullopt when none holds it.
std::optional<LocatedDocument> locateDocument(folders::CoreManagerData& core, uint32_t combinedHash);
// The document named by `documentId`: "Invalid document ID" (bad request) or "Document not found".
std::optional<LocatedDocument> locateDocument(folders::CoreManagerData& core, std::string_view documentId,
                                              Refusal& refusal);

// The registered folders: the paths a folder id can name. None given: the coordinators' folders.
using RegisteredFolders = std::function<std::vector<std::string>()>;

struct LocatedFolder {
    std::string path;
    std::shared_ptr<folders::BalancedDataManager> manager;  // null when no coordinator runs for it
};

// The registered folder named by `folderId`: "Missing folder ID" (bad request) or "Folder not found".
std::optional<LocatedFolder> locateFolder(folders::CoreManagerData& core, const RegisteredFolders& registered,
                                          std::string_view folderId, Refusal& refusal);

}  // namespace lumidex::service
