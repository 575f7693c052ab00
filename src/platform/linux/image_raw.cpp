#include <libraw/libraw.h>

#include <cstring>
#include <memory>

#include "platform/linux/image_backends.h"

namespace lumidex::platform::linux_detail {
namespace {

struct ProcessedDeleter {
    void operator()(libraw_processed_image_t* image) const noexcept { LibRaw::dcraw_clear_mem(image); }
};

std::string rawError(int code) { return libraw_strerror(code); }

}  // namespace

ImageDecodeResult decodeRaw(const std::filesystem::path& path, const ImageDecodeOptions& options) {
    ImageDecodeResult result;
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);  // a large object: keep it off the stack
    int code = raw->open_file(path.c_str());
    if (code != LIBRAW_SUCCESS) {
        result.error = decodeError(rawError(code));
        return result;
    }
    const uint64_t w = raw->imgdata.sizes.width, h = raw->imgdata.sizes.height;
    if (w == 0 || h == 0) {
        result.error = decodeError("empty image");
        return result;
    }
    if (w > options.maxPixels / h) {
        result.error = tooLargeError(w, h);
        return result;
    }
    raw->imgdata.params.half_size = 1;
    raw->imgdata.params.use_camera_wb = 1;
    raw->imgdata.params.output_bps = 8;
    if ((code = raw->unpack()) != LIBRAW_SUCCESS || (code = raw->dcraw_process()) != LIBRAW_SUCCESS) {
        result.error = decodeError(rawError(code));
        return result;
    }
    int error = 0;
    std::unique_ptr<libraw_processed_image_t, ProcessedDeleter> image(raw->dcraw_make_mem_image(&error));
    if (!image || error != LIBRAW_SUCCESS) {
        result.error = decodeError(rawError(error));
        return result;
    }
    if (image->type != LIBRAW_IMAGE_BITMAP || image->bits != 8 || (image->colors != 1 && image->colors != 3) ||
        image->width == 0 || image->height == 0) {
        result.error = decodeError("unexpected raw output layout");
        return result;
    }
    Bitmap bitmap = image->colors == 1 ? Bitmap::gray(image->width, image->height) : Bitmap::rgb(image->width, image->height);
    if (image->data_size < bitmap.bytes.size()) {
        result.error = decodeError("raw output shorter than its size");
        return result;
    }
    std::memcpy(bitmap.bytes.data(), image->data, bitmap.bytes.size());
    result.bitmap = std::move(bitmap);
    return result;
}

}  // namespace lumidex::platform::linux_detail
