// The pixel size a PDF page is rendered at: up to four times its point size (288 pixels per inch), twice
// (144) in low-resolution mode, and never more than 4096 pixels on the longer side. Pure; thread-safe.
#pragma once

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

}  // namespace lumidex::processing
