#include "storage/image_capture_date.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/image_metadata.h"

namespace lumidex::storage {
namespace {

std::optional<Date> parseExifDate(const std::string& text) {
    std::tm tm{};
    if (std::sscanf(text.c_str(), "%d:%d:%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec) != 6 ||
        tm.tm_year < 1 || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31) {
        return std::nullopt;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    // EXIF dates carry no zone; like the camera, read them as local time.
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return dateFromSecondsSince1970(static_cast<double>(t));
}

}  // namespace

std::optional<Date> imageCaptureDate(const std::string& path) {
    if (!platform::mayCarryImageMetadata(path)) return std::nullopt;
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > maxCaptureDateFileSize) return std::nullopt;
    const std::optional<std::string> raw = platform::exifCaptureDate(path);
    if (!raw) return std::nullopt;
    return parseExifDate(*raw);
}

}  // namespace lumidex::storage
