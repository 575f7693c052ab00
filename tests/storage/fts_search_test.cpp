// Searches run in steps (index, in-memory row copy, text of the rows returned) must answer exactly what
// the search statement answers on the same table; these tests compare the two on varied data.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "platform/sqlite.h"
#include "storage/fts_balancer.h"
#include "storage/fts_sqlite.h"
#include "storage/fts_tools.h"
#include "support/temp_home.h"

namespace lumidex::storage {
namespace {

const char* const kWords[] = {"rechnung", "betrag", "mahnung", "angebot", "vertrag", "kunde", "straße",
                              "müller",   "invoice", "payment", "order",   "report",  "zahlung"};

// Deterministic documents: a few words each, dates with deliberate ties, distinct names.
std::vector<FtsDocument> corpus(size_t count, uint32_t firstHash = 1, uint32_t hashStep = 7) {
    std::vector<FtsDocument> docs;
    uint32_t state = 12345;
    const auto next = [&state] { return state = state * 1103515245u + 12345u, (state >> 16) & 0x7fff; };
    for (size_t i = 0; i < count; ++i) {
        FtsDocument d;
        d.combinedHash = firstHash + static_cast<uint32_t>(i) * hashStep;
        d.fileName = "doc" + std::to_string(next() % 1000) + "_" + std::to_string(i) + ".pdf";
        d.urlPath = std::string(i % 3 == 0 ? "/home/a/steuer/" : "/home/a/post/") + d.fileName;
        std::string text;
        for (int w = 0; w < 12; ++w) text += std::string(kWords[next() % std::size(kWords)]) + " ";
        d.foldedText = FtsTools::fold(text);
        const double modified = 1000.0 * static_cast<double>(next() % 50);  // many equal dates
        d.modificationDate = dateFromSecondsSince1970(modified);
        d.creationDate = dateFromSecondsSince1970(modified - static_cast<double>(next() % 5000));
        d.contentCreated = dateFromSecondsSince1970(modified + static_cast<double>(next() % 5000));
        docs.push_back(std::move(d));
    }
    return docs;
}

// What the plain search statement returns on the shard file.
std::vector<FtsSearchResult> statementAnswer(const std::filesystem::path& file, const SearchParameters& p,
                                             int64_t limit, bool withSnippet, bool withMatchCounts) {
    std::vector<FtsSearchResult> rows;
    const auto statement = FtsTools::buildSelect(p, limit, withSnippet, withMatchCounts);
    if (!statement) return rows;
    std::string error;
    auto db = platform::SqliteDatabase::open(file, error);
    auto select = db->prepare(statement->sql, error);
    for (size_t i = 0; i < statement->textBindings.size(); ++i) {
        select->bind(static_cast<int>(i + 1), std::string_view(statement->textBindings[i]));
    }
    while (select->step() == platform::SqliteStatement::Step::row) {
        if (p.searchInsideUrl && !FtsTools::isInsideFolder(select->textAt(1), *p.searchInsideUrl)) continue;
        rows.push_back(searchResultFromRow(*select));
    }
    return rows;
}

std::vector<SearchParameters> searches() {
    std::vector<SearchParameters> out;
    for (const char* text : {"rech", "mahnung zahlung", "\"betrag mahn\"", "vertrag -angebot", "kunde -ang -zahl",
                             "steuer", "nothingmatches"}) {
        SearchParameters p;
        p.searchText = text;
        out.push_back(p);
    }
    SearchParameters dated;
    dated.startDate = dateFromSecondsSince1970(10000);
    dated.endDate = dateFromSecondsSince1970(20000);
    out.push_back(dated);  // dates alone
    dated.searchText = "invoice";
    dated.dateSearchParameter.rawValue = DateSearchParameters::contentCreated;
    out.push_back(dated);
    dated.searchText = "order -report";
    dated.dateSearchParameter.rawValue = DateSearchParameters::created;
    out.push_back(dated);
    SearchParameters inside;
    inside.searchText = "payment";
    inside.searchInsideUrl = "/home/a/steuer";
    out.push_back(inside);
    return out;
}

TEST(FtsSearch, AnswersLikeTheStatementForEveryOrderLimitAndCondition) {
    testing::TempDir dir;
    FtsSqlite store(dir.path(), StoreKind::fullText, 0);
    ASSERT_TRUE(store.write(corpus(300)));
    FtsSqlite oneShot(dir.path(), StoreKind::fullText, 0, ShardUse::oneCommand);  // no in-memory copy
    const auto file = shardPath(dir.path(), StoreKind::fullText, 0);
    for (SearchParameters p : searches()) {
        for (SortOrders order : {SortOrders::new2Old, SortOrders::old2New, SortOrders::a2z, SortOrders::z2a,
                                 SortOrders::relevance}) {
            p.sortOrder = order;
            for (int64_t limit : {int64_t{0}, int64_t{1}, int64_t{9}, int64_t{60}, int64_t{-1}}) {
                for (const auto& [snippet, counts] : {std::pair{true, true}, {false, true}, {true, false}}) {
                    SCOPED_TRACE(p.searchText + " order " + std::to_string(static_cast<int>(order)) + " limit " +
                                 std::to_string(limit) + (snippet ? " snippet" : "") + (counts ? " counts" : ""));
                    const auto expected = statementAnswer(file, p, limit, snippet, counts);
                    EXPECT_EQ(store.search(p, limit, snippet, counts), expected);
                    EXPECT_EQ(oneShot.search(p, limit, snippet, counts), expected);
                }
            }
        }
    }
}

TEST(FtsSearch, SeesItsOwnWritesAndThoseOfOtherConnections) {
    testing::TempDir dir;
    const auto file = shardPath(dir.path(), StoreKind::fullText, 0);
    FtsSqlite store(dir.path(), StoreKind::fullText, 0);
    FtsSqlite other(dir.path(), StoreKind::fullText, 0);
    auto docs = corpus(40);
    store.write(docs);
    SearchParameters p;
    p.searchText = "vertrag";
    EXPECT_EQ(store.search(p, 10, true, true), statementAnswer(file, p, 10, true, true));  // loads the copy

    docs[3].modificationDate = dateFromSecondsSince1970(1e9);  // now the newest
    docs[3].foldedText += " vertrag";
    store.write(docs[3]);
    store.remove(docs[4].combinedHash);
    EXPECT_EQ(store.search(p, 10, true, true), statementAnswer(file, p, 10, true, true));

    // Another connection moves an existing document to the top, deletes one and adds one.
    FtsDocument moved = docs[7];
    moved.fileName = "moved-elsewhere.txt";
    moved.modificationDate = dateFromSecondsSince1970(2e9);
    moved.foldedText = "vertrag";
    other.write(moved);
    other.remove(docs[6].combinedHash);
    auto hits = store.search(p, 10, false, false);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits.front().fileName, "moved-elsewhere.txt");
    EXPECT_EQ(hits, statementAnswer(file, p, 10, false, false));

    FtsDocument added = docs[5];
    added.combinedHash = 999;
    added.fileName = "added-elsewhere.txt";
    added.modificationDate = dateFromSecondsSince1970(3e9);
    added.foldedText = "vertrag";
    other.write(added);
    hits = store.search(p, 10, false, false);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits.front().fileName, "added-elsewhere.txt");
    EXPECT_EQ(hits, statementAnswer(file, p, 10, false, false));
}

TEST(FtsSearch, ValuesTheCopyCannotOrderFallBackToTheStatement) {
    testing::TempDir dir;
    const auto file = shardPath(dir.path(), StoreKind::fullText, 0);
    FtsSqlite store(dir.path(), StoreKind::fullText, 0);
    store.write(corpus(30));
    {
        // Another program stored a date as text, which SQL sorts after every number.
        std::string error;
        auto db = platform::SqliteDatabase::open(file, error);
        ASSERT_TRUE(db->exec("INSERT INTO ftsVirtualTable (docid, content, combinedHash, urlPath, fileName, "
                             "creationDate, modificationDate, contentCreated) VALUES (5000, 'vertrag', 5000, "
                             "'/x/t.txt', 't.txt', 1, 'gestern', 1)",
                             error));
    }
    SearchParameters p;
    p.searchText = "vertrag";
    const auto hits = store.search(p, 5, true, true);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits.front().combinedHash, 5000u);
    EXPECT_EQ(hits, statementAnswer(file, p, 5, true, true));
}

TEST(FtsSearch, DetailsGiveTheStatementsSnippetsAndCounts) {
    testing::TempDir dir;
    const auto file = shardPath(dir.path(), StoreKind::fullText, 0);
    FtsSqlite store(dir.path(), StoreKind::fullText, 0);
    store.write(corpus(50));
    SearchParameters p;
    p.searchText = "mahnung betrag";
    const auto expected = statementAnswer(file, p, -1, true, true);
    ASSERT_GT(expected.size(), 3u);
    const std::vector<uint32_t> wanted = {expected[2].combinedHash, expected[0].combinedHash, 424242};
    auto details = store.details(p, wanted, true, true);
    ASSERT_EQ(details.size(), 2u);  // the unknown hash is left out
    for (const FtsRowDetails& d : details) {
        const auto row = std::find_if(expected.begin(), expected.end(),
                                      [&](const FtsSearchResult& r) { return r.combinedHash == d.combinedHash; });
        ASSERT_NE(row, expected.end());
        EXPECT_EQ(d.snippet, row->snippet);
        EXPECT_EQ(d.matchCount, row->matchCount);
    }
    p.searchText.clear();
    p.startDate = dateFromSecondsSince1970(0);
    p.endDate = dateFromSecondsSince1970(1e9);
    EXPECT_TRUE(store.details(p, wanted, true, true).empty());  // nothing to match, nothing to show
}

TEST(FtsSearch, SmallWritesLeaveFewIndexSegments) {
    testing::TempDir dir;
    FtsSqlite store(dir.path(), StoreKind::fullText, 0);
    for (const FtsDocument& d : corpus(15)) store.write(d);
    std::string error;
    auto db = platform::SqliteDatabase::open(shardPath(dir.path(), StoreKind::fullText, 0), error);
    auto count = db->prepare("SELECT count(*) FROM ftsVirtualTable_segdir", error);
    ASSERT_EQ(count->step(), platform::SqliteStatement::Step::row);
    // FTS4 on its own would keep one segment per write here.
    EXPECT_LE(count->int64At(0), 8);
    SearchParameters p;
    p.searchText = "kunde";
    EXPECT_EQ(store.search(p, -1, true, true),
              statementAnswer(shardPath(dir.path(), StoreKind::fullText, 0), p, -1, true, true));
}

TEST(FtsBalancerSearch, MergesShardsLikeOneTableEvenWhenOneShardHoldsTheNewestRows) {
    testing::TempDir dir;
    SqliteFtsDatabaseBalancer fts(dir / "sharded");
    FtsSqlite flat(dir / "flat", StoreKind::fullText, 0);
    auto docs = corpus(400, 3, 7);
    // The 150 newest documents all live in shard 0, more than its first share of any limit below.
    for (uint32_t i = 0; i < 150; ++i) {
        FtsDocument d = docs[i];
        d.combinedHash = 20 * (i + 1000);
        d.fileName = "new_" + std::to_string(i) + ".pdf";
        d.modificationDate = dateFromSecondsSince1970(1e6 + i);
        docs.push_back(d);
    }
    ASSERT_TRUE(fts.write(docs));
    ASSERT_TRUE(flat.write(docs));
    for (SearchParameters p : searches()) {
        // A sub-folder restriction applies after each shard's limit, so it is not one table's answer.
        if (p.searchInsideUrl) continue;
        for (SortOrders order : {SortOrders::new2Old, SortOrders::a2z}) {
            p.sortOrder = order;
            for (int64_t limit : {int64_t{1}, int64_t{25}, int64_t{120}, int64_t{-1}}) {
                SCOPED_TRACE(p.searchText + " limit " + std::to_string(limit));
                EXPECT_EQ(fts.search(p, limit, true, true), flat.search(p, limit, true, true));
                EXPECT_EQ(fts.search(p, limit, false, true), flat.search(p, limit, false, true));
            }
        }
    }
}

}  // namespace
}  // namespace lumidex::storage
