// The page loop over a PDF: render each page at the bounded resolution, recognise its text, write its
// previews, report it as handled.
//
// The steps run one after another, never overlapping: page i + 1 is rendered only once page i has been
// recognised and its previews encoded, so at most one page bitmap is alive at once and the recogniser's
// peak is not added to the renderer's (the worker processes keep the cores busy, one each). The
// cancellation token is tested before each page: when it is set the
// loop throws MyCancellationError and its partial result is dropped (the item is taken up by a later run).
// A page that cannot be rendered (empty page box, renderer failure) contributes no text and no previews;
// a recognition error is logged by SlimOcr and the page contributes no text. Neither stops the loop.
// Thread-safety: processPages() blocks its caller until the document is done; different calls may run
// on different threads at once. updateHandledPage runs on the calling thread once per finished page and
// says whether recognition read that page (false for a page left out, not rendered or failed).
// Exceptions from updateHandledPage or the preview writer propagate to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "core/model/ocr_rect.h"
#include "platform/bitmap.h"
#include "platform/pdf_document.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "processing/recognition/slim_ocr.h"

namespace lumidex::processing {

struct PdfPagesResult {
    int64_t pageCount = 0;
    // One entry per page, in page order. ocrResultStates: recognized, failed (recognition error), or
    // skipped (no bitmap, or recognition not asked for).
    std::vector<SlimOcrResult> pages;

    // The page transcripts joined with single spaces.
    std::string text() const;
    // The lines of every page as rectangle records of one document version.
    std::vector<OcrRect> ocrRects(uint32_t combinedHash) const;
};

struct PagePreviews {
    const SaveNanImagesHelper* helper = nullptr;  // null: no previews
    std::string key;                              // SaveNanImagesHelper::imageKey(item)
    bool thumbnailOnly = false;
};

class PdfProcessing {
public:
    using UpdateHandledPage = std::function<void(int64_t pageIndex, bool recognised)>;

    PdfProcessing(bool lowResImages, SlimOcr slimOcr, CancellationToken cancellationToken,
                  UpdateHandledPage updateHandledPage, platform::PdfRenderColor renderColor = platform::PdfRenderColor::rgb);

    bool lowResImages() const { return lowResImages_; }
    const SlimOcr& slimOcr() const { return slimOcr_; }
    const CancellationToken& cancellationToken() const { return cancellationToken_; }

    // Which pages the loop renders and recognises; a page left out is neither rendered nor shown in
    // previews and is reported as skipped.
    using PageFilter = std::function<bool(int pageIndex)>;

    // The part of a page to render and recognise instead of the whole (nullopt: the whole page). Lines
    // found in a part are placed within the part, so it is for pages whose words are wanted, not
    // their rectangles; a page rendered in part gets no previews.
    using PageRegion = std::function<std::optional<platform::PdfRegion>(int pageIndex)>;

    // recognizeText false: only renders the pages for their previews (documents with digital text).
    // An empty filter takes every page.
    PdfPagesResult processPages(const platform::PdfDocument& document, const PagePreviews& previews = {},
                                bool recognizeText = true, const PageFilter& pageFilter = {},
                                const PageRegion& pageRegion = {}) const;

    // One page at the size of renderSize(), grey pages as one channel; nullopt for an empty page box or
    // a renderer failure.
    static std::optional<platform::Bitmap> renderPage(const platform::PdfDocument& document, int pageIndex,
                                                      bool lowResImages,
                                                      platform::PdfRenderColor color = platform::PdfRenderColor::rgb);
    // The pixels of `region` in that rendering; nullopt as above, and for a region off the page.
    static std::optional<platform::Bitmap> renderRegion(const platform::PdfDocument& document, int pageIndex,
                                                        platform::PdfRegion region, bool lowResImages,
                                                        platform::PdfRenderColor color = platform::PdfRenderColor::rgb);

private:
    bool lowResImages_;
    SlimOcr slimOcr_;
    CancellationToken cancellationToken_;
    UpdateHandledPage updateHandledPage_;
    platform::PdfRenderColor renderColor_;
};

}  // namespace lumidex::processing
