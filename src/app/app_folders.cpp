#include "app/app_folders.h"


#include "folders/coordinator/balanced_data_manager.h"
#include "folders/registry/security_bookmarks.h"
#include "platform/unicode.h"
#include "search/stored_folder_index.h"

namespace lumidex {

search::FolderListFunction storedFolderList() {
    return [] {
        // Built on first use: reading the bookmarks must wait until the command line has been parsed.
        static search::FolderListFunction list = [] {
            std::vector<std::string> roots;
            for (std::string folder : folders::SecurityBookmarks::shared().list()) {
                folder = platform::toNfc(folder);
                while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
                roots.push_back(std::move(folder));
            }
            return search::storedFolderIndexList(std::move(roots), [](const std::string& root) {
                return folders::folderDataDirectory(root);
            });
        }();
        return list();
    };
}

}  // namespace lumidex
