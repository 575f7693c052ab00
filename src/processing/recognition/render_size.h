// The pixel size a PDF page is rendered at: up to four times its point size (288 pixels per inch), twice
// (144) in low-resolution mode, and never more than 4096 pixels on the longer side; and the finer scale
// a scanned page is recognised at. Pure; thread-safe.
#pragma once

#include <vector>

#include "platform/pdf_document.h"

namespace lumidex::processing {

struct PixelSize {
    int width = 0;
    int height = 0;

    bool isEmpty() const { return width <= 0 || height <= 0; }
    friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

inline constexpr double maxRenderSide = 4096.0;
inline constexpr double maxRenderScale = 4.0;
inline constexpr double maxLowResRenderScale = 2.0;

// The scale from points to pixels; 0 for an empty (or non-finite) page box.
double renderScale(double pageWidth, double pageHeight, bool lowResImages);
// 0 × 0 for an empty page box; otherwise each side rounded to the nearest pixel and at least 1.
PixelSize renderSize(double pageWidth, double pageHeight, bool lowResImages);

// The scale for recognising a page that carries a scan: the scan's own pixels per point, so that its
// pixels are not resampled (a 300-ppi scan drawn at 288 turns "q" into "g"), within the same
// 4096-pixel bound. 0 when no image covers a quarter of the page or the usual scale is as fine.
double scanRecognitionScale(double pageWidth, double pageHeight, const std::vector<platform::PdfDrawnImage>& images);

}  // namespace lumidex::processing
