// The "folders" command: add, list and remove searchable folders from the command line.
#pragma once

namespace CLI {
class App;
}

namespace lumidex {

// Adds "folders add PATH [--ai] | list | remove PATH [--yes]" to `app`. Relative paths are taken from
// the current directory. A refused command (not a folder, a protected folder, not stored, a failed
// write) prints the reason to stderr and ends with exit code 1 by throwing CLI::RuntimeError from its
// callback. "remove" asks for confirmation on stdin unless --yes is given; it deletes only the bookmark,
// never a file in the folder. A running application notices the change at its next start.
void addFoldersCommand(CLI::App& app);

}  // namespace lumidex
