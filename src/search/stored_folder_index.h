// A searchable folder read straight from its stored index, for one-shot commands (`lumidex search`,
// `lumidex duplicates`) that must answer in milliseconds: no coordinator, no start-up load of the item
// tables, no scan and no watcher. What the last indexing run stored is what is found; a later scan
// (`lumidex scan`, the shell) brings the index up to date. Shards are opened for one command
// (storage::ShardUse::oneCommand): a shard no other process has open is held alone until closeStores().
// The sort keys of a common word's hits come from a cache file per item shard (storage::SortKeyMemo, in
// the user's cache folder) instead of a pass over each item table.
//
// Thread-safety: every member may be called from any thread; each item shard has its own lock and its
// connection is opened on first use. Look-ups of many items fan out over the shared thread pool. Failure behaviour: a shard that cannot be opened contributes
// nothing (the stores log); nothing throws.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "search/searchable_folder.h"

namespace lumidex::search {

std::shared_ptr<SearchableFolderIndex> makeStoredFolderIndex(std::string rootPath,
                                                             std::filesystem::path folderDataDirectory);

// The given folders, each read from its stored index in `folderDataDirectoryOf(root)` (asked once per
// folder, now).
FolderListFunction storedFolderIndexList(std::vector<std::string> rootPaths,
                                         std::function<std::filesystem::path(const std::string&)> folderDataDirectoryOf);

}  // namespace lumidex::search
