// SIGINT and SIGTERM as a readable file descriptor, for commands that run until told to stop (serve,
// convert-service). The handler only writes one byte (async-signal-safe), whichever thread the kernel
// picks; a second signal ends the process the default way. Call once per process, from the main thread.
#pragma once

#include <string_view>

namespace lumidex {

// Installs the handlers; on failure says so on stderr under COMMAND's name and throws CLI::RuntimeError(1).
// Returns the descriptor that becomes readable when a stop signal arrives.
int installStopSignals(std::string_view command);

// Waits until a stop signal has arrived.
void waitForStopSignal(int descriptor);

}  // namespace lumidex
