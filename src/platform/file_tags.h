// The user's tags on a file (the file manager's labels). On Linux: the extended attribute
// "user.xdg.tags", a comma-separated list of names.
//
// Thread-safe, never throws. readFileTags gives nullopt when the file cannot be read (missing, no
// permission) and an empty list when it exists without tags or the file system has no extended
// attributes. writeFileTags replaces the list (an empty list removes the attribute); false on failure.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumidex::platform {

std::optional<std::vector<std::string>> readFileTags(const std::filesystem::path& path);
bool writeFileTags(const std::filesystem::path& path, const std::vector<std::string>& tags);

}  // namespace lumidex::platform
