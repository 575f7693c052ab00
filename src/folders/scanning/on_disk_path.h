// Items are keyed by the NFC form of their path, but Linux file names are bytes: a file written in
// decomposed form (as some archives and other systems do) cannot be opened by its NFC path. This maps
// an NFC path back to the name on disk. Thread-safe; touches only the directories on the way.
#pragma once

#include <string>

namespace lumidex::folders {

// The path as it exists on disk: `nfcPath` itself when it exists, otherwise the path whose components
// match it after NFC normalisation (the first such entry in directory order). Returns `nfcPath`
// unchanged when no match exists, so callers report "not found" on the path they asked for.
std::string onDiskPath(const std::string& nfcPath);

}  // namespace lumidex::folders
