// Copying a folder tree to another file system so that the original can go safely: the copy can be
// compared with the original (every entry's kind, every file's size and bytes, every link's target) before
// the original is removed. Nothing here throws. Safe to call from several threads on different trees.
#pragma once

#include <filesystem>
#include <system_error>

namespace lumidex::platform {

// Copies `from` (a file or a folder, links kept as links) to `to`, which must not exist. On failure the
// partial copy is removed and the error returned; `from` is never touched.
std::error_code copyTree(const std::filesystem::path& from, const std::filesystem::path& to);

// True when `copy` holds exactly the entries of `original` with the same contents.
bool sameTree(const std::filesystem::path& original, const std::filesystem::path& copy);

}  // namespace lumidex::platform
