// Reading embedded image metadata (EXIF) without decoding pixels.
//
// Never throws: a file that cannot be read or parsed has no metadata. Thread-safe.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lumidex::platform {

// The first present of DateTimeOriginal, DateTimeDigitized and DateTime, as stored
// ("yyyy:MM:dd HH:mm:ss"), or nullopt.
std::optional<std::string> exifCaptureDate(const std::filesystem::path& path);

// Whether the metadata library can read this kind of file at all (by lower-case extension), so that
// callers skip opening files that cannot carry image metadata.
bool mayCarryImageMetadata(std::string_view path);

}  // namespace lumidex::platform
