// What support looks at when Lumidex or one of its clients misbehaves: the process's own figures (from
// /proc/self), whether the main loop and the coordinators still answer, the diagnostics collector's
// counters, rates and recent events, and hints derived from them.
//
// A responsiveness probe posts a no-op to its target and waits at most the time-out for it to run;
// several targets are probed at once, so a snapshot waits at most one time-out in total. A no-op that
// runs after its probe gave up does nothing harmful.
//
// Borrows the coordinators and the collector, which must outlive the service. Thread-safe; nothing
// throws except std::bad_alloc. Never reports the access token.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/diagnostics_collector.h"
#include "service/diagnosis_report.h"

namespace lumidex::folders {
class CoreManagerData;
}

namespace lumidex::service {

// Posts a task to some executor (an event loop, a serial queue).
using TaskPoster = std::function<void(std::function<void()>)>;

struct ProbeResult {
    bool responsive = false;
    double latencyMs = 0;  // the time-out when not responsive
};

// Probes every target at once; results in the targets' order.
std::vector<ProbeResult> probeResponsiveness(const std::vector<TaskPoster>& targets, std::chrono::milliseconds timeout);

struct ProcessFigures {
    double rssFootprintMb = 0;  // resident memory in MiB
    double cpuPercent = 0;      // of one core, since the previous reading (the first: since start)
    int64_t threadCount = 0;
};

class DiagnosticsService {
public:
    struct Options {
        DiagnosticsCollector* collector = nullptr;  // none: the shared collector
        // The application's main loop (the window's event loop, or the server's network loop when
        // headless); none: the shared thread pool stands in for it.
        TaskPoster mainLoop;
        std::chrono::system_clock::time_point startTime = std::chrono::system_clock::now();
        std::chrono::milliseconds probeTimeout{750};
    };

    DiagnosticsService(folders::CoreManagerData* core, Options options);

    ProcessFigures processFigures() const;
    // {"timestamp", "uptime_seconds", "process", "responsiveness", "counters", "rates",
    // "recent_events", "notes"}
    nlohmann::json snapshot() const;
    // {"events": the newest `limit`, oldest first}
    nlohmann::json events(std::size_t limit) const;

    DiagnosticsCollector& collector() const { return *collector_; }

private:
    folders::CoreManagerData* core_;
    Options options_;
    DiagnosticsCollector* collector_;
    struct CpuSample;
    std::shared_ptr<CpuSample> cpu_;
};

}  // namespace lumidex::service
