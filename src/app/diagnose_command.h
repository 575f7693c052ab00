// The "diagnose" command: the diagnosis report of the local API server, for support.
#pragma once

#include <cstdint>

namespace CLI {
class App;
}

namespace lumidex {

// Adds "diagnose [--output FILE]": prints (or writes to FILE, e.g. lumidex-mcp-diagnose.txt) the report
// of the server's settings, the port a Lumidex server on this machine answers on (0 when none does),
// and, when one answers and a token is set, its recent events. Asks only 127.0.0.1, each port at most
// about a second. Exit code 0; 1 when FILE cannot be written.
void addDiagnoseCommand(CLI::App& app);

// The first of apiServerPortCandidates(configuredPort) on which a Lumidex server answers on 127.0.0.1,
// 0 when none does (another program on a port does not count). Takes up to about a second per port.
uint16_t runningServerPort(int64_t configuredPort);

}  // namespace lumidex
