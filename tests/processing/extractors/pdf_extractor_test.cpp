#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "processing/extractors/extractor_fixtures.h"
#include "processing/extractors/nan_items_processing_pdf.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {

using namespace testing;
using lumidex::testing::TempDir;

struct PageReport {
    int64_t page;
    bool recognised;
};

class PdfExtractorTest : public ::testing::Test {
protected:
    NanItemsProcessingPdf extractor() {
        PdfExtractorSettings settings;
        settings.slimOcr = SlimOcr(&ocr.pool);
        settings.renderColor = platform::PdfRenderColor::gray;
        return NanItemsProcessingPdf(
            settings,
            [this](int64_t page, bool recognised) {
                std::lock_guard lock(mutex);
                pages.push_back({page, recognised});
            },
            [this](std::string_view line) {
                std::lock_guard lock(mutex);
                logLines.emplace_back(line);
            });
    }

    TempDir dir;
    CountingOcr ocr;
    std::mutex mutex;
    std::vector<PageReport> pages;
    std::vector<std::string> logLines;
};

TEST(PdfTextRules, TrimsUnicodeWhiteSpaceAndCountsCharacters) {
    EXPECT_EQ(trimWhiteSpaceAndNewlines(" \t\r\n\u00a0Rechnung\u2003\n"), "Rechnung");
    EXPECT_EQ(trimWhiteSpaceAndNewlines("\n\n"), "");
    EXPECT_EQ(trimWhiteSpaceAndNewlines("a b"), "a b");
    // Characters, not bytes: 21 umlauts are 42 bytes but 21 characters.
    std::string umlauts;
    for (int i = 0; i < 21; ++i) umlauts += "\u00e4";
    EXPECT_EQ(characterCount(umlauts), 21u);
    EXPECT_EQ(characterCount("\xff\xfe"), 2u);  // ill-formed bytes count one each
}

TEST_F(PdfExtractorTest, DigitalTextOnPageThreeOnlyIsUsedWithoutRecognition) {
    const auto pdf = dir / "late.pdf";
    // 21 characters on page three, the first two blank.
    writeTextPdf(pdf, {textPage(""), textPage(""), textPage("abcdefghij klmnopqrst"), textPage("tail page")});
    const ExtractionResult result = extractor().extract(pdf);
    EXPECT_EQ(result.state, NanItemProcessingStates::complete);
    EXPECT_TRUE(result.digitalText);
    // Each page's embedded text as the library gives it, then one space; trimmed at both ends.
    EXPECT_EQ(result.text.rfind("abcdefghij klmnopqrst", 0), 0u) << result.text;
    EXPECT_TRUE(result.text.ends_with(" tail page")) << result.text;
    EXPECT_EQ(result.totalPageCount, 4);
    EXPECT_EQ(ocr.calls->load(), 0);
    EXPECT_TRUE(result.rects.empty());
    ASSERT_EQ(pages.size(), 4u);
    EXPECT_FALSE(pages[3].recognised);
    ASSERT_FALSE(logLines.empty());
    EXPECT_EQ(logLines.front(), "URL heavy NanItemsProcessingPdf d2");
}

TEST_F(PdfExtractorTest, TwentyCharactersOnTheFirstThreePagesAreNotDigital) {
    const auto pdf = dir / "twenty.pdf";
    // Page four has plenty of text, but only the first three pages decide.
    writeTextPdf(pdf, {textPage("abcdefghij klmnopqrs"), textPage("short"), textPage(""),
                       textPage("a long line of embedded text on page four")});
    const ExtractionResult result = extractor().extract(pdf);
    EXPECT_EQ(result.state, NanItemProcessingStates::complete);
    EXPECT_FALSE(result.digitalText);
    EXPECT_EQ(ocr.calls->load(), 4);
}

TEST_F(PdfExtractorTest, ScannedPdfWithShortHeadersIsRecognisedPageByPage) {
    const auto pdf = dir / "scan-headers.pdf";
    // Each page carries a 15-character header as embedded text (too short to count as digital).
    writeTextPdf(pdf, {textPage("Scan 2024-01-01"), textPage("Scan 2024-01-02"), textPage("Scan 2024-01-03")});
    const ExtractionResult result = extractor().extract(pdf);
    EXPECT_EQ(result.state, NanItemProcessingStates::complete);
    EXPECT_FALSE(result.digitalText);
    EXPECT_EQ(result.totalPageCount, 3);
    EXPECT_EQ(result.recognisedPages, 3);
    EXPECT_EQ(ocr.calls->load(), 3);
    ASSERT_EQ(pages.size(), 3u);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        EXPECT_EQ(pages[i].page, static_cast<int64_t>(i));
        EXPECT_TRUE(pages[i].recognised);
    }
    // The transcripts of the three pages, in page order, each rendered at four times its point size.
    EXPECT_NE(result.text.find("recognised1 1680x480"), std::string::npos) << result.text;
    EXPECT_LT(result.text.find("recognised1"), result.text.find("recognised3"));
    ASSERT_EQ(result.rects.size(), 3u);
    EXPECT_EQ(result.rects[2].pageIndex, 2);
    EXPECT_EQ(result.rects[0].ocrContent.find("recognised1"), 0u);  // folded text
}

TEST_F(PdfExtractorTest, TextInAFontWithoutUnicodeMapGoesToRecognitionOrIsCounted) {
    const auto pdf = dir / "unmapped.pdf";
    writeBinaryFile(pdf, lumidex::testing::makeUnmappedFontPdf());
    const ExtractionResult recognised = extractor().extract(pdf);
    EXPECT_EQ(recognised.state, NanItemProcessingStates::complete);
    EXPECT_FALSE(recognised.digitalText);  // the glyphs' control codes are not text
    EXPECT_EQ(recognised.recognisedPages, 1);
    EXPECT_NE(recognised.text.find("recognised1"), std::string::npos) << recognised.text;
    EXPECT_EQ(recognised.glyphPagesWithoutText, 0);

    // Without recognition the document has no text: its glyph pages are counted for the run to report.
    PdfExtractorSettings settings;
    settings.recognizeText = false;
    const ExtractionResult unread = NanItemsProcessingPdf(settings, {}, [](std::string_view) {}).extract(pdf);
    EXPECT_EQ(unread.state, NanItemProcessingStates::complete);
    EXPECT_TRUE(unread.text.empty());
    EXPECT_EQ(unread.glyphPagesWithoutText, 1);
}

TEST_F(PdfExtractorTest, UnreadableFilesEndInError) {
    writeBinaryFile(dir / "corrupt.pdf", "%PDF-1.4\nthis is not a document\n");
    EXPECT_EQ(extractor().extract(dir / "corrupt.pdf").state, NanItemProcessingStates::error);
    EXPECT_EQ(extractor().extract(dir / "missing.pdf").state, NanItemProcessingStates::error);
    EXPECT_EQ(ocr.calls->load(), 0);
}

TEST_F(PdfExtractorTest, PasswordProtectedPdfIsLocked) {
    const auto plain = dir / "plain.pdf";
    writeTextPdf(plain, {textPage("Confidential contract text here")});
    if (!encryptPdf(plain, dir / "locked.pdf", "secret", "owner")) GTEST_SKIP() << "qpdf not available";
    const ExtractionResult result = extractor().extract(dir / "locked.pdf");
    EXPECT_EQ(result.state, NanItemProcessingStates::pdfLocked);
    EXPECT_EQ(result.totalPageCount, 0);
    EXPECT_EQ(result.message, NanItemsProcessingPdf::lockedMessage);
    EXPECT_TRUE(result.text.empty());
    EXPECT_TRUE(pages.empty());
}

TEST_F(PdfExtractorTest, EncryptedPdfWithEmptyUserPasswordIsOpened) {
    const auto plain = dir / "plain.pdf";
    writeTextPdf(plain, {textPage("Open to all readers, printing restricted")});
    if (!encryptPdf(plain, dir / "encrypted.pdf", "", "owner")) GTEST_SKIP() << "qpdf not available";
    const ExtractionResult result = extractor().extract(dir / "encrypted.pdf");
    EXPECT_EQ(result.state, NanItemProcessingStates::complete);
    EXPECT_TRUE(result.digitalText);
    EXPECT_EQ(result.text, "Open to all readers, printing restricted");
    EXPECT_EQ(result.totalPageCount, 1);
}

TEST_F(PdfExtractorTest, RecognisedPagesGetPageImagesAndDigitalPagesThumbnailsOnly) {
    writeTextPdf(dir / "scanned.pdf", {textPage("short"), textPage("")});
    writeTextPdf(dir / "digital.pdf", {textPage("first page of the document text"), textPage("second")});
    std::mutex written;
    std::map<std::string, std::pair<int, int>> files;  // name -> PNG size
    SaveNanImagesHelper helper(false, dir.path().string(), dir / "data", [&](std::string path, std::string png) {
        std::lock_guard lock(written);
        files[std::filesystem::path(path).filename().string()] = lumidex::testing::pngSize(png);
    });
    ASSERT_EQ(extractor().extract(dir / "scanned.pdf", PagePreviews{&helper, "SCAN", false}).state,
              NanItemProcessingStates::complete);
    ASSERT_EQ(extractor().extract(dir / "digital.pdf", PagePreviews{&helper, "TEXT", false}).state,
              NanItemProcessingStates::complete);
    const std::map<std::string, std::pair<int, int>> expected{
        {"SCAN_nanimage_#0.png", {1680, 480}}, {"SCAN_nanimage_#1.png", {1680, 480}},
        {"SCAN_thumbmage_#0.png", {200, 57}},  {"SCAN_thumbmage_#1.png", {200, 57}},
        {"TEXT_thumbmage_#0.png", {200, 44}},  {"TEXT_thumbmage_#1.png", {200, 57}}};  // a wider first page
    EXPECT_EQ(files, expected);
    EXPECT_EQ(pages.size(), 4u);  // every page is reported, recognised or not
}

TEST_F(PdfExtractorTest, EnrichmentIsOnlyForPagesDrawingAPictureThatCanHoldText) {
    // A short page, a vector figure, a small sign and a tint stretched from a few pixels: nothing there
    // that recognition could add to the embedded text.
    PdfPageFixture figure = textPage("Figure 1");
    figure.rects = {{24, 10, 300, 80, 0.1, 0.3, 0.5}};
    PdfPageFixture sign = textPage("Note: read this first");
    sign.images = {{4, 4, 30, 30, 128, 128, {}}};
    PdfPageFixture tint = textPage("A tinted page");
    tint.images = {{0, 0, 420, 120, 8, 2, {}}};
    writeTextPdf(dir / "plain.pdf", {textPage("Chapter one of a digital document"), figure, sign, tint});
    const ExtractionResult plain = extractor().extract(dir / "plain.pdf");
    EXPECT_TRUE(plain.digitalText);
    EXPECT_TRUE(plain.enrichmentPages.empty());
    EXPECT_EQ(plain.textPages, 4);

    writeTextPdf(dir / "screenshot.pdf", {textPage("a digital document with enough text"),
                                          textPageWithPicture("the screenshot shows", "Quarterly zeppelin", dir.path()),
                                          textPage("more")});
    const ExtractionResult shot = extractor().extract(dir / "screenshot.pdf");
    EXPECT_EQ(shot.enrichmentPages, (std::vector<int64_t>{1}));
    EXPECT_EQ(ocr.calls->load(), 0);  // extraction itself recognises nothing

    pages.clear();
    int64_t recognised = 0;
    const auto text = extractor().recognisePages(dir / "screenshot.pdf", shot.enrichmentPages, &recognised);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(recognised, 1);
    EXPECT_EQ(ocr.calls->load(), 1);
    // Only the picture is read, with a margin, not the page's own line: 420 × 124 points of the
    // 420 × 240 page, at four pixels a point (the fake recogniser reports the size it was given).
    EXPECT_NE(text->find("recognised1 1680x496"), std::string::npos) << *text;
    // Every page is reported; only the one read counts as recognised.
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_FALSE(pages[0].recognised);
    EXPECT_TRUE(pages[1].recognised);
    EXPECT_FALSE(pages[2].recognised);
    EXPECT_FALSE(extractor().recognisePages(dir / "missing.pdf", {0}).has_value());

    // A word drawn as outlines instead of with a font, as drawing programs export headings and logos:
    // looked for on a cover with a short line of text, not on a page full of text (where such shapes
    // were markers and ornaments).
    if (!commandAvailable("gs")) GTEST_SKIP() << "ghostscript not available";
    const std::string outlinedWord = "/Helvetica-Bold findfont 40 scalefont setfont 20 30 moveto\n"
                                     "(Zaunkoenigwiese) true charpath fill\n";
    std::string fullPage = "/Helvetica findfont 8 scalefont setfont\n";
    for (int line = 0; line < 6; ++line) {
        fullPage += "20 " + std::to_string(180 - 12 * line) + " moveto (a line of embedded body text, " +
                    std::to_string(line) + " of six lines on this page) show\n";
    }
    writeBinaryFile(dir / "outlined.ps", "%!PS\n<< /PageSize [420 200] >> setpagedevice\n"
                                         "/Helvetica findfont 12 scalefont setfont 20 170 moveto\n"
                                         "(A short line of embedded text here) show\n" +
                                             outlinedWord + "showpage\n" + fullPage + outlinedWord + "showpage\n");
    ASSERT_TRUE(runCommand("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=" +
                           quoted(dir / "outlined.pdf") + " " + quoted(dir / "outlined.ps")));
    const ExtractionResult outlined = extractor().extract(dir / "outlined.pdf");
    EXPECT_TRUE(outlined.digitalText);
    EXPECT_EQ(outlined.enrichmentPages, (std::vector<int64_t>{0}));
}

}  // namespace
}  // namespace lumidex::processing
