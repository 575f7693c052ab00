#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "storage/fts_row_index.h"

namespace lumidex::storage {
namespace {

using Row = FtsRowIndex::Row;

Row row(int64_t docid, double modified, std::string name = "f", std::string path = "/p/") {
    return FtsRowIndex::makeRow(docid, docid, path + name, name, modified - 10, modified, modified - 5);
}

std::vector<int64_t> docids(const FtsRowIndex& index) {
    std::vector<int64_t> out;
    for (size_t i = 0; i < index.size(); ++i) out.push_back(index.row(i).docid);
    return out;
}

TEST(FtsRowIndex, UpsertMergesReplacesAndKeepsTheLastOfEqualDocids) {
    FtsRowIndex index;
    index.upsert({row(30, 1), row(10, 1), row(20, 1)});
    EXPECT_EQ(docids(index), (std::vector<int64_t>{10, 20, 30}));

    index.upsert({row(25, 2), row(10, 5, "old"), row(10, 6, "new"), row(40, 2)});
    EXPECT_EQ(docids(index), (std::vector<int64_t>{10, 20, 25, 30, 40}));
    size_t hint = 0;
    const size_t at = index.find(10, hint);
    ASSERT_NE(at, FtsRowIndex::npos);
    EXPECT_EQ(index.row(at).fileName(), "new");
    EXPECT_EQ(index.row(at).urlPath(), "/p/new");
    EXPECT_EQ(index.orderKey(at, SortOrders::new2Old), -6);

    index.upsert({row(20, 9, "single")});  // the one-row path replaces in place
    index.erase(30);
    index.erase(31);  // absent: nothing happens
    EXPECT_EQ(docids(index), (std::vector<int64_t>{10, 20, 25, 40}));
    hint = 0;
    EXPECT_EQ(index.orderKey(index.find(20, hint), SortOrders::old2New), 9);
}

TEST(FtsRowIndex, FindWalksAscendingDocidsAndRecoversFromAnyHint) {
    FtsRowIndex index;
    std::vector<Row> rows;
    for (int64_t d = 0; d < 1000; d += 3) rows.push_back(row(d, 1));
    index.upsert(rows);
    size_t hint = 0;
    for (int64_t d = 0; d < 1000; ++d) {
        const size_t at = index.find(d, hint);
        if (d % 3 == 0) {
            ASSERT_NE(at, FtsRowIndex::npos) << d;
            EXPECT_EQ(index.row(at).docid, d);
        } else {
            EXPECT_EQ(at, FtsRowIndex::npos) << d;
        }
    }
    // Going backwards or past the end only costs a fresh search.
    hint = index.size() - 1;
    EXPECT_NE(index.find(3, hint), FtsRowIndex::npos);
    hint = 12345;
    EXPECT_NE(index.find(999, hint), FtsRowIndex::npos);
    EXPECT_EQ(index.find(5000, hint), FtsRowIndex::npos);
}

TEST(FtsRowIndex, OrdersLikeTheStatementIncludingNulls) {
    const double nan = std::nan("");
    Row nullDate = FtsRowIndex::makeRow(1, 1, "/p/b", "b", nan, nan, nan);  // NaN is stored as NULL
    Row early = row(2, 100, "c");
    Row late = row(3, 200, "a");
    Row lateToo = row(4, 200, "b");
    Row nullName = row(5, 150, "");
    nullName.nulls |= FtsRowIndex::nullFileName;
    std::vector<Row> rows = {nullDate, early, late, lateToo, nullName};

    const auto order = [&](SortOrders o) {
        std::vector<Row> sorted = rows;
        std::sort(sorted.begin(), sorted.end(), [o](const Row& a, const Row& b) { return sqlOrderLess(a, b, o); });
        std::vector<int64_t> ids;
        for (size_t i = 0; i < sorted.size(); ++i) {
            ids.push_back(sorted[i].docid);
            // The numeric key never contradicts the full order.
            if (i > 0) {
                EXPECT_LE(sqlOrderKey(sorted[i - 1], o), sqlOrderKey(sorted[i], o));
            }
        }
        return ids;
    };
    // NULL dates sort first ascending, hence last descending; equal dates fall back to the name.
    EXPECT_EQ(order(SortOrders::new2Old), (std::vector<int64_t>{3, 4, 5, 2, 1}));
    EXPECT_EQ(order(SortOrders::relevance), (std::vector<int64_t>{3, 4, 5, 2, 1}));
    EXPECT_EQ(order(SortOrders::old2New), (std::vector<int64_t>{1, 2, 5, 3, 4}));
    // A NULL name sorts before every name; equal names keep docid order.
    EXPECT_EQ(order(SortOrders::a2z), (std::vector<int64_t>{5, 3, 1, 4, 2}));
    EXPECT_EQ(order(SortOrders::z2a), (std::vector<int64_t>{2, 1, 4, 3, 5}));
}

TEST(FtsRowIndex, DateRangeUsesOnlyTheChosenDatesAndNeverMatchesNull) {
    const Row r = FtsRowIndex::makeRow(1, 1, "/p", "n", 100, 200, 300);  // created, modified, content
    FtsDateRange range{150, 250, true, true, true};
    EXPECT_TRUE(inDateRange(r, range));
    range.modified = false;
    EXPECT_FALSE(inDateRange(r, range));
    range = {300, 300, false, false, true};  // bounds are inclusive
    EXPECT_TRUE(inDateRange(r, range));

    const Row noDates = FtsRowIndex::makeRow(2, 2, "/p", "n", std::nan(""), std::nan(""), std::nan(""));
    EXPECT_FALSE(inDateRange(noDates, {-1e300, 1e300, true, true, true}));
    EXPECT_EQ(noDates.modificationDate, 0);  // read back as the statement would read NULL
}

}  // namespace
}  // namespace lumidex::storage
