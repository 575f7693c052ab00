#include "core/ascii_text.h"
#include "cloud/kadoro_api_client.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string_view>

namespace lumidex::cloud {
namespace {

std::string_view trim(std::string_view text) { return trimmedAscii(text, " \t\r\n"); }

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int64_t defaultRetryAfter = 60;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MimeDeleter {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};


KadoroError error(KadoroError::Kind kind, int statusCode = 0, std::string message = {}) {
    KadoroError e;
    e.kind = kind;
    e.statusCode = statusCode;
    e.message = std::move(message);
    return e;
}

// A job id goes into the path as one segment, whatever the service made it of.
std::string pathSegment(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0f];
        }
    }
    return out;
}

bool isHttpUrl(const std::string& url) {
    CURLU* parsed = curl_url();
    if (!parsed) return false;
    bool valid = false;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char* scheme = nullptr;
        char* host = nullptr;
        if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            const std::string_view s = scheme;
            valid = (s == "http" || s == "https") && *host != '\0';
        }
        curl_free(scheme);
        curl_free(host);
    }
    curl_url_cleanup(parsed);
    return valid;
}

// What one exchange brought back.
struct Response {
    long status = 0;
    std::string body;
    std::optional<std::string> retryAfter;
};

size_t appendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

size_t readHeader(char* data, size_t size, size_t count, void* target) {
    auto* response = static_cast<Response*>(target);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) response->retryAfter.reset();  // a new answer (after "100 Continue")
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && asciiLowered(trim(line.substr(0, colon))) == "retry-after") {
        response->retryAfter = std::string(trim(line.substr(colon + 1)));
    }
    return size * count;
}

int64_t retryAfterSeconds(const std::optional<std::string>& header) {
    if (!header || header->empty()) return defaultRetryAfter;
    int64_t seconds = 0;
    const char* end = header->data() + header->size();
    const auto [rest, ec] = std::from_chars(header->data(), end, seconds);
    if (ec != std::errc() || rest != end || seconds < 0) return defaultRetryAfter;
    return seconds;
}

// The service's reason: "detail", else "error", else "Unknown error".
std::string messageOf(const std::string& body) {
    const json parsed = json::parse(body, nullptr, false);
    if (parsed.is_object()) {
        for (const char* key : {"detail", "error"}) {
            const auto it = parsed.find(key);
            if (it == parsed.end() || it->is_null()) continue;
            return it->is_string() ? it->get<std::string>() : it->dump();
        }
    }
    return "Unknown error";
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<KadoroJobState> parseState(const std::string& wire) {
    if (wire == "queued") return KadoroJobState::queued;
    if (wire == "processing") return KadoroJobState::processing;
    if (wire == "completed") return KadoroJobState::completed;
    if (wire == "failed") return KadoroJobState::failed;
    return std::nullopt;
}

// One exchange with the service: a handle set up with the key, the time limits and no redirects.
class Exchange {
public:
    Exchange(const KadoroConfiguration& config, const std::string& url) : handle_(curl_easy_init()) {
        if (!handle_) return;
        CURL* h = handle_.get();
        std::string key = "X-API-Key: ";
        for (const char c : config.apiKey) {
            if (static_cast<unsigned char>(c) >= 0x20) key += c;  // a line break would start another header
        }
        headers_.reset(curl_slist_append(nullptr, key.c_str()));
        const double seconds = config.timeoutInterval > 0 ? config.timeoutInterval : 30;
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(seconds * 1000));
        // A stall, not the whole transfer, is what times out: a large file may take longer to send.
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(std::ceil(seconds))));
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_);
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, readHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &response_);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &response_.body);
    }

    CURL* handle() const { return handle_.get(); }
    const Response& response() const { return response_; }

    // nullopt when an answer arrived (of any status), else the transport's failure.
    std::optional<KadoroError> perform() {
        if (!handle_) return error(KadoroError::Kind::networkError, 0, "cannot create a connection handle");
        const CURLcode code = curl_easy_perform(handle_.get());
        if (code != CURLE_OK) {
            return error(KadoroError::Kind::networkError, 0, errorText_[0] ? errorText_ : curl_easy_strerror(code));
        }
        curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &response_.status);
        return std::nullopt;
    }

private:
    std::unique_ptr<CURL, EasyDeleter> handle_;
    std::unique_ptr<curl_slist, HeaderListDeleter> headers_;
    Response response_;
    char errorText_[CURL_ERROR_SIZE] = {};
};

struct DownloadTarget {
    std::FILE* file = nullptr;
    int writeErrno = 0;
};

size_t writeToFile(char* data, size_t size, size_t count, void* target) {
    auto* download = static_cast<DownloadTarget*>(target);
    const size_t written = std::fwrite(data, size, count, download->file);
    if (written != count) download->writeErrno = errno ? errno : EIO;
    return written * size;
}

std::string temporaryName(const fs::path& destination) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return "." + destination.filename().string() + ".part-" + std::to_string(random() % 1000000000);
}

}  // namespace

KadoroApiClient::KadoroApiClient(KadoroConfiguration config) : config_(std::move(config)) {
    initCurlOnce();
    if (!config_.baseURL.empty() && config_.baseURL.back() != '/') config_.baseURL += '/';
    validBase_ = isHttpUrl(config_.baseURL);
}

KadoroResult<KadoroUploadResult> KadoroApiClient::upload(const fs::path& file, const std::string& outputFormat) {
    using Kind = KadoroError::Kind;
    if (!validBase_) return error(Kind::invalidURL);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        return error(Kind::uploadFailed, 0, "cannot read " + file.string() + ": " + (ec ? ec.message() : "not a file"));
    }
    Exchange exchange(config_, config_.baseURL + "api/v1/convert");
    if (!exchange.handle()) return error(Kind::networkError, 0, "cannot create a connection handle");

    std::unique_ptr<curl_mime, MimeDeleter> form(curl_mime_init(exchange.handle()));
    curl_mimepart* format = curl_mime_addpart(form.get());
    curl_mime_name(format, "output_format");
    curl_mime_data(format, outputFormat.c_str(), CURL_ZERO_TERMINATED);
    curl_mimepart* part = curl_mime_addpart(form.get());
    curl_mime_name(part, "file");
    if (curl_mime_filedata(part, file.c_str()) != CURLE_OK) {
        return error(Kind::uploadFailed, 0, "cannot read " + file.string());
    }
    curl_mime_filename(part, file.filename().c_str());
    curl_mime_type(part, kadoroMimeType(file).c_str());
    curl_easy_setopt(exchange.handle(), CURLOPT_MIMEPOST, form.get());

    if (auto failed = exchange.perform()) return *failed;
    const Response& response = exchange.response();
    const int status = static_cast<int>(response.status);
    if (status >= 200 && status < 300) {
        const json parsed = json::parse(response.body, nullptr, false);
        if (!parsed.is_object()) return error(Kind::uploadFailed, status, "Invalid JSON response");
        auto jobId = optionalString(parsed, "job_id");
        if (!jobId || jobId->empty()) return error(Kind::uploadFailed, status, "Invalid JSON response");
        return KadoroUploadResult{std::move(*jobId), optionalString(parsed, "status_url").value_or("")};
    }
    if (status == 413) return error(Kind::fileTooLarge, status);
    if (status == 429) return error(Kind::rateLimited, status);
    if (status == 401) return error(Kind::unauthorized, status);
    if (status == 503) {
        KadoroError busy = error(Kind::serviceBusy, status);
        busy.retryAfter = retryAfterSeconds(response.retryAfter);
        return busy;
    }
    std::string message = messageOf(response.body);
    if (status == 400) {
        // The reason may also come as plain text rather than JSON.
        for (const std::string& text : {asciiLowered(message), asciiLowered(response.body)}) {
            if (text.find("unsupported") != std::string::npos || text.find("nicht unterstützt") != std::string::npos) {
                return error(Kind::unsupportedFormat, status, std::move(message));
            }
        }
    }
    return error(Kind::uploadFailed, status, std::move(message));
}

KadoroResult<KadoroJobStatus> KadoroApiClient::jobStatus(const std::string& jobId) {
    using Kind = KadoroError::Kind;
    if (!validBase_) return error(Kind::invalidURL);
    Exchange exchange(config_, config_.baseURL + "api/v1/jobs/" + pathSegment(jobId));
    if (auto failed = exchange.perform()) return *failed;
    const Response& response = exchange.response();
    const int status = static_cast<int>(response.status);
    if (status == 404) return error(Kind::jobNotFound, status);
    if (status == 401) return error(Kind::unauthorized, status);
    if (status != 200) return error(Kind::serverError, status, messageOf(response.body));

    const json parsed = json::parse(response.body, nullptr, false);
    const auto wire = parsed.is_object() ? optionalString(parsed, "status") : std::nullopt;
    const auto state = wire ? parseState(*wire) : std::nullopt;
    if (!state) return error(Kind::serverError, status, "Invalid JSON response");
    KadoroJobStatus job;
    job.jobId = optionalString(parsed, "job_id").value_or(jobId);
    job.state = *state;
    job.filename = optionalString(parsed, "filename");
    job.outputFormat = optionalString(parsed, "output_format");
    job.downloadURL = optionalString(parsed, "download_url");
    job.error = optionalString(parsed, "error");
    return job;
}

KadoroResult<std::monostate> KadoroApiClient::download(const std::string& jobId, const fs::path& destination) {
    using Kind = KadoroError::Kind;
    if (!validBase_) return error(Kind::invalidURL);
    std::error_code ec;
    const fs::path folder = destination.parent_path();
    if (!folder.empty()) fs::create_directories(folder, ec);
    if (ec) return error(Kind::networkError, 0, "cannot create " + folder.string() + ": " + ec.message());

    // Written beside the destination and renamed over it, so that a cut transfer never leaves half a PDF.
    const fs::path partial = folder / temporaryName(destination);
    DownloadTarget target;
    target.file = std::fopen(partial.c_str(), "wb");
    if (!target.file) return error(Kind::networkError, 0, "cannot write " + partial.string() + ": " + std::strerror(errno));

    Exchange exchange(config_, config_.baseURL + "api/v1/jobs/" + pathSegment(jobId) + "/download");
    if (exchange.handle()) {
        curl_easy_setopt(exchange.handle(), CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(exchange.handle(), CURLOPT_WRITEDATA, &target);
    }
    auto failed = exchange.perform();
    if (std::fclose(target.file) != 0 && !target.writeErrno) target.writeErrno = errno ? errno : EIO;
    const int status = static_cast<int>(exchange.response().status);
    if (!failed && target.writeErrno) {
        failed = error(Kind::networkError, 0, "cannot write " + partial.string() + ": " + std::strerror(target.writeErrno));
    } else if (failed && target.writeErrno) {
        failed->message = "cannot write " + partial.string() + ": " + std::strerror(target.writeErrno);
    }
    if (!failed && status != 200) failed = error(Kind::downloadFailed, status);
    if (!failed) {
        fs::rename(partial, destination, ec);
        if (ec) failed = error(Kind::networkError, 0, "cannot write " + destination.string() + ": " + ec.message());
    }
    if (failed) {
        fs::remove(partial, ec);
        return *failed;
    }
    return std::monostate{};
}

}  // namespace lumidex::cloud
