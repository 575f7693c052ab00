// Folder paths as the folder registry stores and compares them. Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace lumidex::folders {

// The form in which a folder path is stored and compared: Unicode NFC, "." and ".." components and
// repeated "/" resolved lexically (symbolic links are not followed), no trailing "/" except for "/"
// itself. A leading "file://" is dropped. Relative paths stay relative; the empty path stays empty.
std::string normalizedFolderPath(std::string_view path);

// True when `ancestor` is `path` itself or a folder above it (whole components: "/a" is not above
// "/ab"). Both must already be normalized.
bool isSameOrInside(std::string_view path, std::string_view ancestor);

// The last component of a normalized path ("Docs" for "/Users/a/Docs", "/" for "/").
std::string folderDisplayName(std::string_view normalizedPath);

}  // namespace lumidex::folders
