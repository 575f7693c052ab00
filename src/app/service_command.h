// "service install|uninstall|status": the systemd user unit "lumidex.service" that runs `lumidex serve`
// across log-ins. The unit lives in $XDG_CONFIG_HOME/systemd/user (default ~/.config/systemd/user) and
// starts this very executable by its absolute path.
//
// systemctl --user (or the program named by $LUMIDEX_SYSTEMCTL) is asked to reload, enable and start
// the unit only when it exists and reaches a user manager; otherwise the unit file is still written and
// the command says what the user has to run. A failed write of the unit ends with exit code 1.
#pragma once

#include <filesystem>
#include <string>

namespace CLI {
class App;
}

namespace lumidex {

// The unit's text: `serve` (with `--api` when asked) from `executable`, restarted when it fails.
std::string serviceUnitText(const std::filesystem::path& executable, bool withApi);

void addServiceCommand(CLI::App& app);

}  // namespace lumidex
