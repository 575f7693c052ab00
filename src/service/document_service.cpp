#include "service/document_service.h"

#include <algorithm>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <mutex>

#include "folders/coordinator/core_manager_data.h"
#include "storage/fts_balancer.h"
#include "service/index_identity.h"
#include "storage/ocr_rects_balancer.h"

namespace lumidex::service {
namespace {

constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1a\n";

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

std::mutex drawerMutex;
DocumentService::ThumbnailDrawer& thumbnailDrawer() {
    static DocumentService::ThumbnailDrawer drawer;
    return drawer;
}

std::optional<std::string> drawThumbnail(const FoundDocument& document, int64_t page) {
    DocumentService::ThumbnailDrawer drawer;
    {
        std::lock_guard lock(drawerMutex);
        drawer = thumbnailDrawer();
    }
    if (!drawer) return std::nullopt;
    return drawer(document.item, document.folder->folderDataDirectory(), page - 1);
}

// Thumbnails being drawn on demand, by file: a request for a page another request is drawing waits
// for that drawing instead of making its own.
struct DrawingsInFlight {
    std::mutex mutex;
    std::map<std::filesystem::path, std::shared_future<std::optional<std::string>>> files;
};

std::optional<std::string> drawThumbnailOnce(const FoundDocument& document, int64_t page, const std::filesystem::path& file) {
    static DrawingsInFlight inFlight;
    std::promise<std::optional<std::string>> promise;
    std::shared_future<std::optional<std::string>> other;
    {
        std::lock_guard lock(inFlight.mutex);
        if (const auto found = inFlight.files.find(file); found != inFlight.files.end()) {
            other = found->second;
        } else {
            inFlight.files.emplace(file, promise.get_future().share());
        }
    }
    if (other.valid()) return other.get();
    std::optional<std::string> png;
    try {
        // Drawn and gone from the table between this request's look and its entry: read, not drawn again.
        if (auto bytes = readWholeFile(file)) png = std::move(bytes);
        else png = drawThumbnail(document, page);
    } catch (...) {
        // The waiting requests and the next one must not find a promise that is never kept.
        std::lock_guard lock(inFlight.mutex);
        promise.set_value(std::nullopt);
        inFlight.files.erase(file);
        throw;
    }
    std::lock_guard lock(inFlight.mutex);
    promise.set_value(png);
    inFlight.files.erase(file);
    return png;
}

}  // namespace

std::string thumbnailFileName(const NanItem& item, int64_t page) {
    // As the processing names the previews it writes: "<item id>_thumbmage_#<zero-based page>.png".
    return item.id.toString() + "_thumbmage_#" + std::to_string(page - 1) + ".png";
}

DocumentService::DocumentService(folders::CoreManagerData& core) : core_(core) {}

void DocumentService::setThumbnailDrawer(ThumbnailDrawer drawer) {
    std::lock_guard lock(drawerMutex);
    thumbnailDrawer() = std::move(drawer);
}

std::optional<FoundDocument> DocumentService::find(uint32_t documentId) const {
    for (auto& manager : core_.balancedDataManagers()) {
        if (!manager || manager->isCancelled()) continue;
        if (auto item = manager->itemByCombinedHash(documentId)) {
            std::string folderPath = manager->rootFolderUrlString();
            return FoundDocument{std::move(*item), std::move(manager), std::move(folderPath)};
        }
    }
    return std::nullopt;
}

std::optional<FoundDocument> DocumentService::find(std::string_view documentId, Refusal& refusal) const {
    const auto id = parseDocumentId(documentId);
    if (!id) {
        refusal = {RefusalKind::badRequest, "Invalid document ID"};
        return std::nullopt;
    }
    auto found = find(*id);
    if (!found) refusal = {RefusalKind::notFound, "Document not found"};
    return found;
}

std::vector<PageText> DocumentService::pages(const FoundDocument& document, bool& damaged) const {
    damaged = false;
    const uint32_t hash = document.item.combinedHash;
    std::vector<PageText> pages;
    for (auto& [storedHash, lazy] : document.folder->ftsDatabaseBalancer().storeFor(hash)->originalTexts({hash})) {
        if (storedHash != hash) continue;
        const std::string_view whole = lazy.prefix(lazy.size());
        if (lazy.damaged()) {
            damaged = true;
            return {};
        }
        std::size_t start = 0;
        for (int64_t page = 1;; ++page) {
            const auto end = whole.find('\f', start);
            pages.push_back({page, std::string(whole.substr(start, end == std::string_view::npos ? end : end - start))});
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
        return pages;
    }
    std::map<int64_t, std::string> byPage;
    for (const OcrRect& rect : document.folder->ocrRectsDatabaseBalancer().ocrRects(hash)) {
        std::string& text = byPage[rect.pageIndex + 1];
        if (!text.empty()) text += '\n';
        text += rect.ocrContent;
    }
    for (auto& [page, text] : byPage) pages.push_back({page, std::move(text)});
    return pages;
}

bool DocumentService::hasStoredText(const FoundDocument& document) const {
    const uint32_t hash = document.item.combinedHash;
    if (!document.folder->ftsDatabaseBalancer().storeFor(hash)->originalTexts({hash}).empty()) return true;
    return !document.folder->ocrRectsDatabaseBalancer().ocrRects(hash).empty();
}

std::vector<PageRects> DocumentService::rects(const FoundDocument& document, std::optional<int64_t> page) const {
    std::optional<int64_t> pageIndex;
    if (page) pageIndex = *page - 1;
    std::map<int64_t, std::vector<OcrRect>> byPage;
    for (OcrRect& rect : document.folder->ocrRectsDatabaseBalancer().ocrRects(document.item.combinedHash, pageIndex)) {
        byPage[rect.pageIndex].push_back(std::move(rect));
    }
    std::vector<PageRects> pages;
    for (auto& [index, rects] : byPage) pages.push_back(PageRects{index + 1, std::move(rects)});
    return pages;
}

Thumbnail DocumentService::thumbnail(const FoundDocument& document, int64_t page) const {
    Thumbnail thumbnail;
    if (page < 1) return thumbnail;
    const std::filesystem::path file = document.folder->folderDataDirectory() / thumbnailFileName(document.item, page);
    auto bytes = readWholeFile(file);
    // Not drawn yet (previews of later pages come after the text): drawn now, for this page alone.
    if (!bytes && page <= document.item.totalPageCount) bytes = drawThumbnailOnce(document, page, file);
    if (!bytes) return thumbnail;
    if (!bytes->starts_with(kPngSignature)) {
        thumbnail.status = ThumbnailStatus::notPng;
        return thumbnail;
    }
    thumbnail.status = ThumbnailStatus::found;
    thumbnail.png = std::move(*bytes);
    return thumbnail;
}

bool DocumentService::remove(const FoundDocument& document) const {
    document.folder->removeItems({document.item});
    const auto left = document.folder->itemByCombinedHash(document.item.combinedHash);
    return !left || left->urlString != document.item.urlString;
}

BulkRemoval DocumentService::remove(const std::vector<uint32_t>& documentIds) const {
    // One removal per folder, so that its stores are written once rather than once per document.
    std::map<folders::BalancedDataManager*, std::vector<FoundDocument>> byFolder;
    for (uint32_t id : documentIds) {
        if (auto document = find(id)) byFolder[document->folder.get()].push_back(std::move(*document));
    }
    std::map<uint32_t, bool> removed;
    for (auto& [folder, documents] : byFolder) {
        std::vector<NanItem> items;
        for (const FoundDocument& document : documents) items.push_back(document.item);
        folder->removeItems(items);
        for (const FoundDocument& document : documents) {
            const auto left = folder->itemByCombinedHash(document.item.combinedHash);
            removed[document.item.combinedHash] = !left || left->urlString != document.item.urlString;
        }
    }
    BulkRemoval removal;
    for (uint32_t id : documentIds) {
        const auto found = removed.find(id);
        (found != removed.end() && found->second ? removal.removed : removal.notFound).push_back(id);
    }
    return removal;
}

}  // namespace lumidex::service
