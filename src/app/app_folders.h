// The stored searchable folders, opened for queries by the command-line tools: each folder's coordinator
// is created and started (its shards loaded) on first use, without scanning, watching or processing.
#pragma once

#include "search/searchable_folder.h"

namespace lumidex {

// Lists the stored folders (SecurityBookmarks) with their started coordinators. Thread-safe; the
// coordinators live until the process ends.
search::FolderListFunction storedFolderList();

}  // namespace lumidex
