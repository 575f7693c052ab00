// The ordered, gathering writer of the item tables.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "core/concurrency/thread_pool.h"
#include "folders/coordinator/coordinator_fixture.h"
#include "folders/coordinator/item_table_writer.h"
#include "storage/item_balancer.h"
#include "support/eventually.h"

namespace lumidex::folders::testing {
namespace {

using lumidex::testing::eventually;

NanItem row(uint32_t hash, NanItemProcessingStates state = NanItemProcessingStates::readyForProcessing) {
    NanItem item;
    item.urlString = "/root/file" + std::to_string(hash) + ".txt";
    item.fileName = "file" + std::to_string(hash) + ".txt";
    item.id = Uuid::nameBased(item.urlString);
    item.combinedHash = hash;
    item.processingState = state;
    item.fileModifiedDate = dateFromSecondsSince1970(1000 + hash);
    return item;
}

class ItemTableWriterTest : public ::testing::Test {
protected:
    // hash -> processing state of every stored row, read with a balancer of its own.
    std::map<uint32_t, NanItemProcessingStates> stored() {
        storage::SqliteDatabaseBalancer reader(dir.path() / "data", "/root");
        std::map<uint32_t, NanItemProcessingStates> rows;
        for (const NanItem& item : reader.initializeAsync(&pool)) rows[item.combinedHash] = item.processingState;
        return rows;
    }

    // Polls: the writer works on its own time here, and a loaded machine may be slow.
    ScratchDir dir;
    ThreadPool pool{2};
    storage::SqliteDatabaseBalancer balancer{dir.path() / "data", "/root"};
};

TEST_F(ItemTableWriterTest, WritesInTheOrderAskedAndGathersNeighboursIntoOneWrite) {
    ItemTableWriter writer(balancer, pool, ItemTableWriter::Options{std::chrono::hours(1), 1000000});
    writer.create({row(1), row(2)});
    writer.create({row(3)});
    writer.remove({row(2)});
    writer.create({row(2, NanItemProcessingStates::complete)});  // re-created after its removal
    writer.create({row(3, NanItemProcessingStates::complete)});  // later state of a queued row wins
    writer.remove({row(1)});
    EXPECT_EQ(writer.pendingOperations(), 6u);
    EXPECT_EQ(writer.writeCount(), 0u);  // gathering: nothing before the delay, the limit or a flush

    writer.flush();
    EXPECT_EQ(writer.pendingOperations(), 0u);
    // Runs of the same kind went together: [create create] [remove] [create create] [remove].
    EXPECT_EQ(writer.writeCount(), 4u);
    const std::map<uint32_t, NanItemProcessingStates> expected{{2, NanItemProcessingStates::complete},
                                                              {3, NanItemProcessingStates::complete}};
    EXPECT_EQ(stored(), expected);
    writer.create({});  // nothing to do
    EXPECT_EQ(writer.pendingOperations(), 0u);
}

TEST_F(ItemTableWriterTest, WritesWithoutAFlushAfterTheDelayOrOnceTheLimitIsReached) {
    {
        ItemTableWriter writer(balancer, pool, ItemTableWriter::Options{std::chrono::milliseconds(20), 1000000});
        writer.create({row(1)});
        EXPECT_TRUE(eventually([&] { return writer.pendingOperations() == 0; }));
        EXPECT_EQ(stored().count(1), 1u);
        // A second round arms the delay again.
        writer.create({row(2)});
        EXPECT_TRUE(eventually([&] { return writer.pendingOperations() == 0; }));
        EXPECT_EQ(writer.writeCount(), 2u);
    }
    {
        ItemTableWriter writer(balancer, pool, ItemTableWriter::Options{std::chrono::hours(1), 3});
        writer.create({row(10)});
        writer.remove({row(1)});
        EXPECT_EQ(writer.writeCount(), 0u);
        writer.create({row(11)});  // three items wait now (removals count too)
        EXPECT_TRUE(eventually([&] { return writer.pendingOperations() == 0; }));
        EXPECT_EQ(stored().size(), 3u);  // 2, 10 and 11
    }
}

TEST_F(ItemTableWriterTest, DestructionWritesWhatWaits) {
    {
        ItemTableWriter writer(balancer, pool, ItemTableWriter::Options{std::chrono::hours(1), 1000000});
        writer.create({row(7), row(8)});
    }
    EXPECT_EQ(stored().size(), 2u);
}

TEST_F(ItemTableWriterTest, FlushesFromManyThreadsAndFromThePoolNeitherLoseNorStall) {
    ItemTableWriter writer(balancer, pool, ItemTableWriter::Options{std::chrono::milliseconds(1), 25});
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < 60; ++i) {
                writer.create({row(1000 * (t + 1) + i)});
                if (i % 10 == 9) writer.flush();
            }
        });
    }
    // Both pool threads blocked in flush(): the writer must not need the pool to make progress.
    std::atomic<int> flushedOnPool{0};
    std::atomic<uint32_t> nextHash{9000};
    for (int i = 0; i < 2; ++i) {
        pool.post([&] {
            writer.create({row(nextHash++)});
            writer.flush();
            ++flushedOnPool;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(eventually([&] { return flushedOnPool.load() == 2; }));
    writer.flush();
    EXPECT_EQ(writer.pendingOperations(), 0u);
    EXPECT_EQ(stored().size(), 182u);
}

}  // namespace
}  // namespace lumidex::folders::testing
