// Uploading files to the conversion service.
//
// CloudWaiter: the waits of one conversion (back-offs, polls) on an injectable Clock, ended early by
// abort(). GlobalUploadCoordinator: the application-wide limit on uploads in flight; callers get their
// slot in the order they asked. UploadManager: one file's upload with the service's retry policy:
//   - offline (the probe says so): "Offline, re-queuing <name>", wait 10 s, ask again;
//   - over 1 GiB: notSupported without any call to the service;
//   - serviceBusy: wait min(min(retryAfter, 300) × min(n, 5), 600) s for the n-th busy answer; busy
//     answers are not failures;
//   - unsupportedFormat, fileTooLarge: notSupported at once;
//   - any other error: wait 10 s and try again, up to maxRetries failures, then notSupported.
// The busy and failure counts are kept per file across calls (a call cut short by its deadline goes on
// counting where it stopped) and cleared by a successful upload.
//
// Thread-safety: all three are thread-safe. UploadManager::upload() blocks its caller; several callers
// may upload at once (the coordinator bounds them). CloudWaiter serves one waiting thread at a time.
// Nothing throws except std::bad_alloc.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "cloud/kadoro_client.h"
#include "core/concurrency/clock.h"

namespace lumidex::cloud {

inline constexpr std::uintmax_t kMaxCloudUploadBytes = 1073741824;
// Every line of the cloud queue starts with this category.
inline constexpr std::string_view kCloudLogPrefix = "[NanItemsProcessingCloud] ";

class CloudWaiter {
public:
    explicit CloudWaiter(Clock& clock = Clock::steady());
    Clock& clock() const { return clock_; }
    // Blocks until the clock reaches UNTIL. False when abort() ended the wait (or came before it).
    bool sleepUntil(Clock::TimePoint until);
    // Ends the current wait and every later one until reset().
    void abort();
    void reset();
    bool aborted() const;

private:
    struct Wake {
        std::mutex mutex;
        std::condition_variable changed;
        bool due = false;
        bool aborted = false;
    };
    Clock& clock_;
    mutable std::mutex mutex_;
    bool aborted_ = false;
    std::shared_ptr<Wake> current_;
};

class GlobalUploadCoordinator {
public:
    explicit GlobalUploadCoordinator(int maxConcurrentUploads = 2);
    static GlobalUploadCoordinator& shared();

    // Blocks until a slot is free and every earlier caller got one.
    void acquire();
    void release();
    int activeUploads() const;
    size_t waitingUploads() const;

    class Slot {
    public:
        explicit Slot(GlobalUploadCoordinator& coordinator) : coordinator_(coordinator) { coordinator_.acquire(); }
        ~Slot() { coordinator_.release(); }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

    private:
        GlobalUploadCoordinator& coordinator_;
    };

private:
    const int maxConcurrentUploads_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int activeUploads_ = 0;
    uint64_t nextTicket_ = 0;
    std::deque<uint64_t> uploadQueue_;
};

struct UploadManagerOptions {
    int maxRetries = 3;
    std::function<bool()> isOnline;                // empty: always online
    std::function<void(std::string_view)> log;     // empty: the debug log
};

struct UploadAnswer {
    enum class Outcome { uploaded, notSupported, stopped };  // stopped: deadline or abort
    Outcome outcome = Outcome::stopped;
    std::string jobId;   // uploaded
    std::string reason;  // notSupported
};

class UploadManager {
public:
    UploadManager(KadoroClient& client, GlobalUploadCoordinator& coordinator, CloudWaiter& waiter,
                  UploadManagerOptions options = {});

    // Uploads FILE for conversion to "pdf". Waits never go past DEADLINE (then: stopped).
    UploadAnswer upload(const std::filesystem::path& file, std::optional<Clock::TimePoint> deadline);

    // The wait after the n-th busy answer with the server's RETRYAFTER, in seconds.
    static int64_t busyWaitSeconds(int64_t retryAfter, int n);

private:
    bool waitFor(Clock::Duration delay, std::optional<Clock::TimePoint> deadline);
    void log(const std::string& line) const;

    KadoroClient& client_;
    GlobalUploadCoordinator& coordinator_;
    CloudWaiter& waiter_;
    UploadManagerOptions options_;
    std::mutex mutex_;
    std::map<std::string, int> retryCount_;
    std::map<std::string, int> busyRetryCount_;
};

}  // namespace lumidex::cloud
