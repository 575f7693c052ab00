#include "core/model/date.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace lumidex {
namespace {

using namespace std::chrono;

constexpr double kMinSeconds = -62167219200.0;  // 0000-01-01T00:00:00Z
constexpr double kMaxSeconds = 253402300799.0;  // 9999-12-31T23:59:59Z

bool digits(std::string_view text, size_t pos, size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::string iso8601String(Date date, bool withMilliseconds) {
    double seconds = secondsSince1970(date);
    if (!std::isfinite(seconds)) seconds = 0;
    seconds = std::clamp(seconds, kMinSeconds, kMaxSeconds);
    const double whole = std::floor(seconds);
    auto millis = static_cast<int>((seconds - whole) * 1000.0);
    millis = std::clamp(millis, 0, 999);

    const sys_seconds t{std::chrono::seconds(static_cast<int64_t>(whole))};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<std::chrono::seconds> time{t - day};

    char buffer[40];
    int n = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
                          static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                          static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                          static_cast<int>(time.seconds().count()));
    if (withMilliseconds) n += std::snprintf(buffer + n, sizeof buffer - static_cast<size_t>(n), ".%03d", millis);
    std::string out(buffer, static_cast<size_t>(n));
    out.push_back('Z');
    return out;
}

std::optional<Date> parseIso8601(std::string_view text) {
    int y, mo, d, h, mi, s;
    if (!digits(text, 0, 4, y) || text.size() < 19 || text[4] != '-' || !digits(text, 5, 2, mo) || text[7] != '-' ||
        !digits(text, 8, 2, d) || (text[10] != 'T' && text[10] != 't' && text[10] != ' ') || !digits(text, 11, 2, h) ||
        text[13] != ':' || !digits(text, 14, 2, mi) || text[16] != ':' || !digits(text, 17, 2, s)) {
        return std::nullopt;
    }
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 60) return std::nullopt;

    size_t pos = 19;
    double fraction = 0;
    if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
        ++pos;
        double scale = 0.1;
        const size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            fraction += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }

    int offsetSeconds = 0;
    if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos] == '-' ? -1 : 1;
        int oh, om;
        if (!digits(text, pos + 1, 2, oh)) return std::nullopt;
        size_t next = pos + 3;
        if (next < text.size() && text[next] == ':') ++next;
        if (!digits(text, next, 2, om) || oh > 23 || om > 59) return std::nullopt;
        offsetSeconds = sign * (oh * 3600 + om * 60);
        pos = next + 2;
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;

    const double days = static_cast<double>(sys_days{ymd}.time_since_epoch().count());
    const double seconds = days * 86400.0 + h * 3600.0 + mi * 60.0 + s + fraction - offsetSeconds;
    return dateFromSecondsSince1970(seconds);
}

std::string compactUtcTimestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &tm);
    return buffer;
}

}  // namespace lumidex
