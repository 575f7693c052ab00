#include "processing/extractors/nan_items_processing_pdf.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "core/app_log.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool isWhiteSpaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the scalar starting at `at`; `length` receives its byte count (1 for an ill-formed byte,
// which decodes as U+FFFD and so is never white space).
char32_t decodeAt(std::string_view text, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    length = 1;
    if (lead < 0x80) return lead;
    std::size_t extra = 0;
    char32_t value = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        value = lead & 0x07;
    } else {
        return 0xFFFD;
    }
    if (at + extra >= text.size()) return 0xFFFD;
    for (std::size_t i = 1; i <= extra; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0xFFFD;
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    length = extra + 1;
    return value;
}

// Start of the scalar that ends at `end` (exclusive).
std::size_t previousStart(std::string_view text, std::size_t end) {
    std::size_t start = end - 1;
    const std::size_t limit = end >= 4 ? end - 4 : 0;
    while (start > limit && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    return start;
}

}  // namespace

std::string_view trimWhiteSpaceAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t length = 0;
        if (!isWhiteSpaceOrNewline(decodeAt(text, begin, length))) break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t start = previousStart(text, end);
        std::size_t length = 0;
        const char32_t c = decodeAt(text, start, length);
        if (start + length != end || !isWhiteSpaceOrNewline(c)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 0;
        decodeAt(text, at, length);
        at += length;
        ++count;
    }
    return count;
}

NanItemsProcessingPdf::NanItemsProcessingPdf(PdfExtractorSettings settings, PageHandler onPage, Log log)
    : settings_(std::move(settings)), onPage_(std::move(onPage)), log_(std::move(log)) {
    if (!log_) log_ = [](std::string_view line) { appLog(line); };
}

bool mayHoldText(const platform::PdfDrawnImage& image) {
    const auto [shortPoints, longPoints] = std::minmax(image.drawnWidth, image.drawnHeight);
    const auto [shortPixels, longPixels] = std::minmax(image.pixelWidth, image.pixelHeight);
    return longPoints >= textImageMinimumLongSidePoints && shortPoints >= textImageMinimumShortSidePoints &&
           longPixels >= textImageMinimumLongSidePixels && shortPixels >= textImageMinimumShortSidePixels;
}

bool mayHoldText(const platform::PdfPageDrawing& drawing, std::size_t pageCharacters) {
    const auto holdsText = [](const platform::PdfDrawnImage& image) { return mayHoldText(image); };
    const bool outlinedText =
        pageCharacters < outlinedTextPageCharacters && drawing.letterLikeShapes >= outlinedTextMinimumShapes;
    return outlinedText || std::any_of(drawing.images.begin(), drawing.images.end(), holdsText);
}

std::optional<platform::PdfRegion> recognitionRegion(const platform::PdfPageDrawing& drawing) {
    if (drawing.letterLikeShapes >= outlinedTextMinimumShapes || drawing.moreImages) return std::nullopt;
    std::optional<platform::PdfRegion> around;
    for (const platform::PdfDrawnImage& image : drawing.images) {
        if (!mayHoldText(image)) continue;
        const platform::PdfRegion& b = image.bounds;
        // A damaged placement cannot say where the picture is: the whole page is read.
        if (!std::isfinite(b.left) || !std::isfinite(b.top) || !std::isfinite(b.width) || !std::isfinite(b.height)) {
            return std::nullopt;
        }
        if (!around) {
            around = b;
            continue;
        }
        const double right = std::max(around->left + around->width, b.left + b.width);
        const double bottom = std::max(around->top + around->height, b.top + b.height);
        around->left = std::min(around->left, b.left);
        around->top = std::min(around->top, b.top);
        around->width = right - around->left;
        around->height = bottom - around->top;
    }
    if (around) {
        around->left -= recognitionMarginPoints;
        around->top -= recognitionMarginPoints;
        around->width += 2 * recognitionMarginPoints;
        around->height += 2 * recognitionMarginPoints;
    }
    return around;
}

std::optional<std::string> NanItemsProcessingPdf::hasDigitalText(const platform::PdfDocument& document,
                                                                 std::vector<std::size_t>* pageCharacters) {
    const int pageCount = document.pageCount();
    bool digital = false;
    // The pages tested are kept: taking a page's text lays out all its words.
    std::vector<std::string> tested;
    for (int i = 0; i < std::min(pageCount, digitalTextPagesTested) && !digital; ++i) {
        tested.push_back(document.pageText(i));
        digital = characterCount(trimWhiteSpaceAndNewlines(tested.back())) >= digitalTextMinimumCharacters;
    }
    if (!digital) return std::nullopt;
    std::string text;
    std::vector<std::size_t> characters(static_cast<std::size_t>(std::max(pageCount, 0)), 0);
    for (int i = 0; i < pageCount; ++i) {
        const std::string page = static_cast<std::size_t>(i) < tested.size() ? std::move(tested[static_cast<std::size_t>(i)])
                                                                          : document.pageText(i);
        if (page.empty()) continue;
        text += page;
        text += ' ';
        characters[static_cast<std::size_t>(i)] = characterCount(trimWhiteSpaceAndNewlines(page));
    }
    const std::string_view trimmed = trimWhiteSpaceAndNewlines(text);
    if (trimmed.empty()) return std::nullopt;
    if (pageCharacters != nullptr) *pageCharacters = std::move(characters);
    return std::string(trimmed);
}

std::vector<int64_t> NanItemsProcessingPdf::pagesWorthRecognising(const platform::PdfDocument& document,
                                                                   const std::vector<std::size_t>& pageCharacters) {
    std::vector<int64_t> pages;
    for (int i = 0; i < document.pageCount(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        const std::size_t characters = index < pageCharacters.size() ? pageCharacters[index] : 0;
        if (mayHoldText(document.pageDrawing(i), characters)) pages.push_back(i);
    }
    return pages;
}

std::optional<ExtractionResult> NanItemsProcessingPdf::checkAccess(platform::PdfDocument& document) const {
    ExtractionResult locked;
    locked.state = NanItemProcessingStates::pdfLocked;
    locked.message = std::string(lockedMessage);
    locked.totalPageCount = 0;
    // A locked document must not be asked for its pages before this test (the library crashes).
    if (document.isLocked() || document.pageCount() <= 0) return locked;
    if (document.isEncrypted() && !document.unlock("")) return locked;
    return std::nullopt;
}

PdfProcessing NanItemsProcessingPdf::pageLoop() const {
    return PdfProcessing(
        settings_.lowResImages, settings_.slimOcr, settings_.cancellationToken,
        [this](int64_t pageIndex, bool recognised) {
            if (onPage_) onPage_(pageIndex, recognised);
        },
        settings_.renderColor);
}

ExtractionResult NanItemsProcessingPdf::extract(const std::filesystem::path& path, const PagePreviews& previews) const {
    log_("URL heavy NanItemsProcessingPdf d2");
    const auto started = Clock::now();
    platform::PdfOpenResult opened = platform::openPdfDocument(path);
    if (!opened) {
        ExtractionResult failed;
        failed.state = NanItemProcessingStates::error;
        failed.message = opened.error ? opened.error->message() : "Could not open PDF " + path.string();
        log_("PDF nicht lesbar: " + failed.message);
        return failed;
    }
    ExtractionResult result = extract(*opened.document, previews);
    // Opening, access checks and the digital-text test: everything before the page loop.
    double loading = secondsSince(started);
    for (const auto& [phase, seconds] : result.phases) loading -= seconds;
    result.phases["fileLoad"] = std::max(loading, 0.0);
    return result;
}

ExtractionResult NanItemsProcessingPdf::extract(platform::PdfDocument& document, const PagePreviews& previews) const {
    if (auto early = checkAccess(document)) return *early;
    std::vector<std::size_t> pageCharacters;
    const std::optional<std::string> digitalText = hasDigitalText(document, &pageCharacters);
    if (digitalText || !settings_.recognizeText) {
        ExtractionResult result;
        result.state = NanItemProcessingStates::complete;
        result.totalPageCount = document.pageCount();
        result.digitalText = digitalText.has_value();
        result.textPages = std::count_if(pageCharacters.begin(), pageCharacters.end(),
                                         [](std::size_t characters) { return characters > 0; });
        result.text = digitalText.value_or("");
        if (digitalText && settings_.recognizeText) result.enrichmentPages = pagesWorthRecognising(document, pageCharacters);
        const auto started = Clock::now();
        // The pages drawn ahead (later ones when opened); deferred, the first only, which the result list
        // shows, and the others wait for the preview pass.
        const int64_t ahead = result.digitalText ? storage::PendingPreviews::pagesDrawnAhead(result.totalPageCount)
                                                 : result.totalPageCount;
        const bool deferred = settings_.deferPreviews && previews.helper != nullptr && ahead > 1;
        writeThumbnails(document, previews,
                        [deferred, ahead](int pageIndex) { return pageIndex < ahead && (!deferred || pageIndex == 0); });
        result.previewsDeferred = deferred;
        result.phases["thumbnailRender"] = secondsSince(started);
        if (!digitalText) result.glyphPagesWithoutText = glyphPagesWithoutText(document);
        return result;
    }

    const auto loopStarted = Clock::now();
    const PdfPagesResult pages = pageLoop().processPages(document, previews, true);
    ExtractionResult result;
    result.state = NanItemProcessingStates::complete;
    result.totalPageCount = pages.pageCount;
    result.text = pages.text();
    result.rects = pages.ocrRects(0);
    result.recognisedPages = static_cast<int64_t>(std::count_if(
        pages.pages.begin(), pages.pages.end(),
        [](const SlimOcrResult& page) { return page.ocrResultStates == OcrResultStates::recognized; }));
    result.phases["ocrRecognition"] = secondsSince(loopStarted);
    if (trimWhiteSpaceAndNewlines(result.text).empty()) result.glyphPagesWithoutText = glyphPagesWithoutText(document);
    return result;
}

int64_t NanItemsProcessingPdf::glyphPagesWithoutText(const platform::PdfDocument& document) {
    int64_t pages = 0;
    for (int i = 0; i < document.pageCount(); ++i) {
        if (document.pageGlyphCount(i) > 0) ++pages;
    }
    return pages;
}

int64_t NanItemsProcessingPdf::writeThumbnails(const platform::PdfDocument& document, const PagePreviews& previews,
                                               const std::function<bool(int)>& drawn, bool reportPages) const {
    const int pageCount = document.pageCount();
    int64_t written = 0;
    for (int i = 0; i < pageCount; ++i) {
        settings_.cancellationToken.throwIfCancelled();
        if (previews.helper != nullptr && drawn(i)) {
            // Drawn at the thumbnail's own width: a full-resolution render would only be scaled down.
            const int width = previews.helper->lowResImages() ? SaveNanImagesHelper::lowResThumbnailWidth
                                                               : SaveNanImagesHelper::thumbnailWidth;
            const auto box = document.mediaBox(i);
            if (box && box->width > 0 && box->height > 0) {
                const int height = std::max(1, static_cast<int>(std::lround(width * box->height / box->width)));
                if (auto bitmap = document.renderPage(i, width, height, settings_.renderColor)) {
                    if (previews.helper->savePageImageAndThumbnail(previews.key, i, *bitmap, true)) ++written;
                }
            }
        }
        if (reportPages && onPage_) onPage_(i, false);
    }
    return written;
}

std::optional<int64_t> NanItemsProcessingPdf::drawPreviews(const std::filesystem::path& path,
                                                           const std::vector<int64_t>& pageIndexes,
                                                           const PagePreviews& previews) const {
    platform::PdfOpenResult opened = platform::openPdfDocument(path);
    if (!opened || checkAccess(*opened.document)) return std::nullopt;
    const auto wanted = [&pageIndexes](int pageIndex) {
        return std::find(pageIndexes.begin(), pageIndexes.end(), pageIndex) != pageIndexes.end();
    };
    return writeThumbnails(*opened.document, previews, wanted, false);
}

std::optional<std::string> NanItemsProcessingPdf::recognisePages(const std::filesystem::path& path,
                                                                 const std::vector<int64_t>& pageIndexes,
                                                                 int64_t* recognisedPages) const {
    platform::PdfOpenResult opened = platform::openPdfDocument(path);
    if (!opened || checkAccess(*opened.document)) return std::nullopt;
    const platform::PdfDocument& document = *opened.document;
    const auto wanted = [&pageIndexes](int pageIndex) {
        return std::find(pageIndexes.begin(), pageIndexes.end(), pageIndex) != pageIndexes.end();
    };
    const auto region = [&document](int pageIndex) { return recognitionRegion(document.pageDrawing(pageIndex)); };
    const PdfPagesResult pages = pageLoop().processPages(document, {}, true, wanted, region);
    if (recognisedPages != nullptr) {
        *recognisedPages = static_cast<int64_t>(std::count_if(
            pages.pages.begin(), pages.pages.end(),
            [](const SlimOcrResult& page) { return page.ocrResultStates == OcrResultStates::recognized; }));
    }
    return pages.text();
}

}  // namespace lumidex::processing
