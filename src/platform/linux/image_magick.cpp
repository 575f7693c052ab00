#include <Magick++.h>

#include <mutex>

#include "platform/linux/image_backends.h"

namespace lumidex::platform::linux_detail {
namespace {

void initialiseMagick() {
    static std::once_flag once;
    std::call_once(once, [] {
        Magick::InitializeMagick(nullptr);
        // The pixel cache must fail rather than spill a hostile image to disk or map huge files.
        Magick::ResourceLimits::memory(MagickCore::MagickSizeType{2} << 30);
        Magick::ResourceLimits::map(MagickCore::MagickSizeType{2} << 30);
        Magick::ResourceLimits::disk(0);
        Magick::ResourceLimits::width(1'000'000);
        Magick::ResourceLimits::height(1'000'000);
        // Callers run decodes in parallel already; more threads per image only add contention.
        Magick::ResourceLimits::thread(1);
    });
}

}  // namespace

ImageDecodeResult decodeWithMagick(std::string_view coder, const std::string& fileBytes, const ImageDecodeOptions& options) {
    ImageDecodeResult result;
    if (coder.empty()) {
        result.error = ImageDecodeError{ImageDecodeError::Kind::unsupportedFormat, "no decoder"};
        return result;
    }
    initialiseMagick();
    try {
        const Magick::Blob blob(fileBytes.data(), fileBytes.size());
        Magick::Image probe;
        probe.quiet(true);
        probe.magick(std::string(coder));
        probe.subImage(0);
        probe.subRange(1);
        probe.ping(blob);
        const uint64_t w = probe.columns(), h = probe.rows();
        if (w == 0 || h == 0) {
            result.error = decodeError("empty image");
            return result;
        }
        if (w > options.maxPixels / h) {
            result.error = tooLargeError(w, h);
            return result;
        }

        Magick::Image image;
        image.quiet(true);
        image.magick(std::string(coder));
        image.subImage(0);  // PSD: the flattened composite, not the layers
        image.subRange(1);
        image.read(blob);
        if (image.colorSpace() == MagickCore::CMYKColorspace) image.colorSpace(MagickCore::sRGBColorspace);
        if (image.matte()) {
            image.backgroundColor(Magick::Color("white"));
            image.alphaChannel(MagickCore::RemoveAlphaChannel);
        }
        const auto width = static_cast<int>(image.columns());
        const auto height = static_cast<int>(image.rows());
        if (width <= 0 || height <= 0 || static_cast<uint64_t>(width) > options.maxPixels / static_cast<uint64_t>(height)) {
            result.error = tooLargeError(image.columns(), image.rows());
            return result;
        }
        Bitmap bitmap = Bitmap::rgb(width, height);
        image.write(0, 0, image.columns(), image.rows(), "RGB", MagickCore::CharPixel, bitmap.bytes.data());
        result.bitmap = std::move(bitmap);
    } catch (const std::exception& e) {
        result.error = decodeError(e.what());
    }
    return result;
}

std::optional<std::string> encodeWithMagick(const Bitmap& bitmap, std::string_view coder) {
    if (!bitmap.isValid() || coder.empty()) return std::nullopt;
    initialiseMagick();
    try {
        Magick::Image image(static_cast<size_t>(bitmap.width), static_cast<size_t>(bitmap.height),
                            bitmap.channels == 1 ? "I" : "RGB", MagickCore::CharPixel, bitmap.bytes.data());
        image.quiet(true);
        image.magick(std::string(coder));
        if (coder == "JPEG") image.quality(90);
        Magick::Blob blob;
        image.write(&blob, std::string(coder));
        if (blob.length() == 0) return std::nullopt;
        return std::string(static_cast<const char*>(blob.data()), blob.length());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace lumidex::platform::linux_detail
