// The storing half of a processing run: its finished jobs' results written to the folder's stores in
// groups, and the items' states saved.
#include "processing/nan_items_processing_run.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "core/app_log.h"
#include "core/diagnostics_collector.h"
#include "core/hashing.h"
#include "processing/pipeline/content_reuse.h"
#include "processing/pipeline/digital_text_enrichment_queue.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "storage/fts_tools.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {

using detail::Clock;
using detail::ftsDocument;
using detail::profiledType;
using detail::Reason;
using detail::secondsBetween;
using detail::stillRegistered;

namespace {

// When the document's content came to be: the file's creation date, or its modification date when the
// file system does not know one. Processing time would be meaningless in date searches.
Date contentCreatedDate(const NanItem& item) {
    return secondsSince1970(item.fileCreatedDate) > 0 ? item.fileCreatedDate : item.fileModifiedDate;
}

// Why a finished document is stored without searchable text although it has some, or nullopt: text
// with no word in it (only punctuation, symbols or rules), or pages that draw glyphs which map to no
// characters and which recognition did not read either.
std::optional<std::string> reasonWithoutText(const ExtractionResult& result, const std::string& folded) {
    if (result.state != NanItemProcessingStates::complete) return std::nullopt;
    if (storage::FtsTools::hasToken(folded)) return std::nullopt;
    if (result.text.find_first_not_of(" \t\r\n") != std::string::npos) {
        return std::to_string(result.text.size()) + " bytes of text hold no letter or digit";
    }
    if (result.glyphPagesWithoutText > 0) {
        return std::to_string(result.glyphPagesWithoutText) +
               " pages draw text whose fonts map it to no characters, and recognition found none";
    }
    return std::nullopt;
}

// The previews of pages [from, to) are an earlier version's, if any: the key stays when a file changes.
// Left in place, they would be shown for the new version and taken for drawn by the preview pass.
void removeEarlierPreviews(const std::filesystem::path& dataDirectory, const NanItem& item, int64_t from, int64_t to) {
    const std::string key = SaveNanImagesHelper::imageKey(item);
    std::error_code ec;
    for (int64_t page = from; page < to; ++page) {
        std::filesystem::remove(dataDirectory / SaveNanImagesHelper::thumbnailFileName(key, page), ec);
        std::filesystem::remove(dataDirectory / SaveNanImagesHelper::pageImageFileName(key, page), ec);
    }
}

}  // namespace

bool NanItemsProcessing::Run::persist(std::vector<Completion>& batch) {
    const std::string& folder = settings_.rootFolderUrl;
    if (settings_.cancellationToken.isCancelled()) {
        // A stopped run persists nothing more: these items are taken up again by a later run.
        owner_.updateStats(folder, [&](FolderProcessingStats& s) { s.interrupted += static_cast<int64_t>(batch.size()); });
        return true;
    }
    const auto started = Clock::now();
    struct Persisted {
        Job* job;
        NanItem item;
        ExtractionResult result;
        std::string_view resultJson;  // as the worker sent it, for the content cache
    };
    std::vector<Persisted> items;
    std::vector<NanItem> toSave;
    // A file that cannot be read is still the user's document: its name and folder keep finding it.
    std::vector<storage::FtsDocument> texts;
    // The conversion pass keeps the rows of the document's own text instead.
    const auto keepFindableByName = [&](const NanItem& failed) {
        if (!conversionPass_ && stillRegistered(manager_, failed)) texts.push_back(ftsDocument(failed, {}));
    };
    FolderProcessingStats delta;
    // The conversion pass: documents whose conversion has ended, for good or not; their markers go
    // once the results are stored. Of those, the ones that will never be converted.
    std::vector<uint32_t> settled;
    std::unordered_set<uint32_t> unconvertible;
    const bool haveConverter = !owner_.officeConversionUnavailable();
    // Handed to the run only once the batch is stored: a batch kept for another try would hand them twice.
    std::vector<Pending> convertNow;
    for (Completion& completion : batch) {
        NanItem item = completion.job->pending.item;
        if (conversionPass_) {
            // Read again or replaced meanwhile: the conversion is of a version no longer stored.
            const auto current = manager_.itemByCombinedHash(item.combinedHash);
            if (!current || current->processingState != NanItemProcessingStates::complete ||
                current->contentHash != item.contentHash) {
                owner_.log("[NanItemsProcessing] Umwandlung verworfen, das Dokument wurde inzwischen neu gelesen: " +
                           item.urlString);
                ++delta.interrupted;
                continue;
            }
        }
        std::optional<ExtractionResult> result;
        std::string failure;
        if (!completion.outcome.ok()) {
            const Reason reason = completion.outcome.failure().reason;
            if (reason == Reason::cancelled || reason == Reason::workerUnavailable) {
                owner_.log("[NanItemsProcessing] nicht verarbeitet, bleibt für einen späteren Lauf: " + item.urlString +
                           " (" + completion.outcome.description() + ")");
                ++delta.interrupted;
                continue;
            }
            failure = completion.outcome.description();
        } else {
            std::string error;
            result = decodeExtractionResult(completion.outcome.resultJson(), error);
            if (!result) failure = error;
        }
        if (completion.job->officeTextOnly && (!result || result->state != NanItemProcessingStates::complete)) {
            const std::string why = result ? result->message : failure;
            if (haveConverter) {
                // Its own text is out of reach: the converter reads it in this run, as without text first.
                owner_.log("[NanItemsProcessing] eigener Text nicht lesbar, wird gleich umgewandelt: " + item.urlString +
                           ": " + why);
                convertNow.push_back(completion.job->pending);
                convertNow.back().convertFirst = true;
            } else {
                keepFindableByName(item);
                ++delta.waitingForCloud;
            }
            continue;
        }
        if (conversionPass_) {
            // The document stays as its own text stored it, owing its conversion to a later pass.
            if (!result || completion.job->conversionMayRetry) {
                owner_.log("[NanItemsProcessing] Umwandlung nicht abgeschlossen, bleibt vorgemerkt: " + item.urlString +
                           ": " + (result ? result->message : failure));
                ++delta.interrupted;
                continue;
            }
            settled.push_back(item.combinedHash);
        } else {
            owner_.log("Erneut verarbeitet: " + item.urlString);
        }
        const bool unreadable = !result || result->state == NanItemProcessingStates::error;
        if (unreadable && !completion.job->convertedFrom.empty()) {
            owner_.options_.officeConversion->processingFailed(completion.job->convertedFrom);
        }
        if (conversionPass_ && result->state != NanItemProcessingStates::complete) {
            // Not convertible for good: reported like any failed conversion, while the document stays
            // complete with its own text, searchable and known by its content.
            unconvertible.insert(item.combinedHash);
            if (result->state == NanItemProcessingStates::pdfLocked) {
                owner_.log("[NanItemsProcessing] gesperrt: " + item.urlString + ": " + result->message);
                ++delta.locked;
            } else if (result->state == NanItemProcessingStates::notSupported) {
                owner_.log("[NanItemsProcessing] nicht gelesen: " + item.urlString + ": " + result->message);
                ++delta.notRead;
            } else {
                owner_.log("[NanItemsProcessing] Datei nicht lesbar: " + item.urlString + ": " + result->message);
                ++delta.errors;
            }
            continue;
        }
        if (!result) {
            owner_.log("[NanItemsProcessing] Verarbeitung fehlgeschlagen: " + item.urlString + ": " + failure);
            item.processingState = NanItemProcessingStates::error;
            ++delta.errors;
            ++delta.documentsProcessed;
            keepFindableByName(item);
            toSave.push_back(std::move(item));
            continue;
        }
        item.processingState = result->state;
        if (result->state == NanItemProcessingStates::error) {
            owner_.log("[NanItemsProcessing] Datei nicht lesbar: " + item.urlString + ": " + result->message);
            ++delta.errors;
            ++delta.documentsProcessed;
            keepFindableByName(item);
            toSave.push_back(std::move(item));
            continue;
        }
        if (result->state == NanItemProcessingStates::pdfLocked) {
            owner_.log("[NanItemsProcessing] gesperrt: " + item.urlString + ": " + result->message);
            ++delta.locked;
        }
        if (result->state == NanItemProcessingStates::notSupported) {
            owner_.log("[NanItemsProcessing] nicht gelesen: " + item.urlString + ": " + result->message);
            ++delta.notRead;
        }
        item.totalPageCount = result->totalPageCount;
        item.contentHash = contentHash(result->text);
        item.fileContentCreatedDate = contentCreatedDate(item);
        ++delta.documentsProcessed;
        items.push_back(Persisted{completion.job.get(), std::move(item), std::move(*result), completion.outcome.resultJson()});
    }

    std::vector<OcrRect> rects;
    std::vector<storage::FtsDocument> numbers;
    struct Enrichment {
        NanItem item;
        std::vector<int64_t> pages;
        Job* job;
    };
    std::vector<Enrichment> enrichments;
    struct DocumentPreviews {
        uint32_t combinedHash;
        std::string url;
        int64_t pages;
        int64_t owed;  // left to the preview pass
    };
    std::vector<DocumentPreviews> previews;
    std::vector<DocumentPreviews> conversions;  // stored with their own text, owing their conversion
    for (Persisted& persisted : items) {
        NanItem& item = persisted.item;
        ExtractionResult& result = persisted.result;
        if (!stillRegistered(manager_, item)) continue;  // saveItems drops it too
        const bool textOnly = persisted.job->officeTextOnly;
        // Those owing their conversion are counted once, when their debt is recorded.
        if (!conversionPass_ && !textOnly && persisted.job->pending.route == folders::FileRoute::cloud) {
            ++delta.officeDocuments;
        }
        if (textOnly) conversions.push_back(DocumentPreviews{item.combinedHash, item.urlString, 0, 1});
        // Files that are not read (an over-large text file) get no rows, like unsupported files.
        if (result.state != NanItemProcessingStates::notSupported) {
            if (!result.rects.empty()) {
                // A run that ended between writing rectangles and saving the item leaves rows behind.
                manager_.ocrRectsDatabaseBalancer().deleteRects(item.combinedHash);
                for (OcrRect& rect : result.rects) {
                    rect.id = Uuid::unique();
                    rect.combinedHash = item.combinedHash;
                    rects.push_back(std::move(rect));
                }
            }
            std::string folded = storage::FtsTools::fold(result.text);
            if (const auto reason = reasonWithoutText(result, folded)) {
                owner_.log("[NanItemsProcessing] ohne durchsuchbaren Text: " + item.urlString + ": " + *reason);
                if (!conversionPass_) ++delta.withoutText;  // the document was counted when its text was stored
            }
            if (std::string tokens = storage::FtsTools::numberTokens(folded); !tokens.empty()) {
                numbers.push_back(ftsDocument(item, std::move(tokens)));
            }
            // Only pages that draw an image able to hold text, or outlined text, can add words to a
            // digital text. An office document's PDF is a temporary copy the enrichment could not open.
            const bool pdfFile = persisted.job->pending.route == folders::FileRoute::pdf;
            if (pdfFile && result.digitalText && !folded.empty() && jobOptions_.recognizeText &&
                !result.enrichmentPages.empty()) {
                enrichments.push_back(Enrichment{item, std::move(result.enrichmentPages), persisted.job});
            }
            delta.pagesWithText += result.textPages;
            if (persisted.job->pending.route != folders::FileRoute::text && !textOnly) {
                const int64_t ahead = storage::PendingPreviews::pagesDrawnAhead(result.totalPageCount);
                previews.push_back(DocumentPreviews{item.combinedHash, item.urlString, ahead,
                                                    result.previewsDeferred ? ahead - 1 : 0});
                removeEarlierPreviews(manager_.folderDataDirectory(), item, previewPagesWritten(result),
                                      result.totalPageCount);
            }
            texts.push_back(ftsDocument(item, std::move(folded)));
            // Shown in snippets in the document's own words; nothing to show when none of it is indexed.
            texts.back().originalText = texts.back().foldedText.empty() ? std::string() : std::move(result.text);
        }
        toSave.push_back(item);
    }
    bool stored = rects.empty() || manager_.ocrRectsDatabaseBalancer().createOcrRectItem(rects);
    stored = (texts.empty() || manager_.ftsDatabaseBalancer().write(texts)) && stored;
    stored = (numbers.empty() || manager_.numbersDatabaseBalancer().write(numbers)) && stored;
    if (!stored && indexDiskIsFull()) {
        owner_.log("[NanItemsProcessing] Kein Speicherplatz für den Index, Verarbeitung pausiert: " +
                   std::to_string(toSave.size()) + " gelesene Dateien in " + folder + " werden danach gespeichert");
        owner_.diagnostics_.increment("processing.paused_disk_full");
        owner_.updateStats(folder, [](FolderProcessingStats& s) { s.pausedForDiskSpace = true; });
        return false;
    }
    if (!stored) {
        // Saved as done, these documents would never be searchable and never be read again. Left waiting,
        // the next scan reads them again and replaces whatever part of their rows did get written.
        owner_.log("[NanItemsProcessing] Ergebnisse nicht gespeichert, bleiben für den nächsten Lauf: " +
                   std::to_string(toSave.size()) + " Dateien in " + folder);
        owner_.diagnostics_.increment("processing.store_failed", static_cast<int64_t>(toSave.size()));
        delta.notStored += static_cast<int64_t>(toSave.size());
        delta.documentsProcessed = 0;
        delta.errors = 0;
        delta.locked = 0;
        delta.pagesWithText = 0;
        delta.officeDocuments = 0;
        toSave.clear();
        enrichments.clear();
        previews.clear();
        conversions.clear();
        settled.clear();
    }
    // Before the save that marks them complete: a crash from here on must not lose their recognition.
    // Without its marker a document saved complete would lose its recognition to a crash: it stays waiting.
    const storage::PendingEnrichments pending(manager_.folderDataDirectory());
    std::unordered_set<uint32_t> unmarked;
    for (const Enrichment& enrichment : enrichments) {
        const NanItem& item = enrichment.item;
        if (!pending.add(item.combinedHash, storage::EnrichmentPlan{enrichment.pages, enrichment.job->cacheKey})) {
            owner_.log("[DigitalTextEnrichment] Vormerkung nicht gespeichert, bleibt für den nächsten Lauf: " +
                       item.urlString);
            unmarked.insert(item.combinedHash);
        }
    }
    const storage::PendingPreviews owedPreviews(manager_.folderDataDirectory());
    for (const DocumentPreviews& document : previews) {
        if (document.owed > 0 && !owedPreviews.add(document.combinedHash)) {
            owner_.log("[NanItemsProcessing] Vormerkung der Vorschaubilder nicht gespeichert, bleibt für den nächsten Lauf: " +
                       document.url);
            unmarked.insert(document.combinedHash);
        }
    }
    const storage::PendingConversions owedConversions(manager_.folderDataDirectory());
    for (const DocumentPreviews& document : conversions) {
        if (!owedConversions.add(document.combinedHash)) {
            owner_.log("[NanItemsProcessing] Vormerkung der Umwandlung nicht gespeichert, bleibt für den nächsten Lauf: " +
                       document.url);
            unmarked.insert(document.combinedHash);
        }
    }
    if (!unmarked.empty()) {
        std::erase_if(toSave, [&](const NanItem& item) { return unmarked.contains(item.combinedHash); });
        std::erase_if(enrichments, [&](const Enrichment& e) { return unmarked.contains(e.item.combinedHash); });
        std::erase_if(previews, [&](const DocumentPreviews& p) { return unmarked.contains(p.combinedHash); });
        std::erase_if(conversions, [&](const DocumentPreviews& c) { return unmarked.contains(c.combinedHash); });
        delta.notStored += static_cast<int64_t>(unmarked.size());
        delta.documentsProcessed -= static_cast<int64_t>(unmarked.size());
    }
    delta.enrichmentsQueued = static_cast<int64_t>(enrichments.size());
    if (!toSave.empty() && !manager_.saveItems(toSave)) {
        delta.enrichmentsQueued = 0;
        // Their markers stay: a pass finding the item not complete settles them then.
        owner_.log("[NanItemsProcessing] Dateistatus nicht gespeichert, Vormerkungen bleiben: " +
                   std::to_string(toSave.size()) + " Dateien in " + folder);
        settled.clear();
    }
    int64_t reused = 0;
    for (const Persisted& persisted : items) {
        const Job& job = *persisted.job;
        if (!stored) break;
        if (job.fromCache) ++reused;
        if (cache_ && !job.fromCache && !job.cacheKey.empty()) keepInCache(job, persisted.resultJson);
    }
    delta.reusedFromCache = reused;
    for (const uint32_t combinedHash : settled) {
        if (!owedConversions.remove(combinedHash)) {
            owner_.log("[NanItemsProcessing] Vormerkung der Umwandlung nicht entfernt: " +
                       manager_.folderDataDirectory().string() + " " + std::to_string(combinedHash));
        }
        owner_.conversionPaid(folder, combinedHash, !unconvertible.contains(combinedHash));
    }
    // The pass converts documents already counted when their text was stored.
    if (conversionPass_) delta.documentsProcessed = 0;
    if (!conversionPass_) manager_.throttledProgressUpdater().addHandled(static_cast<int64_t>(toSave.size()));
    owner_.updateStats(folder, [&](FolderProcessingStats& s) {
        s.documentsProcessed += delta.documentsProcessed;
        s.enrichmentsQueued += delta.enrichmentsQueued;
        s.errors += delta.errors;
        s.locked += delta.locked;
        s.interrupted += delta.interrupted;
        s.notStored += delta.notStored;
        s.notRead += delta.notRead;
        s.withoutText += delta.withoutText;
        s.pagesWithText += delta.pagesWithText;
        s.reusedFromCache += delta.reusedFromCache;
        s.officeDocuments += delta.officeDocuments;
        s.waitingForCloud += delta.waitingForCloud;
        for (const DocumentPreviews& document : previews) s.previewPages += document.pages;
    });
    for (const DocumentPreviews& document : previews) {
        if (document.owed > 0) owner_.owePreviews(folder, document.combinedHash, document.owed, false);
    }
    for (const DocumentPreviews& document : conversions) owner_.oweConversion(folder, document.combinedHash, true);

    const auto ended = Clock::now();
    const double persistence = secondsBetween(started, ended) / static_cast<double>(std::max<std::size_t>(batch.size(), 1));
    for (const Persisted& persisted : items) {
        FileProfile profile;
        profile.combinedHash = persisted.item.combinedHash;
        profile.fileExtension = folders::lowerCaseExtension(persisted.item.urlString);
        profile.fileType = profiledType(persisted.job->pending.route);
        profile.pageCount = persisted.item.totalPageCount;
        profile.setPhase(ProfilePhase::queueWait, persisted.job->queueWait);
        for (const auto& [name, seconds] : persisted.result.phases) {
            if (auto phase = profilePhaseFromRaw(name)) profile.setPhase(*phase, seconds);
        }
        profile.setPhase(ProfilePhase::resultPersistence, persistence);
        profile.setPhase(ProfilePhase::totalProcessing, secondsBetween(persisted.job->dispatched, ended));
        owner_.profiler_.record(std::move(profile));
    }

    for (Pending& later : convertNow) convertNow_.push_back(std::move(later));

    return true;
}

}  // namespace lumidex::processing
