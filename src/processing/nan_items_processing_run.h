// The processing run (one call of NanItemsProcessing::run), shared by nan_items_processing.cpp, which
// dispatches and collects its jobs, and nan_items_processing_persist.cpp, which stores their results.
// Not for other users. One Run lives on the calling thread for the call; its job callbacks come from the
// worker pool's and the conversion queue's threads and meet the run under `mutex_`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/conversion_queue.h"
#include "core/settings/settings.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "processing/extractors/extraction_result.h"
#include "processing/nan_items_processing_internal.h"
#include "processing/pipeline/pipeline_profiler.h"
#include "processing/worker/extraction_worker_pool.h"
#include "storage/content_cache.h"

namespace lumidex::processing {

namespace detail {

using Clock = std::chrono::steady_clock;
using Reason = ExtractionFailure::Reason;

inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}
ProfiledFileType profiledType(folders::FileRoute route);
bool textRecognitionDisabled();
bool eagerPreviewsRequested();
bool officeOnePassRequested();

}  // namespace detail

class NanItemsProcessing::Run {
    using Clock = detail::Clock;

public:
    // A text run stores what the coordinator handed over; the conversion pass converts office documents
    // stored with their own text only, and stops dispatching once `yield` says other work waits.
    enum class Mode { text, conversionPass };

    Run(NanItemsProcessing& owner, folders::BalancedDataManager& manager, const folders::ProcessingRunSettings& settings,
        std::shared_ptr<EnrichmentContext> enrichment, Mode mode = Mode::text, std::function<bool()> yield = {})
        : owner_(owner), manager_(manager), settings_(settings), enrichment_(std::move(enrichment)),
          cache_(enrichment_->contentCache), conversionPass_(mode == Mode::conversionPass), yield_(std::move(yield)) {
        const Settings preferences(owner_.settingsStore_);
        jobOptions_.lowResImages = settings_.lowResImages;
        jobOptions_.ignoreSmallImages = preferences.ignoreSmallImages();
        jobOptions_.maxTextBytes = static_cast<std::uintmax_t>(preferences.maxTextFileSizeBytes());
        jobOptions_.dataDirectory = manager_.folderDataDirectory();
        jobOptions_.rootFolderUrl = settings_.rootFolderUrl;
        jobOptions_.recognizeText = !detail::textRecognitionDisabled();
        deferPreviews_ = !owner_.options_.eagerPreviews && !detail::eagerPreviewsRequested();
        officeTextFirst_ = !conversionPass_ && owner_.options_.officeTextFirst && !detail::officeOnePassRequested();
        // Two per worker: a worker that finishes finds its next job already queued instead of waiting
        // until this thread has stored the previous results.
        std::size_t limit = owner_.options_.maxItemsInFlight != 0 ? owner_.options_.maxItemsInFlight
                                                                   : 2 * owner_.pool_->workerCount();
        if (settings_.slowHardDrive) limit = 1;  // one file at a time: no seeking between two readers
        maxInFlight_ = std::max<std::size_t>(limit, 1);
    }

    void execute(std::vector<NanItem> items);

private:
    struct Pending {
        NanItem item;
        folders::FileRoute route;
        Clock::time_point enqueued;
        bool convertFirst = false;  // an office document whose own text could not be read
    };
    struct Job {
        Pending pending;
        Clock::time_point dispatched;
        double queueWait = 0;
        ExtractionWorkerPool::JobId id = 0;
        bool done = false;
        // Office documents: in the conversion queue until `converting` is false; the converter's
        // OpenDocument copy, removed when the job ends.
        cloud::ConversionQueue::Ticket conversion = 0;
        bool converting = false;
        bool submitting = false;  // between submitToPool's call and its return: the job stays in flight
        std::filesystem::path temporaryFile;
        std::filesystem::path convertedFrom;  // set once converted: the file the converter read
        bool conversionMayRetry = false;  // not converted for a passing reason (timed out, no converter)
        // The content cache's key of the file (empty: not cached), and whether the result came from it.
        std::string cacheKey;
        bool fromCache = false;
        bool officeTextOnly = false;  // the "text.office" job: its conversion is owed to the pass
    };
    struct Completion {
        std::shared_ptr<Job> job;
        ExtractionOutcome outcome;
    };

    void dispatch(Pending pending);
    // Office documents stored with their own text first, rather than converted in this run.
    bool textFirst(folders::FileRoute route, const NanItem& item) const;
    // Completes the job with the result kept for the same content, its files written back; false when
    // there is none (or it cannot be used), and the job goes to extraction.
    bool completeFromCache(const std::shared_ptr<Job>& job, const ExtractionJobOptions& options);
    void keepInCache(const Job& job, std::string_view resultJson);
    // Office documents: conversion to PDF first, then the extraction job over the PDF.
    void convertThenExtract(const std::shared_ptr<Job>& job, ExtractionRequest request, ExtractionJobOptions options);
    void submitToPool(const std::shared_ptr<Job>& job, ExtractionRequest request);
    void complete(const std::shared_ptr<Job>& job, ExtractionOutcome outcome);
    void cancelInFlight();
    // False when nothing was stored because the index's disk is full: the batch is kept for another try.
    bool persist(std::vector<Completion>& batch);
    bool indexDiskIsFull() const;
    // Waits while the index's disk is full; false when cancelled meanwhile.
    bool waitForDiskSpace();
    void pageRecognised();

    NanItemsProcessing& owner_;
    folders::BalancedDataManager& manager_;
    const folders::ProcessingRunSettings& settings_;
    std::shared_ptr<EnrichmentContext> enrichment_;
    std::shared_ptr<storage::ContentCache> cache_;
    ExtractionJobOptions jobOptions_;
    bool deferPreviews_ = true;
    const bool conversionPass_;
    std::function<bool()> yield_;
    bool officeTextFirst_ = false;
    // Office documents whose own text could not be read: converted in this run after all. Run thread only.
    std::vector<Pending> convertNow_;
    std::size_t maxInFlight_ = 1;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<std::shared_ptr<Job>> inFlight_;
    std::size_t converting_ = 0;  // jobs of inFlight_ still in the conversion queue
    bool conversionEnded_ = false;  // wakes the run to hand the converter its next file
    std::deque<Completion> completions_;
};

}  // namespace lumidex::processing
