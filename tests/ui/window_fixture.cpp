#include "window_fixture.h"

#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <stdlib.h>

#include <chrono>

#include "core/settings/settings_keys.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/processing_runner.h"
#include "processing/extractors/nan_items_processing_pdf.h"
#include "service/document_service.h"
#include "service/folder_service.h"
#include "storage/fts_sqlite.h"
#include "storage/fts_tools.h"
#include "ui/result_list_model.h"

namespace lumidex::ui::testing {
namespace {

using namespace std::chrono_literals;

class PageRunner : public folders::ProcessingRunner {
public:
    void run(folders::BalancedDataManager& manager, std::vector<NanItem> items,
             const folders::ProcessingRunSettings&) override {
        for (NanItem& item : items) {
            item.processingState = NanItemProcessingStates::complete;
            std::string text;
            if (item.fileName == "scan.pdf") {
                item.totalPageCount = 2;
                text = "Cover page\fThe invoice total is due";
                OcrRect match = kMatchLine;
                OcrRect other = kMatchLine;
                other.ocrContent = "is due";
                other.p0y = other.p1y = 0.40;
                other.p2y = other.p3y = 0.45;
                for (OcrRect* r : {&match, &other}) {
                    r->id = Uuid::random();
                    r->combinedHash = item.combinedHash;
                }
                manager.ocrRectsDatabaseBalancer().createOcrRectItem({match, other});
                for (int page = 1; page <= 2; ++page) {
                    QImage image(kPageWidth, kPageHeight, QImage::Format_RGB32);
                    image.fill(Qt::white);
                    const auto file = manager.folderDataDirectory() / service::thumbnailFileName(item, page);
                    image.save(QString::fromStdString(file.string()), "PNG");
                }
            } else if (item.fileName.ends_with(".pdf")) {
                // Other PDFs are read for real, so that a locked or broken one ends as the pipeline ends it.
                const auto result = processing::NanItemsProcessingPdf({}).extract(item.urlString);
                item.processingState = result.state;
                item.totalPageCount = result.totalPageCount;
                text = result.text;
            } else if (item.fileName == "notes.txt") {
                item.totalPageCount = 1;
                text = "Invoice draft notes\nfor Müller";
                item.contentHash = kSameText;
            } else {
                item.totalPageCount = 1;
                text = "nothing to see";
                item.contentHash = kSameText;
            }
            storage::FtsDocument document;
            document.urlPath = item.urlString;
            document.fileName = item.fileName;
            document.combinedHash = item.combinedHash;
            document.originalText = text;
            document.foldedText = storage::FtsTools::fold(text);
            manager.ftsDatabaseBalancer().write(document);
            manager.saveItem(item);
        }
    }
};

}  // namespace

void WindowFixture::SetUpTestSuite() { ensureTestApplication(); }

void ensureTestApplication() {
    if (QApplication::instance() != nullptr) return;
    // Set by the test's environment; defaulted here too so that a direct run never needs a display.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the process, as Qt expects
}

WindowFixture::WindowFixture() {
    std::string pattern = "/dev/shm/lumidex-ui-XXXXXX";
    // Coordinators create many SQLite files; memory-backed storage keeps the tests fast.
    if (std::filesystem::is_directory("/dev/shm") && ::mkdtemp(pattern.data())) {
        scratch = pattern;
    } else {
        fallback = std::make_unique<lumidex::testing::TempDir>();
        scratch = fallback->path();
    }
    root = scratch / "Documents";
    std::filesystem::create_directories(root);
    settingsStore = std::make_unique<SettingsStore>(scratch / "settings.json");
    settingsStore->setInt(SettingsKeys::searchIndexFoldingVersion(root.string()), 1);
    bookmarks = std::make_unique<folders::SecurityBookmarks>(scratch / "data");
}

WindowFixture::~WindowFixture() {
    window.reset();
    QtScheduler::shared().waitForBackground();  // the window's searches and page fetches read `core`
    core.reset();
    std::error_code ec;
    if (!fallback) std::filesystem::remove_all(scratch, ec);
}

void WindowFixture::openWindow() {
    lumidex::testing::writeFile(root / "scan.pdf", "x");
    lumidex::testing::writeFile(root / "notes.txt", "Invoice draft notes");
    lumidex::testing::writeFile(root / "other.txt", "nothing to see");

    folders::CoreManagerDataDependencies deps;
    deps.dataDirectory = scratch / "data";
    deps.settingsStore = settingsStore.get();
    deps.diagnostics = &diagnostics;
    deps.processingRunner = std::make_shared<PageRunner>();
    core = std::make_unique<folders::CoreManagerData>(std::move(deps));

    WindowServices services;
    services.core = core.get();
    services.settings = settingsStore.get();
    services.bookmarks = bookmarks.get();
    services.protectedFolders = folders::ProtectedFolders::forCurrentUser(scratch / "data");
    service::FolderService folders(*bookmarks, services.protectedFolders, core.get());
    ASSERT_TRUE(folders.add(root.string(), folders::RootFolderTypes::searchableFolder).success());
    ASSERT_TRUE(core->directoryScanner().waitUntilIdle(20s));
    const auto manager = core->balancedDataManager(root.string());
    ASSERT_TRUE(manager);
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    ASSERT_EQ(manager->itemCount(), 3u);

    window = std::make_unique<MainWindow>(services);
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
}

bool WindowFixture::waitFor(const std::function<bool()>& done, int milliseconds) {
    return QTest::qWaitFor(done, milliseconds);
}

std::vector<std::string> WindowFixture::listedNames() {
    std::vector<std::string> names;
    ResultListModel& model = window->resultModel();
    for (int row = 0; row < model.rowCount(); ++row) {
        names.push_back(model.data(model.index(row, ResultListModel::name), Qt::DisplayRole).toString().toStdString());
    }
    return names;
}

void WindowFixture::search(const std::string& text) {
    QTest::keyClicks(&window->searchField(), QString::fromStdString(text));
    const auto& results = window->results();
    ASSERT_TRUE(waitFor([&] {
        return !results.isBusy() && results.searchParametersOld() && results.searchParametersOld()->searchText == text;
    }))
        << "no search ran for " << text;
}

}  // namespace lumidex::ui::testing
