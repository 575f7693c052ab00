// One indexed document as outside clients reach it by its id: its stored text, its recognised text
// rectangles, the thumbnails stored for its pages, and its removal from the index. Removal takes the
// document out of the item, full-text, numbers and rectangle stores; the user's file is never touched
// (a later scan that finds the file unchanged indexes it again).
//
// Pages are numbered from 1 in every argument and result here. A document's pages are its stored text
// cut at form feeds (a text without page breaks is one page) or, when it has no stored text, its
// recognised lines page by page.
//
// Thread-safety: every member may be called from any thread, concurrently; the folder coordinators
// and their stores serialise their own work. `core` is borrowed and must outlive the service. Failure
// behaviour: a store that cannot be read answers empty; nothing throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/nan_item.h"
#include "core/model/ocr_rect.h"
#include "service/index_lookup.h"

namespace lumidex::folders {
class BalancedDataManager;
class CoreManagerData;
}  // namespace lumidex::folders

namespace lumidex::service {

struct FoundDocument {
    NanItem item;
    std::shared_ptr<folders::BalancedDataManager> folder;  // the coordinator that owns the document
    std::string folderPath;
};

struct PageText {
    int64_t page = 1;
    std::string text;
};

struct PageRects {
    int64_t page = 1;
    std::vector<OcrRect> rects;  // in the order the rectangle store keeps them
};

enum class ThumbnailStatus { found, missing, notPng };

struct Thumbnail {
    ThumbnailStatus status = ThumbnailStatus::missing;
    std::string png;  // the PNG bytes when found
};

struct BulkRemoval {
    std::vector<uint32_t> removed;
    std::vector<uint32_t> notFound;  // unknown ids, and documents whose removal did not take
};

class DocumentService {
public:
    static constexpr size_t maxBulkIds = 100;

    explicit DocumentService(folders::CoreManagerData& core);

    // Draws the thumbnail of a page (0-based) of a document into its place in the folder's data
    // directory and returns the PNG, or nullopt. Set once by programs that link the document decoders
    // (the indexer); programs without one answer `missing` for thumbnails not drawn yet. Any thread.
    using ThumbnailDrawer = std::function<std::optional<std::string>(
        const NanItem& item, const std::filesystem::path& folderDataDirectory, int64_t pageIndex)>;
    static void setThumbnailDrawer(ThumbnailDrawer drawer);

    // The document version with this combinedHash in any running folder (folders still starting are
    // waited for), or nullopt.
    std::optional<FoundDocument> find(uint32_t documentId) const;
    // The document named by the id text: refused with "Invalid document ID" (bad request) or
    // "Document not found".
    std::optional<FoundDocument> find(std::string_view documentId, Refusal& refusal) const;

    // The document's text page by page in page order (see above), in its own spelling; empty when
    // nothing is stored. `damaged` is set when the stored text could not be read (then empty).
    std::vector<PageText> pages(const FoundDocument& document, bool& damaged) const;
    // Whether any text of the document is stored: extracted text or recognised rectangles.
    bool hasStoredText(const FoundDocument& document) const;
    // The recognised rectangles grouped by page in page order; with `page`, only that page's group
    // (no group when the page has none).
    std::vector<PageRects> rects(const FoundDocument& document, std::optional<int64_t> page = std::nullopt) const;
    // The stored thumbnail of a page; `notPng` when the stored file is not a PNG image. A page whose
    // thumbnail is not drawn yet (previews of later pages come after the text) is drawn now by the
    // drawer, when one is set, written where the processing would have put it, and returned; requests
    // for the same page at once draw it once. `missing` when there is nothing to draw it from (no drawer,
    // the document gone or damaged, no such page).
    Thumbnail thumbnail(const FoundDocument& document, int64_t page) const;

    // Removes the document from the index; false when it was still registered afterwards.
    bool remove(const FoundDocument& document) const;
    // Looks up and removes each id (at most maxBulkIds are expected; the caller enforces it).
    BulkRemoval remove(const std::vector<uint32_t>& documentIds) const;

private:
    folders::CoreManagerData& core_;
};

// The file name the processing gives the thumbnail of a page (1-based) of a document.
std::string thumbnailFileName(const NanItem& item, int64_t page);

}  // namespace lumidex::service
