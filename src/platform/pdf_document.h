// A PDF document opened from a file: lock state, page count, page sizes, embedded text, rendering.
//
// Failure behaviour: nothing here throws. openPdfDocument() reports a missing or unparsable file as a
// PdfOpenError; page operations on an index out of range, or on a document that is still locked, give
// an empty result (0 pages, nullopt, "") instead of touching the library.
// Thread-safety: one PdfDocument may be shared between threads; its calls are serialised internally
// (the PDF library is not safe for concurrent use of one document). Different documents render in
// parallel. The library's diagnostics go to the library message handler (library_messages.h).
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bitmap.h"

namespace lumidex::platform {

struct PdfOpenError {
    enum class Kind { fileNotFound, unreadable };

    Kind kind = Kind::unreadable;
    std::filesystem::path path;

    // For example "Could not open PDF /x/a.pdf: not a readable PDF document".
    std::string message() const;
};

// Width and height in points (1/72 inch) of the box that rendering draws: the media box as cut by the
// crop box, with the page's /Rotate applied.
struct PdfPageSize {
    double width = 0;
    double height = 0;
};

enum class PdfRenderColor { gray, rgb };

// A part of a page in points, from the top-left corner of the box that rendering draws (PdfPageSize).
struct PdfRegion {
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
};

// One raster image a page draws: its size on the page in points (along the image's own axes, so a
// rotated image keeps its width and height) and its size in pixels. Image masks (one-bit stencils, as
// scanners write text) count as images; the glyphs of bitmap fonts do not.
struct PdfDrawnImage {
    double drawnWidth = 0;
    double drawnHeight = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    // Where it lands: the rectangle around its corners, not cut to the page.
    PdfRegion bounds;
};

// What a page draws besides its text, as far as it tells whether recognition could find words there.
struct PdfPageDrawing {
    std::vector<PdfDrawnImage> images;  // in drawing order, at most a few thousand
    bool moreImages = false;            // the page draws more images than `images` lists
    // Filled shapes with curves the size of letters (3 to 72 points high, at most 72 wide): text drawn
    // as outlines instead of with a font, or a plot's round markers. Counted only on pages whose
    // content has curves enough for a word.
    int letterLikeShapes = 0;
};

class PdfDocument {
public:
    virtual ~PdfDocument() = default;

    // Locked: a user password is needed before the pages can be read. Encrypted: the file is encrypted
    // but readable as it stands (empty user password), or was unlocked.
    virtual bool isLocked() const = 0;
    virtual bool isEncrypted() const = 0;
    // Tries `password` as owner and as user password. True when the document is unlocked afterwards
    // (also when it was not locked to begin with).
    virtual bool unlock(const std::string& password) = 0;

    // 0 while locked.
    virtual int pageCount() const = 0;
    virtual std::optional<PdfPageSize> mediaBox(int pageIndex) const = 0;
    // The page's embedded text in reading order (UTF-8), "" when it has none: columns one after the
    // other, words hyphenated at a line end joined (see text_flow.h). Glyphs whose font maps them to
    // no text (control codes) are left out.
    virtual std::string pageText(int pageIndex) const = 0;
    // How many glyphs the page's text draws, whether or not they map to text: a page with glyphs but
    // no text has fonts without a usable Unicode map.
    virtual std::size_t pageGlyphCount(int pageIndex) const = 0;
    // The raster images the page draws (forms and annotation appearances included; tiling patterns and
    // shadings left out) and its letter-like shapes. A page whose content names no image and has few
    // curves is answered from a quick look at its content; others are interpreted without rendering or
    // decoding any image, about as costly as taking the page's text. Empty for an index out of range, a
    // locked document or a damaged page.
    virtual PdfPageDrawing pageDrawing(int pageIndex) const = 0;
    // The page's box scaled to exactly pixelWidth × pixelHeight on white. nullopt for a non-positive
    // size, an index out of range, a locked document or a renderer failure.
    virtual std::optional<Bitmap> renderPage(int pageIndex, int pixelWidth, int pixelHeight,
                                             PdfRenderColor color = PdfRenderColor::gray) const = 0;
    // The pixels `region` covers when the page is rendered at `pixelsPerPoint` (each side of the page
    // rounded, as renderPage() is asked for): the region is cut to the page, and its edges are rounded
    // outwards to whole pixels of that rendering. nullopt as renderPage(), for a scale that is not
    // positive, and for a region that leaves nothing of the page.
    virtual std::optional<Bitmap> renderRegion(int pageIndex, PdfRegion region, double pixelsPerPoint,
                                               PdfRenderColor color = PdfRenderColor::gray) const = 0;
};

struct PdfOpenResult {
    std::unique_ptr<PdfDocument> document;  // null exactly when `error` is set
    std::optional<PdfOpenError> error;

    explicit operator bool() const { return document != nullptr; }
};

PdfOpenResult openPdfDocument(const std::filesystem::path& path);

}  // namespace lumidex::platform
