#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <thread>

#include "platform/sqlite.h"
#include "storage/item_balancer.h"
#include "storage/shard_layout.h"
#include "storage/sort_key_memo.h"
#include "support/temp_home.h"

namespace lumidex::storage {
namespace {

NanItem item(uint32_t hash, std::string path, NanItemProcessingStates state = NanItemProcessingStates::readyForProcessing) {
    NanItem i;
    i.id = Uuid::random();
    i.urlString = std::move(path);
    i.fileName = std::filesystem::path(i.urlString).filename().string();
    i.combinedHash = hash;
    i.contentHash = 7;
    i.totalPageCount = 3;
    i.fileModifiedDate = dateFromSecondsSince1970(2000);
    i.fileCreatedDate = dateFromSecondsSince1970(1000);
    i.fileContentCreatedDate = dateFromSecondsSince1970(1500);
    i.processingState = state;
    i.rootFolderUrl = "/root";
    return i;
}

std::vector<uint32_t> hashesOf(const std::vector<NanItem>& items) {
    std::vector<uint32_t> h;
    for (const auto& i : items) h.push_back(i.combinedHash);
    std::sort(h.begin(), h.end());
    return h;
}

TEST(ShardLayout, ShardRuleAndFileNames) {
    EXPECT_EQ(balancerId(0), 0u);
    EXPECT_EQ(balancerId(20), 0u);
    EXPECT_EQ(balancerId(4294967295u), 15u);
    EXPECT_EQ(shardPath("/d", StoreKind::ocrRects, 7), "/d/balanced_db_ocr_v9/7.sqlite");
    EXPECT_EQ(shardPath("/d", StoreKind::numbers, 0), "/d/balanced_db_numbers_v9/0.sqlite");
}

TEST(ItemStore, RowsTakeTheCaptureDateTheReaderFindsElseTheItemsOwn) {
    testing::TempDir dir;
    std::vector<std::string> asked;
    CaptureDateReader reader = [&asked](const std::string& path) -> std::optional<Date> {
        asked.push_back(path);
        if (path.ends_with(".jpg")) return dateFromSecondsSince1970(1234);
        return std::nullopt;
    };
    SqliteDatabaseBalancer balancer(dir.path(), "/root", reader);
    balancer.create({item(40, "/root/photo.jpg"), item(60, "/root/notes.txt")});
    NanItemSqliteManager_v2 withoutReader(dir.path(), 5, "/root");  // shard of 45: 45 % 20
    withoutReader.create(item(45, "/root/other.jpg"));

    std::map<std::string, double> contentCreated;
    for (uint32_t shard : {0u, 5u}) {
        NanItemSqliteManager_v2 store(dir.path(), shard, "/root", ShardUse::oneCommand);
        for (const NanItem& row : store.allItems()) contentCreated[row.urlString] = secondsSince1970(row.fileContentCreatedDate);
    }
    EXPECT_EQ(contentCreated["/root/photo.jpg"], 1234.0);
    EXPECT_EQ(contentCreated["/root/notes.txt"], 1500.0);
    EXPECT_EQ(contentCreated["/root/other.jpg"], 1500.0);  // no reader: the item's own date
    EXPECT_EQ(asked.size(), 2u);
}

TEST(ItemStore, CreateReplacesTheRowOfTheSameVersion) {
    testing::TempDir dir;
    NanItemSqliteManager_v2 store(dir.path(), 1, "/root");
    ASSERT_TRUE(store.isOpen());
    EXPECT_EQ(store.userVersion(), 1);
    store.create(item(21, "/root/a.pdf"));
    NanItem changed = item(21, "/root/b.pdf", NanItemProcessingStates::complete);
    changed.totalPageCount = 9;
    store.create(changed);

    const auto all = store.allItems();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].urlString, "/root/b.pdf");
    EXPECT_EQ(all[0].fileName, "b.pdf");
    EXPECT_EQ(all[0].processingState, NanItemProcessingStates::complete);
    EXPECT_EQ(all[0].totalPageCount, 9);
    EXPECT_EQ(all[0].rootFolderUrl, "/root");
    EXPECT_DOUBLE_EQ(secondsSince1970(all[0].fileModifiedDate), 2000);
    // Not an image: the content date the scanner found is kept.
    EXPECT_DOUBLE_EQ(secondsSince1970(all[0].fileContentCreatedDate), 1500);
    EXPECT_EQ(store.getAllUrlPaths(), std::vector<std::string>{"/root/b.pdf"});
}

TEST(ItemStore, SyncBookkeeping) {
    testing::TempDir dir;
    NanItemSqliteManager_v2 store(dir.path(), 0, "/root");
    std::vector<NanItem> items;
    for (uint32_t h = 0; h < 1201; ++h) items.push_back(item(h * 20, "/root/" + std::to_string(h)));
    store.create(items);
    EXPECT_EQ(store.dirtyItems().size(), 1201u);

    store.markSynced({items[0], items[1]});
    EXPECT_EQ(store.dirtyItems().size(), 1199u);

    std::vector<uint32_t> all = hashesOf(items);
    store.markTombstone(all);  // three batches: 500, 500, 201
    EXPECT_EQ(store.tombstoneItems().size(), 1201u);
    EXPECT_TRUE(store.dirtyItems().empty());

    store.purgeTombstones({all[0], all[1]});
    EXPECT_EQ(store.tombstoneItems().size(), 1199u);

    store.create(item(999999980, "/root/new"));
    store.markAllSyncedAndPurgeTombstones();
    EXPECT_TRUE(store.dirtyItems().empty());
    EXPECT_TRUE(store.tombstoneItems().empty());
    EXPECT_EQ(store.allItems().size(), 1u);
}

TEST(ItemStore, MigratesAnOldFileOnceAndKeepsItsRows) {
    testing::TempDir dir;
    const auto path = shardPath(dir.path(), StoreKind::items, 3);
    std::filesystem::create_directories(path.parent_path());
    {
        std::string error;
        auto db = platform::SqliteDatabase::open(path, error);
        ASSERT_TRUE(db->exec(
            "CREATE TABLE nanItemTable (dbId INTEGER PRIMARY KEY, combinedHash INTEGER NOT NULL, contentHash INTEGER "
            "NOT NULL, fileModificationTimestamp REAL NOT NULL, fileCreationTimestamp REAL NOT NULL, "
            "fileContentCreated REAL NOT NULL, totalPageCount INTEGER NOT NULL, nanItemProcessingState INTEGER NOT "
            "NULL, sqlitePath TEXT, sqliteFileName TEXT);"
            "INSERT INTO nanItemTable VALUES (1, 23, 0, 5, 5, 5, 1, 1, '/root/old.pdf', 'old.pdf');",
            error))
            << error;
    }
    {
        NanItemSqliteManager_v2 store(dir.path(), 3, "/root");
        EXPECT_EQ(store.userVersion(), 1);
        ASSERT_EQ(store.dirtyItems().size(), 1u);  // old rows count as changed
        EXPECT_TRUE(store.tombstoneItems().empty());
    }
    NanItemSqliteManager_v2 again(dir.path(), 3, "/root");
    EXPECT_EQ(again.userVersion(), 1);
    EXPECT_EQ(again.allItems().size(), 1u);
}

TEST(ItemBalancer, RegistersRoutesAndReloads) {
    testing::TempDir dir;
    {
        SqliteDatabaseBalancer balancer(dir.path(), "/root");
        EXPECT_TRUE(balancer.initializeAsync().empty());
        balancer.create({item(1, "/root/a"), item(21, "/root/b"), item(4294967295u, "/root/c")});
        EXPECT_TRUE(balancer.containsCombinedHash(21));
        balancer.remove({item(1, "/root/a")});
        EXPECT_FALSE(balancer.containsCombinedHash(1));
        EXPECT_TRUE(balancer.containsCombinedHash(21));
    }
    SqliteDatabaseBalancer reloaded(dir.path(), "/root");
    EXPECT_EQ(hashesOf(reloaded.initializeAsync()), (std::vector<uint32_t>{21, 4294967295u}));
    EXPECT_EQ(reloaded.registeredCount(), 2u);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "balanced_db_v9" / "15.sqlite"));
}

TEST(ItemBalancer, AfterLoadingWritesEachVersionOnceAndReplacesKnownOnes) {
    testing::TempDir dir;
    {
        SqliteDatabaseBalancer balancer(dir.path(), "/root");
        balancer.create({item(7, "/root/a")});
    }
    SqliteDatabaseBalancer balancer(dir.path(), "/root");
    balancer.initializeAsync();
    NanItem processed = item(7, "/root/a");
    processed.totalPageCount = 12;
    balancer.create({processed, item(27, "/root/b")});  // a stored version and a new one, same shard
    balancer.create({item(27, "/root/b")});            // the new one again, now known
    std::vector<NanItem> rows;
    balancer.withStore(7, [&](NanItemSqliteManager_v2& store) { rows = store.allItems(); });
    ASSERT_EQ(hashesOf(rows), (std::vector<uint32_t>{7, 27}));
    const auto stored = std::find_if(rows.begin(), rows.end(), [](const NanItem& i) { return i.combinedHash == 7; });
    EXPECT_EQ(stored->totalPageCount, 12);
}

TEST(ItemStore, ReadsManyVersionsAcrossQueryBatches) {
    testing::TempDir dir;
    NanItemSqliteManager_v2 store(dir.path(), 3, "/root");
    std::vector<NanItem> items;
    std::vector<uint32_t> wanted;
    for (uint32_t i = 0; i < 2 * NanItemSqliteManager_v2::batchSize + 7; ++i) {
        items.push_back(item(i * 20 + 3, "/root/f" + std::to_string(i)));
        if (i % 2 == 0) wanted.push_back(i * 20 + 3);
    }
    ASSERT_TRUE(store.create(items));
    wanted.push_back(999999983);  // not stored
    const auto found = store.itemsForCombinedHashes(wanted);
    EXPECT_EQ(found.size(), wanted.size() - 1);
    EXPECT_EQ(store.itemForCombinedHash(23)->urlString, "/root/f1");
    EXPECT_FALSE(store.itemForCombinedHash(999999983));
}

TEST(ItemStore, SortKeysAnswerInTheOrderAskedWhetherLookedUpOrReadThrough) {
    testing::TempDir dir;
    NanItemSqliteManager_v2 store(dir.path(), 3, "/root");
    std::vector<NanItem> items;
    for (uint32_t i = 0; i < 2100; ++i) {
        items.push_back(item(i * 20 + 3, "/root/d/n" + std::to_string(i) + ".txt"));
        items.back().fileModifiedDate = dateFromSecondsSince1970(5000.0 + i);
    }
    ASSERT_TRUE(store.create(items));
    // A few versions are looked up; most of the table is read through once. Both answer alike: in the
    // order asked, a version asked twice both times, an unknown one not found.
    for (const uint32_t every : {7u, 2u}) {
        SCOPED_TRACE(every);
        std::vector<uint32_t> wanted;
        for (uint32_t i = 2099; i < 2100; i -= every) wanted.push_back(i * 20 + 3);
        wanted.insert(wanted.begin() + 3, 999999983);
        wanted.push_back(wanted[1]);
        const ItemSortKeys keys = store.sortKeysForCombinedHashes(wanted);
        ASSERT_EQ(keys.keys.size(), wanted.size());
        for (size_t k = 0; k < wanted.size(); ++k) {
            if (wanted[k] == 999999983) {
                EXPECT_FALSE(keys.keys[k].found);
                continue;
            }
            const uint32_t i = (wanted[k] - 3) / 20;
            ASSERT_TRUE(keys.keys[k].found) << k;
            EXPECT_EQ(keys.keys[k].fileName, "n" + std::to_string(i) + ".txt");
            EXPECT_EQ(secondsSince1970(keys.keys[k].fileModifiedDate), 5000.0 + i);
        }
    }
}

// Keys as the store answers them, as text: "name date" or "-" for not found.
std::vector<std::string> keyTexts(const ItemSortKeys& keys) {
    std::vector<std::string> out;
    for (const auto& key : keys.keys) {
        out.push_back(key.found ? std::string(key.fileName) + " " + std::to_string(secondsSince1970(key.fileModifiedDate)) : "-");
    }
    return out;
}

TEST(SortKeyMemo, AnswersAsTheTableDoesWhetherCopiedStaleDamagedOrUnwritable) {
    testing::TempDir dir;
    NanItemSqliteManager_v2 store(dir.path(), 3, "/root");
    std::vector<NanItem> items;
    for (uint32_t i = 0; i < 400; ++i) {
        items.push_back(item(i * 20 + 3, "/root/d/n" + std::to_string(i) + ".txt"));
        items.back().fileModifiedDate = dateFromSecondsSince1970(5000.5 + i);
    }
    ASSERT_TRUE(store.create(items));
    const std::filesystem::path file = dir.path() / "cache" / "3.keys";
    SortKeyMemo memo(file, shardPath(dir.path(), StoreKind::items, 3));
    // Most of the shard, an unknown version, one asked twice.
    std::vector<uint32_t> wanted;
    for (uint32_t i = 0; i < 400; i += 2) wanted.push_back(i * 20 + 3);
    wanted.insert(wanted.begin() + 5, 999999983);
    wanted.push_back(wanted[1]);
    const auto expectTableAnswer = [&] {
        EXPECT_EQ(keyTexts(memo.sortKeys(store, wanted)), keyTexts(store.sortKeysForCombinedHashes(wanted)));
    };
    expectTableAnswer();  // made from the table
    ASSERT_TRUE(std::filesystem::exists(file));
    const std::string copy = testing::readFile(file);
    const auto inode = [&file] {
        struct stat s {};
        return ::stat(file.c_str(), &s) == 0 ? s.st_ino : 0;
    };
    const auto copied = inode();
    expectTableAnswer();  // read from the copy, which is not made again
    EXPECT_EQ(inode(), copied);

    // Names read from a copy outlive the reading of other shards' copies on the same thread, larger
    // and smaller ones.
    const ItemSortKeys fromCopy = memo.sortKeys(store, wanted);
    for (const auto& [shard, count] : {std::pair<uint32_t, uint32_t>{4, 900}, {5, 40}}) {
        NanItemSqliteManager_v2 other(dir.path(), shard, "/root");
        std::vector<NanItem> rows;
        std::vector<uint32_t> all;
        for (uint32_t i = 0; i < count; ++i) {
            rows.push_back(item(i * 20 + shard, "/root/o/other-" + std::to_string(i) + "-name.txt"));
            all.push_back(rows.back().combinedHash);
        }
        ASSERT_TRUE(other.create(rows));
        SortKeyMemo otherMemo(dir.path() / "cache" / (std::to_string(shard) + ".keys"),
                              shardPath(dir.path(), StoreKind::items, shard));
        otherMemo.sortKeys(other, all);  // made from the table
        EXPECT_EQ(keyTexts(otherMemo.sortKeys(other, all)), keyTexts(other.sortKeysForCombinedHashes(all)));
    }
    EXPECT_EQ(keyTexts(fromCopy), keyTexts(store.sortKeysForCombinedHashes(wanted)));

    // A row replaced in place under the same combinedHash (a file saved twice within one second), and
    // versions added: the copy is stale and made again.
    NanItem again = items[2];
    again.fileName = "renamed.txt";
    again.fileModifiedDate = dateFromSecondsSince1970(5002.75);
    ASSERT_TRUE(store.create(again));
    std::vector<NanItem> later;
    for (uint32_t i = 400; i < 420; ++i) later.push_back(item(i * 20 + 3, "/root/e/m" + std::to_string(i) + ".pdf"));
    ASSERT_TRUE(store.create(later));
    for (const NanItem& added : later) wanted.push_back(added.combinedHash);
    expectTableAnswer();
    EXPECT_NE(testing::readFile(file), copy);
    expectTableAnswer();

    // A copy cut short, with blocks zeroed, or whose names lie outside it is not used.
    std::string bytes = testing::readFile(file);
    testing::writeFile(file, bytes.substr(0, bytes.size() - 3));
    expectTableAnswer();
    bytes = testing::readFile(file);
    ASSERT_GT(bytes.size(), 200u);
    std::fill(bytes.begin() + 100, bytes.begin() + 200, '\0');
    testing::writeFile(file, bytes);
    expectTableAnswer();
    expectTableAnswer();

    // A cache that cannot be written still answers.
    testing::writeFile(dir.path() / "blocked", "a file, not a folder");
    SortKeyMemo unwritable(dir.path() / "blocked" / "3.keys", shardPath(dir.path(), StoreKind::items, 3));
    EXPECT_EQ(keyTexts(unwritable.sortKeys(store, wanted)), keyTexts(store.sortKeysForCombinedHashes(wanted)));
}

TEST(ItemBalancer, OperationsOnOneShardRunOneAfterTheOther) {
    testing::TempDir dir;
    SqliteDatabaseBalancer balancer(dir.path(), "/root");
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            balancer.withStore(2, [&](NanItemSqliteManager_v2& store) {
                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                store.create(item(2 + 20 * static_cast<uint32_t>(t), "/root/" + std::to_string(t)));
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                inside.fetch_sub(1);
            });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    balancer.withStore(2, [](NanItemSqliteManager_v2& store) { EXPECT_EQ(store.allItems().size(), 4u); });
}

TEST(ItemBalancer, CorruptShardReadsEmpty) {
    testing::TempDir dir;
    testing::writeFile(shardPath(dir.path(), StoreKind::items, 4), "not a database at all, just text");
    SqliteDatabaseBalancer balancer(dir.path(), "/root");
    balancer.create({item(4, "/root/x"), item(5, "/root/y")});
    const auto loaded = SqliteDatabaseBalancer(dir.path(), "/root").initializeAsync();
    EXPECT_EQ(hashesOf(loaded), std::vector<uint32_t>{5});
}

}  // namespace
}  // namespace lumidex::storage
