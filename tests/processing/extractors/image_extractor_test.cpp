#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/image_decoder.h"
#include "processing/extractors/extractor_fixtures.h"
#include "processing/extractors/nan_items_processing_image.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {

using namespace testing;
using lumidex::testing::TempDir;

class ImageExtractorTest : public ::testing::Test {
protected:
    ExtractionResult extract(const std::filesystem::path& file, bool ignoreSmallImages, const PagePreviews& previews = {}) {
        const NanItemsProcessingImage extractor(ignoreSmallImages, *decoder, SlimOcr(&ocr.pool), [this](std::string_view line) {
            std::lock_guard lock(mutex);
            logLines.emplace_back(line);
        });
        return extractor.extract(file, previews);
    }
    std::filesystem::path square(int side) {
        const auto path = dir / ("square-" + std::to_string(side) + ".png");
        writePng(path, platform::Bitmap::rgb(side, side, 200));
        return path;
    }
    bool logged(std::string_view prefix) {
        std::lock_guard lock(mutex);
        for (const auto& line : logLines) {
            if (line.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }

    TempDir dir;
    CountingOcr ocr;
    std::unique_ptr<platform::ImageDecoder> decoder = platform::makeImageDecoder();
    std::mutex mutex;
    std::vector<std::string> logLines;
};

TEST_F(ImageExtractorTest, SmallImagesAreSkippedOnlyWhileTheSettingIsOn) {
    const auto icon = square(64);   // 4096 pixels
    const auto small = square(71);  // 5041 pixels: above the 4999-pixel threshold

    ExtractionResult skipped = extract(icon, true);
    EXPECT_EQ(skipped.state, NanItemProcessingStates::complete);
    EXPECT_EQ(skipped.totalPageCount, 1);
    EXPECT_TRUE(skipped.text.empty());
    EXPECT_EQ(ocr.calls->load(), 0);

    EXPECT_EQ(extract(icon, false).recognisedPages, 1);
    EXPECT_EQ(ocr.calls->load(), 1);

    ExtractionResult recognised = extract(small, true);
    EXPECT_EQ(recognised.recognisedPages, 1);
    EXPECT_NE(recognised.text.find("71x71"), std::string::npos);
    ASSERT_EQ(recognised.rects.size(), 1u);
    EXPECT_EQ(recognised.rects[0].pageIndex, 0);
    extract(small, false);
    EXPECT_EQ(ocr.calls->load(), 3);
    EXPECT_TRUE(logged("URL heavy processImage dd33"));
}

TEST_F(ImageExtractorTest, ThresholdIsInclusive) {
    const platform::ImageDecoder& unused = *decoder;
    const NanItemsProcessingImage on(true, unused, SlimOcr(&ocr.pool));
    EXPECT_TRUE(on.skipsRecognition(4999, 1));
    EXPECT_FALSE(on.skipsRecognition(5000, 1));
    EXPECT_TRUE(on.skipsRecognition(0, 100));
    const NanItemsProcessingImage off(false, unused, SlimOcr(&ocr.pool));
    EXPECT_FALSE(off.skipsRecognition(1, 1));
}

TEST_F(ImageExtractorTest, UndecodableImageIsAnErrorWithItsLogLine) {
    writeBinaryFile(dir / "broken.png", "\x89PNG\r\n\x1a\n not really");
    const ExtractionResult result = extract(dir / "broken.png", true);
    EXPECT_EQ(result.state, NanItemProcessingStates::error);
    EXPECT_FALSE(result.message.empty());
    EXPECT_TRUE(logged("Fehler beim Laden der Bilddaten: " + (dir / "broken.png").string()));
    EXPECT_EQ(ocr.calls->load(), 0);
}

TEST_F(ImageExtractorTest, PreviewsOfPageZeroAreWrittenAlsoForSkippedImages) {
    std::mutex written;
    std::vector<std::string> files;
    SaveNanImagesHelper helper(false, dir.path().string(), dir / "data", [&](std::string path, std::string) {
        std::lock_guard lock(written);
        files.push_back(std::filesystem::path(path).filename().string());
    });
    extract(square(64), true, PagePreviews{&helper, "IMG", false});
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"IMG_nanimage_#0.png", "IMG_thumbmage_#0.png"}));
}

}  // namespace
}  // namespace lumidex::processing
