// `lumidex window [FOLDER]`: indexes and watches the searchable folders (adding FOLDER first) with the
// desktop window open; `--api` also starts the local API server. Lives in the indexer, which links Qt.
#pragma once

namespace CLI {
class App;
}

namespace lumidex {

void addWindowCommand(CLI::App& app);

// The window without a command (`lumidex` alone on a desktop): returns the exit code.
int runWindowWithoutArguments();

}  // namespace lumidex
