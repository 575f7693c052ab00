#include "cloud/service_conversion_backend.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "core/app_log.h"

namespace lumidex::cloud {

namespace {

std::optional<double> modificationSeconds(const std::filesystem::path& file) {
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(file, ec);
    if (ec) return std::nullopt;
    const auto system = std::chrono::file_clock::to_sys(written);
    return std::chrono::duration<double>(system.time_since_epoch()).count();
}

ConversionResult answer(ConversionStatus status, std::string reason) {
    ConversionResult result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

}  // namespace

ServiceConversionBackend::ServiceConversionBackend(std::shared_ptr<KadoroClient> client,
                                                   KadoroConfiguration configuration,
                                                   ServiceConversionBackendOptions options)
    : client_(std::move(client)),
      configuration_(std::move(configuration)),
      options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : Clock::steady()),
      waiter_(clock_),
      store_(options_.directory),
      uploads_(*client_, options_.coordinator ? *options_.coordinator : GlobalUploadCoordinator::shared(), waiter_,
               {options_.maxRetries, options_.isOnline, options_.log}),
      tracker_(*client_, waiter_, options_.directory,
               {.resolved =
                    [this](const std::string& item, const JobResolution& resolution) {
                        // The asked-for file's states are stored by convert(); this covers the others.
                        if (resolution.outcome != JobOutcome::completed) {
                            saveState(item, CloudItemProcessingStates::cloudFailed);
                        }
                    },
                .allResolved = [this] { if (options_.reprocessCloudFailed) options_.reprocessCloudFailed(); },
                .cooldownFinished = [this] { if (options_.reprocessCloudFailed) options_.reprocessCloudFailed(); },
                .log = options_.log}) {
    // Finished files need no record; their rows stay for the history but no longer answer lookups.
    store_.markAllCompletedAsDeleted();
    if (auto uploaded = store_.getAllUploaded()) {
        for (const NanCloudItemFile& item : *uploaded) {
            if (!tracker_.jobIdFor(item.nanItemUrl.string())) log("No jobId for uploaded item " + item.nanItemUrl.filename().string());
        }
    }
}

ServiceConversionBackend::~ServiceConversionBackend() { waiter_.abort(); }

void ServiceConversionBackend::log(const std::string& line) const {
    const std::string prefixed = std::string(kCloudLogPrefix) + line;
    if (options_.log) options_.log(prefixed);
    else appLog(prefixed);
}

std::optional<std::string> ServiceConversionBackend::unavailableReason() const {
    if (configuration_.baseURL.empty()) return "no address of the conversion service is configured";
    if (configuration_.apiKey.empty()) return "no API key for the conversion service is configured";
    return std::nullopt;
}

bool ServiceConversionBackend::saveState(const std::filesystem::path& file, CloudItemProcessingStates state,
                                         const std::optional<std::string>& jobId) {
    if (store_.updateState(file, state, jobId)) return true;
    log("Cloud item state " + std::to_string(static_cast<int64_t>(state)) + " not saved for " + file.filename().string());
    return false;
}

void ServiceConversionBackend::abort() { waiter_.abort(); }

void ServiceConversionBackend::processingFailed(const std::filesystem::path& input) {
    log("Cloud PDF processing failed for " + input.filename().string() + ", marking as cloudFailed");
    saveState(input, CloudItemProcessingStates::cloudFailed);
}

ConversionResult ServiceConversionBackend::stopped() const {
    if (waiter_.aborted()) return answer(ConversionStatus::failed, "cancelled");
    return answer(ConversionStatus::timedOut, "the conversion service did not answer within the time limit");
}

ConversionResult ServiceConversionBackend::convert(const ConversionRequest& request) {
    const Clock::TimePoint start = clock_.now();
    const auto wallStart = std::chrono::steady_clock::now();
    waiter_.reset();
    ConversionResult result = convertWithin(request, start + request.timeLimit);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    return result;
}

ConversionResult ServiceConversionBackend::convertWithin(const ConversionRequest& request, Clock::TimePoint deadline) {
    if (auto reason = unavailableReason()) return answer(ConversionStatus::failed, *reason);
    if (tracker_.coolingDown()) {
        return answer(ConversionStatus::failed, "the conversion service is paused after repeated errors");
    }
    const std::string item = request.input.string();
    const std::string name = request.input.filename().string();
    const std::optional<double> modified = modificationSeconds(request.input);
    if (!modified) return answer(ConversionStatus::cannotConvert, "the file cannot be read");
    auto known = store_.nanCloudItemFileFor(request.input);
    if (!known) return answer(ConversionStatus::failed, "the cloud item store cannot be read");

    const bool sameVersion = *known && (*known)->fileModificationTimestamp == *modified;
    if (sameVersion && (*known)->processingState == CloudItemProcessingStates::notSupported) {
        return answer(ConversionStatus::cannotConvert, "the conversion service does not accept this file");
    }
    bool resume = false;
    if (sameVersion && (*known)->processingState == CloudItemProcessingStates::uploadFinished) {
        resume = tracker_.jobIdFor(item).has_value();
        if (!resume) log("No jobId for uploaded item " + name);
    }
    if (!resume) {
        tracker_.forget(item);  // a job of an older version of the file is of no use
        NanCloudItemFile row = *known ? **known : NanCloudItemFile{};
        row.nanItemUrl = request.input;
        row.fileModificationTimestamp = *modified;
        row.processingState = CloudItemProcessingStates::preparing;
        row.jobId.clear();
        row.serverHost = configuration_.baseURL;
        if (!store_.save(row)) return answer(ConversionStatus::failed, "the cloud item store cannot be written");

        const UploadAnswer uploaded = uploads_.upload(request.input, deadline);
        if (uploaded.outcome == UploadAnswer::Outcome::stopped) return stopped();
        if (uploaded.outcome == UploadAnswer::Outcome::notSupported) {
            // Not recorded: the next request asks the service again, which answers the same.
            saveState(request.input, CloudItemProcessingStates::notSupported);
            return answer(ConversionStatus::cannotConvert, uploaded.reason);
        }
        // An unrecorded job is still waited for now; only a restart would upload the file again.
        const bool stored = saveState(request.input, CloudItemProcessingStates::uploadFinished, uploaded.jobId);
        const bool recorded = tracker_.record(item, uploaded.jobId);
        if (!stored || !recorded) log("Cloud job " + uploaded.jobId + " of " + name + " not recorded durably");
    }

    const std::optional<JobResolution> resolution = tracker_.waitFor(item, deadline);
    if (!resolution) return stopped();
    switch (resolution->outcome) {
    case JobOutcome::jobFailed:
        saveState(request.input, CloudItemProcessingStates::cloudFailed);
        return answer(ConversionStatus::cannotConvert, resolution->reason);
    case JobOutcome::cloudFailed:
        saveState(request.input, CloudItemProcessingStates::cloudFailed);
        return answer(ConversionStatus::failed, resolution->reason);
    case JobOutcome::completed:
        break;
    }
    const std::optional<std::string> jobId = tracker_.jobIdFor(item);
    if (!jobId) return answer(ConversionStatus::failed, "no job recorded for the file");
    if (request.pdf.empty()) {
        log("No destination URL for completed cloud item " + name + ", marking as cloudFailed");
        saveState(request.input, CloudItemProcessingStates::cloudFailed);
        tracker_.forget(item);
        return answer(ConversionStatus::failed, "no destination for the converted PDF");
    }
    saveState(request.input, CloudItemProcessingStates::processing);
    const KadoroResult<std::monostate> downloaded = client_->download(*jobId, request.pdf);
    if (const auto* error = std::get_if<KadoroError>(&downloaded)) {
        // The job stays recorded as uploaded: the next try downloads it again without a new upload.
        saveState(request.input, CloudItemProcessingStates::uploadFinished);
        log("Cloud PDF download failed for " + name + ": " + error->description());
        return answer(ConversionStatus::failed, error->description());
    }
    saveState(request.input, CloudItemProcessingStates::completed);
    tracker_.forget(item);
    return answer(ConversionStatus::converted, {});
}

}  // namespace lumidex::cloud
