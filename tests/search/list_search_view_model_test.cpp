#include <gtest/gtest.h>

#include <chrono>

#include "search/list_search_view_model.h"
#include "search/search_text.h"
#include "search_test_support.h"

namespace lumidex::search {
namespace {

using namespace std::chrono_literals;
using testing::DocumentFixture;
using testing::FolderRegistry;
using testing::ManualScheduler;
using testing::StorageFolderIndex;

std::vector<std::string> names(const std::vector<NanItem>& items) {
    std::vector<std::string> out;
    for (const NanItem& item : items) out.push_back(item.fileName);
    return out;
}

struct ListSearch : ::testing::Test {
    lumidex::testing::TempDir settingsDir;
    SettingsStore store{settingsDir / "settings.json"};
    Settings settings{store};
    ManualScheduler scheduler;
    std::shared_ptr<StorageFolderIndex> folder = std::make_shared<StorageFolderIndex>("Docs");
    FolderRegistry registry;
    std::unique_ptr<ListSearchViewModel> model;
    std::vector<ListSearchViewModel::Change> changes;

    void SetUp() override {
        registry.add(folder);
        folder->add({"invoice.pdf", "invoice for the roof", 3000});
        folder->add({"offer.txt", "offer and invoice draft", 2000});
        folder->add({"diary.md", "nothing to see", 1000});
        makeModel();
    }

    void makeModel() {
        model = std::make_unique<ListSearchViewModel>(std::make_shared<SearchEngine>(registry.function()), settings,
                                                      scheduler);
        model->setOnChange([this](ListSearchViewModel::Change c) { changes.push_back(c); });
    }

    int resultPublications() const {
        return static_cast<int>(std::count(changes.begin(), changes.end(), ListSearchViewModel::Change::results));
    }
};

TEST_F(ListSearch, TypedTextSearchesAfterThePauseAndANewKeystrokeRestartsIt) {
    model->searchTextTyped("invo");
    scheduler.advance(900ms);
    model->searchTextTyped("invoi");
    scheduler.advance(900ms);
    EXPECT_FALSE(model->isBusy()) << "1 s pause not yet over since the last keystroke";
    EXPECT_EQ(scheduler.pendingBackground(), 0u);

    scheduler.advance(100ms);
    EXPECT_TRUE(model->isBusy());
    EXPECT_EQ(model->parameters().searchText, "invoi");
    scheduler.settle();
    EXPECT_FALSE(model->isBusy());
    EXPECT_EQ(folder->waits.load(), 1);
    EXPECT_EQ(names(model->items()), (std::vector<std::string>{"invoice.pdf", "offer.txt"}));
    EXPECT_EQ(model->allItems().size(), 2u);
    EXPECT_EQ(model->resultCount(), 2);
    EXPECT_EQ(model->resultCountText(), "Found 2 results");
    ASSERT_TRUE(model->snippet(model->items()[0]).has_value());
    EXPECT_EQ(model->relevanceCountDict().size(), 2u);
}

TEST_F(ListSearch, DisplaySnippetKeepsTheDocumentsSpellingAndMarksTheMatches) {
    folder->add({"Rechnung.pdf", "Die RECHNUNG für Müller, bitte prüfen.", 4000});
    model->submitSearchText("rechnung müller");
    scheduler.settle();
    ASSERT_EQ(names(model->items()), (std::vector<std::string>{"Rechnung.pdf"}));
    const auto passage = model->displaySnippet(model->items()[0]);
    ASSERT_TRUE(passage.has_value());
    EXPECT_EQ(renderDisplaySnippet(*passage, "[", "]"), "Die [RECHNUNG] für [Müller], bitte prüfen.");

    model->submitSearchText("ab");  // below the minimum: the passages go with the results
    EXPECT_FALSE(model->displaySnippet(NanItem{}).has_value());
    EXPECT_TRUE(model->items().empty());
}

TEST_F(ListSearch, SnippetsBeyondTheFirstScreenfulAreReadWhenAskedAndDroppedWithTheirResults) {
    const size_t total = ListSearchViewModel::snippetRowsWithResults + 2;
    for (size_t i = 0; i < total; ++i) {
        folder->add({"ledger" + std::to_string(i) + ".txt", "ledger page " + std::to_string(i), 5000.0 + static_cast<double>(i)});
    }
    model->submitSearchText("ledger");
    scheduler.settle();
    ASSERT_EQ(model->items().size(), total);
    const NanItem last = model->items().back();
    EXPECT_EQ(model->snippetCount(), ListSearchViewModel::snippetRowsWithResults);
    EXPECT_TRUE(model->hasSnippets(model->items().front()));
    EXPECT_FALSE(model->hasSnippets(last));
    EXPECT_FALSE(model->snippet(last).has_value());

    // A refinement cancelled before it landed leaves these rows: their snippets are read with the words
    // of the search that found them.
    model->submitSearchText("page");
    model->cancelSearch();
    model->requestSnippets(total - 3, 10);
    model->requestSnippets(total - 2, 10);  // already on their way
    EXPECT_EQ(scheduler.pendingBackground(), 2u) << "the cancelled search and one snippet read";
    changes.clear();
    scheduler.settle();
    EXPECT_TRUE(model->hasSnippets(last));
    EXPECT_EQ(changes, std::vector<ListSearchViewModel::Change>{ListSearchViewModel::Change::snippets});
    ASSERT_TRUE(model->displaySnippet(last).has_value());
    EXPECT_EQ(renderDisplaySnippet(*model->displaySnippet(last), "[", "]"), "[ledger] page 0") << "the oldest";

    // Snippets read for results that have since gone are not taken for the next ones.
    model->submitSearchText("ledger page");
    scheduler.settle();
    model->requestSnippets(total - 2, 2);
    scheduler.runBackground();
    model->submitSearchText("ab");
    changes.clear();
    scheduler.settle();
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(model->snippetCount(), 0u);
}

TEST_F(ListSearch, PauseComesFromTheSettingAndSubmittingSkipsIt) {
    settings.set(SettingsKeys::automaticallySearchAfterKey, int64_t{3});
    model->searchTextTyped("invoice");
    scheduler.advance(2s);
    EXPECT_FALSE(model->isBusy());
    scheduler.advance(1s);
    EXPECT_TRUE(model->isBusy());
    scheduler.settle();

    model->submitSearchText("offer");
    EXPECT_TRUE(model->isBusy());
    scheduler.settle();
    EXPECT_EQ(names(model->items()), (std::vector<std::string>{"offer.txt"}));

    settings.set(SettingsKeys::automaticallySearchAfterKey, int64_t{0});
    model->searchTextTyped("roof");
    EXPECT_TRUE(model->isBusy());
}

TEST_F(ListSearch, TextBelowTheMinimumClearsTheListWithoutQuerying) {
    model->submitSearchText("invoice");
    scheduler.settle();
    ASSERT_EQ(model->items().size(), 2u);

    model->submitSearchText("ab");
    EXPECT_TRUE(model->items().empty());
    EXPECT_TRUE(model->allItems().empty());
    EXPECT_FALSE(model->isBusy());
    EXPECT_EQ(scheduler.pendingBackground(), 0u);
    EXPECT_EQ(folder->waits.load(), 1);

    // The same text again searches again after the list was cleared.
    model->submitSearchText("invoice");
    scheduler.settle();
    EXPECT_EQ(model->items().size(), 2u);
    EXPECT_EQ(folder->waits.load(), 2);

    model->submitSearchText("a b c");  // passes the length rule; every word is too short to query
    scheduler.settle();
    EXPECT_TRUE(model->items().empty());

    // A minimum changed in the preferences holds from the next search on.
    settings.set(SettingsKeys::startSearchCharacterCountKey, int64_t{5});
    model->submitSearchText("roof");
    EXPECT_FALSE(model->isBusy());
    EXPECT_TRUE(model->items().empty());
}

TEST_F(ListSearch, EmptyTextWithADateRangeSearches) {
    model->setDateRange(dateFromSecondsSince1970(1500), dateFromSecondsSince1970(2500));
    scheduler.settle();
    EXPECT_EQ(names(model->items()), (std::vector<std::string>{"offer.txt"}));
    model->setDateRange(dateFromSecondsSince1970(1500), std::nullopt);
    EXPECT_TRUE(model->items().empty()) << "half a range is no range";
}

TEST_F(ListSearch, SameParametersTwiceRunOneSearch) {
    model->submitSearchText("invoice");
    model->submitSearchText("invoice");
    scheduler.settle();
    model->submitSearchText("invoice");
    model->setSortOrder(model->parameters().sortOrder);
    scheduler.settle();
    EXPECT_EQ(folder->waits.load(), 1);
    EXPECT_EQ(resultPublications(), 1);

    model->setSortOrder(SortOrders::a2z);
    scheduler.settle();
    EXPECT_EQ(folder->waits.load(), 2);
}

TEST_F(ListSearch, OvertakenSearchPublishesNothing) {
    // The first search is still querying when the user types on.
    folder->onWait = [this] {
        folder->onWait = nullptr;
        model->submitSearchText("roof");
    };
    model->submitSearchText("offer");
    scheduler.settle();
    EXPECT_EQ(folder->waits.load(), 2);
    EXPECT_EQ(resultPublications(), 1);
    EXPECT_EQ(names(model->items()), (std::vector<std::string>{"invoice.pdf"}));
    EXPECT_FALSE(model->isBusy());

    // Both searches finished their queries before the main queue ran: only the newer one lands.
    model->submitSearchText("draft");
    scheduler.runBackground();
    model->submitSearchText("diary");
    scheduler.settle();
    EXPECT_EQ(resultPublications(), 2);
    EXPECT_EQ(names(model->items()), (std::vector<std::string>{"diary.md"}));
}

TEST_F(ListSearch, CancelStopsTheSearchAndAllowsTheSameSearchAgain) {
    model->submitSearchText("invoice");
    model->cancelSearch();
    EXPECT_FALSE(model->isBusy());
    scheduler.settle();
    EXPECT_EQ(resultPublications(), 0);
    EXPECT_TRUE(model->items().empty());

    model->submitSearchText("invoice");
    scheduler.settle();
    EXPECT_EQ(model->items().size(), 2u);

    model->searchTextTyped("roof");
    model->cancelSearch();  // also withdraws the pending keystroke
    scheduler.advance(5s);
    EXPECT_FALSE(model->isBusy());
}

TEST_F(ListSearch, SearchAgainRerunsUnchangedParametersOnAChangedIndex) {
    model->submitSearchText("invoice");
    scheduler.settle();
    ASSERT_EQ(model->items().size(), 2u);
    folder->add({"late-invoice.txt", "invoice that arrived later", 5000});
    model->submitSearchText("invoice");
    scheduler.settle();
    EXPECT_EQ(model->items().size(), 2u) << "the same parameters do not search again";

    model->searchAgain();
    scheduler.settle();
    EXPECT_EQ(model->items().size(), 3u);
    EXPECT_EQ(folder->waits.load(), 2);
}

TEST_F(ListSearch, DestroyingTheModelWhileASearchRunsIsSafe) {
    model->submitSearchText("invoice");
    model.reset();
    scheduler.settle();  // the search's late delivery must find nothing to write to (the sanitizers watch)
}

TEST_F(ListSearch, ResultLimitFollowsTheSetting) {
    std::vector<DocumentFixture> fixtures;
    for (int i = 0; i < 30; ++i) fixtures.push_back({"many" + std::to_string(i) + ".txt", "widget", 1000.0 + i, 1, 0, false});
    folder->addAll(fixtures);
    settings.set(SettingsKeys::limitSearchResultsTypeKey, int64_t{0});
    model->submitSearchText("widget");
    scheduler.settle();
    EXPECT_EQ(model->items().size(), 25u);

    settings.set(SettingsKeys::limitSearchResultsTypeKey, int64_t{5});
    model->setSortOrder(SortOrders::relevance);
    scheduler.settle();
    EXPECT_EQ(model->items().size(), 30u);
}

TEST_F(ListSearch, HintsForIgnoredCharactersAndAnIndexBeingBuilt) {
    model->submitSearchText("invoice 🙂");
    EXPECT_TRUE(model->showsSpecialCharactersHint()) << "shown as soon as the text is taken";
    scheduler.settle();
    EXPECT_EQ(model->items().size(), 2u);
    EXPECT_EQ(model->hints(), std::vector<std::string>{std::string(kSpecialCharactersHint)});

    folder->indexing = true;
    model->submitSearchText("invoice");
    scheduler.settle();
    EXPECT_FALSE(model->showsSpecialCharactersHint());
    EXPECT_TRUE(model->showsIndexBeingBuiltHint());
    EXPECT_EQ(model->hints(), std::vector<std::string>{std::string(kIndexBeingBuiltHint)});
    EXPECT_EQ(model->items().size(), 2u);
}

TEST_F(ListSearch, SelectsTheFirstResultWhenAsked) {
    model->setSelectFirstWhenResultsArrive(true);
    model->submitSearchText("invoice");
    scheduler.settle();
    ASSERT_TRUE(model->selectedItem().has_value());
    EXPECT_EQ(model->selectedItem()->fileName, "invoice.pdf");
    EXPECT_FALSE(model->selectFirstWhenResultsArrive());

    model->select(model->items()[1]);
    EXPECT_EQ(model->selectedItem()->fileName, "offer.txt");
    model->submitSearchText("roof");
    scheduler.settle();
    EXPECT_FALSE(model->selectedItem().has_value()) << "the selection left the results";
}

TEST_F(ListSearch, FiltersNarrowTheShownItemsWithoutSearchingAgain) {
    model->submitSearchText("invoice");
    scheduler.settle();
    ASSERT_EQ(model->items().size(), 2u);
    EXPECT_TRUE(model->filterViewModel().metadata().availableFileTypes.contains(FileTypeCategory::pdf));

    SearchFilterState pdfOnly;
    pdfOnly.selectedFileTypes = {FileTypeCategory::pdf};
    changes.clear();
    model->filterViewModel().setFilterState(pdfOnly);
    EXPECT_EQ(names(model->items()), (std::vector<std::string>{"invoice.pdf"}));
    EXPECT_EQ(changes, (std::vector<ListSearchViewModel::Change>{ListSearchViewModel::Change::results,
                                                                 ListSearchViewModel::Change::filters}))
        << "the window learns of filter changes through the list's callback";
    EXPECT_EQ(model->allItems().size(), 2u);
    EXPECT_EQ(model->resultCountText(), "Found 1 results");

    SearchFilterState small;
    small.fileSizeMax = 20;  // "invoice for the roof" is 20 bytes, the offer is longer
    model->filterViewModel().setFilterState(small);
    scheduler.settle();  // size filters read the disk in the background
    EXPECT_EQ(names(model->items()), (std::vector<std::string>{"invoice.pdf"}));

    model->filterViewModel().reset();
    EXPECT_EQ(model->items().size(), 2u);

    // A filter set while a search runs applies to its results.
    model->submitSearchText("roof");
    model->filterViewModel().setFilterState(pdfOnly);
    model->submitSearchText("draft");
    scheduler.settle();
    EXPECT_TRUE(model->items().empty());
    EXPECT_EQ(model->allItems().size(), 1u);
    EXPECT_EQ(folder->waits.load(), 2) << "filters never query; an overtaken search that had not started neither";
}

}  // namespace
}  // namespace lumidex::search
