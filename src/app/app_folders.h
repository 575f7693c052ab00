// The stored searchable folders, opened for queries by the one-shot command-line tools: each folder is
// read straight from its stored index, without a coordinator, so a search costs only its queries.
#pragma once

#include "search/searchable_folder.h"

namespace lumidex {

// Lists the stored folders (SecurityBookmarks), each backed by its index in the data directory.
// Thread-safe; the list is read once, on first use.
search::FolderListFunction storedFolderList();

}  // namespace lumidex
