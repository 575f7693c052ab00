// The "status" command: what the index of each searchable folder holds and what it still owes.
#pragma once

#include "search/searchable_folder.h"

namespace CLI {
class App;
}

namespace lumidex {

// Adds "status [--json]": per folder, the documents found by their text, those waiting to be read, the
// office files found by name only, the unreadable and locked ones, the ones not indexed, recognition
// still owed, and damaged index files kept aside. Reads the stored index; exit code 0.
void addStatusCommand(CLI::App& app, search::FolderListFunction folders);

}  // namespace lumidex
