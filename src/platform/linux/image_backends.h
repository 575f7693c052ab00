// Internal to the Linux platform sources: the per-library image decoders and encoders behind
// ImageDecoder and encodeImage. Each catches its library's exceptions and reports ImageDecodeErrors.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/image_decoder.h"

namespace lumidex::platform::linux_detail {

ImageDecodeError tooLargeError(uint64_t width, uint64_t height);
ImageDecodeError decodeError(std::string detail);

// ImageMagick with an explicit coder ("PCX", "PSD", ...), reading an in-memory copy of the file so that
// nothing in the path is interpreted. The first image only (the composite for PSD).
ImageDecodeResult decodeWithMagick(std::string_view coder, const std::string& fileBytes, const ImageDecodeOptions& options);
std::optional<std::string> encodeWithMagick(const Bitmap& bitmap, std::string_view coder);

ImageDecodeResult decodeHeif(const std::filesystem::path& path, const ImageDecodeOptions& options);
std::optional<std::string> encodeHeif(const Bitmap& bitmap);

// Demosaiced at half size: enough for recognition and previews, four times less work and memory.
ImageDecodeResult decodeRaw(const std::filesystem::path& path, const ImageDecodeOptions& options);

ImageDecodeResult decodeEps(const std::filesystem::path& path, const ImageDecodeOptions& options);

}  // namespace lumidex::platform::linux_detail
