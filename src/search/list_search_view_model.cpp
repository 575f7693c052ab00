#include "search/list_search_view_model.h"

#include <algorithm>
#include <chrono>

#include "search/search_text.h"

namespace lumidex::search {
namespace {

bool hasFullDateRange(const SearchParameters& p) { return p.startDate.has_value() && p.endDate.has_value(); }

// Tag and size filters read the disk; the others are decided from the items alone.
bool filterReadsDisk(const SearchFilterState& state) {
    return !state.selectedFinderTags.empty() || state.fileSizeMin || state.fileSizeMax;
}

}  // namespace

struct ListSearchViewModel::Published {
    SearchOutcome outcome;
    std::vector<NanItem> shown;
    SearchFilterState filteredWith;
    SearchParameters parameters;  // of the search that found these results
};

ListSearchViewModel::ListSearchViewModel(std::shared_ptr<const SearchEngine> engine, Settings settings,
                                         ViewModelScheduler& scheduler, std::shared_ptr<FileInfoReader> files)
    : engine_(std::move(engine)),
      settings_(settings),
      scheduler_(scheduler),
      files_(files),
      alive_(std::make_shared<bool>(true)),
      parameters_(searchParametersFromSettings(settings)),
      filterViewModel_(scheduler, std::move(files)) {
    filterViewModel_.setOnChange([this](SearchFilterViewModel::Change change) {
        if (change == SearchFilterViewModel::Change::filterState) refilter();
        notify(Change::filters);
    });
}

ListSearchViewModel::~ListSearchViewModel() {
    *alive_ = false;
    typingPause_.reset();
    if (searchTask_) searchTask_->cancel();
}

SearchParameters ListSearchViewModel::withPendingText() {
    SearchParameters p = parameters_;
    p.minSearchCharCount = settings_.minSearchCharCount();  // a preference changed meanwhile holds at once
    if (pendingText_) {
        p.searchText = std::move(*pendingText_);
        pendingText_.reset();
        typingPause_.reset();
    }
    return p;
}

void ListSearchViewModel::searchTextTyped(std::string text) {
    pendingText_ = std::move(text);
    const int64_t seconds = std::max<int64_t>(settings_.autoSearchDelaySeconds(), 0);
    if (seconds == 0) {
        parametersChanged(withPendingText());
        return;
    }
    typingPause_ = scheduler_.scheduleOnMain(std::chrono::seconds(seconds), [this, alive = alive_] {
        if (*alive && pendingText_) parametersChanged(withPendingText());
    });
}

void ListSearchViewModel::submitSearchText(std::string text) {
    pendingText_ = std::move(text);
    parametersChanged(withPendingText());
}

void ListSearchViewModel::setSortOrder(SortOrders order) {
    SearchParameters p = withPendingText();
    p.sortOrder = order;
    parametersChanged(p);
}

void ListSearchViewModel::setDateRange(std::optional<Date> start, std::optional<Date> end) {
    SearchParameters p = withPendingText();
    p.startDate = start;
    p.endDate = end;
    parametersChanged(p);
}

void ListSearchViewModel::setDateSearchParameter(DateSearchParameters fields) {
    SearchParameters p = withPendingText();
    p.dateSearchParameter = fields;
    parametersChanged(p);
}

void ListSearchViewModel::setRootFolders(std::set<std::string> rootFolderUrlStrings) {
    SearchParameters p = withPendingText();
    p.rootFolderUrlStrings = std::move(rootFolderUrlStrings);
    parametersChanged(p);
}

void ListSearchViewModel::setSearchInsideUrl(std::optional<std::string> folder) {
    SearchParameters p = withPendingText();
    p.searchInsideUrl = std::move(folder);
    parametersChanged(p);
}

void ListSearchViewModel::setSearchWithQuotes(bool phrase) {
    SearchParameters p = withPendingText();
    p.searchWithQuotes = phrase;
    parametersChanged(p);
}

void ListSearchViewModel::parametersChanged(const SearchParameters& parameters) {
    if (parameters != parameters_) {
        parameters_ = parameters;
        specialCharactersHint_ =
            withoutIgnoredCharacters(parameters.searchText, parameters.searchWithQuotes).ignoredSomething;
        notify(Change::parameters);
    }
    if (searchParametersOld_ && *searchParametersOld_ == parameters) return;
    if (lengthWithoutSpaces(parameters.searchText) < parameters.minSearchCharCount && !hasFullDateRange(parameters)) {
        clearResults();
        return;
    }

    setBusy(true);
    if (searchTask_) searchTask_->cancel();
    searchParametersOld_ = parameters;
    CancellationToken token;
    searchTask_ = token;

    SearchRunOptions options;
    options.resultLimit = settings_.resultLimit();
    options.includeMail = settings_.mailSourceEnabled();
    options.withSnippets = true;
    options.withDisplaySnippets = true;
    options.snippetRows = snippetRowsWithResults;
    scheduler_.postToBackground([this, alive = alive_, &scheduler = scheduler_, engine = engine_, files = files_,
                                 parameters, options, token, filter = filterViewModel_.filterState()] {
        SearchOutcome outcome = engine->run(parameters, options, token);
        if (outcome.cancelled || token.isCancelled()) return;
        Published published;
        published.shown = applySearchFilter(filter, outcome.items(), outcome.matchCounts(), *files);
        published.outcome = std::move(outcome);
        published.filteredWith = filter;
        published.parameters = parameters;
        scheduler.postToMain([this, alive, token, published = std::move(published)]() mutable {
            // Checked on the main queue, where cancelling happens, so an overtaken search never lands.
            if (!*alive || token.isCancelled()) return;
            publish(std::move(published));
        });
    });
}

void ListSearchViewModel::publish(Published published) {
    searchTask_.reset();
    SearchOutcome& outcome = published.outcome;
    allItems_ = outcome.items();
    relevanceCountDict_ = outcome.matchCounts();
    publishedParameters_ = std::move(published.parameters);
    forgetSnippets();
    for (size_t i = 0; i < outcome.hits.size(); ++i) {
        SearchHit& hit = outcome.hits[i];
        if (i < snippetRowsWithResults || hit.snippet) snippetsRead_.insert(hit.item.urlString);
        if (hit.snippet) snippets_[hit.item.urlString] = std::move(*hit.snippet);
        if (hit.displaySnippet) displaySnippets_[hit.item.urlString] = std::move(*hit.displaySnippet);
    }
    items_ = std::move(published.shown);
    indexBeingBuiltHint_ = outcome.indexBeingBuilt;
    ++filterGeneration_;
    if (published.filteredWith != filterViewModel_.filterState()) refilter();

    if (selectFirstWhenResultsArrive_ && !items_.empty()) {
        selectFirstWhenResultsArrive_ = false;
        selectedItem_ = items_.front();
    } else if (selectedItem_ && std::find(items_.begin(), items_.end(), *selectedItem_) == items_.end()) {
        selectedItem_.reset();
    }
    setBusy(false);
    filterViewModel_.updateMetadata(allItems_, relevanceCountDict_);
    notify(Change::results);
    notify(Change::selection);
}

void ListSearchViewModel::clearResults() {
    if (searchTask_) searchTask_->cancel();
    searchTask_.reset();
    // Forgotten, so that typing the same text again searches again.
    searchParametersOld_.reset();
    ++filterGeneration_;
    allItems_.clear();
    items_.clear();
    publishedParameters_.reset();
    relevanceCountDict_.clear();
    forgetSnippets();
    indexBeingBuiltHint_ = false;
    selectedItem_.reset();
    filterViewModel_.cancelMetadata();
    setBusy(false);
    notify(Change::results);
    notify(Change::selection);
}

void ListSearchViewModel::cancelSearch() {
    typingPause_.reset();
    pendingText_.reset();
    if (!searchTask_) return;
    searchTask_->cancel();
    searchTask_.reset();
    searchParametersOld_.reset();
    setBusy(false);
}

void ListSearchViewModel::searchAgain() {
    const SearchParameters p = withPendingText();
    if (searchTask_) searchTask_->cancel();
    searchTask_.reset();
    searchParametersOld_.reset();
    parametersChanged(p);
}

void ListSearchViewModel::refilter() {
    const uint64_t generation = ++filterGeneration_;
    const SearchFilterState state = filterViewModel_.filterState();
    if (!filterReadsDisk(state)) {
        items_ = applySearchFilter(state, allItems_, relevanceCountDict_, *files_);
        notify(Change::results);
        return;
    }
    scheduler_.postToBackground([this, alive = alive_, &scheduler = scheduler_, files = files_, state, generation,
                                 all = allItems_, counts = relevanceCountDict_] {
        std::vector<NanItem> shown = applySearchFilter(state, all, counts, *files);
        scheduler.postToMain([this, alive, generation, shown = std::move(shown)]() mutable {
            // A newer search or filter change has replaced what this was computed from.
            if (!*alive || generation != filterGeneration_) return;
            items_ = std::move(shown);
            notify(Change::results);
        });
    });
}

void ListSearchViewModel::selectFirst() {
    selectedItem_ = items_.empty() ? std::nullopt : std::optional<NanItem>(items_.front());
    notify(Change::selection);
}

void ListSearchViewModel::select(std::optional<NanItem> item) {
    selectedItem_ = std::move(item);
    notify(Change::selection);
}

void ListSearchViewModel::forgetSnippets() {
    ++resultGeneration_;
    if (snippetTask_) snippetTask_->cancel();
    snippetTask_.reset();
    snippets_.clear();
    displaySnippets_.clear();
    snippetsRead_.clear();
    snippetsAsked_.clear();
}

void ListSearchViewModel::requestSnippets(size_t first, size_t count) {
    if (!publishedParameters_) return;
    std::vector<NanItem> wanted;
    for (size_t i = first; i < items_.size() && i - first < count; ++i) {
        const std::string& url = items_[i].urlString;
        if (!snippetsRead_.contains(url) && snippetsAsked_.insert(url).second) wanted.push_back(items_[i]);
    }
    if (wanted.empty()) return;
    if (!snippetTask_) snippetTask_ = CancellationToken();
    SearchRunOptions options;
    options.withSnippets = true;
    options.withDisplaySnippets = true;
    scheduler_.postToBackground([this, alive = alive_, &scheduler = scheduler_, engine = engine_,
                                 parameters = *publishedParameters_, options, token = *snippetTask_,
                                 generation = resultGeneration_, wanted = std::move(wanted)] {
        std::vector<SearchHit> hits = engine->snippets(parameters, wanted, options, token);
        if (hits.empty()) return;
        scheduler.postToMain([this, alive, generation, hits = std::move(hits)]() mutable {
            if (!*alive || generation != resultGeneration_) return;
            for (SearchHit& hit : hits) {
                snippetsAsked_.erase(hit.item.urlString);
                snippetsRead_.insert(hit.item.urlString);
                if (hit.snippet) snippets_[hit.item.urlString] = std::move(*hit.snippet);
                if (hit.displaySnippet) displaySnippets_[hit.item.urlString] = std::move(*hit.displaySnippet);
            }
            notify(Change::snippets);
        });
    });
}

std::optional<std::string> ListSearchViewModel::snippet(const NanItem& item) const {
    const auto found = snippets_.find(item.urlString);
    if (found == snippets_.end()) return std::nullopt;
    return found->second;
}

std::optional<DisplaySnippet> ListSearchViewModel::displaySnippet(const NanItem& item) const {
    const auto found = displaySnippets_.find(item.urlString);
    if (found == displaySnippets_.end()) return std::nullopt;
    return found->second;
}

std::string ListSearchViewModel::resultCountText() const { return search::resultCountText(resultCount()); }

std::vector<std::string> ListSearchViewModel::hints() const {
    std::vector<std::string> out;
    if (specialCharactersHint_) out.emplace_back(kSpecialCharactersHint);
    if (indexBeingBuiltHint_) out.emplace_back(kIndexBeingBuiltHint);
    return out;
}

void ListSearchViewModel::setBusy(bool busy) {
    if (busy_ == busy) return;
    busy_ = busy;
    notify(Change::busy);
}

}  // namespace lumidex::search
