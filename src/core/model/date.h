// The project's point in time: seconds since 1970-01-01 UTC as a double, the form the stores keep
// (REAL columns) and the sync records carry. Sub-second precision survives; leap seconds do not exist.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace lumidex {

using Date = std::chrono::sys_time<std::chrono::duration<double>>;

inline double secondsSince1970(Date date) { return date.time_since_epoch().count(); }
inline Date dateFromSecondsSince1970(double seconds) { return Date(std::chrono::duration<double>(seconds)); }
inline Date dateFromSystemClock(std::chrono::system_clock::time_point t) {
    return std::chrono::time_point_cast<std::chrono::duration<double>>(t);
}
inline Date now() { return dateFromSystemClock(std::chrono::system_clock::now()); }

// "2024-05-01T12:30:05Z", or with milliseconds "2024-05-01T12:30:05.250Z" (rounded down). Years are
// clamped to 0000...9999 and a non-finite date is written as the epoch, so the text is always valid.
std::string iso8601String(Date date, bool withMilliseconds = false);

// The current time as "20240501T123005Z", for the names of files kept aside.
std::string compactUtcTimestamp();

// Reads "yyyy-MM-ddTHH:mm:ss" with optional fraction and a "Z" or "+hh:mm"/"-hh:mm"/"+hhmm" offset
// (a lower-case "t"/"z" and a space separator are accepted too). Anything else gives nullopt.
std::optional<Date> parseIso8601(std::string_view text);

}  // namespace lumidex
