#include "processing/text/nan_items_processing_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/app_log.h"
#include "core/hashing.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {

namespace fs = std::filesystem;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;

std::string debugLog() {
    flushAppLog();
    return lumidex::testing::readFile(fs::path(std::getenv("XDG_STATE_HOME")) / "lumidex" / "app_debug.log");
}

std::string textOfSize(std::size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += "Rechnung Nummer 4711 vom 5. M\xC3\xA4rz. ";
    text.resize(bytes);
    return text;
}

class TextExtractorTest : public ::testing::Test {
protected:
    TempDir dir;
    NanItemsProcessingText extractor;
};

TEST_F(TextExtractorTest, SizeLimitFollowsTheFileAttributes) {
    writeFile(dir / "big.txt", textOfSize(600 * 1024));
    TextFileExtraction result = extractor.extract(dir / "big.txt");
    EXPECT_EQ(result.state, NanItemProcessingStates::notSupported);
    EXPECT_TRUE(result.text.empty());
    EXPECT_EQ(result.totalPageCount, 0);
    EXPECT_NE(result.message.find("512000"), std::string::npos);

    writeFile(dir / "limit.txt", textOfSize(512000));
    EXPECT_TRUE(extractor.extract(dir / "limit.txt").succeeded());
    writeFile(dir / "over.txt", textOfSize(512001));
    EXPECT_EQ(extractor.extract(dir / "over.txt").state, NanItemProcessingStates::notSupported);

    writeFile(dir / "fine.md", textOfSize(500 * 1000));
    result = extractor.extract(dir / "fine.md");
    ASSERT_TRUE(result.succeeded()) << result.message;
    EXPECT_EQ(result.totalPageCount, 1);
    EXPECT_EQ(result.text.size(), 500u * 1000u);
    EXPECT_EQ(result.contentHash, contentHash(result.text));
    EXPECT_GT(result.previewPages.size(), 1u);
}

TEST_F(TextExtractorTest, ReadersFollowTheExtensionInAnyCase) {
    writeFile(dir / "NOTES.TXT", "\xFF\xFE" + std::string("H\0i\0", 4));
    TextFileExtraction result = extractor.extract(dir / "NOTES.TXT");
    ASSERT_TRUE(result.succeeded()) << result.message;
    EXPECT_EQ(result.text, "Hi");
    EXPECT_EQ(result.encoding, "UTF-16LE");

    writeFile(dir / "Brief.RTF", R"({\rtf1\ansi\ansicpg1252{\fonttbl\f0\fswiss Helvetica;}\f0\fs24 Gr\'fc\'dfe\par Ende})");
    result = extractor.extract(dir / "Brief.RTF");
    ASSERT_TRUE(result.succeeded()) << result.message;
    EXPECT_EQ(result.text, "Gr\u00fc\u00dfe\nEnde");
    EXPECT_EQ(result.encoding, "RTF windows-1252");

    // RTF source saved as .swift is plain text to us.
    writeFile(dir / "main.swift", "{\\rtf1 not parsed}");
    EXPECT_EQ(extractor.extract(dir / "main.swift").text, "{\\rtf1 not parsed}");
}

TEST_F(TextExtractorTest, RtfdPackagesAreReadThroughTheirTxtRtf) {
    fs::create_directories(dir / "Notiz.rtfd");
    writeFile(dir / "Notiz.rtfd" / "TXT.rtf",
              "{\\rtf1\\ansi\\ansicpg1252\\cocoartf2761\n{\\fonttbl\\f0\\fswiss\\fcharset0 Helvetica;}\n"
              "\\f0\\fs24 \\cf0 Mit Bild {{\\NeXTGraphic Pasted Graphic.png \\width2000 \\height1500 \\appleattachmentpadding0 "
              "\\appleembedtype0 \\appleaqc\n}\xac}\\\nText danach}");
    writeFile(dir / "Notiz.rtfd" / "Pasted Graphic.png", std::string(600 * 1024, 'x'));  // attachments do not count
    TextFileExtraction result = extractor.extract(dir / "Notiz.rtfd");
    ASSERT_TRUE(result.succeeded()) << result.message;
    EXPECT_EQ(result.text, "Mit Bild \u00ac\nText danach");

    fs::create_directories(dir / "Leer.rtfd");
    result = extractor.extract(dir / "Leer.rtfd");
    EXPECT_EQ(result.state, NanItemProcessingStates::error);
    EXPECT_NE(result.message.find("TXT.rtf"), std::string::npos);
}

TEST_F(TextExtractorTest, FailuresEndInErrorWithAReason) {
    writeFile(dir / "fake.rtf", "Dies ist gar kein RTF.");
    TextFileExtraction result = extractor.extract(dir / "fake.rtf");
    EXPECT_EQ(result.state, NanItemProcessingStates::error);
    EXPECT_NE(result.message.find("not an RTF"), std::string::npos);

    std::string deep = "{\\rtf1 ";
    deep.append(5000, '{');
    writeFile(dir / "deep.rtf", deep);
    result = extractor.extract(dir / "deep.rtf");
    EXPECT_EQ(result.state, NanItemProcessingStates::error);
    EXPECT_FALSE(result.message.empty());

    writeFile(dir / "image.txt", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    result = extractor.extract(dir / "image.txt");
    EXPECT_EQ(result.state, NanItemProcessingStates::error);
    EXPECT_NE(result.message.find("binary"), std::string::npos);

    result = extractor.extract(dir / "missing.txt");
    EXPECT_EQ(result.state, NanItemProcessingStates::error);
    EXPECT_TRUE(result.previewPages.empty());
    EXPECT_NE(debugLog().find("missing.txt"), std::string::npos);
}

TEST_F(TextExtractorTest, TruncatedRtfIsReadWithAWarning) {
    writeFile(dir / "cut.rtf", "{\\rtf1\\ansi Anfang des Textes\\par und mehr");
    const TextFileExtraction result = extractor.extract(dir / "cut.rtf");
    ASSERT_TRUE(result.succeeded());
    EXPECT_EQ(result.text, "Anfang des Textes\nund mehr");
    ASSERT_FALSE(result.warnings.empty());
}

TEST(TextExtractorApply, CopiesTheContentFields) {
    TextFileExtraction result;
    result.state = NanItemProcessingStates::complete;
    result.totalPageCount = 1;
    result.contentHash = 1234;
    NanItem item;
    item.processingState = NanItemProcessingStates::readyForProcessing;
    NanItemsProcessingText::apply(result, item);
    EXPECT_EQ(item.processingState, NanItemProcessingStates::complete);
    EXPECT_EQ(item.totalPageCount, 1);
    EXPECT_EQ(item.contentHash, 1234u);
}

}  // namespace
}  // namespace lumidex::processing
