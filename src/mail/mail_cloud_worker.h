// Office attachments of mail converted to text: the bridge that stages an attachment and queues a job
// (MailAttachmentCloudBridge), the worker that sends queued jobs to the conversion backend, polls them,
// downloads the PDF and appends its text to the message's row (MailCloudWorker), and the local
// converter presented as a conversion service (LocalConversionClient), which is the default backend.
//
// Job life: pending → uploading → polling → downloaded → merged; failed (with its reason) from any step.
// Failed jobs are taken up again at the next start while they have fewer than maxAttempts attempts.
//
// Ownership: the bridge and the worker borrow the job store, the mail store, the client and the decoder;
// all must outlive them. Threads: the bridge is called on the indexing thread; the worker runs on a
// thread of its own between start() and stop() (tick() may also be called directly, on one thread at
// a time), with up to maxConcurrentJobs jobs at once on short-lived threads. Nothing throws except
// std::bad_alloc; every failure ends as the job's status and reason, and is logged.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "cloud/kadoro_client.h"
#include "mail/mail_attachment_text.h"
#include "mail/mail_cloud_jobs.h"

namespace lumidex::cloud {
class ConversionBackend;
}

namespace lumidex::mail {

class MailFtsSqlite;

// <application support>/Lumidex/Staging (beside the job store).
std::filesystem::path defaultMailCloudStagingFolder();

class MailAttachmentCloudBridge {
public:
    using LogSink = std::function<void(std::string_view)>;
    enum class Outcome { queued, duplicate, skipped, failed };

    static constexpr int64_t kDefaultMaxBytes = int64_t{25} << 20;

    MailAttachmentCloudBridge(MailCloudJobsSqlite& jobs, std::filesystem::path stagingFolder,
                              int64_t maxBytes = kDefaultMaxBytes, LogSink log = {});

    // Stages the bytes and queues a pending job, unless the attachment is too large (skipped) or has a
    // job that did not fail (duplicate). failed: the staging write or the store write failed (logged).
    Outcome enqueue(std::string_view externalId, const std::optional<std::string>& attachmentName, std::string_view bytes);

private:
    void log(const std::string& line) const;

    MailCloudJobsSqlite& jobs_;
    std::filesystem::path staging_;
    int64_t maxBytes_;
    LogSink log_;
};

struct MailCloudWorkerOptions {
    std::chrono::milliseconds tickInterval{std::chrono::seconds(30)};
    int64_t maxConcurrentJobs = 3;
    int64_t maxAttempts = 3;
    std::chrono::milliseconds pollInterval{std::chrono::seconds(10)};
    int64_t pollMaxIterations = 360;
    double mergedMaxAgeSeconds = 7 * 86400.0;
    std::filesystem::path stagingFolder;  // orphans in it are removed at start
};

class MailCloudWorker {
public:
    using LogSink = std::function<void(std::string_view)>;
    // Waits `duration`; false when the worker is stopping. Tests pass one that advances a fake clock.
    using Sleep = std::function<bool(std::chrono::milliseconds)>;

    // `decoder` reads the downloaded PDFs (native text, recognition fallback).
    MailCloudWorker(MailCloudJobsSqlite& jobs, MailFtsSqlite& fts, cloud::KadoroClient& client,
                    MailAttachmentDecoder& decoder, MailCloudWorkerOptions options = {}, LogSink log = {}, Sleep sleep = {});
    ~MailCloudWorker();
    MailCloudWorker(const MailCloudWorker&) = delete;
    MailCloudWorker& operator=(const MailCloudWorker&) = delete;

    // recover(), then tick() every tickInterval on the worker's thread until stop().
    void start();
    void stop();
    bool running() const { return running_; }

    // Jobs left uploading, polling or downloaded (the process ended during them) become pending, failed
    // ones with attempts left too; old merged rows are purged and staging files of no job deleted. False
    // when a store write failed.
    bool recover();
    // Takes up to maxConcurrentJobs pending jobs not in flight and runs each to its end; returns when
    // they are done. The number of jobs taken whose stored state moved on (a job whose every write
    // failed stays pending and is not counted, so a loop until 0 ends).
    int64_t tick();

private:
    bool process(MailCloudJob job);
    // Polls until the service ends the job; the failure reason, or nullopt when completed.
    std::optional<std::string> pollUntilDone(MailCloudJob& job);
    void merge(MailCloudJob& job);
    bool fail(MailCloudJob& job, const std::string& reason);
    void log(const std::string& line) const;
    bool sleep(std::chrono::milliseconds duration);

    MailCloudJobsSqlite& jobs_;
    MailFtsSqlite& fts_;
    cloud::KadoroClient& client_;
    MailAttachmentDecoder& decoder_;
    std::mutex decoderMutex_;  // the decoder serves one call at a time
    MailCloudWorkerOptions options_;
    LogSink log_;
    Sleep sleep_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::set<int64_t> processing_;  // job ids in flight
    std::atomic<bool> running_ = false;
    std::atomic<bool> stopping_ = false;
    std::thread pollTask_;
};

// The local converter as a conversion service: upload converts at once (the call takes as long as the
// conversion), the job is then completed or failed, and download copies the PDF. Thread-safe; the
// backend is used by one call at a time. Results are kept in `scratch` until downloaded.
class LocalConversionClient : public cloud::KadoroClient {
public:
    LocalConversionClient(cloud::ConversionBackend& backend, std::filesystem::path scratch);
    cloud::KadoroResult<cloud::KadoroUploadResult> upload(const std::filesystem::path& file, const std::string& outputFormat) override;
    cloud::KadoroResult<cloud::KadoroJobStatus> jobStatus(const std::string& jobId) override;
    cloud::KadoroResult<std::monostate> download(const std::string& jobId, const std::filesystem::path& destination) override;

private:
    cloud::ConversionBackend& backend_;
    std::filesystem::path scratch_;
    std::mutex mutex_;
    int64_t next_ = 1;
    std::map<std::string, cloud::KadoroJobStatus> jobs_;
};

}  // namespace lumidex::mail
