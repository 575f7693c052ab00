#include <libheif/heif.h>

#include <cstring>
#include <memory>

#include "platform/linux/image_backends.h"

namespace lumidex::platform::linux_detail {
namespace {

struct ContextDeleter {
    void operator()(heif_context* c) const noexcept { heif_context_free(c); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* h) const noexcept { heif_image_handle_release(h); }
};
struct ImageDeleter {
    void operator()(heif_image* i) const noexcept { heif_image_release(i); }
};
struct EncoderDeleter {
    void operator()(heif_encoder* e) const noexcept { heif_encoder_release(e); }
};
using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using Image = std::unique_ptr<heif_image, ImageDeleter>;
using Encoder = std::unique_ptr<heif_encoder, EncoderDeleter>;

bool failed(const heif_error& error) { return error.code != heif_error_Ok; }
std::string text(const heif_error& error) { return error.message != nullptr ? error.message : "libheif error"; }

heif_error appendToString(heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<std::string*>(userdata)->append(static_cast<const char*>(data), size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

}  // namespace

ImageDecodeResult decodeHeif(const std::filesystem::path& path, const ImageDecodeOptions& options) {
    ImageDecodeResult result;
    Context context(heif_context_alloc());
    if (!context) {
        result.error = decodeError("libheif unavailable");
        return result;
    }
    heif_error error = heif_context_read_from_file(context.get(), path.c_str(), nullptr);
    if (failed(error)) {
        result.error = decodeError(text(error));
        return result;
    }
    heif_image_handle* rawHandle = nullptr;
    error = heif_context_get_primary_image_handle(context.get(), &rawHandle);
    Handle handle(rawHandle);
    if (failed(error) || !handle) {
        result.error = decodeError(text(error));
        return result;
    }
    const int w = heif_image_handle_get_width(handle.get());
    const int h = heif_image_handle_get_height(handle.get());
    if (w <= 0 || h <= 0) {
        result.error = decodeError("empty image");
        return result;
    }
    if (static_cast<uint64_t>(w) > options.maxPixels / static_cast<uint64_t>(h)) {
        result.error = tooLargeError(static_cast<uint64_t>(w), static_cast<uint64_t>(h));
        return result;
    }
    heif_image* rawImage = nullptr;
    error = heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
    Image image(rawImage);
    if (failed(error) || !image) {
        result.error = decodeError(text(error));
        return result;
    }
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    // Rotation and mirroring from the file are applied while decoding, so the size may differ from the handle's.
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (plane == nullptr || width <= 0 || height <= 0 || stride < 3 * width) {
        result.error = decodeError("no pixel data");
        return result;
    }
    Bitmap bitmap = Bitmap::rgb(width, height);
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
        std::memcpy(bitmap.bytes.data() + y * bitmap.stride(), plane + y * static_cast<std::size_t>(stride), bitmap.stride());
    }
    result.bitmap = std::move(bitmap);
    return result;
}

std::optional<std::string> encodeHeif(const Bitmap& bitmap) {
    if (!bitmap.isValid()) return std::nullopt;
    Context context(heif_context_alloc());
    if (!context) return std::nullopt;
    heif_encoder* rawEncoder = nullptr;
    if (failed(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder))) return std::nullopt;
    Encoder encoder(rawEncoder);
    heif_encoder_set_lossy_quality(encoder.get(), 90);

    heif_image* rawImage = nullptr;
    if (failed(heif_image_create(bitmap.width, bitmap.height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rawImage))) {
        return std::nullopt;
    }
    Image image(rawImage);
    if (failed(heif_image_add_plane(image.get(), heif_channel_interleaved, bitmap.width, bitmap.height, 8))) return std::nullopt;
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    if (plane == nullptr) return std::nullopt;
    for (std::size_t y = 0; y < static_cast<std::size_t>(bitmap.height); ++y) {
        uint8_t* dst = plane + y * static_cast<std::size_t>(stride);
        const uint8_t* src = bitmap.bytes.data() + y * bitmap.stride();
        for (std::size_t x = 0; x < static_cast<std::size_t>(bitmap.width); ++x) {
            for (std::size_t c = 0; c < 3; ++c) dst[3 * x + c] = bitmap.channels == 1 ? src[x] : src[3 * x + c];
        }
    }
    if (failed(heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, nullptr))) return std::nullopt;
    std::string bytes;
    heif_writer writer{1, appendToString};
    if (failed(heif_context_write(context.get(), &writer, &bytes)) || bytes.empty()) return std::nullopt;
    return bytes;
}

}  // namespace lumidex::platform::linux_detail
