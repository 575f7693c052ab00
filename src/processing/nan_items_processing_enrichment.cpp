// The digital-text enrichment side of NanItemsProcessing: queueing a finished document's pages for
// recognition, recognising them (or taking what the content cache kept), and storing the words the
// recognition adds.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <future>

#include "core/diagnostics_collector.h"
#include "folders/coordinator/coordinator_states.h"
#include "processing/extractors/extraction_result.h"
#include "processing/extractors/office_extraction.h"
#include "processing/nan_items_processing.h"
#include "processing/nan_items_processing_internal.h"
#include "processing/nan_items_processing_run.h"
#include "processing/pipeline/digital_text_enrichment_queue.h"
#include "storage/content_cache.h"
#include "storage/fts_balancer.h"
#include "storage/fts_tools.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {

using detail::cancellationPoll;
using detail::ftsDocument;
using detail::isRecognisedPage;
using detail::stillRegistered;

namespace {

// The pass's enrichments queued or recognising at a time.
constexpr int64_t enrichmentsAhead = 2;

template <class Ticket>
std::shared_ptr<Ticket> takeTicket(std::map<uint32_t, std::deque<std::shared_ptr<Ticket>>>& tickets, uint32_t hash) {
    const auto found = tickets.find(hash);
    if (found == tickets.end() || found->second.empty()) return nullptr;
    auto ticket = std::move(found->second.front());
    found->second.pop_front();
    if (found->second.empty()) tickets.erase(found);
    return ticket;
}

}  // namespace

void NanItemsProcessing::enqueueEnrichment(const std::shared_ptr<EnrichmentContext>& context, const NanItem& item,
                                           std::string storedDigitalText, std::vector<int64_t> pages,
                                           std::string cacheKey, std::optional<std::string> cachedRecognition,
                                           bool mayYield) {
    auto ticket = std::make_shared<EnrichmentTicket>(EnrichmentTicket{context, item, storedDigitalText, std::move(pages),
                                                                      std::move(cacheKey), std::move(cachedRecognition),
                                                                      mayYield});
    {
        std::lock_guard lock(context->mutex);
        ++context->pending;
    }
    {
        std::lock_guard lock(enrichmentMutex_);
        awaitingRecognition_[item.combinedHash].push_back(std::move(ticket));
    }
    // Blocks while the queue holds its maximum; the queue's own log line names the file.
    enrichmentQueue_->enqueue(item, std::move(storedDigitalText));
}

std::optional<std::string> NanItemsProcessing::recogniseForEnrichment(const NanItem& item) {
    std::shared_ptr<EnrichmentTicket> ticket;
    {
        std::lock_guard lock(enrichmentMutex_);
        ticket = takeTicket(awaitingRecognition_, item.combinedHash);
    }
    if (!ticket) return std::nullopt;
    // Whoever ends the enrichment releases the pass: here, unless the store task takes it over.
    struct Release {
        EnrichmentContext* context;
        ~Release() {
            if (context != nullptr) context->finishOne();
        }
    } release{ticket->context.get()};
    const CancellationToken& token = ticket->context->cancellationToken;
    // Text work that arrived meanwhile goes first; the marker keeps the enrichment for a later pass.
    const auto& yield = ticket->context->yield;
    const bool stopped = token.isCancelled() || (ticket->mayYield && yield && yield());
    std::optional<std::string> text;
    try {
        if (!stopped && ticket->cachedRecognition) {
            text = ticket->cachedRecognition;  // the same bytes were recognised before
        } else if (!stopped) {
            text = options_.enrichmentRecogniser ? options_.enrichmentRecogniser(item) : runEnrichmentJob(*ticket);
            const auto& cache = ticket->context->contentCache;
            if (text && cache && !ticket->cacheKey.empty() && !token.isCancelled()) cache->setAddedText(ticket->cacheKey, *text);
        }
    } catch (const std::exception& e) {
        log("[DigitalTextEnrichment] recognition failed for: " + item.urlString + ": " + e.what());
        text.reset();
    } catch (...) {
        log("[DigitalTextEnrichment] recognition failed for: " + item.urlString);
        text.reset();
    }
    if (text && (stopped || token.isCancelled())) text.reset();
    // The queue stores only when words are missing.
    const bool storeFollows = text && !findMissingWords(ticket->digitalText, *text).words.empty();
    if (storeFollows) {
        std::lock_guard lock(enrichmentMutex_);
        awaitingStore_[item.combinedHash].push_back(ticket);
        release.context = nullptr;
    } else if (!stopped && !token.isCancelled()) {
        // Nothing missing, or a recognition that failed for good: done. A stopped one is done later.
        storage::PendingEnrichments(ticket->context->manager->folderDataDirectory()).remove(item.combinedHash);
    }
    return text;
}

void NanItemsProcessing::storeEnrichment(const NanItem& item, const std::string& newText) {
    std::shared_ptr<EnrichmentTicket> ticket;
    {
        std::lock_guard lock(enrichmentMutex_);
        ticket = takeTicket(awaitingStore_, item.combinedHash);
    }
    if (!ticket) return;
    struct Release {
        EnrichmentContext& context;
        ~Release() { context.finishOne(); }
    } release{*ticket->context};
    if (ticket->context->cancellationToken.isCancelled()) return;
    folders::BalancedDataManager& manager = *ticket->context->manager;
    const storage::PendingEnrichments pending(manager.folderDataDirectory());
    if (!stillRegistered(manager, ticket->item)) {
        pending.remove(item.combinedHash);
        return;
    }
    bool stored = manager.ftsDatabaseBalancer().write(ftsDocument(ticket->item, newText));
    if (std::string tokens = storage::FtsTools::numberTokens(newText); !tokens.empty()) {
        stored = manager.numbersDatabaseBalancer().write(ftsDocument(ticket->item, std::move(tokens))) && stored;
    }
    // A failed write keeps the promise: the next pass recognises the document again (or takes what the
    // content cache kept of this recognition).
    if (stored) pending.remove(item.combinedHash);
    else log("[DigitalTextEnrichment] Ergänzung nicht gespeichert, wird beim nächsten Durchgang wiederholt: " + item.urlString);
}

bool NanItemsProcessing::enrichDeferredDocuments(folders::BalancedDataManager& manager,
                                                 const folders::ProcessingRunSettings& settings,
                                                 const std::function<bool()>& yield) {
    const std::string& folder = settings.rootFolderUrl;
    const storage::PendingEnrichments pending(manager.folderDataDirectory());
    if (detail::textRecognitionDisabled()) return pending.list().empty();
    const detail::FolderPassClaim running(statsMutex_, enrichmentPassesRunning_, folder);
    if (!running.claimed()) return false;

    auto context = enrichmentContext(manager, settings);
    context->yield = yield;
    // Every enrichment handed to the queue has ended before the pass does, however it ends.
    struct Wait {
        EnrichmentContext& context;
        ~Wait() { context.waitUntilDone(); }
    } wait{*context};
    // The first enrichment of a pass does not step aside: in a folder whose files change faster than a
    // run ends, text would otherwise wait at every pass's start and recognition never run.
    bool handedOn = false;
    const auto stop = [&] {
        return settings.cancellationToken.isCancelled() || (handedOn && yield && yield());
    };
    std::vector<NanItem> readAgain;
    for (const uint32_t combinedHash : pending.list()) {
        if (stop()) break;
        auto item = manager.itemByCombinedHash(combinedHash);
        // Being read (again): its run stores the document, and its marker with it.
        if (item && folders::coordinator_states::awaitsProcessing(item->processingState)) continue;
        // A version replaced or removed meanwhile owes nothing; its successor has its own marker.
        if (!item || item->processingState != NanItemProcessingStates::complete) {
            pending.remove(combinedHash);
            continue;
        }
        auto plan = pending.plan(combinedHash);
        std::string digitalText;
        if (plan) {
            auto originals = manager.ftsDatabaseBalancer().storeFor(combinedHash)->originalTexts({combinedHash});
            if (originals.size() == 1) {
                auto& original = originals.front().second;
                digitalText = storage::FtsTools::fold(original.prefix(original.size()));
                if (original.damaged()) digitalText.clear();
            }
        }
        if (!plan || digitalText.empty()) {
            // Which pages to read (a marker of an earlier version), or the text they extend (a store that
            // cannot be read now), is known again from reading the document, which makes a new marker.
            readAgain.push_back(std::move(*item));
            continue;
        }
        std::optional<std::string> cached;
        if (context->contentCache && !plan->cacheKey.empty()) {
            if (auto entry = context->contentCache->find(plan->cacheKey)) cached = std::move(entry->addedText);
        }
        // A few of the pass's own ahead of the recogniser, so that a stop is noticed between documents
        // (the queue, shared by all folders, may hold others' too).
        {
            std::unique_lock lock(context->mutex);
            while (context->pending >= enrichmentsAhead && !stop()) context->changed.wait_for(lock, cancellationPoll);
        }
        if (stop()) break;
        enqueueEnrichment(context, *item, std::move(digitalText), std::move(plan->pages), std::move(plan->cacheKey),
                          std::move(cached), handedOn);
        handedOn = true;
    }
    if (!readAgain.empty()) {
        log("[DigitalTextEnrichment] " + std::to_string(readAgain.size()) +
            " Dokumente werden erneut gelesen, ihre Ergänzung war ohne Seiten oder Text vorgemerkt: " + folder);
        for (NanItem& item : readAgain) item.processingState = NanItemProcessingStates::readyForProcessing;
        if (manager.saveItems(readAgain)) {
            // Saved as waiting, they are read again even if this process ends now; the run makes new markers.
            for (const NanItem& item : readAgain) pending.remove(item.combinedHash);
            manager.queueForProcessing(std::move(readAgain));
        } else {
            log("[DigitalTextEnrichment] erneutes Lesen nicht gespeichert, Vormerkungen bleiben: " + folder);
        }
    }
    context->waitUntilDone();
    return pending.list().empty();
}

std::optional<std::string> NanItemsProcessing::runEnrichmentJob(const EnrichmentTicket& ticket) {
    EnrichmentContext& context = *ticket.context;
    // An office document is recognised in the PDF it was converted to.
    const std::filesystem::path path = route(ticket.item) == folders::FileRoute::cloud
                                           ? convertedPdfPath(context.manager->folderDataDirectory(), ticket.item)
                                           : std::filesystem::path(ticket.item.urlString);
    // Enrichments run one document at a time. Its pages go to the workers nothing else needs now, in
    // runs of pages, so that once the text work and the other passes are done they do not stand by
    // while one recognises page after page; with more than two workers one is kept for the page
    // someone opens. On a busy pool: one job, behind any other work.
    const ExtractionWorkerPool::Stats pool = pool_->stats();
    const std::size_t busy = std::min(pool.workerCount, pool.queuedJobs + pool.runningJobs);
    const std::size_t idle = pool.workerCount - busy;
    const std::size_t parts =
        std::clamp<std::size_t>(pool.workerCount > 2 && idle > 0 ? idle - 1 : idle, 1, std::max<std::size_t>(ticket.pages.size(), 1));
    struct Part {
        std::future<ExtractionOutcome> outcome;
        ExtractionWorkerPool::JobId id = 0;
    };
    std::vector<Part> jobs;
    jobs.reserve(parts);
    // Every part submitted has ended before this returns, however it returns: their progress reports
    // use the context, which the pass frees once its enrichments are done.
    struct Settle {
        ExtractionWorkerPool& pool;
        std::vector<Part>& jobs;
        ~Settle() {
            for (Part& part : jobs) {
                if (!part.outcome.valid()) continue;
                pool.cancel(part.id);  // false once it has ended
                part.outcome.wait();
            }
        }
    } settle{*pool_, jobs};
    for (std::size_t k = 0; k < parts; ++k) {
        ExtractionJobOptions options;
        options.lowResImages = context.lowResImages;
        options.rootFolderUrl = context.rootFolderUrl;
        const auto from = static_cast<std::ptrdiff_t>(ticket.pages.size() * k / parts);
        const auto to = static_cast<std::ptrdiff_t>(ticket.pages.size() * (k + 1) / parts);
        options.pages.assign(ticket.pages.begin() + from, ticket.pages.begin() + to);
        auto done = std::make_shared<std::promise<ExtractionOutcome>>();
        Part& part = jobs.emplace_back();
        part.outcome = done->get_future();
        ExtractionRequest request{std::string(enrichPdfJob), path, encodeJobOptions(options), std::nullopt};
        request.deferrable = true;  // the document is searchable already; others may not be
        part.id = pool_->submit(
            std::move(request),
            [this, &context](const std::string& payload) {
                if (!isRecognisedPage(payload)) return;
                context.manager->throttledProgressUpdater().addOcrPages(1);
                diagnostics_.increment("ocr.page");
                updateStats(context.rootFolderUrl, [](FolderProcessingStats& s) { ++s.pagesRecognised; });
            },
            [done](ExtractionOutcome outcome) { done->set_value(std::move(outcome)); });
    }
    // The parts' texts in page order, as one job gives them (the words; blanks between pages do not
    // count). The first part that fails ends the others.
    std::string text;
    for (Part& part : jobs) {
        bool cancelSent = false;
        while (part.outcome.wait_for(cancellationPoll) != std::future_status::ready) {
            if (!cancelSent && context.cancellationToken.isCancelled()) {
                cancelSent = true;
                for (const Part& each : jobs) pool_->cancel(each.id);
            }
        }
        const ExtractionOutcome outcome = part.outcome.get();
        if (!outcome.ok()) {
            log("[DigitalTextEnrichment] " + ticket.item.urlString + ": " + outcome.description());
            return std::nullopt;
        }
        std::string error;
        auto result = decodeExtractionResult(outcome.resultJson(), error);
        if (!result || result->state != NanItemProcessingStates::complete) {
            log("[DigitalTextEnrichment] " + ticket.item.urlString + ": " + (result ? result->message : error));
            return std::nullopt;
        }
        if (!text.empty()) text += ' ';
        text += result->text;
    }
    return text;
}

}  // namespace lumidex::processing
