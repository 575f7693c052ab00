// Processing progress of one searchable folder, as the pipeline sees it, published as the coordinator's
// ProgressItem (folders/coordinator/throttled_updaters.h).
//
// ProgressTracker receives item and page reports from a run and its extractors and publishes
// ProgressItem snapshots through a callback, throttled: the first report after a quiet interval is
// published at once, later ones within the interval are collapsed into one publication at its end, and
// the report that finishes the last outstanding item is published at once. Every publication carries
// the counts at the moment it is delivered, and publications are delivered one at a time in order, on
// the tracker's serial executor (never on the reporting thread).
// Every recognised page is also counted in the diagnostics counter "ocr.page".
// Thread-safety: every member may be called from any thread. Destruction withdraws pending
// publications and waits for one being delivered; the callback must not destroy the tracker.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "folders/coordinator/throttled_updaters.h"

namespace lumidex {
class DiagnosticsCollector;
class SerialExecutor;
class ThreadPool;
class Timer;
}  // namespace lumidex

namespace lumidex::processing {

using folders::ProgressItem;

class ProgressTracker {
public:
    using Publish = std::function<void(const ProgressItem&)>;

    ProgressTracker(std::string searchableFolder, Publish publish,
                    std::chrono::milliseconds interval = std::chrono::milliseconds(250), ThreadPool* pool = nullptr,
                    DiagnosticsCollector* diagnostics = nullptr);  // nullptr: the shared pool / collector
    ~ProgressTracker();
    ProgressTracker(const ProgressTracker&) = delete;
    ProgressTracker& operator=(const ProgressTracker&) = delete;

    // Items handed to a run (count <= 0 is ignored).
    void itemsQueued(int64_t count);
    // Items finished, whatever their final state; never more than are outstanding.
    void itemsCompleted(int64_t count = 1);
    // Items withdrawn without being processed (cancelled run, file removed).
    void itemsWithdrawn(int64_t count);
    void pagesRecognised(int64_t count = 1);
    // Starts counting from zero for a new run and publishes that.
    void reset();

    ProgressItem snapshot() const;
    // Publishes the current counts now, bypassing the throttle.
    void publishNow();

private:
    ProgressItem snapshotLocked() const;
    void changed(bool urgent);
    void deliver();

    const std::string folder_;
    const Publish publish_;
    const std::chrono::steady_clock::duration interval_;
    DiagnosticsCollector& diagnostics_;

    mutable std::mutex mutex_;
    int64_t notProcessed_ = 0;
    int64_t completed_ = 0;
    int64_t pages_ = 0;
    bool trailingScheduled_ = false;
    std::chrono::steady_clock::time_point lastPublish_{};

    std::unique_ptr<SerialExecutor> executor_;
    std::unique_ptr<Timer> timer_;  // destroyed before the executor it runs on
};

}  // namespace lumidex::processing
