#include "search/stored_folder_index.h"

#include <gtest/gtest.h>

#include <algorithm>

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
