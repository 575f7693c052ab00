// Office documents are searchable from their own text before the converter has seen them; the later
// conversion pass stores exactly what converting before storing stores, resumes across restarts, and
// leaves a document whose conversion fails findable by its own text. Real extraction workers (this test
// binary in worker mode) over PDFs a stand-in converter hands back.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cloud/conversion_queue.h"
#include "folders/coordinator/core_manager_data.h"
#include "platform/subprocess.h"
#include "processing/default_runner.h"
#include "processing/extractors/extractor_fixtures.h"
#include "processing/nan_items_processing.h"
#include "search/coordinator_folder_index.h"
#include "service/index_status.h"
#include "storage/content_cache.h"
#include "storage/pending_enrichments.h"
#include "support/eventually.h"
#include "support/log_lines.h"
#include "support/office_fixtures.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {

using namespace std::chrono_literals;
using lumidex::testing::LogLines;
using lumidex::testing::TempDir;
using testing::textPage;
using testing::writeBinaryFile;
using testing::writeTextPdf;
namespace fs = std::filesystem;

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Hands back a prepared PDF per input file name, and cannot convert any other file. A conversion of the
// file named `held` waits until release() or abort(); one of a file in `notStarting` fails as a converter
// that does not start.
class PreparedConverter final : public cloud::ConversionBackend {
public:
    PreparedConverter(std::map<std::string, fs::path> pdfs, std::string held, std::set<std::string> notStarting)
        : pdfs_(std::move(pdfs)), held_(std::move(held)), notStarting_(std::move(notStarting)) {}
    std::string name() const override { return "prepared"; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }
    cloud::ConversionResult convert(const cloud::ConversionRequest& request) override {
        const std::string name = request.input.filename().string();
        std::unique_lock lock(mutex_);
        ++conversions_[name];
        if (notStarting_.contains(name)) return {cloud::ConversionStatus::failed, "the converter did not start", 0};
        if (name == held_) {
            holding_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_ || aborted_; });
            holding_ = false;
            if (aborted_) {
                aborted_ = false;
                return {cloud::ConversionStatus::failed, "aborted", 0};
            }
        }
        const auto found = pdfs_.find(name);
        if (found == pdfs_.end()) return {cloud::ConversionStatus::cannotConvert, "the converter gave up", 0};
        std::error_code ec;
        fs::copy_file(found->second, request.pdf, fs::copy_options::overwrite_existing, ec);
        if (ec) return {cloud::ConversionStatus::failed, ec.message(), 0};
        return {cloud::ConversionStatus::converted, {}, 0};
    }
    void abort() override {
        std::lock_guard lock(mutex_);
        if (holding_) aborted_ = true;
        changed_.notify_all();
    }
    void letThrough() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    bool waitUntilHolding() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 60s, [this] { return holding_; });
    }
    std::map<std::string, int> conversions() {
        std::lock_guard lock(mutex_);
        return conversions_;
    }

private:
    const std::map<std::string, fs::path> pdfs_;
    const std::string held_;
    const std::set<std::string> notStarting_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    bool released_ = false;
    bool aborted_ = false;
    std::map<std::string, int> conversions_;
};

// What the folder's stores and data directory hold for one document, named so that two indexes of the
// same files compare: the document's image key in file names is replaced by "*".
struct StoredDocument {
    NanItemProcessingStates state{};
    int64_t pageCount = 0;
    uint32_t contentHash = 0;
    int64_t contentCreated = 0;
    std::string originalText;
    std::vector<std::string> rects;
    std::map<std::string, std::string> files;  // previews and the converted PDF

    friend bool operator==(const StoredDocument&, const StoredDocument&) = default;
};

class OfficeTextFirstTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(docs);
        fs::create_directories(pdfs);
        writeBinaryFile(docs / "brief.docx",
                        lumidex::testing::docx("<w:p><w:r><w:t>Zitronenfalter Rechnung 4711</w:t></w:r></w:p>", "Randbemerkung"));
        writeBinaryFile(docs / "tabelle.xlsx", lumidex::testing::xlsx("Pflaumenbaum", "Geheimzahl"));
        writeBinaryFile(docs / "vortrag.odp", lumidex::testing::odp("Leuchtturm", "Sprechernotiz"));
        // The layout adds words the document's XML does not hold (a page footer), and the sheet comes
        // back as a scan, so that its page is recognised and has rectangles.
        writeTextPdf(pdfs / "brief.pdf", {textPage("Zitronenfalter Rechnung 4711"), textPage("Fusszeile Seite 2026")});
        scanned = testing::writeScannedPdf(pdfs / "tabelle.pdf", {textPage("Pflaumenbaum Quittung")}, dir.path());
    }
    void TearDown() override { restart(); }

    void restart() {
        core.reset();
        runner.reset();
    }

    std::shared_ptr<folders::BalancedDataManager> index(bool textFirst, const std::string& data) {
        auto backend = std::make_unique<PreparedConverter>(
            std::map<std::string, fs::path>{{"brief.docx", pdfs / "brief.pdf"}, {"tabelle.xlsx", pdfs / "tabelle.pdf"}},
            held, notStarting);
        converter = backend.get();
        NanItemsProcessingOptions o;
        o.workerPoolOptions.workerExecutable = platform::currentExecutable();
        o.workerPoolOptions.workerArguments = {"--extraction-worker"};
        o.workerPoolOptions.workerCount = 2;
        o.workerPoolOptions.timeLimit = 90s;
        o.workerPoolOptions.log = log.sink();
        o.log = log.sink();
        o.officeTextFirst = textFirst;
        o.conversionPassAfterRuns = passesAfterRuns;
        o.officeConversion = std::make_shared<cloud::ConversionQueue>(std::move(backend),
                                                                      cloud::ConversionQueueOptions{60s, log.sink()});
        runner = std::make_shared<NanItemsProcessing>(o);
        folders::CoreManagerDataDependencies deps;
        deps.dataDirectory = dir / data;
        deps.processingRunner = runner;
        core = std::make_unique<folders::CoreManagerData>(std::move(deps));
        auto manager = core->addFolder(docs.string());
        manager->start();
        manager->fullScan();
        EXPECT_TRUE(manager->waitUntilIdle(120s));
        return manager;
    }

    NanItem item(folders::BalancedDataManager& manager, const std::string& name) {
        return testing::storedItem(manager, docs / name);
    }
    std::set<std::string> filesWith(folders::BalancedDataManager& manager, const std::string& word) {
        return testing::indexedFilesWith(manager, word);
    }
    std::set<std::string> filesWithNumber(folders::BalancedDataManager& manager, const std::string& number) {
        SearchParameters parameters;
        parameters.rootFolderUrlStrings = {manager.rootFolderUrlString()};
        parameters.searchText = number;
        std::set<std::string> names;
        for (const auto& row : manager.numbersDatabaseBalancer().search(parameters, -1, false, false)) names.insert(row.fileName);
        return names;
    }

    StoredDocument stored(folders::BalancedDataManager& manager, const std::string& name) {
        const NanItem document = item(manager, name);
        StoredDocument s;
        s.state = document.processingState;
        s.pageCount = document.totalPageCount;
        s.contentHash = document.contentHash;
        s.contentCreated = secondsSince1970(document.fileContentCreatedDate);
        auto originals = manager.ftsDatabaseBalancer().storeFor(document.combinedHash)->originalTexts({document.combinedHash});
        if (originals.size() == 1) s.originalText = originals[0].second.prefix(originals[0].second.size());
        for (const OcrRect& r : manager.ocrRectsDatabaseBalancer().ocrRects(document.combinedHash)) {
            std::ostringstream row;
            row << r.pageIndex << ' ' << r.ocrContent << ' ' << r.p0x << ' ' << r.p0y << ' ' << r.p2x << ' ' << r.p2y;
            s.rects.push_back(row.str());
        }
        std::sort(s.rects.begin(), s.rects.end());
        const std::string key = document.id.toString();
        for (const auto& entry : fs::recursive_directory_iterator(manager.folderDataDirectory())) {
            std::string relative = fs::relative(entry.path(), manager.folderDataDirectory()).string();
            if (const auto at = relative.find(key); at != std::string::npos && entry.is_regular_file()) {
                s.files[relative.replace(at, key.size(), "*")] = fileBytes(entry.path());
            }
        }
        return s;
    }

    TempDir dir;
    fs::path docs = dir / "docs";
    fs::path pdfs = dir / "pdfs";
    bool scanned = false;
    std::string held;
    std::set<std::string> notStarting;
    bool passesAfterRuns = false;
    LogLines log;
    PreparedConverter* converter = nullptr;
    std::shared_ptr<NanItemsProcessing> runner;
    std::unique_ptr<folders::CoreManagerData> core;
};

TEST_F(OfficeTextFirstTest, ConvertedLaterTheStoredResultIsWhatConvertingFirstStoresAndThePassResumesAfterARestart) {
    if (!scanned) GTEST_SKIP() << "img2pdf not available";
    auto onePass = index(false, "data-one-pass");
    std::map<std::string, StoredDocument> expected;
    for (const char* name : {"brief.docx", "tabelle.xlsx"}) expected[name] = stored(*onePass, name);
    ASSERT_EQ(expected["brief.docx"].pageCount, 2);
    ASSERT_FALSE(expected["tabelle.xlsx"].rects.empty());
    ASSERT_EQ(filesWith(*onePass, "Fusszeile"), std::set<std::string>{"brief.docx"});
    ASSERT_EQ(filesWithNumber(*onePass, "2026"), std::set<std::string>{"brief.docx"});
    // Converting first, a document the converter fails on is found by its name only.
    EXPECT_TRUE(filesWith(*onePass, "Sprechernotiz").empty());
    restart();

    // Text first: every document is found by its own text before anything is converted.
    held = "tabelle.xlsx";
    auto manager = index(true, "data");
    EXPECT_TRUE(converter->conversions().empty());
    EXPECT_EQ(filesWith(*manager, "Randbemerkung"), std::set<std::string>{"brief.docx"});
    EXPECT_EQ(filesWith(*manager, "Geheimzahl"), std::set<std::string>{"tabelle.xlsx"});
    EXPECT_EQ(filesWith(*manager, "Sprechernotiz"), std::set<std::string>{"vortrag.odp"});
    EXPECT_EQ(filesWithNumber(*manager, "4711"), std::set<std::string>{"brief.docx"});
    EXPECT_TRUE(filesWith(*manager, "Fusszeile").empty());  // only the layout shows it
    EXPECT_EQ(item(*manager, "brief.docx").processingState, NanItemProcessingStates::complete);
    const storage::PendingConversions pending(manager->folderDataDirectory());
    EXPECT_EQ(pending.list().size(), 3u);
    EXPECT_EQ(storage::ContentCache(manager->folderDataDirectory(), 1u << 30).storedBytes(), 0u)
        << "a result without its conversion is not kept as if complete";
    EXPECT_EQ(describePasses(folderProcessingStatus(*manager, *runner)),
              "searchable: 3 of 3; previews: 0 of 0; conversions: 0 of 3");

    // The pass is stopped while it converts the sheet; the text is found meanwhile.
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager->rootFolderUrlString();
    auto pass = std::async(std::launch::async, [&] { return runner->convertDeferredOfficeDocuments(*manager, settings); });
    ASSERT_TRUE(converter->waitUntilHolding());
    EXPECT_EQ(filesWith(*manager, "Pflaumenbaum"), std::set<std::string>{"tabelle.xlsx"});
    EXPECT_EQ(filesWith(*manager, "Zitronenfalter Randbemerkung"), std::set<std::string>{"brief.docx"});
    // What was converted before the sheet is stored before the stop (a stopped run stores nothing more).
    const std::size_t convertedBefore = converter->conversions().size() - 1;
    ASSERT_TRUE(lumidex::testing::eventually([&] { return pending.list().size() == 3 - convertedBefore; }));
    settings.cancellationToken.cancel();
    EXPECT_FALSE(pass.get());
    EXPECT_TRUE(pending.contains(item(*manager, "tabelle.xlsx").combinedHash));
    const auto firstConversions = converter->conversions();

    // A new process takes up what is left.
    restart();
    held.clear();
    manager = index(true, "data");
    EXPECT_TRUE(convertInterruptedOfficeDocuments(*manager, *runner));
    EXPECT_TRUE(pending.list().empty());
    // Each converted once, besides the conversion stopped by the restart.
    std::map<std::string, int> conversions = converter->conversions();
    for (const auto& [name, count] : firstConversions) conversions[name] += count;
    EXPECT_EQ(conversions, (std::map<std::string, int>{{"brief.docx", 1}, {"tabelle.xlsx", 2}, {"vortrag.odp", 1}}));
    for (const auto& [name, document] : expected) EXPECT_EQ(stored(*manager, name), document) << name;
    EXPECT_EQ(filesWith(*manager, "Fusszeile"), std::set<std::string>{"brief.docx"});
    EXPECT_EQ(filesWithNumber(*manager, "2026"), std::set<std::string>{"brief.docx"});

    // A failed conversion is reported as before, and the document stays searchable by its own text.
    EXPECT_EQ(item(*manager, "vortrag.odp").processingState, NanItemProcessingStates::complete);
    EXPECT_TRUE(log.contains("not converted to PDF: the converter gave up"));
    EXPECT_EQ(filesWith(*manager, "Leuchtturm Sprechernotiz"), std::set<std::string>{"vortrag.odp"});

    // The complete result kept by the pass spares a copy both passes.
    fs::copy_file(docs / "brief.docx", docs / "kopie.docx");
    const auto conversionsBefore = converter->conversions();
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(converter->conversions(), conversionsBefore);
    EXPECT_TRUE(pending.list().empty());
    StoredDocument copy = stored(*manager, "kopie.docx");
    EXPECT_EQ(copy.pageCount, 2);
    EXPECT_EQ(copy.files, expected["brief.docx"].files);
}

TEST_F(OfficeTextFirstTest, AConversionThatMayWorkLaterLeavesTheDocumentAsItsTextStoredItAndOwed) {
    notStarting = {"brief.docx"};
    auto manager = index(true, "data");
    const NanItem before = item(*manager, "brief.docx");
    const NanItem slidesBefore = item(*manager, "vortrag.odp");
    ASSERT_EQ(before.processingState, NanItemProcessingStates::complete);
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager->rootFolderUrlString();
    EXPECT_FALSE(runner->convertDeferredOfficeDocuments(*manager, settings));

    const storage::PendingConversions pending(manager->folderDataDirectory());
    const NanItem after = item(*manager, "brief.docx");
    EXPECT_EQ(after.processingState, NanItemProcessingStates::complete);
    EXPECT_EQ(after.contentHash, before.contentHash);  // still a duplicate of its copies
    EXPECT_EQ(after.totalPageCount, before.totalPageCount);
    EXPECT_TRUE(pending.contains(before.combinedHash));
    EXPECT_EQ(filesWith(*manager, "Randbemerkung"), std::set<std::string>{"brief.docx"});
    // One the converter refuses is settled: reported, and kept with its own text and identity.
    const NanItem slides = item(*manager, "vortrag.odp");
    EXPECT_EQ(slides.processingState, NanItemProcessingStates::complete);
    EXPECT_EQ(slides.contentHash, slidesBefore.contentHash);
    EXPECT_FALSE(pending.contains(slides.combinedHash));
    EXPECT_TRUE(log.contains("not converted to PDF: the converter gave up"));
    // Of the sheet converted, the letter owed and the slides refused, the slides count as failed, not as
    // converted: in the run's figures and in those read from the stores.
    EXPECT_TRUE(describePasses(folderProcessingStatus(*manager, *runner)).ends_with("; conversions: 1 of 2"));
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).errors, 1);
    const auto statuses = service::indexStatus(search::coordinatorFolderList(*core),
                                               [&](const std::string&) { return manager->folderDataDirectory(); });
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_TRUE(service::describePasses(statuses[0]).ends_with("; conversions: 1 of 2"));
    EXPECT_EQ(statuses[0].conversionsFailed, 1);

    // A new process whose scan finds nothing to read takes the owed one up by itself.
    restart();
    notStarting.clear();
    passesAfterRuns = true;
    manager = index(true, "data");
    EXPECT_EQ(converter->conversions()["brief.docx"], 1);
    EXPECT_FALSE(pending.contains(before.combinedHash));
    EXPECT_EQ(filesWith(*manager, "Fusszeile"), std::set<std::string>{"brief.docx"});
}

TEST_F(OfficeTextFirstTest, AConversionOfADocumentReadAgainMeanwhileIsNotStoredAndItsMarkerStays) {
    held = "brief.docx";
    auto manager = index(true, "data");
    NanItem brief = item(*manager, "brief.docx");
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager->rootFolderUrlString();
    auto pass = std::async(std::launch::async, [&] { return runner->convertDeferredOfficeDocuments(*manager, settings); });
    ASSERT_TRUE(converter->waitUntilHolding());
    brief.processingState = NanItemProcessingStates::readyForProcessing;  // as a run taking it up again
    manager->saveItems({brief});
    converter->letThrough();
    EXPECT_FALSE(pass.get());

    const storage::PendingConversions pending(manager->folderDataDirectory());
    EXPECT_EQ(item(*manager, "brief.docx").processingState, NanItemProcessingStates::readyForProcessing);
    EXPECT_TRUE(filesWith(*manager, "Fusszeile").empty());
    EXPECT_TRUE(pending.contains(brief.combinedHash));
    // The run that reads it may be about to store it with its own text: a pass leaves the marker to it.
    EXPECT_FALSE(runner->convertDeferredOfficeDocuments(*manager, settings));
    EXPECT_TRUE(pending.contains(brief.combinedHash));
}

}  // namespace
}  // namespace lumidex::processing
