#include "processing/nan_items_processing.h"
#include "processing/nan_items_processing_run.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <list>
#include <unordered_set>

#include "core/app_log.h"
#include "core/diagnostics_collector.h"
#include "core/hashing.h"
#include "core/settings/settings.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/scanning/on_disk_path.h"
#include "processing/extractors/extraction_result.h"
#include "processing/extractors/office_extraction.h"
#include "processing/pipeline/content_reuse.h"
#include "processing/pipeline/digital_text_enrichment_queue.h"
#include "processing/pipeline/pipeline_profiler.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "storage/content_cache.h"
#include "storage/fts_tools.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {

using detail::cancellationPoll;
using detail::ftsDocument;
using detail::isRecognisedPage;
using detail::stillRegistered;

using detail::Clock;
using detail::eagerPreviewsRequested;
using detail::profiledType;
using detail::Reason;
using detail::secondsBetween;
using detail::textRecognitionDisabled;
using namespace std::chrono_literals;

namespace {

// Results are stored in groups: every store write is a transaction (and a new full-text index
// segment), so one per finished file cost more than the extraction of a small file.
constexpr std::size_t persistGroupSize = 64;
constexpr auto persistGroupDelay = 250ms;

// The full-text index's segments merged for searches. It runs on the run's own thread, one shard after
// another, and gives way to new files (the merge goes on after their run) and to a cancel.
void mergeIndexSegments(folders::BalancedDataManager& manager, const folders::ProcessingRunSettings& settings) {
    const auto stop = [&] { return settings.cancellationToken.isCancelled() || manager.runFigures().queued > 0; };
    manager.ftsDatabaseBalancer().compactSegments(stop);
    manager.numbersDatabaseBalancer().compactSegments(stop);
}

}  // namespace

namespace detail {

ProfiledFileType profiledType(folders::FileRoute route) {
    switch (route) {
        case folders::FileRoute::pdf: return ProfiledFileType::pdf;
        case folders::FileRoute::image: return ProfiledFileType::image;
        case folders::FileRoute::text: return ProfiledFileType::text;
        case folders::FileRoute::cloud: return ProfiledFileType::cloud;
    }
    return ProfiledFileType::pdf;
}

// LUMIDEX_DISABLE_OCR=1 in the environment turns text recognition off (no page or image is recognised,
// no enrichment runs), so that benchmarks can time indexing without it. Deliberately not a setting.
bool textRecognitionDisabled() {
    const char* value = std::getenv("LUMIDEX_DISABLE_OCR");
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

// LUMIDEX_EAGER_PREVIEWS=1 draws the previews drawn ahead before a document is stored, as a comparison
// for benchmarks and tests of the preview pass.
bool eagerPreviewsRequested() {
    const char* value = std::getenv("LUMIDEX_EAGER_PREVIEWS");
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

// LUMIDEX_OFFICE_ONE_PASS=1 converts office documents before they are stored, as a comparison for
// benchmarks of the conversion pass.
bool officeOnePassRequested() {
    const char* value = std::getenv("LUMIDEX_OFFICE_ONE_PASS");
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}


// A page the worker reports as recognised (progress payload {"page": i, "recognised": true}).
bool isRecognisedPage(const std::string& payloadJson) {
    const auto payload = nlohmann::json::parse(payloadJson, nullptr, false);
    return payload.is_object() && payload.value("recognised", false);
}

storage::FtsDocument ftsDocument(const NanItem& item, std::string foldedText) {
    storage::FtsDocument document;
    document.urlPath = item.urlString;
    document.fileName = item.fileName;
    document.combinedHash = item.combinedHash;
    document.foldedText = std::move(foldedText);
    document.creationDate = item.fileCreatedDate;
    document.modificationDate = item.fileModifiedDate;
    document.contentCreated = item.fileContentCreatedDate;
    return document;
}

// True when the coordinator still holds this version of the item (it may have been removed or replaced
// while its job ran; its rows must then not be written).
bool stillRegistered(folders::BalancedDataManager& manager, const NanItem& item) {
    const auto current = manager.itemByCombinedHash(item.combinedHash);
    return current && current->urlString == item.urlString;
}

}  // namespace detail

// --- one run (storing its results: nan_items_processing_persist.cpp) ---


// Office documents handed to the conversion queue ahead of its work: enough to keep the one converter
// busy, few enough that a cancelled run withdraws the rest at once.
constexpr std::size_t maxConvertingPerRun = 2;

void NanItemsProcessing::Run::execute(std::vector<NanItem> items) {
    const std::string& folder = settings_.rootFolderUrl;
    std::deque<Pending> queue;
    std::deque<Pending> officeQueue;  // converted one after another by the shared converter
    int64_t cloudItems = 0;
    const std::optional<std::string> noConverter = owner_.officeConversionUnavailable();
    std::vector<NanItem> unsupported;
    std::vector<storage::FtsDocument> namesOnly;
    const auto now = Clock::now();
    for (NanItem& item : items) {
        const auto route = NanItemsProcessing::route(item);
        if (!route) {
            item.processingState = NanItemProcessingStates::notSupported;
            unsupported.push_back(std::move(item));
        } else if (textFirst(*route, item)) {
            owner_.profiler_.markEnqueued(item.combinedHash, now);
            queue.push_back(Pending{std::move(item), *route, now});
        } else if (*route == folders::FileRoute::cloud && !noConverter) {
            owner_.profiler_.markEnqueued(item.combinedHash, now);
            officeQueue.push_back(Pending{std::move(item), *route, now});
        } else if (*route == folders::FileRoute::cloud) {
            // Stays readyForProcessing until a converter is there. Meanwhile a row with no text
            // makes it findable by its folder and file name; the text, when it comes, replaces the row.
            ++cloudItems;
            namesOnly.push_back(ftsDocument(item, {}));
        } else {
            owner_.profiler_.markEnqueued(item.combinedHash, now);
            queue.push_back(Pending{std::move(item), *route, now});
        }
    }
    // Every item now lives in a queue or a list below; the emptied list would otherwise hold its buffer
    // (a few hundred bytes per file, 13 MB for a first scan of 50 000) until the run ends.
    std::vector<NanItem>().swap(items);
    if (!conversionPass_) owner_.updateStats(folder, [&](FolderProcessingStats& s) { s.waitingForCloud = cloudItems; });
    if (cloudItems > 0) {
        owner_.log("[NanItemsProcessing] " + std::to_string(cloudItems) + " Office-Dateien warten in " + folder + ": " +
                   noConverter.value_or(""));
    }
    if (!unsupported.empty()) manager_.saveItems(unsupported);
    if (!namesOnly.empty() && !manager_.ftsDatabaseBalancer().write(namesOnly)) {
        owner_.log("[NanItemsProcessing] Namenszeilen nicht gespeichert: " + std::to_string(namesOnly.size()) +
                   " Dateien in " + folder);
    }

    bool cancelSent = false;
    bool yielded = false;
    std::vector<Completion> waiting;  // finished, not yet stored
    Clock::time_point firstWaiting{};
    for (;;) {
        // The pass gives way to text work queued meanwhile, which may read its documents again: what it
        // converts is stopped, and the documents left keep their markers.
        if (yield_ && !yielded && yield_()) {
            yielded = true;
            officeQueue.clear();
            cancelInFlight();
        }
        const bool cancelled = settings_.cancellationToken.isCancelled();
        if (cancelled && !cancelSent) {
            cancelSent = true;
            cancelInFlight();
            if (const std::size_t left = queue.size() + officeQueue.size(); left > 0) {
                owner_.log("[NanItemsProcessing] abgebrochen, " + std::to_string(left) +
                           " Dateien bleiben für einen späteren Lauf: " + folder);
                owner_.updateStats(folder, [&](FolderProcessingStats& s) { s.interrupted += static_cast<int64_t>(left); });
                queue.clear();
                officeQueue.clear();
            }
        }
        // Files waiting for the converter do not hold the workers' places.
        const auto dispatchWhileRoom = [&] {
            for (;;) {
                std::deque<Pending>* from = nullptr;
                {
                    std::lock_guard lock(mutex_);
                    if (cancelled) break;
                    if (!officeQueue.empty() && converting_ < maxConvertingPerRun) from = &officeQueue;
                    else if (!queue.empty() && inFlight_.size() - converting_ < maxInFlight_) from = &queue;
                }
                if (from == nullptr) break;
                dispatch(std::move(from->front()));
                from->pop_front();
            }
        };
        dispatchWhileRoom();

        {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, cancellationPoll, [this] { return !completions_.empty() || conversionEnded_; });
            conversionEnded_ = false;
            if (!completions_.empty() && waiting.empty()) firstWaiting = Clock::now();
            while (!completions_.empty()) {
                waiting.push_back(std::move(completions_.front()));
                completions_.pop_front();
            }
        }
        // The workers get their next files before this thread spends time storing results.
        dispatchWhileRoom();
        bool idle = false;
        {
            std::lock_guard lock(mutex_);
            // A job that ended since the results were gathered above is in completions_, no longer in
            // inFlight_: the run is idle only once that result is stored too.
            idle = inFlight_.empty() && completions_.empty() && ((queue.empty() && officeQueue.empty()) || cancelled);
        }
        const bool due = idle || cancelled || waiting.size() >= persistGroupSize ||
                         Clock::now() - firstWaiting >= persistGroupDelay;
        if (!waiting.empty() && due) {
            // Nothing more is read while nothing can be stored; the group already read is stored once
            // there is room. Cancelled meanwhile, it simply stays waiting for a later run.
            while (!persist(waiting)) {
                if (!waitForDiskSpace()) {
                    owner_.updateStats(folder, [&](FolderProcessingStats& s) {
                        s.interrupted += static_cast<int64_t>(waiting.size());
                    });
                    break;
                }
            }
            waiting.clear();
        }
        if (!convertNow_.empty()) {
            for (Pending& pending : convertNow_) officeQueue.push_back(std::move(pending));
            convertNow_.clear();
            continue;
        }
        if (idle) break;
    }
    // Handed over after the stop was noticed: office documents whose own text could not be read.
    if (const std::size_t left = queue.size() + officeQueue.size(); left > 0) {
        owner_.updateStats(folder, [&](FolderProcessingStats& s) { s.interrupted += static_cast<int64_t>(left); });
    }
    // The text is in: its index is merged for searches, then the owed previews and enrichments are next,
    // then the conversions.
    mergeIndexSegments(manager_, settings_);
    if (!conversionPass_) owner_.resumeOwedWork(manager_, settings_);
}

bool NanItemsProcessing::Run::textFirst(folders::FileRoute route, const NanItem& item) const {
    return officeTextFirst_ && route == folders::FileRoute::cloud && readsOwnText(folders::lowerCaseExtension(item.urlString));
}

void NanItemsProcessing::Run::dispatch(Pending pending) {
    auto job = std::make_shared<Job>();
    job->dispatched = Clock::now();
    job->queueWait = owner_.profiler_.takeQueueWait(pending.item.combinedHash, job->dispatched);
    const bool textOnly = !pending.convertFirst && textFirst(pending.route, pending.item);
    const bool office = pending.route == folders::FileRoute::cloud && !textOnly;
    std::string kind(pending.route == folders::FileRoute::cloud ? extractOfficeJob : NanItemsProcessing::jobKind(pending.route));
    ExtractionJobOptions options = jobOptions_;
    options.imageKey = SaveNanImagesHelper::imageKey(pending.item);
    // Office documents keep theirs: the pass would need their converted PDF, and they are few.
    options.deferPreviews = deferPreviews_ && pending.route == folders::FileRoute::pdf;
    // Items carry the NFC path; the file may be named in another normalisation on disk.
    ExtractionRequest request{{}, folders::onDiskPath(pending.item.urlString), {}, std::nullopt};
    if (cache_) {
        // One extra sequential read: cheap beside decoding, and it spares the decoding of bytes seen before.
        job->cacheKey = contentCacheKey(request.path, kind, folders::lowerCaseExtension(pending.item.urlString), options)
                            .value_or(std::string());
    }
    job->pending = std::move(pending);
    // The complete result of the same bytes spares the conversion pass too.
    if (!job->cacheKey.empty() && completeFromCache(job, options)) return;
    if (textOnly) {
        // Only complete results are kept: the pass keeps the converted one under the same key.
        job->officeTextOnly = true;
        job->cacheKey.clear();
        kind = extractOfficeTextJob;
    }
    if (owner_.options_.jobKindOverride) {
        if (auto replaced = owner_.options_.jobKindOverride(job->pending.item)) kind = std::move(*replaced);
    }
    request.kind = std::move(kind);
    {
        std::lock_guard lock(mutex_);
        inFlight_.push_back(job);
        if (office) {
            job->converting = true;
            ++converting_;
        }
    }
    if (office) {
        convertThenExtract(job, std::move(request), std::move(options));
        return;
    }
    request.optionsJson = encodeJobOptions(options);
    submitToPool(job, std::move(request));
}

bool NanItemsProcessing::Run::completeFromCache(const std::shared_ptr<Job>& job, const ExtractionJobOptions& options) {
    auto entry = cache_->find(job->cacheKey);
    if (!entry) return false;
    std::string error;
    if (!decodeExtractionResult(entry->result, error)) return false;
    if (!restoreContentCacheFiles(*entry, jobOptions_.dataDirectory, options.imageKey)) return false;
    job->fromCache = true;
    {
        std::lock_guard lock(mutex_);
        inFlight_.push_back(job);
    }
    complete(job, ExtractionOutcome::success(std::move(entry->result)));
    return true;
}

void NanItemsProcessing::Run::keepInCache(const Job& job, std::string_view resultJson) {
    std::string error;
    const auto result = decodeExtractionResult(resultJson, error);
    if (!result) return;
    const bool office = job.pending.route == folders::FileRoute::cloud;
    if (auto entry = contentCacheEntry(*result, jobOptions_.dataDirectory, SaveNanImagesHelper::imageKey(job.pending.item),
                                       office)) {
        cache_->store(job.cacheKey, *entry);  // a result not kept is only read again next time
    }
}

void NanItemsProcessing::Run::submitToPool(const std::shared_ptr<Job>& job, ExtractionRequest request) {
    {
        std::lock_guard lock(mutex_);
        job->submitting = true;
    }
    const auto id = owner_.pool_->submit(
        std::move(request),
        [this](const std::string& payload) {
            if (isRecognisedPage(payload)) pageRecognised();
        },
        [this, job](ExtractionOutcome outcome) { complete(job, std::move(outcome)); });
    std::lock_guard lock(mutex_);
    job->id = id;
    job->submitting = false;
    // Called from the conversion queue's thread, the job may have ended already: only now may the run
    // see it gone and return.
    if (job->done) {
        inFlight_.remove(job);
        changed_.notify_all();
    }
}

void NanItemsProcessing::Run::complete(const std::shared_ptr<Job>& job, ExtractionOutcome outcome) {
    if (!job->temporaryFile.empty()) {
        std::error_code ec;
        std::filesystem::remove(job->temporaryFile, ec);
    }
    std::lock_guard lock(mutex_);
    job->done = true;
    if (job->converting) {
        job->converting = false;
        --converting_;
    }
    if (!job->submitting) inFlight_.remove(job);
    completions_.push_back(Completion{job, std::move(outcome)});
    changed_.notify_all();
}

void NanItemsProcessing::Run::convertThenExtract(const std::shared_ptr<Job>& job, ExtractionRequest request,
                                                 ExtractionJobOptions options) {
    const std::filesystem::path folderData = manager_.folderDataDirectory();
    const NanItem& item = job->pending.item;
    options.convertedPdf = convertedPdfPath(folderData, item);
    options.officeTextSource = convertedTextSourcePath(folderData, item);
    job->temporaryFile = options.officeTextSource;
    std::error_code ec;
    std::filesystem::create_directories(options.convertedPdf.parent_path(), ec);
    if (ec) {
        complete(job, ExtractionOutcome::failed(ExtractionFailure{
                          Reason::jobFailed, 0, "cannot create " + options.convertedPdf.parent_path().string() + ": " + ec.message()}));
        return;
    }
    cloud::ConversionRequest conversion{request.path, options.convertedPdf, options.officeTextSource, {}};
    const std::filesystem::path input = request.path;
    request.optionsJson = encodeJobOptions(options);
    const auto ticket = owner_.options_.officeConversion->submit(
        std::move(conversion), [this, job, input, request = std::move(request)](cloud::ConversionResult converted) mutable {
            if (converted.status == cloud::ConversionStatus::converted) {
                {
                    std::lock_guard lock(mutex_);
                    job->convertedFrom = input;
                    job->converting = false;
                    --converting_;
                    conversionEnded_ = true;
                    changed_.notify_all();
                }
                if (settings_.cancellationToken.isCancelled()) {
                    complete(job, ExtractionOutcome::failed(ExtractionFailure{Reason::cancelled, 0, "cancelled after conversion"}));
                } else {
                    submitToPool(job, std::move(request));
                }
                return;
            }
            if (settings_.cancellationToken.isCancelled()) {
                complete(job, ExtractionOutcome::failed(ExtractionFailure{Reason::cancelled, 0, converted.reason}));
                return;
            }
            // Not converted: the document ends like a PDF that cannot be read or opened.
            ExtractionResult result;
            if (converted.status == cloud::ConversionStatus::locked) {
                result.state = NanItemProcessingStates::pdfLocked;
                result.message = "The document is protected with a password.";
            } else {
                result.state = NanItemProcessingStates::error;
                result.message = "not converted to PDF: " + converted.reason;
                job->conversionMayRetry = converted.status == cloud::ConversionStatus::timedOut ||
                                          converted.status == cloud::ConversionStatus::failed;
            }
            complete(job, ExtractionOutcome::success(encodeExtractionResult(result)));
        });
    std::lock_guard lock(mutex_);
    if (!job->done) job->conversion = ticket;
}

void NanItemsProcessing::Run::cancelInFlight() {
    std::vector<ExtractionWorkerPool::JobId> ids;
    std::vector<cloud::ConversionQueue::Ticket> conversions;
    {
        std::lock_guard lock(mutex_);
        for (const auto& job : inFlight_) {
            if (!job->done && job->id != 0) ids.push_back(job->id);
            if (!job->done && job->converting && job->conversion != 0) conversions.push_back(job->conversion);
        }
    }
    for (const auto id : ids) owner_.pool_->cancel(id);
    // The waiting ones first (later tickets): stopped first, the running one would make room for them.
    std::sort(conversions.rbegin(), conversions.rend());
    for (const auto ticket : conversions) owner_.options_.officeConversion->cancel(ticket);
}

bool NanItemsProcessing::Run::indexDiskIsFull() const { return owner_.diskIsFull(manager_.folderDataDirectory()); }

bool NanItemsProcessing::Run::waitForDiskSpace() {
    const std::string& folder = settings_.rootFolderUrl;
    bool resumed = true;
    while (indexDiskIsFull()) {
        std::unique_lock lock(mutex_);
        // Woken early only to notice a cancel; nothing else is in flight while paused.
        changed_.wait_for(lock, owner_.options_.diskSpacePoll);
        if (settings_.cancellationToken.isCancelled()) {
            resumed = false;
            break;
        }
    }
    owner_.updateStats(folder, [](FolderProcessingStats& s) { s.pausedForDiskSpace = false; });
    owner_.log(resumed ? "[NanItemsProcessing] Speicherplatz wieder frei, Verarbeitung geht weiter: " + folder
                       : "[NanItemsProcessing] abgebrochen während der Pause für Speicherplatz: " + folder);
    return resumed;
}

void NanItemsProcessing::Run::pageRecognised() {
    manager_.throttledProgressUpdater().addOcrPages(1);
    owner_.diagnostics_.increment("ocr.page");
    owner_.updateStats(settings_.rootFolderUrl, [](FolderProcessingStats& s) { ++s.pagesRecognised; });
}


// --- the runner ---

NanItemsProcessing::NanItemsProcessing(NanItemsProcessingOptions options)
    : options_(std::move(options)),
      pool_(options_.workerPool ? options_.workerPool
                                : std::make_shared<ExtractionWorkerPool>(options_.workerPoolOptions)),
      settingsStore_(options_.settingsStore != nullptr ? *options_.settingsStore : SettingsStore::shared()),
      diagnostics_(options_.diagnostics != nullptr ? *options_.diagnostics : DiagnosticsCollector::shared()),
      profiler_(options_.profiler != nullptr ? *options_.profiler : PipelineProfiler::shared()) {
    auto recognise = [this](const NanItem& item) { return recogniseForEnrichment(item); };
    auto store = [this](const NanItem& item, const std::string& text) { storeEnrichment(item, text); };
    if (options_.enrichmentQueue != nullptr) {
        enrichmentQueue_ = options_.enrichmentQueue;
        enrichmentQueue_->configure(recognise, store);
    } else {
        ownEnrichmentQueue_ = std::make_unique<DigitalTextEnrichmentQueue>(recognise, store);
        enrichmentQueue_ = ownEnrichmentQueue_.get();
    }
}

NanItemsProcessing::~NanItemsProcessing() {
    if (!ownEnrichmentQueue_) {
        // The shared queue outlives us: later enrichments must not call into this object.
        enrichmentQueue_->configure(nullptr, nullptr);
        enrichmentQueue_->waitUntilIdle();
    }
    ownEnrichmentQueue_.reset();
}

std::optional<folders::FileRoute> NanItemsProcessing::route(const NanItem& item) {
    return folders::routeForExtension(folders::lowerCaseExtension(item.urlString.empty() ? item.fileName : item.urlString));
}

std::string_view NanItemsProcessing::jobKind(folders::FileRoute route) {
    switch (route) {
        case folders::FileRoute::pdf: return extractPdfJob;
        case folders::FileRoute::image: return extractImageJob;
        case folders::FileRoute::text: return extractTextJob;
        case folders::FileRoute::cloud: return {};
    }
    return {};
}

std::shared_ptr<NanItemsProcessing::EnrichmentContext> NanItemsProcessing::enrichmentContext(
    folders::BalancedDataManager& manager, const folders::ProcessingRunSettings& settings) {
    auto enrichment = std::make_shared<EnrichmentContext>();
    enrichment->manager = &manager;
    enrichment->cancellationToken = settings.cancellationToken;
    enrichment->rootFolderUrl = settings.rootFolderUrl;
    enrichment->lowResImages = settings.lowResImages;
    if (const int64_t maxBytes = Settings(settingsStore_).contentCacheMaxBytes(); maxBytes > 0) {
        enrichment->contentCache = std::make_shared<storage::ContentCache>(
            manager.folderDataDirectory(), static_cast<std::uint64_t>(maxBytes), options_.log);
    }
    return enrichment;
}

void NanItemsProcessing::run(folders::BalancedDataManager& manager, std::vector<NanItem> items,
                             const folders::ProcessingRunSettings& settings) {
    if (items.empty()) return;
    Run run(*this, manager, settings, enrichmentContext(manager, settings));
    run.execute(std::move(items));
}

bool NanItemsProcessing::owesWork(const folders::BalancedDataManager& manager) const {
    const std::filesystem::path directory = manager.folderDataDirectory();
    return (options_.previewPassAfterRuns && !storage::PendingPreviews(directory).list().empty()) ||
           (!textRecognitionDisabled() && !storage::PendingEnrichments(directory).list().empty()) ||
           (options_.conversionPassAfterRuns && !storage::PendingConversions(directory).list().empty());
}

void NanItemsProcessing::resumeOwedWork(folders::BalancedDataManager& manager,
                                        const folders::ProcessingRunSettings& settings) {
    const auto textWaits = [&manager] { return manager.runFigures().queued > 0; };
    // Enrichment recognises on one worker while the preview pass draws on the others (on all of them
    // once nothing else runs).
    std::future<bool> enrichment;
    if (!settings.cancellationToken.isCancelled() &&
        !storage::PendingEnrichments(manager.folderDataDirectory()).list().empty()) {
        enrichment = std::async(std::launch::async, [&] { return enrichDeferredDocuments(manager, settings, textWaits); });
    }
    // The future waits for the pass on every way out: it uses the coordinator, which may go after us.
    if (options_.previewPassAfterRuns && !settings.cancellationToken.isCancelled()) {
        renderDeferredPreviews(manager, settings, textWaits);
    }
    if (options_.conversionPassAfterRuns && !settings.cancellationToken.isCancelled() && !textWaits()) {
        convertDeferredOfficeDocuments(manager, settings, textWaits);
    }
    if (enrichment.valid()) enrichment.get();
    mergeIndexSegments(manager, settings);  // what the passes wrote
}

FolderProcessingStats NanItemsProcessing::stats(const std::string& rootFolderUrl) const {
    std::lock_guard lock(statsMutex_);
    const auto found = stats_.find(rootFolderUrl);
    return found == stats_.end() ? FolderProcessingStats{} : found->second;
}

std::optional<std::string> NanItemsProcessing::officeConversionUnavailable() const {
    if (!options_.officeConversion) return std::string("office conversion is switched off (setting localOfficeConversionKey)");
    return options_.officeConversion->unavailableReason();
}

void NanItemsProcessing::log(std::string_view line) const {
    if (options_.log) {
        options_.log(line);
    } else {
        appLog(line);
    }
}

void NanItemsProcessing::updateStats(const std::string& folder, const std::function<void(FolderProcessingStats&)>& change) {
    std::lock_guard lock(statsMutex_);
    change(stats_[folder]);
}

}  // namespace lumidex::processing
