// Advisory locks between processes of this application.
//
// Thread-safety: may be called from any thread. Failure behaviour: never throws; a lock that cannot
// be taken (held elsewhere, unreadable directory) is reported as not held.
#pragma once

#include <filesystem>

namespace lumidex::platform {

// Takes an exclusive advisory lock on `directory`, without waiting, and keeps it until the process
// ends. True when this process holds it (from this call or an earlier one); false when another
// process does, or the directory cannot be opened. Child processes do not inherit it.
bool holdDirectoryLockUntilExit(const std::filesystem::path& directory);

}  // namespace lumidex::platform
