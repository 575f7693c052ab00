// File events, folder rescans and their coalescing.
#include <atomic>
#include <thread>

#include "coordinator_fixture.h"

namespace lumidex::folders::testing {
namespace {

class Collected {
public:
    void attach(ThrottledNanItemRefreshUpdater& updater) {
        updater.subscribe([this](const std::vector<NanItem>& items) {
            std::lock_guard lock(mutex_);
            items_.insert(items_.end(), items.begin(), items.end());
            changed_.notify_all();
        });
    }
    // Waits (generously) until an item with this path and type arrived.
    bool waitFor(const std::string& path, NanItemTypes type) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] {
            return std::any_of(items_.begin(), items_.end(),
                               [&](const NanItem& item) { return item.urlString == path && item.type == type; });
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<NanItem> items_;
};

TEST_F(CoordinatorTest, FileEventsAddChangeSkipAndRemoveSingleFiles) {
    const auto existing = file("a.pdf");
    auto manager = started();
    manager->fullScan();

    manager->handleFileEvent(existing.string());
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_EQ(diagnostics.counter("bdm.event.unchanged_skip"), 1);
    EXPECT_EQ(diagnostics.counter("bdm.event.file"), 0);

    const auto added = file("new.txt");
    const auto unsupported = file("data.bin");
    manager->handleFileEvent(added.string());
    manager->handleFileEvent(unsupported.string());
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_EQ(diagnostics.counter("bdm.event.file"), 2);
    EXPECT_EQ(manager->itemByPath(added.string())->processingState, NanItemProcessingStates::readyForProcessing);
    const auto binary = manager->itemByPath(unsupported.string());
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->processingState, NanItemProcessingStates::notSupported);
    EXPECT_GT(secondsSince1970(binary->fileContentCreatedDate), 1e9);  // set to now

    const uint32_t before = manager->itemByPath(existing.string())->combinedHash;
    ASSERT_TRUE(setModificationTime(existing, 4000));
    manager->handleFileEvent(existing.string());
    std::filesystem::remove(added);
    manager->handleFileEvent(added.string());
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_NE(manager->itemByPath(existing.string())->combinedHash, before);
    EXPECT_FALSE(manager->itemByCombinedHash(before));
    EXPECT_FALSE(manager->itemByPath(added.string()));
    EXPECT_EQ(diagnostics.counter("bdm.event.removed"), 1);
    EXPECT_EQ(registryOf(storedRows()), truthOnDisk());

    // Hidden entries and excluded folders are none of the coordinator's business.
    manager->handleFileEvent(file(".hidden.txt").string());
    manager->handleFileEvent(file("node_modules/x.txt").string());
    manager->handleFileEvent("/somewhere/else.txt");
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_EQ(manager->itemCount(), 2u);  // a.pdf and data.bin
}

TEST_F(CoordinatorTest, AFolderEventRescansThatFolderAndARemovedFolderIsAnnounced) {
    file("keep.pdf");
    for (int i = 0; i < 3; ++i) file("gone/f" + std::to_string(i) + ".pdf");
    auto manager = started();
    manager->fullScan();
    Collected modified;
    modified.attach(manager->throttledModifiedFilesUpdater());

    const auto copied = file("incoming/batch/one.pdf");
    file("incoming/two.pdf");
    manager->handleFileEvent((root / "incoming").string());
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_EQ(diagnostics.counter("bdm.event.folder"), 1);
    EXPECT_TRUE(manager->itemByPath(copied.string()));
    EXPECT_EQ(diagnostics.counter("bdm.folderscan.root"), 2);  // the full scan and this one

    std::filesystem::remove_all(root / "gone");
    manager->handleFileEvent((root / "gone").string());
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_EQ(manager->itemCount(), 3u);
    EXPECT_TRUE(modified.waitFor((root / "gone").string(), NanItemTypes::folder));

    std::filesystem::create_directories(root / "empty");
    manager->handleFileEvent((root / "empty").string());
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_TRUE(modified.waitFor((root / "empty").string(), NanItemTypes::folder));
    EXPECT_EQ(diagnostics.counter("bdm.folderscan.root"), 2);  // nothing to scan in an empty folder
}

TEST_F(CoordinatorTest, TenEventsDuringAScanCauseExactlyOneFurtherScan) {
    file("busy/a.pdf");
    auto manager = started();
    manager->fullScan();
    const std::string gate = (root / "busy/a.pdf").string();
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool released = false;
    fileSystem.onStatus = [&](const std::string& path) {
        if (path != gate) return;
        std::unique_lock lock(mutex);
        if (released) return;
        inside = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    };
    for (int i = 0; i < 10; ++i) manager->handleFileEvent((root / "busy").string());
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return inside; }));
    }
    for (int i = 0; i < 2000 && diagnostics.counter("bdm.folderscan.coalesced") < 9; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(diagnostics.counter("bdm.folderscan.coalesced"), 9);
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    fileSystem.onStatus = nullptr;
    EXPECT_EQ(diagnostics.counter("bdm.folderscan.root"), 3);  // the full scan, the first and one further
}

TEST_F(CoordinatorTest, EventsBeforeStartUpWaitForIt) {
    const auto path = file("early.pdf");
    auto manager = make();
    manager->handleFileEvent(path.string());
    EXPECT_FALSE(manager->waitUntilIdle(30ms));
    manager->start();
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    EXPECT_TRUE(manager->itemByPath(path.string()));
}

}  // namespace
}  // namespace lumidex::folders::testing
