// The preview pass of NanItemsProcessing: the page previews of PDFs with digital text that their
// extraction left for later, drawn one document per worker at a time once a folder's text is stored.
#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <optional>

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
    // A run's new marker starts again without tries.
    if (!uncounted) unrecordedPreviewTries_[folder].erase(combinedHash);
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
    // Jobs report here as they end, so that the first to end frees its place, not the oldest.
    struct Ended {
        uint32_t combinedHash = 0;
        std::string url;
        PreviewJob job = PreviewJob::interrupted;
        uint64_t slot = 0;  // its entry in `jobs`
    };
    std::mutex endedMutex;
    std::condition_variable endedChanged;
    // Never more than `parallel` entries: reserved, so that reporting cannot fail for want of memory
    // (a job that could not report would be waited for forever).
    std::vector<Ended> ended;
    ended.reserve(parallel);
    const auto report = [&](Ended end) {
        std::lock_guard lock(endedMutex);
        ended.push_back(std::move(end));
        endedChanged.notify_one();
    };
    // After what the jobs report to, so that it is gone only once they are (an exception on the way out).
    // Each is joined as it reports, not at the end of the pass: a folder owes thousands of documents.
    std::map<uint64_t, std::future<void>> jobs;
    uint64_t nextSlot = 0;
    std::size_t inFlight = 0;
    bool finished = true;
    bool stop = false;  // a job was interrupted, or the disk is full: no further document
    // What this process knows of a marker beyond its file (see unrecordedPreviewTries_).
    const auto unrecorded = [&](uint32_t combinedHash) -> std::optional<int> {
        std::lock_guard lock(statsMutex_);
        const auto& tries = unrecordedPreviewTries_[folder];
        if (const auto found = tries.find(combinedHash); found != tries.end()) return found->second;
        return std::nullopt;
    };
    const auto setUnrecorded = [&](uint32_t combinedHash, std::optional<int> tries) {
        std::lock_guard lock(statsMutex_);
        if (tries) unrecordedPreviewTries_[folder][combinedHash] = *tries;
        else unrecordedPreviewTries_[folder].erase(combinedHash);
    };
    // Counts a try that ended the worker or could not be written; false while tries are left.
    const auto givenUp = [&](const Ended& next) {
        const int attempts = std::max(pending.attempts(next.combinedHash), unrecorded(next.combinedHash).value_or(0)) + 1;
        if (attempts < previewAttempts) {
            if (!pending.setAttempts(next.combinedHash, attempts)) {
                log("[NanItemsProcessing] Versuch der Vorschaubilder nicht vermerkt: " + next.url);
                setUnrecorded(next.combinedHash, attempts);
            }
            return false;
        }
        log("[NanItemsProcessing] Vorschaubilder nach " + std::to_string(attempts) + " Versuchen aufgegeben: " + next.url);
        return true;
    };
    // Waits for a document in flight to end and settles its marker.
    const auto settleNext = [&] {
        Ended next;
        {
            std::unique_lock lock(endedMutex);
            endedChanged.wait(lock, [&] { return !ended.empty(); });
            next = std::move(ended.front());
            ended.erase(ended.begin());
        }
        --inFlight;
        jobs.erase(next.slot);  // it has reported: its thread is ending
        switch (next.job) {
            case PreviewJob::interrupted:
                finished = false;
                stop = true;
                return;
            case PreviewJob::notWritten:
                if (diskIsFull(dataDirectory)) {
                    // The next document would fail too: the pass ends here, and nothing counts as tried.
                    log("[NanItemsProcessing] Vorschaubilder nicht geschrieben, bleiben vorgemerkt: " + next.url);
                    finished = false;
                    stop = true;
                    return;
                }
                // Something in the way of this document's previews alone.
                if (!givenUp(next)) {
                    finished = false;
                    return;
                }
                break;
            case PreviewJob::workerFailed:
                if (!givenUp(next)) {
                    finished = false;
                    return;
                }
                break;
            case PreviewJob::drawn:
            case PreviewJob::failed: break;  // pages that are opened later are drawn then
        }
        if (pending.remove(next.combinedHash)) {
            setUnrecorded(next.combinedHash, std::nullopt);
        } else {
            log("[NanItemsProcessing] Vormerkung der Vorschaubilder nicht entfernt: " + dataDirectory.string() + " " +
                std::to_string(next.combinedHash));
            setUnrecorded(next.combinedHash, previewSettled);
        }
        previewsPaid(folder, next.combinedHash);
    };
    // The markers still owed: not those this process settled but could not remove.
    const auto owed = [&] {
        std::vector<uint32_t> hashes = pending.list();
        std::erase_if(hashes, [&](uint32_t combinedHash) { return unrecorded(combinedHash) == previewSettled; });
        return hashes;
    };
    for (const uint32_t combinedHash : owed()) {
        while (inFlight >= parallel && !stop) settleNext();
        if (stop || settings.cancellationToken.isCancelled() || (yield && yield())) {
            finished = false;
            break;
        }
        const auto item = manager.itemByCombinedHash(combinedHash);
        // A version replaced or removed meanwhile owes nothing; its successor has its own marker.
        const bool current = item && item->processingState == NanItemProcessingStates::complete;
        std::vector<int64_t> pages = current ? SaveNanImagesHelper::pagesWithoutThumbnail(dataDirectory, *item) : std::vector<int64_t>{};
        std::erase_if(pages, [](int64_t page) { return page >= storage::PendingPreviews::pagesAhead; });
        // A document an earlier process deferred is counted when the pass comes to it.
        owePreviews(folder, combinedHash, static_cast<int64_t>(pages.size()), true);
        Ended end{combinedHash, current ? item->urlString : std::string(), PreviewJob::drawn, nextSlot++};
        ++inFlight;
        if (pages.empty()) {
            report(std::move(end));
            continue;
        }
        end.job = PreviewJob::interrupted;
        auto& job = jobs[end.slot];
        job = std::async(std::launch::async, [this, &manager, &settings, &report, document = *item,
                                              pages = std::move(pages), end = std::move(end)]() mutable {
            try {
                end.job = runPreviewJob(manager, settings, document, std::move(pages));
            } catch (const std::bad_alloc&) {
                end.job = PreviewJob::interrupted;  // owed still
            } catch (const std::exception& e) {
                end.job = PreviewJob::workerFailed;
                try {
                    log("[NanItemsProcessing] Vorschaubilder nicht gezeichnet: " + end.url + ": " + e.what());
                } catch (...) {
                }
            } catch (...) {
                end.job = PreviewJob::workerFailed;
            }
            report(std::move(end));  // always: the pass waits for it
        });
    }
    // What is in flight ends either way; an interrupted one keeps its marker for the next pass.
    while (inFlight > 0) settleNext();
    return finished && owed().empty();
}

bool NanItemsProcessing::diskIsFull(const std::filesystem::path& directory) const {
    std::optional<std::uintmax_t> free;
    if (options_.freeBytes) {
        free = options_.freeBytes(directory);
    } else {
        std::error_code ec;
        const auto space = std::filesystem::space(directory, ec);
        if (!ec) free = space.available;
    }
    return free && *free < options_.minimumFreeBytes;
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
    std::string kind(previewsPdfJob);
    if (options_.previewJobKindOverride) {
        if (auto replaced = options_.previewJobKindOverride(item)) kind = std::move(*replaced);
    }
    ExtractionRequest request{std::move(kind), folders::onDiskPath(item.urlString), encodeJobOptions(options), std::nullopt};
    request.holdsDeferrableBack = false;  // the pass leaves a worker to the run's enrichments
    const auto id = pool_->submit(
        std::move(request), [](const std::string&) {}, [done](ExtractionOutcome outcome) { done->set_value(std::move(outcome)); });
    bool cancelSent = false;
    while (outcomeFuture.wait_for(cancellationPoll) != std::future_status::ready) {
        if (!cancelSent && settings.cancellationToken.isCancelled()) {
            cancelSent = true;
            pool_->cancel(id);
        }
    }
    const ExtractionOutcome outcome = outcomeFuture.get();
    // Stopped (a closed window, Ctrl-C in the terminal, whose signal reaches the workers too): owed
    // still, and no try counted against the document.
    if (settings.cancellationToken.isCancelled()) return PreviewJob::interrupted;
    if (!outcome.ok()) {
        using Reason = ExtractionFailure::Reason;
        const auto reason = outcome.failure().reason;
        if (reason == Reason::cancelled || reason == Reason::workerUnavailable) return PreviewJob::interrupted;
        log("[NanItemsProcessing] Vorschaubilder nicht gezeichnet: " + item.urlString + ": " + outcome.description());
        // The job itself said no (a document it cannot handle); anything else ended the worker.
        return reason == Reason::jobFailed ? PreviewJob::failed : PreviewJob::workerFailed;
    }
    std::string error;
    const auto result = decodeExtractionResult(outcome.resultJson(), error);
    if (!result) {
        log("[NanItemsProcessing] Vorschaubilder nicht gezeichnet: " + item.urlString + ": " + error);
        return PreviewJob::workerFailed;
    }
    if (result->state != NanItemProcessingStates::complete) {
        log("[NanItemsProcessing] Vorschaubilder nicht gezeichnet: " + item.urlString + ": " + result->message);
        return PreviewJob::failed;
    }
    return result->previewsNotWritten > 0 ? PreviewJob::notWritten : PreviewJob::drawn;
}

}  // namespace lumidex::processing
