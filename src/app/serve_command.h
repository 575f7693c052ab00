// "serve [--api]": Lumidex without a window. Takes the index for writing (as the shell does), indexes
// every stored searchable folder, keeps watching and processing them, and runs the local API server
// when "apiServerEnabledKey" is on or --api is given. Prints the server's address and how to get the
// token (never the token itself). SIGINT or SIGTERM stop the server, cancel the folders' work and
// close every store before the process ends.
#pragma once

namespace CLI {
class App;
}

namespace lumidex {

void addServeCommand(CLI::App& app);

}  // namespace lumidex
