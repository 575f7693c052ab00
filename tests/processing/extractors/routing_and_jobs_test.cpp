#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "processing/extractors/extraction_result.h"
#include "processing/extractors/extractor_fixtures.h"
#include "processing/extractors/extractor_jobs.h"
#include "processing/nan_items_processing.h"
#include "processing/worker/extraction_worker.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {

using folders::FileRoute;
using lumidex::testing::TempDir;
using nlohmann::json;

NanItem itemAt(const std::string& path) {
    NanItem item;
    item.urlString = path;
    item.fileName = std::filesystem::path(path).filename().string();
    return item;
}

TEST(Routing, EachItemGoesToTheExtractorOfItsLowerCaseExtension) {
    EXPECT_EQ(NanItemsProcessing::route(itemAt("/f/a.pdf")), FileRoute::pdf);
    EXPECT_EQ(NanItemsProcessing::route(itemAt("/f/REPORT.PDF")), FileRoute::pdf);
    EXPECT_EQ(NanItemsProcessing::route(itemAt("/f/photo.jpeg")), FileRoute::image);
    EXPECT_EQ(NanItemsProcessing::route(itemAt("/f/Photo.JPG")), FileRoute::image);
    EXPECT_EQ(NanItemsProcessing::route(itemAt("/f/notes.txt")), FileRoute::text);
    EXPECT_EQ(NanItemsProcessing::route(itemAt("/f/letter.docx")), FileRoute::cloud);
    EXPECT_EQ(NanItemsProcessing::route(itemAt("/f/archive.zip")), std::nullopt);
    EXPECT_EQ(NanItemsProcessing::route(itemAt("/f.pdf/noextension")), std::nullopt);

    EXPECT_EQ(NanItemsProcessing::jobKind(FileRoute::pdf), extractPdfJob);
    EXPECT_EQ(NanItemsProcessing::jobKind(FileRoute::image), extractImageJob);
    EXPECT_EQ(NanItemsProcessing::jobKind(FileRoute::text), extractTextJob);
    EXPECT_TRUE(NanItemsProcessing::jobKind(FileRoute::cloud).empty());
}

TEST(ExtractionResultCodec, RoundTripsAndRejectsMalformedResults) {
    ExtractionResult result;
    result.state = NanItemProcessingStates::pdfLocked;
    result.message = "locked";
    result.text = "Grüße \xff";  // bad UTF-8 is replaced, not fatal
    result.totalPageCount = 7;
    result.digitalText = true;
    result.recognisedPages = 2;
    OcrRect rect;
    rect.pageIndex = 3;
    rect.ocrContent = "zeile";
    rect.p0x = 0.25;
    rect.p3y = 0.75;
    result.rects.push_back(rect);
    result.phases["fileLoad"] = 0.5;

    std::string error;
    const auto decoded = decodeExtractionResult(encodeExtractionResult(result), error);
    ASSERT_TRUE(decoded.has_value()) << error;
    EXPECT_EQ(decoded->state, NanItemProcessingStates::pdfLocked);
    EXPECT_EQ(decoded->text, "Grüße \xef\xbf\xbd");
    EXPECT_EQ(decoded->totalPageCount, 7);
    EXPECT_TRUE(decoded->digitalText);
    ASSERT_EQ(decoded->rects.size(), 1u);
    EXPECT_EQ(decoded->rects[0], rect);
    EXPECT_DOUBLE_EQ(decoded->phases.at("fileLoad"), 0.5);

    EXPECT_FALSE(decodeExtractionResult("[]", error).has_value());
    EXPECT_FALSE(decodeExtractionResult(R"({"state": 2})", error).has_value());  // no such state
    EXPECT_FALSE(decodeExtractionResult(R"({"state": 1, "rects": [[0, "x"]]})", error).has_value());
    // Integers never come from floats, whose conversion out of range is undefined behaviour.
    EXPECT_FALSE(decodeExtractionResult(R"({"state": 1e300})", error).has_value());
    EXPECT_FALSE(decodeExtractionResult(R"({"state": 1, "rects": [[1e30, "x", 0, 0, 0, 0, 0, 0, 0, 0]]})", error));
    const auto minimal = decodeExtractionResult(R"({"state": 1, "text": 5, "pageCount": -1e300})", error);
    ASSERT_TRUE(minimal.has_value());  // a mistyped member keeps its default
    EXPECT_EQ(minimal->text, "");
    EXPECT_EQ(minimal->totalPageCount, 0);
}

TEST(ExtractionJobOptionsCodec, RoundTripsAndKeepsDefaults) {
    ExtractionJobOptions options;
    options.lowResImages = true;
    options.ignoreSmallImages = false;
    options.dataDirectory = "/data/dir";
    options.imageKey = "KEY";
    options.maxTextBytes = 42;
    const ExtractionJobOptions decoded = decodeJobOptions(encodeJobOptions(options));
    EXPECT_TRUE(decoded.lowResImages);
    EXPECT_FALSE(decoded.ignoreSmallImages);
    EXPECT_EQ(decoded.dataDirectory, "/data/dir");
    EXPECT_EQ(decoded.imageKey, "KEY");
    EXPECT_EQ(decoded.maxTextBytes, 42u);
    EXPECT_TRUE(decodeJobOptions("not json").ignoreSmallImages);
}

class RecordingSink final : public ProgressSink {
public:
    void progress(const json& payload) override { payloads.push_back(payload); }
    void log(std::string_view line) override { lines.emplace_back(line); }
    std::vector<json> payloads;
    std::vector<std::string> lines;
};

// Runs a registered job in this process, the way a worker would.
ExtractionResult runJob(std::string_view kind, const std::filesystem::path& path, const ExtractionJobOptions& options,
                        RecordingSink& sink) {
    JobRegistry jobs;
    registerExtractorJobs(jobs);
    const JobHandler* handler = jobs.find(kind);
    EXPECT_NE(handler, nullptr);
    if (handler == nullptr) return {};
    const json optionsJson = json::parse(encodeJobOptions(options));
    const json result = (*handler)(WorkerRequest{1, std::string(kind), path, optionsJson}, sink);
    std::string error;
    auto decoded = decodeExtractionResult(result.dump(), error);
    EXPECT_TRUE(decoded.has_value()) << error;
    return decoded.value_or(ExtractionResult{});
}

TEST(ExtractorJobs, RegistersTheExtractorAndMailAttachmentKinds) {
    JobRegistry jobs;
    registerExtractorJobs(jobs);
    EXPECT_EQ(jobs.kinds(), (std::vector<std::string>{"enrich.pdf", "extract.image", "extract.office", "extract.pdf",
                                                      "extract.text", "mail.attachment", "previews.pdf", "text.office"}));
}

TEST(ExtractorJobs, TextJobHonoursTheSizeLimit) {
    TempDir dir;
    const std::string line = "Lorem ipsum dolor sit amet, consectetur adipiscing elit.\n";
    std::string big;
    while (big.size() < 600 * 1024) big += line;
    std::string fits;
    while (fits.size() + line.size() <= 500 * 1024) fits += line;
    lumidex::testing::writeBinaryFile(dir / "big.txt", big);
    lumidex::testing::writeBinaryFile(dir / "fits.txt", fits);

    RecordingSink sink;
    const ExtractionResult bigResult = runJob(extractTextJob, dir / "big.txt", {}, sink);
    EXPECT_EQ(bigResult.state, NanItemProcessingStates::notSupported);
    EXPECT_TRUE(bigResult.text.empty());
    EXPECT_FALSE(bigResult.message.empty());

    const ExtractionResult fitsResult = runJob(extractTextJob, dir / "fits.txt", {}, sink);
    EXPECT_EQ(fitsResult.state, NanItemProcessingStates::complete);
    EXPECT_EQ(fitsResult.text.size(), fits.size());
    EXPECT_EQ(fitsResult.totalPageCount, 1);
    EXPECT_GT(fitsResult.workerPeakRssKb, 0);
}

TEST(ExtractorJobs, PdfJobWritesPreviewsIntoTheDataDirectoryAndReportsPages) {
    TempDir dir;
    testing::writeTextPdf(dir / "doc.pdf", {testing::textPage("digital text long enough for the test")});
    ExtractionJobOptions options;
    options.dataDirectory = dir / "data";
    options.imageKey = "ITEM";
    options.thumbnailOnly = true;
    RecordingSink sink;
    const ExtractionResult result = runJob(extractPdfJob, dir / "doc.pdf", options, sink);
    EXPECT_EQ(result.state, NanItemProcessingStates::complete);
    EXPECT_TRUE(result.digitalText);
    // The job returns once its previews are on disk.
    EXPECT_TRUE(std::filesystem::exists(dir / "data" / "ITEM_thumbmage_#0.png"));
    EXPECT_FALSE(std::filesystem::exists(dir / "data" / "ITEM_nanimage_#0.png"));
    ASSERT_EQ(sink.payloads.size(), 1u);
    EXPECT_EQ(sink.payloads[0], (json{{"page", 0}, {"recognised", false}}));
    ASSERT_FALSE(sink.lines.empty());
    EXPECT_EQ(sink.lines[0], "URL heavy NanItemsProcessingPdf d2");
}

}  // namespace
}  // namespace lumidex::processing
