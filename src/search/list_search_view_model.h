// The result list's model: decides when a search runs, runs it in the background, drops searches that
// were overtaken, and publishes the results, their match counts, snippets, count text and hints.
//
// Starting a search (parametersChanged): a value equal to the last one started does nothing; a text
// shorter than its minimum (spaces not counted) without a full date range clears the results; anything
// else cancels the running search and starts a new one. Typed text waits for the typing pause
// ("automaticallySearchAfterKey" seconds) first; a newer keystroke restarts the pause.
// Results of a cancelled or overtaken search are never published, not even in part.
// Snippets come with the first snippetRowsWithResults results only; the list asks for the others
// (requestSnippets) when they come into view, and they arrive in the background (Change::snippets).
//
// Main-queue object: every member must be called on the scheduler's main queue, and the change callback
// runs there. The engine and the file reader are shared with the background work, so destroying the
// model while a search runs is safe (the search's result is then discarded).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "core/model/nan_item.h"
#include "core/model/search_parameters.h"
#include "core/settings/settings.h"
#include "search/search_engine.h"
#include "search/search_filter_view_model.h"
#include "search/view_model_scheduler.h"

namespace lumidex::search {

class ListSearchViewModel {
public:
    // `filters`: the filter view model's state or metadata changed (its own callback is taken by this
    // model).
    // `snippets`: snippets asked for with requestSnippets arrived.
    enum class Change { parameters, busy, results, selection, filters, snippets };
    using ChangeCallback = std::function<void(Change)>;

    // Parameters start from the settings (folders, sort order, minimum length); the result limit, the
    // typing pause and "mailSourceEnabled" are read from `settings` whenever they are needed.
    ListSearchViewModel(std::shared_ptr<const SearchEngine> engine, Settings settings, ViewModelScheduler& scheduler,
                        std::shared_ptr<FileInfoReader> files = systemFileInfoReader());
    ~ListSearchViewModel();
    ListSearchViewModel(const ListSearchViewModel&) = delete;
    ListSearchViewModel& operator=(const ListSearchViewModel&) = delete;

    // Input signals.
    void searchTextTyped(std::string text);     // after the typing pause
    void submitSearchText(std::string text);    // at once (the Return key)
    void setSortOrder(SortOrders order);
    void setDateRange(std::optional<Date> start, std::optional<Date> end);
    void setDateSearchParameter(DateSearchParameters fields);
    void setRootFolders(std::set<std::string> rootFolderUrlStrings);
    void setSearchInsideUrl(std::optional<std::string> folder);
    void setSearchWithQuotes(bool phrase);
    void parametersChanged(const SearchParameters& parameters);
    // Stops the running search (its results are dropped) and forgets the last parameters, so the same
    // search can be started again.
    void cancelSearch();
    // Runs the current search again although its parameters did not change (the index did: a folder
    // was added or removed, a document taken out).
    void searchAgain();
    void selectFirst();
    void select(std::optional<NanItem> item);
    void setSelectFirstWhenResultsArrive(bool select) { selectFirstWhenResultsArrive_ = select; }

    // State.
    const SearchParameters& parameters() const { return parameters_; }
    const std::optional<SearchParameters>& searchParametersOld() const { return searchParametersOld_; }
    bool isBusy() const { return busy_; }
    bool isSearchRunning() const { return searchTask_.has_value(); }
    const std::vector<NanItem>& allItems() const { return allItems_; }
    const std::vector<NanItem>& items() const { return items_; }
    const MatchCounts& relevanceCountDict() const { return relevanceCountDict_; }
    std::optional<std::string> snippet(const NanItem& item) const;
    // The passage in the document's own words with the matched words marked, for a hit whose original
    // text holds a search word; otherwise nullopt (then snippet() is what there is).
    std::optional<DisplaySnippet> displaySnippet(const NanItem& item) const;
    // The results that come with their snippets; a screenful and some.
    static constexpr size_t snippetRowsWithResults = 60;
    // Whether the item's snippets were read (an item without a passage has then none); false while
    // they are on their way.
    bool hasSnippets(const NanItem& item) const { return snippetsRead_.contains(item.urlString); }
    // How many of the current results had their snippets read.
    size_t snippetCount() const { return snippetsRead_.size(); }
    // Reads the snippets of the shown items [first, first + count) that have none read or asked for yet,
    // in the background; reports Change::snippets when they are in, unless the results changed meanwhile.
    void requestSnippets(size_t first, size_t count);
    int64_t resultCount() const { return static_cast<int64_t>(items_.size()); }
    std::string resultCountText() const;
    bool showsSpecialCharactersHint() const { return specialCharactersHint_; }
    bool showsIndexBeingBuiltHint() const { return indexBeingBuiltHint_; }
    std::vector<std::string> hints() const;
    const std::optional<NanItem>& selectedItem() const { return selectedItem_; }
    bool selectFirstWhenResultsArrive() const { return selectFirstWhenResultsArrive_; }
    SearchFilterViewModel& filterViewModel() { return filterViewModel_; }

    void setOnChange(ChangeCallback callback) { onChange_ = std::move(callback); }

private:
    struct Published;

    SearchParameters withPendingText();
    void clearResults();
    void forgetSnippets();
    void publish(Published published);
    void refilter();
    void setBusy(bool busy);
    void notify(Change change) {
        if (onChange_) onChange_(change);
    }

    std::shared_ptr<const SearchEngine> engine_;
    Settings settings_;
    ViewModelScheduler& scheduler_;
    std::shared_ptr<FileInfoReader> files_;
    std::shared_ptr<bool> alive_;  // read only on the main queue

    SearchParameters parameters_;
    std::optional<SearchParameters> searchParametersOld_;  // of the search started last
    std::optional<SearchParameters> publishedParameters_;  // of the results shown (snippets are read with them)
    std::optional<std::string> pendingText_;
    std::unique_ptr<ScheduledCall> typingPause_;
    std::optional<CancellationToken> searchTask_;
    uint64_t filterGeneration_ = 0;

    bool busy_ = false;
    bool specialCharactersHint_ = false;
    bool indexBeingBuiltHint_ = false;
    MatchCounts relevanceCountDict_;
    SearchFilterViewModel filterViewModel_;
    std::vector<NanItem> allItems_;
    std::vector<NanItem> items_;
    std::unordered_map<std::string, std::string> snippets_;  // urlString -> snippet
    std::unordered_map<std::string, DisplaySnippet> displaySnippets_;  // urlString -> passage
    std::unordered_set<std::string> snippetsRead_;    // urlString
    std::unordered_set<std::string> snippetsAsked_;   // urlString, on their way
    std::optional<CancellationToken> snippetTask_;    // the current results' snippet reads
    uint64_t resultGeneration_ = 0;                   // counts published and cleared results
    std::optional<NanItem> selectedItem_;
    bool selectFirstWhenResultsArrive_ = false;
    ChangeCallback onChange_;
};

}  // namespace lumidex::search
