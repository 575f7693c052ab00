// The application debug log ("app_debug.log" in the app's documents folder) and the file-manager log
// ("FileManagerLog.txt" in application-support).
//
// appLog() never waits for the disk: lines are queued and written in order by one background writer,
// which flushes everything queued when the process exits normally. Safe from any thread. Failures to
// write are printed to stderr and otherwise ignored.
#pragma once

#include <string_view>

namespace lumidex {

void appLog(std::string_view message);

}  // namespace lumidex
