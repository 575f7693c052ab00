#include "service/index_lookup.h"

#include "folders/coordinator/core_manager_data.h"
#include "service/index_identity.h"

namespace lumidex::service {

std::optional<LocatedFolder> locateFolder(folders::CoreManagerData& core, const RegisteredFolders& registered,
                                          std::string_view folderIdText, Refusal& refusal) {
    if (folderIdText.empty()) {
        refusal = {RefusalKind::badRequest, "Missing folder ID"};
        return std::nullopt;
    }
    const auto id = parseDocumentId(folderIdText);
    const auto managers = core.balancedDataManagers();
    std::vector<std::string> paths;
    if (registered) {
        paths = registered();
    } else {
        for (const auto& manager : managers) paths.push_back(manager->rootFolderUrlString());
    }
    for (const std::string& path : paths) {
        if (!id || folderId(path) != *id) continue;
        LocatedFolder folder{path, nullptr};
        for (const auto& manager : managers) {
            if (manager->rootFolderUrlString() == path) folder.manager = manager;
        }
        return folder;
    }
    refusal = {RefusalKind::notFound, "Folder not found"};
    return std::nullopt;
}

}  // namespace lumidex::service
