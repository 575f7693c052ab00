#include "processing/extractors/nan_items_processing_image.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "core/app_log.h"

namespace lumidex::processing {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

ExtractionResult failed(std::string message) {
    ExtractionResult result;
    result.state = NanItemProcessingStates::error;
    result.message = std::move(message);
    return result;
}

}  // namespace

NanItemsProcessingImage::NanItemsProcessingImage(bool ignoreSmallImages, const platform::ImageDecoder& decoder,
                                                 SlimOcr slimOcr, Log log, bool recognizeText)
    : ignoreSmallImages_(ignoreSmallImages),
      decoder_(decoder),
      slimOcr_(slimOcr),
      log_(std::move(log)),
      recognizeText_(recognizeText) {
    if (!log_) log_ = [](std::string_view line) { appLog(line); };
}

bool NanItemsProcessingImage::skipsRecognition(int width, int height) const {
    if (!ignoreSmallImages_) return false;
    const auto pixels = static_cast<uint64_t>(std::max(width, 0)) * static_cast<uint64_t>(std::max(height, 0));
    return pixels <= smallImageMaxPixels;
}

ExtractionResult NanItemsProcessingImage::extract(const std::filesystem::path& path, const PagePreviews& previews) const {
    log_("URL heavy processImage dd33");
    const auto started = Clock::now();
    platform::ImageDecodeResult decoded = decoder_.decodeFile(path);
    const double loadSeconds = secondsSince(started);
    if (decoded.error || !decoded.bitmap) {
        const std::string detail = decoded.error ? decoded.error->message() : "no image";
        log_("Fehler beim Laden der Bilddaten: " + path.string() + ": " + detail);
        return failed("The image could not be read: " + detail);
    }
    if (decoded.bitmap->empty()) {
        log_("Fehler beim Erstellen des Image: " + path.string());
        return failed("The image is empty.");
    }
    if (!decoded.bitmap->isValid()) {
        log_("Fehler beim Konvertieren des UIImage in ein CGImage: " + path.string());
        return failed("The image could not be converted to a bitmap.");
    }
    if (skipsRecognition(decoded.bitmap->width, decoded.bitmap->height)) {
        log_("Bild zu klein für die Texterkennung: " + path.string() + " (" + std::to_string(decoded.bitmap->width) +
             "x" + std::to_string(decoded.bitmap->height) + ")");
    }
    platform::keepGrayAsOneChannel(*decoded.bitmap);  // scans are mostly grey, saved as colour
    ExtractionResult result = extractShared(std::make_shared<const platform::Bitmap>(std::move(*decoded.bitmap)), previews);
    result.phases["fileLoad"] = loadSeconds;
    return result;
}

ExtractionResult NanItemsProcessingImage::extract(const platform::Bitmap& bitmap, const PagePreviews& previews) const {
    return extractShared(std::make_shared<const platform::Bitmap>(bitmap), previews);
}

ExtractionResult NanItemsProcessingImage::extractShared(std::shared_ptr<const platform::Bitmap> shared,
                                                        const PagePreviews& previews) const {
    const platform::Bitmap& bitmap = *shared;
    ExtractionResult result;
    result.state = NanItemProcessingStates::complete;
    result.totalPageCount = 1;
    if (!bitmap.isValid()) return failed("The image could not be converted to a bitmap.");

    if (recognizeText_ && !skipsRecognition(bitmap.width, bitmap.height)) {
        const auto started = Clock::now();
        if (std::optional<SlimOcrResult> page = slimOcr_.recognize(shared, 0, 1)) {
            result.text = page->transcript;
            result.rects = page->ocrRects(0, 0);
            result.recognisedPages = 1;
        }
        result.phases["ocrRecognition"] = secondsSince(started);
    }
    if (previews.helper != nullptr) {
        const auto started = Clock::now();
        previews.helper->savePageImageAndThumbnail(previews.key, 0, bitmap, previews.thumbnailOnly);
        result.phases["thumbnailRender"] = secondsSince(started);
    }
    return result;
}

}  // namespace lumidex::processing
