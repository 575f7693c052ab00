// End to end: scans and processing runs through CoreManagerData with real extraction workers (this
// test binary in worker mode) and real text recognition on small pages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include <thread>
#include <condition_variable>
#include <mutex>

#include "cloud/libreoffice_converter.h"
#include "core/app_log.h"
#include "core/diagnostics_collector.h"
#include "core/settings/settings_keys.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/core_manager_data.h"
#include "platform/paths.h"
#include "platform/subprocess.h"
#include "processing/default_runner.h"
#include "processing/extractors/extractor_fixtures.h"
#include "processing/extractors/office_extraction.h"
#include "processing/nan_items_processing.h"
#include "processing/pipeline/pipeline_profiler.h"
#include "storage/content_cache.h"
#include "storage/pending_enrichments.h"
#include "support/eventually.h"
#include "support/log_lines.h"
#include "support/office_fixtures.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {

using namespace std::chrono_literals;
using namespace testing;
using lumidex::testing::TempDir;

using lumidex::testing::LogLines;

std::string appLogText() {
    flushAppLog();
    std::ifstream in(platform::userDirectories().appDocuments / "app_debug.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// An immutable full-text folder: no shard can be created in it, even by root.
class UnwritableFullText {
public:
    UnwritableFullText(const std::filesystem::path& dataDirectory, const std::filesystem::path& folder)
        : path_(folders::folderDataDirectory(dataDirectory, folder.string()) / "balanced_db_fts_v9") {
        std::filesystem::create_directories(path_);
        set_ = std::system(("chattr +i '" + path_.string() + "' 2>/dev/null").c_str()) == 0;
    }
    ~UnwritableFullText() { clear(); }
    bool holds() const { return set_ && !std::ofstream(path_ / "probe"); }
    void clear() {
        if (set_) set_ = std::system(("chattr -i '" + path_.string() + "'").c_str()) != 0;
    }

private:
    std::filesystem::path path_;
    bool set_ = false;
};

class ProcessingRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(docs);
        profiler.setEnabled(true);
    }
    void TearDown() override { core.reset(); }

    NanItemsProcessingOptions options() {
        NanItemsProcessingOptions o;
        o.workerPoolOptions.workerExecutable = platform::currentExecutable();
        o.workerPoolOptions.workerArguments = {"--extraction-worker", "--enable-test-jobs"};
        o.workerPoolOptions.workerCount = 2;
        o.workerPoolOptions.memoryLimitBytes = 2ull << 30;
        o.workerPoolOptions.timeLimit = 90s;
        o.workerPoolOptions.log = log.sink();
        o.log = log.sink();
        o.diagnostics = &diagnostics;
        o.profiler = &profiler;
        return o;
    }

    // Scans the folder with the runner; its runs go on after this returns.
    std::shared_ptr<folders::BalancedDataManager> startScan(std::shared_ptr<NanItemsProcessing> processing) {
        runner = std::move(processing);
        folders::CoreManagerDataDependencies deps;
        deps.dataDirectory = dir / "data";
        deps.diagnostics = &diagnostics;
        deps.processingRunner = runner;
        core = std::make_unique<folders::CoreManagerData>(std::move(deps));
        auto manager = core->addFolder(docs.string());
        manager->start();
        manager->fullScan();
        return manager;
    }

    // Scans the folder with the runner and waits for every run (and enrichment) to end.
    std::shared_ptr<folders::BalancedDataManager> scanAndProcess(std::shared_ptr<NanItemsProcessing> processing) {
        auto manager = startScan(std::move(processing));
        EXPECT_TRUE(manager->waitUntilIdle(120s));
        return manager;
    }

    NanItem item(folders::BalancedDataManager& manager, const std::string& name) { return testing::storedItem(manager, docs / name); }
    std::set<std::string> filesWith(folders::BalancedDataManager& manager, const std::string& word) {
        return testing::indexedFilesWith(manager, word);
    }

    TempDir dir;
    std::filesystem::path docs = dir / "docs";
    DiagnosticsCollector diagnostics;
    PipelineProfiler profiler{100};
    LogLines log;
    std::shared_ptr<NanItemsProcessing> runner;
    std::unique_ptr<folders::CoreManagerData> core;
};

TEST_F(ProcessingRunTest, FolderOfMixedFilesIsProcessedAndACrashingJobFailsOnlyItsItem) {
    writeTextPdf(docs / "text.pdf", {textPageWithPicture("Digital contract kangaroo", "Stamp", dir.path())});
    PdfPageFixture figure = textPage("Figure 1");
    figure.rects = {{24, 10, 300, 80, 0.1, 0.3, 0.5}};
    writeTextPdf(docs / "plain.pdf", {textPage("Digital chapter opening"), figure});
    if (!writeScannedPdf(docs / "scan.pdf", {textPage("Scanned quokka letter")}, dir.path())) {
        GTEST_SKIP() << "img2pdf not available";
    }
    ASSERT_TRUE(writePng(docs / "image.png", renderTextPage(textPage("wombat picture"), 2.0, dir.path())));
    writeBinaryFile(docs / "notes.txt", "Plain ocelot notes\n");
    writeBinaryFile(docs / "letter.docx", "PK\x03\x04 an office document");
    writeBinaryFile(docs / "corrupt.pdf", "%PDF-1.4\ngarbage without objects\n");
    writeTextPdf(docs / "crash.pdf", {textPage("This document crashes its worker")});

    auto crashOnce = std::make_shared<std::atomic<bool>>(true);
    NanItemsProcessingOptions o = options();
    o.jobKindOverride = [crashOnce](const NanItem& item) -> std::optional<std::string> {
        if (item.fileName == "crash.pdf" && crashOnce->exchange(false)) return "test.crash";
        return std::nullopt;
    };
    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(o));

    EXPECT_EQ(filesWith(*manager, "kangaroo"), std::set<std::string>{"text.pdf"});
    EXPECT_EQ(filesWith(*manager, "quokka"), std::set<std::string>{"scan.pdf"});
    EXPECT_EQ(filesWith(*manager, "wombat"), std::set<std::string>{"image.png"});
    EXPECT_EQ(filesWith(*manager, "ocelot"), std::set<std::string>{"notes.txt"});

    using S = NanItemProcessingStates;
    EXPECT_EQ(item(*manager, "text.pdf").processingState, S::complete);
    const NanItem scan = item(*manager, "scan.pdf");
    EXPECT_EQ(scan.processingState, S::complete);
    EXPECT_EQ(scan.totalPageCount, 1);
    EXPECT_EQ(item(*manager, "image.png").processingState, S::complete);
    EXPECT_EQ(item(*manager, "notes.txt").processingState, S::complete);
    EXPECT_EQ(item(*manager, "letter.docx").processingState, S::readyForProcessing);  // waits for the cloud
    EXPECT_EQ(item(*manager, "corrupt.pdf").processingState, S::error);
    EXPECT_EQ(item(*manager, "crash.pdf").processingState, S::error);
    EXPECT_EQ(filesWith(*manager, "corrupt"), std::set<std::string>{"corrupt.pdf"});  // unreadable, not hidden
    EXPECT_TRUE(log.contains("Erneut verarbeitet: " + (docs / "scan.pdf").string()));
    EXPECT_TRUE(log.contains("Verarbeitung fehlgeschlagen: " + (docs / "crash.pdf").string()));

    // Rectangles and previews of the recognised document.
    const auto rects = manager->ocrRectsDatabaseBalancer().ocrRects(scan.combinedHash);
    ASSERT_FALSE(rects.empty());
    EXPECT_EQ(rects[0].pageIndex, 0);
    EXPECT_TRUE(std::filesystem::exists(manager->folderDataDirectory() / (scan.id.toString() + "_thumbmage_#0.png")));

    const FolderProcessingStats stats = runner->stats(manager->rootFolderUrlString());
    EXPECT_EQ(stats.errors, 2);
    EXPECT_EQ(stats.waitingForCloud, 1);
    // text.pdf, whose picture may hold text; not plain.pdf, a short page and a vector figure.
    EXPECT_EQ(stats.enrichmentsQueued, 1);
    // scan.pdf, image.png and the picture page of text.pdf; pages only rendered for previews do not count.
    EXPECT_EQ(stats.pagesRecognised, 3);
    EXPECT_EQ(stats.pagesWithText, 3);  // text.pdf and plain.pdf
    EXPECT_EQ(diagnostics.counter("ocr.page"), 3);
    EXPECT_EQ(manager->progressItem().ocrPagesCount, diagnostics.counter("ocr.page"));
    EXPECT_FALSE(profiler.profiles().empty());

    const FolderProcessingStatus status = folderProcessingStatus(*manager, *runner);
    EXPECT_EQ(status.waitingForCloud, 1);
    EXPECT_EQ(status.pending, 0);
    EXPECT_NE(describe(status).find("2 errors"), std::string::npos) << describe(status);
    // A later start's runner was never handed the office file: it still waits for the cloud, not to go.
    const FolderProcessingStatus later = folderProcessingStatus(*manager, NanItemsProcessing(options()));
    EXPECT_EQ(later.waitingForCloud, 1);
    EXPECT_EQ(later.pending, 0) << describe(later);

    // The next start-up retries the failed items: the crash does not repeat, the corrupt file fails again.
    EXPECT_EQ(retryFailedItems(*manager), 2u);
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(item(*manager, "crash.pdf").processingState, S::complete);
    EXPECT_EQ(item(*manager, "corrupt.pdf").processingState, S::error);
    EXPECT_EQ(filesWith(*manager, "crashes"), std::set<std::string>{"crash.pdf"});
    EXPECT_EQ(retryFailedItems(*manager), 1u);  // corrupt.pdf, which keeps failing
    ASSERT_TRUE(manager->waitUntilIdle(120s));
}

TEST_F(ProcessingRunTest, WithoutAConverterAnOfficeFileWaitsSaysWhyAndIsFoundByItsCurrentNameOnly) {
    writeBinaryFile(docs / "Angebot Gartenhaus.docx", "PK\x03\x04 an office document");
    writeBinaryFile(docs / "Preisliste.docx", lumidex::testing::docx("<w:p><w:r><w:t>Kirschbaum</w:t></w:r></w:p>"));
    NanItemsProcessingOptions o = options();
    cloud::LibreOfficeConverterOptions missing;
    missing.office = dir / "no-office" / "soffice.bin";
    o.officeConversion = std::make_shared<cloud::ConversionQueue>(std::make_unique<cloud::LibreOfficeConverter>(missing));
    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(o));
    EXPECT_EQ(filesWith(*manager, "Gartenhaus"), std::set<std::string>{"Angebot Gartenhaus.docx"});
    EXPECT_EQ(item(*manager, "Angebot Gartenhaus.docx").processingState, NanItemProcessingStates::readyForProcessing);
    // A document whose own text can be read is found by it, and owes its conversion until a converter is there.
    EXPECT_EQ(filesWith(*manager, "Kirschbaum"), std::set<std::string>{"Preisliste.docx"});
    EXPECT_EQ(storage::PendingConversions(manager->folderDataDirectory()).list(),
              std::vector<uint32_t>{item(*manager, "Preisliste.docx").combinedHash});
    const FolderProcessingStatus status = folderProcessingStatus(*manager, *runner);
    const std::string described = describe(status);
    EXPECT_NE(described.find("1 office file waiting (LibreOffice is not installed"), std::string::npos) << described;
    EXPECT_EQ(describePasses(status), "searchable: 1 of 2; previews: 0 of 0; conversions: 0 of 1");

    std::filesystem::create_directories(docs / "Zusagen");
    std::filesystem::rename(docs / "Angebot Gartenhaus.docx", docs / "Angebot Carport.docx");
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    std::filesystem::rename(docs / "Angebot Carport.docx", docs / "Zusagen" / "Vertrag Carport.docx");
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));

    EXPECT_TRUE(filesWith(*manager, "Gartenhaus").empty());
    EXPECT_EQ(filesWith(*manager, "Carport"), std::set<std::string>{"Vertrag Carport.docx"});
    EXPECT_EQ(filesWith(*manager, "Zusagen"), std::set<std::string>{"Vertrag Carport.docx"});
    EXPECT_TRUE(filesWith(*manager, "Angebot").empty());
}

TEST_F(ProcessingRunTest, OfficeDocumentsTakeThePdfRoadAndTheirWholeTextIsFound) {
    if (const std::string missing = cloud::findOfficeInstallation().missing; !missing.empty()) GTEST_SKIP() << missing;
    using lumidex::testing::docx;
    using lumidex::testing::odp;
    using lumidex::testing::xlsx;
    writeBinaryFile(docs / "brief.docx", docx("<w:p><w:r><w:t>Zitronenfalter</w:t></w:r></w:p>", "Randbemerkung"));
    writeBinaryFile(docs / "tabelle.xlsx", xlsx("Pflaumenbaum", "Geheimzahl"));
    writeBinaryFile(docs / "vortrag.odp", odp("Leuchtturm", "Sprechernotiz"));
    const std::string sheet = xlsx("Kopf", "Fuss");
    writeBinaryFile(docs / "kaputt.xlsx", sheet.substr(0, sheet.size() / 2));
    writeBinaryFile(docs / "geheim.docx", lumidex::testing::encryptedOoxml());

    NanItemsProcessingOptions o = options();
    cloud::LibreOfficeConverterOptions converter;
    converter.profileDirectory = dir / "office-profile";
    converter.log = log.sink();
    o.officeConversion = std::make_shared<cloud::ConversionQueue>(std::make_unique<cloud::LibreOfficeConverter>(converter),
                                                                  cloud::ConversionQueueOptions{60s, log.sink()});
    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(o));

    // The comment, the clipped cell, the hidden sheet and the speaker notes are found too.
    EXPECT_EQ(filesWith(*manager, "Zitronenfalter Randbemerkung"), std::set<std::string>{"brief.docx"});
    EXPECT_EQ(filesWith(*manager, "Pflaumenbaum Geheimzahl"), std::set<std::string>{"tabelle.xlsx"});
    EXPECT_EQ(filesWith(*manager, "Leuchtturm Sprechernotiz"), std::set<std::string>{"vortrag.odp"});
    using S = NanItemProcessingStates;
    const NanItem letter = item(*manager, "brief.docx");
    EXPECT_EQ(letter.processingState, S::complete);
    EXPECT_EQ(letter.totalPageCount, 1);
    EXPECT_TRUE(std::filesystem::exists(manager->folderDataDirectory() / (letter.id.toString() + "_thumbmage_#0.png")));
    EXPECT_EQ(item(*manager, "tabelle.xlsx").processingState, S::complete);
    EXPECT_EQ(item(*manager, "vortrag.odp").processingState, S::complete);
    EXPECT_EQ(item(*manager, "kaputt.xlsx").processingState, S::error);
    EXPECT_EQ(item(*manager, "geheim.docx").processingState, S::pdfLocked);
    EXPECT_TRUE(log.contains("not converted to PDF: damaged archive"));
    EXPECT_EQ(filesWith(*manager, "kaputt"), std::set<std::string>{"kaputt.xlsx"});  // unreadable, not hidden
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).waitingForCloud, 0);

    // Renamed, the letter is not converted again: its PDF, previews and text come from the content cache.
    std::filesystem::rename(docs / "brief.docx", docs / "umbenannt.docx");
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).reusedFromCache, 1);
    const NanItem renamed = item(*manager, "umbenannt.docx");
    EXPECT_EQ(renamed.processingState, S::complete);
    EXPECT_EQ(filesWith(*manager, "Zitronenfalter Randbemerkung"), std::set<std::string>{"umbenannt.docx"});
    EXPECT_TRUE(std::filesystem::exists(convertedPdfPath(manager->folderDataDirectory(), renamed)));
    EXPECT_TRUE(std::filesystem::exists(manager->folderDataDirectory() / (renamed.id.toString() + "_thumbmage_#0.png")));
}

TEST_F(ProcessingRunTest, DocumentsWhoseRowsCannotBeWrittenStayWaitingAndAreReadAgain) {
    writeBinaryFile(docs / "notes.txt", "Plain ocelot notes\n");
    writeBinaryFile(docs / "todo.txt", "Buy capybara food\n");
    UnwritableFullText immutable(dir / "data", docs);
    if (!immutable.holds()) GTEST_SKIP() << "needs a folder that cannot be written to";

    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(options()));
    using S = NanItemProcessingStates;
    EXPECT_EQ(item(*manager, "notes.txt").processingState, S::readyForProcessing);
    EXPECT_EQ(item(*manager, "todo.txt").processingState, S::readyForProcessing);
    const FolderProcessingStatus status = folderProcessingStatus(*manager, *runner);
    EXPECT_EQ(status.notStored, 2);
    EXPECT_EQ(status.completed, 0);
    EXPECT_NE(describe(status).find("2 could not be stored"), std::string::npos) << describe(status);
    EXPECT_EQ(diagnostics.counter("processing.store_failed"), 2);

    // Once the disk takes writes again, the next scan reads them and they become searchable.
    immutable.clear();
    manager.reset();
    core.reset();
    manager = scanAndProcess(std::make_shared<NanItemsProcessing>(options()));
    EXPECT_EQ(item(*manager, "notes.txt").processingState, S::complete);
    EXPECT_EQ(filesWith(*manager, "capybara"), std::set<std::string>{"todo.txt"});
}

TEST_F(ProcessingRunTest, AFullDiskPausesTheRunWhichReadsItsDocumentsAgainOnceThereIsRoom) {
    writeBinaryFile(docs / "notes.txt", "Plain ocelot notes\n");
    UnwritableFullText immutable(dir / "data", docs);
    if (!immutable.holds()) GTEST_SKIP() << "needs a folder that cannot be written to";
    std::atomic<bool> full{true};
    auto o = options();
    o.freeBytes = [&](const std::filesystem::path&) -> std::optional<std::uintmax_t> {
        return full ? 1024 : std::uintmax_t{1} << 40;
    };
    o.diskSpacePoll = 20ms;
    auto manager = startScan(std::make_shared<NanItemsProcessing>(o));

    ASSERT_TRUE(lumidex::testing::eventually([&] { return folderProcessingStatus(*manager, *runner).pausedForDiskSpace; }));
    EXPECT_EQ(item(*manager, "notes.txt").processingState, NanItemProcessingStates::readyForProcessing);
    EXPECT_NE(describe(folderProcessingStatus(*manager, *runner)).find("paused: the disk holding the index is full"),
              std::string::npos);

    immutable.clear();
    full = false;
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    const FolderProcessingStatus status = folderProcessingStatus(*manager, *runner);
    EXPECT_FALSE(status.pausedForDiskSpace);
    EXPECT_EQ(status.notStored, 0) << "read again in the same run, not left for the next scan";
    EXPECT_EQ(item(*manager, "notes.txt").processingState, NanItemProcessingStates::complete);
    EXPECT_EQ(filesWith(*manager, "ocelot"), std::set<std::string>{"notes.txt"});
}

TEST_F(ProcessingRunTest, TextFilesOverTheLimitAndTextWithoutWordsAreReportedNotSilent) {
    std::string big = "ibex ";
    while (big.size() < 600000) big += "filler words of a large text file ";
    writeBinaryFile(docs / "big.txt", big);  // over the default limit, under the raised one
    writeBinaryFile(docs / "huge.txt", "yak " + std::string(1200000, 'x'));
    std::string armenian;  // 3900 characters, 600 of them ASCII: a long text in another script is kept
    for (int i = 0; i < 300; ++i) armenian += "\u0532\u0561\u0580\u0565\u0582 \u0561\u0577\u056d\u0561\u0580\u0570 ";
    writeBinaryFile(docs / "armenian.txt", armenian);
    std::string rules;  // text, but not one letter or digit in it
    while (rules.size() < 2000) rules += "==== \u2014\u2014 ****** \u00AB\u00BB ----\n";
    writeBinaryFile(docs / "rules.txt", rules);
    SettingsStore settings(dir / "settings.json");
    ASSERT_FALSE(settings.setInt(SettingsKeys::maxTextFileSizeBytesKey, 1000000).has_value());
    NanItemsProcessingOptions o = options();
    o.settingsStore = &settings;
    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(o));

    EXPECT_EQ(filesWith(*manager, "ibex"), std::set<std::string>{"big.txt"});
    EXPECT_EQ(item(*manager, "huge.txt").processingState, NanItemProcessingStates::notSupported);
    EXPECT_TRUE(log.contains("nicht gelesen: " + (docs / "huge.txt").string() + ": The file has 1200004 bytes"));
    EXPECT_TRUE(log.contains("limit of 1000000 bytes (setting maxTextFileSizeBytes)"));
    EXPECT_EQ(filesWith(*manager, "\u0531\u0577\u056d\u0561\u0580\u0570"), std::set<std::string>{"armenian.txt"});
    EXPECT_FALSE(log.contains("ohne durchsuchbaren Text: " + (docs / "armenian.txt").string()));
    EXPECT_EQ(item(*manager, "rules.txt").processingState, NanItemProcessingStates::complete);
    EXPECT_TRUE(log.contains("ohne durchsuchbaren Text: " + (docs / "rules.txt").string()));
    const FolderProcessingStats stats = runner->stats(manager->rootFolderUrlString());
    EXPECT_EQ(stats.notRead, 1);
    EXPECT_EQ(stats.withoutText, 1);
    const std::string summary = describe(folderProcessingStatus(*manager, *runner));
    EXPECT_NE(summary.find("1 not read (over the size limit), 1 without searchable text"), std::string::npos) << summary;

    // An index made when such text was stored as nothing: its next start has the documents holding only
    // their path and name read again (the file without words too, once).
    const NanItem armenianItem = item(*manager, "armenian.txt");
    storage::FtsDocument asStoredBefore;
    asStoredBefore.combinedHash = armenianItem.combinedHash;
    asStoredBefore.urlPath = armenianItem.urlString;
    asStoredBefore.fileName = armenianItem.fileName;
    asStoredBefore.originalText = "";
    ASSERT_TRUE(manager->ftsDatabaseBalancer().write(asStoredBefore));
    ASSERT_TRUE(filesWith(*manager, "\u0561\u0577\u056d\u0561\u0580\u0570").empty());
    ASSERT_FALSE(SettingsStore::shared()
                     .setInt(SettingsKeys::searchIndexFoldingVersion(manager->rootFolderUrlString()), 3)
                     .has_value());
    manager.reset();
    core->removeFolder(docs.string());
    manager = core->addFolder(docs.string());
    manager->start();
    EXPECT_EQ(item(*manager, "armenian.txt").processingState, NanItemProcessingStates::readyForProcessing);
    EXPECT_EQ(retryFailedItems(*manager), 2u);
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(filesWith(*manager, "\u0561\u0577\u056d\u0561\u0580\u0570"), std::set<std::string>{"armenian.txt"});
    EXPECT_EQ(item(*manager, "rules.txt").processingState, NanItemProcessingStates::complete);
}

TEST_F(ProcessingRunTest, AnEnrichmentOnAnIdlePoolRecognisesItsPagesOnEveryWorkerAndKeepsEveryPartsWords) {
    // Words only recognition finds, in pictures on the first and the last of three pages.
    writeTextPdf(docs / "report.pdf", {textPageWithPicture("Digital contract kangaroo", "Marmot stamp", dir.path()),
                                       textPage("Digital middle page"),
                                       textPageWithPicture("Digital closing page", "Pelican seal", dir.path())});
    NanItemsProcessingOptions o = options();
    o.eagerPreviews = true;  // no preview pass beside the enrichment: the pool is idle
    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(o));
    EXPECT_EQ(filesWith(*manager, "marmot"), std::set<std::string>{"report.pdf"});
    EXPECT_EQ(filesWith(*manager, "pelican"), std::set<std::string>{"report.pdf"});
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).pagesRecognised, 2);
    EXPECT_EQ(diagnostics.counter("ocr.page"), 2);
}

TEST_F(ProcessingRunTest, EnrichmentAddsOnlyMissingWords) {
    writeTextPdf(docs / "enriched.pdf", {textPageWithPicture("Alpha bravo charlie delta echo", "Stamp", dir.path())});
    writeTextPdf(docs / "complete.pdf", {textPageWithPicture("Foxtrot golf hotel india juliett", "Stamp", dir.path())});
    NanItemsProcessingOptions o = options();
    std::atomic<int> recognitions{0};
    o.enrichmentRecogniser = [&recognitions](const NanItem& item) -> std::optional<std::string> {
        ++recognitions;
        if (item.fileName == "enriched.pdf") return recognitions > 2 ? "zeppelin" : "ALPHA Bravo xylophone charlie";
        return "Foxtrot GOLF hotel";
    };
    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(o));
    EXPECT_EQ(recognitions.load(), 2);
    EXPECT_EQ(filesWith(*manager, "xylophone"), std::set<std::string>{"enriched.pdf"});
    EXPECT_EQ(filesWith(*manager, "bravo"), std::set<std::string>{"enriched.pdf"});  // the digital text stays
    EXPECT_EQ(filesWith(*manager, "juliett"), std::set<std::string>{"complete.pdf"});
    // The text as extracted is kept for display; words recognised later do not replace it.
    const NanItem enriched = item(*manager, "enriched.pdf");
    auto originals =
        manager->ftsDatabaseBalancer().storeFor(enriched.combinedHash)->originalTexts({enriched.combinedHash});
    ASSERT_EQ(originals.size(), 1u);
    const std::string original(originals[0].second.prefix(originals[0].second.size()));
    EXPECT_NE(original.find("Alpha bravo charlie delta echo"), std::string::npos) << original;
    EXPECT_EQ(original.find("xylophone"), std::string::npos);
    // The application log is written on a thread of its own.
    const auto logged = [](const std::string& line) {
        return lumidex::testing::eventually([&] { return appLogText().find(line) != std::string::npos; });
    };
    EXPECT_TRUE(logged("[DigitalTextEnrichment] +1 words for: enriched.pdf"));
    EXPECT_TRUE(logged("[DigitalTextEnrichment] no missing words for: complete.pdf"));

    // Promises on disk last until kept: none is left, until a crash leaves one behind. The next pass
    // keeps it from the marker alone, without reading the document again.
    const storage::PendingEnrichments pending(manager->folderDataDirectory());
    EXPECT_TRUE(pending.list().empty());
    const uint32_t enrichedHash = item(*manager, "enriched.pdf").combinedHash;
    ASSERT_TRUE(pending.add(enrichedHash, storage::EnrichmentPlan{{0}, ""}));
    const int64_t processed = runner->stats(manager->rootFolderUrlString()).documentsProcessed;
    manager->fullScan();  // nothing new: the owed work is resumed
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(recognitions.load(), 3);
    EXPECT_EQ(filesWith(*manager, "zeppelin"), std::set<std::string>{"enriched.pdf"});
    EXPECT_EQ(filesWith(*manager, "bravo"), std::set<std::string>{"enriched.pdf"});
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).documentsProcessed, processed);
    EXPECT_TRUE(pending.list().empty());

    // A marker that names no pages (an earlier version's) is kept by reading the document again; killed
    // before its recognition ended, that process kept no recognised text for the content either.
    const std::string cacheFile = (manager->folderDataDirectory() / storage::ContentCache::fileName).string();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(cacheFile + suffix);
    ASSERT_TRUE(pending.add(enrichedHash));
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(recognitions.load(), 4);
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).documentsProcessed, processed + 1);
    EXPECT_TRUE(pending.list().empty());

    // Without its stored text there is nothing to extend: read again (its recognition, kept by the
    // content cache this time, is not repeated), not given up.
    ASSERT_TRUE(manager->ftsDatabaseBalancer().remove(enrichedHash));
    ASSERT_TRUE(pending.add(enrichedHash, storage::EnrichmentPlan{{0}, ""}));
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).documentsProcessed, processed + 2);
    EXPECT_EQ(recognitions.load(), 4);
    EXPECT_EQ(filesWith(*manager, "bravo"), std::set<std::string>{"enriched.pdf"});
    EXPECT_EQ(filesWith(*manager, "zeppelin"), std::set<std::string>{"enriched.pdf"});
    EXPECT_TRUE(pending.list().empty());
}

// Enrichment is a pass after the text: files that arrive while it recognises are made searchable first,
// and what the pass had not started then is recognised at the end of their run.
TEST_F(ProcessingRunTest, EnrichmentStepsAsideForNewFilesAndIsResumedAfterThem) {
    writeTextPdf(docs / "first.pdf", {textPageWithPicture("Alpha bravo charlie delta echo", "Stamp", dir.path())});
    writeTextPdf(docs / "second.pdf", {textPageWithPicture("Foxtrot golf hotel india juliett", "Stamp", dir.path())});
    NanItemsProcessingOptions o = options();
    std::mutex mutex;
    std::condition_variable changed;
    bool firstStarted = false;
    bool released = false;
    std::vector<std::string> recognised;
    std::set<std::string> lateFoundBeforeSecond;
    folders::BalancedDataManager* watched = nullptr;
    o.enrichmentRecogniser = [&](const NanItem& item) -> std::optional<std::string> {
        std::unique_lock lock(mutex);
        recognised.push_back(item.fileName);
        if (recognised.size() == 1) {
            firstStarted = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        } else {
            lateFoundBeforeSecond = filesWith(*watched, "kilo");
        }
        return item.fileName == "first.pdf" ? "alpha zulu" : "foxtrot yankee";
    };
    auto manager = startScan(std::make_shared<NanItemsProcessing>(o));
    watched = manager.get();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 120s, [&] { return firstStarted; }));
    }
    // The scan may hand the two over in one run or two: the pass may have begun after the first.
    EXPECT_THAT(describePasses(folderProcessingStatus(*manager, *runner)), ::testing::HasSubstr("; recognition owed: "));
    std::ofstream(docs / "late.txt") << "kilo lima mike";
    manager->fullScan();
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    ASSERT_EQ(recognised.size(), 2u);
    EXPECT_EQ(lateFoundBeforeSecond, std::set<std::string>{"late.txt"});
    EXPECT_EQ(filesWith(*manager, "zulu").size() + filesWith(*manager, "yankee").size(), 2u);
    EXPECT_TRUE(storage::PendingEnrichments(manager->folderDataDirectory()).list().empty());
}

// What is stored for a document version: text as shown, rectangles, page count, hash and first preview.
struct StoredDocument {
    std::string originalText;
    std::vector<std::string> rects;
    int64_t pageCount = 0;
    uint32_t contentHash = 0;
    std::string thumbnail;

    friend bool operator==(const StoredDocument&, const StoredDocument&) = default;
};

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

StoredDocument stored(folders::BalancedDataManager& manager, const NanItem& item) {
    StoredDocument document;
    auto originals = manager.ftsDatabaseBalancer().storeFor(item.combinedHash)->originalTexts({item.combinedHash});
    if (originals.size() == 1) document.originalText = originals[0].second.prefix(originals[0].second.size());
    for (const OcrRect& r : manager.ocrRectsDatabaseBalancer().ocrRects(item.combinedHash)) {
        std::ostringstream row;
        row << r.pageIndex << ' ' << r.ocrContent << ' ' << r.p0x << ' ' << r.p0y << ' ' << r.p2x << ' ' << r.p2y;
        document.rects.push_back(row.str());
    }
    std::sort(document.rects.begin(), document.rects.end());
    document.pageCount = item.totalPageCount;
    document.contentHash = item.contentHash;
    document.thumbnail = fileBytes(manager.folderDataDirectory() / (item.id.toString() + "_thumbmage_#0.png"));
    return document;
}

TEST_F(ProcessingRunTest, SameBytesUnderANewNameOrTimeAreStoredFromTheContentCacheChangedBytesAreRead) {
    ASSERT_TRUE(writePng(docs / "scan.png", renderTextPage(textPage("wombat picture"), 2.0, dir.path())));
    writeTextPdf(docs / "stamped.pdf", {textPageWithPicture("Alpha bravo charlie delta echo", "Stamp", dir.path())});
    writeBinaryFile(docs / "notes.txt", "Plain ocelot notes\n");
    writeBinaryFile(docs / "draft.txt", "First draft\n");
    NanItemsProcessingOptions o = options();
    auto extractions = std::make_shared<std::map<std::string, int>>();
    auto extractionsMutex = std::make_shared<std::mutex>();
    o.jobKindOverride = [=](const NanItem& item) -> std::optional<std::string> {
        std::lock_guard lock(*extractionsMutex);
        ++(*extractions)[item.fileName];
        return std::nullopt;
    };
    std::atomic<int> recognitions{0};
    o.enrichmentRecogniser = [&recognitions](const NanItem&) -> std::optional<std::string> {
        ++recognitions;
        return "ALPHA xylophone";
    };
    const auto extractionCount = [=] {
        std::lock_guard lock(*extractionsMutex);
        std::map<std::string, int> counts = *extractions;
        extractions->clear();
        return counts;
    };
    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(o));
    ASSERT_EQ(extractionCount().size(), 4u);
    const NanItem scan = item(*manager, "scan.png");
    const StoredDocument fresh = stored(*manager, scan);
    ASSERT_FALSE(fresh.rects.empty());
    ASSERT_FALSE(fresh.thumbnail.empty());
    ASSERT_NE(fresh.originalText.find("wombat"), std::string::npos);
    ASSERT_EQ(recognitions.load(), 1);
    const int64_t pagesRecognised = runner->stats(manager->rootFolderUrlString()).pagesRecognised;

    // A copy under a new name, a renamed file, a touched file, and one whose bytes changed.
    std::filesystem::copy_file(docs / "scan.png", docs / "copy.png");
    std::filesystem::rename(docs / "stamped.pdf", docs / "moved.pdf");
    const auto touched = std::filesystem::last_write_time(docs / "notes.txt") - 1h;
    std::filesystem::last_write_time(docs / "notes.txt", touched);
    writeBinaryFile(docs / "notes.md", "Plain ocelot notes\n");  // the same bytes, read as another type
    writeBinaryFile(docs / "draft.txt", "Second draft kiwi\n");
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(extractionCount(), (std::map<std::string, int>{{"draft.txt", 1}, {"notes.md", 1}}))
        << "only new bytes are read";

    const NanItem copy = item(*manager, "copy.png");
    EXPECT_EQ(copy.processingState, NanItemProcessingStates::complete);
    EXPECT_NE(copy.combinedHash, scan.combinedHash);
    EXPECT_EQ(stored(*manager, copy), fresh);  // what a fresh extraction stored, to the byte
    EXPECT_EQ(filesWith(*manager, "wombat"), (std::set<std::string>{"scan.png", "copy.png"}));
    EXPECT_EQ(filesWith(*manager, "ocelot"), (std::set<std::string>{"notes.txt", "notes.md"}));
    EXPECT_EQ(filesWith(*manager, "kiwi"), std::set<std::string>{"draft.txt"});
    EXPECT_TRUE(filesWith(*manager, "first").empty());
    // The renamed PDF takes the words recognition added before, without recognising again.
    EXPECT_EQ(filesWith(*manager, "xylophone"), std::set<std::string>{"moved.pdf"});
    EXPECT_EQ(recognitions.load(), 1);
    const FolderProcessingStats stats = runner->stats(manager->rootFolderUrlString());
    EXPECT_EQ(stats.reusedFromCache, 3);  // copy.png, moved.pdf, notes.txt
    EXPECT_EQ(stats.pagesRecognised, pagesRecognised);  // nothing was recognised again

    // A damaged cache costs the run nothing but the extraction it would have spared, and is made anew.
    {
        std::fstream cache(manager->folderDataDirectory() / storage::ContentCache::fileName,
                           std::ios::in | std::ios::out | std::ios::binary);
        cache.write(std::string(200, 'Z').data(), 200);
    }
    std::filesystem::copy_file(docs / "scan.png", docs / "second copy.png");
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(extractionCount(), (std::map<std::string, int>{{"second copy.png", 1}}));
    EXPECT_TRUE(log.contains("[ContentCache] beschädigt, neu angelegt"));
    EXPECT_EQ(stored(*manager, item(*manager, "second copy.png")), fresh);
    std::filesystem::copy_file(docs / "scan.png", docs / "third copy.png");
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_TRUE(extractionCount().empty());
    EXPECT_EQ(stored(*manager, item(*manager, "third copy.png")), fresh);
}

// A converter that hangs on every file until it is aborted.
class HangingConverter final : public cloud::ConversionBackend {
public:
    std::string name() const override { return "hanging"; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }
    cloud::ConversionResult convert(const cloud::ConversionRequest&) override {
        std::unique_lock lock(mutex_);
        ++started_;
        changed_.wait(lock, [this] { return aborted_; });
        aborted_ = false;
        return {cloud::ConversionStatus::failed, "aborted", 0};
    }
    void abort() override {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        changed_.notify_all();
    }
    int started() {
        std::lock_guard lock(mutex_);
        return started_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool aborted_ = false;
    int started_ = 0;
};

TEST_F(ProcessingRunTest, CancellingStopsAHangingConversionAtOnceAndLeavesTheOfficeFilesWaiting) {
    for (const char* name : {"a.docx", "b.docx", "c.docx"}) writeBinaryFile(docs / name, lumidex::testing::docx("<w:p/>"));
    NanItemsProcessingOptions o = options();
    o.officeTextFirst = false;
    auto converter = std::make_unique<HangingConverter>();
    HangingConverter& hanging = *converter;
    o.officeConversion = std::make_shared<cloud::ConversionQueue>(std::move(converter),
                                                                  cloud::ConversionQueueOptions{600s, log.sink()});
    auto manager = startScan(std::make_shared<NanItemsProcessing>(o));
    for (int i = 0; i < 100 && hanging.started() == 0; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_EQ(hanging.started(), 1);
    const auto cancelled = std::chrono::steady_clock::now();
    manager->cancel();
    ASSERT_TRUE(manager->waitUntilIdle(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 5s);  // not the 600 s time limit
    EXPECT_EQ(hanging.started(), 1);  // the file queued behind it was withdrawn, not converted
    for (const char* name : {"a.docx", "b.docx", "c.docx"}) {
        EXPECT_EQ(item(*manager, name).processingState, NanItemProcessingStates::readyForProcessing) << name;
    }
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).interrupted, 3);
}

// Converts every file to bytes no PDF reader accepts, and remembers what processing reported back.
class GarbageConverter final : public cloud::ConversionBackend {
public:
    std::string name() const override { return "garbage"; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }
    cloud::ConversionResult convert(const cloud::ConversionRequest& request) override {
        writeBinaryFile(request.pdf, "%PDF-1.4 not really");
        return {cloud::ConversionStatus::converted, {}, 0};
    }
    void processingFailed(const std::filesystem::path& input) override {
        std::lock_guard lock(mutex_);
        failed.push_back(input.filename().string());
    }
    std::mutex mutex_;
    std::vector<std::string> failed;
};

TEST_F(ProcessingRunTest, AConvertedPdfThatCannotBeReadIsReportedBackToTheConverter) {
    writeBinaryFile(docs / "Quartal.docx", lumidex::testing::docx("<w:p/>"));
    NanItemsProcessingOptions o = options();
    auto converter = std::make_unique<GarbageConverter>();
    GarbageConverter& garbage = *converter;
    o.officeConversion = std::make_shared<cloud::ConversionQueue>(std::move(converter),
                                                                  cloud::ConversionQueueOptions{60s, log.sink()});
    auto manager = scanAndProcess(std::make_shared<NanItemsProcessing>(o));
    // Stored with its own text first, it stays so.
    EXPECT_EQ(item(*manager, "Quartal.docx").processingState, NanItemProcessingStates::complete);
    std::lock_guard lock(garbage.mutex_);
    EXPECT_EQ(garbage.failed, std::vector<std::string>{"Quartal.docx"});
}

TEST_F(ProcessingRunTest, CancellingStopsTheRunAndLeavesItemsForALaterRun) {
    writeTextPdf(docs / "slow.pdf", {textPage("a document whose worker hangs")});
    writeTextPdf(docs / "next.pdf", {textPage("a document that waits its turn")});
    NanItemsProcessingOptions o = options();
    o.maxItemsInFlight = 1;
    o.jobKindOverride = [](const NanItem&) -> std::optional<std::string> { return "test.hang"; };
    auto manager = startScan(std::make_shared<NanItemsProcessing>(o));
    ASSERT_TRUE(manager->isProcessing());
    EXPECT_FALSE(manager->waitUntilIdle(300ms));  // the hanging job holds the run
    manager->cancel();
    ASSERT_TRUE(manager->waitUntilIdle(60s));
    EXPECT_EQ(item(*manager, "slow.pdf").processingState, NanItemProcessingStates::readyForProcessing);
    EXPECT_EQ(item(*manager, "next.pdf").processingState, NanItemProcessingStates::readyForProcessing);
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).interrupted, 2);
}

}  // namespace
}  // namespace lumidex::processing
