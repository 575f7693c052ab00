#include "processing/worker/extraction_worker_pool.h"

#include "core/app_log.h"
#include "core/diagnostics_collector.h"
#include "platform/subprocess.h"
#include "processing/worker/extraction_worker.h"
#include "processing/worker/frame_codec.h"
#include "processing/worker/worker_reply.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

namespace lumidex {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Reason = ExtractionFailure::Reason;

constexpr milliseconds exitGracePeriod{2000};  // for a worker asked to stop, or whose output ended

// Keeps "no limit" settings such as milliseconds::max() from overflowing the clock.
milliseconds bounded(milliseconds duration) {
    return std::clamp<milliseconds>(duration, milliseconds::zero(), std::chrono::hours(24 * 365));
}

std::string seconds(Clock::duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
    return text;
}

std::string toHex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 0x0F]);
    }
    return hex;
}

ExtractionOutcome failure(Reason reason, std::string message, int signal = 0) {
    return ExtractionOutcome::failed(ExtractionFailure{reason, signal, std::move(message)});
}

// The job message; nullopt when the request cannot be expressed (options that are not a JSON object).
std::optional<std::string> jobMessage(std::uint64_t id, const ExtractionRequest& request, std::string& error) {
    json options = json::parse(request.optionsJson, nullptr, false);
    if (options.is_discarded() || !options.is_object()) {
        error = "the options are not a JSON object";
        return std::nullopt;
    }
    json message = {{"type", "job"}, {"id", id}, {"kind", request.kind}, {"options", std::move(options)}};
    const std::string path = request.path.string();
    message["path"] = path;
    try {
        return message.dump();
    } catch (const json::exception&) {
        // File names need not be UTF-8; send their bytes instead.
        message.erase("path");
        message["path_hex"] = toHex(path);
    }
    try {
        return message.dump();
    } catch (const json::exception& e) {
        error = std::string("the request cannot be encoded: ") + e.what();
        return std::nullopt;
    }
}

}  // namespace

std::string_view toString(Reason reason) {
    switch (reason) {
        case Reason::crashed: return "crashed";
        case Reason::timedOut: return "timedOut";
        case Reason::outOfMemory: return "outOfMemory";
        case Reason::protocolError: return "protocolError";
        case Reason::workerUnavailable: return "workerUnavailable";
        case Reason::jobFailed: return "jobFailed";
        case Reason::cancelled: return "cancelled";
    }
    return "unknown";
}

const std::string& ExtractionOutcome::resultJson() const {
    static const std::string none;
    return ok() ? std::get<std::string>(value_) : none;
}

std::string ExtractionOutcome::description() const {
    if (ok()) return "ok";
    return std::string(toString(failure().reason)) + ": " + failure().message;
}

struct ExtractionWorkerPool::Impl {
    struct Job {
        JobId id = 0;
        ExtractionRequest request;
        ProgressHandler onProgress;
        DoneHandler onDone;
        bool cancelRequested = false;  // guarded by Impl::mutex
    };

    struct Slot {
        std::thread thread;
        platform::Subprocess* process = nullptr;  // guarded by mutex: the live worker, killable by others
        std::shared_ptr<Job> job;                // guarded by mutex: the job being served
    };

    // What one slot thread alone touches: its worker process and the stream state.
    struct Session {
        std::unique_ptr<platform::Subprocess> process;
        FrameDecoder decoder;
        std::size_t jobsServed = 0;
        std::vector<char> buffer = std::vector<char>(256 * 1024);
    };

    explicit Impl(ExtractionWorkerPoolOptions opts) : options(std::move(opts)) {}

    const ExtractionWorkerPoolOptions options;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Job>> queue;
    std::vector<std::unique_ptr<Slot>> slots;  // fixed after construction
    bool stopping = false;
    // When a job that is not deferrable was last queued or finished.
    std::chrono::steady_clock::time_point otherWorkSeen{};
    JobId nextId = 1;
    std::uint64_t completed = 0;
    std::uint64_t starts = 0;
    std::mutex joinMutex;

    void log(std::string_view line) const {
        if (options.log) {
            options.log(line);
        } else {
            appLog(line);
        }
    }

    // Why a job must stop now regardless of what its worker did, if it must.
    std::optional<ExtractionOutcome> interrupted(const Job& job) const {
        std::lock_guard lock(mutex);
        if (job.cancelRequested) return failure(Reason::cancelled, "cancelled");
        if (stopping) return failure(Reason::workerUnavailable, "the extraction pool shut down");
        return std::nullopt;
    }

    void serve(Slot& slot) {
        Session session;
        while (true) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !queue.empty(); });
                if (stopping) break;
                if (queue.front()->request.deferrable) {
                    const auto startable = otherWorkSeen + bounded(options.deferrableGrace);
                    if (std::chrono::steady_clock::now() < startable) {
                        wake.wait_until(lock, startable);
                        continue;  // the queue may have changed meanwhile
                    }
                }
                job = std::move(queue.front());
                queue.pop_front();
                slot.job = job;
            }
            ExtractionOutcome outcome = execute(slot, session, *job);
            {
                std::lock_guard lock(mutex);
                slot.job.reset();
                ++completed;
                if (job->request.holdsDeferrableBack && !job->request.deferrable) {
                    otherWorkSeen = std::chrono::steady_clock::now();
                }
            }
            finish(*job, std::move(outcome));
        }
        retire(slot, session, true);
    }

    ExtractionOutcome execute(Slot& slot, Session& session, Job& job) {
        std::string error;
        const auto message = jobMessage(job.id, job.request, error);
        if (!message) return failure(Reason::jobFailed, error);
        if (message->size() > maxFrameBytes) return failure(Reason::jobFailed, "the request is too large");
        const std::string frame = encodeFrame(*message);
        const milliseconds limit = bounded(job.request.timeLimit.value_or(options.timeLimit));

        // A worker may have died while idle; then the job goes to a fresh one.
        bool sent = false;
        for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
            if (session.process && session.process->tryWait()) retire(slot, session, false);
            if (!session.process && !start(slot, session, error)) {
                if (auto stop = interrupted(job)) return std::move(*stop);
                return failure(Reason::workerUnavailable, "no worker could be started: " + error);
            }
            // Checked after the worker is registered: a cancel() from now on kills it, one before is seen here.
            // Either way the worker may be dying of that kill, so it must not take the next job.
            if (auto stop = interrupted(job)) {
                retire(slot, session, false);
                return std::move(*stop);
            }
            sent = session.process->writeAll(frame, limit) == platform::Subprocess::IoStatus::ok;
            if (!sent) retire(slot, session, false);
        }
        if (!sent) return failure(Reason::workerUnavailable, "the worker did not accept the job");
        ++session.jobsServed;

        const auto started = Clock::now();
        auto deadline = started + limit;
        const int pid = session.process->pid();
        while (true) {
            while (auto payload = session.decoder.next()) {
                WorkerReply reply = parseWorkerReply(*payload, job.id);
                switch (reply.type) {
                    case WorkerReply::Type::progress:
                        deadline += bounded(options.perPageTimeLimit);
                        if (job.onProgress) notifyProgress(job, reply.json);
                        break;
                    case WorkerReply::Type::log:
                        log(reply.text);
                        break;
                    case WorkerReply::Type::result:
                        return resultOf(slot, session, std::move(reply));
                    case WorkerReply::Type::invalid:
                        return protocolError(slot, session, std::move(reply.text));
                }
            }
            if (session.decoder.failed()) return protocolError(slot, session, "oversized frame");

            const auto now = Clock::now();
            if (now >= deadline) {
                session.process->kill();
                retire(slot, session, false);
                if (auto stop = interrupted(job)) return std::move(*stop);
                return failure(Reason::timedOut,
                               "no result within " + seconds(now - started) + "; worker " + std::to_string(pid) + " killed");
            }
            const auto read = session.process->readSome(session.buffer,
                                                        std::chrono::ceil<milliseconds>(deadline - now));
            if (read.status == platform::Subprocess::IoStatus::ok) {
                session.decoder.feed(std::string_view(session.buffer.data(), read.bytes));
            } else if (read.status != platform::Subprocess::IoStatus::timedOut) {
                return workerEnded(slot, session, job);
            }
        }
    }

    ExtractionOutcome resultOf(Slot& slot, Session& session, WorkerReply reply) {
        if (reply.ok) {
            auto outcome = ExtractionOutcome::success(std::move(reply.json));
            if (options.maxJobsPerWorker > 0 && session.jobsServed >= options.maxJobsPerWorker)
                retire(slot, session, true);  // bounds what leaks in the decoders
            return outcome;
        }
        if (reply.outOfMemory) {
            // The heap of a worker that hit its limit may be in any state; start afresh.
            retire(slot, session, true);
            return failure(Reason::outOfMemory, reply.text + " at the " +
                                                    std::to_string(options.memoryLimitBytes >> 20) + " MiB limit");
        }
        return failure(Reason::jobFailed, std::move(reply.text));
    }

    ExtractionOutcome protocolError(Slot& slot, Session& session, std::string detail) {
        retire(slot, session, false);
        return failure(Reason::protocolError, std::move(detail));
    }

    ExtractionOutcome workerEnded(Slot& slot, Session& session, const Job& job) {
        auto status = session.process->waitFor(exitGracePeriod);
        if (!status) {  // closed its output but lives on: not a worker we can trust
            session.process->kill();
            status = session.process->wait();
        }
        const int pid = session.process->pid();
        retire(slot, session, false);
        if (auto stop = interrupted(job)) return std::move(*stop);
        if (status->signalled()) {
            return failure(Reason::crashed, "worker " + std::to_string(pid) + " ended by " + status->description(),
                           status->value);
        }
        return failure(Reason::crashed, "worker " + std::to_string(pid) + " exited unexpectedly with " +
                                            status->description());
    }

    // Starts a worker and waits for its greeting. On failure everything is cleaned up and `error` says why.
    bool start(Slot& slot, Session& session, std::string& error) {
        platform::SubprocessOptions spawnOptions;
        spawnOptions.executable =
            options.workerExecutable.empty() ? platform::currentExecutable() : options.workerExecutable;
        spawnOptions.arguments = options.workerArguments;
        spawnOptions.environment = options.workerEnvironment;
        if (options.memoryLimitBytes > 0) spawnOptions.memoryLimitBytes = options.memoryLimitBytes;
        spawnOptions.killWhenParentExits = true;  // this slot thread outlives its workers
        auto process = platform::Subprocess::spawn(spawnOptions, error);
        if (!process) return false;
        {
            std::lock_guard lock(mutex);
            if (stopping) {
                error = "the extraction pool shut down";
                return false;  // the process is killed as it goes out of scope
            }
            slot.process = process.get();
            ++starts;
        }
        session.process = std::move(process);
        session.decoder = FrameDecoder();
        session.jobsServed = 0;
        DiagnosticsCollector::shared().increment("worker.started");

        const auto deadline = Clock::now() + bounded(options.startupTimeLimit);
        while (true) {
            if (auto payload = session.decoder.next()) {
                if (isWorkerGreeting(*payload, extractionWorkerProtocolVersion)) return true;
                error = "unexpected greeting " + payload->substr(0, 200);
                break;
            }
            if (session.decoder.failed()) {
                error = "the worker's output is not the worker protocol";
                break;
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                error = "no greeting within " + seconds(options.startupTimeLimit);
                break;
            }
            const auto read = session.process->readSome(session.buffer,
                                                        std::chrono::ceil<milliseconds>(deadline - now));
            if (read.status == platform::Subprocess::IoStatus::ok) {
                session.decoder.feed(std::string_view(session.buffer.data(), read.bytes));
            } else if (read.status != platform::Subprocess::IoStatus::timedOut) {
                const auto status = session.process->waitFor(exitGracePeriod);
                error = "the worker ended during start-up" + (status ? " (" + status->description() + ")" : "");
                break;
            }
        }
        retire(slot, session, false);
        return false;
    }

    // Ends the session's worker: gracefully (end of input, then a grace period) or by killing it.
    void retire(Slot& slot, Session& session, bool graceful) {
        if (!session.process) return;
        {
            std::lock_guard lock(mutex);
            slot.process = nullptr;
        }
        if (graceful) {
            session.process->closeStdin();
            if (!session.process->waitFor(exitGracePeriod)) session.process->kill();
        }
        session.process.reset();  // kills a worker still running and reaps it
        session.decoder = FrameDecoder();
        session.jobsServed = 0;
    }

    void notifyProgress(const Job& job, const std::string& payload) const {
        try {
            job.onProgress(payload);
        } catch (const std::exception& e) {
            log("Extraction progress handler for " + job.request.path.string() + " threw: " + e.what());
        } catch (...) {
            log("Extraction progress handler for " + job.request.path.string() + " threw");
        }
    }

    void finish(Job& job, ExtractionOutcome outcome) const {
        if (!outcome.ok()) {
            const auto reason = outcome.failure().reason;
            static constexpr std::pair<Reason, std::string_view> counters[] = {
                {Reason::crashed, "worker.crashed"},
                {Reason::timedOut, "worker.timed_out"},
                {Reason::outOfMemory, "worker.out_of_memory"},
                {Reason::protocolError, "worker.protocol_error"},
            };
            for (const auto& [counted, name] : counters) {
                if (counted == reason) DiagnosticsCollector::shared().increment(name);
            }
            if (reason != Reason::cancelled) {
                log("Extraction of " + job.request.path.string() + " (" + job.request.kind +
                    ") failed: " + outcome.description());
            }
        }
        if (!job.onDone) return;
        try {
            job.onDone(std::move(outcome));
        } catch (const std::exception& e) {
            log("Extraction completion handler for " + job.request.path.string() + " threw: " + e.what());
        } catch (...) {
            log("Extraction completion handler for " + job.request.path.string() + " threw");
        }
    }
};

ExtractionWorkerPool::ExtractionWorkerPool(ExtractionWorkerPoolOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    std::size_t count = impl_->options.workerCount;
    if (count == 0) count = std::max(1u, std::thread::hardware_concurrency());
    for (std::size_t i = 0; i < count; ++i) impl_->slots.push_back(std::make_unique<Impl::Slot>());
    for (auto& slot : impl_->slots) {
        Impl::Slot* raw = slot.get();
        slot->thread = std::thread([impl = impl_.get(), raw] { impl->serve(*raw); });
    }
}

ExtractionWorkerPool::~ExtractionWorkerPool() { shutdown(); }

ExtractionWorkerPool::JobId ExtractionWorkerPool::submit(ExtractionRequest request, ProgressHandler onProgress,
                                                         DoneHandler onDone) {
    auto job = std::make_shared<Impl::Job>();
    job->request = std::move(request);
    job->onProgress = std::move(onProgress);
    job->onDone = std::move(onDone);
    {
        std::lock_guard lock(impl_->mutex);
        job->id = impl_->nextId++;
        if (!impl_->stopping) {
            if (job->request.urgent) {
                const auto firstNotUrgent = std::find_if(impl_->queue.begin(), impl_->queue.end(),
                                                         [](const auto& queued) { return !queued->request.urgent; });
                impl_->queue.insert(firstNotUrgent, job);
            } else if (!job->request.deferrable) {
                if (job->request.holdsDeferrableBack) impl_->otherWorkSeen = std::chrono::steady_clock::now();
                const auto firstDeferrable = std::find_if(impl_->queue.begin(), impl_->queue.end(), [](const auto& queued) {
                    return queued->request.deferrable && !queued->request.urgent;
                });
                impl_->queue.insert(firstDeferrable, job);
            } else {
                impl_->queue.push_back(job);
            }
            impl_->wake.notify_one();
            return job->id;
        }
    }
    impl_->finish(*job, failure(Reason::workerUnavailable, "the extraction pool has shut down"));
    return job->id;
}

ExtractionOutcome ExtractionWorkerPool::run(ExtractionRequest request, ProgressHandler onProgress) {
    auto promise = std::make_shared<std::promise<ExtractionOutcome>>();
    auto future = promise->get_future();
    submit(std::move(request), std::move(onProgress),
           [promise](ExtractionOutcome outcome) { promise->set_value(std::move(outcome)); });
    return future.get();
}

bool ExtractionWorkerPool::cancel(JobId id) {
    std::shared_ptr<Impl::Job> withdrawn;
    {
        std::lock_guard lock(impl_->mutex);
        const auto queued = std::find_if(impl_->queue.begin(), impl_->queue.end(),
                                         [id](const auto& job) { return job->id == id; });
        if (queued != impl_->queue.end()) {
            withdrawn = std::move(*queued);
            impl_->queue.erase(queued);
        } else {
            for (auto& slot : impl_->slots) {
                if (!slot->job || slot->job->id != id) continue;
                slot->job->cancelRequested = true;
                if (slot->process) slot->process->kill();  // its slot then reports the job as cancelled
                return true;
            }
            return false;
        }
    }
    impl_->finish(*withdrawn, failure(Reason::cancelled, "cancelled"));
    return true;
}

void ExtractionWorkerPool::shutdown() {
    std::deque<std::shared_ptr<Impl::Job>> dropped;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->stopping) {
            impl_->stopping = true;
            dropped.swap(impl_->queue);
            for (auto& slot : impl_->slots) {
                if (slot->job && slot->process) slot->process->kill();  // idle workers are let go gently
            }
        }
    }
    impl_->wake.notify_all();
    for (auto& job : dropped) {
        impl_->finish(*job, failure(Reason::workerUnavailable, "the extraction pool shut down before the job ran"));
    }
    std::lock_guard joinLock(impl_->joinMutex);
    for (auto& slot : impl_->slots) {
        if (slot->thread.joinable()) slot->thread.join();
    }
}

ExtractionWorkerPool::Stats ExtractionWorkerPool::stats() const {
    std::lock_guard lock(impl_->mutex);
    Stats stats;
    stats.workerCount = impl_->slots.size();
    stats.queuedJobs = impl_->queue.size();
    stats.completedJobs = impl_->completed;
    stats.workerStarts = impl_->starts;
    for (const auto& slot : impl_->slots) {
        if (slot->process) ++stats.liveWorkers;
        if (slot->job) ++stats.runningJobs;
    }
    return stats;
}

std::size_t ExtractionWorkerPool::workerCount() const { return impl_->slots.size(); }

}  // namespace lumidex
