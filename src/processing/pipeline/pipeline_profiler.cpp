#include "processing/pipeline/pipeline_profiler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "core/app_log.h"
#include "core/atomic_file.h"
#include "core/concurrency/thread_pool.h"
#include "core/concurrency/timer.h"

namespace lumidex::processing {

std::string_view rawValue(ProfilePhase phase) {
    switch (phase) {
        case ProfilePhase::queueWait: return "queueWait";
        case ProfilePhase::fileLoad: return "fileLoad";
        case ProfilePhase::thumbnailRender: return "thumbnailRender";
        case ProfilePhase::ocrRecognition: return "ocrRecognition";
        case ProfilePhase::resultPersistence: return "resultPersistence";
        case ProfilePhase::totalProcessing: return "totalProcessing";
    }
    return {};
}

std::optional<ProfilePhase> profilePhaseFromRaw(std::string_view raw) {
    for (ProfilePhase phase : kAllProfilePhases) {
        if (rawValue(phase) == raw) return phase;
    }
    return std::nullopt;
}

std::string_view rawValue(ProfiledFileType type) {
    switch (type) {
        case ProfiledFileType::pdf: return "pdf";
        case ProfiledFileType::image: return "image";
        case ProfiledFileType::text: return "text";
        case ProfiledFileType::cloud: return "cloud";
    }
    return {};
}

void FileProfile::setPhase(ProfilePhase phase, double seconds) {
    phases[phase] = std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
}

double FileProfile::phase(ProfilePhase phase) const {
    const auto it = phases.find(phase);
    return it == phases.end() ? 0.0 : it->second;
}

PipelineProfiler& PipelineProfiler::shared() {
    ThreadPool::shared();  // constructed first so that it outlives the dump task's timer
    static PipelineProfiler profiler;
    return profiler;
}

PipelineProfiler::PipelineProfiler(std::size_t maxEntries, bool enabled)
    : maxEntries_(std::max<std::size_t>(maxEntries, 1)), enabled_(enabled), startTime_(Clock::now()) {}

PipelineProfiler::~PipelineProfiler() { stopDumpTask(); }

void PipelineProfiler::setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

bool PipelineProfiler::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void PipelineProfiler::markEnqueued(uint32_t combinedHash, Clock::time_point when) {
    std::lock_guard lock(mutex_);
    if (!enabled_) return;
    if (enqueued_.size() >= maxEntries_ && enqueued_.count(combinedHash) == 0) {
        // Files enqueued but never processed must not grow the map without bound.
        enqueued_.erase(std::min_element(enqueued_.begin(), enqueued_.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    enqueued_[combinedHash] = when;
}

double PipelineProfiler::takeQueueWait(uint32_t combinedHash, Clock::time_point started) {
    std::lock_guard lock(mutex_);
    const auto it = enqueued_.find(combinedHash);
    if (it == enqueued_.end()) return 0.0;
    const double seconds = std::chrono::duration<double>(started - it->second).count();
    enqueued_.erase(it);
    return std::max(seconds, 0.0);
}

void PipelineProfiler::record(FileProfile profile) {
    if (!enabled()) return;
    if (profile.phases.count(ProfilePhase::queueWait) == 0) {
        profile.setPhase(ProfilePhase::queueWait, takeQueueWait(profile.combinedHash));
    }
    for (auto& [phase, seconds] : profile.phases) seconds = std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
    if (profile.timestamp == std::chrono::system_clock::time_point{}) profile.timestamp = std::chrono::system_clock::now();
    std::lock_guard lock(mutex_);
    profiles_.push_back(std::move(profile));
    while (profiles_.size() > maxEntries_) profiles_.pop_front();
}

std::vector<FileProfile> PipelineProfiler::profiles() const {
    std::lock_guard lock(mutex_);
    return {profiles_.begin(), profiles_.end()};
}

std::map<ProfilePhase, PipelineProfiler::PhaseSummary> PipelineProfiler::summary() const {
    std::map<ProfilePhase, PhaseSummary> result;
    std::lock_guard lock(mutex_);
    for (const auto& profile : profiles_) {
        for (const auto& [phase, seconds] : profile.phases) {
            auto& s = result[phase];
            ++s.count;
            s.totalSeconds += seconds;
            s.maxSeconds = std::max(s.maxSeconds, seconds);
        }
    }
    return result;
}

std::string PipelineProfiler::report() const {
    std::string out = "timestamp\tcombinedHash\tfileExtension\tfileType\tpageCount";
    for (ProfilePhase phase : kAllProfilePhases) {
        out += '\t';
        out += rawValue(phase);
    }
    out += '\n';
    for (const auto& profile : profiles()) {
        out += localTimestamp(profile.timestamp);
        out += '\t' + std::to_string(profile.combinedHash) + '\t' + profile.fileExtension + '\t';
        out += rawValue(profile.fileType);
        out += '\t' + std::to_string(profile.pageCount);
        for (ProfilePhase phase : kAllProfilePhases) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "\t%.3f", profile.phase(phase));
            out += seconds;
        }
        out += '\n';
    }
    return out;
}

void PipelineProfiler::clear() {
    std::lock_guard lock(mutex_);
    profiles_.clear();
    enqueued_.clear();
    startTime_ = Clock::now();
}

double PipelineProfiler::uptimeSeconds() const {
    std::lock_guard lock(mutex_);
    return std::chrono::duration<double>(Clock::now() - startTime_).count();
}

bool PipelineProfiler::dump(const std::filesystem::path& file) const {
    if (auto error = writeFileAtomically(file, report())) {
        appLog("PipelineProfiler dump failed: " + error->message());
        return false;
    }
    return true;
}

void PipelineProfiler::startDumpTask(std::filesystem::path file, std::chrono::milliseconds interval) {
    auto timer = std::make_unique<Timer>();
    timer->scheduleRepeating(interval, [this, file = std::move(file)] { dump(file); });
    std::unique_ptr<Timer> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(dumpTask_, std::move(timer));
    }
}

void PipelineProfiler::stopDumpTask() {
    std::unique_ptr<Timer> task;
    {
        std::lock_guard lock(mutex_);
        task = std::move(dumpTask_);
    }
    // Destroyed outside the lock: it waits for a dump in progress, which takes the lock.
}

}  // namespace lumidex::processing
