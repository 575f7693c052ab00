// Start-up: loading, waiting callers, failures, the one-time migration.
#include <future>
#include <thread>

#include "coordinator_fixture.h"
#include "core/settings/settings.h"
#include "storage/search_index_migration.h"

namespace lumidex::folders::testing {
namespace {

TEST_F(CoordinatorTest, AStartedCoordinatorServesWhatAnEarlierScanStored) {
    for (int i = 0; i < 30; ++i) file("docs/d" + std::to_string(i) + (i % 3 == 0 ? ".bin" : ".pdf"));
    {
        auto first = started();
        const auto scan = first->fullScan();
        EXPECT_TRUE(scan.reconciled);
        EXPECT_EQ(scan.found, 30u);
        EXPECT_EQ(scan.newItems, 30u);
        EXPECT_EQ(scan.unsupported, 10u);
        EXPECT_EQ(scan.removedOrphans, 0u);
    }
    auto second = started();
    EXPECT_EQ(second->itemCount(), 30u);
    const std::string path = (root / "docs/d1.pdf").string();
    const auto item = second->itemByPath(path);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->processingState, NanItemProcessingStates::readyForProcessing);
    EXPECT_EQ(second->itemById(Uuid::nameBased(path))->urlString, path);
    EXPECT_EQ(second->itemByCombinedHash(item->combinedHash)->urlString, path);
    EXPECT_EQ(second->pathForCombinedHash(item->combinedHash), path);
    EXPECT_EQ(second->itemsOfShard(item->combinedHash % 20).size() > 0, true);
    EXPECT_EQ(second->itemByPath((root / "docs/d0.bin").string())->processingState, NanItemProcessingStates::notSupported);

    const auto again = second->fullScan();
    EXPECT_EQ(again.newItems, 0u);
    EXPECT_EQ(again.removedOrphans, 0u);
    EXPECT_EQ(storedRows().size(), 30u);
}

TEST_F(CoordinatorTest, CallersWaitingForStartUpAreReleasedInArrivalOrderAndSeeTheItems) {
    file("a.pdf");
    file("b.pdf");
    started()->fullScan();

    auto manager = make();
    std::vector<int> order;
    std::mutex orderMutex;
    for (int i = 0; i < 5; ++i) {
        manager->waitForInitToComplete([&, i] {
            std::lock_guard lock(orderMutex);
            order.push_back(i);
        });
    }
    auto query = std::async(std::launch::async, [&] { return manager->allItems().size(); });
    EXPECT_EQ(query.wait_for(50ms), std::future_status::timeout);  // still waiting for start-up
    EXPECT_FALSE(manager->isInitialized());
    manager->start();
    EXPECT_TRUE(manager->isInitialized());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(query.get(), 2u);

    bool immediately = false;
    manager->waitForInitToComplete([&] { immediately = true; });
    EXPECT_TRUE(immediately);
}

TEST_F(CoordinatorTest, StartUpEndsAndReleasesCallersWhenTheStoresCannotOpen) {
    file("a.pdf");
    makeFile(dir.path() / "data" / "folder");  // a file where the folder's data directory belongs
    auto manager = make();
    auto waiter = std::async(std::launch::async, [&] { return manager->itemCount(); });
    manager->start();
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0u);
    EXPECT_TRUE(manager->isInitialized());
    // The scan still works in memory; the stores only log.
    EXPECT_EQ(manager->fullScan().found, 1u);
    EXPECT_TRUE(manager->itemByPath((root / "a.pdf").string()));
}

TEST_F(CoordinatorTest, TheFoldingMigrationRunsOnceAndIsRecorded) {
    file("a.pdf");
    const std::string key = SettingsKeys::searchIndexFoldingVersion(root.string());
    settings.remove(key);
    started();
    EXPECT_EQ(settings.getInt(key), storage::currentFoldingVersion);
    // Recorded: the next start does not refold (the full-text shards are not even opened for it).
    std::filesystem::remove_all(dir.path() / "data" / "folder" / "balanced_db_fts_v9");
    started();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "data" / "folder" / "balanced_db_fts_v9"));
}

// Older indexes stored long texts in other scripts as nothing: the refold cannot bring them back, so the
// PDFs and text files stored with only their path and name are read again; photos are not recognised again.
TEST_F(CoordinatorTest, TheFoldingMigrationHasDocumentsStoredWithoutTextReadAgain) {
    for (const char* name : {"arabic.pdf", "armenian.txt", "photo.png", "letter.txt"}) file(name);
    {
        auto manager = started();
        manager->fullScan();
        std::vector<NanItem> done = manager->allItems();
        for (NanItem& item : done) {
            item.processingState = NanItemProcessingStates::complete;
            storage::FtsDocument row;
            row.combinedHash = item.combinedHash;
            row.urlPath = item.urlString;
            row.fileName = item.fileName;
            row.foldedText = item.fileName == "letter.txt" ? "dear anna" : "";
            ASSERT_TRUE(manager->ftsDatabaseBalancer().write(row));
        }
        manager->saveItems(done);
    }
    settings.setInt(SettingsKeys::searchIndexFoldingVersion(root.string()), 3);
    auto manager = started();
    const auto stateOf = [&](const char* name) { return manager->itemByPath((root / name).string())->processingState; };
    EXPECT_EQ(stateOf("arabic.pdf"), NanItemProcessingStates::readyForProcessing);
    EXPECT_EQ(stateOf("armenian.txt"), NanItemProcessingStates::readyForProcessing);
    EXPECT_EQ(stateOf("photo.png"), NanItemProcessingStates::complete);
    EXPECT_EQ(stateOf("letter.txt"), NanItemProcessingStates::complete);
    for (const NanItem& row : storedRows()) {
        EXPECT_EQ(row.processingState == NanItemProcessingStates::readyForProcessing,
                  row.fileName == "arabic.pdf" || row.fileName == "armenian.txt")
            << row.fileName;
    }
}

TEST_F(CoordinatorTest, StartUpKeepsTheNewerOfTwoStoredVersionsOfAPath) {
    // What a run killed between writing a new version and deleting the old one leaves behind.
    const auto path = file("report.pdf");
    ASSERT_TRUE(setModificationTime(path, 3000));
    {
        storage::SqliteDatabaseBalancer balancer(dir.path() / "data" / "folder", root.string());
        auto version = [&](double seconds) {
            NanItem item;
            item.urlString = path.string();
            item.fileName = "report.pdf";
            item.fileModifiedDate = dateFromSecondsSince1970(seconds);
            item.combinedHash = combinedHash(path.string(), item.fileModifiedDate);
            item.processingState = NanItemProcessingStates::complete;
            return item;
        };
        balancer.create({version(1000), version(2000)});
    }
    auto manager = started();
    EXPECT_EQ(manager->itemCount(), 1u);
    EXPECT_EQ(secondsSince1970(manager->itemByPath(path.string())->fileModifiedDate), 2000.0);
    EXPECT_EQ(storedRows().size(), 1u);

    const auto scan = manager->fullScan();
    EXPECT_EQ(scan.newItems, 1u);  // the version on disk
    EXPECT_EQ(registryOf(manager->allItems()), truthOnDisk());
    EXPECT_EQ(registryOf(storedRows()), truthOnDisk());
}

}  // namespace
}  // namespace lumidex::folders::testing
