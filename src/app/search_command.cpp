#include "app/search_command.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/model/date.h"
#include "core/settings/settings.h"
#include "platform/unicode.h"
#include "search/display_snippet.h"
#include "search/duplicates.h"
#include "search/file_type_category.h"
#include "search/search_engine.h"
#include "search/search_filter.h"
#include "search/search_json.h"
#include "search/search_text.h"
#include "storage/fts_balancer.h"

namespace lumidex {
namespace {

using search::SearchableFolderIndex;
using FolderList = std::vector<std::shared_ptr<SearchableFolderIndex>>;

[[noreturn]] void refuse(const std::string& command, const std::string& message) {
    std::cerr << "lumidex " << command << ": " << message << '\n';
    throw CLI::RuntimeError(1);
}

std::string normalizedPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    if (ec) p = path;
    std::string text = platform::toNfc(p.lexically_normal().string());
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::shared_ptr<SearchableFolderIndex> findFolder(const FolderList& folders, const std::string& path) {
    const std::string wanted = normalizedPath(path);
    for (const auto& folder : folders) {
        if (folder && normalizedPath(folder->rootPath()) == wanted) return folder;
    }
    return nullptr;
}

// "2024-05-01" (the whole day, UTC) or an ISO-8601 date and time.
std::optional<Date> parseDateArgument(const std::string& text, bool endOfDay) {
    if (text.size() == 10) {
        auto day = parseIso8601(text + "T00:00:00Z");
        if (day && endOfDay) day = *day + std::chrono::duration<double>(86399.999);
        return day;
    }
    return parseIso8601(text);
}

std::string oneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
    return text;
}

struct SearchCommandOptions {
    std::string query;
    std::vector<std::string> folders;
    std::string inside;
    std::string sort;
    std::string from;
    std::string to;
    std::vector<std::string> dateFields;
    bool exact = false;
    std::vector<std::string> types;
    std::vector<std::string> tags;
    int64_t minSize = 0, maxSize = 0, minPages = 0, maxPages = 0, minMatches = 0, limit = 0;
    bool json = false;
    CLI::Option* minSizeOption = nullptr;
    CLI::Option* maxSizeOption = nullptr;
    CLI::Option* minPagesOption = nullptr;
    CLI::Option* maxPagesOption = nullptr;
    CLI::Option* limitOption = nullptr;
};

SearchParameters buildParameters(const SearchCommandOptions& o, const FolderList& folders, const Settings& settings) {
    SearchParameters p = searchParametersFromSettings(settings);
    p.searchText = o.query;
    // Every configured folder unless some are named.
    p.rootFolderUrlStrings.clear();
    for (const std::string& path : o.folders) {
        const auto folder = findFolder(folders, path);
        if (!folder) refuse("search", "not a searchable folder: " + path);
        p.rootFolderUrlStrings.insert(folder->rootPath());
    }
    if (!o.inside.empty()) p.searchInsideUrl = normalizedPath(o.inside);
    if (!o.sort.empty()) p.sortOrder = *sortOrderFromRaw(o.sort);
    if (!o.from.empty() || !o.to.empty()) {
        p.startDate = parseDateArgument(o.from.empty() ? "1970-01-01" : o.from, false);
        p.endDate = parseDateArgument(o.to.empty() ? "9999-12-31" : o.to, true);
        if (!p.startDate) refuse("search", "invalid date: " + o.from + " (use YYYY-MM-DD or an ISO-8601 time)");
        if (!p.endDate) refuse("search", "invalid date: " + o.to + " (use YYYY-MM-DD or an ISO-8601 time)");
    }
    if (!o.dateFields.empty()) {
        p.dateSearchParameter.rawValue = 0;
        for (const std::string& field : o.dateFields) {
            if (field == "created") p.dateSearchParameter.rawValue |= DateSearchParameters::created;
            if (field == "modified") p.dateSearchParameter.rawValue |= DateSearchParameters::modified;
            if (field == "content_created") p.dateSearchParameter.rawValue |= DateSearchParameters::contentCreated;
        }
    }
    p.searchWithQuotes = o.exact;
    return p;
}

search::SearchFilterState buildFilter(const SearchCommandOptions& o) {
    search::SearchFilterState state;
    for (const std::string& type : o.types) state.selectedFileTypes.insert(*search::fileTypeCategoryFromRaw(type));
    state.selectedFinderTags.insert(o.tags.begin(), o.tags.end());
    if (*o.minSizeOption) state.fileSizeMin = o.minSize;
    if (*o.maxSizeOption) state.fileSizeMax = o.maxSize;
    if (*o.minPagesOption) state.pageCountMin = o.minPages;
    if (*o.maxPagesOption) state.pageCountMax = o.maxPages;
    state.minimumMatchCount = o.minMatches;
    return state;
}

// How matched words are set off in a passage: bold on a terminal, unmarked elsewhere, so that piped
// output is the document's own words, as a person would copy or grep them.
struct Emphasis {
    std::string_view open;
    std::string_view close;
};

Emphasis emphasisForStdout() {
    const char* noColor = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    const bool styled = ::isatty(STDOUT_FILENO) == 1 && (noColor == nullptr || *noColor == '\0') &&
                        !(term != nullptr && std::string_view(term) == "dumb");
    if (styled) return {"\x1b[1m", "\x1b[22m"};
    return {};
}

void printHits(const std::vector<search::SearchHit>& hits, const Emphasis& emphasis) {
    for (const search::SearchHit& hit : hits) {
        const NanItem& item = hit.item;
        std::cout << item.fileName << '\n'
                  << "  folder: " << item.rootFolderUrl << "  matches: " << hit.matchCount
                  << "  modified: " << iso8601String(item.fileModifiedDate) << '\n';
        if (item.type == NanItemTypes::file) std::cout << "  path: " << item.urlString << '\n';
        if (item.mailbox) std::cout << "  mailbox: " << *item.mailbox << '\n';
        if (hit.displaySnippet) {
            std::cout << "  " << search::renderDisplaySnippet(*hit.displaySnippet, emphasis.open, emphasis.close)
                      << '\n';
        } else if (hit.snippet && !hit.snippet->empty()) {
            std::cout << "  " << oneLine(*hit.snippet) << '\n';  // no original text stored (older index)
        }
    }
}

// Runs one search and prints it: human-readable or as JSON. `resultLimit` 0 shows every hit.
// Returns false when part of the index could not be read, so the answer may be missing documents.
bool executeSearch(const SearchParameters& parameters, const search::SearchFilterState& filter, int64_t resultLimit,
                   bool json, const FolderList& folders, const MailSourceFunction& mail) {
    const Settings settings = Settings::shared();
    search::SearchOutcome outcome;
    std::string note;
    std::string unreadable;
    const bool hasDateRange = parameters.startDate && parameters.endDate;
    if (search::lengthWithoutSpaces(parameters.searchText) < parameters.minSearchCharCount && !hasDateRange) {
        note = "the search text needs at least " + std::to_string(parameters.minSearchCharCount) +
               " characters (startSearchCharacterCountKey)";
        outcome.ignoredCharacters =
            search::withoutIgnoredCharacters(parameters.searchText, parameters.searchWithQuotes).ignoredSomething;
    } else {
        search::SearchRunOptions options;
        if (resultLimit > 0) options.resultLimit = resultLimit;
        options.withDisplaySnippets = true;
        options.displayReplacesFolded = !json;  // --json callers keep the folded snippet
        std::shared_ptr<search::MailSearchSource> mailSource;
        if (settings.mailSourceEnabled() && mail) mailSource = mail();
        options.includeMail = mailSource != nullptr;
        // The engine lists the folders again after querying, to drop one removed meanwhile.
        const search::SearchEngine engine([&folders] { return folders; }, mailSource);
        outcome = engine.run(parameters, options, CancellationToken());
        for (const auto& folder : folders) {
            if (const auto damaged = folder->ftsBalancer().damagedShards(); !damaged.empty()) {
                unreadable += std::to_string(damaged.size()) + " of the index files of " + folder->rootPath() + ", ";
            }
            folder->closeStores();
        }
        if (options.resultLimit && outcome.countBeforeLimit > outcome.hits.size()) {
            note = "showing the first " + std::to_string(outcome.hits.size()) + " of " +
                   std::to_string(outcome.countBeforeLimit) + " hits; --limit 0 shows all";
        }
    }

    const auto matchCounts = outcome.matchCounts();
    std::vector<search::SearchHit> shown;
    for (search::SearchHit& hit : outcome.hits) {
        if (filter.activeFilterCount() == 0 ||
            search::passesSearchFilter(filter, hit.item, matchCounts, *search::systemFileInfoReader())) {
            shown.push_back(std::move(hit));
        }
    }
    std::vector<std::string> hints;
    if (outcome.ignoredCharacters) hints.emplace_back(search::kSpecialCharactersHint);
    if (outcome.indexBeingBuilt) hints.emplace_back(search::kIndexBeingBuiltHint);

    if (json) {
        std::cout << search::searchResultsJson(parameters.searchText, shown, shown.size(), hints) << '\n';
    } else {
        printHits(shown, emphasisForStdout());
        if (!shown.empty()) std::cout << '\n';
        std::cout << search::resultCountText(static_cast<int64_t>(shown.size())) << '\n';
        for (const std::string& hint : hints) std::cout << hint << '\n';
    }
    if (!note.empty()) std::cerr << "lumidex search: " << note << '\n';
    if (unreadable.empty()) return true;
    unreadable.resize(unreadable.size() - 2);
    std::cerr << "lumidex search: " << unreadable << " could not be read (damaged); documents may be missing "
              << "from these results. `lumidex scan` rebuilds them.\n";
    return false;
}

void runSearch(const SearchCommandOptions& o, const search::FolderListFunction& listFolders,
               const MailSourceFunction& mail) {
    const Settings settings = Settings::shared();
    const FolderList folders = listFolders ? listFolders() : FolderList{};
    const SearchParameters parameters = buildParameters(o, folders, settings);
    const search::SearchFilterState filter = buildFilter(o);
    const int64_t limit = *o.limitOption ? std::max<int64_t>(o.limit, 0) : settings.resultLimit().value_or(0);
    if (!executeSearch(parameters, filter, limit, o.json, folders, mail)) throw CLI::RuntimeError(2);
}

void printDuplicates(SearchableFolderIndex& folder) {
    folder.waitForInitToComplete();
    search::DuplicateGroups groups;
    const search::DuplicatesProducerClock clock{[] { return std::chrono::steady_clock::now(); }};
    std::vector<NanItem> items = folder.allItems();
    folder.closeStores();
    search::produceDuplicateGroups(std::move(items), clock, CancellationToken(),
                                   [&](search::DuplicateGroups partial) {
                                       search::mergeDuplicateGroups(groups, std::move(partial));
                                   });
    std::cout << "Duplicates in " << folder.rootPath() << '\n';
    const auto rows = search::duplicateRows(groups);
    if (rows.empty()) {
        std::cout << search::kNoDuplicatesFoundText << '\n';
        return;
    }
    for (const search::DuplicateItemViewModel& row : rows) {
        switch (row.type) {
            case search::DuplicateItemViewModelTypes::header:
                std::cout << "  Same text (content hash " << row.groupId << "), "
                          << groups.at(row.groupId).size() << " documents:\n";
                break;
            case search::DuplicateItemViewModelTypes::duplicate:
                std::cout << "    " << iso8601String(row.modificationDate) << "  " << row.nanItem->urlString << '\n';
                break;
            case search::DuplicateItemViewModelTypes::seperator: std::cout << '\n'; break;
        }
    }
}

}  // namespace

void searchAndPrint(const std::string& query, const search::FolderListFunction& listFolders) {
    const Settings settings = Settings::shared();
    const FolderList folders = listFolders ? listFolders() : FolderList{};
    SearchParameters parameters = searchParametersFromSettings(settings);
    parameters.searchText = query;
    parameters.rootFolderUrlStrings.clear();
    executeSearch(parameters, search::SearchFilterState{}, settings.resultLimit().value_or(0), false, folders, {});
}

void addSearchCommand(CLI::App& app, search::FolderListFunction folders, MailSourceFunction mail) {
    auto options = std::make_shared<SearchCommandOptions>();
    CLI::App* sub = app.add_subcommand("search", "Search the indexed documents");
    sub->footer(
        "Words match as prefixes and must all occur; \"quoted words\" form a phrase; -word excludes documents\n"
        "containing it. Words shorter than startSearchCharacterCountKey are ignored. Dates are UTC.\n"
        "Put -- before a search text that starts with -, e.g. lumidex search -- -draft invoice");
    sub->add_option("query", options->query, "The search text")->required();
    sub->add_option("--folder", options->folders, "Search only this searchable folder (repeatable; default: all)");
    sub->add_option("--inside", options->inside, "Search only documents inside this folder or below");
    std::vector<std::string> orders{"a2z", "z2a", "new2Old", "old2New", "relevance"};
    sub->add_option("--sort", options->sort, "Sort order (default: the sortOrderKey setting)")
        ->check(CLI::IsMember(orders));
    sub->add_option("--from", options->from, "Date range start, YYYY-MM-DD or ISO-8601");
    sub->add_option("--to", options->to, "Date range end (inclusive), YYYY-MM-DD or ISO-8601");
    sub->add_option("--date-field", options->dateFields, "Date the range applies to (repeatable; default: any)")
        ->check(CLI::IsMember({"created", "modified", "content_created"}));
    sub->add_flag("--exact", options->exact, "Treat the whole text as one phrase");
    std::vector<std::string> types;
    for (auto category : search::allFileTypeCategories()) types.emplace_back(search::rawValue(category));
    sub->add_option("--type", options->types, "Keep only this kind of file (repeatable)")->check(CLI::IsMember(types));
    sub->add_option("--tag", options->tags, "Keep only files with this tag (repeatable: any of them)");
    options->minSizeOption = sub->add_option("--min-size", options->minSize, "Smallest file size in bytes")
                                 ->check(CLI::NonNegativeNumber);
    options->maxSizeOption = sub->add_option("--max-size", options->maxSize, "Largest file size in bytes")
                                 ->check(CLI::NonNegativeNumber);
    options->minPagesOption = sub->add_option("--min-pages", options->minPages, "Fewest pages")
                                  ->check(CLI::NonNegativeNumber);
    options->maxPagesOption = sub->add_option("--max-pages", options->maxPages, "Most pages")
                                  ->check(CLI::NonNegativeNumber);
    sub->add_option("--min-matches", options->minMatches, "Fewest matches of the search words")
        ->check(CLI::NonNegativeNumber);
    options->limitOption = sub->add_option("--limit", options->limit,
                                           "Most results (0: no limit; default: the limitSearchResultsTypeKey setting)")
                               ->check(CLI::NonNegativeNumber);
    sub->add_flag("--json", options->json, "Print the results as JSON");
    sub->callback([options, folders = std::move(folders), mail = std::move(mail)] {
        runSearch(*options, folders, mail);
    });
}

void addDuplicatesCommand(CLI::App& app, search::FolderListFunction folders) {
    auto folderArgument = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand("duplicates", "List documents whose extracted text is the same");
    sub->add_option("folder", *folderArgument, "The searchable folder to scan (default: every one)");
    sub->callback([folderArgument, folders = std::move(folders)] {
        const FolderList all = folders ? folders() : FolderList{};
        if (!folderArgument->empty()) {
            const auto folder = findFolder(all, *folderArgument);
            if (!folder) refuse("duplicates", "not a searchable folder: " + *folderArgument);
            printDuplicates(*folder);
            return;
        }
        if (all.empty()) refuse("duplicates", "no searchable folders are configured");
        for (const auto& folder : all) {
            if (folder) printDuplicates(*folder);
        }
    });
}

}  // namespace lumidex
