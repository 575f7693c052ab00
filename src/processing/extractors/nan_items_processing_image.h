// The image extractor: decodes an image file, recognises its text as one page and writes the previews
// of page 0. It touches no store: the processing run persists the result.
//
// Outcome: a file that cannot be read or decoded → error (logged as "Fehler beim Laden der Bilddaten",
// "Fehler beim Erstellen des Image" or "Fehler beim Konvertieren des UIImage in ein CGImage" with the
// path); otherwise complete with totalPageCount 1. With ignoreSmallImages on, an image of at most
// smallImageMaxPixels pixels (icons, spacers) is not recognised and ends complete without text; its
// previews are still written. A recognition error leaves the image without text, not in error.
//
// Runs inside an extraction worker in production (the decoders parse untrusted bytes); tests call it
// directly with fake recognition engines. Thread-safety: const members may run on several threads at
// once. Nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/image_decoder.h"
#include "processing/extractors/extraction_result.h"
#include "processing/recognition/pdf_processing.h"
#include "processing/recognition/slim_ocr.h"

namespace lumidex::processing {

inline constexpr uint64_t smallImageMaxPixels = 4999;

class NanItemsProcessingImage {
public:
    using Log = std::function<void(std::string_view)>;

    // The decoder must outlive this object. recognizeText false: no image is recognised (measurements).
    NanItemsProcessingImage(bool ignoreSmallImages, const platform::ImageDecoder& decoder, SlimOcr slimOcr, Log log = {},
                            bool recognizeText = true);

    bool ignoreSmallImages() const { return ignoreSmallImages_; }

    ExtractionResult extract(const std::filesystem::path& path, const PagePreviews& previews = {}) const;
    // The part after decoding, for bitmaps that are already in memory.
    ExtractionResult extract(const platform::Bitmap& bitmap, const PagePreviews& previews = {}) const;

    // True when the small-image rule keeps a bitmap of this size from being recognised.
    bool skipsRecognition(int width, int height) const;

private:
    ExtractionResult extractShared(std::shared_ptr<const platform::Bitmap> bitmap, const PagePreviews& previews) const;

    bool ignoreSmallImages_;
    const platform::ImageDecoder& decoder_;
    SlimOcr slimOcr_;
    Log log_;
    bool recognizeText_;
};

}  // namespace lumidex::processing
