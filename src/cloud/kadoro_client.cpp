#include "cloud/kadoro_client.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace lumidex::cloud {

std::string KadoroError::description() const {
    switch (kind) {
        case Kind::uploadFailed:
            return "Upload failed (" + std::to_string(statusCode) + "): " + message;
        case Kind::jobFailed:
            return "Conversion failed: " + message;
        case Kind::downloadFailed:
            return "Download failed (" + std::to_string(statusCode) + ")";
        case Kind::serviceBusy:
            return "Service busy, retry after " + std::to_string(retryAfter) + "s";
        case Kind::serverError:
            return "Server error (" + std::to_string(statusCode) + ")";
        case Kind::networkError:
            return "Network error: " + message;
        case Kind::invalidURL:
            return "Invalid service URL";
        case Kind::jobNotFound:
            return "Job not found";
        case Kind::fileTooLarge:
            return "File too large";
        case Kind::unsupportedFormat:
            return "Unsupported file format";
        case Kind::unauthorized:
            return "Unauthorized: invalid API key";
        case Kind::rateLimited:
            return "Rate limit exceeded";
    }
    return "Unknown error";
}

std::string kadoroMimeType(const std::filesystem::path& file) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 16> types{{
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"doc", "application/msword"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"xls", "application/vnd.ms-excel"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"odt", "application/vnd.oasis.opendocument.text"},
        {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
        {"odp", "application/vnd.oasis.opendocument.presentation"},
        {"pages", "application/x-iwork-pages-sffpages"},
        {"numbers", "application/x-iwork-numbers-sffnumbers"},
        {"keynote", "application/x-iwork-keynote-sffkey"},
        {"key", "application/x-iwork-keynote-sffkey"},
        {"rtf", "application/rtf"},
        {"csv", "text/csv"},
        {"pdf", "application/pdf"},
    }};
    std::string extension = file.extension().string();
    if (!extension.empty()) extension.erase(0, 1);  // the dot
    // ASCII only: a locale's rules must not turn an "I" into something else.
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    for (const auto& [known, type] : types) {
        if (known == extension) return std::string(type);
    }
    return "application/octet-stream";
}

}  // namespace lumidex::cloud
