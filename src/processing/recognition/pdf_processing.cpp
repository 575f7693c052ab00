#include "processing/recognition/pdf_processing.h"

#include <algorithm>
#include <future>
#include <memory>

#include "processing/recognition/render_size.h"

namespace lumidex::processing {

std::string PdfPagesResult::text() const {
    std::string joined;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (i > 0) joined += ' ';
        joined += pages[i].transcript;
    }
    return joined;
}

std::vector<OcrRect> PdfPagesResult::ocrRects(uint32_t combinedHash) const {
    std::vector<OcrRect> rects;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        auto page = pages[i].ocrRects(combinedHash, static_cast<int64_t>(i));
        rects.insert(rects.end(), std::make_move_iterator(page.begin()), std::make_move_iterator(page.end()));
    }
    return rects;
}

PdfProcessing::PdfProcessing(bool lowResImages, SlimOcr slimOcr, CancellationToken cancellationToken,
                             UpdateHandledPage updateHandledPage, platform::PdfRenderColor renderColor)
    : lowResImages_(lowResImages),
      slimOcr_(slimOcr),
      cancellationToken_(std::move(cancellationToken)),
      updateHandledPage_(std::move(updateHandledPage)),
      renderColor_(renderColor) {}

std::optional<platform::Bitmap> PdfProcessing::renderPage(const platform::PdfDocument& document, int pageIndex,
                                                          bool lowResImages, platform::PdfRenderColor color) {
    const auto box = document.mediaBox(pageIndex);
    if (!box) return std::nullopt;
    const PixelSize size = renderSize(box->width, box->height, lowResImages);
    if (size.isEmpty()) return std::nullopt;
    std::optional<platform::Bitmap> page = document.renderPage(pageIndex, size.width, size.height, color);
    if (page) {
        platform::keepGrayAsOneChannel(*page);
        page->drawnAtPixelsPerInch = 72.0 * size.width / box->width;
    }
    return page;
}

std::optional<platform::Bitmap> PdfProcessing::renderRegion(const platform::PdfDocument& document, int pageIndex,
                                                            platform::PdfRegion region, bool lowResImages,
                                                            platform::PdfRenderColor color) {
    const auto box = document.mediaBox(pageIndex);
    if (!box) return std::nullopt;
    const double scale = renderScale(box->width, box->height, lowResImages);
    if (scale <= 0) return std::nullopt;
    std::optional<platform::Bitmap> part = document.renderRegion(pageIndex, region, scale, color);
    if (part) {
        platform::keepGrayAsOneChannel(*part);
        part->drawnAtPixelsPerInch = 72.0 * scale;
    }
    return part;
}

PdfPagesResult PdfProcessing::processPages(const platform::PdfDocument& document, const PagePreviews& previews,
                                           bool recognizeText, const PageFilter& pageFilter,
                                           const PageRegion& pageRegion) const {
    PdfPagesResult result;
    const int pageCount = document.pageCount();
    result.pageCount = pageCount;
    result.pages.reserve(static_cast<std::size_t>(std::max(pageCount, 0)));
    // `partial`: set when only a region of the page was drawn.
    auto render = [&](int pageIndex, bool& partial) -> std::shared_ptr<const platform::Bitmap> {
        partial = false;
        if (pageFilter && !pageFilter(pageIndex)) return nullptr;
        const std::optional<platform::PdfRegion> region = pageRegion ? pageRegion(pageIndex) : std::nullopt;
        partial = region.has_value();
        auto bitmap = region ? renderRegion(document, pageIndex, *region, lowResImages_, renderColor_)
                             : renderPage(document, pageIndex, lowResImages_, renderColor_);
        return bitmap ? std::make_shared<const platform::Bitmap>(std::move(*bitmap)) : nullptr;
    };

    // One step at a time: a worker process is one of as many as there are cores, so rendering the next
    // page or drawing previews while this page is recognised bought little time but added their
    // bitmaps (tens of megabytes) to the recogniser's peak.
    for (int i = 0; i < pageCount; ++i) {
        cancellationToken_.throwIfCancelled();
        bool partial = false;
        std::shared_ptr<const platform::Bitmap> page = render(i, partial);

        SlimOcrResult recognisedPage;
        recognisedPage.pageCount = pageCount;
        if (recognizeText && page) {
            SlimOcrOutcome outcome = slimOcr_.recognizeTextAsync(page, i, pageCount).get();
            if (outcome.result) {
                recognisedPage = std::move(*outcome.result);
            } else {
                recognisedPage.ocrResultStates = OcrResultStates::failed;
            }
        } else {
            recognisedPage.ocrResultStates = OcrResultStates::skipped;
        }
        if (previews.helper != nullptr && page && !partial) {
            previews.helper->savePageImageAndThumbnail(previews.key, i, *page, previews.thumbnailOnly);
        }
        page.reset();
        const bool recognised = recognisedPage.ocrResultStates == OcrResultStates::recognized;
        result.pages.push_back(std::move(recognisedPage));
        if (updateHandledPage_) updateHandledPage_(i, recognised);
    }
    return result;
}

}  // namespace lumidex::processing
