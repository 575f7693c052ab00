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
// still has no text, the result counts its pages that draw glyphs (glyphPagesWithoutText). Otherwise its embedded text is the document text and its pages
// get thumbnails only, drawn directly at thumbnail size (the document renders itself for viewing; a
// full-resolution page image would cost more than the whole extraction). The run hands such documents
// to the digital-text enrichment, which recognises them in the background.
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

#include "core/concurrency/cancellation_token.h"
#include "platform/pdf_document.h"
#include "processing/extractors/extraction_result.h"
#include "processing/recognition/pdf_processing.h"
#include "processing/recognition/slim_ocr.h"

namespace lumidex::processing {

// A page of more than this many characters of trimmed embedded text makes a document digital.
inline constexpr std::size_t digitalTextMinimumCharacters = 21;
inline constexpr int digitalTextPagesTested = 3;
// The digital-text enrichment recognises only pages with less trimmed embedded text than this.
inline constexpr std::size_t enrichmentPageTextLimit = 200;

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
};

class NanItemsProcessingPdf {
public:
    // Called once per finished page, on the extracting thread; `recognised` says whether the page went
    // through text recognition (false for documents with digital text).
    using PageHandler = std::function<void(int64_t pageIndex, bool recognised)>;
    using Log = std::function<void(std::string_view)>;

    NanItemsProcessingPdf(PdfExtractorSettings settings, PageHandler onPage = {}, Log log = {});

    ExtractionResult extract(const std::filesystem::path& path, const PagePreviews& previews = {}) const;
    ExtractionResult extract(platform::PdfDocument& document, const PagePreviews& previews = {}) const;

    // Recognises the pages that carry little embedded text (fewer than enrichmentPageTextLimit characters:
    // scanned pages and pictures inside a digital document), no previews, and returns their transcripts
    // joined by single spaces; nullopt for a document that cannot be opened or unlocked with the empty
    // password. Pages full of embedded text are left out: recognition would cost about a second each and
    // rarely finds a word their text lacks.
    std::optional<std::string> recogniseAllPages(const std::filesystem::path& path, int64_t* recognisedPages = nullptr) const;

    // The document text when it has digital text, else nullopt.
    static std::optional<std::string> hasDigitalText(const platform::PdfDocument& document);
    // Pages that draw glyphs: asked only for a document left without text, whose pages then hold text
    // in fonts that map it to no characters.
    static int64_t glyphPagesWithoutText(const platform::PdfDocument& document);

    static constexpr std::string_view lockedMessage = "The pdf file is encrypted/locked with a password.";

private:
    // The document ready for reading, or the result that ends the extraction early.
    std::optional<ExtractionResult> checkAccess(platform::PdfDocument& document) const;
    PdfProcessing pageLoop(bool recognised) const;
    // Thumbnails of every page of a document with digital text, with a page report for each.
    void writeThumbnails(const platform::PdfDocument& document, const PagePreviews& previews) const;

    PdfExtractorSettings settings_;
    PageHandler onPage_;
    Log log_;
};

}  // namespace lumidex::processing
