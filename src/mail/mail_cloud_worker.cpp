#include "mail/mail_cloud_worker.h"

#include <fstream>
#include <iterator>
#include <map>
#include <system_error>
#include <vector>

#include "cloud/conversion_backend.h"
#include "core/app_log.h"
#include "core/atomic_file.h"
#include "mail/mail_fts.h"
#include "mail/mail_source_listing.h"

namespace lumidex::mail {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kResultSuffix = ".result.pdf";

std::string hex16(uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = kDigits[value & 15];
    return out;
}

// A file name that stays inside the staging folder whatever the attachment calls itself.
std::string safeFileName(std::string_view name) {
    std::string out;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        out += plain ? c : '_';
        if (out.size() >= 80) break;
    }
    while (!out.empty() && out.front() == '.') out.erase(out.begin());
    return out.empty() ? "attachment" : out;
}

std::optional<std::string> readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

}  // namespace

fs::path defaultMailCloudStagingFolder() {
    const fs::path store = MailCloudJobsSqlite::defaultDatabasePath();
    return store.empty() ? fs::path{} : store.parent_path() / "Staging";
}

// Bridge -----------------------------------------------------------------------------------------------

MailAttachmentCloudBridge::MailAttachmentCloudBridge(MailCloudJobsSqlite& jobs, fs::path stagingFolder, int64_t maxBytes,
                                                     LogSink log)
    : jobs_(jobs), staging_(std::move(stagingFolder)), maxBytes_(maxBytes), log_(std::move(log)) {}

void MailAttachmentCloudBridge::log(const std::string& line) const {
    if (log_) {
        log_(line);
    } else {
        appLog(line);
    }
}

MailAttachmentCloudBridge::Outcome MailAttachmentCloudBridge::enqueue(std::string_view externalId,
                                                                      const std::optional<std::string>& attachmentName,
                                                                      std::string_view bytes) {
    const std::string name = attachmentName.value_or("attachment");
    const auto size = static_cast<int64_t>(bytes.size());
    if (size > maxBytes_) {
        log("MailAttachmentCloudBridge: skip oversized office attachment " + name + " (" + std::to_string(size) + " bytes)");
        return Outcome::skipped;
    }
    const std::optional<bool> exists = jobs_.exists(externalId, attachmentName, size);
    if (!exists) return Outcome::failed;
    if (*exists) return Outcome::duplicate;
    std::error_code ec;
    if (staging_.empty() || (fs::create_directories(staging_, ec), ec)) {
        log("MailAttachmentCloudBridge: staging dir unavailable");
        return Outcome::failed;
    }
    const std::string key = std::string(externalId) + '\n' + name + '\n' + std::to_string(size);
    const fs::path staged = staging_ / (hex16(fnv1a64(key)) + "_" + safeFileName(name));
    if (writeFileAtomically(staged, bytes)) {
        log("MailAttachmentCloudBridge: write failed for " + name);
        return Outcome::failed;
    }
    bool duplicate = false;
    const std::optional<int64_t> id = jobs_.enqueue(externalId, attachmentName, size, staged.string(), &duplicate);
    if (!id) {
        if (!duplicate) fs::remove(staged, ec);
        return duplicate ? Outcome::duplicate : Outcome::failed;
    }
    log("MailAttachmentCloudBridge: queued job #" + std::to_string(*id) + " for " + name);
    return Outcome::queued;
}

// Worker -----------------------------------------------------------------------------------------------

MailCloudWorker::MailCloudWorker(MailCloudJobsSqlite& jobs, MailFtsSqlite& fts, cloud::KadoroClient& client,
                                 MailAttachmentDecoder& decoder, MailCloudWorkerOptions options, LogSink log, Sleep sleep)
    : jobs_(jobs),
      fts_(fts),
      client_(client),
      decoder_(decoder),
      options_(std::move(options)),
      log_(std::move(log)),
      sleep_(std::move(sleep)) {}

MailCloudWorker::~MailCloudWorker() { stop(); }

void MailCloudWorker::log(const std::string& line) const {
    if (log_) {
        log_(line);
    } else {
        appLog(line);
    }
}

bool MailCloudWorker::sleep(std::chrono::milliseconds duration) {
    if (sleep_) return sleep_(duration) && !stopping_;
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, duration, [this] { return stopping_.load(); });
}

bool MailCloudWorker::recover() {
    const auto recovered = jobs_.recoverStuckJobs(options_.maxAttempts);
    const auto purged = jobs_.purgeMerged(options_.mergedMaxAgeSeconds);
    // Staging files of no job (their job was purged, or the process ended between writing and queueing).
    int64_t removed = 0;
    std::set<std::string> kept;
    const std::vector<MailCloudJob> all = jobs_.allJobs();
    const bool listed = !jobs_.statusCounts().empty();
    bool resumed = true;
    for (const MailCloudJob& job : all) {
        if (job.status == MailCloudJobStatus::polling || job.status == MailCloudJobStatus::downloaded) {
            // Its result was never merged and the duplicate test keeps the attachment from being queued
            // again: convert it once more.
            MailCloudJob again = job;
            again.status = MailCloudJobStatus::pending;
            resumed = jobs_.update(again) && resumed;
        }
        kept.insert(job.stagedPath);
        kept.insert(job.stagedPath + std::string(kResultSuffix));
    }
    std::error_code ec;
    if (listed && !options_.stagingFolder.empty()) {
        for (fs::directory_iterator it(options_.stagingFolder, ec), end; !ec && it != end; it.increment(ec)) {
            if (kept.contains(it->path().string())) continue;
            std::error_code removeError;
            if (fs::remove(it->path(), removeError)) ++removed;
        }
    }
    if (removed > 0) log("MailCloudWorker: removed " + std::to_string(removed) + " orphan staging files");
    log("MailCloudWorker: started, recovery+gc done (purged " + std::to_string(purged.value_or(0)) + " merged rows)");
    return recovered.has_value() && purged.has_value() && resumed;
}

void MailCloudWorker::start() {
    if (running_.exchange(true)) return;
    stopping_ = false;
    recover();
    pollTask_ = std::thread([this] {
        do {
            tick();
        } while (sleep(options_.tickInterval));
    });
}

void MailCloudWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (pollTask_.joinable()) pollTask_.join();
    running_ = false;
}

int64_t MailCloudWorker::tick() {
    std::vector<MailCloudJob> taken;
    {
        std::lock_guard lock(mutex_);
        for (MailCloudJob& job : jobs_.nextJobs(options_.maxConcurrentJobs + static_cast<int64_t>(processing_.size()))) {
            if (static_cast<int64_t>(taken.size()) >= options_.maxConcurrentJobs) break;
            if (processing_.insert(job.jobLocalId).second) taken.push_back(std::move(job));
        }
    }
    std::vector<std::thread> threads;
    std::atomic<int64_t> movedOn = 0;
    for (size_t i = 1; i < taken.size(); ++i) {
        threads.emplace_back([this, &movedOn, job = taken[i]] { movedOn += process(job) ? 1 : 0; });
    }
    if (!taken.empty()) movedOn += process(taken.front()) ? 1 : 0;
    for (std::thread& thread : threads) thread.join();
    return movedOn;
}

bool MailCloudWorker::fail(MailCloudJob& job, const std::string& reason) {
    log("MailCloudWorker: job #" + std::to_string(job.jobLocalId) + " failed: " + reason);
    if (jobs_.markFailed(job.jobLocalId, reason)) return true;
    log("MailCloudWorker: job #" + std::to_string(job.jobLocalId) + " not marked failed");
    return false;
}

bool MailCloudWorker::process(MailCloudJob job) {
    std::error_code ec;
    bool movedOn = true;
    if (!fs::exists(job.stagedPath, ec)) {
        movedOn = fail(job, "staging_file_missing");
    } else if (job.attemptCount >= options_.maxAttempts) {
        movedOn = fail(job, "max_attempts_exceeded");
    } else {
        job.status = MailCloudJobStatus::uploading;
        if (!jobs_.update(job)) {
            movedOn = fail(job, "store: uploading not recorded");
        } else {
            const auto uploaded = client_.upload(job.stagedPath, "pdf");
            if (const auto* error = std::get_if<cloud::KadoroError>(&uploaded)) {
                fail(job, "upload: " + error->description());
            } else {
                job.kadoroJobId = std::get<cloud::KadoroUploadResult>(uploaded).jobId;
                job.status = MailCloudJobStatus::polling;
                if (jobs_.markPolling(job.jobLocalId, *job.kadoroJobId)) {
                    log("MailCloudWorker: job #" + std::to_string(job.jobLocalId) + " uploaded, kadoroJobId=" + *job.kadoroJobId);
                    if (const auto reason = pollUntilDone(job)) {
                        fail(job, *reason);
                    } else {
                        merge(job);
                    }
                }
            }
        }
    }
    std::lock_guard lock(mutex_);
    processing_.erase(job.jobLocalId);
    return movedOn;
}

std::optional<std::string> MailCloudWorker::pollUntilDone(MailCloudJob& job) {
    if (!job.kadoroJobId || job.kadoroJobId->empty()) return "polling without kadoroJobId";
    for (int64_t i = 0; i < options_.pollMaxIterations; ++i) {
        const auto status = client_.jobStatus(*job.kadoroJobId);
        if (const auto* error = std::get_if<cloud::KadoroError>(&status)) {
            if (error->kind == cloud::KadoroError::Kind::jobNotFound) return "kadoro_job_not_found";
            return "poll: " + error->description();
        }
        const cloud::KadoroJobStatus& state = std::get<cloud::KadoroJobStatus>(status);
        if (state.state == cloud::KadoroJobState::completed) {
            const fs::path result = job.stagedPath + std::string(kResultSuffix);
            const auto downloaded = client_.download(*job.kadoroJobId, result);
            if (const auto* error = std::get_if<cloud::KadoroError>(&downloaded)) return "download: " + error->description();
            job.status = MailCloudJobStatus::downloaded;
            if (!jobs_.update(job)) return "store: downloaded not recorded";
            return std::nullopt;
        }
        if (state.state == cloud::KadoroJobState::failed) return "kadoro:" + state.error.value_or("unknown");
        if (!sleep(options_.pollInterval)) return "poll: stopped";
    }
    return "polling_timeout";
}

void MailCloudWorker::merge(MailCloudJob& job) {
    const fs::path result = job.stagedPath + std::string(kResultSuffix);
    const std::optional<std::string> pdf = readWhole(result);
    if (!pdf) {
        fail(job, "merge: result pdf missing");
        return;
    }
    AttachmentDecodeRequest request;
    request.name = job.attachmentName.value_or("attachment");
    request.kind = AttachmentKind::pdf;
    request.bytes = *pdf;
    AttachmentDecodeOutcome outcome;
    {
        std::lock_guard lock(decoderMutex_);
        outcome = decoder_.decode(request, MailAttachmentDecoder::Clock::now() + std::chrono::minutes(2));
    }
    if (outcome.text.empty() && outcome.error) {
        fail(job, "merge: invalid pdf");
        return;
    }
    if (outcome.text.empty()) {
        fail(job, "merge: no extractable text");
        return;
    }
    if (!fts_.find(job.externalId)) {
        fail(job, "mail_no_longer_indexed");
        return;
    }
    // The attachment's name introduces its text, as for attachments read on this machine.
    if (!fts_.appendContent(job.externalId, request.name + "\n" + outcome.text)) {
        fail(job, "merge: store write failed");
        return;
    }
    job.status = MailCloudJobStatus::merged;
    job.errorReason.reset();
    if (!jobs_.update(job)) log("MailCloudWorker: job #" + std::to_string(job.jobLocalId) + " merged but not recorded");
    std::error_code ec;
    fs::remove(job.stagedPath, ec);
    fs::remove(result, ec);
}

// Local converter --------------------------------------------------------------------------------------

LocalConversionClient::LocalConversionClient(cloud::ConversionBackend& backend, fs::path scratch)
    : backend_(backend), scratch_(std::move(scratch)) {}

cloud::KadoroResult<cloud::KadoroUploadResult> LocalConversionClient::upload(const fs::path& file, const std::string&) {
    std::lock_guard lock(mutex_);
    const std::string id = "local-" + std::to_string(next_++);
    std::error_code ec;
    fs::create_directories(scratch_, ec);
    cloud::ConversionRequest request;
    request.input = file;
    request.pdf = scratch_ / (id + ".pdf");
    const cloud::ConversionResult converted = backend_.convert(request);
    cloud::KadoroJobStatus status;
    status.jobId = id;
    if (converted.status == cloud::ConversionStatus::converted) {
        status.state = cloud::KadoroJobState::completed;
    } else {
        status.state = cloud::KadoroJobState::failed;
        status.error = converted.reason.empty() ? backend_.name() + " could not convert the file" : converted.reason;
    }
    jobs_[id] = status;
    return cloud::KadoroUploadResult{id, {}};
}

cloud::KadoroResult<cloud::KadoroJobStatus> LocalConversionClient::jobStatus(const std::string& jobId) {
    std::lock_guard lock(mutex_);
    const auto it = jobs_.find(jobId);
    if (it == jobs_.end()) return cloud::KadoroError{cloud::KadoroError::Kind::jobNotFound, 404, {}, 0};
    return it->second;
}

cloud::KadoroResult<std::monostate> LocalConversionClient::download(const std::string& jobId, const fs::path& destination) {
    std::lock_guard lock(mutex_);
    const fs::path pdf = scratch_ / (jobId + ".pdf");
    std::error_code ec;
    if (!destination.parent_path().empty()) fs::create_directories(destination.parent_path(), ec);
    fs::rename(pdf, destination, ec);
    if (ec) {
        ec.clear();
        fs::copy_file(pdf, destination, fs::copy_options::overwrite_existing, ec);
        std::error_code ignored;
        fs::remove(pdf, ignored);
    }
    jobs_.erase(jobId);
    if (ec) return cloud::KadoroError{cloud::KadoroError::Kind::downloadFailed, 0, ec.message(), 0};
    return std::monostate{};
}

}  // namespace lumidex::mail
