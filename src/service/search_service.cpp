#include "service/search_service.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "core/concurrency/cancellation_token.h"
#include "core/settings/settings.h"
#include "platform/unicode.h"
#include "search/search_text.h"
#include "storage/fts_balancer.h"

namespace lumidex::service {
namespace {

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

}  // namespace

std::optional<SortOrders> knownSortOrder(std::string_view word) {
    const std::string lower = asciiLower(word);
    if (lower == "newest" || lower == "new2old") return SortOrders::new2Old;
    if (lower == "oldest" || lower == "old2new") return SortOrders::old2New;
    if (lower == "a2z" || lower == "name_asc") return SortOrders::a2z;
    if (lower == "z2a" || lower == "name_desc") return SortOrders::z2a;
    if (lower == "relevance") return SortOrders::relevance;
    return std::nullopt;
}

SortOrders sortOrderFromWord(std::string_view word) { return knownSortOrder(word).value_or(SortOrders::new2Old); }

std::optional<Date> parseDay(std::string_view text, bool endOfDay) {
    const bool shaped = text.size() == 10 && text[4] == '-' && text[7] == '-' &&
                        std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
    if (!shaped) return std::nullopt;
    auto day = parseIso8601(std::string(text) + "T00:00:00Z");
    // parseIso8601 does not check the day against its month; a day that does not exist is no day.
    if (!day || iso8601String(*day).substr(0, 10) != text) return std::nullopt;
    if (endOfDay) day = *day + std::chrono::duration<double>(86399.999);
    return day;
}

std::optional<Date> parseDayOrTime(std::string_view text, bool endOfDay) {
    if (text.size() == 10) return parseDay(text, endOfDay);
    return parseIso8601(text);
}

DateSearchParameters dateFieldsFromWords(const std::vector<std::string>& words) {
    DateSearchParameters fields;
    fields.rawValue = 0;
    for (const std::string& word : words) {
        if (word == "created") fields.rawValue |= DateSearchParameters::created;
        if (word == "modified") fields.rawValue |= DateSearchParameters::modified;
        if (word == "content_created") fields.rawValue |= DateSearchParameters::contentCreated;
    }
    if (fields.rawValue == 0) fields = DateSearchParameters{};
    return fields;
}

std::string normalizedSearchPath(const std::string& path) {
    const std::string_view withoutScheme =
        std::string_view(path).starts_with("file://") ? std::string_view(path).substr(7) : std::string_view(path);
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(withoutScheme, ec);
    if (ec) p = withoutScheme;
    std::string text = platform::toNfc(p.lexically_normal().string());
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

SearchService::SearchService(search::FolderListFunction folders, MailSourceFunction mail)
    : folders_(std::move(folders)), mail_(std::move(mail)) {}

std::vector<std::string> SearchService::folderPaths() const {
    std::vector<std::string> paths;
    if (!folders_) return paths;
    for (const auto& folder : folders_()) {
        if (folder) paths.push_back(folder->rootPath());
    }
    return paths;
}

std::shared_ptr<search::SearchableFolderIndex> SearchService::findFolder(const std::string& path) const {
    if (!folders_) return nullptr;
    const std::string wanted = normalizedSearchPath(path);
    for (auto& folder : folders_()) {
        if (folder && normalizedSearchPath(folder->rootPath()) == wanted) return folder;
    }
    return nullptr;
}

void SearchService::closeStores() const {
    if (!folders_) return;
    for (const auto& folder : folders_()) {
        if (folder) folder->closeStores();
    }
}

ClientSearchOutcome SearchService::runForClient(SearchQuery query) const {
    ClientSearchOutcome outcome;
    if (static_cast<int64_t>(platform::characterCount(query.text)) < clientMinimumCharacters) {
        outcome.refusal = "Query must be at least 3 characters";
        return outcome;
    }
    if (query.folders.empty()) {
        for (std::string& path : folderPaths()) query.folders.insert(std::move(path));
    }
    if (query.folders.empty()) {
        outcome.refusal = "No search folders available";
        return outcome;
    }
    query.minimumCharacters = clientMinimumCharacters;
    query.rowCap = clientRowCap;
    query.namesIgnoreCase = true;
    outcome.page = run(query);
    return outcome;
}

SearchPage SearchService::run(const SearchQuery& query) const {
    const Settings settings = Settings::shared();
    SearchParameters parameters = searchParametersFromSettings(settings);
    parameters.searchText = query.text;
    parameters.rootFolderUrlStrings.clear();
    for (const std::string& folder : query.folders) parameters.rootFolderUrlStrings.insert(normalizedSearchPath(folder));
    if (query.inside) parameters.searchInsideUrl = normalizedSearchPath(*query.inside);
    if (query.sortOrder) parameters.sortOrder = *query.sortOrder;
    if (query.from || query.to) {
        parameters.startDate = query.from.value_or(*parseDay("1970-01-01", false));
        parameters.endDate = query.to.value_or(*parseDay("9999-12-31", true));
    }
    parameters.dateSearchParameter = query.dateFields;
    parameters.searchWithQuotes = query.exactPhrase;
    if (query.fuzzy) parameters.fuzzySearch = *query.fuzzy;
    if (query.minimumCharacters) parameters.minSearchCharCount = *query.minimumCharacters;

    SearchPage page;
    const bool hasDateRange = parameters.startDate && parameters.endDate;
    if (search::lengthWithoutSpaces(parameters.searchText) < parameters.minSearchCharCount && !hasDateRange) {
        page.textTooShort = true;
        page.ignoredCharacters =
            search::withoutIgnoredCharacters(parameters.searchText, parameters.searchWithQuotes).ignoredSomething;
        return page;
    }

    // The engine ranks across folders and mail and cuts to its limit; only the rows up to the end of the
    // requested page need snippets, unless a filter may still drop some of them.
    search::SearchRunOptions options;
    const bool filtered = query.filter.activeFilterCount() > 0;
    if (query.limit && !filtered) {
        const int64_t offset = std::max<int64_t>(query.offset, 0);
        const int64_t limit = std::max<int64_t>(*query.limit, 0);
        options.resultLimit = offset > INT64_MAX - limit ? INT64_MAX : offset + limit;
    }
    if (query.rowCap) options.resultLimit = std::min(options.resultLimit.value_or(*query.rowCap), *query.rowCap);
    options.namesIgnoreCase = query.namesIgnoreCase;
    options.withSnippets = query.withSnippets;
    options.withDisplaySnippets = query.withDisplaySnippets;
    options.displayReplacesFolded = query.displayReplacesFolded;
    std::shared_ptr<search::MailSearchSource> mailSource;
    if (query.mail && mail_) mailSource = mail_();
    options.includeMail = mailSource != nullptr;

    std::vector<std::shared_ptr<search::SearchableFolderIndex>> folders;
    if (query.files && folders_) folders = folders_();
    // The engine lists the folders again after querying, to drop one removed meanwhile.
    const search::SearchEngine engine([&folders] { return folders; }, mailSource);
    search::SearchOutcome outcome = engine.run(parameters, options, CancellationToken());
    for (const auto& folder : engine.selectedFolders(parameters)) {
        if (const auto damaged = folder->ftsBalancer().damagedShards(); !damaged.empty()) {
            page.unreadableFolders.push_back(std::to_string(damaged.size()) + " of the index files of " +
                                             folder->rootPath());
        }
    }
    page.indexBeingBuilt = outcome.indexBeingBuilt;
    page.ignoredCharacters = outcome.ignoredCharacters;

    std::vector<search::SearchHit> kept;
    if (filtered) {
        const auto matchCounts = outcome.matchCounts();
        for (search::SearchHit& hit : outcome.hits) {
            if (search::passesSearchFilter(query.filter, hit.item, matchCounts, *search::systemFileInfoReader())) {
                kept.push_back(std::move(hit));
            }
        }
        page.totalCount = static_cast<int64_t>(kept.size());
    } else {
        kept = std::move(outcome.hits);
        page.totalCount = static_cast<int64_t>(outcome.countBeforeLimit);
        if (query.rowCap) page.totalCount = std::min(page.totalCount, *query.rowCap);
    }
    const size_t first = std::min(kept.size(), static_cast<size_t>(std::max<int64_t>(query.offset, 0)));
    size_t last = kept.size();
    if (query.limit) last = std::min(last, first + static_cast<size_t>(std::max<int64_t>(*query.limit, 0)));
    page.hits.assign(std::make_move_iterator(kept.begin() + static_cast<std::ptrdiff_t>(first)),
                     std::make_move_iterator(kept.begin() + static_cast<std::ptrdiff_t>(last)));
    return page;
}

}  // namespace lumidex::service
