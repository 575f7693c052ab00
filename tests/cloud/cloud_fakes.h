// Test doubles for the conversion service's queue: a scripted client, a clock that a test drives from
// wait to wait, and a log sink.
#pragma once

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/kadoro_client.h"
#include "core/concurrency/clock.h"
#include "support/log_lines.h"

namespace lumidex::cloud::testing {

// A manual clock that knows when its waits end, so drive() can jump straight to the next one.
class DrivenClock final : public Clock {
public:
    TimePoint now() const override { return manual_.now(); }
    bool callAt(TimePoint when, std::function<void()> due) override {
        {
            std::lock_guard lock(mutex_);
            pending_.insert(when);
        }
        return manual_.callAt(when, [this, when, due = std::move(due)] {
            {
                std::lock_guard lock(mutex_);
                pending_.erase(pending_.find(when));
            }
            due();
        });
    }
    void advance(Duration by) { manual_.advance(by); }
    // Seconds since the clock was made.
    double seconds() const { return std::chrono::duration<double>(now() - TimePoint{}).count(); }

    // Runs WORK on another thread and moves time to the end of every wait it starts, until it returns.
    template <class Work>
    auto drive(Work work) -> decltype(work()) {
        auto done = std::async(std::launch::async, std::move(work));
        while (done.wait_for(std::chrono::microseconds(50)) != std::future_status::ready) {
            std::optional<TimePoint> next;
            {
                std::lock_guard lock(mutex_);
                if (!pending_.empty()) next = *pending_.begin();
            }
            if (next) manual_.advance(std::max(Duration::zero(), *next - now()));
        }
        return done.get();
    }

private:
    ManualClock manual_;
    std::mutex mutex_;
    std::multiset<TimePoint> pending_;
};

// Answers from the test's functions; remembers every call with the clock's time.
class FakeClient final : public KadoroClient {
public:
    explicit FakeClient(const Clock& clock) : clock_(clock) {}

    std::function<KadoroResult<KadoroUploadResult>(int call)> onUpload = [](int call) {
        return KadoroResult<KadoroUploadResult>(KadoroUploadResult{"job-" + std::to_string(call), ""});
    };
    std::function<KadoroResult<KadoroJobStatus>(const std::string& jobId)> onStatus = [](const std::string& jobId) {
        return KadoroResult<KadoroJobStatus>(KadoroJobStatus{jobId, KadoroJobState::completed, {}, {}, {}, {}});
    };

    std::vector<double> uploadTimes;
    std::vector<std::string> statusJobs;
    std::vector<double> statusTimes;
    std::vector<std::string> downloads;

    KadoroResult<KadoroUploadResult> upload(const std::filesystem::path&, const std::string& format) override {
        std::lock_guard lock(mutex_);
        if (format != "pdf") return KadoroError{KadoroError::Kind::unsupportedFormat, 400, "asked for " + format, 0};
        uploadTimes.push_back(seconds());
        return onUpload(static_cast<int>(uploadTimes.size()));
    }
    KadoroResult<KadoroJobStatus> jobStatus(const std::string& jobId) override {
        std::lock_guard lock(mutex_);
        statusJobs.push_back(jobId);
        statusTimes.push_back(seconds());
        return onStatus(jobId);
    }
    KadoroResult<std::monostate> download(const std::string& jobId, const std::filesystem::path& destination) override {
        std::lock_guard lock(mutex_);
        downloads.push_back(jobId);
        std::ofstream(destination, std::ios::binary) << "%PDF-1.4 " << jobId;
        return std::monostate{};
    }

    size_t uploads() const {
        std::lock_guard lock(mutex_);
        return uploadTimes.size();
    }
    size_t statusChecks() const {
        std::lock_guard lock(mutex_);
        return statusJobs.size();
    }

private:
    double seconds() const { return std::chrono::duration<double>(clock_.now() - Clock::TimePoint{}).count(); }
    const Clock& clock_;
    mutable std::mutex mutex_;
};

inline KadoroError failure(KadoroError::Kind kind, int64_t retryAfter = 0) {
    return KadoroError{kind, kind == KadoroError::Kind::serverError ? 500 : 0, "", retryAfter};
}

inline KadoroJobStatus jobIn(KadoroJobState state, const std::string& jobId = "job") {
    return KadoroJobStatus{jobId, state, {}, {}, {}, {}};
}

using lumidex::testing::LogLines;

}  // namespace lumidex::cloud::testing
