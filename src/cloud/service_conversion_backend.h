// Office documents converted by the conversion service: upload, wait for the job, download the PDF.
//
// convert() first looks the file (path and modification time) up in the cloud store:
//   - a version the service refused before (notSupported) is answered cannotConvert without a call;
//   - a version already uploaded whose job is recorded resumes waiting for that job (no new upload,
//     also after a restart);
//   - anything else is uploaded (UploadManager), its job recorded, and waited for (CloudJobTracker).
// A completed job's PDF is downloaded to request.pdf. Answers: converted; cannotConvert for permanent
// refusals (notSupported, the job failed); failed for transient ones (cloudFailed, the download failed,
// the store could not be used, the cooldown after repeated service errors — no call is made then);
// timedOut when the time limit ran out.
//
// The time limit: ConversionQueue waits for one answer at a time, so a call cannot hold the queue for
// the service's full poll bound (2160 polls, six hours). request.timeLimit bounds each call's waiting
// (back-offs and polls); the job stays recorded with its poll count, and the next call for the file
// goes on with it, so the poll limit still bounds the job as a whole. One file is converted at a time:
// the service's own parallelism is not used through this backend. request.odf is not written (the
// service makes PDFs only); the extractor then reads the text from the document itself.
//
// Thread-safety: as ConversionBackend. abort() ends the current wait at once (answered failed,
// "cancelled"); the job stays recorded. Nothing throws except std::bad_alloc.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cloud/cloud_item_store.h"
#include "cloud/cloud_job_tracker.h"
#include "cloud/conversion_backend.h"
#include "cloud/kadoro_client.h"
#include "cloud/upload_manager.h"

namespace lumidex::cloud {

struct ServiceConversionBackendOptions {
    std::filesystem::path directory;  // holds cloud.sqlite3 and kadoro_jobs.json
    Clock* clock = nullptr;           // null: the steady clock
    GlobalUploadCoordinator* coordinator = nullptr;  // null: the shared one
    int maxRetries = 3;
    std::function<bool()> isOnline;   // empty: always online
    // Asked to queue the files whose conversion failed transiently again (after the cooldown, or
    // when every job has ended).
    std::function<void()> reprocessCloudFailed;
    std::function<void(std::string_view)> log;  // empty: the debug log
};

class ServiceConversionBackend final : public ConversionBackend {
public:
    // CLIENT must not be null. The store and the job file are opened here; a store that cannot be
    // opened is logged, and every conversion then answers failed.
    ServiceConversionBackend(std::shared_ptr<KadoroClient> client, KadoroConfiguration configuration,
                             ServiceConversionBackendOptions options);
    ~ServiceConversionBackend() override;

    std::string name() const override { return "conversion service"; }
    std::optional<std::string> unavailableReason() const override;
    ConversionResult convert(const ConversionRequest& request) override;
    void abort() override;
    // "Cloud PDF processing failed for NAME, marking as cloudFailed": sent again on a later request.
    void processingFailed(const std::filesystem::path& input) override;

private:
    ConversionResult convertWithin(const ConversionRequest& request, Clock::TimePoint deadline);
    ConversionResult stopped() const;
    // Stores FILE's state; a failure is logged (the store logs why). The answer never depends on it:
    // a stale row costs at most one more upload.
    bool saveState(const std::filesystem::path& file, CloudItemProcessingStates state,
                   const std::optional<std::string>& jobId = std::nullopt);
    void log(const std::string& line) const;

    std::shared_ptr<KadoroClient> client_;
    const KadoroConfiguration configuration_;
    ServiceConversionBackendOptions options_;
    Clock& clock_;
    CloudWaiter waiter_;
    CloudItemSqliteManager store_;
    UploadManager uploads_;
    CloudJobTracker tracker_;
};

}  // namespace lumidex::cloud
