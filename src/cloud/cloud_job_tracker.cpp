#include "cloud/cloud_job_tracker.h"

#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/app_log.h"
#include "core/atomic_file.h"

namespace lumidex::cloud {

namespace {

std::string nameOf(const std::string& item) { return std::filesystem::path(item).filename().string(); }

}  // namespace

CloudJobTracker::CloudJobTracker(KadoroClient& client, CloudWaiter& waiter, const std::filesystem::path& directory,
                                 CloudJobTrackerOptions options)
    : client_(client), waiter_(waiter), file_(directory / kFileName), options_(std::move(options)) {
    load();
}

void CloudJobTracker::log(const std::string& line) const {
    const std::string prefixed = std::string(kCloudLogPrefix) + line;
    if (options_.log) options_.log(prefixed);
    else appLog(prefixed);
}

void CloudJobTracker::load() {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return;
    std::stringstream bytes;
    bytes << in.rdbuf();
    const nlohmann::json document = nlohmann::json::parse(bytes.str(), nullptr, false);
    const auto jobs = document.is_object() ? document.find("jobs") : document.end();
    if (jobs == document.end() || !jobs->is_object()) {
        log("Kadoro job file unreadable, set aside: " + file_.string());
        std::error_code ec;
        std::filesystem::rename(file_, file_.string() + ".damaged", ec);
        return;
    }
    std::lock_guard lock(mutex_);
    for (const auto& [item, entry] : jobs->items()) {
        if (!entry.is_object() || !entry.contains("jobId") || !entry["jobId"].is_string()) continue;
        Job job;
        job.jobId = entry["jobId"].get<std::string>();
        if (entry.contains("polls") && entry["polls"].is_number_integer()) job.polls = entry["polls"].get<int64_t>();
        if (!job.jobId.empty()) jobs_[item] = std::move(job);
    }
}

bool CloudJobTracker::saveLocked() {
    nlohmann::json jobs = nlohmann::json::object();
    for (const auto& [item, job] : jobs_) jobs[item] = {{"jobId", job.jobId}, {"polls", job.polls}};
    const nlohmann::json document = {{"jobs", std::move(jobs)}};
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    // A file name that is not UTF-8 is stored mangled rather than not at all: its job is then not
    // resumed after a restart, which costs one upload.
    const std::string bytes = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    if (auto error = writeFileAtomically(file_, bytes)) {
        log("Kadoro job file not saved: " + error->message());
        return false;
    }
    return true;
}

bool CloudJobTracker::record(const std::string& item, const std::string& jobId) {
    std::lock_guard lock(mutex_);
    jobs_[item] = Job{jobId, 0, false};
    return saveLocked();
}

bool CloudJobTracker::forget(const std::string& item) {
    std::lock_guard lock(mutex_);
    if (jobs_.erase(item) == 0) return true;
    return saveLocked();
}

std::optional<std::string> CloudJobTracker::jobIdFor(const std::string& item) const {
    std::lock_guard lock(mutex_);
    const auto found = jobs_.find(item);
    if (found == jobs_.end()) return std::nullopt;
    return found->second.jobId;
}

std::vector<std::string> CloudJobTracker::openItems() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> items;
    for (const auto& [item, job] : jobs_) {
        if (!job.completed) items.push_back(item);
    }
    return items;
}

bool CloudJobTracker::coolingDown() {
    {
        std::lock_guard lock(mutex_);
        if (!cooldownUntil_) return false;
        if (waiter_.clock().now() < *cooldownUntil_) return true;
        cooldownUntil_.reset();
    }
    log("Cooldown finished, triggering cloud service re-processing");
    if (options_.cooldownFinished) options_.cooldownFinished();
    return false;
}

bool CloudJobTracker::pollRound(std::vector<std::pair<std::string, JobResolution>>& resolved, bool& tooManyErrors) {
    std::vector<std::pair<std::string, std::string>> open;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [item, job] : jobs_) {
            if (!job.completed) open.emplace_back(item, job.jobId);
        }
    }
    bool anyError = false;
    bool changed = false;
    for (const auto& [item, jobId] : open) {
        if (waiter_.aborted()) break;
        const std::string name = nameOf(item);
        KadoroResult<KadoroJobStatus> status = client_.jobStatus(jobId);
        std::lock_guard lock(mutex_);
        const auto entry = jobs_.find(item);
        if (entry == jobs_.end()) continue;
        std::optional<JobResolution> ended;
        if (const auto* answer = std::get_if<KadoroJobStatus>(&status)) {
            consecutiveErrors_ = 0;
            switch (answer->state) {
            case KadoroJobState::completed:
                entry->second.completed = true;
                resolved.emplace_back(item, JobResolution{JobOutcome::completed, {}});
                break;
            case KadoroJobState::failed:
                ended = JobResolution{JobOutcome::jobFailed, "Conversion failed: " + answer->error.value_or("")};
                break;
            case KadoroJobState::queued:
            case KadoroJobState::processing:
                if (++entry->second.polls >= options_.maxPollAttempts) {
                    log("Poll limit reached for " + name + ", giving up");
                    ended = JobResolution{JobOutcome::cloudFailed, "the conversion service did not finish the job"};
                }
                break;
            }
        } else {
            const KadoroError& error = std::get<KadoroError>(status);
            if (error.kind == KadoroError::Kind::jobNotFound) {
                consecutiveErrors_ = 0;
                log("Kadoro job not found for " + name + ", marking as cloudFailed for re-upload");
                ended = JobResolution{JobOutcome::cloudFailed, "the conversion service lost the job"};
            } else {
                anyError = true;
                log("Kadoro status check failed (" + name + "): " + error.description());
                if (++consecutiveErrors_ >= options_.maxConsecutiveErrors) {
                    consecutiveErrors_ = 0;
                    tooManyErrors = true;
                }
            }
        }
        if (ended) {
            resolved.emplace_back(item, std::move(*ended));
            jobs_.erase(entry);
            changed = true;
        }
        if (tooManyErrors) {
            std::vector<std::string> failed;
            for (const auto& [other, job] : jobs_) {
                if (!job.completed) failed.push_back(other);
            }
            log("Too many consecutive errors, marking " + std::to_string(failed.size()) + " items as cloudFailed");
            for (const std::string& other : failed) {
                jobs_.erase(other);
                resolved.emplace_back(other, JobResolution{JobOutcome::cloudFailed, "the conversion service keeps failing"});
            }
            changed = true;
            log("Cooldown 15min before cloud items are automatically retried");
            cooldownUntil_ = waiter_.clock().now() + options_.cooldown;
            break;
        }
    }
    if (changed) {
        std::lock_guard lock(mutex_);
        saveLocked();
    }
    return anyError;
}

std::optional<JobResolution> CloudJobTracker::waitFor(const std::string& item,
                                                      std::optional<Clock::TimePoint> deadline) {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            const auto found = jobs_.find(item);
            if (found == jobs_.end()) return JobResolution{JobOutcome::cloudFailed, "no job recorded for the file"};
            if (found->second.completed) return JobResolution{JobOutcome::completed, {}};
        }
        if (waiter_.aborted()) return std::nullopt;
        if (coolingDown()) return JobResolution{JobOutcome::cloudFailed, "the conversion service is cooling down"};

        std::vector<std::pair<std::string, JobResolution>> resolved;
        bool tooManyErrors = false;
        const bool anyError = pollRound(resolved, tooManyErrors);
        std::optional<JobResolution> mine;
        for (const auto& [other, resolution] : resolved) {
            if (other == item) mine = resolution;
            if (options_.resolved) options_.resolved(other, resolution);
        }
        // After too many errors the cooldown's end re-processes; doing it now would hit the failing service.
        if (!resolved.empty() && !tooManyErrors && openItems().empty()) {
            log("All cloud jobs resolved, triggering re-processing for any cloudFailed items");
            if (options_.allResolved) options_.allResolved();
        }
        if (mine) return mine;

        const Clock::TimePoint next = waiter_.clock().now() + (anyError ? options_.errorWait : options_.pollInterval);
        const bool stopped = deadline && next > *deadline;
        if (!waiter_.sleepUntil(stopped ? *deadline : next) || stopped) {
            // The poll counts survive the stop, so the limit holds across calls and restarts.
            std::lock_guard lock(mutex_);
            saveLocked();
            return std::nullopt;
        }
    }
}

}  // namespace lumidex::cloud
