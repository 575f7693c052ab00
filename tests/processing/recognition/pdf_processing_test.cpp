#include "processing/recognition/pdf_processing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>

#include "platform/media_fixtures.h"
#include "processing/recognition/recognition_fakes.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {
using namespace std::chrono_literals;
using testing::EventLog;
using testing::FakePdfDocument;

struct Recorder {
    std::mutex mutex;
    std::map<std::string, std::string> files;
    std::vector<int64_t> handled;
    std::vector<bool> recognised;  // as each page was reported

    SaveNanImagesHelper::Writer writer() {
        return [this](std::string path, std::string png) {
            std::lock_guard lock(mutex);
            files[std::move(path)] = std::move(png);
        };
    }
};

class PdfProcessingTest : public ::testing::Test {
protected:
    PdfProcessing processing(bool lowRes, platform::OcrEnginePool& pool, CancellationToken token = {}) {
        return PdfProcessing(lowRes, SlimOcr(&pool), token, [this](int64_t page, bool recognised) {
            std::lock_guard lock(recorder_.mutex);
            recorder_.handled.push_back(page);
            recorder_.recognised.push_back(recognised);
        });
    }

    EventLog log_;
    Recorder recorder_;
};

TEST_F(PdfProcessingTest, RecognisesEveryPageAndWritesPreviews) {
    FakePdfDocument doc({{100, 50}, {100, 50}, {50, 100}}, log_);
    auto pool = testing::makeFakePool(log_);
    const SaveNanImagesHelper helper(false, "/root", "/data", recorder_.writer());

    const PdfPagesResult result = processing(false, *pool).processPages(doc, {&helper, "K"});

    EXPECT_EQ(result.pageCount, 3);
    ASSERT_EQ(result.pages.size(), 3u);
    EXPECT_EQ(result.text(), "page0 text  page1 text  page2 text ");
    const auto rects = result.ocrRects(77u);
    ASSERT_EQ(rects.size(), 3u);
    for (int64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rects[static_cast<std::size_t>(i)].pageIndex, i);
        EXPECT_EQ(rects[static_cast<std::size_t>(i)].ocrContent, "page" + std::to_string(i) + " text");
        EXPECT_EQ(rects[static_cast<std::size_t>(i)].combinedHash, 77u);
    }
    EXPECT_EQ(recorder_.handled, (std::vector<int64_t>{0, 1, 2}));
    // Pages render at four times their point size; thumbnails are 200 pixels wide.
    EXPECT_GE(log_.indexOf("render 2 200x400"), 0);
    ASSERT_EQ(recorder_.files.size(), 6u);
    EXPECT_EQ(lumidex::testing::pngSize(recorder_.files.at("/data/K_nanimage_#0.png")), std::make_pair(400, 200));
    EXPECT_EQ(lumidex::testing::pngSize(recorder_.files.at("/data/K_thumbmage_#0.png")), std::make_pair(200, 100));
    EXPECT_EQ(lumidex::testing::pngSize(recorder_.files.at("/data/K_thumbmage_#2.png")), std::make_pair(200, 400));
}

TEST_F(PdfProcessingTest, LowResolutionHalvesRenderScaleAndThumbnailWidth) {
    FakePdfDocument doc({{612, 792}}, log_);
    auto pool = testing::makeFakePool(log_);
    const SaveNanImagesHelper helper(true, "/root", "/data", recorder_.writer());
    (void)processing(true, *pool).processPages(doc, {&helper, "K", /*thumbnailOnly=*/true});
    EXPECT_GE(log_.indexOf("render 0 1224x1584"), 0);
    ASSERT_EQ(recorder_.files.size(), 1u);
    EXPECT_EQ(lumidex::testing::pngSize(recorder_.files.at("/data/K_thumbmage_#0.png")), std::make_pair(100, 129));
}

TEST_F(PdfProcessingTest, NextPageIsRenderedOnlyOnceThisPageIsRecognised) {
    // Two pages' bitmaps and a recognition at once were what made a worker outgrow its memory bound.
    FakePdfDocument doc({{10, 10}, {10, 10}, {10, 10}}, log_);
    // A loop that renders ahead does so while recognition waits here, and the order below shows it.
    auto pool = testing::makeFakePool(log_, [this](int page) -> std::optional<platform::OcrError> {
        log_.waitFor("render " + std::to_string(page + 1), 200ms);
        return std::nullopt;
    });
    const PdfPagesResult result = processing(false, *pool).processPages(doc);
    EXPECT_EQ(result.text(), "page0 text  page1 text  page2 text ");
    for (int page = 0; page < 2; ++page) {
        const std::string next = "render " + std::to_string(page + 1);
        ASSERT_GE(log_.indexOf(next), 0);
        EXPECT_GT(log_.indexOf(next), log_.indexOf("ocr end " + std::to_string(page)));
    }
}

TEST_F(PdfProcessingTest, CancellationIsTestedBeforeEachPage) {
    FakePdfDocument doc({{10, 10}, {10, 10}, {10, 10}}, log_);
    auto pool = testing::makeFakePool(log_);
    CancellationToken token;
    PdfProcessing loop(false, SlimOcr(pool.get()), token, [&](int64_t page, bool) {
        recorder_.handled.push_back(page);
        token.cancel();
    });
    EXPECT_THROW((void)loop.processPages(doc), MyCancellationError);
    EXPECT_EQ(recorder_.handled, (std::vector<int64_t>{0}));
    EXPECT_EQ(log_.indexOf("ocr begin 1"), -1);

    EventLog untouched;
    FakePdfDocument other({{10, 10}}, untouched);
    EXPECT_THROW((void)processing(false, *pool, token).processPages(other), MyCancellationError);
    EXPECT_TRUE(untouched.events().empty());
}

TEST_F(PdfProcessingTest, UnrenderablePagesAndRecognitionErrorsDoNotStopTheLoop) {
    // Page 1 has an empty box, page 2 fails to render, page 3 fails recognition.
    FakePdfDocument doc({{10, 10}, {0, 10}, {10, 10}, {10, 10}, {10, 10}}, log_);
    doc.failingRenders = {2};
    auto pool = testing::makeFakePool(log_, [](int page) -> std::optional<platform::OcrError> {
        if (page == 3) return platform::OcrError{platform::OcrError::Kind::recognitionFailed, "fake"};
        return std::nullopt;
    });
    const SaveNanImagesHelper helper(false, "/root", "/data", recorder_.writer());
    const PdfPagesResult result = processing(false, *pool).processPages(doc, {&helper, "K"});

    ASSERT_EQ(result.pages.size(), 5u);
    EXPECT_EQ(result.pages[0].ocrResultStates, OcrResultStates::recognized);
    EXPECT_EQ(result.pages[1].ocrResultStates, OcrResultStates::skipped);
    EXPECT_EQ(result.pages[2].ocrResultStates, OcrResultStates::skipped);
    EXPECT_EQ(result.pages[3].ocrResultStates, OcrResultStates::failed);
    EXPECT_EQ(result.pages[4].ocrResultStates, OcrResultStates::recognized);
    EXPECT_EQ(result.text(), "page0 text " + std::string(4, ' ') + "page4 text ");  // empty pages still joined
    EXPECT_EQ(result.ocrRects(1).size(), 2u);
    EXPECT_EQ(log_.indexOf("render 1"), -1);  // an empty box is never handed to the renderer
    EXPECT_EQ(recorder_.handled, (std::vector<int64_t>{0, 1, 2, 3, 4}));
    // Progress counts only the pages recognition read.
    EXPECT_EQ(recorder_.recognised, (std::vector<bool>{true, false, false, false, true}));
    EXPECT_EQ(recorder_.files.count("/data/K_thumbmage_#1.png"), 0u);
    EXPECT_EQ(recorder_.files.count("/data/K_thumbmage_#2.png"), 0u);
    EXPECT_EQ(recorder_.files.count("/data/K_thumbmage_#3.png"), 1u);  // previews do not need text
}

TEST_F(PdfProcessingTest, PreviewOnlyModeSkipsRecognition) {
    FakePdfDocument doc({{10, 10}, {10, 10}}, log_);
    auto pool = testing::makeFakePool(log_);
    const SaveNanImagesHelper helper(false, "/root", "/data", recorder_.writer());
    const PdfPagesResult result = processing(false, *pool).processPages(doc, {&helper, "K"}, /*recognizeText=*/false);
    EXPECT_EQ(result.pages.size(), 2u);
    EXPECT_EQ(result.pages[0].ocrResultStates, OcrResultStates::skipped);
    EXPECT_EQ(log_.indexOf("ocr begin 0"), -1);
    EXPECT_EQ(recorder_.files.size(), 4u);
    EXPECT_EQ(recorder_.handled.size(), 2u);
}

TEST_F(PdfProcessingTest, EmptyDocumentHasNoPages) {
    FakePdfDocument doc({}, log_);
    auto pool = testing::makeFakePool(log_);
    const PdfPagesResult result = processing(false, *pool).processPages(doc);
    EXPECT_EQ(result.pageCount, 0);
    EXPECT_TRUE(result.pages.empty());
    EXPECT_EQ(result.text(), "");
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

TEST(PdfProcessingEndToEnd, RendersAndRecognisesARealPdf) {
    lumidex::testing::TempDir dir;
    using lumidex::testing::PdfPageFixture;
    // Small pages with big type keep rendering and recognition fast.
    const PdfPageFixture first{300, 150, 0, {{20, 70, 28, "Quarterly report"}}, {}};
    const PdfPageFixture second{300, 150, 0, {{20, 70, 28, "Lieferschein 815"}}, {}};
    lumidex::testing::writeBinaryFile(dir / "scan.pdf", lumidex::testing::makePdf({first, second}));
    auto opened = platform::openPdfDocument(dir / "scan.pdf");
    ASSERT_TRUE(opened);

    platform::OcrEnginePool pool(1);
    const PdfProcessing loop(true, SlimOcr(&pool), CancellationToken(), nullptr);
    const auto started = std::chrono::steady_clock::now();
    const PdfPagesResult result = loop.processPages(*opened.document);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::cout << "two small pages rendered and recognised in " << elapsed.count() << " ms\n";

    ASSERT_EQ(result.pages.size(), 2u);
    EXPECT_EQ(lower(result.text()), "quarterly report  lieferschein 815 ");
    const auto rects = result.ocrRects(5u);
    ASSERT_EQ(rects.size(), 2u);
    EXPECT_EQ(rects[1].pageIndex, 1);
    EXPECT_EQ(rects[1].ocrContent, "lieferschein 815");
    EXPECT_NEAR(rects[0].p0x, 20.0 / 300, 0.03);
}

}  // namespace
}  // namespace lumidex::processing
