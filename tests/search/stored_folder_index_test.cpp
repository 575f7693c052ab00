#include "search/stored_folder_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "search/search_engine.h"
#include "search_test_support.h"

namespace lumidex::search {
namespace {

using testing::DocumentFixture;
using testing::StorageFolderIndex;

SearchParameters query(std::string text) {
    SearchParameters p;
    p.searchText = std::move(text);
    p.sortOrder = SortOrders::a2z;
    return p;
}

TEST(StoredFolderIndex, AnswersFromTheStoredIndexAlone) {
    StorageFolderIndex writer("Archive");
    std::vector<DocumentFixture> fixtures;
    for (int i = 0; i < 40; ++i) {
        fixtures.push_back({"letters/brief" + std::to_string(i) + ".txt", "Kuendigung walrus " + std::to_string(i), 1700000000.0 + i,
                         i + 1});
    }
    const std::vector<NanItem> written = writer.addAll(fixtures);
    writer.forgetItem(written[3]);  // a full-text row without its item: not shown

    const FolderListFunction list = storedFolderIndexList({writer.rootPath()}, [&](const std::string& root) {
        EXPECT_EQ(root, writer.rootPath());
        return writer.dataDirectory();
    });
    // The same objects each time, or the search would take the folder for a removed one.
    ASSERT_EQ(list().size(), 1u);
    EXPECT_EQ(list()[0], list()[0]);

    const SearchEngine engine(list);
    const SearchOutcome outcome = engine.run(query("walrus"), {}, CancellationToken());
    ASSERT_EQ(outcome.hits.size(), 39u);
    EXPECT_FALSE(outcome.indexBeingBuilt);
    const auto found = std::find_if(outcome.hits.begin(), outcome.hits.end(),
                                    [](const SearchHit& hit) { return hit.item.fileName == "brief7.txt"; });
    ASSERT_NE(found, outcome.hits.end());
    EXPECT_EQ(found->item.totalPageCount, 8);  // from the item table, not the full-text row
    EXPECT_EQ(found->item.rootFolderUrl, writer.rootPath());
    // A plain search reads no full-text rows: paths, names and dates come from the items.
    EXPECT_EQ(found->item.urlString, writer.rootPath() + "/letters/brief7.txt");
    EXPECT_EQ(secondsSince1970(found->item.fileModifiedDate), 1700000007.0);

    // A date range needs the rows, and finds the same documents.
    SearchParameters dated = query("walrus");
    dated.startDate = dateFromSecondsSince1970(1700000000.0);
    dated.endDate = dateFromSecondsSince1970(1700000100.0);
    dated.dateSearchParameter.rawValue = DateSearchParameters::modified;
    const SearchOutcome byDate = engine.run(dated, {}, CancellationToken());
    ASSERT_EQ(byDate.hits.size(), outcome.hits.size());
    for (size_t i = 0; i < byDate.hits.size(); ++i) {
        EXPECT_EQ(byDate.hits[i].item.urlString, outcome.hits[i].item.urlString);
        EXPECT_EQ(byDate.hits[i].item.fileModifiedDate, outcome.hits[i].item.fileModifiedDate);
    }

    EXPECT_EQ(list()[0]->allItems().size(), 39u);
    EXPECT_FALSE(list()[0]->itemForCombinedHash(written[3].combinedHash));
}

// What a result list shows of each hit: where it is, how often it matched, and whether it has a passage.
std::vector<std::string> shown(const SearchOutcome& outcome) {
    std::vector<std::string> out;
    for (const SearchHit& hit : outcome.hits) {
        out.push_back(hit.item.urlString + " " + std::to_string(hit.matchCount) + (hit.snippet ? " s" : "") +
                      (hit.displaySnippet ? " d" : ""));
    }
    return out;
}

// The values an order compares, hit by hit.
std::vector<std::string> sortKeys(const SearchOutcome& outcome, SortOrders order) {
    std::vector<std::string> out;
    const bool byName = order == SortOrders::a2z || order == SortOrders::z2a;
    for (const SearchHit& hit : outcome.hits) {
        std::string key = hit.item.fileName;
        if (!byName) key += " " + std::to_string(secondsSince1970(hit.item.fileModifiedDate));
        if (order == SortOrders::relevance) key += " " + std::to_string(hit.matchCount);
        out.push_back(std::move(key));
    }
    return out;
}

TEST(StoredFolderIndex, LimitedSearchesKeepTheFullRankingsFirstRowsInEveryOrder) {
    // Two folders over many shards, with equal names, dates and match counts across both, so that ties
    // decide much of each order.
    StorageFolderIndex office("Office"), home("Home");
    const char* names[] = {"Brief.txt", "brief.txt", "Akte.pdf", "zettel.md", "Über.txt", "akte.pdf"};
    for (StorageFolderIndex* folder : {&office, &home}) {
        std::vector<DocumentFixture> fixtures;
        for (int i = 0; i < 90; ++i) {
            std::string text = "walrus";
            for (int m = 0; m < i % 3; ++m) text += " walrus";
            fixtures.push_back({"d" + std::to_string(i) + "/" + names[i % 6], text, 1700000000.0 + (i % 4) * 60,
                                1, 0, false});
        }
        folder->addAll(fixtures);
    }
    const FolderListFunction stored = storedFolderIndexList({office.rootPath(), home.rootPath()},
                                                            [&](const std::string& root) {
                                                                return root == office.rootPath() ? office.dataDirectory()
                                                                                                 : home.dataDirectory();
                                                            });
    const SearchEngine fromDisk(stored);
    // The same folders through their own item lookups and full-text rows: an independent reference.
    const SearchEngine fromRows([&] {
        return std::vector<std::shared_ptr<SearchableFolderIndex>>{
            std::shared_ptr<SearchableFolderIndex>(&office, [](SearchableFolderIndex*) {}),
            std::shared_ptr<SearchableFolderIndex>(&home, [](SearchableFolderIndex*) {})};
    });

    for (const SortOrders order :
         {SortOrders::a2z, SortOrders::z2a, SortOrders::new2Old, SortOrders::old2New, SortOrders::relevance}) {
        for (const bool ignoreCase : {false, true}) {
            SCOPED_TRACE(std::string(rawValue(order)) + (ignoreCase ? " ignoring case" : ""));
            SearchParameters parameters = query("walrus");
            parameters.sortOrder = order;
            SearchRunOptions options;
            options.namesIgnoreCase = ignoreCase;
            const SearchOutcome full = fromDisk.run(parameters, options, CancellationToken());
            ASSERT_EQ(full.hits.size(), 180u);
            EXPECT_EQ(full.countBeforeLimit, 180u);
            const SearchOutcome reference = fromRows.run(parameters, options, CancellationToken());
            if (!ignoreCase) {
                EXPECT_EQ(sortKeys(full, order), sortKeys(reference, order));
            }
            // Equal rows keep the folders' order.
            EXPECT_EQ(full.hits.front().item.rootFolderUrl, office.rootPath());
            EXPECT_EQ(full.hits.back().item.rootFolderUrl, home.rootPath());

            for (const int64_t limit : {1, 7, 61, 179}) {
                SCOPED_TRACE(limit);
                options.resultLimit = limit;
                for (const SearchEngine* engine : {&fromDisk, &fromRows}) {
                    const SearchOutcome limited = engine->run(parameters, options, CancellationToken());
                    const SearchOutcome& whole = engine == &fromDisk ? full : reference;
                    EXPECT_EQ(limited.countBeforeLimit, 180u);
                    const std::vector<std::string> all = shown(whole);
                    EXPECT_EQ(shown(limited), std::vector<std::string>(all.begin(), all.begin() + limit));
                    // Whole items for the rows kept, not just what ranked them.
                    EXPECT_EQ(limited.hits.back().item.totalPageCount, 1);
                }
            }
        }
    }
}

// A folder whose items of some versions go away between the ranking and the reading of the rows kept, as
// while a folder is being indexed.
class VanishingItems final : public SearchableFolderIndex {
public:
    VanishingItems(std::shared_ptr<SearchableFolderIndex> inner, std::set<uint32_t> gone)
        : inner_(std::move(inner)), gone_(std::move(gone)) {}
    std::string rootPath() const override { return inner_->rootPath(); }
    void waitForInitToComplete() override { inner_->waitForInitToComplete(); }
    bool isIndexing() const override { return true; }
    bool isRemoved() const override { return false; }
    storage::SqliteFtsDatabaseBalancer& ftsBalancer() override { return inner_->ftsBalancer(); }
    std::optional<std::vector<FtsMatch>> matchesWithoutRows(const SearchParameters& parameters,
                                                            ThreadPool& workers) override {
        return inner_->matchesWithoutRows(parameters, workers);
    }
    std::optional<ItemSortKeys> sortKeysForCombinedHashes(const std::vector<uint32_t>& hashes) override {
        return inner_->sortKeysForCombinedHashes(hashes);
    }
    std::optional<NanItem> itemForCombinedHash(uint32_t combinedHash) override {
        if (gone_.contains(combinedHash)) return std::nullopt;
        return inner_->itemForCombinedHash(combinedHash);
    }
    std::vector<NanItem> allItems() override { return inner_->allItems(); }

private:
    std::shared_ptr<SearchableFolderIndex> inner_;
    std::set<uint32_t> gone_;
};

TEST(StoredFolderIndex, RowsWhoseItemsWentAwayGiveTheirPlaceToTheNextOnes) {
    StorageFolderIndex writer("Archive");
    std::vector<DocumentFixture> fixtures;
    for (int i = 0; i < 12; ++i) fixtures.push_back({"n" + std::to_string(i) + ".txt", "walrus", 1700000000.0 + i});
    const std::vector<NanItem> written = writer.addAll(fixtures);
    // Newest first: n11, n10, ...; the second and fourth of them are gone when the kept rows are read.
    auto folder = std::make_shared<VanishingItems>(makeStoredFolderIndex(writer.rootPath(), writer.dataDirectory()),
                                                   std::set<uint32_t>{written[10].combinedHash, written[8].combinedHash});
    const SearchEngine engine([folder] { return std::vector<std::shared_ptr<SearchableFolderIndex>>{folder}; });
    SearchParameters parameters = query("walrus");
    parameters.sortOrder = SortOrders::new2Old;
    SearchRunOptions options;
    options.resultLimit = 5;
    const SearchOutcome outcome = engine.run(parameters, options, CancellationToken());
    std::vector<std::string> names;
    for (const SearchHit& hit : outcome.hits) names.push_back(hit.item.fileName);
    EXPECT_EQ(names, (std::vector<std::string>{"n11.txt", "n9.txt", "n7.txt", "n6.txt", "n5.txt"}));
    EXPECT_EQ(outcome.countBeforeLimit, 10u);

    // The places of rows gone go to the next rows of their own folder, not to an older folder's rows
    // that would otherwise fill the limit first.
    StorageFolderIndex older("Older");
    older.addAll({{"old.txt", "walrus", 1600000000.0}});
    const auto olderFolder = makeStoredFolderIndex(older.rootPath(), older.dataDirectory());
    const SearchEngine both([folder, olderFolder] {
        return std::vector<std::shared_ptr<SearchableFolderIndex>>{folder, olderFolder};
    });
    options.resultLimit = 3;
    const SearchOutcome filled = both.run(parameters, options, CancellationToken());
    names.clear();
    for (const SearchHit& hit : filled.hits) names.push_back(hit.item.fileName);
    EXPECT_EQ(names, (std::vector<std::string>{"n11.txt", "n9.txt", "n7.txt"}));
    EXPECT_EQ(filled.countBeforeLimit, 11u);
}

TEST(StoredFolderIndex, AFolderWithoutAnIndexFindsNothing) {
    testing::ScratchDir dir;
    const auto folder = makeStoredFolderIndex("/nowhere", dir.path() / "data");
    const SearchEngine engine([folder] { return std::vector<std::shared_ptr<SearchableFolderIndex>>{folder}; });
    EXPECT_TRUE(engine.run(query("walrus"), {}, CancellationToken()).hits.empty());
    EXPECT_TRUE(folder->allItems().empty());
    EXPECT_FALSE(folder->itemForCombinedHash(42));
    // A reader leaves the item tables to the indexer that owns them.
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "data" / "balanced_db_v9" / "2.sqlite"));
}

}  // namespace
}  // namespace lumidex::search
