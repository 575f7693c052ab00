#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/library_messages.h"
#include "platform/linux/poppler_page_images.h"
#include "platform/pdf_document.h"
#include "platform/text_flow.h"

namespace lumidex::platform {
namespace {

struct PixelBox {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// A region of a page in the pixels of the whole page rendered at a scale.
struct RegionPixels {
    double pageWidth = 0;  // the page's sides in pixels, each rounded and at least 1
    double pageHeight = 0;
    PixelBox part;  // the region's edges rounded outwards and cut to the page
};

// nullopt when nothing of the page is left or the scale is not positive.
std::optional<RegionPixels> regionPixels(PdfPageSize page, PdfRegion region, double pixelsPerPoint) {
    if (!(pixelsPerPoint > 0) || !std::isfinite(pixelsPerPoint) || !(page.width > 0) || !(page.height > 0)) {
        return std::nullopt;
    }
    const double pageWidth = std::max(1.0, std::round(page.width * pixelsPerPoint));
    const double pageHeight = std::max(1.0, std::round(page.height * pixelsPerPoint));
    if (!(pageWidth <= INT32_MAX) || !(pageHeight <= INT32_MAX)) return std::nullopt;
    const double left = std::clamp(std::floor(region.left * pixelsPerPoint), 0.0, pageWidth);
    const double top = std::clamp(std::floor(region.top * pixelsPerPoint), 0.0, pageHeight);
    const double right = std::clamp(std::ceil((region.left + region.width) * pixelsPerPoint), 0.0, pageWidth);
    const double bottom = std::clamp(std::ceil((region.top + region.height) * pixelsPerPoint), 0.0, pageHeight);
    // NaN edges fail these comparisons too.
    if (!(right > left) || !(bottom > top)) return std::nullopt;
    return RegionPixels{pageWidth, pageHeight,
                        PixelBox{static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
                                 static_cast<int>(bottom - top)}};
}

void forwardDiagnostic(const std::string& message, void*) { reportLibraryMessage("poppler: " + message); }

void routePopplerDiagnostics() {
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function(forwardDiagnostic, nullptr); });
}

class PopplerPdfDocument final : public PdfDocument {
public:
    PopplerPdfDocument(std::unique_ptr<poppler::document> document, std::filesystem::path path)
        : document_(std::move(document)), path_(std::move(path)) {}

    bool isLocked() const override {
        std::lock_guard lock(mutex_);
        return document_->is_locked();
    }

    bool isEncrypted() const override {
        std::lock_guard lock(mutex_);
        return document_->is_encrypted();
    }

    bool unlock(const std::string& password) override {
        std::lock_guard lock(mutex_);
        if (!document_->is_locked()) return true;
        // The library answers true when unlocking *failed*; the lock state is the reliable witness.
        try {
            (void)document_->unlock(password, password);
        } catch (...) {
            return false;
        }
        if (document_->is_locked()) return false;
        password_ = password;
        return true;
    }

    int pageCount() const override {
        std::lock_guard lock(mutex_);
        if (document_->is_locked()) return 0;  // the library crashes on a locked document's pages
        return std::max(0, document_->pages());
    }

    std::optional<PdfPageSize> mediaBox(int pageIndex) const override {
        std::lock_guard lock(mutex_);
        auto page = pageAt(pageIndex);
        if (!page) return std::nullopt;
        return displayedSize(*page);
    }

    std::string pageText(int pageIndex) const override {
        std::lock_guard lock(mutex_);
        auto page = pageAt(pageIndex);
        if (!page) return {};
        try {
            // The library's own reading order merges the lines of columns set close together (a 10 pt
            // gutter) into one line; the word boxes are ordered here instead.
            std::vector<PositionedWord> words;
            for (const poppler::text_box& box : page->text_list()) {
                const poppler::byte_array utf8 = box.text().to_utf8();
                const poppler::rectf r = box.bbox();
                const std::size_t length = box.text().size();
                const bool leftToRight = length > 1 && box.char_bbox(length - 1).left() > box.char_bbox(0).left();
                words.push_back(PositionedWord{std::string(utf8.begin(), utf8.end()), r.left(), r.top(), r.right(),
                                               r.bottom(), box.rotation(), box.has_space_after(), leftToRight});
            }
            return joinHyphenatedLines(readingOrderText(std::move(words)));
        } catch (...) {
            return {};
        }
    }

    std::size_t pageGlyphCount(int pageIndex) const override {
        std::lock_guard lock(mutex_);
        auto page = pageAt(pageIndex);
        if (!page) return 0;
        try {
            std::size_t glyphs = 0;
            for (const poppler::text_box& box : page->text_list()) glyphs += box.text().size();
            return glyphs;
        } catch (...) {
            return 0;
        }
    }

    PdfPageDrawing pageDrawing(int pageIndex) const override {
        std::lock_guard lock(mutex_);
        if (document_->is_locked() || pageIndex < 0 || pageIndex >= document_->pages()) return {};
        // A parser of its own: the wrapper does not share its document with the core API.
        if (!images_) images_ = std::make_unique<linux_detail::PopplerPageImages>(path_, password_);
        return images_->drawing(pageIndex);
    }

    std::optional<Bitmap> renderPage(int pageIndex, int pixelWidth, int pixelHeight,
                                     PdfRenderColor color) const override {
        if (pixelWidth <= 0 || pixelHeight <= 0) return std::nullopt;
        std::lock_guard lock(mutex_);
        auto page = pageAt(pageIndex);
        if (!page) return std::nullopt;
        const PdfPageSize size = displayedSize(*page);
        if (size.width <= 0 || size.height <= 0) return std::nullopt;
        return render(*page, 72.0 * pixelWidth / size.width, 72.0 * pixelHeight / size.height,
                      PixelBox{0, 0, pixelWidth, pixelHeight}, color);
    }

    std::optional<Bitmap> renderRegion(int pageIndex, PdfRegion region, double pixelsPerPoint,
                                       PdfRenderColor color) const override {
        std::lock_guard lock(mutex_);
        auto page = pageAt(pageIndex);
        if (!page) return std::nullopt;
        const PdfPageSize size = displayedSize(*page);
        if (size.width <= 0 || size.height <= 0) return std::nullopt;
        const auto pixels = regionPixels(size, region, pixelsPerPoint);
        if (!pixels) return std::nullopt;
        // The resolution renderPage() would use for the whole page, so that the part matches its pixels.
        return render(*page, 72.0 * pixels->pageWidth / size.width, 72.0 * pixels->pageHeight / size.height,
                      pixels->part, color);
    }

private:
    // The pixels `box` of the page rendered at dpiX × dpiY (an explicit slice fixes the output size; the
    // renderer would otherwise round it itself). Called with mutex_ held.
    static std::optional<Bitmap> render(poppler::page& page, double dpiX, double dpiY, PixelBox box,
                                        PdfRenderColor color) {
        try {
            poppler::page_renderer renderer;
            renderer.set_render_hints(poppler::page_renderer::antialiasing | poppler::page_renderer::text_antialiasing);
            renderer.set_paper_color(0xffffffffU);
            const bool gray = color == PdfRenderColor::gray;
            renderer.set_image_format(gray ? poppler::image::format_gray8 : poppler::image::format_rgb24);
            const poppler::image image = renderer.render_page(&page, dpiX, dpiY, box.x, box.y, box.width, box.height);
            if (!image.is_valid() || image.width() != box.width || image.height() != box.height) return std::nullopt;
            Bitmap bitmap = gray ? Bitmap::gray(box.width, box.height) : Bitmap::rgb(box.width, box.height);
            const char* src = image.const_data();
            const std::size_t sourceStride = static_cast<std::size_t>(image.bytes_per_row());
            if (sourceStride < bitmap.stride()) return std::nullopt;
            for (std::size_t y = 0; y < static_cast<std::size_t>(box.height); ++y) {
                std::memcpy(bitmap.bytes.data() + y * bitmap.stride(), src + y * sourceStride, bitmap.stride());
            }
            return bitmap;
        } catch (...) {
            return std::nullopt;  // std::bad_alloc for an absurd size, or anything the library throws
        }
    }

    std::unique_ptr<poppler::page> pageAt(int pageIndex) const {
        if (document_->is_locked() || pageIndex < 0 || pageIndex >= document_->pages()) return nullptr;
        try {
            return std::unique_ptr<poppler::page>(document_->create_page(pageIndex));
        } catch (...) {
            return nullptr;
        }
    }

    // The renderer draws the crop box (clipped to the media box) and applies /Rotate, so that is the
    // size callers must scale.
    static PdfPageSize displayedSize(const poppler::page& page) {
        const poppler::rectf box = page.page_rect(poppler::crop_box);
        PdfPageSize size{box.width(), box.height()};
        const auto orientation = page.orientation();
        if (orientation == poppler::page::landscape || orientation == poppler::page::seascape) {
            std::swap(size.width, size.height);
        }
        return size;
    }

    mutable std::mutex mutex_;
    std::unique_ptr<poppler::document> document_;
    std::filesystem::path path_;
    std::string password_;
    // Declared after document_: destroyed first, while the wrapper still holds the library's globals.
    mutable std::unique_ptr<linux_detail::PopplerPageImages> images_;
};

}  // namespace

std::string PdfOpenError::message() const {
    const char* reason = kind == Kind::fileNotFound ? "file not found" : "not a readable PDF document";
    return "Could not open PDF " + path.string() + ": " + reason;
}

PdfOpenResult openPdfDocument(const std::filesystem::path& path) {
    routePopplerDiagnostics();
    PdfOpenResult result;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        result.error = PdfOpenError{PdfOpenError::Kind::fileNotFound, path};
        return result;
    }
    std::unique_ptr<poppler::document> document;
    try {
        document.reset(poppler::document::load_from_file(path.string()));
    } catch (...) {
        document.reset();
    }
    if (!document) {
        result.error = PdfOpenError{PdfOpenError::Kind::unreadable, path};
        return result;
    }
    result.document = std::make_unique<PopplerPdfDocument>(std::move(document), path);
    return result;
}

}  // namespace lumidex::platform
