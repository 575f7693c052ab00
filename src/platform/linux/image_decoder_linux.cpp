#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/image_decoder.h"
#include "platform/image_encoder.h"
#include "platform/linux/image_backends.h"
#include "platform/linux/leptonica_support.h"

namespace lumidex::platform {
namespace linux_detail {

ImageDecodeError tooLargeError(uint64_t width, uint64_t height) {
    return {ImageDecodeError::Kind::tooLarge, std::to_string(width) + " x " + std::to_string(height) + " pixels"};
}

ImageDecodeError decodeError(std::string detail) { return {ImageDecodeError::Kind::decodeFailed, std::move(detail)}; }

}  // namespace linux_detail

namespace {
using namespace linux_detail;
using namespace std::string_view_literals;

bool startsWith(std::span<const uint8_t> bytes, std::string_view magic, std::size_t offset = 0) {
    return bytes.size() >= offset + magic.size() && std::memcmp(bytes.data() + offset, magic.data(), magic.size()) == 0;
}

uint32_t le16(std::span<const uint8_t> b, std::size_t at) { return b[at] | (uint32_t{b[at + 1]} << 8); }
uint32_t le32(std::span<const uint8_t> b, std::size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); }
uint32_t be32(std::span<const uint8_t> b, std::size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

bool isCameraRawExtension(std::string_view ext) {
    static constexpr std::array<std::string_view, 12> kRaw = {"raw", "dng", "nef", "nrw", "cr2", "arw",
                                                              "srf", "sr2", "pef", "orf", "rw2", "3fr"};
    return std::find(kRaw.begin(), kRaw.end(), ext) != kRaw.end();
}

struct Dimensions {
    uint64_t width = 0;
    uint64_t height = 0;
};

// Dimensions written in the fixed header of the simple formats; nullopt where the header does not say.
std::optional<Dimensions> headerDimensions(ImageFormat format, std::span<const uint8_t> h) {
    switch (format) {
        case ImageFormat::png:
            if (h.size() >= 24) return Dimensions{be32(h, 16), be32(h, 20)};
            break;
        case ImageFormat::gif:
            if (h.size() >= 10) return Dimensions{le16(h, 6), le16(h, 8)};
            break;
        case ImageFormat::bmp:
            if (h.size() >= 26) {
                if (le32(h, 14) == 12) return Dimensions{le16(h, 18), le16(h, 20)};  // OS/2 core header
                const int64_t width = static_cast<int32_t>(le32(h, 18));
                const int64_t height = static_cast<int32_t>(le32(h, 22));  // negative: rows top-down
                return Dimensions{static_cast<uint64_t>(std::max<int64_t>(width, 0)),
                                  static_cast<uint64_t>(height < 0 ? -height : height)};
            }
            break;
        case ImageFormat::pcx:
            if (h.size() >= 12) {
                const uint32_t xmin = le16(h, 4), ymin = le16(h, 6), xmax = le16(h, 8), ymax = le16(h, 10);
                if (xmax < xmin || ymax < ymin) return Dimensions{0, 0};
                return Dimensions{xmax - xmin + 1, ymax - ymin + 1};
            }
            break;
        case ImageFormat::psd:
            if (h.size() >= 22) return Dimensions{be32(h, 18), be32(h, 14)};
            break;
        default:
            break;
    }
    return std::nullopt;
}

// The GIF logical screen does not bound its frames: the first frame's own size counts as well.
std::optional<Dimensions> gifDimensions(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(64 * 1024);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    const std::span<const uint8_t> b(bytes);
    if (b.size() < 13) return std::nullopt;
    Dimensions dims{le16(b, 6), le16(b, 8)};
    std::size_t at = 13;
    if (b[10] & 0x80) at += 3 * (std::size_t{2} << (b[10] & 0x07));  // global colour table
    while (at < b.size()) {
        if (b[at] == 0x2c) {  // image descriptor: left, top, width, height
            if (at + 9 > b.size()) break;
            dims.width = std::max<uint64_t>(dims.width, le16(b, at + 1) + uint64_t{le16(b, at + 5)});
            dims.height = std::max<uint64_t>(dims.height, le16(b, at + 3) + uint64_t{le16(b, at + 7)});
            break;
        }
        if (b[at] != 0x21 || at + 2 > b.size()) break;  // only extensions may come before the first frame
        at += 2;
        while (at < b.size() && b[at] != 0) at += std::size_t{b[at]} + 1;  // data sub-blocks
        ++at;
    }
    return dims;
}

// Leptonica reads 1-24 bit uncompressed BMPs but swaps red and blue in 16/32-bit ones: those go to ImageMagick.
bool leptonicaReadsBmp(ImageFormat format, std::span<const uint8_t> h) {
    if (format != ImageFormat::bmp) return true;
    if (h.size() < 30 || le32(h, 14) == 12) return false;
    const uint32_t bitsPerPixel = le16(h, 28);
    return bitsPerPixel == 1 || bitsPerPixel == 4 || bitsPerPixel == 8 || bitsPerPixel == 24;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path, uint64_t limit, ImageDecodeError& error) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        error = {ImageDecodeError::Kind::fileUnreadable, ec.message()};
        return std::nullopt;
    }
    if (size > limit) {
        error = {ImageDecodeError::Kind::tooLarge, "file of " + std::to_string(size) + " bytes"};
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes(size, '\0');
    if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(size))) {
        error = {ImageDecodeError::Kind::fileUnreadable, "read failed"};
        return std::nullopt;
    }
    return bytes;
}

std::string_view magickCoder(ImageFormat format) {
    switch (format) {
        case ImageFormat::png: return "PNG";
        case ImageFormat::jpeg: return "JPEG";
        case ImageFormat::gif: return "GIF";
        case ImageFormat::bmp: return "BMP";
        case ImageFormat::tiff: return "TIFF";
        case ImageFormat::pcx: return "PCX";
        case ImageFormat::psd: return "PSD";
        default: return {};
    }
}

class LinuxImageDecoder final : public ImageDecoder {
public:
    explicit LinuxImageDecoder(ImageDecodeOptions options) : options_(std::move(options)) {}

    ImageDecodeResult decodeFile(const std::filesystem::path& path) const override {
        ImageDecodeResult result;
        std::array<uint8_t, 64> head{};
        std::size_t headSize = 0;
        {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                result.error = ImageDecodeError{ImageDecodeError::Kind::fileUnreadable, "cannot open " + path.string()};
                return result;
            }
            in.read(reinterpret_cast<char*>(head.data()), head.size());
            headSize = static_cast<std::size_t>(in.gcount());
        }
        std::string ext = path.extension().string();
        if (!ext.empty()) ext.erase(0, 1);
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        result.format = sniffImageFormat(std::span<const uint8_t>(head.data(), headSize), ext);

        ImageDecodeResult decoded = [&] {
            try {
                return decodeAs(result.format, path, std::span<const uint8_t>(head.data(), headSize));
            } catch (const std::exception& e) {  // std::bad_alloc and anything a library lets through
                ImageDecodeResult failed;
                failed.error = decodeError(e.what());
                return failed;
            }
        }();
        decoded.format = result.format;
        if (decoded.bitmap && decoded.bitmap->pixelCount() > options_.maxPixels) {
            const auto& b = *decoded.bitmap;
            decoded.error = tooLargeError(static_cast<uint64_t>(b.width), static_cast<uint64_t>(b.height));
            decoded.bitmap.reset();
        }
        if (!decoded.bitmap && !decoded.error) decoded.error = decodeError("no image");
        return decoded;
    }

private:
    bool exceedsCap(const Dimensions& d) const {
        return d.width == 0 || d.height == 0 || d.width > options_.maxPixels / d.height;
    }

    ImageDecodeResult decodeAs(ImageFormat format, const std::filesystem::path& path, std::span<const uint8_t> head) const {
        ImageDecodeResult result;
        switch (format) {
            case ImageFormat::unknown:
                result.error = ImageDecodeError{ImageDecodeError::Kind::unsupportedFormat, "unrecognised file content"};
                return result;
            case ImageFormat::heic: return decodeHeif(path, options_);
            case ImageFormat::raw: return decodeRaw(path, options_);
            case ImageFormat::eps: return decodeEps(path, options_);
            default: break;
        }
        std::optional<Dimensions> dims =
            format == ImageFormat::gif ? gifDimensions(path) : headerDimensions(format, head);
        if (!dims && (format == ImageFormat::jpeg || format == ImageFormat::tiff)) {
            silenceLeptonica();
            l_int32 w = 0, h = 0;
            if (pixReadHeader(path.c_str(), nullptr, &w, &h, nullptr, nullptr, nullptr) == 0) {
                dims = Dimensions{static_cast<uint64_t>(std::max(0, w)), static_cast<uint64_t>(std::max(0, h))};
            }
        }
        if (dims && exceedsCap(*dims)) {
            if (dims->width == 0 || dims->height == 0) {
                result.error = decodeError("header gives an empty image");
            } else {
                result.error = tooLargeError(dims->width, dims->height);
            }
            return result;
        }
        if (format != ImageFormat::pcx && format != ImageFormat::psd && dims && leptonicaReadsBmp(format, head)) {
            silenceLeptonica();
            PixPtr pix(pixRead(path.c_str()));
            if (pix) {
                if (auto bitmap = bitmapFromPix(pix.get())) {
                    result.bitmap = std::move(bitmap);
                    return result;
                }
            }
        }
        // Formats and variants Leptonica does not read (32-bit BMP, CMYK or 16-bit TIFF, PCX, PSD).
        ImageDecodeError readError;
        const auto bytes = readWholeFile(path, options_.maxFileBytes, readError);
        if (!bytes) {
            result.error = readError;
            return result;
        }
        return decodeWithMagick(magickCoder(format), *bytes, options_);
    }

    ImageDecodeOptions options_;
};

}  // namespace

std::string_view imageFormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::heic: return "heic";
        case ImageFormat::eps: return "eps";
        case ImageFormat::pcx: return "pcx";
        case ImageFormat::bmp: return "bmp";
        case ImageFormat::jpeg: return "jpeg";
        case ImageFormat::png: return "png";
        case ImageFormat::tiff: return "tiff";
        case ImageFormat::psd: return "psd";
        case ImageFormat::gif: return "gif";
        case ImageFormat::raw: return "raw";
        case ImageFormat::unknown: break;
    }
    return "unknown";
}

ImageFormat sniffImageFormat(std::span<const uint8_t> h, std::string_view extension) {
    if (startsWith(h, "\x89PNG\r\n\x1a\n")) return ImageFormat::png;
    if (startsWith(h, "\xff\xd8\xff")) return ImageFormat::jpeg;
    if (startsWith(h, "GIF87a") || startsWith(h, "GIF89a")) return ImageFormat::gif;
    if (startsWith(h, "8BPS")) return ImageFormat::psd;
    if (startsWith(h, "BM") && h.size() >= 26) return ImageFormat::bmp;
    if (startsWith(h, "ftyp", 4) && h.size() >= 12) {
        const std::string_view brand(reinterpret_cast<const char*>(h.data()) + 8, 4);
        static constexpr std::array<std::string_view, 10> kHeif = {"heic", "heix", "hevc", "hevx", "heim",
                                                                   "heis", "hevm", "hevs", "mif1", "msf1"};
        if (std::find(kHeif.begin(), kHeif.end(), brand) != kHeif.end()) return ImageFormat::heic;
        if (brand == "crx ") return ImageFormat::raw;
    }
    if (startsWith(h, "%!PS") || startsWith(h, "\xc5\xd0\xd3\xc6")) return ImageFormat::eps;
    for (std::string_view magic : {"IIU\0"sv, "IIRO"sv, "IIRS"sv, "MMOR"sv, "FUJIFILM"sv, "\0MRM"sv, "FOVb"sv}) {
        if (startsWith(h, magic)) return ImageFormat::raw;
    }
    if (startsWith(h, "II*\0"sv) || startsWith(h, "MM\0*"sv)) {
        if (startsWith(h, "CR", 8) || isCameraRawExtension(extension)) return ImageFormat::raw;
        return ImageFormat::tiff;
    }
    // PCX has no real signature: manufacturer 10, a known version, RLE flag 0/1, a valid bit depth.
    if (h.size() >= 12 && h[0] == 0x0a && (h[1] <= 5 && h[1] != 1) && h[2] <= 1 &&
        (h[3] == 1 || h[3] == 2 || h[3] == 4 || h[3] == 8)) {
        return ImageFormat::pcx;
    }
    if (isCameraRawExtension(extension)) return ImageFormat::raw;  // let the raw library judge it
    return ImageFormat::unknown;
}

std::string ImageDecodeError::message() const {
    switch (kind) {
        case Kind::fileUnreadable: return "image file unreadable: " + detail;
        case Kind::unsupportedFormat: return "image format not supported: " + detail;
        case Kind::tooLarge: return "image too large: " + detail;
        case Kind::timedOut: return "image decoding timed out: " + detail;
        case Kind::decodeFailed: break;
    }
    return "image could not be decoded: " + detail;
}

std::unique_ptr<ImageDecoder> makeImageDecoder(const ImageDecodeOptions& options) {
    return std::make_unique<LinuxImageDecoder>(options);
}

std::optional<std::string> encodeImage(const Bitmap& bitmap, ImageFormat format) {
    if (!bitmap.isValid()) return std::nullopt;
    try {
        switch (format) {
            case ImageFormat::png: return encodePng(bitmap);
            case ImageFormat::heic: return encodeHeif(bitmap);
            case ImageFormat::jpeg:
            case ImageFormat::bmp:
            case ImageFormat::gif:
            case ImageFormat::tiff:
            case ImageFormat::pcx:
            case ImageFormat::psd: return encodeWithMagick(bitmap, magickCoder(format));
            default: return std::nullopt;
        }
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace lumidex::platform
