#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <mutex>
#include <string_view>

#include "platform/image_metadata.h"

namespace lumidex::platform {
namespace {

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::XmpParser::initialize();
        Exiv2::enableBMFF(true);
        // The library prints warnings about odd files to stderr; they are expected on real folders.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    });
}

}  // namespace

bool mayCarryImageMetadata(std::string_view path) {
    static constexpr std::array<std::string_view, 19> kExtensions = {
        "jpg", "jpeg", "tif", "tiff", "png", "dng", "nef", "arw", "cr2", "orf", "psd",
        "webp", "heic", "heif", "cr3", "raf", "rw2", "raw", "jpe"};
    // The extension of the last component; a leading dot (a hidden file's name) is no extension.
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot - 1 > 4) return false;
    std::string ext(name.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return std::find(kExtensions.begin(), kExtensions.end(), ext) != kExtensions.end();
}

std::optional<std::string> exifCaptureDate(const std::filesystem::path& path) {
    initialiseOnce();
    try {
        auto image = Exiv2::ImageFactory::open(path.string());
        if (image.get() == nullptr) return std::nullopt;
        image->readMetadata();
        const Exiv2::ExifData& exif = image->exifData();
        for (const char* key : {"Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized", "Exif.Image.DateTime"}) {
            const auto it = exif.findKey(Exiv2::ExifKey(key));
            if (it != exif.end() && it->count() > 0) {
                std::string value = it->toString();
                if (!value.empty()) return value;
            }
        }
    } catch (const std::exception&) {
        // Unreadable or malformed metadata simply means "no capture date".
    }
    return std::nullopt;
}

}  // namespace lumidex::platform
