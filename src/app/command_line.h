// The command line shared by the two executables. `lumidex` is the quick one: settings, folders, search
// and duplicates, linked without the document decoders so that a search starts in milliseconds. The
// indexing commands (scan, shell, serve, window, convert-service) and the extraction workers live in `lumidex-indexer`, installed beside
// it; `lumidex` hands those command lines over unchanged.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace lumidex {

inline constexpr const char* indexerExecutableName = "lumidex-indexer";

// Builds the common commands, lets `addMore` add the executable's own ones, parses and runs. Returns
// the process exit code.
int runCommandLine(int argc, char** argv, const std::function<void(CLI::App&)>& addMore);

// True when the command line names a command that only the indexer serves.
bool isIndexerCommandLine(int argc, char** argv);

// True when the environment names a display (DISPLAY or WAYLAND_DISPLAY is set and not empty).
bool displayNamed();

// Replaces this process with the indexer beside the running executable, given the same arguments.
// Returns only on failure, with the exit code to use (the reason is printed).
int execIndexer(char** argv);

}  // namespace lumidex
