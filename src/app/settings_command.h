// The "settings" command: list, read and change the user's preferences from the command line.
#pragma once

namespace CLI {
class App;
}

namespace lumidex {

// Adds "settings list | get KEY | set KEY VALUE | remove KEY" to `app`. The commands open the user's
// settings file only when they run. A refused command (unknown key, wrong type, out of range, failed
// write) prints the reason to stderr and ends with exit code 1 by throwing CLI::RuntimeError from its
// callback. A running application keeps its own copy of the settings: changes made here take effect at
// its next start, and are lost if it saves its settings before then.
void addSettingsCommands(CLI::App& app);

}  // namespace lumidex
