// Adapts the folder coordinators to what the search needs. The adapter holds its coordinator by
// shared_ptr, so a search that started before a folder was removed finishes its queries safely; the
// removed folder's rows are then dropped because the coordinator is cancelled.
#pragma once

#include <memory>

#include "search/searchable_folder.h"

namespace lumidex::folders {
class BalancedDataManager;
class CoreManagerData;
}  // namespace lumidex::folders

namespace lumidex::search {

std::shared_ptr<SearchableFolderIndex> makeCoordinatorFolderIndex(
    std::shared_ptr<folders::BalancedDataManager> manager);

// Every folder configured in `core` at the time of each call. `core` must outlive the function.
FolderListFunction coordinatorFolderList(folders::CoreManagerData& core);

}  // namespace lumidex::search
