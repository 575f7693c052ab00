#include "platform/pdf_document.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace lumidex::platform {

std::optional<PixelBox> regionPixels(PdfPageSize page, PdfRegion region, double pixelsPerPoint) {
    if (!(pixelsPerPoint > 0) || !std::isfinite(pixelsPerPoint)) return std::nullopt;
    const double pageWidth = std::max(1.0, std::round(page.width * pixelsPerPoint));
    const double pageHeight = std::max(1.0, std::round(page.height * pixelsPerPoint));
    if (!std::isfinite(pageWidth) || !std::isfinite(pageHeight) || !(page.width > 0) || !(page.height > 0)) {
        return std::nullopt;
    }
    const double left = std::clamp(std::floor(region.left * pixelsPerPoint), 0.0, pageWidth);
    const double top = std::clamp(std::floor(region.top * pixelsPerPoint), 0.0, pageHeight);
    const double right = std::clamp(std::ceil((region.left + region.width) * pixelsPerPoint), 0.0, pageWidth);
    const double bottom = std::clamp(std::ceil((region.top + region.height) * pixelsPerPoint), 0.0, pageHeight);
    // NaN edges fail these comparisons too.
    if (!(right > left) || !(bottom > top) || pageWidth > INT32_MAX || pageHeight > INT32_MAX) return std::nullopt;
    return PixelBox{static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
                    static_cast<int>(bottom - top)};
}

std::optional<Bitmap> PdfDocument::renderRegion(int pageIndex, PdfRegion region, double pixelsPerPoint,
                                                PdfRenderColor color) const {
    const auto size = mediaBox(pageIndex);
    if (!size) return std::nullopt;
    const auto box = regionPixels(*size, region, pixelsPerPoint);
    if (!box) return std::nullopt;
    const int pageWidth = std::max(1, static_cast<int>(std::lround(size->width * pixelsPerPoint)));
    const int pageHeight = std::max(1, static_cast<int>(std::lround(size->height * pixelsPerPoint)));
    std::optional<Bitmap> page = renderPage(pageIndex, pageWidth, pageHeight, color);
    if (!page || !page->isValid() || page->width != pageWidth || page->height != pageHeight) return std::nullopt;
    Bitmap part = page->channels == 1 ? Bitmap::gray(box->width, box->height) : Bitmap::rgb(box->width, box->height);
    const std::size_t offset = static_cast<std::size_t>(box->x) * static_cast<std::size_t>(page->channels);
    for (int y = 0; y < box->height; ++y) {
        const std::size_t row = static_cast<std::size_t>(box->y + y) * page->stride();
        std::memcpy(part.bytes.data() + static_cast<std::size_t>(y) * part.stride(), page->bytes.data() + row + offset,
                    part.stride());
    }
    return part;
}

}  // namespace lumidex::platform
