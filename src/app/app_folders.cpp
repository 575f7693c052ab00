#include "app/app_folders.h"

#include <mutex>

#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/security_bookmarks.h"
#include "search/coordinator_folder_index.h"

namespace lumidex {

search::FolderListFunction storedFolderList() {
    return [] {
        static std::once_flag opened;
        auto& core = folders::CoreManagerData::shared();
        std::call_once(opened, [&core] {
            for (const std::string& folder : folders::SecurityBookmarks::shared().list()) {
                core.addFolder(folder)->startInBackground();
            }
        });
        return search::coordinatorFolderList(core)();
    };
}

}  // namespace lumidex
