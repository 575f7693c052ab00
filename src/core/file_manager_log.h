// "FileManagerLog.txt" in the application-support folder: one line per file-system operation worth
// keeping a record of, as "[yyyy-MM-dd HH:mm:ss.SSS] line" (local time).
//
// Each line is appended with a single write to a file opened for appending, so lines from several
// threads or processes never interleave. Synchronous. Failures are printed to stderr and otherwise
// ignored; the functions report them only through their result.
#pragma once

#include <filesystem>
#include <string_view>

namespace lumidex {

inline constexpr std::string_view kFileManagerLogName = "FileManagerLog.txt";

// Appends to <directory>/FileManagerLog.txt, creating the folder if missing. True when the line was written.
bool appendFileManagerLog(const std::filesystem::path& directory, std::string_view line);
// Appends to the current user's application-support folder.
bool fileManagerLog(std::string_view line);

}  // namespace lumidex
