// The PDF extractor: opens a document, decides between its embedded ("digital") text and text
// recognition, runs the page loop (rendering, previews, recognition, page reports) and returns the
// document's text, rectangles, page count and final state. It touches no store: the processing run
// persists the result.
//
// Outcome by case: a file that cannot be opened → error; a locked document, or one reporting no pages →
// pdfLocked with totalPageCount 0; an encrypted document is tried with the empty password only and is
// pdfLocked when that fails; otherwise complete. A document whose first three pages (as far as it has
// them) all carry 20 characters or fewer of trimmed embedded text (glyphs of fonts without a Unicode
// map count as none) is recognised page by page, with a page image and a thumbnail per page; when it
// still has no text, the result counts its pages that draw glyphs (glyphPagesWithoutText). Otherwise
// its embedded text is the document text and its first pages (PendingPreviews::pagesAhead; later ones
// are drawn when opened) get thumbnails only (with deferPreviews the first page's alone, the others
// drawn later by drawPreviews()), drawn directly at thumbnail size
// (the document renders itself for viewing; a full-resolution page image would cost more than the whole
// extraction). Such a document's result names the pages that draw a raster image able to
// hold text, or text drawn as outlines (enrichmentPages); the run hands the document to the digital-text enrichment only when
// there are any, and the enrichment recognises those pages alone. A page that is merely short (a title
// page, a chapter opening, a vector figure) has nothing recognition could add.
//
// Runs inside an extraction worker in production, but needs nothing of it: tests call it directly with
// fake recognition engines. Stateless apart from its settings; one object per job. Thread-safety: const
// members may run on several threads at once. Cancellation: the token is tested before each page; when
// it is set extract() throws MyCancellationError. Nothing else throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "platform/pdf_document.h"
#include "processing/extractors/extraction_result.h"
#include "processing/recognition/pdf_processing.h"
#include "processing/recognition/slim_ocr.h"

namespace lumidex::processing {

// A page of more than this many characters of trimmed embedded text makes a document digital.
inline constexpr std::size_t digitalTextMinimumCharacters = 21;
inline constexpr int digitalTextPagesTested = 3;
// A raster image that can hold text worth recognising is drawn at least 0.75 inch long and 0.3 inch
// high: a line of 8 pt text with its leading is 0.15 inch, a word of it about half an inch, and logos
// that carry a line of text are often just under an inch wide (one of 71 × 31 points held three words
// nowhere else in its document); smaller pictures are icons, bullets, rules and admonition signs. It
// also has at least 64 × 16 pixels: a line of 8 pt text in a screenshot (96 ppi) is 11 pixels high, a
// short word 40 to 60 wide; with fewer pixels it is a stretched gradient, a rule or a background tint.
inline constexpr double textImageMinimumLongSidePoints = 54;
inline constexpr double textImageMinimumShortSidePoints = 21.6;
inline constexpr int textImageMinimumLongSidePixels = 64;
inline constexpr int textImageMinimumShortSidePixels = 16;
// Text drawn as outlines: this many letter-like shapes (filled, curved, letter-sized) make a word or
// two; a page of rules, boxes and bars has none. Looked for only on pages with less embedded text than
// outlinedTextPageCharacters: covers, title pages and posters made in drawing programs, where headings
// and logos are outlined. On pages full of text such shapes were plot markers, flags and ornaments on
// real folders, and recognising those pages added only misread words.
inline constexpr int outlinedTextMinimumShapes = 8;
inline constexpr std::size_t outlinedTextPageCharacters = 200;

bool mayHoldText(const platform::PdfDrawnImage& image);
// A raster image able to hold text, or text drawn as outlines on a page with `pageCharacters`
// characters of trimmed embedded text.
bool mayHoldText(const platform::PdfPageDrawing& drawing, std::size_t pageCharacters);

// What recognition reads of a page it enriches: the rectangle around the images that may hold text,
// with recognitionMarginPoints to spare, or the whole page (nullopt) when the page has letter-like
// shapes enough for a word (outlines may be anywhere), more images than were listed, an image placed
// nowhere finite, or no such image. The page's embedded text is known already; reading it again cost
// most of the time of an enrichment.
inline constexpr double recognitionMarginPoints = 4;
std::optional<platform::PdfRegion> recognitionRegion(const platform::PdfPageDrawing& drawing);

// Trims white space and line breaks (ASCII and Unicode) at both ends of UTF-8 text.
std::string_view trimWhiteSpaceAndNewlines(std::string_view text);
// Unicode scalar values in UTF-8 text (each ill-formed byte counts as one).
std::size_t characterCount(std::string_view text);

struct PdfExtractorSettings {
    bool lowResImages = false;
    SlimOcr slimOcr{nullptr};  // null pool: the process's shared recognition queue
    CancellationToken cancellationToken;
    platform::PdfRenderColor renderColor = platform::PdfRenderColor::rgb;
    // false: a document without digital text keeps no text and gets thumbnails only (measurements).
    bool recognizeText = true;
    // A document with digital text gets the thumbnail of its first page only (the one the result list
    // shows); the result says the others are owed (previewsDeferred).
    bool deferPreviews = false;
};

class NanItemsProcessingPdf {
public:
    // Called once per finished page, on the extracting thread; `recognised` says whether recognition
    // read the page (false for documents with digital text, and for a page it could not read).
    using PageHandler = std::function<void(int64_t pageIndex, bool recognised)>;
    using Log = std::function<void(std::string_view)>;

    NanItemsProcessingPdf(PdfExtractorSettings settings, PageHandler onPage = {}, Log log = {});

    ExtractionResult extract(const std::filesystem::path& path, const PagePreviews& previews = {}) const;
    ExtractionResult extract(platform::PdfDocument& document, const PagePreviews& previews = {}) const;

    // Recognises the given pages (0-based; others and indexes out of range are left out), each only
    // where recognitionRegion() says, without previews, and returns their transcripts joined by single
    // spaces; nullopt for a document that cannot
    // be opened or unlocked with the empty password.
    std::optional<std::string> recognisePages(const std::filesystem::path& path, const std::vector<int64_t>& pages,
                                              int64_t* recognisedPages = nullptr) const;

    // Draws the thumbnails of the given pages (0-based; others and indexes out of range are left out)
    // exactly as extract() draws those of a document with digital text. Returns how many were handed to
    // the writer; nullopt for a document that cannot be opened or unlocked with the empty password.
    std::optional<int64_t> drawPreviews(const std::filesystem::path& path, const std::vector<int64_t>& pages,
                                        const PagePreviews& previews) const;

    // The document text when it has digital text, else nullopt. `pageCharacters` (optional) receives,
    // for a document with digital text, the characters of trimmed embedded text of every page.
    static std::optional<std::string> hasDigitalText(const platform::PdfDocument& document,
                                                     std::vector<std::size_t>* pageCharacters = nullptr);
    // The pages (0-based, ascending) whose drawing may hold text (mayHoldText()); `pageCharacters` as
    // hasDigitalText() gives them.
    static std::vector<int64_t> pagesWorthRecognising(const platform::PdfDocument& document,
                                                      const std::vector<std::size_t>& pageCharacters);
    // Pages that draw glyphs: asked only for a document left without text, whose pages then hold text
    // in fonts that map it to no characters.
    static int64_t glyphPagesWithoutText(const platform::PdfDocument& document);

    static constexpr std::string_view lockedMessage = "The pdf file is encrypted/locked with a password.";

private:
    // The document ready for reading, or the result that ends the extraction early.
    std::optional<ExtractionResult> checkAccess(platform::PdfDocument& document) const;
    PdfProcessing pageLoop() const;
    // Thumbnails of the pages `drawn` takes of a document with digital text, with a page report for
    // every page when reportPages; returns how many were handed to the writer.
    int64_t writeThumbnails(const platform::PdfDocument& document, const PagePreviews& previews,
                            const std::function<bool(int)>& drawn, bool reportPages = true) const;

    PdfExtractorSettings settings_;
    PageHandler onPage_;
    Log log_;
};

}  // namespace lumidex::processing
