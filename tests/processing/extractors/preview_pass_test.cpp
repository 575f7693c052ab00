// Text first, previews later: documents are searchable before their later page previews exist, the
// preview pass draws them afterwards (resuming across restarts), and a page opened before the pass is
// drawn on demand. Real extraction workers (this test binary in worker mode).
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "folders/coordinator/core_manager_data.h"
#include "platform/subprocess.h"
#include "core/grouped_number.h"
#include "processing/default_runner.h"
#include "processing/extractors/extractor_fixtures.h"
#include "processing/nan_items_processing.h"
#include "processing/page_thumbnail.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "service/document_service.h"
#include "storage/pending_enrichments.h"
#include "support/eventually.h"
#include "support/log_lines.h"
#include "support/temp_home.h"

namespace lumidex::processing {
namespace {

using namespace std::chrono_literals;
using lumidex::testing::LogLines;
using lumidex::testing::TempDir;
using testing::textPage;
using testing::writeBinaryFile;
using testing::writeTextPdf;

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class PreviewPassTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(docs);
        // Four pages: the last is beyond those drawn ahead, and only ever drawn when opened.
        writeTextPdf(docs / "manual.pdf", {textPage("Kangaroo manual chapter one"), textPage("Second page of it"),
                                           textPage("Third page wombat"), textPage("Fourth page numbat")});
        writeTextPdf(docs / "leaflet.pdf", {textPage("Platypus leaflet with enough text"), textPage("Back side")});
        writeTextPdf(docs / "card.pdf", {textPage("Echidna postcard with enough text")});
        writeBinaryFile(docs / "notes.txt", "Plain ocelot notes\n");
    }
    void TearDown() override { restart(); }

    // A new process: the coordinators and the runner go, the files on disk stay.
    void restart() {
        core.reset();
        runner.reset();
    }

    std::shared_ptr<folders::BalancedDataManager> index(bool eager, bool passAfterRuns,
                                                        const std::string& data = "data") {
        NanItemsProcessingOptions o;
        o.workerPoolOptions.workerExecutable = platform::currentExecutable();
        o.workerPoolOptions.workerArguments = {"--extraction-worker", "--enable-test-jobs"};
        o.workerPoolOptions.workerCount = workers;
        o.workerPoolOptions.timeLimit = 90s;
        o.workerPoolOptions.log = log.sink();
        o.log = log.sink();
        o.eagerPreviews = eager;
        o.previewPassAfterRuns = passAfterRuns;
        o.previewJobKindOverride = [this](const NanItem& document) -> std::optional<std::string> {
            return previewKind ? previewKind(document) : std::nullopt;
        };
        o.freeBytes = [this](const std::filesystem::path&) -> std::optional<std::uintmax_t> { return freeBytes; };
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

    // Pages opened before the pass are drawn by this fixture's workers, as the application draws them.
    void drawOpenedPages() {
        service::DocumentService::setThumbnailDrawer(
            [this](const NanItem& drawn, const std::filesystem::path& folderDataDirectory, int64_t pageIndex) {
                return drawPageThumbnail(runner->workerPool(), drawn, folderDataDirectory, pageIndex);
            });
    }

    NanItem item(folders::BalancedDataManager& manager, const std::string& name) { return testing::storedItem(manager, docs / name); }
    std::set<std::string> filesWith(folders::BalancedDataManager& manager, const std::string& word) {
        return testing::indexedFilesWith(manager, word);
    }

    // Every preview file of the folder's documents, by file name and page: what a run left on disk.
    std::map<std::string, std::string> previews(folders::BalancedDataManager& manager) {
        std::map<std::string, std::string> files;
        for (const NanItem& document : manager.allItems()) {
            const std::string key = document.id.toString();
            for (const auto& entry : std::filesystem::directory_iterator(manager.folderDataDirectory())) {
                const std::string name = entry.path().filename().string();
                if (name.starts_with(key)) files[document.fileName + name.substr(key.size())] = fileBytes(entry.path());
            }
        }
        return files;
    }

    std::set<std::string> previewNames(folders::BalancedDataManager& manager) {
        std::set<std::string> names;
        for (const auto& [name, bytes] : previews(manager)) names.insert(name);
        return names;
    }

    // Settings of the next index(); previewKind may be set later, before a pass.
    std::size_t workers = 2;
    std::function<std::optional<std::string>(const NanItem&)> previewKind;
    std::optional<std::uintmax_t> freeBytes;  // what the data disk has left; nullopt: unknown (not full)
    TempDir dir;
    std::filesystem::path docs = dir / "docs";
    LogLines log;
    std::shared_ptr<NanItemsProcessing> runner;
    std::unique_ptr<folders::CoreManagerData> core;
};

TEST_F(PreviewPassTest, HeldBackPassLeavesFirstPagesThenResumesAcrossARestartAndDrawsWhatAnEagerRunDraws) {
    auto manager = index(false, false);
    EXPECT_EQ(filesWith(*manager, "wombat"), std::set<std::string>{"manual.pdf"});
    EXPECT_EQ(filesWith(*manager, "platypus"), std::set<std::string>{"leaflet.pdf"});
    EXPECT_EQ(previewNames(*manager), (std::set<std::string>{"manual.pdf_thumbmage_#0.png", "leaflet.pdf_thumbmage_#0.png",
                                                             "card.pdf_thumbmage_#0.png"}));
    const storage::PendingPreviews pending(manager->folderDataDirectory());
    EXPECT_EQ(pending.list().size(), 2u);  // the one-page card owes nothing
    const FolderProcessingStatus status = folderProcessingStatus(*manager, *runner);
    EXPECT_EQ(describePasses(status), "searchable: 4 of 4; previews: 3 of 6");
    EXPECT_EQ(groupedNumber(16548), "16 548");
    EXPECT_EQ(groupedNumber(1234567), "1 234 567");
    EXPECT_EQ(groupedNumber(999), "999");
    EXPECT_EQ(groupedNumber(-1234), "-1 234");
    EXPECT_EQ(groupedNumber(INT64_MIN), "-9 223 372 036 854 775 808");

    // The pass is stopped after its first document; a search meanwhile finds every text.
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager->rootFolderUrlString();
    settings.cancellationToken = manager->cancellationToken();
    int asked = 0;
    std::set<std::string> foundDuringPass;
    EXPECT_FALSE(runner->renderDeferredPreviews(*manager, settings, [&] {
        for (const char* word : {"ocelot", "kangaroo", "echidna"}) foundDuringPass.merge(filesWith(*manager, word));
        return ++asked > 1;
    }));
    EXPECT_EQ(foundDuringPass, (std::set<std::string>{"notes.txt", "manual.pdf", "card.pdf"}));
    ASSERT_EQ(pending.list().size(), 1u);
    const bool manualLeft = pending.list()[0] == item(*manager, "manual.pdf").combinedHash;
    EXPECT_EQ(previewNames(*manager).size(), manualLeft ? 4u : 5u);  // the leaflet's second page, or the manual's two

    restart();
    manager = index(false, false);
    EXPECT_TRUE(renderInterruptedPreviews(*manager, *runner));
    EXPECT_TRUE(pending.list().empty());
    const auto deferred = previews(*manager);
    EXPECT_EQ(deferred.size(), 6u);
    restart();

    auto eager = index(true, true, "data-eager");
    EXPECT_TRUE(storage::PendingPreviews(eager->folderDataDirectory()).list().empty());
    EXPECT_EQ(previews(*eager), deferred);  // the same files, to the byte
}

TEST_F(PreviewPassTest, RunsDrawOwedPreviewsAfterTheirText) {
    auto manager = index(false, true);
    EXPECT_TRUE(storage::PendingPreviews(manager->folderDataDirectory()).list().empty());
    EXPECT_EQ(previewNames(*manager).size(), 6u);
    const FolderProcessingStats stats = runner->stats(manager->rootFolderUrlString());
    EXPECT_EQ(stats.previewPages, 6);
    EXPECT_EQ(stats.previewsOwed, 0);
}

TEST_F(PreviewPassTest, AChangedDocumentShowsItsOwnPreviewsNeverTheEarlierVersions) {
    drawOpenedPages();
    auto manager = index(false, true);
    service::DocumentService documents(*core);
    const auto before = documents.find(item(*manager, "manual.pdf").combinedHash);
    ASSERT_TRUE(before.has_value());
    ASSERT_EQ(documents.thumbnail(*before, 4).status, service::ThumbnailStatus::found);  // opened, kept
    const auto page = [&](int64_t number) { return manager->folderDataDirectory() / service::thumbnailFileName(before->item, number); };
    const std::string secondBefore = fileBytes(page(2));

    // The same file, rewritten: its previews keep their names, so the earlier ones must not pass for its.
    writeTextPdf(docs / "manual.pdf", {textPage("Kangaroo manual revised"), textPage("A wholly new second page"),
                                       textPage("Third page"), textPage("Fourth page")});
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(120s));
    EXPECT_EQ(filesWith(*manager, "revised"), std::set<std::string>{"manual.pdf"});
    EXPECT_FALSE(std::filesystem::exists(page(4)));
    ASSERT_TRUE(std::filesystem::exists(page(2)));
    EXPECT_TRUE(fileBytes(page(2)) != secondBefore) << "the earlier version's second page";
}

TEST_F(PreviewPassTest, PreviewsThatCannotBeWrittenStayOwedAndADocumentThatCrashesTheWorkerIsGivenUpAfterThreeTries) {
    namespace fs = std::filesystem;
    auto manager = index(false, false);
    const fs::path data = manager->folderDataDirectory();
    const storage::PendingPreviews pending(data);
    const NanItem leaflet = item(*manager, "leaflet.pdf");
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager->rootFolderUrlString();

    // Marker writes cut off by a kill: an old temporary file goes, a new one may be another process's
    // write in progress; an old marker is no temporary file.
    const fs::path stale = data / "preview_pending" / (std::to_string(leaflet.combinedHash) + ".tmp-a1B2c3");
    const fs::path fresh = data / "preview_pending" / (std::to_string(leaflet.combinedHash) + ".tmp-d4E5f6");
    writeBinaryFile(stale, "");
    writeBinaryFile(fresh, "");
    const auto hourAgo = fs::file_time_type::clock::now() - 1h;
    fs::last_write_time(stale, hourAgo);
    fs::last_write_time(data / "preview_pending" / std::to_string(leaflet.combinedHash), hourAgo);

    // The leaflet's second preview cannot be written (a folder takes its place). On a full disk the pass
    // ends unfinished and the leaflet stays owed, without a failed try counted; otherwise the fault is
    // the leaflet's own: a try is counted and the other documents are drawn.
    const fs::path blocked = data / SaveNanImagesHelper::thumbnailFileName(SaveNanImagesHelper::imageKey(leaflet), 1);
    fs::create_directory(blocked);
    freeBytes = 1u << 20;
    EXPECT_FALSE(runner->renderDeferredPreviews(*manager, settings));
    EXPECT_TRUE(pending.contains(leaflet.combinedHash));
    EXPECT_EQ(pending.attempts(leaflet.combinedHash), 0);
    EXPECT_TRUE(log.contains("Vorschaubilder nicht geschrieben, bleiben vorgemerkt: " + leaflet.urlString));
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(fresh));
    freeBytes.reset();
    EXPECT_FALSE(runner->renderDeferredPreviews(*manager, settings));
    EXPECT_EQ(pending.list(), std::vector<uint32_t>{leaflet.combinedHash});
    EXPECT_EQ(pending.attempts(leaflet.combinedHash), 1);
    fs::remove(blocked);
    ASSERT_TRUE(pending.setAttempts(leaflet.combinedHash, 0));

    // A document that crashes the worker is tried again by later passes, three times in all.
    previewKind = [&](const NanItem& document) -> std::optional<std::string> {
        if (document.combinedHash == leaflet.combinedHash) return "test.crash";
        return std::nullopt;
    };
    for (int attempt = 1; attempt < NanItemsProcessing::previewAttempts; ++attempt) {
        EXPECT_FALSE(runner->renderDeferredPreviews(*manager, settings));
        EXPECT_EQ(pending.attempts(leaflet.combinedHash), attempt);
    }
    EXPECT_TRUE(runner->renderDeferredPreviews(*manager, settings));
    EXPECT_TRUE(log.contains("Vorschaubilder nach 3 Versuchen aufgegeben: " + leaflet.urlString));
    EXPECT_EQ(previewNames(*manager).size(), 5u);  // all but the leaflet's second page
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).previewsOwed, 0);
}

TEST_F(PreviewPassTest, AMarkerTheDiskRefusesIsTriedThreeTimesInAProcessAndThenLeftAlone) {
    namespace fs = std::filesystem;
    auto manager = index(false, false);
    const NanItem leaflet = item(*manager, "leaflet.pdf");
    // Where a folder takes the marker's place, neither a count of tries nor the removal can be written.
    const fs::path marker = manager->folderDataDirectory() / "preview_pending" / std::to_string(leaflet.combinedHash);
    ASSERT_TRUE(fs::remove(marker));
    fs::create_directories(marker / "x");
    previewKind = [&](const NanItem& document) -> std::optional<std::string> {
        if (document.combinedHash == leaflet.combinedHash) return "test.crash";
        return std::nullopt;
    };
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager->rootFolderUrlString();
    const auto crashes = [&] {
        return std::ranges::count_if(log.lines(), [&](const std::string& line) {
            return line.find("Vorschaubilder nicht gezeichnet: " + leaflet.urlString) != std::string::npos;
        });
    };
    for (int attempt = 1; attempt < NanItemsProcessing::previewAttempts; ++attempt) {
        EXPECT_FALSE(runner->renderDeferredPreviews(*manager, settings));
    }
    EXPECT_TRUE(runner->renderDeferredPreviews(*manager, settings));
    EXPECT_TRUE(log.contains("Vorschaubilder nach 3 Versuchen aufgegeben: " + leaflet.urlString));
    EXPECT_EQ(crashes(), 3);
    EXPECT_TRUE(runner->renderDeferredPreviews(*manager, settings));
    EXPECT_EQ(crashes(), 3);
    EXPECT_EQ(runner->stats(manager->rootFolderUrlString()).previewsOwed, 0);
}

TEST_F(PreviewPassTest, AWorkerThatIsDoneTakesTheNextDocumentWhileAnotherStillDraws) {
    writeTextPdf(docs / "brochure.pdf", {textPage("Quokka brochure with enough text"), textPage("Inside")});
    workers = 3;  // two documents at a time
    auto manager = index(false, false);
    const storage::PendingPreviews pending(manager->folderDataDirectory());
    const std::vector<uint32_t> owing = pending.list();
    ASSERT_EQ(owing.size(), 3u);
    // The first document the pass takes is never done until the pass is stopped.
    previewKind = [first = owing[0]](const NanItem& document) -> std::optional<std::string> {
        if (document.combinedHash == first) return "test.hang";
        return std::nullopt;
    };
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager->rootFolderUrlString();
    auto pass = std::async(std::launch::async, [&] { return runner->renderDeferredPreviews(*manager, settings); });
    EXPECT_TRUE(lumidex::testing::eventually([&] { return pending.list() == std::vector<uint32_t>{owing[0]}; }));
    settings.cancellationToken.cancel();
    EXPECT_FALSE(pass.get());
    EXPECT_EQ(pending.list(), std::vector<uint32_t>{owing[0]});
}

// Counts the files moved into place under one name in a directory while it lives.
class PlacementCounter {
public:
    PlacementCounter(const std::filesystem::path& directory, std::string name)
        : fd_(inotify_init1(IN_NONBLOCK)), name_(std::move(name)) {
        inotify_add_watch(fd_, directory.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~PlacementCounter() { ::close(fd_); }
    int count() {
        alignas(inotify_event) char buffer[8192];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len > 0 && name_ == event->name) ++count_;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return count_;
    }

private:
    int fd_;
    std::string name_;
    int count_ = 0;
};

TEST_F(PreviewPassTest, APageOpenedBeforeThePassIsDrawnOnceWhereThePassWouldPutIt) {
    drawOpenedPages();
    auto manager = index(false, false);
    service::DocumentService documents(*core);
    const auto manual = documents.find(item(*manager, "manual.pdf").combinedHash);
    ASSERT_TRUE(manual.has_value());
    const std::string name = service::thumbnailFileName(manual->item, 2);
    ASSERT_FALSE(std::filesystem::exists(manager->folderDataDirectory() / name));

    PlacementCounter placed(manager->folderDataDirectory(), name);
    std::vector<service::Thumbnail> answers(4);
    std::vector<std::thread> requests;
    for (auto& answer : answers) requests.emplace_back([&] { answer = documents.thumbnail(*manual, 2); });
    for (auto& request : requests) request.join();
    for (const auto& answer : answers) {
        ASSERT_EQ(answer.status, service::ThumbnailStatus::found);
        EXPECT_EQ(answer.png, answers[0].png);
    }
    EXPECT_EQ(placed.count(), 1);
    EXPECT_EQ(fileBytes(manager->folderDataDirectory() / name), answers[0].png);

    // The pass draws only what is still missing, the same bytes as on demand.
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager->rootFolderUrlString();
    settings.cancellationToken = manager->cancellationToken();
    EXPECT_TRUE(runner->renderDeferredPreviews(*manager, settings));
    EXPECT_EQ(placed.count(), 1);

    // The page the pass leaves alone is drawn when opened; one beyond the document, or of a document that
    // vanished, is not there to draw.
    EXPECT_FALSE(std::filesystem::exists(manager->folderDataDirectory() / service::thumbnailFileName(manual->item, 4)));
    EXPECT_EQ(documents.thumbnail(*manual, 4).status, service::ThumbnailStatus::found);
    EXPECT_EQ(documents.thumbnail(*manual, 5).status, service::ThumbnailStatus::missing);
    const auto leaflet = documents.find(item(*manager, "leaflet.pdf").combinedHash);
    ASSERT_TRUE(leaflet.has_value());
    std::filesystem::remove(manager->folderDataDirectory() / service::thumbnailFileName(leaflet->item, 2));
    writeBinaryFile(docs / "leaflet.pdf", "%PDF-1.4 damaged");
    EXPECT_EQ(documents.thumbnail(*leaflet, 2).status, service::ThumbnailStatus::missing);
    std::filesystem::remove(docs / "leaflet.pdf");
    EXPECT_EQ(documents.thumbnail(*leaflet, 2).status, service::ThumbnailStatus::missing);
}

}  // namespace
}  // namespace lumidex::processing
