#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "search/search_results_modified_manager.h"
#include "support/temp_home.h"

namespace lumidex::search {
namespace {

TEST(SearchResultsModifiedManager, RecordsTermsPerDocumentAndKeepsThemInTheFile) {
    lumidex::testing::TempDir dir;
    {
        SearchResultsModifiedManager manager(dir.path());
        EXPECT_TRUE(manager.itemsDict().empty());
        EXPECT_TRUE(manager.add("/docs/a.pdf", "rechnung"));
        EXPECT_TRUE(manager.add("/docs/a.pdf", "mai"));
        EXPECT_TRUE(manager.add("/docs/a.pdf", "mai"));
        EXPECT_TRUE(manager.add("/docs/b.pdf", "vertrag"));
        EXPECT_TRUE(manager.remove("/docs/b.pdf", "vertrag"));
        EXPECT_TRUE(manager.remove("/docs/none.pdf", "x"));
        EXPECT_EQ(manager.filePath(), dir / "modified_search_results.json");
    }
    const auto json = nlohmann::json::parse(lumidex::testing::readFile(dir / "modified_search_results.json"));
    EXPECT_EQ(json, nlohmann::json::parse(R"({"/docs/a.pdf": ["mai", "rechnung"]})"));

    SearchResultsModifiedManager reloaded(dir.path());
    EXPECT_EQ(reloaded.terms("/docs/a.pdf"), (std::set<std::string>{"mai", "rechnung"}));
    EXPECT_TRUE(reloaded.terms("/docs/b.pdf").empty());
}

TEST(SearchResultsModifiedManager, DamagedFileLoadsEmptyAndFailedSavesKeepTheChange) {
    lumidex::testing::TempDir dir;
    lumidex::testing::writeFile(dir / "modified_search_results.json", "{not json");
    SearchResultsModifiedManager damaged(dir.path());
    EXPECT_TRUE(damaged.itemsDict().empty());

    lumidex::testing::writeFile(dir / "blocker", "a file where the folder should be");
    SearchResultsModifiedManager unwritable(dir / "blocker" / "sub");
    EXPECT_FALSE(unwritable.add("/docs/a.pdf", "term"));
    EXPECT_EQ(unwritable.terms("/docs/a.pdf"), std::set<std::string>{"term"});
}

TEST(SearchResultsModifiedManager, TermToRecord) {
    EXPECT_EQ(SearchResultsModifiedManager::termToRecord("  rechnung mai "), "rechnung mai");
    EXPECT_FALSE(SearchResultsModifiedManager::termToRecord("   ").has_value());
    EXPECT_EQ(kCantAssignSearchTerm, "<can't assign search term>");
}

}  // namespace
}  // namespace lumidex::search
