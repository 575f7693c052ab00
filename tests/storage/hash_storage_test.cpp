#include <gtest/gtest.h>

#include <chrono>

#include "storage/hash_storage.h"
#include "support/temp_home.h"

namespace lumidex::storage {
namespace {

using namespace std::chrono_literals;
using lumidex::testing::readFile;
using lumidex::testing::TempDir;
using lumidex::testing::writeFile;

TEST(HashStorageManager, LoadSaveAndUnion) {
    TempDir dir;
    HashStorageManager manager(dir / "hash_storage_v9");
    ASSERT_FALSE(manager.prepare());
    EXPECT_EQ(manager.bucketPath(7).filename(), "hash_bucket_7.dat");

    const HashLoadResult missing = manager.load(3);
    EXPECT_TRUE(missing.ok());
    EXPECT_TRUE(missing.hashes.empty());

    ASSERT_FALSE(manager.save({0x01020304u, 5}, 3));
    EXPECT_EQ(readFile(manager.bucketPath(3)).size(), 8u);
    const std::string bytes = readFile(manager.bucketPath(3));
    EXPECT_NE(bytes.find(std::string("\x04\x03\x02\x01", 4)), std::string::npos);  // little-endian

    ASSERT_FALSE(manager.save({5, 4294967295u}, 3));
    EXPECT_EQ(manager.load(3).hashes, (HashSet{0x01020304u, 5, 4294967295u}));
    EXPECT_EQ(readFile(manager.bucketPath(3)).size(), 12u);
}

TEST(HashStorageManager, TrailingBytesAreIgnoredAndDroppedByTheNextSave) {
    TempDir dir;
    HashStorageManager manager(dir.path());
    writeFile(manager.bucketPath(0), std::string("\x01\x00\x00\x00\x02\x00\x00\x00\x07", 9));
    const HashLoadResult loaded = manager.load(0);
    EXPECT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.hashes, (HashSet{1, 2}));
    ASSERT_FALSE(manager.save({3}, 0));
    EXPECT_EQ(readFile(manager.bucketPath(0)).size(), 12u);
}

TEST(HashStorageManager, UnreadableBucketIsAnErrorAndIsNotOverwritten) {
    TempDir dir;
    HashStorageManager manager(dir.path());
    std::filesystem::create_directories(manager.bucketPath(4));
    const HashLoadResult loaded = manager.load(4);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error->kind, HashStorageError::Kind::read);
    EXPECT_NE(loaded.error->message().find("hash_bucket_4.dat"), std::string::npos);

    const auto saved = manager.save({1}, 4);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->kind, HashStorageError::Kind::read);
    EXPECT_TRUE(std::filesystem::is_directory(manager.bucketPath(4)));
}

TEST(HashStorageActor, BurstOfAppendsIsOneWriteAndDuplicatesAreStoredOnce) {
    TempDir dir;
    ManualClock clock;
    auto manager = std::make_shared<HashStorageManager>(dir.path());
    HashStorageActor actor(manager, 2, 150ms, 30s, clock);
    for (uint32_t i = 0; i < 1000; ++i) actor.append(i * 20 + 2);
    actor.append(2);  // again
    EXPECT_EQ(actor.pendingCount(), 1000u);  // also waits until the appends are in
    clock.advance(149ms);
    EXPECT_EQ(actor.writeCount(), 0u);
    clock.advance(1ms);
    EXPECT_EQ(actor.writeCount(), 1u);
    clock.advance(1h);  // nothing left to write
    EXPECT_EQ(actor.writeCount(), 1u);
    EXPECT_EQ(actor.pendingCount(), 0u);
    EXPECT_EQ(readFile(manager->bucketPath(2)).size(), 4000u);
}

TEST(HashStorageActor, AppendsPostponeTheWriteButNotBeyondTheMaximumDelay) {
    TempDir dir;
    ManualClock clock;
    auto manager = std::make_shared<HashStorageManager>(dir.path());
    HashStorageActor actor(manager, 1, 500ms, 1200ms, clock);
    const auto appendAndWait = [&](uint32_t hash, std::chrono::milliseconds then) {
        actor.append(hash);
        (void)actor.pendingCount();  // the append has been seen at the current time
        clock.advance(then);
    };
    appendAndWait(1, 300ms);
    appendAndWait(21, 300ms);
    EXPECT_EQ(actor.writeCount(), 0u) << "more than one delay since the first append, less since the last";

    // A steady stream faster than the delay is written once the maximum delay has passed.
    for (uint32_t h = 41; h < 41 + 59 * 20; h += 20) appendAndWait(h, 10ms);  // up to 1190 ms
    EXPECT_EQ(actor.writeCount(), 0u);
    appendAndWait(2001, 10ms);
    EXPECT_EQ(actor.writeCount(), 1u);
    EXPECT_EQ(manager->load(1).hashes.count(2001), 1u);
    EXPECT_EQ(manager->load(1).hashes.count(21), 1u);
}

TEST(HashStorageActor, FailedWriteKeepsTheHashesForTheNextWrite) {
    TempDir dir;
    auto manager = std::make_shared<HashStorageManager>(dir.path());
    HashStorageActor actor(manager, 5, 10s);
    std::filesystem::create_directories(manager->bucketPath(5));
    actor.append(25);
    actor.append(45);
    const auto error = actor.flush();
    ASSERT_TRUE(error);
    EXPECT_EQ(actor.pendingCount(), 2u);

    std::filesystem::remove(manager->bucketPath(5));
    EXPECT_FALSE(actor.flush());
    EXPECT_EQ(actor.pendingCount(), 0u);
    EXPECT_EQ(manager->load(5).hashes, (HashSet{25, 45}));
}

TEST(HashStorageActorManager, RoutesByShardLoadsAllAndFlushesOnDestruction) {
    TempDir dir;
    {
        HashStorageActorManager manager(dir.path(), 10s);
        EXPECT_TRUE(std::filesystem::is_directory(dir / "hash_storage_v9"));
        manager.append(21);
        manager.append(4294967295u);  // shard 15
        manager.append(40);
        const auto loaded = manager.loadAll();  // pending hashes count as known
        ASSERT_EQ(loaded.size(), 20u);
        EXPECT_EQ(loaded[1].hashes, HashSet{21});
        EXPECT_EQ(loaded[15].hashes, HashSet{4294967295u});
        EXPECT_EQ(loaded[0].hashes, HashSet{40});
        EXPECT_FALSE(std::filesystem::exists(dir / "hash_storage_v9" / "hash_bucket_1.dat"));
    }
    HashStorageActorManager reopened(dir.path());
    const auto loaded = reopened.loadAll();
    EXPECT_EQ(loaded[1].hashes, HashSet{21});
    EXPECT_EQ(loaded[15].hashes, HashSet{4294967295u});
    EXPECT_TRUE(loaded[2].ok());
    EXPECT_TRUE(loaded[2].hashes.empty());
    EXPECT_TRUE(reopened.flushAll().empty());
}

}  // namespace
}  // namespace lumidex::storage
