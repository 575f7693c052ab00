#include "service/index_status.h"

#include <algorithm>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "core/grouped_number.h"
#include "folders/coordinator/coordinator_states.h"
#include "folders/scanning/file_types.h"
#include "service/document_service.h"
#include "storage/pending_enrichments.h"
#include "storage/shard_layout.h"

namespace lumidex::service {
namespace fs = std::filesystem;

namespace {

void countPreviews(FolderIndexStatus& status, const NanItem& item, const fs::path& folderDataDirectory,
                   const std::unordered_set<uint32_t>& owing) {
    if (item.processingState != NanItemProcessingStates::complete) return;
    if (folders::routeForExtension(folders::lowerCaseExtension(item.urlString)) == folders::FileRoute::text) return;
    // The pages drawn ahead; later ones are drawn when opened.
    const int64_t ahead = storage::PendingPreviews::pagesDrawnAhead(item.totalPageCount);
    status.previewPages += ahead;
    if (!owing.contains(item.combinedHash)) return;
    for (int64_t page = 1; page <= ahead; ++page) {
        std::error_code ec;
        if (!fs::exists(folderDataDirectory / thumbnailFileName(item, page), ec)) ++status.previewsOwed;
    }
}

void countConversions(FolderIndexStatus& status, const NanItem& item, const std::unordered_set<uint32_t>& owing) {
    if (folders::routeForExtension(folders::lowerCaseExtension(item.urlString)) != folders::FileRoute::cloud) return;
    using S = NanItemProcessingStates;
    // One that could not be read at all was never converted; it is counted among the errors.
    if (item.processingState != S::complete) return;
    if (owing.contains(item.combinedHash)) {
        ++status.officeDocuments;
        ++status.conversionsPending;
    } else if (item.totalPageCount == 0) {
        // Stored with its own text alone (no pages) and owing nothing: its conversion failed for good.
        ++status.conversionsFailed;
    } else {
        ++status.officeDocuments;
    }
}

void count(FolderIndexStatus& status, const NanItem& item) {
    ++status.documents;
    using S = NanItemProcessingStates;
    switch (item.processingState) {
        case S::complete: ++status.searchable; return;
        case S::error:
        case S::cloudFailed: ++status.errors; return;
        case S::pdfLocked: ++status.locked; return;
        case S::notSupported: ++status.notSupported; return;
        default: break;
    }
    if (folders::routeForExtension(folders::lowerCaseExtension(item.urlString)) == folders::FileRoute::cloud) {
        ++status.waitingForOfficeText;
    } else {
        ++status.waiting;
    }
}

std::vector<fs::path> damagedFiles(const fs::path& folderDataDirectory) {
    std::vector<fs::path> found;
    for (auto kind : {storage::StoreKind::items, storage::StoreKind::fullText, storage::StoreKind::numbers,
                      storage::StoreKind::ocrRects}) {
        std::error_code ec;
        for (fs::directory_iterator it(folderDataDirectory / storage::subdirectory(kind), ec);
             !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.find(".sqlite.damaged-") != std::string::npos && !name.ends_with("-wal") && !name.ends_with("-shm"))
                found.push_back(it->path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

std::vector<FolderIndexStatus> indexStatus(const search::FolderListFunction& folders,
                                           const std::function<fs::path(const std::string& root)>& folderDataDirectoryOf) {
    std::vector<FolderIndexStatus> statuses;
    for (const auto& folder : folders ? folders() : std::vector<std::shared_ptr<search::SearchableFolderIndex>>{}) {
        FolderIndexStatus status;
        status.folder = folder->rootPath();
        const fs::path data = folderDataDirectoryOf(status.folder);
        const std::vector<uint32_t> owing = storage::PendingPreviews(data).list();
        const std::unordered_set<uint32_t> owingSet(owing.begin(), owing.end());
        const storage::PendingConversions conversions(data);
        const std::vector<uint32_t> unconverted = conversions.list();
        std::unordered_set<uint32_t> unconvertedSet(unconverted.begin(), unconverted.end());
        const std::vector<NanItem> items = folder->allItems();
        // A document stored with its own text while the items were read has its marker made before it
        // was saved: listed again now, it is owed, not taken for a conversion that failed.
        for (const uint32_t combinedHash : conversions.list()) unconvertedSet.insert(combinedHash);
        for (const NanItem& item : items) {
            count(status, item);
            countPreviews(status, item, data, owingSet);
            countConversions(status, item, unconvertedSet);
        }
        folder->closeStores();
        status.previewsPending = static_cast<int64_t>(owing.size());
        status.recognitionPending = static_cast<int64_t>(storage::PendingEnrichments(data).list().size());
        status.damagedFilesKeptAside = damagedFiles(data);
        statuses.push_back(std::move(status));
    }
    return statuses;
}

std::vector<UnreadableDocument> unreadableDocuments(const search::FolderListFunction& folders) {
    std::vector<UnreadableDocument> found;
    for (const auto& folder : folders ? folders() : std::vector<std::shared_ptr<search::SearchableFolderIndex>>{}) {
        const std::size_t first = found.size();
        for (NanItem& item : folder->allItems()) {
            using S = NanItemProcessingStates;
            std::string reason;
            switch (item.processingState) {
                case S::pdfLocked: reason = "The pdf file is encrypted/locked with a password."; break;
                case S::error: reason = "The file could not be read; the debug log says why."; break;
                case S::cloudFailed: reason = "The office file could not be converted to PDF."; break;
                default: continue;
            }
            found.push_back({std::move(item), std::move(reason)});
        }
        folder->closeStores();
        std::sort(found.begin() + static_cast<std::ptrdiff_t>(first), found.end(),
                  [](const UnreadableDocument& a, const UnreadableDocument& b) { return a.item.urlString < b.item.urlString; });
    }
    return found;
}

std::string describePasses(const FolderIndexStatus& status) {
    return passesLine(status.searchable, status.searchable + status.waiting + status.waitingForOfficeText,
                      status.previewPages, status.previewsOwed, status.officeDocuments, status.conversionsPending,
                      status.recognitionPending);
}

std::string indexStatusJson(const std::vector<FolderIndexStatus>& statuses, const std::string& officeConverterMissing) {
    nlohmann::json folders = nlohmann::json::array();
    for (const FolderIndexStatus& s : statuses) {
        nlohmann::json damaged = nlohmann::json::array();
        for (const fs::path& path : s.damagedFilesKeptAside) damaged.push_back(path.string());
        folders.push_back({{"folder", s.folder},
                           {"documents", s.documents},
                           {"searchable", s.searchable},
                           {"waiting", s.waiting},
                           {"waiting_for_office_text", s.waitingForOfficeText},
                           {"errors", s.errors},
                           {"locked", s.locked},
                           {"not_supported", s.notSupported},
                           {"recognition_pending", s.recognitionPending},
                           {"preview_pages", s.previewPages},
                           {"previews_owed", s.previewsOwed},
                           {"previews_pending", s.previewsPending},
                           {"office_documents", s.officeDocuments},
                           {"conversions_pending", s.conversionsPending},
                           {"conversions_failed", s.conversionsFailed},
                           {"damaged_files_kept_aside", damaged}});
    }
    nlohmann::json report{{"folders", folders}};
    report["office_converter_missing"] = officeConverterMissing.empty() ? nlohmann::json() : nlohmann::json(officeConverterMissing);
    return report.dump(2);
}

}  // namespace lumidex::service
