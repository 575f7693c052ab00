#pragma once
// Names of the per-folder files derived from a root folder path: the bookmark file and the
// folder's data directory share one stem. Pure functions; thread-safe.
#include <string>
#include <string_view>

namespace lumidex::folders {

// The stem for a root folder path (NFC): any leading "file://" is dropped and every "/" becomes
// "_", so /Users/a/Docs gives "_Users_a_Docs". That mapping is ambiguous once the path itself
// contains "_" (/a/b_c and /a_b/c both give "_a_b_c"), and a "~" could imitate the suffix below,
// so such paths get "~" and the eight hex digits of the path's FNV-1a hash appended: no two
// folders ever share a bookmark file or a data directory.
std::string bookmarkFileStem(std::string_view nfcPath);

// The bookmark file name: the stem followed by ".data".
std::string bookmarkFileName(std::string_view nfcPath);

}  // namespace lumidex::folders
