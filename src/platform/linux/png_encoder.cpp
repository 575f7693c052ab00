// PNG encoding straight through libpng, so that the row filter and the compression level are ours to
// choose: page images are most of a recognition run's encoding work, and Leptonica's writer tries every
// row filter on every row.
#include <png.h>

#include <csetjmp>
#include <new>

#include "platform/bitmap.h"

namespace lumidex::platform {
namespace {

// Level 3 of zlib: a third less time than the default for page images a few percent larger.
constexpr int kCompressionLevel = 3;

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    try {
        out->append(reinterpret_cast<const char*>(data), length);
    } catch (const std::bad_alloc&) {
        png_error(png, "out of memory");
    }
}

void noFlush(png_structp) {}
void ignoreWarning(png_structp, png_const_charp) {}
[[noreturn]] void failEncoding(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Nothing with a destructor lives in this frame: a libpng error returns here through longjmp.
bool writePng(const Bitmap& bitmap, std::string* out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, failEncoding, ignoreWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, appendBytes, noFlush);
    const bool gray = bitmap.channels == 1;
    png_set_IHDR(png, info, static_cast<png_uint_32>(bitmap.width), static_cast<png_uint_32>(bitmap.height), 8,
                 gray ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, kCompressionLevel);
    // Grey pages (renders and scans) compress best unfiltered, and fastest; colour pictures want SUB.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, gray ? PNG_FILTER_NONE : PNG_FILTER_SUB);
    png_write_info(png, info);
    const std::size_t stride = bitmap.stride();
    for (int y = 0; y < bitmap.height; ++y) {
        // libpng takes rows as non-const but does not write to them.
        png_write_row(png, const_cast<png_bytep>(bitmap.bytes.data() + stride * static_cast<std::size_t>(y)));
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// A colour bitmap whose every pixel is grey, as one channel; nullopt when any pixel has colour.
std::optional<Bitmap> asGray(const Bitmap& bitmap) {
    if (bitmap.channels != 3) return std::nullopt;
    const uint8_t* rgb = bitmap.bytes.data();
    const std::size_t pixels = bitmap.pixelCount();
    for (std::size_t i = 0; i < pixels; ++i, rgb += 3) {
        if (rgb[0] != rgb[1] || rgb[1] != rgb[2]) return std::nullopt;
    }
    Bitmap gray = Bitmap::gray(bitmap.width, bitmap.height);
    for (std::size_t i = 0; i < pixels; ++i) gray.bytes[i] = bitmap.bytes[3 * i];
    return gray;
}

}  // namespace

std::optional<std::string> encodePng(const Bitmap& bitmap) {
    if (!bitmap.isValid()) return std::nullopt;
    // Rendered pages and scans are mostly grey: one channel instead of three compresses three times
    // less data, for identical pixels.
    if (std::optional<Bitmap> gray = asGray(bitmap)) return encodePng(*gray);
    std::string png;
    png.reserve(bitmap.bytes.size() / 4);
    if (!writePng(bitmap, &png)) return std::nullopt;
    return png;
}

}  // namespace lumidex::platform
