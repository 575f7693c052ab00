// The queue in front of a conversion backend: one thread takes the files one after another (the
// backend keeps one converter process), so that every folder's processing run can hand office files
// over without waiting and without starting converters of its own.
//
// A package saved as a folder (an older .pages) is not given to the backend: its own preview PDF
// (QuickLook/Preview.pdf) is the converted PDF, and without one it cannot be converted.
// Each file first gets checkBeforeConversion() (office_text.h): password-protected and hostile files are
// answered without the converter. A conversion that fails for a transient reason (the converter died or
// could not start) is tried once more with a fresh converter; a time-out is not (the file would hang the
// converter again), nor are permanent answers. Every outcome is logged with the file and the time it took
// ("[OfficeConversion] ..."). After idleRelease without work the backend's converter is released.
//
// Thread-safety: every member may be called from any thread. `done` runs on the queue's thread, exactly
// once per submitted file, and must not call back into the queue's destructor. Lifetime: the destructor
// answers files still waiting as failed ("the conversion queue was shut down"), stops the running
// conversion (answered "cancelled") and joins the thread. Nothing throws except std::bad_alloc.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "cloud/conversion_backend.h"

namespace lumidex::cloud {

struct ConversionQueueOptions {
    std::chrono::milliseconds timeLimit{std::chrono::seconds(120)};  // per file
    std::function<void(std::string_view)> log;                       // empty: the debug log
    // With nothing to convert for this long, the backend releases its converter (hundreds of MB).
    std::chrono::milliseconds idleRelease{std::chrono::seconds(60)};
};

struct ConversionQueueStats {
    std::uint64_t converted = 0;
    std::uint64_t notConverted = 0;  // every other outcome
    double totalSeconds = 0;         // of the converted files
    double maxSeconds = 0;
};

class ConversionQueue {
public:
    using Ticket = std::uint64_t;
    using Done = std::function<void(ConversionResult)>;

    ConversionQueue(std::unique_ptr<ConversionBackend> backend, ConversionQueueOptions options = {});
    ~ConversionQueue();
    ConversionQueue(const ConversionQueue&) = delete;
    ConversionQueue& operator=(const ConversionQueue&) = delete;

    // Why no file can be converted (the backend's reason), or nullopt.
    std::optional<std::string> unavailableReason() const { return backend_->unavailableReason(); }
    std::string backendName() const { return backend_->name(); }
    void processingFailed(const std::filesystem::path& input) { backend_->processingFailed(input); }

    // Queues the file; the request's time limit is replaced by the queue's.
    Ticket submit(ConversionRequest request, Done done);
    // Withdraws a file still waiting, or stops its conversion (the converter is restarted for the next
    // file); it is answered as failed with the reason "cancelled". False when it is done.
    bool cancel(Ticket ticket);

    ConversionQueueStats stats() const;

private:
    struct Entry {
        Ticket ticket = 0;
        ConversionRequest request;
        Done done;
    };

    void serve();
    ConversionResult convertOne(const ConversionRequest& request);
    bool runningCancelled() const;
    void log(std::string_view line) const;

    std::unique_ptr<ConversionBackend> backend_;
    ConversionQueueOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Entry> waiting_;
    Ticket nextTicket_ = 1;
    Ticket running_ = 0;
    bool runningCancelled_ = false;
    bool stopping_ = false;
    ConversionQueueStats stats_;
    std::thread thread_;  // last: starts after everything it uses
};

}  // namespace lumidex::cloud
