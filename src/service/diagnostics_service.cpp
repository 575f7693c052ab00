#include "service/diagnostics_service.h"

#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "core/concurrency/thread_pool.h"
#include "core/model/date.h"
#include "folders/coordinator/core_manager_data.h"
#include "service/index_identity.h"

namespace lumidex::service {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string readWhole(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value of a "Name:   value" line of /proc/self/status, as a number.
int64_t statusField(const std::string& status, std::string_view name) {
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == ':') {
            try {
                return std::stoll(line.substr(name.size() + 1));
            } catch (const std::exception&) {
                return 0;
            }
        }
    }
    return 0;
}

struct CpuTimes {
    double processSeconds = 0;  // user + system time of the process
    double ageSeconds = 0;      // since the process started
};

std::optional<CpuTimes> readCpuTimes() {
    // The command name in parentheses may hold blanks; the fields after it are fixed.
    const std::string stat = readWhole("/proc/self/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> tokens;
    for (std::string token; fields >> token;) tokens.push_back(token);
    if (tokens.size() < 20) return std::nullopt;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::istringstream uptimeText(readWhole("/proc/uptime"));
    double uptime = 0;
    if (ticks <= 0 || !(uptimeText >> uptime)) return std::nullopt;
    try {
        CpuTimes times;
        times.processSeconds = (std::stod(tokens[11]) + std::stod(tokens[12])) / ticks;
        times.ageSeconds = uptime - std::stod(tokens[19]) / ticks;
        return times;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// To `decimals` places, dividing last so that 4.6 comes out as the double nearest 4.6.
double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

json eventJson(const DiagnosticsCollector::Event& event) {
    return {{"time", isoTimeWithMilliseconds(event.time)},
            {"source", event.source},
            {"detail", event.detail}};
}

constexpr const char* kMainThreadNote = "Main-Thread antwortet nicht innerhalb 750ms — UI/Rendering überlastet.";
constexpr const char* kCoreActorNote =
    "CoreManagerData-Actor antwortet nicht innerhalb 750ms — Verarbeitungs-Contention. (Genau das lässt /status "
    "und /processing/* hängen.)";
constexpr const char* kEmptyNote = "Hot-Path-Instrumentierung folgt in Phase 2 — counters/rates/events noch leer.";

}  // namespace

std::vector<ProbeResult> probeResponsiveness(const std::vector<TaskPoster>& targets, std::chrono::milliseconds timeout) {
    // Each no-op reports once; the waiting side reads whatever has reported by the deadline.
    struct Shared {
        std::mutex mutex;
        std::condition_variable ran;
        std::vector<std::optional<double>> latencies;
        std::size_t reported = 0;
    };
    auto shared = std::make_shared<Shared>();
    shared->latencies.resize(targets.size());
    const auto start = Clock::now();
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (!targets[i]) continue;
        try {
            targets[i]([shared, i, start] {
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                std::lock_guard lock(shared->mutex);
                if (shared->latencies[i]) return;
                shared->latencies[i] = ms;
                ++shared->reported;
                shared->ran.notify_all();
            });
        } catch (const std::exception&) {
            // A target that cannot take work counts as not responsive.
        }
    }
    std::unique_lock lock(shared->mutex);
    shared->ran.wait_until(lock, start + timeout, [&] { return shared->reported == targets.size(); });
    std::vector<ProbeResult> results;
    for (const auto& latency : shared->latencies) {
        const bool inTime = latency && *latency <= static_cast<double>(timeout.count());
        results.push_back({inTime, rounded(inTime ? *latency : static_cast<double>(timeout.count()), 2)});
    }
    return results;
}

struct DiagnosticsService::CpuSample {
    std::mutex mutex;
    std::optional<CpuTimes> previous;
};

DiagnosticsService::DiagnosticsService(folders::CoreManagerData* core, Options options)
    : core_(core),
      options_(std::move(options)),
      collector_(options_.collector ? options_.collector : &DiagnosticsCollector::shared()),
      cpu_(std::make_shared<CpuSample>()) {}

ProcessFigures DiagnosticsService::processFigures() const {
    ProcessFigures figures;
    const std::string status = readWhole("/proc/self/status");
    figures.rssFootprintMb = rounded(static_cast<double>(statusField(status, "VmRSS")) / 1024.0, 2);
    figures.threadCount = statusField(status, "Threads");
    if (const auto now = readCpuTimes()) {
        std::lock_guard lock(cpu_->mutex);
        const CpuTimes since = cpu_->previous.value_or(CpuTimes{});
        const double wall = now->ageSeconds - since.ageSeconds;
        if (wall > 0) figures.cpuPercent = rounded(100.0 * (now->processSeconds - since.processSeconds) / wall, 1);
        cpu_->previous = now;
    }
    return figures;
}

json DiagnosticsService::snapshot() const {
    // Main loop, the coordinators' owner, then each folder's coordinator: all probed at once.
    std::vector<TaskPoster> targets;
    targets.push_back(options_.mainLoop ? options_.mainLoop
                                        : TaskPoster([](std::function<void()> task) { ThreadPool::shared().post(std::move(task)); }));
    std::vector<std::shared_ptr<folders::BalancedDataManager>> managers;
    if (core_) {
        targets.push_back([core = core_](std::function<void()> task) { core->executor().post(std::move(task)); });
        managers = core_->balancedDataManagers();
        for (const auto& manager : managers) {
            targets.push_back([manager](std::function<void()> task) { manager->executor().post(std::move(task)); });
        }
    }
    const auto probes = probeResponsiveness(targets, options_.probeTimeout);
    const ProbeResult mainLoop = probes[0];
    const ProbeResult coreActor = core_ ? probes[1] : ProbeResult{true, 0};

    json coordinators = json::array();
    std::vector<std::string> slowFolders;
    for (std::size_t i = 0; i < managers.size(); ++i) {
        const ProbeResult& probe = probes[i + 2];
        const std::string& path = managers[i]->rootFolderUrlString();
        coordinators.push_back({{"folder_id", std::to_string(folderId(path))},
                                {"path", path},
                                {"responsive", probe.responsive},
                                {"latency_ms", probe.latencyMs}});
        if (!probe.responsive) slowFolders.push_back(path);
    }

    const auto now = std::chrono::system_clock::now();
    const auto counters = collector_->counters();
    const auto recent = collector_->recentEvents(50);
    json rates = json::array();
    for (const std::string& source : collector_->sources()) {
        const auto r = collector_->rates(source, now);
        rates.push_back({{"source", source}, {"total", r.total}, {"per_sec_5s", r.perSec5s}, {"per_sec_60s", r.perSec60s}});
    }
    json events = json::array();
    for (const auto& event : recent) events.push_back(eventJson(event));

    json notes = json::array();
    if (!mainLoop.responsive) notes.push_back(kMainThreadNote);
    if (!coreActor.responsive) notes.push_back(kCoreActorNote);
    for (const std::string& path : slowFolders) {
        notes.push_back("Koordinator von " + path + " antwortet nicht innerhalb 750ms — Scan oder Verarbeitung hält ihn auf.");
    }
    if (counters.empty() && recent.empty()) notes.push_back(kEmptyNote);

    const ProcessFigures process = processFigures();
    json counterObject = json::object();
    for (const auto& [name, value] : counters) counterObject[name] = value;
    return {{"timestamp", iso8601String(dateFromSystemClock(now))},
            {"uptime_seconds", rounded(std::chrono::duration<double>(now - options_.startTime).count(), 3)},
            {"process",
             {{"rss_footprint_mb", process.rssFootprintMb},
              {"cpu_percent", process.cpuPercent},
              {"thread_count", process.threadCount}}},
            {"responsiveness",
             {{"main_thread_responsive", mainLoop.responsive},
              {"main_thread_latency_ms", mainLoop.latencyMs},
              {"core_actor_responsive", coreActor.responsive},
              {"core_actor_latency_ms", coreActor.latencyMs},
              {"coordinators", std::move(coordinators)}}},
            {"counters", std::move(counterObject)},
            {"rates", std::move(rates)},
            {"recent_events", std::move(events)},
            {"notes", std::move(notes)}};
}

json DiagnosticsService::events(std::size_t limit) const {
    json events = json::array();
    for (const auto& event : collector_->recentEvents(limit)) events.push_back(eventJson(event));
    return {{"events", std::move(events)}};
}

}  // namespace lumidex::service
