// The item registry and the throttled publishers.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "core/concurrency/thread_pool.h"
#include "folders/coordinator/item_registry.h"
#include "folders/coordinator/throttled_updaters.h"

namespace lumidex::folders {
namespace {

using namespace std::chrono_literals;

NanItem version(const std::string& path, uint32_t hash, NanItemProcessingStates state = NanItemProcessingStates::readyForProcessing) {
    NanItem item;
    item.id = Uuid::nameBased(path);
    item.urlString = path;
    item.combinedHash = hash;
    item.processingState = state;
    return item;
}

TEST(NanItemsUrlDictAsync, OnePathHoldsOneVersionAndOneHashOneItem) {
    NanItemsUrlDictAsync dict;
    EXPECT_TRUE(dict.upsert(version("/r/a", 21)).samePathOtherVersion.empty());
    const auto displaced = dict.upsert(version("/r/a", 41, NanItemProcessingStates::complete));
    ASSERT_EQ(displaced.samePathOtherVersion.size(), 1u);
    EXPECT_EQ(displaced.samePathOtherVersion[0].combinedHash, 21u);
    EXPECT_FALSE(dict.contains(21));
    EXPECT_EQ(dict.itemForPath("/r/a")->combinedHash, 41u);
    EXPECT_EQ(dict.itemForId(Uuid::nameBased("/r/a"))->combinedHash, 41u);
    EXPECT_EQ(dict.itemsOfShard(1).size(), 1u);

    // A 32-bit collision: the newer path takes the slot and the other path is forgotten.
    const auto collision = dict.upsert(version("/r/b", 41));
    ASSERT_EQ(collision.sameHashOtherPath.size(), 1u);
    EXPECT_FALSE(dict.itemForPath("/r/a"));
    EXPECT_EQ(dict.count(), 1u);
    // The same version again: still one entry, found by its path.
    EXPECT_TRUE(dict.upsert(version("/r/b", 41)).samePathOtherVersion.empty());
    EXPECT_EQ(dict.count(), 1u);
    EXPECT_EQ(dict.itemForPath("/r/b")->combinedHash, 41u);

    dict.upsert(version("/r/sub/c", 5));
    EXPECT_EQ(dict.itemsWithin("/r/sub").size(), 1u);
    EXPECT_EQ(dict.itemsWithin("/r/su").size(), 0u);
    EXPECT_EQ(dict.stateCounts().at(NanItemProcessingStates::readyForProcessing), 2);
    EXPECT_TRUE(dict.remove(5));
    EXPECT_FALSE(dict.remove(5));
    EXPECT_FALSE(dict.itemForPath("/r/sub/c"));
    EXPECT_EQ(dict.stateCounts().at(NanItemProcessingStates::readyForProcessing), 1);
    EXPECT_TRUE(isPathWithin("/r", "/"));
    EXPECT_TRUE(isPathWithin("/r/x", "/r/"));
}

TEST(NanItemsUrlDictAsync, LooksVersionsUpWithoutCopyingItems) {
    NanItemsUrlDictAsync dict;
    NanItem a = version("/r/a", 21, NanItemProcessingStates::complete);
    a.fileModifiedDate = dateFromSecondsSince1970(500);
    dict.upsert(a);
    dict.upsert(version("/r/b", 41));
    dict.upsert(version("/r/c", 61));

    EXPECT_EQ(dict.stateOf(21, "/r/a"), NanItemProcessingStates::complete);
    EXPECT_EQ(dict.stateOf(21), NanItemProcessingStates::complete);
    EXPECT_FALSE(dict.stateOf(21, "/r/b"));  // that hash belongs to another path
    EXPECT_FALSE(dict.stateOf(22));
    EXPECT_EQ(secondsSince1970(*dict.modifiedDateForPath("/r/a")), 500.0);
    EXPECT_FALSE(dict.modifiedDateForPath("/r/x"));

    // Shard 1 holds all three (hash % 20); the filter picks, only the picked are copied out.
    const auto picked = dict.itemsOfShard(1, [](const NanItem& item) { return item.urlString != "/r/b"; });
    ASSERT_EQ(picked.size(), 2u);
    EXPECT_NE(picked[0].urlString, "/r/b");
    EXPECT_NE(picked[1].urlString, "/r/b");
    EXPECT_TRUE(dict.itemsOfShard(2, [](const NanItem&) { return true; }).empty());
}

TEST(NanItemsUrlDictAsync, TheInsertBufferHandsOverFullBatches) {
    NanItemsUrlDictAsync dict(3);
    EXPECT_TRUE(dict.bufferInsert(version("/a", 1)).empty());
    EXPECT_TRUE(dict.bufferInsert(version("/b", 2)).empty());
    dict.dropFromInsertBuffer(1);
    EXPECT_TRUE(dict.bufferInsert(version("/c", 3)).empty());
    EXPECT_EQ(dict.bufferInsert(version("/d", 4)).size(), 3u);
    EXPECT_EQ(dict.insertBufferCount(), 0u);
    dict.bufferInsert(version("/e", 5));
    EXPECT_EQ(dict.takeInsertBuffer().size(), 1u);
}

TEST(ThrottledNanItemRefreshUpdater, PublishesAtOnceThenCollectsABurst) {
    ThreadPool pool(2);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<NanItem>> published;
    {
        ThrottledNanItemRefreshUpdater updater(pool, ThrottleIntervals{10s, 20ms});
        updater.subscribe([&](const std::vector<NanItem>& items) {
            std::lock_guard lock(mutex);
            published.push_back(items);
            changed.notify_all();
        });
        updater.add(version("/a", 1));
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return published.size() == 1; }));
        }
        // Within the interval: held back and published together once quiet; a newer version of an
        // item waiting replaces it.
        updater.add({version("/b", 2), version("/c", 3), version("/b", 4, NanItemProcessingStates::complete)});
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return published.size() == 2; }));
        ASSERT_EQ(published[1].size(), 2u);
        for (const auto& item : published[1]) {
            if (item.urlString == "/b") {
                EXPECT_EQ(item.combinedHash, 4u);
            }
        }
    }
}

TEST(ThrottledProgressUpdater, ReportsTheShareOfFinishedItems) {
    ThreadPool pool(2);
    ThrottledProgressUpdater progress("/root", pool, ThrottleIntervals{10s, 10s});
    EXPECT_EQ(progress.current().progress, 1.0);
    progress.setCounts(3, 1);
    progress.addOcrPages(4);
    const ProgressItem item = progress.current();
    EXPECT_EQ(item.searchableFolder, "/root");
    EXPECT_EQ(item.notProcessedCount, 3);
    EXPECT_EQ(item.completedCount, 1);
    EXPECT_EQ(item.ocrPagesCount, 4);
    EXPECT_DOUBLE_EQ(item.progress, 0.25);
}

}  // namespace
}  // namespace lumidex::folders
