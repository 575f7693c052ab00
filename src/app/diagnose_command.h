// The "diagnose" command: the diagnosis report of the local API server, for support.
#pragma once

namespace CLI {
class App;
}

namespace lumidex {

// Adds "diagnose [--output FILE]": prints (or writes to FILE, e.g. lumidex-mcp-diagnose.txt) the report
// of the server's settings, the port a Lumidex server on this machine answers on (0 when none does),
// and, when one answers and a token is set, its recent events. Asks only 127.0.0.1, each port at most
// about a second. Exit code 0; 1 when FILE cannot be written.
void addDiagnoseCommand(CLI::App& app);

}  // namespace lumidex
