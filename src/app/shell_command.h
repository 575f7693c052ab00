// "shell [FOLDER]": Lumidex's main job on the command line. Adds FOLDER as a searchable folder (when
// given), indexes every searchable folder with a live progress display, keeps watching them, and
// answers searches typed at a prompt until "quit" or the end of input. With --api the local API server
// runs over the same index while the prompt is open, and a ready-to-paste curl search (with the token)
// is printed.
#pragma once

namespace CLI {
class App;
}

namespace lumidex {

void addShellCommand(CLI::App& app);

}  // namespace lumidex
