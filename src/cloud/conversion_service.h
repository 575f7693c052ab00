// The conversion service on this machine: a small HTTP/1.1 server that speaks the protocol
// KadoroApiClient expects and converts through a ConversionBackend (the local LibreOffice converter),
// so that another machine's Lumidex can have its office files converted here; tests run it on
// loopback with a fake backend.
//
// Routes: POST /api/v1/convert (multipart: "output_format", which must be "pdf", and the part "file")
// answers 202 {"job_id","status_url","status"}; GET /api/v1/jobs/<id> the job's
// {"job_id","status","filename","output_format","download_url","error"}; GET /api/v1/jobs/<id>/download
// the PDF (409 while the job is not completed). Unknown jobs are 404, a missing or wrong "X-API-Key"
// 401 when a key is configured, an upload over maxUploadBytes 413. Errors are {"detail": text}.
//
// Jobs are converted one at a time on the service's own thread, in order of arrival. Each connection
// carries one request (the answer closes it) and is handled on a thread of its own. Uploads and results
// live in workDirectory (created; removed by the destructor); finished jobs are forgotten after
// jobRetention.
//
// Thread-safety: every member may be called from any thread. stop() (and the destructor) closes the
// listener, ends the open connections, aborts the conversion in progress and joins every thread.
// Nothing throws except std::bad_alloc; start() reports a port that cannot be bound.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/conversion_backend.h"

namespace lumidex::cloud {

struct ConversionServiceOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 0;  // 0: any free port (see ConversionService::port())
    std::string apiKey;  // empty: every caller is accepted
    std::filesystem::path workDirectory;
    std::size_t maxUploadBytes = std::size_t{100} << 20;
    std::chrono::milliseconds conversionTimeLimit{std::chrono::seconds(120)};
    std::chrono::seconds jobRetention{std::chrono::hours(1)};
    std::function<void(std::string_view)> log;  // empty: the debug log
};

// A canned answer for the next uploads, in place of what the service would do (a test's busy or
// rejecting service).
struct ScriptedAnswer {
    int status = 503;
    std::optional<std::string> retryAfter;  // the "Retry-After" header, sent as given
    std::string body = "{}";
};

// What the last upload that reached the service carried (whatever became of it).
struct ReceivedUpload {
    std::string outputFormat;
    std::string filename;
    std::string contentType;
    std::size_t bytes = 0;
    std::vector<std::string> partNames;  // in the order they came
};

class ConversionService {
public:
    ConversionService(std::unique_ptr<ConversionBackend> backend, ConversionServiceOptions options);
    ~ConversionService();
    ConversionService(const ConversionService&) = delete;
    ConversionService& operator=(const ConversionService&) = delete;

    // Binds and starts listening; false (with the reason in ERROR) when the address cannot be bound
    // or the work folder cannot be made.
    bool start(std::string& error);
    void stop();
    uint16_t port() const;

    // The service's address as a client's base URL: "http://host:port/".
    std::string baseURL() const;

    // Test hooks.
    // The next COUNT uploads get ANSWER (after the key check), and nothing is converted for them.
    void scriptUploads(int count, ScriptedAnswer answer);
    // While held, a job the converter takes stays "processing" until released.
    void holdJobs(bool held);
    // Ends a queued or processing job as failed with MESSAGE; false for an unknown or finished job.
    bool failJob(const std::string& jobId, const std::string& message);
    std::optional<ReceivedUpload> lastUpload() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace lumidex::cloud
