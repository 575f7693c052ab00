// The preview pass of NanItemsProcessing: the page previews of PDFs with digital text that their
// extraction left for later, drawn one document per worker at a time once a folder's text is stored.
#include <algorithm>
#include <deque>
#include <future>

#include "folders/scanning/on_disk_path.h"
#include "processing/extractors/extraction_result.h"
#include "processing/nan_items_processing.h"
#include "processing/nan_items_processing_internal.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {

using detail::cancellationPoll;

void NanItemsProcessing::owePreviews(const std::string& folder, uint32_t combinedHash, int64_t pages, bool uncounted) {
    std::lock_guard lock(statsMutex_);
    const auto added = owedPreviews_[folder].try_emplace(combinedHash, pages).second;
    if (!added) return;
    stats_[folder].previewsOwed += pages;
    if (uncounted) stats_[folder].previewPages += pages;
}

void NanItemsProcessing::previewsPaid(const std::string& folder, uint32_t combinedHash) {
    std::lock_guard lock(statsMutex_);
    auto& owed = owedPreviews_[folder];
    if (const auto found = owed.find(combinedHash); found != owed.end()) {
        stats_[folder].previewsOwed -= found->second;
        owed.erase(found);
    }
}

bool NanItemsProcessing::renderDeferredPreviews(folders::BalancedDataManager& manager,
                                                const folders::ProcessingRunSettings& settings,
                                                const std::function<bool()>& yield) {
    const std::string& folder = settings.rootFolderUrl;
    const detail::FolderPassClaim running(statsMutex_, previewPassesRunning_, folder);
    if (!running.claimed()) return false;

    const std::filesystem::path dataDirectory = manager.folderDataDirectory();
    const storage::PendingPreviews pending(dataDirectory);
    // One document per worker but one at a time: drawn one after another, the pass kept a single core
    // busy while the others waited for the rare enrichment job; the worker left free draws a page someone
    // opens (an urgent job) without waiting for a whole document's previews.
    const std::size_t parallel = std::max<std::size_t>(pool_->workerCount(), 2) - 1;
    struct Drawing {
        uint32_t combinedHash;
        std::future<PreviewJob> job;
    };
    std::deque<Drawing> drawing;
    bool finished = true;
    // Waits for the oldest document in flight and settles its marker; false when it was interrupted.
    const auto settleOldest = [&] {
        Drawing oldest = std::move(drawing.front());
        drawing.pop_front();
        if (oldest.job.get() == PreviewJob::interrupted) return false;
        // Drawn, or unreadable for good: pages that are opened later are drawn then.
        if (!pending.remove(oldest.combinedHash)) {
            log("[NanItemsProcessing] Vormerkung der Vorschaubilder nicht entfernt: " + dataDirectory.string() + " " +
                std::to_string(oldest.combinedHash));
        }
        previewsPaid(folder, oldest.combinedHash);
        return true;
    };
    for (const uint32_t combinedHash : pending.list()) {
        if (drawing.size() >= parallel && !settleOldest()) {
            finished = false;
            break;
        }
        if (settings.cancellationToken.isCancelled() || (yield && yield())) {
            finished = false;
            break;
        }
        const auto item = manager.itemByCombinedHash(combinedHash);
        // A version replaced or removed meanwhile owes nothing; its successor has its own marker.
        const bool current = item && item->processingState == NanItemProcessingStates::complete;
        std::vector<int64_t> pages = current ? SaveNanImagesHelper::pagesWithoutThumbnail(dataDirectory, *item) : std::vector<int64_t>{};
        // A document an earlier process deferred is counted when the pass comes to it.
        owePreviews(folder, combinedHash, static_cast<int64_t>(pages.size()), true);
        std::future<PreviewJob> job;
        if (pages.empty()) {
            std::promise<PreviewJob> nothing;
            nothing.set_value(PreviewJob::drawn);
            job = nothing.get_future();
        } else {
            job = std::async(std::launch::async, [this, &manager, &settings, document = *item, pages = std::move(pages)]() mutable {
                return runPreviewJob(manager, settings, document, std::move(pages));
            });
        }
        drawing.push_back(Drawing{combinedHash, std::move(job)});
    }
    // What is in flight ends either way; an interrupted one keeps its marker for the next pass.
    while (!drawing.empty()) {
        if (!settleOldest()) finished = false;
    }
    return finished && pending.list().empty();
}

NanItemsProcessing::PreviewJob NanItemsProcessing::runPreviewJob(folders::BalancedDataManager& manager, const folders::ProcessingRunSettings& settings,
                                       const NanItem& item, std::vector<int64_t> pages) {
    ExtractionJobOptions options;
    options.lowResImages = settings.lowResImages;
    options.rootFolderUrl = settings.rootFolderUrl;
    options.dataDirectory = manager.folderDataDirectory();
    options.imageKey = SaveNanImagesHelper::imageKey(item);
    options.thumbnailOnly = true;
    options.pages = std::move(pages);
    auto done = std::make_shared<std::promise<ExtractionOutcome>>();
    auto outcomeFuture = done->get_future();
    const auto id = pool_->submit(
        ExtractionRequest{std::string(previewsPdfJob), folders::onDiskPath(item.urlString), encodeJobOptions(options),
                          std::nullopt},
        [](const std::string&) {}, [done](ExtractionOutcome outcome) { done->set_value(std::move(outcome)); });
    bool cancelSent = false;
    while (outcomeFuture.wait_for(cancellationPoll) != std::future_status::ready) {
        if (!cancelSent && settings.cancellationToken.isCancelled()) {
            cancelSent = true;
            pool_->cancel(id);
        }
    }
    const ExtractionOutcome outcome = outcomeFuture.get();
    if (!outcome.ok()) {
        const auto reason = outcome.failure().reason;
        if (reason == ExtractionFailure::Reason::cancelled || reason == ExtractionFailure::Reason::workerUnavailable) {
            return PreviewJob::interrupted;
        }
        log("[NanItemsProcessing] Vorschaubilder nicht gezeichnet: " + item.urlString + ": " + outcome.description());
        return PreviewJob::failed;
    }
    std::string error;
    const auto result = decodeExtractionResult(outcome.resultJson(), error);
    if (!result || result->state != NanItemProcessingStates::complete) {
        log("[NanItemsProcessing] Vorschaubilder nicht gezeichnet: " + item.urlString + ": " +
            (result ? result->message : error));
        return PreviewJob::failed;
    }
    return PreviewJob::drawn;
}

}  // namespace lumidex::processing
