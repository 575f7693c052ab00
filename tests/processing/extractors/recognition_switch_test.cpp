// Indexing without text recognition (LUMIDEX_DISABLE_OCR=1, carried to the workers as
// ExtractionJobOptions::recognizeText): nothing is recognised, yet every file still ends complete.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/diagnostics_collector.h"
#include "folders/coordinator/core_manager_data.h"
#include "platform/image_decoder.h"
#include "platform/subprocess.h"
#include "processing/extractors/extractor_fixtures.h"
#include "processing/extractors/nan_items_processing_image.h"
#include "processing/extractors/nan_items_processing_pdf.h"
#include "processing/nan_items_processing.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {

using namespace std::chrono_literals;
using namespace testing;
using lumidex::testing::TempDir;

TEST(RecognitionSwitch, JobOptionTravelsToTheWorkerAndDefaultsToOn) {
    ExtractionJobOptions options;
    EXPECT_TRUE(options.recognizeText);
    options.recognizeText = false;
    EXPECT_FALSE(decodeJobOptions(encodeJobOptions(options)).recognizeText);
    // A run of an older build sends no member: recognition stays on.
    EXPECT_TRUE(decodeJobOptions(R"({"lowResImages": true})").recognizeText);
}

class ExtractorsWithoutRecognition : public ::testing::Test {
protected:
    NanItemsProcessingPdf pdfExtractor(bool recognizeText) {
        PdfExtractorSettings settings;
        settings.slimOcr = SlimOcr(&ocr.pool);
        settings.renderColor = platform::PdfRenderColor::gray;
        settings.recognizeText = recognizeText;
        return NanItemsProcessingPdf(settings, [this](int64_t, bool recognised) {
            std::lock_guard lock(mutex);
            pageReports.push_back(recognised);
        });
    }

    TempDir dir;
    CountingOcr ocr;
    std::mutex mutex;
    std::vector<bool> pageReports;
};

TEST_F(ExtractorsWithoutRecognition, PdfWithoutDigitalTextKeepsNoTextButItsPages) {
    const auto scan = dir / "scan.pdf";
    writeTextPdf(scan, {textPage("Scan 2024-01-01"), textPage("Scan 2024-01-02")});
    const ExtractionResult result = pdfExtractor(false).extract(scan);
    EXPECT_EQ(result.state, NanItemProcessingStates::complete);
    EXPECT_TRUE(result.text.empty()) << result.text;
    EXPECT_FALSE(result.digitalText);  // not handed to the enrichment either
    EXPECT_EQ(result.totalPageCount, 2);
    EXPECT_EQ(result.recognisedPages, 0);
    EXPECT_TRUE(result.rects.empty());
    EXPECT_EQ(ocr.calls->load(), 0);
    EXPECT_EQ(pageReports, (std::vector<bool>{false, false}));

    // The switch changes nothing for a document with digital text.
    const auto digital = dir / "digital.pdf";
    writeTextPdf(digital, {textPage("a line of embedded text long enough")});
    const ExtractionResult text = pdfExtractor(false).extract(digital);
    EXPECT_TRUE(text.digitalText);
    EXPECT_EQ(text.text.rfind("a line of embedded text", 0), 0u) << text.text;

    // And with recognition on, the scan is recognised as before.
    EXPECT_EQ(pdfExtractor(true).extract(scan).recognisedPages, 2);
}

TEST_F(ExtractorsWithoutRecognition, ImageIsDecodedButNotRecognised) {
    const auto image = dir / "photo.png";
    ASSERT_TRUE(writePng(image, platform::Bitmap::rgb(200, 100, 180)));
    const auto decoder = platform::makeImageDecoder();
    const NanItemsProcessingImage off(true, *decoder, SlimOcr(&ocr.pool), {}, false);
    const ExtractionResult result = off.extract(image);
    EXPECT_EQ(result.state, NanItemProcessingStates::complete);
    EXPECT_EQ(result.totalPageCount, 1);
    EXPECT_TRUE(result.text.empty());
    EXPECT_EQ(result.recognisedPages, 0);
    EXPECT_EQ(ocr.calls->load(), 0);

    const NanItemsProcessingImage on(true, *decoder, SlimOcr(&ocr.pool));
    EXPECT_EQ(on.extract(image).recognisedPages, 1);
}

// The whole road through real worker processes (this binary in worker mode): with the variable set, a
// scan is stored without text and no digital PDF is enriched.
TEST(RecognitionSwitchRun, EnvironmentVariableTurnsRecognitionAndEnrichmentOff) {
    TempDir dir;
    const auto docs = dir / "docs";
    std::filesystem::create_directories(docs);
    writeTextPdf(docs / "digital.pdf", {textPage("Quarterly invoice for the garden")});
    writeTextPdf(docs / "scan.pdf", {textPage("Umbrella")});  // too short to count as digital text

    ::setenv("LUMIDEX_DISABLE_OCR", "1", 1);
    DiagnosticsCollector diagnostics;
    std::atomic<int> enrichments{0};
    NanItemsProcessingOptions o;
    o.workerPoolOptions.workerExecutable = platform::currentExecutable();
    o.workerPoolOptions.workerArguments = {"--extraction-worker"};
    o.workerPoolOptions.workerCount = 1;
    o.workerPoolOptions.timeLimit = 90s;
    o.workerPoolOptions.log = [](std::string_view) {};
    o.log = [](std::string_view) {};
    o.diagnostics = &diagnostics;
    o.enrichmentRecogniser = [&enrichments](const NanItem&) -> std::optional<std::string> {
        ++enrichments;
        return std::nullopt;
    };
    folders::CoreManagerDataDependencies deps;
    deps.dataDirectory = dir / "data";
    deps.diagnostics = &diagnostics;
    deps.processingRunner = std::make_shared<NanItemsProcessing>(o);
    folders::CoreManagerData core(std::move(deps));
    auto manager = core.addFolder(docs.string());
    manager->start();
    manager->fullScan();
    const bool idle = manager->waitUntilIdle(120s);
    ::unsetenv("LUMIDEX_DISABLE_OCR");
    ASSERT_TRUE(idle);

    auto filesWith = [&](const std::string& word) {
        SearchParameters parameters;
        parameters.rootFolderUrlStrings = {manager->rootFolderUrlString()};
        parameters.searchText = word;
        std::set<std::string> names;
        for (const auto& row : manager->ftsDatabaseBalancer().search(parameters, -1, false, false)) {
            names.insert(row.fileName);
        }
        return names;
    };
    EXPECT_EQ(filesWith("garden"), std::set<std::string>{"digital.pdf"});
    EXPECT_TRUE(filesWith("umbrella").empty());
    EXPECT_EQ(manager->itemByPath((docs / "scan.pdf").string()).value_or(NanItem{}).processingState,
              NanItemProcessingStates::complete);
    EXPECT_EQ(enrichments.load(), 0);
    EXPECT_EQ(diagnostics.counter("ocr.page"), 0);
}

}  // namespace
}  // namespace lumidex::processing
