// What an extractor found in one file, as it travels from a worker process back to the processing run,
// and the options a run sends with each extraction job.
//
// Both are plain values with a JSON form (the worker protocol carries JSON); the codecs live in the .cpp
// so that this header stays free of the JSON library. Decoding is strict about types and lenient about
// absent members (they keep their defaults), so a worker of a slightly older build still decodes.
// Pure functions; thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/enums.h"
#include "core/model/ocr_rect.h"

namespace lumidex::processing {

// The job kinds served by extraction workers (registered by registerExtractorJobs).
inline constexpr std::string_view extractPdfJob = "extract.pdf";
inline constexpr std::string_view extractImageJob = "extract.image";
inline constexpr std::string_view extractTextJob = "extract.text";
// An office document converted to PDF: the PDF road over options.convertedPdf, the text from the
// document itself (or from options.officeTextSource, the converter's OpenDocument copy of it).
inline constexpr std::string_view extractOfficeJob = "extract.office";
// An office document's own text alone (OOXML, OpenDocument or CSV), without the converter: the result
// is complete with that text and no pages, or error when the document itself cannot be read.
inline constexpr std::string_view extractOfficeTextJob = "text.office";
// Recognises the pages of a PDF with digital text that draw images able to hold text (the options'
// "pages", as the extraction named them); the result's text is the joined transcripts.
inline constexpr std::string_view enrichPdfJob = "enrich.pdf";
// Draws the thumbnails of the options' "pages" of a PDF (the pages a deferred extraction left without
// one) into the options' data directory under its image key; the result is complete (with
// previewsNotWritten set when some could not be written), or error when the document cannot be opened.
inline constexpr std::string_view previewsPdfJob = "previews.pdf";

struct ExtractionResult {
    NanItemProcessingStates state = NanItemProcessingStates::error;
    std::string message;  // why the file ended in error, pdfLocked or notSupported; empty otherwise
    std::string text;     // as extracted (not folded): digital text, transcripts or file text
    int64_t totalPageCount = 0;
    bool digitalText = false;     // a PDF whose embedded text was used (candidate for enrichment)
    int64_t recognisedPages = 0;  // pages that went through text recognition
    int64_t textPages = 0;        // pages whose embedded text the document text holds (digital PDFs)
    // Pages (0-based) of a digital PDF worth recognising in the enrichment: they draw a raster image
    // that can hold text, or text as outlines. Empty: the document needs no enrichment.
    std::vector<int64_t> enrichmentPages;
    // A PDF with digital text extracted with deferPreviews: only its first page has a thumbnail yet,
    // the others are owed to the later preview pass.
    bool previewsDeferred = false;
    // The "previews.pdf" job: previews drawn but not written (a full disk, a read-only data folder), so
    // still owed; unlike a document that cannot be drawn, they may be written another time.
    int64_t previewsNotWritten = 0;
    // Set only when the document's text is empty: its pages that draw glyphs all the same (fonts that
    // map them to no characters, and recognition found nothing or did not run).
    int64_t glyphPagesWithoutText = 0;
    // Recognised lines: folded text, corners and page index; combinedHash and id are left for the
    // run to fill in.
    std::vector<OcrRect> rects;
    // Seconds spent in the worker per profile phase ("fileLoad", "thumbnailRender", "ocrRecognition").
    std::map<std::string, double> phases;
    int64_t workerPeakRssKb = 0;  // the worker process's peak resident memory so far
};

// The pages (0 up to this, exclusive) whose previews the extraction itself wrote: the first only when
// deferred, the pages drawn ahead for a document with digital text, every page otherwise (recognised
// pages, images, documents drawn without recognition).
int64_t previewPagesWritten(const ExtractionResult& result);

std::string encodeExtractionResult(const ExtractionResult& result);
// nullopt (with `error` set) when the text is not a result object.
std::optional<ExtractionResult> decodeExtractionResult(std::string_view json, std::string& error);

struct ExtractionJobOptions {
    bool lowResImages = false;
    bool ignoreSmallImages = true;
    // Previews go to dataDirectory (the folder's data directory) under imageKey; none when either is empty.
    std::filesystem::path dataDirectory;
    std::string imageKey;
    std::string rootFolderUrl;
    bool thumbnailOnly = false;
    std::uintmax_t maxTextBytes = 512000;
    // false: no text recognition at all (scanned pages and images keep no text); for measurements.
    bool recognizeText = true;
    // extract.office only: the PDF the converter made, and the file to read the full text from (empty:
    // the document itself).
    std::filesystem::path convertedPdf;
    std::filesystem::path officeTextSource;
    std::vector<int64_t> pages;  // "enrich.pdf": the pages to recognise; "previews.pdf": to draw
    // PDFs with digital text: the first page's thumbnail only; the others are drawn by a later pass.
    bool deferPreviews = false;
};

std::string encodeJobOptions(const ExtractionJobOptions& options);
// Absent or mistyped members keep their defaults.
ExtractionJobOptions decodeJobOptions(std::string_view json);

}  // namespace lumidex::processing
