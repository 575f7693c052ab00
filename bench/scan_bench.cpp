// Scan benchmark: on one folder, measures in one run the floor (a warm `find DIR -printf '%s\n'`, one
// stat per entry, best of 3), the first full scan into an empty index, an unchanged second scan, the
// start-up load of the stored index in a new process (plus its unchanged scan), and the file-event
// latency from a write to the coordinator (observer delivery and item registered). Prints a markdown
// table with the goals: first scan <= 3x the floor, unchanged scan <= 2x the floor, start-up load
// < 1 s and peak memory < 200 MB per 50 000 items, event latency about 0.3 s.
//
//   scan_bench [--folder DIR] [--files N] [--events N] [--work DIR] [--skip-events]
//
// DIR defaults to /work/corpora/large/corpus when present, else a generated tree of N files (default
// 20000) below the work folder. The index, settings, logs and HOME live in the work folder (default: a
// new temporary folder, removed afterwards). Each measured phase runs in a child process of its own
// (this program with --phase), so the peak resident memory (VmHWM) is per phase; within a child the
// peak is reset between phases where the kernel allows it. No processing runner is injected: only
// scanning is measured. The event phase writes N new files into a folder "scan-bench-events-<pid>" in
// DIR and removes it again.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/diagnostics_collector.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/scanning/directory_enumerator.h"
#include "folders/scanning/excluded_folders.h"
#include "folders/scanning/file_candidate.h"
#include "folders/watch/presenter_observer.h"
#include "storage/image_capture_date.h"

using namespace lumidex;
using namespace lumidex::folders;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultCorpus = "/work/corpora/large/corpus";

double secondsSince(SteadyClock::time_point start) { return std::chrono::duration<double>(SteadyClock::now() - start).count(); }

// CPU seconds (user + system) of every thread of this process so far.
double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// --- memory ---

double peakRssMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

// Resets VmHWM to the current resident size, so the next reading is the peak of what follows.
bool resetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// --- child side: one phase, results as "key=value" lines on stdout ---

struct PhaseContext {
    fs::path folder;
    fs::path work;
    fs::path eventFolder;  // created and removed by the event phase, inside `folder`
    int events = 20;
};

void emit(const std::string& key, double value) { std::printf("%s=%.6f\n", key.c_str(), value); }

struct Coordinator {
    SettingsStore settings;
    DiagnosticsCollector diagnostics;
    ExcludedFolderCache cache;
    BalancedDataManagerDependencies deps;

    explicit Coordinator(const PhaseContext& context) : settings(context.work / "settings.json") {
        deps.folderDataDirectory = context.work / "data" / "folder";
        deps.excludedExtensionsFile = context.work / "data" / "excluded_file_path_extensions.json";
        deps.settingsStore = &settings;
        deps.diagnostics = &diagnostics;
        deps.imageCaptureDate = storage::imageCaptureDate;  // as the indexer writes rows
        deps.excludedFolderCache = &cache;
    }
};

void phaseWalk(const PhaseContext& context) {
    ExcludedFolderCache cache;
    DirectoryEnumerator enumerator(ScanFileSystem::local(), cache);
    uint64_t yielded = 0;
    const double cpu = cpuSeconds();
    const auto start = SteadyClock::now();
    const auto walk = enumerator.enumerate(context.folder.string(), CancellationToken(),
                                           [&](EnumeratedEntry&&) { ++yielded; });
    emit("walk.seconds", secondsSince(start));
    emit("walk.cpu", cpuSeconds() - cpu);
    emit("walk.files", static_cast<double>(yielded));
    emit("walk.skipped", static_cast<double>(walk.skipped.total()));
    emit("walk.peak_mb", peakRssMb());
}

void phaseFirst(const PhaseContext& context) {
    fs::remove_all(context.work / "data");
    Coordinator c(context);
    auto start = SteadyClock::now();
    BalancedDataManager manager(context.folder.string(), c.deps);
    manager.start();  // creates the empty stores
    emit("empty_start.seconds", secondsSince(start));
    double cpu = cpuSeconds();
    start = SteadyClock::now();
    const auto first = manager.fullScan();
    manager.waitUntilIdle();
    emit("first.seconds", secondsSince(start));
    emit("first.cpu", cpuSeconds() - cpu);
    emit("first.found", static_cast<double>(first.found));
    emit("first.new", static_cast<double>(first.newItems));
    emit("first.unsupported", static_cast<double>(first.unsupported));
    emit("first.skipped", static_cast<double>(first.skipped.total()));
    emit("first.peak_mb", peakRssMb());

    // A rescan comes later in a session: let the first scan's announcement to the interface go out first.
    const auto quiet = SteadyClock::now() + std::chrono::seconds(15);
    while (manager.throttledModifiedFilesUpdater().waitingCount() > 0 && SteadyClock::now() < quiet) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the published set is let go after
    manager.waitUntilIdle();
    emit("second.peak_reset", resetPeakRss() ? 1 : 0);
    cpu = cpuSeconds();
    start = SteadyClock::now();
    const auto second = manager.fullScan();
    manager.waitUntilIdle();
    emit("second.seconds", secondsSince(start));
    emit("second.cpu", cpuSeconds() - cpu);
    emit("second.found", static_cast<double>(second.found));
    emit("second.new", static_cast<double>(second.newItems));
    emit("second.removed", static_cast<double>(second.removedOrphans));
    emit("second.peak_mb", peakRssMb());
    emit("items", static_cast<double>(manager.itemCount()));
}

void phaseRestart(const PhaseContext& context) {
    Coordinator c(context);
    double cpu = cpuSeconds();
    auto start = SteadyClock::now();
    BalancedDataManager manager(context.folder.string(), c.deps);
    manager.startInBackground();
    manager.waitForInitToComplete();
    emit("load.seconds", secondsSince(start));
    emit("load.cpu", cpuSeconds() - cpu);
    emit("load.items", static_cast<double>(manager.itemCount()));
    emit("load.peak_mb", peakRssMb());

    cpu = cpuSeconds();
    start = SteadyClock::now();
    const auto scan = manager.fullScan();
    manager.waitUntilIdle();
    emit("restart_scan.seconds", secondsSince(start));
    emit("restart_scan.cpu", cpuSeconds() - cpu);
    emit("restart_scan.found", static_cast<double>(scan.found));
    emit("restart_scan.new", static_cast<double>(scan.newItems));
    emit("restart_scan.peak_mb", peakRssMb());
}

// Delivery times of the observer, by path, recorded by a wrapper around the real observer factory.
class DeliveryLog {
public:
    void delivered(const std::string& path) {
        std::lock_guard lock(mutex_);
        times_.try_emplace(path, SteadyClock::now());
    }
    std::optional<SteadyClock::time_point> time(const std::string& path) const {
        std::lock_guard lock(mutex_);
        const auto found = times_.find(path);
        if (found == times_.end()) return std::nullopt;
        return found->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, SteadyClock::time_point> times_;
};

// Waits until the coordinator holds the file's current version; the moment it does, or nullopt.
std::optional<SteadyClock::time_point> waitUntilRegistered(BalancedDataManager& manager, const std::string& path,
                                                     std::chrono::seconds timeout) {
    const uint32_t expected = combinedHashFor(path, std::nullopt);
    const auto deadline = SteadyClock::now() + timeout;
    while (SteadyClock::now() < deadline) {
        if (auto item = manager.itemByPath(path); item && item->combinedHash == expected) return SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double k = (values.size() - 1) * p / 100.0;
    const auto lo = static_cast<std::size_t>(k);
    const auto hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (k - static_cast<double>(lo));
}

void phaseEvents(const PhaseContext& context) {
    const fs::path& eventFolder = context.eventFolder;
    fs::create_directories(eventFolder);

    Coordinator c(context);
    auto deliveries = std::make_shared<DeliveryLog>();
    c.deps.observerFactory = [inner = makePresenterObserverFactory(), deliveries](const std::string& root,
                                                                                  FolderObserverHandlers handlers) {
        handlers.fileEvent = [deliveries, forward = std::move(handlers.fileEvent)](const std::string& path) {
            deliveries->delivered(path);
            forward(path);
        };
        return inner(root, std::move(handlers));
    };
    BalancedDataManager manager(context.folder.string(), c.deps);
    manager.start();
    manager.fullScan();  // the state the running application is in: started and scanned
    manager.waitUntilIdle();

    auto writeFile = [](const fs::path& path, int i) {
        std::ofstream(path) << "scan bench event " << i << '\n';
    };
    // The watches are in place once a probe arrives.
    const fs::path probe = eventFolder / "probe.txt";
    writeFile(probe, -1);
    if (!waitUntilRegistered(manager, probe.string(), std::chrono::seconds(60))) {
        std::fprintf(stderr, "scan_bench: the observer delivered no probe event within 60 s\n");
    }

    std::vector<double> delivered;
    std::vector<double> handled;
    int missed = 0;
    for (int i = 0; i < context.events; ++i) {
        const fs::path file = eventFolder / ("event-" + std::to_string(i) + ".txt");
        writeFile(file, i);
        const auto written = SteadyClock::now();
        const auto registered = waitUntilRegistered(manager, file.string(), std::chrono::seconds(10));
        if (!registered) {
            ++missed;
        } else {
            handled.push_back(std::chrono::duration<double>(*registered - written).count());
            if (auto at = deliveries->time(file.string())) {
                delivered.push_back(std::chrono::duration<double>(*at - written).count());
            }
        }
        std::this_thread::sleep_until(written + std::chrono::milliseconds(500));
    }
    emit("events.count", context.events);
    emit("events.missed", missed);
    emit("events.delivered_n", static_cast<double>(delivered.size()));
    emit("events.delivered_p50", percentile(delivered, 50));
    emit("events.delivered_max", delivered.empty() ? 0 : *std::max_element(delivered.begin(), delivered.end()));
    emit("events.handled_p50", percentile(handled, 50));
    emit("events.handled_max", handled.empty() ? 0 : *std::max_element(handled.begin(), handled.end()));
    emit("events.peak_mb", peakRssMb());
    manager.cancel();
    std::error_code ignored;
    fs::remove_all(eventFolder, ignored);
}

int runPhase(const std::string& phase, const PhaseContext& context) {
    if (phase == "walk") {
        phaseWalk(context);
    } else if (phase == "first") {
        phaseFirst(context);
    } else if (phase == "restart") {
        phaseRestart(context);
    } else if (phase == "events") {
        phaseEvents(context);
    } else {
        std::fprintf(stderr, "scan_bench: unknown phase %s\n", phase.c_str());
        return 2;
    }
    std::fflush(stdout);
    return 0;
}

// --- parent side ---

using Results = std::map<std::string, double>;

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char ch : text) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return out + "'";
}

// Runs this program for one phase and collects its "key=value" lines.
bool runChild(const std::string& phase, const PhaseContext& context, Results& results) {
    const std::string command = quoted(fs::read_symlink("/proc/self/exe").string()) + " --phase " + phase +
                                " --folder " + quoted(context.folder.string()) + " --work " +
                                quoted(context.work.string()) + " --events " + std::to_string(context.events) +
                                " --event-folder " + quoted(context.eventFolder.string());
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        const char* equals = std::strchr(line, '=');
        if (equals == nullptr) continue;
        results[std::string(line, static_cast<std::size_t>(equals - line))] = std::atof(equals + 1);
    }
    const int status = ::pclose(pipe);
    if (status != 0) std::fprintf(stderr, "scan_bench: phase %s ended with status %d\n", phase.c_str(), status);
    return status == 0;
}

// CPU seconds of the waited-for children so far.
double childCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Floor {
    uint64_t entries = 0;  // every file and folder find prints, the root included
    double seconds = 0;    // best of three warm runs
    double cpu = 0;        // of that run
};

Floor measureFloor(const fs::path& folder) {
    const std::string find = "find " + quoted(folder.string()) + " -printf '%s\\n'";
    Floor floor;
    if (FILE* pipe = ::popen((find + " | wc -l").c_str(), "r")) {  // also warms the caches
        unsigned long long n = 0;
        if (std::fscanf(pipe, "%llu", &n) == 1) floor.entries = n;
        ::pclose(pipe);
    }
    floor.seconds = 1e9;
    for (int run = 0; run < 3; ++run) {
        const double cpu = childCpuSeconds();
        const auto start = SteadyClock::now();
        if (std::system((find + " > /dev/null").c_str()) != 0) std::fprintf(stderr, "scan_bench: find failed\n");
        const double seconds = secondsSince(start);
        if (seconds < floor.seconds) {
            floor.seconds = seconds;
            floor.cpu = childCpuSeconds() - cpu;
        }
    }
    return floor;
}

void writeTree(const fs::path& root, int files) {
    static const char* kExtensions[] = {"pdf", "jpg", "txt", "docx", "png", "md", "bin", "zip", "csv", "heic"};
    for (int i = 0; i < files; ++i) {
        // About 50 files per folder, three levels deep.
        const int folder = i / 50;
        const auto directory = root / ("a" + std::to_string(folder % 7)) / ("b" + std::to_string(folder % 13)) /
                               ("c" + std::to_string(folder));
        fs::create_directories(directory);
        std::ofstream(directory / ("file" + std::to_string(i) + "." + kExtensions[i % 10])) << i;
    }
    fs::create_directories(root / ".git");
    std::ofstream(root / ".git" / "config") << "x";
    fs::create_directories(root / "web" / "node_modules" / "lib");
    std::ofstream(root / "web" / "node_modules" / "lib" / "index.js") << "x";
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string a, b, c;
    file >> a >> b >> c;
    return a + " " + b + " " + c;
}

const char* verdict(bool pass) { return pass ? "pass" : "**FAIL**"; }

std::string format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

std::string format2(const char* pattern, double a, double b) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, pattern, a, b);
    return buffer;
}

struct Row {
    std::string phase;
    std::string wall = "-";
    std::string cpu = "-";
    std::string rate = "-";
    std::string peak = "-";
    std::string goal = "-";
    std::string measured = "-";
    std::string result;
};

Row titled(std::string phase) {
    Row row;
    row.phase = std::move(phase);
    return row;
}

void printRow(const Row& row) {
    std::printf("| %-46s | %8s | %7s | %19s | %8s | %-20s | %-23s | %-8s |\n", row.phase.c_str(), row.wall.c_str(),
                row.cpu.c_str(), row.rate.c_str(), row.peak.c_str(), row.goal.c_str(), row.measured.c_str(),
                row.result.c_str());
}

// A phase of the child results under `key`: wall time, CPU time, rate of `count` `unit`, peak memory.
Row phaseRow(const std::string& phase, Results& r, const std::string& key, double count, const char* unit) {
    Row row;
    row.phase = phase;
    const double seconds = r[key + ".seconds"];
    row.wall = format("%.3f s", seconds);
    row.cpu = format("%.2f s", r[key + ".cpu"]);
    row.rate = format("%.0f ", seconds > 0 ? count / seconds : 0.0) + unit;
    row.peak = format("%.0f MB", r[key + ".peak_mb"]);
    return row;
}

void printTable(const Floor& floor, Results& r, bool withEvents) {
    printRow(Row{"phase", "wall", "CPU", "throughput", "peak RSS", "goal", "measured", "result"});  // header
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(48, '-').c_str(), std::string(10, '-').c_str(),
                std::string(9, '-').c_str(), std::string(21, '-').c_str(), std::string(10, '-').c_str(),
                std::string(22, '-').c_str(), std::string(25, '-').c_str(), std::string(10, '-').c_str());

    Row floorRow = titled("floor: find -printf '%s' (warm, best of 3)");
    floorRow.wall = format("%.3f s", floor.seconds);
    floorRow.cpu = format("%.2f s", floor.cpu);
    floorRow.rate = format("%.0f entries/s", static_cast<double>(floor.entries) / floor.seconds);
    floorRow.measured = format("%.0f entries", static_cast<double>(floor.entries));
    printRow(floorRow);

    Row walk = phaseRow("walk only (DirectoryEnumerator)", r, "walk", r["walk.files"], "files/s");
    walk.goal = "(info)";
    walk.measured = format("%.2fx floor", r["walk.seconds"] / floor.seconds);
    printRow(walk);

    auto scanRow = [&](const std::string& phase, const std::string& key, double maxRatio) {
        Row row = phaseRow(phase, r, key, r[key + ".found"], "files/s");
        const double ratio = r[key + ".seconds"] / floor.seconds;
        row.goal = format("<= %.0fx floor", maxRatio);
        row.measured = format("%.2fx floor", ratio);
        row.result = verdict(ratio <= maxRatio);
        printRow(row);
    };
    scanRow("first full scan, empty index", "first", 3);
    scanRow("unchanged second scan (same process)", "second", 2);

    // Budgets are per 50 000 items; larger folders get a proportionally larger one.
    const double items = std::max(r["load.items"], r["items"]);
    const double per50k = std::max(1.0, items / 50000.0);
    Row load = phaseRow("start-up load, new process (" + format("%.0f", r["load.items"]) + " items)", r, "load",
                        r["load.items"], "items/s");
    load.goal = "< 1 s per 50k items";
    load.measured = format("%.3f s", r["load.seconds"]);
    load.result = verdict(r["load.seconds"] < per50k);
    printRow(load);
    scanRow("unchanged scan after the start-up load", "restart_scan", 2);

    const double peak = std::max({r["first.peak_mb"], r["second.peak_mb"], r["load.peak_mb"], r["restart_scan.peak_mb"]});
    Row memory = titled("peak memory, worst scan phase (" + format("%.0f", items) + " items)");
    memory.peak = format("%.0f MB", peak);
    memory.goal = "< 200 MB per 50k";
    memory.measured = memory.peak;
    memory.result = verdict(peak < 200 * per50k);
    printRow(memory);

    if (withEvents) {
        const std::string n = format("%.0f", r["events.count"]);
        Row delivered = titled("event latency, write -> observer delivery (" + n + ")");
        delivered.goal = "(info)";
        delivered.measured = format2("p50 %.3f, max %.3f s", r["events.delivered_p50"], r["events.delivered_max"]);
        printRow(delivered);
        Row handled = titled("event latency, write -> item registered (" + n + ")");
        handled.peak = format("%.0f MB", r["events.peak_mb"]);
        handled.goal = "about 0.3 s (p50<0.5)";
        handled.measured = format2("p50 %.3f, max %.3f s", r["events.handled_p50"], r["events.handled_max"]);
        handled.result = verdict(r["events.missed"] == 0 && r["events.handled_p50"] < 0.5);
        printRow(handled);
    }
}

void setEnvironment(const fs::path& home) {
    // The child phases log and read settings here, never in the user's home.
    fs::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    int files = 20000;
    std::string phase;
    PhaseContext context;
    bool withEvents = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--skip-events") {
            withEvents = false;
        } else if (arg == "--files" && hasValue) {
            files = std::max(1, std::atoi(argv[++i]));
        } else if ((arg == "--folder" || arg == "--dir") && hasValue) {
            context.folder = argv[++i];
        } else if (arg == "--work" && hasValue) {
            context.work = argv[++i];
        } else if (arg == "--events" && hasValue) {
            context.events = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--event-folder" && hasValue) {
            context.eventFolder = argv[++i];
        } else if (arg == "--phase" && hasValue) {
            phase = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: scan_bench [--folder DIR] [--files N] [--events N] [--work DIR] [--skip-events]\n");
            return 2;
        }
    }
    if (!phase.empty()) return runPhase(phase, context);

    const bool ownWork = context.work.empty();
    if (ownWork) context.work = fs::temp_directory_path() / ("lumidex-scan-bench-" + std::to_string(::getpid()));
    context.work = fs::absolute(context.work);
    fs::create_directories(context.work);
    setEnvironment(context.work / "home");
    if (context.folder.empty()) {
        if (fs::is_directory(kDefaultCorpus)) {
            context.folder = kDefaultCorpus;
        } else {
            context.folder = context.work / "tree";
            fs::remove_all(context.folder);
            const auto start = SteadyClock::now();
            writeTree(context.folder, files);
            std::printf("generated %d files in %.2f s\n", files, secondsSince(start));
        }
    }
    context.folder = fs::absolute(context.folder);
    context.eventFolder = context.folder / ("scan-bench-events-" + std::to_string(::getpid()));

    std::printf("folder %s\nload average before: %s\n", context.folder.c_str(), loadAverage().c_str());
    std::fflush(stdout);
    const Floor floor = measureFloor(context.folder);
    Results results;
    bool ok = runChild("walk", context, results);
    ok = runChild("first", context, results) && ok;
    ok = runChild("restart", context, results) && ok;
    if (withEvents) {
        ok = runChild("events", context, results) && ok;
        // The child removes nothing it wrote if it failed half-way: clean up here.
        fs::remove_all(context.eventFolder);
    }
    std::printf("load average after: %s\n\n", loadAverage().c_str());
    printTable(floor, results, withEvents);
    std::printf("\nfirst scan: %.0f files found (%.0f unsupported), %.0f entries skipped; start-up over the empty "
                "index before it: %.3f s; second scan: %.0f new, %.0f removed; after restart: %.0f new\n",
                results["first.found"], results["first.unsupported"], results["first.skipped"],
                results["empty_start.seconds"], results["second.new"], results["second.removed"],
                results["restart_scan.new"]);
    if (withEvents && results["events.missed"] > 0) {
        std::printf("events not registered within 10 s: %.0f of %.0f\n", results["events.missed"],
                    results["events.count"]);
    }
    if (ownWork) fs::remove_all(context.work);
    return ok ? 0 : 1;
}
