// Fixtures for the extractor and processing-run tests, made at test time: text PDFs (hand-written, with
// or without a picture of text),
// scanned PDFs (a rendered page wrapped by img2pdf), encrypted PDFs (qpdf), images with text, and a
// recognition engine that answers without looking at the pixels.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/model/search_parameters.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "platform/bitmap.h"
#include "platform/media_fixtures.h"
#include "platform/ocr_engine.h"
#include "platform/ocr_engine_pool.h"
#include "platform/pdf_document.h"

namespace lumidex::processing::testing {

using lumidex::testing::commandAvailable;
using lumidex::testing::makePdf;
using lumidex::testing::PdfPageFixture;
using lumidex::testing::PdfTextLine;
using lumidex::testing::writeBinaryFile;

// A small page with one line of large text: quick to render and to recognise. The page is wide enough
// for the line (28-point Helvetica averages under 16 points per character), and at least 420 points.
inline PdfPageFixture textPage(const std::string& text, double height = 120) {
    PdfPageFixture page;
    page.width = std::max(420.0, 48.0 + 16.0 * static_cast<double>(text.size()));
    page.height = height;
    if (!text.empty()) page.lines.push_back(PdfTextLine{24, height / 2 - 10, 28, text});
    return page;
}

inline void writeTextPdf(const std::filesystem::path& path, const std::vector<PdfPageFixture>& pages) {
    writeBinaryFile(path, makePdf(pages));
}

inline bool runCommand(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

inline std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// The page rendered at `scale` pixels per point, as a bitmap.
inline platform::Bitmap renderTextPage(const PdfPageFixture& page, double scale, const std::filesystem::path& scratch) {
    const auto pdf = scratch / "render-source.pdf";
    writeTextPdf(pdf, {page});
    auto opened = platform::openPdfDocument(pdf);
    if (!opened) return {};
    auto bitmap = opened.document->renderPage(0, static_cast<int>(page.width * scale), static_cast<int>(page.height * scale),
                                              platform::PdfRenderColor::gray);
    return bitmap ? *bitmap : platform::Bitmap{};
}

// A text page that also shows a picture of other text (a screenshot, a stamp): `pictureText` rendered at
// two pixels per point, drawn at its own size in points below the page's line.
inline PdfPageFixture textPageWithPicture(const std::string& text, const std::string& pictureText,
                                          const std::filesystem::path& scratch) {
    const PdfPageFixture source = textPage(pictureText);
    const platform::Bitmap picture = renderTextPage(source, 2.0, scratch);
    PdfPageFixture page = textPage(text);
    page.width = std::max(page.width, source.width);
    page.height += source.height;
    page.lines.front().y += source.height;
    page.images.push_back(lumidex::testing::PdfImage{0, 0, source.width, source.height, picture.width, picture.height,
                                                     std::string(picture.bytes.begin(), picture.bytes.end())});
    return page;
}

inline bool writePng(const std::filesystem::path& path, const platform::Bitmap& bitmap) {
    auto png = platform::encodePng(bitmap);
    if (!png) return false;
    writeBinaryFile(path, *png);
    return true;
}

// A PDF whose pages are images of the given pages (no embedded text), one image page per page description.
inline bool writeScannedPdf(const std::filesystem::path& path, const std::vector<PdfPageFixture>& pages,
                            const std::filesystem::path& scratch) {
    if (!commandAvailable("img2pdf")) return false;
    std::string images;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const auto png = scratch / ("scan-page-" + std::to_string(i) + ".png");
        if (!writePng(png, renderTextPage(pages[i], 4.0, scratch))) return false;
        images += " " + quoted(png);
    }
    // The page keeps its size in points, so it is rendered back at the resolution it was scanned at.
    const std::string size = std::to_string(static_cast<int>(pages.front().width)) + "ptx" +
                             std::to_string(static_cast<int>(pages.front().height)) + "pt";
    return runCommand("img2pdf --imgsize " + size + images + " -o " + quoted(path));
}

// qpdf's AES-256 encryption with the given passwords.
inline bool encryptPdf(const std::filesystem::path& in, const std::filesystem::path& out, const std::string& user,
                       const std::string& owner) {
    if (!commandAvailable("qpdf")) return false;
    return runCommand("qpdf --encrypt '" + user + "' '" + owner + "' 256 -- " + quoted(in) + " " + quoted(out));
}

// Answers every bitmap with one line naming its size, and counts the bitmaps it saw.
class CountingOcrEngine final : public platform::OcrEngine {
public:
    explicit CountingOcrEngine(std::shared_ptr<std::atomic<int>> calls) : calls_(std::move(calls)) {}
    platform::OcrOutcome recognize(const platform::Bitmap& bitmap) override {
        const int call = ++*calls_;
        platform::OcrOutcome outcome;
        platform::OcrLine line;
        line.text = "recognised" + std::to_string(call) + " " + std::to_string(bitmap.width) + "x" +
                    std::to_string(bitmap.height);
        line.corners = {platform::OcrPoint{0.1, 0.1}, platform::OcrPoint{0.9, 0.1}, platform::OcrPoint{0.9, 0.2},
                        platform::OcrPoint{0.1, 0.2}};
        outcome.lines.push_back(line);
        return outcome;
    }

private:
    std::shared_ptr<std::atomic<int>> calls_;
};

struct CountingOcr {
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
    platform::OcrEnginePool pool{1, [calls = calls] {
                                     return platform::OcrEngineResult{std::make_unique<CountingOcrEngine>(calls), std::nullopt};
                                 }};
};

// The folder's item for the file at PATH (a failed expectation and an empty item when there is none).
inline NanItem storedItem(folders::BalancedDataManager& manager, const std::filesystem::path& path) {
    auto found = manager.itemByPath(path.string());
    EXPECT_TRUE(found.has_value()) << path;
    return found.value_or(NanItem{});
}

// The names of the folder's documents whose stored text holds WORD.
inline std::set<std::string> indexedFilesWith(folders::BalancedDataManager& manager, const std::string& word) {
    SearchParameters parameters;
    parameters.rootFolderUrlStrings = {manager.rootFolderUrlString()};
    parameters.searchText = word;
    std::set<std::string> names;
    for (const auto& row : manager.ftsDatabaseBalancer().search(parameters, -1, false, false)) names.insert(row.fileName);
    return names;
}

}  // namespace lumidex::processing::testing
