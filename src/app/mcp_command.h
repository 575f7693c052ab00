// "mcp install|status": registers Lumidex as an MCP server of Claude Desktop and reports the
// registration. Neither needs a running server; the token is never printed.
#pragma once

namespace CLI {
class App;
}

namespace lumidex {

// "mcp install [--json]" turns "apiServerEnabledKey" on, stores a new token when none is set, takes the
// port a running Lumidex server answers on (else "apiServerPortKey") and writes the Claude Desktop
// entry; without Claude Desktop it changes nothing. "mcp status [--json]" prints whether Claude Desktop
// is installed, whether Lumidex is registered and whether the registration names this installation's
// bridge. Exit code 0; 1 with the error text on stderr when a setting or the registration fails.
void addMcpCommand(CLI::App& app);

}  // namespace lumidex
