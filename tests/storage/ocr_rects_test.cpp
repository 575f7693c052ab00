#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/sqlite.h"
#include "storage/ocr_rects_balancer.h"
#include "storage/ocr_rects_sqlite_manager.h"
#include "storage/shard_layout.h"
#include "support/temp_home.h"

namespace lumidex::storage {
namespace {

using lumidex::testing::TempDir;

OcrRect rect(uint32_t combinedHash, int64_t pageIndex, std::string text, double x = 0.1) {
    OcrRect r;
    r.combinedHash = combinedHash;
    r.pageIndex = pageIndex;
    r.ocrContent = std::move(text);
    r.p0x = x;
    r.p0y = 0.2;
    r.p1x = x + 0.3;
    r.p1y = 0.2;
    r.p2x = x + 0.3;
    r.p2y = 0.25;
    r.p3x = x;
    r.p3y = 0.25;
    return r;
}

std::vector<std::string> texts(const std::vector<OcrRect>& rects) {
    std::vector<std::string> out;
    for (const auto& r : rects) out.push_back(r.ocrContent);
    return out;
}

// Everything but the id, which the table does not keep.
void expectSameContent(const OcrRect& a, const OcrRect& b) {
    EXPECT_EQ(a.combinedHash, b.combinedHash);
    EXPECT_EQ(a.pageIndex, b.pageIndex);
    EXPECT_EQ(a.ocrContent, b.ocrContent);
    EXPECT_EQ(std::vector<double>({a.p0x, a.p0y, a.p1x, a.p1y, a.p2x, a.p2y, a.p3x, a.p3y}),
              std::vector<double>({b.p0x, b.p0y, b.p1x, b.p1y, b.p2x, b.p2y, b.p3x, b.p3y}));
}

TEST(OcrRectsSqliteManager, StoresReadsByPageAndReplacesRewrittenPages) {
    TempDir dir;
    OcrRectsSqliteManager store(dir.path(), 1);
    ASSERT_TRUE(store.isOpen());
    const std::vector<OcrRect> written = {rect(21, 0, "rechnung"), rect(21, 0, "mai", 0.5), rect(21, 1, "seite")};
    ASSERT_TRUE(store.createOcrRectItem(written));

    const auto all = store.ocrRects(21);
    ASSERT_EQ(all.size(), 3u);
    for (size_t i = 0; i < all.size(); ++i) expectSameContent(all[i], written[i]);
    EXPECT_EQ(texts(store.ocrRects(21, 1)), std::vector<std::string>{"seite"});
    EXPECT_TRUE(store.ocrRects(21, 7).empty());
    EXPECT_TRUE(store.ocrRects(41).empty());

    // A row reads back as the same value every time, and distinct rows stay distinct in a set.
    EXPECT_EQ(store.ocrRects(21), all);
    EXPECT_EQ(store.transcriptSearchResultsFor(21).size(), 3u);

    // Writing page 0 again (a re-run of the recognition) replaces it and leaves page 1 alone.
    ASSERT_TRUE(store.createOcrRectItem({rect(21, 0, "neu")}));
    EXPECT_EQ(texts(store.ocrRects(21)), (std::vector<std::string>{"seite", "neu"}));
}

TEST(OcrRectsSqliteManager, DeleteRemovesOnlyThatDocument) {
    TempDir dir;
    OcrRectsSqliteManager store(dir.path(), 1);
    ASSERT_TRUE(store.createOcrRectItem({rect(21, 0, "a"), rect(21, 3, "b")}));
    ASSERT_TRUE(store.createOcrRectItem({rect(41, 0, "c")}));
    ASSERT_TRUE(store.deleteRects(21));
    EXPECT_TRUE(store.ocrRects(21).empty());
    EXPECT_EQ(texts(store.ocrRects(41)), std::vector<std::string>{"c"});
    EXPECT_EQ(store.rowCount(), 1);
}

TEST(OcrRectsSqliteManager, ReadsByDocumentUseTheIndex) {
    TempDir dir;
    { OcrRectsSqliteManager store(dir.path(), 0); }
    std::string error;
    auto db = platform::SqliteDatabase::open(shardPath(dir.path(), StoreKind::ocrRects, 0), error);
    ASSERT_TRUE(db) << error;
    for (const char* where : {"combinedHash = 20", "combinedHash = 20 AND pageIndex = 3"}) {
        auto plan = db->prepare(std::string("EXPLAIN QUERY PLAN SELECT * FROM ocrRectTable WHERE ") + where, error);
        ASSERT_TRUE(plan) << error;
        std::string detail;
        while (plan->step() == platform::SqliteStatement::Step::row) detail += plan->textAt(3) + "\n";
        EXPECT_NE(detail.find("idx_ocrRects_combinedHash"), std::string::npos) << where << ": " << detail;
    }
}

TEST(OcrRectsSqliteManager, RefoldUpdatesOnlyUnfoldedRows) {
    TempDir dir;
    OcrRectsSqliteManager store(dir.path(), 2);
    ASSERT_TRUE(store.createOcrRectItem({rect(2, 0, "Straße"), rect(2, 0, "schon gefaltet"), rect(2, 1, "Æther")}));
    EXPECT_EQ(store.refoldContent(), 2);
    EXPECT_EQ(texts(store.ocrRects(2)), (std::vector<std::string>{"strasse", "schon gefaltet", "aether"}));
    EXPECT_EQ(store.refoldContent(), 0);
}

TEST(OcrRectsSqliteManager, UnopenableShardAnswersEmpty) {
    TempDir dir;
    std::filesystem::create_directories(shardPath(dir.path(), StoreKind::ocrRects, 3));  // a folder, not a file
    OcrRectsSqliteManager store(dir.path(), 3);
    EXPECT_FALSE(store.isOpen());
    EXPECT_FALSE(store.createOcrRectItem({rect(3, 0, "x")}));
    EXPECT_TRUE(store.ocrRects(3).empty());
    EXPECT_FALSE(store.readOcrRects(3, 0).has_value());
    EXPECT_EQ(store.refoldContent(), 0);
}

TEST(SqliteOcrRectsDatabaseBalancer, SecondReadOfAPageComesFromTheCache) {
    TempDir dir;
    SqliteOcrRectsDatabaseBalancer balancer(dir.path());
    ASSERT_TRUE(balancer.createOcrRectItem({rect(41, 0, "eins"), rect(4, 10, "zwei"), rect(4, 10, "drei")}));

    EXPECT_EQ(texts(balancer.ocrRectsForPage(41, 0)), std::vector<std::string>{"eins"});
    EXPECT_EQ(texts(balancer.ocrRectsForPage(41, 0)), std::vector<std::string>{"eins"});
    auto stats = balancer.cacheStats();
    EXPECT_EQ(stats.misses, 1u);
    EXPECT_EQ(stats.hits, 1u);
    EXPECT_EQ(stats.storeReads, 1u);

    // 41/0 and 4/10 would both read "410" if the key lost its separator.
    EXPECT_EQ(texts(balancer.ocrRectsForPage(4, 10)), (std::vector<std::string>{"zwei", "drei"}));
    stats = balancer.cacheStats();
    EXPECT_EQ(stats.misses, 2u);
    EXPECT_EQ(stats.storeReads, 2u);
    EXPECT_EQ(stats.pages, 2u);
    EXPECT_EQ(stats.weight, 3u);
}

TEST(SqliteOcrRectsDatabaseBalancer, ConcurrentMissesOfOnePageReadTheStoreOnce) {
    TempDir dir;
    SqliteOcrRectsDatabaseBalancer balancer(dir.path());
    ASSERT_TRUE(balancer.createOcrRectItem({rect(7, 2, "x"), rect(7, 2, "y")}));
    std::vector<std::thread> readers;
    std::vector<size_t> sizes(8);
    for (size_t i = 0; i < sizes.size(); ++i) {
        readers.emplace_back([&, i] { sizes[i] = balancer.ocrRectsForPage(7, 2).size(); });
    }
    for (auto& t : readers) t.join();
    EXPECT_TRUE(std::all_of(sizes.begin(), sizes.end(), [](size_t n) { return n == 2; }));
    EXPECT_EQ(balancer.cacheStats().storeReads, 1u);
}

TEST(SqliteOcrRectsDatabaseBalancer, WritesAndDeletesInvalidateEveryPageOfTheDocument) {
    TempDir dir;
    SqliteOcrRectsDatabaseBalancer balancer(dir.path());
    // 20 and 40 share shard 0.
    ASSERT_TRUE(balancer.createOcrRectItem({rect(20, 0, "a"), rect(20, 1, "b"), rect(40, 0, "other")}));
    balancer.ocrRectsForPage(20, 0);
    balancer.ocrRectsForPage(20, 1);
    balancer.ocrRectsForPage(40, 0);
    ASSERT_EQ(balancer.cacheStats().pages, 3u);

    ASSERT_TRUE(balancer.createOcrRectItem({rect(20, 1, "b2")}));
    EXPECT_EQ(balancer.cacheStats().pages, 1u);  // both pages of 20 dropped, 40 kept
    EXPECT_EQ(texts(balancer.ocrRectsForPage(20, 1)), std::vector<std::string>{"b2"});

    ASSERT_TRUE(balancer.deleteRects(20));
    EXPECT_TRUE(balancer.ocrRectsForPage(20, 0).empty());
    EXPECT_TRUE(balancer.ocrRectsForPage(20, 1).empty());
    EXPECT_EQ(texts(balancer.ocrRectsForPage(40, 0)), std::vector<std::string>{"other"});
    EXPECT_EQ(texts(balancer.ocrRects(40)), std::vector<std::string>{"other"});
}

TEST(SqliteOcrRectsDatabaseBalancer, CacheEvictsLeastRecentlyUsedPagesBeyondItsBound) {
    TempDir dir;
    SqliteOcrRectsDatabaseBalancer balancer(dir.path(), 5);
    ASSERT_TRUE(balancer.createOcrRectItem({rect(1, 0, "a"), rect(1, 0, "a"), rect(1, 1, "b"), rect(1, 1, "b"),
                                            rect(1, 2, "c"), rect(1, 2, "c"), rect(2, 0, "big"), rect(2, 0, "big"),
                                            rect(2, 0, "big"), rect(2, 0, "big"), rect(2, 0, "big"),
                                            rect(2, 0, "big")}));
    balancer.ocrRectsForPage(1, 0);
    balancer.ocrRectsForPage(1, 1);
    balancer.ocrRectsForPage(1, 0);  // page 1 is now the least recently used
    balancer.ocrRectsForPage(1, 2);  // 6 rectangles > 5: page 1 goes
    auto stats = balancer.cacheStats();
    EXPECT_EQ(stats.pages, 2u);
    EXPECT_LE(stats.weight, 5u);

    const uint64_t readsBefore = stats.storeReads;
    balancer.ocrRectsForPage(1, 0);
    EXPECT_EQ(balancer.cacheStats().storeReads, readsBefore);      // still cached
    balancer.ocrRectsForPage(1, 1);
    EXPECT_EQ(balancer.cacheStats().storeReads, readsBefore + 1);  // was evicted

    // A page larger than the whole cache is returned but not cached, and evicts nothing.
    EXPECT_EQ(balancer.ocrRectsForPage(2, 0).size(), 6u);
    EXPECT_EQ(balancer.cacheStats().pages, 2u);
}

TEST(SqliteOcrRectsDatabaseBalancer, RefoldAllCoversEveryShardAndDropsStaleCachedText) {
    TempDir dir;
    SqliteOcrRectsDatabaseBalancer balancer(dir.path());
    ASSERT_TRUE(balancer.createOcrRectItem({rect(0, 0, "Müller"), rect(13, 0, "Straße"), rect(19, 0, "ok")}));
    EXPECT_EQ(texts(balancer.ocrRectsForPage(13, 0)), std::vector<std::string>{"Straße"});
    EXPECT_EQ(balancer.refoldAll(), 2);
    EXPECT_EQ(texts(balancer.ocrRectsForPage(13, 0)), std::vector<std::string>{"strasse"});
    EXPECT_EQ(texts(balancer.ocrRects(0)), std::vector<std::string>{"mueller"});
    EXPECT_EQ(balancer.refoldAll(), 0);
}

}  // namespace
}  // namespace lumidex::storage
