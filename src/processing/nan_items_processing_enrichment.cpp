// The digital-text enrichment side of NanItemsProcessing: queueing a finished document's pages for
// recognition, recognising them (or taking what the content cache kept), and storing the words the
// recognition adds.
#include <nlohmann/json.hpp>

#include <future>

#include "core/diagnostics_collector.h"
#include "processing/extractors/extraction_result.h"
#include "processing/extractors/office_extraction.h"
#include "processing/nan_items_processing.h"
#include "processing/nan_items_processing_internal.h"
#include "processing/pipeline/digital_text_enrichment_queue.h"
#include "storage/fts_tools.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {

using detail::cancellationPoll;
using detail::ftsDocument;
using detail::isRecognisedPage;
using detail::stillRegistered;

namespace {

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
                                           std::string cacheKey, std::optional<std::string> cachedRecognition) {
    auto ticket = std::make_shared<EnrichmentTicket>(EnrichmentTicket{
        context, item, storedDigitalText, std::move(pages), std::move(cacheKey), std::move(cachedRecognition)});
    {
        std::lock_guard lock(context->mutex);
        ++context->pending;
    }
    {
        std::lock_guard lock(enrichmentMutex_);
        awaitingRecognition_[item.combinedHash].push_back(std::move(ticket));
    }
    updateStats(context->rootFolderUrl, [](FolderProcessingStats& s) { ++s.enrichmentsQueued; });
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
    const CancellationToken& token = ticket->context->cancellationToken;
    std::optional<std::string> text;
    try {
        if (!token.isCancelled() && ticket->cachedRecognition) {
            text = ticket->cachedRecognition;  // the same bytes were recognised before
        } else if (!token.isCancelled()) {
            text = options_.enrichmentRecogniser ? options_.enrichmentRecogniser(item) : runEnrichmentJob(*ticket);
            const auto& cache = ticket->context->contentCache;
            if (text && cache && !ticket->cacheKey.empty() && !token.isCancelled()) cache->setAddedText(ticket->cacheKey, *text);
        }
    } catch (const std::exception& e) {
        log("[DigitalTextEnrichment] recognition failed for: " + item.urlString + ": " + e.what());
        text.reset();
    }
    if (text && token.isCancelled()) text.reset();
    // The queue stores only when words are missing; whoever ends the enrichment releases the run.
    const bool storeFollows = text && !findMissingWords(ticket->digitalText, *text).words.empty();
    if (storeFollows) {
        std::lock_guard lock(enrichmentMutex_);
        awaitingStore_[item.combinedHash].push_back(ticket);
    } else {
        // Nothing missing, or a recognition that failed for good: done. A cancelled one is done later.
        if (!token.isCancelled()) {
            storage::PendingEnrichments(ticket->context->manager->folderDataDirectory()).remove(item.combinedHash);
        }
        ticket->context->finishOne();
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
    // A failed write keeps the promise: the next start reads the document again.
    if (stored) pending.remove(item.combinedHash);
    else log("[DigitalTextEnrichment] Ergänzung nicht gespeichert, wird beim nächsten Start wiederholt: " + item.urlString);
}

std::optional<std::string> NanItemsProcessing::runEnrichmentJob(const EnrichmentTicket& ticket) {
    EnrichmentContext& context = *ticket.context;
    ExtractionJobOptions options;
    options.lowResImages = context.lowResImages;
    options.rootFolderUrl = context.rootFolderUrl;
    options.pages = ticket.pages;
    auto done = std::make_shared<std::promise<ExtractionOutcome>>();
    auto outcomeFuture = done->get_future();
    // An office document is recognised in the PDF it was converted to.
    const std::filesystem::path path = route(ticket.item) == folders::FileRoute::cloud
                                           ? convertedPdfPath(context.manager->folderDataDirectory(), ticket.item)
                                           : std::filesystem::path(ticket.item.urlString);
    ExtractionRequest request{std::string(enrichPdfJob), path, encodeJobOptions(options), std::nullopt};
    request.deferrable = true;  // the document is searchable already; others may not be
    const auto id = pool_->submit(
        std::move(request),
        [this, &context](const std::string& payload) {
            if (!isRecognisedPage(payload)) return;
            context.manager->throttledProgressUpdater().addOcrPages(1);
            diagnostics_.increment("ocr.page");
            updateStats(context.rootFolderUrl, [](FolderProcessingStats& s) { ++s.pagesRecognised; });
        },
        [done](ExtractionOutcome outcome) { done->set_value(std::move(outcome)); });
    bool cancelSent = false;
    while (outcomeFuture.wait_for(cancellationPoll) != std::future_status::ready) {
        if (!cancelSent && context.cancellationToken.isCancelled()) {
            cancelSent = true;
            pool_->cancel(id);
        }
    }
    const ExtractionOutcome outcome = outcomeFuture.get();
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
    return std::move(result->text);
}

}  // namespace lumidex::processing
