// How the outside ways in (local API, MCP) find a registered folder of the running coordinators by its
// folder id (index_identity.h), and the refusals their services answer with. Documents are found by
// DocumentService. Reads the coordinators (thread-safe).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::folders {
class BalancedDataManager;
class CoreManagerData;
}  // namespace lumidex::folders

namespace lumidex::service {

// Why a request was turned down; each kind is one answer of the API.
enum class RefusalKind { badRequest, notFound, conflict, internal };
struct Refusal {
    RefusalKind kind;
    std::string message;
};

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
