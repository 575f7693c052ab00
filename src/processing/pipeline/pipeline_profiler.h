// Timing records of the processing pipeline, one FileProfile per processed file, for finding where
// time goes (queue waits, loading, previews, recognition, persistence).
//
// PipelineProfiler is an actor guarded by one mutex. While disabled it records nothing. It keeps at
// most maxEntries profiles (the oldest are dropped first) and at most maxEntries pending enqueue
// times. A negative phase time is recorded as 0; queueWait is the time from markEnqueued() to the
// start of processing, 0 when no enqueue time was recorded. The dump task, when started, rewrites a
// tab-separated report file at a fixed interval (atomically); failures are logged and ignored.
// Nothing throws except std::bad_alloc.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lumidex {
class Timer;
}

namespace lumidex::processing {

enum class ProfiledFileType { pdf, image, text, cloud };

enum class ProfilePhase { queueWait, fileLoad, thumbnailRender, ocrRecognition, resultPersistence, totalProcessing };
inline constexpr std::array<ProfilePhase, 6> kAllProfilePhases{
    ProfilePhase::queueWait,      ProfilePhase::fileLoad,          ProfilePhase::thumbnailRender,
    ProfilePhase::ocrRecognition, ProfilePhase::resultPersistence, ProfilePhase::totalProcessing};

std::string_view rawValue(ProfilePhase phase);  // "queueWait", "fileLoad", ...
std::optional<ProfilePhase> profilePhaseFromRaw(std::string_view raw);
std::string_view rawValue(ProfiledFileType type);  // "pdf", "image", "text", "cloud"

struct FileProfile {
    uint32_t combinedHash = 0;
    std::string fileExtension;
    ProfiledFileType fileType = ProfiledFileType::pdf;
    int64_t pageCount = 0;
    std::map<ProfilePhase, double> phases;  // seconds, never negative
    std::chrono::system_clock::time_point timestamp{};

    // Stores max(seconds, 0).
    void setPhase(ProfilePhase phase, double seconds);
    double phase(ProfilePhase phase) const;  // 0 when not measured
};

class PipelineProfiler {
public:
    using Clock = std::chrono::steady_clock;

    struct PhaseSummary {
        std::size_t count = 0;  // profiles that measured the phase
        double totalSeconds = 0;
        double maxSeconds = 0;
    };

    static constexpr std::size_t defaultMaxEntries = 10000;

    static PipelineProfiler& shared();

    explicit PipelineProfiler(std::size_t maxEntries = defaultMaxEntries, bool enabled = false);
    ~PipelineProfiler();
    PipelineProfiler(const PipelineProfiler&) = delete;
    PipelineProfiler& operator=(const PipelineProfiler&) = delete;

    void setEnabled(bool enabled);
    bool enabled() const;

    // When the file was handed to a queue; consumed by the next record() of the same combinedHash.
    void markEnqueued(uint32_t combinedHash, Clock::time_point when = Clock::now());
    // Seconds since markEnqueued() for the hash (consuming it), 0 when none was recorded.
    double takeQueueWait(uint32_t combinedHash, Clock::time_point started = Clock::now());

    // Adds a profile; sets its queueWait from a pending enqueue time when it has none, and its
    // timestamp to now when unset.
    void record(FileProfile profile);

    std::vector<FileProfile> profiles() const;  // oldest first
    std::map<ProfilePhase, PhaseSummary> summary() const;
    // Tab-separated: a header line, then one line per profile with the phase seconds in phase order.
    std::string report() const;
    void clear();
    std::size_t maxEntries() const { return maxEntries_; }
    // Seconds since construction or the last clear().
    double uptimeSeconds() const;

    // Writes report() to `file` now; false (logged) on failure.
    bool dump(const std::filesystem::path& file) const;
    // Rewrites `file` every `interval` until stopDumpTask() or destruction.
    void startDumpTask(std::filesystem::path file, std::chrono::milliseconds interval);
    void stopDumpTask();

private:
    const std::size_t maxEntries_;
    mutable std::mutex mutex_;
    bool enabled_;
    std::deque<FileProfile> profiles_;
    std::unordered_map<uint32_t, Clock::time_point> enqueued_;
    Clock::time_point startTime_;
    std::unique_ptr<Timer> dumpTask_;
};

}  // namespace lumidex::processing
