#include "cloud/upload_manager.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "core/app_log.h"

namespace lumidex::cloud {

namespace {

constexpr auto kRequeueWait = std::chrono::seconds(10);

std::string nameOf(const std::filesystem::path& file) { return file.filename().string(); }

}  // namespace

CloudWaiter::CloudWaiter(Clock& clock) : clock_(clock) {}

bool CloudWaiter::sleepUntil(Clock::TimePoint until) {
    auto wake = std::make_shared<Wake>();
    {
        std::lock_guard lock(mutex_);
        if (aborted_) return false;
        current_ = wake;
    }
    bool reached = true;
    if (clock_.now() < until) {
        // A manual clock calls back when a test advances it; the real one leaves the waiting to us.
        const bool called = clock_.callAt(until, [wake] {
            std::lock_guard lock(wake->mutex);
            wake->due = true;
            wake->changed.notify_all();
        });
        std::unique_lock lock(wake->mutex);
        if (called) {
            wake->changed.wait(lock, [&] { return wake->due || wake->aborted; });
        } else {
            wake->changed.wait_until(lock, until, [&] { return wake->aborted; });
        }
        reached = !wake->aborted;
    }
    std::lock_guard lock(mutex_);
    if (current_ == wake) current_.reset();
    return reached && !aborted_;
}

void CloudWaiter::abort() {
    std::shared_ptr<Wake> wake;
    {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        wake = current_;
    }
    if (!wake) return;
    std::lock_guard lock(wake->mutex);
    wake->aborted = true;
    wake->changed.notify_all();
}

void CloudWaiter::reset() {
    std::lock_guard lock(mutex_);
    aborted_ = false;
}

bool CloudWaiter::aborted() const {
    std::lock_guard lock(mutex_);
    return aborted_;
}

GlobalUploadCoordinator::GlobalUploadCoordinator(int maxConcurrentUploads)
    : maxConcurrentUploads_(std::max(1, maxConcurrentUploads)) {}

GlobalUploadCoordinator& GlobalUploadCoordinator::shared() {
    static GlobalUploadCoordinator coordinator;
    return coordinator;
}

void GlobalUploadCoordinator::acquire() {
    std::unique_lock lock(mutex_);
    const uint64_t ticket = nextTicket_++;
    uploadQueue_.push_back(ticket);
    changed_.wait(lock, [&] { return uploadQueue_.front() == ticket && activeUploads_ < maxConcurrentUploads_; });
    uploadQueue_.pop_front();
    ++activeUploads_;
    // The next in line may fit into a slot that is still free.
    changed_.notify_all();
}

void GlobalUploadCoordinator::release() {
    std::lock_guard lock(mutex_);
    if (activeUploads_ > 0) --activeUploads_;
    changed_.notify_all();
}

int GlobalUploadCoordinator::activeUploads() const {
    std::lock_guard lock(mutex_);
    return activeUploads_;
}

size_t GlobalUploadCoordinator::waitingUploads() const {
    std::lock_guard lock(mutex_);
    return uploadQueue_.size();
}

UploadManager::UploadManager(KadoroClient& client, GlobalUploadCoordinator& coordinator, CloudWaiter& waiter,
                             UploadManagerOptions options)
    : client_(client), coordinator_(coordinator), waiter_(waiter), options_(std::move(options)) {}

int64_t UploadManager::busyWaitSeconds(int64_t retryAfter, int n) {
    const int64_t server = std::clamp<int64_t>(retryAfter, 0, 300);
    return std::min<int64_t>(server * std::min(n, 5), 600);
}

void UploadManager::log(const std::string& line) const {
    const std::string prefixed = std::string(kCloudLogPrefix) + line;
    if (options_.log) options_.log(prefixed);
    else appLog(prefixed);
}

bool UploadManager::waitFor(Clock::Duration delay, std::optional<Clock::TimePoint> deadline) {
    const Clock::TimePoint until = waiter_.clock().now() + delay;
    if (deadline && until > *deadline) {
        waiter_.sleepUntil(*deadline);
        return false;
    }
    return waiter_.sleepUntil(until);
}

UploadAnswer UploadManager::upload(const std::filesystem::path& file, std::optional<Clock::TimePoint> deadline) {
    const std::string key = file.string();
    const std::string name = nameOf(file);
    UploadAnswer answer;
    for (;;) {
        if (waiter_.aborted()) return answer;
        if (options_.isOnline && !options_.isOnline()) {
            log("Offline, re-queuing " + name);
            if (!waitFor(kRequeueWait, deadline)) return answer;
            continue;
        }
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(file, ec);
        if (!ec && size > kMaxCloudUploadBytes) {
            log("File too large for cloud upload: " + name + " (" + std::to_string(size) +
                " bytes) → marking as notSupported");
            answer.outcome = UploadAnswer::Outcome::notSupported;
            answer.reason = "the file is larger than 1 GiB";
            return answer;
        }

        KadoroResult<KadoroUploadResult> result = KadoroError{};
        {
            GlobalUploadCoordinator::Slot slot(coordinator_);
            result = client_.upload(file, "pdf");
        }
        if (auto* uploaded = std::get_if<KadoroUploadResult>(&result)) {
            std::lock_guard lock(mutex_);
            retryCount_.erase(key);
            busyRetryCount_.erase(key);
            answer.outcome = UploadAnswer::Outcome::uploaded;
            answer.jobId = uploaded->jobId;
            return answer;
        }
        const KadoroError& error = std::get<KadoroError>(result);
        switch (error.kind) {
        case KadoroError::Kind::serviceBusy: {
            int n = 0;
            {
                std::lock_guard lock(mutex_);
                n = ++busyRetryCount_[key];
            }
            const int64_t seconds = busyWaitSeconds(error.retryAfter, n);
            log("Service busy, attempt " + std::to_string(n) + " for " + name + ", waiting " + std::to_string(seconds) +
                "s (server: " + std::to_string(error.retryAfter) + "s × " + std::to_string(std::min(n, 5)) + ")");
            if (!waitFor(std::chrono::seconds(seconds), deadline)) return answer;
            continue;
        }
        case KadoroError::Kind::unsupportedFormat:
            log("Upload permanently rejected for " + name + " (" + error.description() + ") → marking as notSupported");
            answer.outcome = UploadAnswer::Outcome::notSupported;
            answer.reason = "the conversion service does not support this format";
            return answer;
        case KadoroError::Kind::fileTooLarge:
            log("Upload permanently failed for " + name + " → marking as notSupported");
            answer.outcome = UploadAnswer::Outcome::notSupported;
            answer.reason = "the conversion service refused the file as too large";
            return answer;
        default: {
            int n = 0;
            {
                std::lock_guard lock(mutex_);
                n = ++retryCount_[key];
                if (n >= options_.maxRetries) retryCount_.erase(key);
            }
            if (n >= options_.maxRetries) {
                log("Upload failed after " + std::to_string(n) + " retries for " + name + " → marking as notSupported");
                answer.outcome = UploadAnswer::Outcome::notSupported;
                answer.reason = error.description();
                return answer;
            }
            if (!waitFor(kRequeueWait, deadline)) return answer;
        }
        }
    }
}

}  // namespace lumidex::cloud
