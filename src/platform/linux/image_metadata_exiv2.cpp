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

bool mayCarryImageMetadata(const std::filesystem::path& path) {
    static constexpr std::array<std::string_view, 19> kExtensions = {
        "jpg", "jpeg", "tif", "tiff", "png", "dng", "nef", "arw", "cr2", "orf", "psd",
        "webp", "heic", "heif", "cr3", "raf", "rw2", "raw", "jpe"};
    std::string ext = path.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
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
