// Writing a bitmap in one of the decodable image formats (for exports and for making test images).
//
// Supported: png, jpeg (quality 90), bmp, gif (palette-reduced), tiff, pcx, psd, heic (when the system's
// HEVC encoder is present). eps and raw cannot be written. Returns nullopt for an invalid bitmap, an
// unsupported format or an encoder failure; never throws. Thread-safe.
#pragma once

#include <optional>
#include <string>

#include "platform/bitmap.h"
#include "platform/image_decoder.h"

namespace lumidex::platform {

std::optional<std::string> encodeImage(const Bitmap& bitmap, ImageFormat format);

}  // namespace lumidex::platform
