#include "processing/recognition/slim_ocr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "core/app_log.h"
#include "platform/media_fixtures.h"
#include "processing/recognition/recognition_fakes.h"
#include "processing/recognition/render_size.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "storage/fts_tools.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {
using platform::OcrLine;
using platform::OcrPoint;

TEST(RenderSize, BoundsScaleAndLongerSide) {
    EXPECT_EQ(renderSize(612, 792, false), (PixelSize{2448, 3168}));  // US letter at 288 dpi
    EXPECT_EQ(renderSize(612, 792, true), (PixelSize{1224, 1584}));   // and at 144 dpi
    // A poster is bounded by its longer side, in either mode.
    EXPECT_EQ(renderSize(3000, 2000, false), (PixelSize{4096, 2731}));
    EXPECT_EQ(renderSize(3000, 2000, true), (PixelSize{4096, 2731}));
    EXPECT_NEAR(renderScale(3000, 2000, false), 4096.0 / 3000.0, 1e-12);
    EXPECT_EQ(renderSize(1500, 100, false), (PixelSize{4096, 273}));  // fit beats the 4.0 cap
    EXPECT_EQ(renderSize(1500, 100, true), (PixelSize{3000, 200}));   // the 2.0 cap beats the fit
    EXPECT_EQ(renderSize(10000, 0.01, false).height, 1);              // never a zero side
}

TEST(RenderSize, EmptyPageBoxRendersNothing) {
    EXPECT_TRUE(renderSize(0, 792, false).isEmpty());
    EXPECT_EQ(renderSize(612, 0, false), (PixelSize{0, 0}));
    EXPECT_EQ(renderSize(-612, 792, true), (PixelSize{0, 0}));
    EXPECT_EQ(renderSize(std::numeric_limits<double>::quiet_NaN(), 792, false), (PixelSize{0, 0}));
    EXPECT_EQ(renderSize(std::numeric_limits<double>::infinity(), 792, false), (PixelSize{0, 0}));
}

OcrLine line(std::string text, double x0, double y0, double x1, double y1) {
    return OcrLine{std::move(text), {OcrPoint{x0, y0}, OcrPoint{x1, y0}, OcrPoint{x1, y1}, OcrPoint{x0, y1}}, 90, {}};
}

TEST(SlimOcrResultTest, TranscriptDeduplicationAndFolding) {
    const std::vector<OcrLine> lines = {
        line("Große Straße", 0.1, 0.8, 0.5, 0.85),
        line("", 0.1, 0.7, 0.5, 0.75),  // no candidate: skipped entirely
        line("Total 42", 0.1, 0.5, 0.4, 0.55),
        line("Total 42", 0.1, 0.5, 0.4, 0.55),  // same line, same place: kept once
        line("Total 42", 0.1, 0.2, 0.4, 0.25),  // same text elsewhere: a line of its own
    };
    const SlimOcrResult result = SlimOcr::makeResult(lines, 7);
    EXPECT_EQ(result.ocrResultStates, OcrResultStates::recognized);
    EXPECT_EQ(result.pageCount, 7);
    EXPECT_EQ(result.transcript, "Große Straße Total 42 Total 42 Total 42 ");
    ASSERT_EQ(result.ocrRectDisplayResults.size(), 3u);
    EXPECT_EQ(result.ocrRectDisplayResults[0].text, "Große Straße");
    EXPECT_EQ(result.ocrRectDisplayResults[0].foldedText, storage::FtsTools::fold("Große Straße"));
    EXPECT_NE(result.ocrRectDisplayResults[0].foldedText.find("strasse"), std::string::npos);
    EXPECT_EQ(result.ocrRectDisplayResults[2].corners[0].y, 0.2);

    const auto rects = result.ocrRects(1234u, 5);
    ASSERT_EQ(rects.size(), 3u);
    const OcrRect& r = rects[1];
    EXPECT_EQ(r.combinedHash, 1234u);
    EXPECT_EQ(r.pageIndex, 5);
    EXPECT_EQ(r.ocrContent, storage::FtsTools::fold("Total 42"));
    EXPECT_EQ(std::vector<double>({r.p0x, r.p0y, r.p1x, r.p1y, r.p2x, r.p2y, r.p3x, r.p3y}),
              std::vector<double>({0.1, 0.5, 0.4, 0.5, 0.4, 0.55, 0.1, 0.55}));
    EXPECT_NE(rects[0].id, rects[1].id);
}

TEST(SlimOcrResultTest, AlternativeReadingsAreSearchableButNeverShown) {
    OcrLine unsure = line("Aktenzeichen vxng2571 Konto", 0.1, 0.5, 0.6, 0.55);
    unsure.alternativeWords = {"vxnq2571"};
    const SlimOcrResult result = SlimOcr::makeResult({line("Betreff", 0.1, 0.6, 0.3, 0.65), unsure}, 1);
    EXPECT_EQ(result.transcript, "Betreff Aktenzeichen vxng2571 Konto vxnq2571 ");
    ASSERT_EQ(result.ocrRectDisplayResults.size(), 2u);
    EXPECT_EQ(result.ocrRectDisplayResults[1].text, "Aktenzeichen vxng2571 Konto");
    EXPECT_EQ(result.ocrRectDisplayResults[1].foldedText, storage::FtsTools::fold("Aktenzeichen vxng2571 Konto vxnq2571"));
}

TEST(SlimOcrResultTest, WordsHyphenatedAtLineEndsAreJoinedInTheTranscript) {
    OcrLine broken = line("die zu-", 0.1, 0.6, 0.3, 0.65);
    broken.alternativeWords = {"zn-"};
    const SlimOcrResult result = SlimOcr::makeResult(
        {broken, line("laessigen Werte per E-", 0.1, 0.5, 0.5, 0.55), line("Mail oder Ein-", 0.1, 0.4, 0.4, 0.45),
         line("und Ausgabe", 0.1, 0.3, 0.3, 0.35)},
        1);
    // A lower-case continuation joins without the hyphen (the alternative reading follows the joined
    // words at the next line break); a capitalised one keeps it; "und" after the hyphen keeps both apart.
    EXPECT_EQ(result.transcript, "die zulaessigen Werte per E-Mail oder Ein- zn- und Ausgabe ");
    // The lines themselves, shown and highlighted, stay as recognised.
    ASSERT_EQ(result.ocrRectDisplayResults.size(), 4u);
    EXPECT_EQ(result.ocrRectDisplayResults[0].text, "die zu-");
}

TEST(SlimOcrResultTest, NoLinesIsAnEmptySuccess) {
    const SlimOcrResult result = SlimOcr::makeResult({}, 1);
    EXPECT_EQ(result.ocrResultStates, OcrResultStates::recognized);
    EXPECT_EQ(result.transcript, "");
    EXPECT_TRUE(result.ocrRectDisplayResults.empty());
}

std::string appLogText() {
    flushAppLog();
    return lumidex::testing::readFile(std::filesystem::path(std::getenv("XDG_STATE_HOME")) / "lumidex" / "app_debug.log");
}

TEST(SlimOcrTest, RecognisesThroughThePoolAndLogsErrors) {
    testing::EventLog log;
    auto pool = testing::makeFakePool(log, [](int page) -> std::optional<platform::OcrError> {
        if (page == 9) return platform::OcrError{platform::OcrError::Kind::timedOut, "fake slow page"};
        return std::nullopt;
    });
    const SlimOcr ocr(pool.get(), 3);
    EXPECT_EQ(ocr.tempCounter(), 3);

    auto page = platform::Bitmap::gray(8, 8);
    page.bytes[0] = 4;
    const auto result = ocr.recognize(std::make_shared<const platform::Bitmap>(page), 4, 10);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->transcript, "page4 text ");
    EXPECT_EQ(result->pageCount, 10);

    page.bytes[0] = 9;
    EXPECT_FALSE(ocr.recognize(std::make_shared<const platform::Bitmap>(page), 9, 10));
    const SlimOcrOutcome outcome = ocr.recognizeTextAsync(std::make_shared<const platform::Bitmap>(page), 9, 10).get();
    EXPECT_FALSE(outcome.result);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->kind, platform::OcrError::Kind::timedOut);
    EXPECT_NE(appLogText().find("Error performing text recognition: text recognition timed out: fake slow page"),
              std::string::npos);
}

TEST(SaveNanImagesHelperTest, NamesEncodesAndHandsOverBothImages) {
    std::map<std::string, std::string> written;
    std::mutex mutex;
    auto writer = [&](std::string path, std::string png) {
        std::lock_guard lock(mutex);
        written[std::move(path)] = std::move(png);
    };
    const SaveNanImagesHelper helper(false, "/docs", "/data/docs", writer);
    EXPECT_EQ(SaveNanImagesHelper::pageImageFileName("KEY", 3), "KEY_nanimage_#3.png");
    EXPECT_EQ(SaveNanImagesHelper::thumbnailFileName("KEY", 12), "KEY_thumbmage_#12.png");
    NanItem item;
    item.id = Uuid::nameBased("/docs/a.pdf");
    EXPECT_EQ(SaveNanImagesHelper::imageKey(item), item.id.toString());

    ASSERT_TRUE(helper.savePageImageAndThumbnail("KEY", 0, platform::Bitmap::gray(1224, 1584)));
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(lumidex::testing::pngSize(written.at("/data/docs/KEY_nanimage_#0.png")), std::make_pair(1224, 1584));
    EXPECT_EQ(lumidex::testing::pngSize(written.at("/data/docs/KEY_thumbmage_#0.png")), std::make_pair(200, 259));

    written.clear();
    const SaveNanImagesHelper lowRes(true, "/docs", "/data/docs", writer);
    ASSERT_TRUE(lowRes.savePageImageAndThumbnail("KEY", 1, platform::Bitmap::rgb(300, 100), /*thumbnailOnly=*/true));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(lumidex::testing::pngSize(written.at("/data/docs/KEY_thumbmage_#1.png")), std::make_pair(100, 33));

    EXPECT_FALSE(lowRes.savePageImageAndThumbnail("KEY", 2, platform::Bitmap{}));
    EXPECT_EQ(written.size(), 1u);
}

}  // namespace
}  // namespace lumidex::processing
