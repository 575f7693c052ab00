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

}  // namespace lumidex::processing
