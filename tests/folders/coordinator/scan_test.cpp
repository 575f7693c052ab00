// Full scans and the reconciliation of disk against the item tables, including interrupted scans.
#include <atomic>
#include <thread>

#include "coordinator_fixture.h"

namespace lumidex::folders::testing {
namespace {

TEST_F(CoordinatorTest, AFileDeletedWhileClosedIsRemovedAtTheNextStart) {
    file("keep.pdf");
    const auto doomed = file("sub/doomed.pdf");
    started()->fullScan();
    std::filesystem::remove(doomed);

    auto manager = started();
    std::vector<NanItem> announced;
    std::mutex announcedMutex;
    manager->throttledRemovedFilesUpdater().subscribe([&](const std::vector<NanItem>& items) {
        std::lock_guard lock(announcedMutex);
        announced.insert(announced.end(), items.begin(), items.end());
    });
    const auto scan = manager->fullScan();
    EXPECT_EQ(scan.removedOrphans, 1u);
    EXPECT_FALSE(manager->itemByPath(doomed.string()));
    EXPECT_EQ(registryOf(storedRows()), truthOnDisk());
    manager->waitUntilIdle();
    for (int i = 0; i < 200; ++i) {
        std::lock_guard lock(announcedMutex);
        if (!announced.empty()) break;
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(announcedMutex);
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].urlString, doomed.string());
}

TEST_F(CoordinatorTest, ATouchedFileReplacesItsOldVersion) {
    const auto path = file("a.pdf");
    ASSERT_TRUE(setModificationTime(path, 1000));
    auto manager = started();
    manager->fullScan();
    const uint32_t oldHash = manager->itemByPath(path.string())->combinedHash;

    ASSERT_TRUE(setModificationTime(path, 2000));
    const auto scan = manager->fullScan();
    EXPECT_EQ(scan.newItems, 1u);
    EXPECT_EQ(manager->itemCount(), 1u);
    EXPECT_FALSE(manager->itemByCombinedHash(oldHash));
    EXPECT_EQ(secondsSince1970(manager->itemByPath(path.string())->fileModifiedDate), 2000.0);
    EXPECT_EQ(registryOf(storedRows()), truthOnDisk());
}

TEST_F(CoordinatorTest, ACancelledOrIncompleteWalkNeverRemovesAnything) {
    for (int i = 0; i < 60; ++i) file("f" + std::to_string(i) + ".txt");
    started()->fullScan();
    for (int i = 0; i < 30; ++i) std::filesystem::remove(root / ("f" + std::to_string(i) + ".txt"));

    {   // The root cannot be listed: nothing is known about its contents.
        fileSystem.failList(root.string(), std::errc::permission_denied);
        auto manager = started();
        const auto scan = manager->fullScan();
        EXPECT_EQ(scan.outcome, EnumerationOutcome::rootUnreadable);
        EXPECT_FALSE(scan.reconciled);
        EXPECT_EQ(manager->itemCount(), 60u);
        fileSystem.clearFailures();
    }
    {   // Cancelled part-way: the files not reached yet would look deleted.
        auto manager = started();
        std::atomic<int> statusCalls{0};
        fileSystem.onStatus = [&](const std::string&) {
            if (++statusCalls == 10) manager->cancel();
        };
        const auto scan = manager->fullScan();
        fileSystem.onStatus = nullptr;
        EXPECT_EQ(scan.outcome, EnumerationOutcome::cancelled);
        EXPECT_FALSE(scan.reconciled);
        EXPECT_EQ(scan.removedOrphans, 0u);
        EXPECT_EQ(manager->itemCount(), 60u);
    }
    EXPECT_EQ(storedRows().size(), 60u);

    auto manager = started();
    const auto scan = manager->fullScan();
    EXPECT_EQ(scan.removedOrphans, 30u);
    EXPECT_EQ(registryOf(storedRows()), truthOnDisk());
}

TEST_F(CoordinatorTest, ItemsBelowAnUnreadableFolderAreSpared) {
    file("locked/a.pdf");
    file("locked/deeper/b.pdf");
    const auto gone = file("open/c.pdf");
    auto manager = started();
    manager->fullScan();
    std::filesystem::remove(gone);

    fileSystem.failList((root / "locked").string(), std::errc::io_error);
    const auto scan = manager->fullScan();
    EXPECT_TRUE(scan.reconciled);
    EXPECT_EQ(scan.skipped.unreadableDirectories, 1u);
    EXPECT_EQ(scan.removedOrphans, 1u);
    EXPECT_TRUE(manager->itemByPath((root / "locked/deeper/b.pdf").string()));
    EXPECT_FALSE(manager->itemByPath(gone.string()));
}

TEST_F(CoordinatorTest, ASubfolderScanReconcilesOnlyThatFolder) {
    const auto outside = file("x/outside.pdf");
    const auto inside = file("sub/inside.pdf");
    auto manager = started();
    manager->fullScan();
    std::filesystem::remove(outside);
    std::filesystem::remove(inside);
    file("sub/new.pdf");

    const auto scan = manager->fullScan((root / "sub").string());
    EXPECT_EQ(scan.newItems, 1u);
    EXPECT_EQ(scan.removedOrphans, 1u);
    EXPECT_TRUE(manager->itemByPath(outside.string()));  // not this scan's business
    EXPECT_FALSE(manager->itemByPath(inside.string()));
    EXPECT_EQ(manager->fullScan((dir.path() / "elsewhere").string()).outcome, EnumerationOutcome::rootUnreadable);
}

// Drops (or abandons, as a kill would) the coordinator in the middle of a scan of a changed folder; the
// next start must reconcile to the truth on disk with nothing lost and nothing left over.
class InterruptedScanTest : public CoordinatorTest {
public:
    void run(bool runDestructor) {
        for (int i = 0; i < 300; ++i) file("d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt");
        started()->fullScan();
        // Changes while closed: deletions, additions and touched files.
        for (int i = 0; i < 300; i += 6) std::filesystem::remove(root / ("d" + std::to_string(i % 7)) / ("f" + std::to_string(i) + ".txt"));
        for (int i = 300; i < 360; ++i) file("d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt");
        for (int i = 1; i < 300; i += 9) {
            const auto path = root / ("d" + std::to_string(i % 7)) / ("f" + std::to_string(i) + ".txt");
            if (std::filesystem::exists(path)) setModificationTime(path, 5000 + i);
        }

        auto manager = started();
        std::atomic<int> statusCalls{0};
        fileSystem.onStatus = [&, raw = manager.get()](const std::string&) {
            if (++statusCalls == 170) raw->cancel();
        };
        const auto scan = manager->fullScan();
        fileSystem.onStatus = nullptr;
        ASSERT_EQ(scan.outcome, EnumerationOutcome::cancelled);
        ASSERT_TRUE(manager->waitUntilIdle(20s));
        if (runDestructor) {
            manager.reset();
        } else {
            // As if killed: no destructor, nothing flushed. The idle object is abandoned on purpose.
            (void)manager.release();
        }

        auto restarted = started();
        const auto final = restarted->fullScan();
        EXPECT_TRUE(final.reconciled);
        EXPECT_EQ(registryOf(restarted->allItems()), truthOnDisk());
        restarted.reset();
        const auto rows = storedRows();
        EXPECT_EQ(registryOf(rows), truthOnDisk());
        EXPECT_EQ(rows.size(), truthOnDisk().size());  // one row per file: no stale versions
    }
};

TEST_F(InterruptedScanTest, DroppingTheCoordinatorMidScanLosesNothing) { run(true); }
TEST_F(InterruptedScanTest, AbandoningTheCoordinatorMidScanLosesNothing) { run(false); }

}  // namespace
}  // namespace lumidex::folders::testing
