// A pool of long-lived extraction worker processes (extraction_worker.h), so that decoding hostile files
// cannot crash, hang or exhaust Lumidex: such a job ends as a failure and its worker is replaced.
//
// Each worker is single-threaded and serves one job at a time; jobs wait in one first-in-first-out queue,
// urgent jobs ahead of the others and deferrable ones behind them.
// Workers start on first use and are restarted after a crash, a time-out, running out of memory, a
// protocol error, and (to bound leaks in decoders) after maxJobsPerWorker jobs.
// Time limit of a job: timeLimit (or the request's own), plus perPageTimeLimit for every progress
// message the job sends. A job past its limit has its worker killed and ends as timedOut.
// Every failure is logged with the file's path; the counters "worker.started", "worker.crashed",
// "worker.timed_out", "worker.out_of_memory" and "worker.protocol_error" go to the diagnostics collector.
//
// Thread-safety: every member may be called from any thread, except that the destructor and shutdown()
// must not be called from a callback. Callbacks run on the pool's own threads (one per worker), in
// order for one job (all progress, then done exactly once); they should return quickly and must not
// wait for other jobs of the same pool. A callback that throws is logged and otherwise ignored.
// Lifetime: the pool owns its threads and processes. shutdown() (and the destructor) kills running
// workers, ends every unfinished job with workerUnavailable, waits for the callbacks in progress and
// joins the threads; it returns promptly. Jobs submitted afterwards end at once (on the caller's thread).
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
#include <utility>
#include <variant>
#include <vector>

namespace lumidex {

struct ExtractionRequest {
    std::string kind;                 // a job kind the worker registered, e.g. "pdf.extract"
    std::filesystem::path path;
    std::string optionsJson = "{}";  // a JSON object handed to the handler
    // Replaces the pool's timeLimit for this job; progress messages still extend it.
    std::optional<std::chrono::milliseconds> timeLimit;
    // Someone waits for it on screen (a page opened before the preview pass drew it): queued ahead of
    // every job that is not urgent, after the urgent ones queued before it.
    bool urgent = false;
    // Work that may wait (recognition that only adds to stored text): queued behind every job that is
    // not, so that documents become searchable first.
    bool deferrable = false;
    // Whether queueing or finishing this job restarts the wait of deferrable jobs (deferrableGrace):
    // yes for the documents being made searchable, no for passes meant to run beside deferrable work.
    bool holdsDeferrableBack = true;
};

struct ExtractionFailure {
    enum class Reason {
        crashed,            // the worker died: `signal` is the signal, or 0 when it exited by itself
        timedOut,           // killed at the job's time limit
        outOfMemory,        // an allocation failed at the worker's memory limit
        protocolError,      // the worker sent something that is not the protocol
        workerUnavailable,  // no worker could be started, or the pool shut down
        jobFailed,          // the handler reported an error (unreadable file, unknown kind, bad options)
        cancelled,          // cancel() was called
    };
    Reason reason = Reason::workerUnavailable;
    int signal = 0;
    std::string message;  // readable detail for logs
};

// "crashed", "timedOut", ... as in the enumeration.
std::string_view toString(ExtractionFailure::Reason reason);

class ExtractionOutcome {
public:
    static ExtractionOutcome success(std::string resultJson) { return ExtractionOutcome(std::move(resultJson)); }
    static ExtractionOutcome failed(ExtractionFailure failure) { return ExtractionOutcome(std::move(failure)); }

    bool ok() const { return value_.index() == 0; }
    // The handler's result (a JSON text) when ok(), else empty.
    const std::string& resultJson() const;
    // Only when !ok().
    const ExtractionFailure& failure() const { return std::get<ExtractionFailure>(value_); }
    // "ok" or "<reason>: <message>".
    std::string description() const;

private:
    explicit ExtractionOutcome(std::string result) : value_(std::move(result)) {}
    explicit ExtractionOutcome(ExtractionFailure failure) : value_(std::move(failure)) {}
    std::variant<std::string, ExtractionFailure> value_;
};

struct ExtractionWorkerPoolOptions {
    // The program to run as a worker; empty means this program, whose main() must then handle the
    // worker arguments (lumidex does; a test binary does not: give it a worker executable).
    std::filesystem::path workerExecutable;
    std::vector<std::string> workerArguments{"--extraction-worker"};
    // Added to the worker's environment. Each worker uses one core, and OpenMP in the OCR engine slows
    // a single page down when it may spread over all cores.
    std::vector<std::pair<std::string, std::string>> workerEnvironment{{"OMP_THREAD_LIMIT", "1"}};
    std::size_t workerCount = 0;                     // 0: the number of cores
    std::uint64_t memoryLimitBytes = 2ull << 30;     // address-space limit per worker; 0: none
    std::chrono::milliseconds timeLimit{std::chrono::seconds(120)};
    std::chrono::milliseconds perPageTimeLimit{std::chrono::seconds(30)};
    std::chrono::milliseconds startupTimeLimit{std::chrono::seconds(20)};  // until the worker's greeting
    std::size_t maxJobsPerWorker = 200;              // 0: never recycle
    // A deferrable job starts only once no other job (that holds it back) was queued or finished for
    // this long: the one that finished is usually followed by the next of its kind a moment later, and a
    // deferrable job taken in that moment would hold its worker for seconds.
    std::chrono::milliseconds deferrableGrace{500};
    // Receives the pool's log lines and the workers' "log" messages; empty means the debug log.
    // Called from the pool's threads, possibly several at once.
    std::function<void(std::string_view)> log;
};

class ExtractionWorkerPool {
public:
    using JobId = std::uint64_t;
    using ProgressHandler = std::function<void(const std::string& payloadJson)>;
    using DoneHandler = std::function<void(ExtractionOutcome)>;

    struct Stats {
        std::size_t workerCount = 0;    // slots, fixed
        std::size_t liveWorkers = 0;    // processes running now
        std::size_t queuedJobs = 0;
        std::size_t runningJobs = 0;
        std::uint64_t completedJobs = 0;
        std::uint64_t workerStarts = 0;
    };

    explicit ExtractionWorkerPool(ExtractionWorkerPoolOptions options = {});
    ~ExtractionWorkerPool();
    ExtractionWorkerPool(const ExtractionWorkerPool&) = delete;
    ExtractionWorkerPool& operator=(const ExtractionWorkerPool&) = delete;

    // Queues the job. Either handler may be empty.
    JobId submit(ExtractionRequest request, ProgressHandler onProgress, DoneHandler onDone);
    // Runs the job and waits for its outcome. Not from a callback of this pool.
    ExtractionOutcome run(ExtractionRequest request, ProgressHandler onProgress = {});
    // Withdraws a queued job, or kills the worker running it; the job then ends as cancelled.
    // False when the job has already finished (or was never submitted).
    bool cancel(JobId id);
    void shutdown();

    Stats stats() const;
    std::size_t workerCount() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumidex
