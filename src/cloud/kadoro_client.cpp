// Minimal stand-in so the queue links on its own; the client's own version replaces this file.
#include "cloud/kadoro_client.h"

namespace lumidex::cloud {

std::string KadoroError::description() const {
    switch (kind) {
    case Kind::uploadFailed: return "Upload failed (" + std::to_string(statusCode) + "): " + message;
    case Kind::jobFailed: return "Conversion failed: " + message;
    case Kind::downloadFailed: return "Download failed (" + std::to_string(statusCode) + ")";
    case Kind::serviceBusy: return "Service busy, retry after " + std::to_string(retryAfter) + "s";
    case Kind::serverError: return "Server error (" + std::to_string(statusCode) + ")";
    case Kind::networkError: return "Network error: " + message;
    case Kind::rateLimited: return "Rate limit exceeded";
    case Kind::invalidURL: return "invalidURL";
    case Kind::jobNotFound: return "jobNotFound";
    case Kind::fileTooLarge: return "fileTooLarge";
    case Kind::unsupportedFormat: return "unsupportedFormat";
    case Kind::unauthorized: return "unauthorized";
    }
    return {};
}

std::string kadoroMimeType(const std::filesystem::path&) { return "application/octet-stream"; }

}  // namespace lumidex::cloud
