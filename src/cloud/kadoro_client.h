// The conversion service's protocol as a client sees it: upload a file for conversion, ask for the
// job's state, download the result. KadoroClient is the seam; KadoroApiClient (kadoro_api_client.h)
// speaks it over HTTP, tests use fakes.
//
// Calls never throw (except std::bad_alloc) and never retry: every failure comes back as a
// KadoroError, and the queue decides what to do. Implementations are thread-safe: several uploads
// and polls may be in flight at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace lumidex::cloud {

struct KadoroConfiguration {
    std::string baseURL;  // ends with "/"; "api/v1/..." is appended
    std::string apiKey;   // sent as "X-API-Key"
    double timeoutInterval = 30;  // seconds per request
};

struct KadoroUploadResult {
    std::string jobId;      // "job_id"
    std::string statusURL;  // "status_url"
};

enum class KadoroJobState { queued, processing, completed, failed };

struct KadoroJobStatus {
    std::string jobId;
    KadoroJobState state = KadoroJobState::queued;
    std::optional<std::string> filename;
    std::optional<std::string> outputFormat;  // "output_format"
    std::optional<std::string> downloadURL;   // "download_url"
    std::optional<std::string> error;
};

struct KadoroError {
    enum class Kind {
        uploadFailed,
        jobFailed,
        downloadFailed,
        serviceBusy,
        serverError,
        networkError,
        invalidURL,
        jobNotFound,
        fileTooLarge,
        unsupportedFormat,
        unauthorized,
        rateLimited,
    };
    Kind kind = Kind::networkError;
    int statusCode = 0;      // uploadFailed, downloadFailed, serverError
    std::string message;     // uploadFailed, jobFailed; networkError: the transport's error
    int64_t retryAfter = 0;  // serviceBusy, whole seconds

    // "Upload failed (413): …", "Service busy, retry after 60s", "Rate limit exceeded", …
    std::string description() const;
};

template <typename T>
using KadoroResult = std::variant<T, KadoroError>;

class KadoroClient {
public:
    virtual ~KadoroClient() = default;
    // POST "api/v1/convert" (multipart: "output_format", then the file part "file").
    virtual KadoroResult<KadoroUploadResult> upload(const std::filesystem::path& file, const std::string& outputFormat) = 0;
    // GET "api/v1/jobs/<id>".
    virtual KadoroResult<KadoroJobStatus> jobStatus(const std::string& jobId) = 0;
    // GET "api/v1/jobs/<id>/download" into DESTINATION (its folder is created when missing).
    virtual KadoroResult<std::monostate> download(const std::string& jobId, const std::filesystem::path& destination) = 0;
};

// The MIME type the service is told for FILE, by its lower-cased extension.
std::string kadoroMimeType(const std::filesystem::path& file);

}  // namespace lumidex::cloud
