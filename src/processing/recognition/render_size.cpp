#include "processing/recognition/render_size.h"

#include <algorithm>
#include <cmath>

namespace lumidex::processing {

double renderScale(double pageWidth, double pageHeight, bool lowResImages) {
    if (!(pageWidth > 0) || !(pageHeight > 0) || !std::isfinite(pageWidth) || !std::isfinite(pageHeight)) return 0;
    const double fit = std::min(maxRenderSide / pageWidth, maxRenderSide / pageHeight);
    return std::min(fit, lowResImages ? maxLowResRenderScale : maxRenderScale);
}

PixelSize renderSize(double pageWidth, double pageHeight, bool lowResImages) {
    const double scale = renderScale(pageWidth, pageHeight, lowResImages);
    if (scale <= 0) return {};
    auto side = [scale](double points) { return std::max(1, static_cast<int>(std::lround(points * scale))); };
    return {side(pageWidth), side(pageHeight)};
}

double scanRecognitionScale(double pageWidth, double pageHeight, const std::vector<platform::PdfDrawnImage>& images) {
    const double usual = renderScale(pageWidth, pageHeight, false);
    if (usual <= 0) return 0;
    double native = 0;
    for (const platform::PdfDrawnImage& image : images) {
        if (!(image.drawnWidth > 0) || !(image.drawnHeight > 0) || image.pixelWidth <= 0 || image.pixelHeight <= 0) continue;
        if (image.drawnWidth * image.drawnHeight < 0.25 * pageWidth * pageHeight) continue;
        native = std::max({native, image.pixelWidth / image.drawnWidth, image.pixelHeight / image.drawnHeight});
    }
    const double scale = std::min(native, std::min(maxRenderSide / pageWidth, maxRenderSide / pageHeight));
    // Within a percent the resampling does no harm, and the page drawn for previews serves.
    return scale > usual * 1.01 ? scale : 0;
}

}  // namespace lumidex::processing
