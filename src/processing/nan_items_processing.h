// The processing run: takes the items a folder's coordinator hands over, routes each by its lower-case
// extension (pdf / 12 image / 5 text / 15 cloud types) to its extractor job, runs the jobs in the shared
// pool of extraction worker processes, and persists every result through the coordinator.
//
// Per run: items are dispatched in order, at most maxItemsInFlight at a time (default: twice the pool's
// worker count, so that a worker never waits for the run to store results; one at a time when
// slowHardDrive is on). Results are persisted on the run's thread, in groups of up to 64 files or
// 250 ms:
// "Erneut verarbeitet: <path>" is logged; an item in error is saved with a full-text row of its name
// and folder only; otherwise its rectangles are written first (replacing any of the same version), then
// its folded text into the full-text store of its shard (and its number tokens into the numbers store),
// then the item is saved with its final state, page count and contentHash. PDFs that had digital text
// and pages drawing images able to hold text or text as outlines (as their extraction found) owe the
// digital text enrichment: an "enrichment_pending" marker naming those pages is made before the save,
// and the enrichment pass (enrichDeferredDocuments) recognises them once the folder's text is in and
// writes the missing words to the full-text store; other digital PDFs are done. Every page that
// recognition read counts in "ocr.page" and in the folder's progress updater; pages only rendered for
// previews do not.
//
// A group whose full-text, number or rectangle rows could not all be written is not saved at all: its
// items stay readyForProcessing for the next scan, count in notStored and in the diagnostics counter
// "processing.store_failed". When the disk holding the index is full at that moment, the run instead
// pauses ("pausedForDiskSpace" in its stats, a log line), reads nothing more, waits for space, and then
// stores the group it had read; cancelling while paused leaves the group waiting for a later run.
//
// Previews: a PDF with digital text is stored with its first page's thumbnail only (the one the
// result list shows) and a "preview_pending" marker made before the save; scanned pages, images and
// office documents get theirs while they are read (their bitmaps are in hand). Once a run's text work is
// stored, the run draws the owed previews (renderDeferredPreviews) until new items queue behind it, a
// cancel, or the end; the rest waits for the next run or call. A marker that cannot be made keeps the
// document waiting, as for enrichments.
//
// Content cache (storage/content_cache.h, bounded by the setting contentCacheMaxBytes; 0 turns it off):
// before a file goes to extraction its bytes are hashed (one extra sequential read) and looked up; a
// file seen before with the same bytes, extension and job options (a copy, a moved or renamed file, a
// touched one) gets its previews and converted PDF written back and its kept result stored exactly as a
// fresh extraction's would be, without a worker, a conversion or recognition; its enrichment, if any,
// takes the text recognised before. Complete results are kept after their rows were stored; a cache that
// cannot be read or written only costs the extraction it would have spared.
//
// Office documents, text first: one whose own text is read without the converter (OOXML, OpenDocument,
// CSV) goes to a "text.office" worker job and is stored complete with that text alone (no pages yet),
// a "conversion_pending" marker made before the save. Once a run's text work and its preview pass are
// done, the conversion pass (convertDeferredOfficeDocuments) converts the owed documents and stores
// them exactly as the one-pass road below would have. A content-cache hit for the complete result
// short-cuts both; a text-only result is never cached. With officeTextFirst off (or
// LUMIDEX_OFFICE_ONE_PASS=1), and for the other formats and documents whose own text cannot be read,
// the one-pass road:
//
// Outcomes: a worker crash, hang or memory exhaustion ends that item in error with a log line naming
// the file; the run carries on. Items of the cloud set (office documents) go to the office conversion
// queue, at most two of a run at a time (they do not take the workers' places while they wait); the PDF
// it makes goes to an "extract.office" worker job (office_extraction.h) and the item ends in the states
// a PDF ends in. A document the converter cannot read, or that hangs it, ends in error; one protected with
// a password in pdfLocked (in the conversion pass the same states and log lines, but the rows of its own
// text stay). Without an available converter a document whose own text is read is stored with it and
// owes its conversion until a converter is there; the others are left readyForProcessing and never
// marked done; each run stores a full-text row without text for them, so that their folder and file
// name find them meanwhile. When the folder's cancellation token is set the
// run stops dispatching, kills the jobs in flight and persists nothing more: unfinished items keep
// readyForProcessing so that a later run takes them up; the same holds when no worker can be started.
// Items in error are not retried by runs; retryFailedItems() (default_runner.h) retries them once
// per start-up.
//
// Thread-safety: run() may be called for several folders at once (one run per folder at a time, as
// the coordinator guarantees); stats() from any thread. run() returns only after the passes it ends
// with have stopped (finished, or stepped aside for text work that waits, or cancelled), so it never
// touches a coordinator after returning.
// Lifetime: the runner must outlive its runs and passes.
// Nothing throws from run() except std::bad_alloc.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/conversion_queue.h"
#include "core/model/nan_item.h"
#include "folders/coordinator/processing_runner.h"
#include "folders/scanning/file_types.h"
#include "processing/worker/extraction_worker_pool.h"

namespace lumidex {
class DiagnosticsCollector;
class SettingsStore;
}  // namespace lumidex

namespace lumidex::processing {

class DigitalTextEnrichmentQueue;
class PipelineProfiler;

// Counts per searchable folder since the runner was created.
struct FolderProcessingStats {
    int64_t documentsProcessed = 0;  // items persisted with a final state (errors included)
    int64_t pagesRecognised = 0;     // pages recognition read, enrichment included
    int64_t pagesWithText = 0;       // pages whose embedded text was stored (digital PDFs)
    int64_t errors = 0;
    int64_t locked = 0;              // pdfLocked
    int64_t interrupted = 0;         // left readyForProcessing by a cancel or a missing worker
    int64_t notStored = 0;           // read, but their rows could not be written: left for the next run
    int64_t waitingForCloud = 0;     // cloud-set items handed to the latest run, left waiting
    int64_t enrichmentsQueued = 0;   // documents stored owing the recognition of their pictures
    int64_t notRead = 0;      // notSupported by the extractor (a text file over the size limit)
    int64_t withoutText = 0;  // complete, but no searchable text although the file has text or glyphs
    bool pausedForDiskSpace = false;  // a write failed on a full disk: waiting for space, nothing lost
    int64_t reusedFromCache = 0;      // stored from the content cache: not read or recognised again
    int64_t previewPages = 0;  // pages of stored PDFs, images and office documents, which get previews
    int64_t previewsOwed = 0;  // of those (and of documents an earlier process left), pages still to draw
    int64_t officeDocuments = 0;  // stored office documents, converted or owing their conversion (not
                                  // those whose conversion failed for good: they count among the errors)
    int64_t conversionsOwed = 0;  // of those (and of documents an earlier process left), not converted yet
};

struct NanItemsProcessingOptions {
    std::shared_ptr<ExtractionWorkerPool> workerPool;  // null: a pool made from workerPoolOptions
    ExtractionWorkerPoolOptions workerPoolOptions;
    SettingsStore* settingsStore = nullptr;              // null: the shared store (ignoreSmallImages)
    DiagnosticsCollector* diagnostics = nullptr;         // null: the shared collector
    PipelineProfiler* profiler = nullptr;                // null: the shared profiler
    // null: a queue of the runner's own. A queue given here is configured for this runner and must not
    // serve another runner while this one exists (enrichments are matched to their runs by the runner).
    DigitalTextEnrichmentQueue* enrichmentQueue = nullptr;
    std::size_t maxItemsInFlight = 0;                    // 0: twice the pool's worker count
    // Converts office documents to PDF; null or unavailable: they wait, findable by name.
    std::shared_ptr<cloud::ConversionQueue> officeConversion;
    std::function<void(std::string_view)> log;          // null: the debug log
    // Free bytes on the disk holding a path (null: the file system's figure). When a write of results
    // fails and the index's disk has less than minimumFreeBytes left, the run pauses (stats show it),
    // asks again every diskSpacePoll, and stores the documents it had read once there is room.
    std::function<std::optional<std::uintmax_t>(const std::filesystem::path&)> freeBytes;
    std::uintmax_t minimumFreeBytes = 64u << 20;
    std::chrono::milliseconds diskSpacePoll{5000};
    // Test hooks. jobKindOverride may replace an item's job kind (e.g. with a crashing test kind); it is
    // asked only for files that go to a worker (not for those whose result the content cache held);
    // enrichmentRecogniser replaces the "enrich.pdf" job; previewJobKindOverride may replace the preview
    // pass's "previews.pdf" job kind for a document.
    std::function<std::optional<std::string>(const NanItem&)> jobKindOverride;
    std::function<std::optional<std::string>(const NanItem&)> enrichmentRecogniser;
    std::function<std::optional<std::string>(const NanItem&)> previewJobKindOverride;
    // Page previews of PDFs with digital text (those of the pages drawn ahead; later pages are drawn
    // when opened). false: the first page's is drawn with the text, the others by the preview pass;
    // true (or LUMIDEX_EAGER_PREVIEWS=1 in the environment): all of them before the document is stored.
    bool eagerPreviews = false;
    // false: a run leaves the preview pass to renderDeferredPreviews() (tests hold it back).
    bool previewPassAfterRuns = true;
    // Office documents stored with their own text first, converted by the conversion pass; false (or
    // LUMIDEX_OFFICE_ONE_PASS=1 in the environment): converted before they are stored.
    bool officeTextFirst = true;
    // false: a run leaves the conversion pass to convertDeferredOfficeDocuments() (tests hold it back).
    bool conversionPassAfterRuns = true;
};

class NanItemsProcessing final : public folders::ProcessingRunner {
public:
    explicit NanItemsProcessing(NanItemsProcessingOptions options = {});
    ~NanItemsProcessing() override;
    NanItemsProcessing(const NanItemsProcessing&) = delete;
    NanItemsProcessing& operator=(const NanItemsProcessing&) = delete;

    void run(folders::BalancedDataManager& manager, std::vector<NanItem> items,
             const folders::ProcessingRunSettings& settings) override;
    // Previews, enrichments or conversions are owed in the folder (markers on disk).
    bool owesWork(const folders::BalancedDataManager& manager) const override;
    // The passes a run ends with: the owed previews beside the owed enrichments, then the conversions,
    // each until text work waits.
    void resumeOwedWork(folders::BalancedDataManager& manager, const folders::ProcessingRunSettings& settings) override;

    FolderProcessingStats stats(const std::string& rootFolderUrl) const;
    ExtractionWorkerPool& workerPool() { return *pool_; }

    // The extractor an item goes to, by the lower-case extension of its path; nullopt when unsupported.
    static std::optional<folders::FileRoute> route(const NanItem& item);
    // The worker job kind of a route; empty for the cloud set (their job, extract.office, reads the PDF
    // the converter made of them).
    static std::string_view jobKind(folders::FileRoute route);
    // Why office documents wait instead of being converted, or nullopt when a converter is there.
    std::optional<std::string> officeConversionUnavailable() const;

    // The preview pass of a folder: draws the page previews its documents are owed ("preview_pending"
    // markers, storage/pending_enrichments.h), one document per worker at a time (a worker that is
    // done takes the next document, whatever the others do), and removes each marker once its document
    // is done (or gone, or unreadable for good, or after crashing or hanging the worker previewAttempts
    // times, counted in the marker). Previews that cannot be written keep their marker: on a full disk
    // they end the pass without a try counted; otherwise they count as a try of that document. Stops before the next document when the token is set or `yield` says other work
    // waits (the documents in flight are finished first); the markers left are taken up by the next
    // call, in this process or a later one. A second call for a folder whose pass is running
    // returns at once. Returns true when no preview is owed any more. Blocks; any thread.
    bool renderDeferredPreviews(folders::BalancedDataManager& manager, const folders::ProcessingRunSettings& settings,
                                const std::function<bool()>& yield = {});
    static constexpr int previewAttempts = 3;

    // The enrichment pass of a folder: hands each document with an "enrichment_pending" marker to the
    // enrichment queue (one document at a time, its "enrich.pdf" jobs deferrable: behind any other worker
    // job; its pages split over the workers only when nothing else runs) with the
    // pages its marker names and its digital text as stored, or with what the content cache kept of an
    // earlier recognition of the same bytes; the words recognition adds are written to the full-text and
    // numbers stores and the marker removed (also when nothing was missing or the recognition failed for
    // good; a failed store write keeps it for the next pass). A document whose marker names no pages
    // (made by an earlier version) or whose stored text cannot be read is saved readyForProcessing and
    // queued, to be read again, and its marker removed once that save is done. Documents waiting to be
    // read keep their markers. Stops handing on documents when the token is set or `yield` says text
    // work waits (after the first it handed on, which is recognised in any case), and enrichments not
    // yet started then stay marked for the next call, in this process or a later one; returns once those handed on have ended. Does nothing while text recognition is
    // switched off (LUMIDEX_DISABLE_OCR), or while the folder's pass is running already. Returns true
    // when no enrichment is owed any more. Blocks; any thread.
    bool enrichDeferredDocuments(folders::BalancedDataManager& manager, const folders::ProcessingRunSettings& settings,
                                 const std::function<bool()>& yield = {});

    // The conversion pass of a folder: converts the office documents stored with their own text only
    // ("conversion_pending" markers) and stores each as the one-pass road would (pages, previews,
    // rectangles, the words only the layout shows), removing its marker once it is stored or its
    // conversion failed for good. Conversions run through the office conversion queue as in a run;
    // stops dispatching when the token is set or `yield` says other work waits, and the markers left
    // are taken up by the next call, in this process or a later one. Does nothing while no converter
    // is available, or while the folder's pass is running already. Returns true when no conversion is
    // owed any more. Blocks; any thread, but not alongside a run of the same folder.
    bool convertDeferredOfficeDocuments(folders::BalancedDataManager& manager,
                                        const folders::ProcessingRunSettings& settings,
                                        const std::function<bool()>& yield = {});

private:
    class Run;
    struct EnrichmentContext;
    struct EnrichmentTicket;

    void log(std::string_view line) const;
    void updateStats(const std::string& folder, const std::function<void(FolderProcessingStats&)>& change);
    void enqueueEnrichment(const std::shared_ptr<EnrichmentContext>& context, const NanItem& item,
                           std::string storedDigitalText, std::vector<int64_t> pages, std::string cacheKey,
                           std::optional<std::string> cachedRecognition, bool mayYield);
    std::optional<std::string> recogniseForEnrichment(const NanItem& item);
    void storeEnrichment(const NanItem& item, const std::string& newText);
    std::optional<std::string> runEnrichmentJob(const EnrichmentTicket& ticket);
    // The "previews.pdf" job for one document; a failure is logged. failed: the document cannot be drawn;
    // workerFailed: it crashed or hung the worker (tried again, up to previewAttempts times in all);
    // notWritten: drawn, but the previews could not be written; interrupted: a cancel, or no worker.
    enum class PreviewJob { drawn, failed, workerFailed, notWritten, interrupted };
    PreviewJob runPreviewJob(folders::BalancedDataManager& manager, const folders::ProcessingRunSettings& settings,
                       const NanItem& item, std::vector<int64_t> pages);
    // Less than minimumFreeBytes left on the disk of `directory` (options_.freeBytes, when set, tells).
    bool diskIsFull(const std::filesystem::path& directory) const;
    // Counts a document's owed pages once, whether its run or an earlier process deferred them
    // (uncounted: they are not in previewPages yet either).
    void owePreviews(const std::string& folder, uint32_t combinedHash, int64_t pages, bool uncounted);
    void previewsPaid(const std::string& folder, uint32_t combinedHash);
    // The same for conversions (one per document); one that fails for good is no office document
    // converted or owed any more (!converted).
    void oweConversion(const std::string& folder, uint32_t combinedHash, bool uncounted);
    void conversionPaid(const std::string& folder, uint32_t combinedHash, bool converted = true);
    std::shared_ptr<EnrichmentContext> enrichmentContext(folders::BalancedDataManager& manager,
                                                         const folders::ProcessingRunSettings& settings);

    NanItemsProcessingOptions options_;
    std::shared_ptr<ExtractionWorkerPool> pool_;
    SettingsStore& settingsStore_;
    DiagnosticsCollector& diagnostics_;
    PipelineProfiler& profiler_;

    mutable std::mutex statsMutex_;
    std::map<std::string, FolderProcessingStats> stats_;
    std::map<std::string, std::map<uint32_t, int64_t>> owedPreviews_;  // folder -> document -> pages owed
    std::set<std::string> previewPassesRunning_;                         // under statsMutex_
    // Preview markers whose count of tries could not be written or that could not be removed, per
    // folder: tries counted here (previewSettled once done), so that a marker the disk refuses is not
    // tried again at every pass of this process. Under statsMutex_.
    static constexpr int previewSettled = -1;
    std::map<std::string, std::map<uint32_t, int>> unrecordedPreviewTries_;
    std::map<std::string, std::set<uint32_t>> owedConversions_;          // folder -> documents
    std::set<std::string> conversionPassesRunning_;                      // under statsMutex_
    std::set<std::string> enrichmentPassesRunning_;                      // under statsMutex_

    // Enrichments between enqueue and their end: waiting for recognition, then for the store write.
    std::mutex enrichmentMutex_;
    std::map<uint32_t, std::deque<std::shared_ptr<EnrichmentTicket>>> awaitingRecognition_;
    std::map<uint32_t, std::deque<std::shared_ptr<EnrichmentTicket>>> awaitingStore_;

    std::unique_ptr<DigitalTextEnrichmentQueue> ownEnrichmentQueue_;  // last: drained before the rest goes
    DigitalTextEnrichmentQueue* enrichmentQueue_ = nullptr;
};

}  // namespace lumidex::processing
