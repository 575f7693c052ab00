// Following the conversion service's jobs until they end.
//
// The tracker keeps item → job id in "kadoro_jobs.json" (written whole and atomically on every change,
// {"jobs": {"<file path>": {"jobId": "…", "polls": n}}}), so that a new tracker over the same file —
// after a restart — resumes the jobs instead of uploading again. waitFor() polls every open job each
// round: immediately, then every 10 s (30 s after a round with an error), until the asked-for item is
// resolved, its deadline passes or the waiter is aborted. Per job:
//   completed → resolved completed (the caller downloads, then forget()s the item; a completed job
//               nobody asked for stays recorded and is not polled again, so its file's turn downloads it);
//   failed    → resolved jobFailed with the service's error;
//   queued/processing → the 2160th such answer resolves it cloudFailed ("Poll limit reached …"); the
//               count is recorded with the job, so the bound holds across calls and restarts;
//   jobNotFound → cloudFailed; other errors count as consecutive errors: the 10th in a row marks every
//               open item cloudFailed and starts a 15-minute cooldown, during which coolingDown() is true.
// Resolved items (other than completed ones) leave the job file; `resolved` is told about every item that
// ends, the asked-for one included. When no job is left open, `allResolved` runs (the place to queue
// cloudFailed items again).
//
// Thread-safety: every member may be called from any thread, but one waitFor() runs at a time (callers
// serialise conversions). Callbacks run on the waiting thread without the tracker's lock. Failures to
// write the job file are logged and reported by record()/forget(); the tracker then goes on in memory.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/kadoro_client.h"
#include "cloud/upload_manager.h"
#include "core/concurrency/clock.h"

namespace lumidex::cloud {

enum class JobOutcome { completed, jobFailed, cloudFailed };

struct JobResolution {
    JobOutcome outcome = JobOutcome::cloudFailed;
    std::string reason;
};

struct CloudJobTrackerOptions {
    int maxPollAttempts = 2160;
    int maxConsecutiveErrors = 10;
    Clock::Duration pollInterval = std::chrono::seconds(10);
    Clock::Duration errorWait = std::chrono::seconds(30);
    Clock::Duration cooldown = std::chrono::minutes(15);
    // Every item that ends (saveNanItem), and "all jobs resolved, re-process cloudFailed items".
    std::function<void(const std::string& item, const JobResolution&)> resolved;
    std::function<void()> allResolved;
    // The cooldown ended: "re-process the cloud items".
    std::function<void()> cooldownFinished;
    std::function<void(std::string_view)> log;  // empty: the debug log
};

class CloudJobTracker {
public:
    static constexpr const char* kFileName = "kadoro_jobs.json";

    // Reads DIRECTORY/kadoro_jobs.json; a missing file is an empty map, a damaged one is logged and
    // set aside (renamed with ".damaged") so it is not overwritten silently.
    CloudJobTracker(KadoroClient& client, CloudWaiter& waiter, const std::filesystem::path& directory,
                    CloudJobTrackerOptions options = {});

    // Records ITEM's job (replacing an earlier one). False when the job file could not be written.
    bool record(const std::string& item, const std::string& jobId);
    // Drops ITEM's job. False when the job file could not be written.
    bool forget(const std::string& item);
    std::optional<std::string> jobIdFor(const std::string& item) const;
    std::vector<std::string> openItems() const;

    // nullopt: stopped by DEADLINE or abort, the job stays recorded. ITEM must have a recorded job.
    std::optional<JobResolution> waitFor(const std::string& item, std::optional<Clock::TimePoint> deadline);

    // True during the cooldown after too many errors. The first call after it ends logs
    // "Cooldown finished, …" and runs cooldownFinished.
    bool coolingDown();

private:
    struct Job {
        std::string jobId;
        int64_t polls = 0;
        bool completed = false;  // waiting for its file's turn to be downloaded
    };

    void load();
    bool saveLocked();
    void log(const std::string& line) const;
    // Polls every open job once; fills RESOLVED with the items that ended. True when an error happened.
    bool pollRound(std::vector<std::pair<std::string, JobResolution>>& resolved, bool& tooManyErrors);

    KadoroClient& client_;
    CloudWaiter& waiter_;
    const std::filesystem::path file_;
    CloudJobTrackerOptions options_;
    mutable std::mutex mutex_;
    std::map<std::string, Job> jobs_;
    int consecutiveErrors_ = 0;
    std::optional<Clock::TimePoint> cooldownUntil_;
};

}  // namespace lumidex::cloud
