// `lumidex desktop install`: makes Lumidex a desktop application for the current user, with a menu
// entry (applications/lumidex.desktop) and its icon under $XDG_DATA_HOME. The entry starts
// `lumidex window` from the folder the running executable lives in.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace lumidex {

// The desktop entry for a `lumidex` executable at `executable`.
std::string desktopEntry(const std::filesystem::path& executable);

// Writes the entry and the icon below `dataHome`; the message of the first failed write, else nullopt.
std::optional<std::string> installDesktopFiles(const std::filesystem::path& dataHome,
                                               const std::filesystem::path& executable);

void addDesktopCommand(CLI::App& app);

}  // namespace lumidex
