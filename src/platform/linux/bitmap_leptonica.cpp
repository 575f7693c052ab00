#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/bitmap.h"
#include "platform/linux/leptonica_support.h"
#include "platform/library_messages.h"

namespace lumidex::platform {
namespace linux_detail {
namespace {

// Leptonica stores 8-bit samples inside native 32-bit words, most significant byte first.
inline std::size_t byteIndex(std::size_t x) {
    return std::endian::native == std::endian::little ? (x ^ 3U) : x;
}

void forwardMessage(const char* message) {
    if (message != nullptr) reportLibraryMessage(std::string("leptonica: ") + message);
}

}  // namespace

void silenceLeptonica() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Warnings and errors (a damaged image, an unsupported format); its informational chatter is not.
        setMsgSeverity(L_SEVERITY_WARNING);
        leptSetStderrHandler(forwardMessage);
    });
}

PixPtr pixFromBitmap(const Bitmap& bitmap) {
    if (!bitmap.isValid()) return nullptr;
    silenceLeptonica();
    const bool gray = bitmap.channels == 1;
    PixPtr pix(pixCreateNoInit(bitmap.width, bitmap.height, gray ? 8 : 32));
    if (!pix) return nullptr;
    l_uint32* data = pixGetData(pix.get());
    const std::size_t wpl = static_cast<std::size_t>(pixGetWpl(pix.get()));
    const std::size_t width = static_cast<std::size_t>(bitmap.width);
    for (std::size_t y = 0; y < static_cast<std::size_t>(bitmap.height); ++y) {
        l_uint32* line = data + y * wpl;
        const uint8_t* src = bitmap.bytes.data() + y * bitmap.stride();
        if (gray) {
            auto* bytes = reinterpret_cast<uint8_t*>(line);
            for (std::size_t x = 0; x < width; ++x) bytes[byteIndex(x)] = src[x];
        } else {
            for (std::size_t x = 0; x < width; ++x, src += 3) {
                line[x] = (l_uint32{src[0]} << 24) | (l_uint32{src[1]} << 16) | (l_uint32{src[2]} << 8) | 0xffU;
            }
        }
    }
    return pix;
}

PixPtr greyPixFromBitmap(const Bitmap& bitmap) {
    if (bitmap.channels == 1 || !bitmap.isValid()) return pixFromBitmap(bitmap);
    silenceLeptonica();
    PixPtr pix(pixCreateNoInit(bitmap.width, bitmap.height, 8));
    if (!pix) return nullptr;
    l_uint32* data = pixGetData(pix.get());
    const std::size_t wpl = static_cast<std::size_t>(pixGetWpl(pix.get()));
    const std::size_t width = static_cast<std::size_t>(bitmap.width);
    for (std::size_t y = 0; y < static_cast<std::size_t>(bitmap.height); ++y) {
        auto* bytes = reinterpret_cast<uint8_t*>(data + y * wpl);
        const uint8_t* src = bitmap.bytes.data() + y * bitmap.stride();
        for (std::size_t x = 0; x < width; ++x, src += 3) {
            // ITU-R BT.601 luma, weights in 256ths, rounded.
            bytes[byteIndex(x)] = static_cast<uint8_t>((77U * src[0] + 150U * src[1] + 29U * src[2] + 128U) >> 8U);
        }
    }
    return pix;
}

std::optional<Bitmap> bitmapFromPix(PIX* source) {
    if (source == nullptr) return std::nullopt;
    silenceLeptonica();
    PixPtr owned;  // holds whichever converted copy `pix` points at
    PIX* pix = source;
    auto replace = [&](PIX* converted) {
        owned.reset(converted);
        pix = converted;
        return converted != nullptr;
    };
    if (pixGetColormap(pix) != nullptr && !replace(pixRemoveColormap(pix, REMOVE_CMAP_BASED_ON_SRC))) return std::nullopt;
    int depth = pixGetDepth(pix);
    if (depth == 32 && pixGetSpp(pix) == 4) {
        if (!replace(pixAlphaBlendUniform(pix, 0xffffff00U))) return std::nullopt;
    } else if (depth == 24) {
        if (!replace(pixConvertTo32(pix))) return std::nullopt;
    } else if (depth == 16) {
        if (!replace(pixConvert16To8(pix, L_MS_BYTE))) return std::nullopt;
    } else if (depth < 8) {
        if (!replace(pixConvertTo8(pix, 0))) return std::nullopt;
    }
    depth = pixGetDepth(pix);
    if (depth != 8 && depth != 32) return std::nullopt;

    int w = 0, h = 0;
    pixGetDimensions(pix, &w, &h, nullptr);
    Bitmap bitmap = depth == 8 ? Bitmap::gray(w, h) : Bitmap::rgb(w, h);
    const l_uint32* data = pixGetData(pix);
    const std::size_t wpl = static_cast<std::size_t>(pixGetWpl(pix));
    for (std::size_t y = 0; y < static_cast<std::size_t>(h); ++y) {
        const l_uint32* line = data + y * wpl;
        uint8_t* dst = bitmap.bytes.data() + y * bitmap.stride();
        if (depth == 8) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(line);
            for (std::size_t x = 0; x < static_cast<std::size_t>(w); ++x) dst[x] = bytes[byteIndex(x)];
        } else {
            for (std::size_t x = 0; x < static_cast<std::size_t>(w); ++x, dst += 3) {
                const l_uint32 word = line[x];
                dst[0] = static_cast<uint8_t>(word >> 24);
                dst[1] = static_cast<uint8_t>(word >> 16);
                dst[2] = static_cast<uint8_t>(word >> 8);
            }
        }
    }
    return bitmap;
}

}  // namespace linux_detail

using linux_detail::PixPtr;

Bitmap Bitmap::gray(int width, int height, uint8_t fill) {
    Bitmap b{width, height, 1, {}};
    if (width > 0 && height > 0) b.bytes.assign(b.stride() * static_cast<std::size_t>(height), fill);
    return b;
}

Bitmap Bitmap::rgb(int width, int height, uint8_t fill) {
    Bitmap b{width, height, 3, {}};
    if (width > 0 && height > 0) b.bytes.assign(b.stride() * static_cast<std::size_t>(height), fill);
    return b;
}

bool Bitmap::isValid() const {
    return width > 0 && height > 0 && (channels == 1 || channels == 3) &&
           bytes.size() == stride() * static_cast<std::size_t>(height);
}

void keepGrayAsOneChannel(Bitmap& bitmap) {
    if (bitmap.channels != 3 || !bitmap.isValid()) return;
    const std::size_t pixels = bitmap.pixelCount();
    const uint8_t* rgb = bitmap.bytes.data();
    for (std::size_t i = 0; i < pixels; ++i, rgb += 3) {
        if (rgb[0] != rgb[1] || rgb[1] != rgb[2]) return;
    }
    // Pixel i moves from byte 3i to byte i, never over one still to be read.
    for (std::size_t i = 0; i < pixels; ++i) bitmap.bytes[i] = bitmap.bytes[3 * i];
    bitmap.bytes.resize(pixels);
    bitmap.bytes.shrink_to_fit();
    bitmap.channels = 1;
}

Bitmap scaleToWidth(const Bitmap& bitmap, int width) {
    if (!bitmap.isValid() || width < 1) return {};
    const double exact = static_cast<double>(bitmap.height) * width / bitmap.width;
    const int height = std::max(1, static_cast<int>(std::lround(exact)));
    PixPtr pix = linux_detail::pixFromBitmap(bitmap);
    if (!pix) return {};
    PixPtr scaled(pixScaleToSize(pix.get(), width, height));
    if (!scaled) return {};
    std::optional<Bitmap> result = linux_detail::bitmapFromPix(scaled.get());
    if (!result || result->width != width || result->height != height) return {};
    if (result->channels == 3) return std::move(*result);
    Bitmap rgb = Bitmap::rgb(width, height);
    for (std::size_t i = 0; i < result->bytes.size(); ++i) {
        std::memset(rgb.bytes.data() + 3 * i, result->bytes[i], 3);
    }
    return rgb;
}

}  // namespace lumidex::platform
