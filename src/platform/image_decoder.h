// Decoding image files into bitmaps: heic, eps, pcx, bmp, jpeg/jpg, png, tif/tiff, psd, gif and camera raw.
//
// The format is taken from the file's first bytes, never from its name; the extension only settles the
// one ambiguous case (a TIFF-structured file named .raw is a camera raw). Multi-image files give their
// first image (the flattened composite for PSD). Transparency is flattened onto white. EPS is rendered by
// Ghostscript in a child process (-dSAFER) that is killed after the time limit.
// Size cap: an image whose header announces more than maxPixels pixels is refused with Kind::tooLarge
// before any pixel memory is allocated.
// Failure behaviour: nothing here throws; every failure is an ImageDecodeError.
// Thread-safety: an ImageDecoder is immutable and may decode on several threads at once.
// The decoding libraries parse untrusted input: a process that must survive hostile files should decode
// in a worker process.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/bitmap.h"

namespace lumidex::platform {

enum class ImageFormat { unknown, heic, eps, pcx, bmp, jpeg, png, tiff, psd, gif, raw };

std::string_view imageFormatName(ImageFormat format);  // "heic", "eps", ..., "unknown"

// The format announced by a file's first bytes (32 or more recommended; fewer may give unknown).
// `extension` (lower case, without dot) only tells a TIFF-structured camera raw from a TIFF.
ImageFormat sniffImageFormat(std::span<const uint8_t> header, std::string_view extension = {});

struct ImageDecodeError {
    enum class Kind { fileUnreadable, unsupportedFormat, tooLarge, decodeFailed, timedOut };

    Kind kind = Kind::decodeFailed;
    std::string detail;

    // For example "image too large: 70000 x 70000 pixels".
    std::string message() const;
};

struct ImageDecodeResult {
    ImageFormat format = ImageFormat::unknown;  // as sniffed, also on failure
    std::optional<Bitmap> bitmap;               // set exactly when `error` is not
    std::optional<ImageDecodeError> error;

    explicit operator bool() const { return bitmap.has_value(); }
};

struct ImageDecodeOptions {
    uint64_t maxPixels = 100'000'000;
    // Files decoded through an in-memory copy (pcx, psd, and fallbacks) are refused above this size.
    uint64_t maxFileBytes = uint64_t{1} << 30;
    std::chrono::milliseconds externalTimeout{30000};  // the EPS renderer's time limit
    std::string ghostscript = "gs";                    // looked up on PATH unless it contains a '/'
};

class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;
    virtual ImageDecodeResult decodeFile(const std::filesystem::path& path) const = 0;
};

std::unique_ptr<ImageDecoder> makeImageDecoder(const ImageDecodeOptions& options = {});

}  // namespace lumidex::platform
