// Internal to the Linux platform sources: RAII and conversions between Leptonica's Pix and Bitmap.
// Leptonica is thread-safe for distinct Pix objects; these helpers never throw except std::bad_alloc.
#pragma once

#include <leptonica/allheaders.h>

#include <memory>
#include <optional>

#include "platform/bitmap.h"

namespace lumidex::platform::linux_detail {

struct PixDeleter {
    void operator()(PIX* pix) const noexcept { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<PIX, PixDeleter>;

// Sends Leptonica's warnings and errors (also those it prints on behalf of Tesseract) to the library
// message handler instead of stderr. Idempotent.
void silenceLeptonica();

// 8 bpp grey for a one-channel bitmap, 32 bpp RGB otherwise; null for an invalid bitmap.
PixPtr pixFromBitmap(const Bitmap& bitmap);
// 8 bpp grey of any valid bitmap (a colour one by its luminance); null for an invalid bitmap.
PixPtr greyPixFromBitmap(const Bitmap& bitmap);

// Any Pix (colour-mapped, 1-16 bpp grey, 24/32 bpp with or without alpha) as grey or RGB; alpha is
// blended onto white. nullopt when Leptonica cannot convert it.
std::optional<Bitmap> bitmapFromPix(PIX* pix);

}  // namespace lumidex::platform::linux_detail
