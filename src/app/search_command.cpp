#include "app/search_command.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "core/settings/settings.h"
#include "folders/scanning/on_disk_path.h"
#include "search/display_snippet.h"
#include "search/duplicates.h"
#include "search/file_type_category.h"
#include "search/search_engine.h"
#include "search/search_filter.h"
#include "search/search_json.h"
#include "search/search_text.h"
#include "service/search_service.h"

namespace lumidex {
namespace {

using search::SearchableFolderIndex;
using FolderList = std::vector<std::shared_ptr<SearchableFolderIndex>>;

[[noreturn]] void refuse(const std::string& command, const std::string& message) {
    std::cerr << "lumidex " << command << ": " << message << '\n';
    throw CLI::RuntimeError(1);
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
    bool paths = false;
    bool null = false;
    CLI::Option* minSizeOption = nullptr;
    CLI::Option* maxSizeOption = nullptr;
    CLI::Option* minPagesOption = nullptr;
    CLI::Option* maxPagesOption = nullptr;
    CLI::Option* limitOption = nullptr;
};

service::SearchQuery buildQuery(const SearchCommandOptions& o, const service::SearchService& searches) {
    service::SearchQuery query;
    query.text = o.query;
    // Every configured folder unless some are named.
    for (const std::string& path : o.folders) {
        const auto folder = searches.findFolder(path);
        if (!folder) refuse("search", "not a searchable folder: " + path);
        query.folders.insert(folder->rootPath());
    }
    if (!o.inside.empty()) query.inside = o.inside;
    if (!o.sort.empty()) query.sortOrder = service::knownSortOrder(o.sort);
    if (!o.from.empty()) {
        query.from = service::parseDayOrTime(o.from, false);
        if (!query.from) refuse("search", "invalid date: " + o.from + " (use YYYY-MM-DD or an ISO-8601 time)");
    }
    if (!o.to.empty()) {
        query.to = service::parseDayOrTime(o.to, true);
        if (!query.to) refuse("search", "invalid date: " + o.to + " (use YYYY-MM-DD or an ISO-8601 time)");
    }
    query.dateFields = service::dateFieldsFromWords(o.dateFields);
    query.exactPhrase = o.exact;
    return query;
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
        // A message's folder is its mailbox, as in the JSON output: the internal root of mail hits means nothing.
        const bool mail = item.type == NanItemTypes::emailMessage;
        std::cout << item.fileName << '\n'
                  << "  folder: " << (mail ? item.mailbox.value_or(std::string()) : item.rootFolderUrl)
                  << "  matches: " << hit.matchCount
                  << "  modified: " << iso8601String(item.fileModifiedDate) << '\n';
        if (item.type == NanItemTypes::file) std::cout << "  path: " << item.urlString << '\n';
        if (item.mailbox && !mail) std::cout << "  mailbox: " << *item.mailbox << '\n';
        if (hit.displaySnippet) {
            std::cout << "  " << search::renderDisplaySnippet(*hit.displaySnippet, emphasis.open, emphasis.close)
                      << '\n';
        } else if (hit.snippet && !hit.snippet->empty()) {
            std::cout << "  " << oneLine(*hit.snippet) << '\n';  // no original text stored (older index)
        }
    }
}

enum class Output { text, json, paths, nullEndedPaths };

// Runs one search and prints it: human-readable, as JSON, or only the paths (for scripts; no passage is
// computed). `resultLimit` 0 shows every hit. Returns false when part of the index could not be read, so
// the answer may be missing documents.
bool executeSearch(service::SearchQuery query, int64_t resultLimit, Output output,
                   const service::SearchService& searches) {
    if (resultLimit > 0) query.limit = resultLimit;
    const bool pathsOnly = output == Output::paths || output == Output::nullEndedPaths;
    query.withSnippets = !pathsOnly;
    query.withDisplaySnippets = !pathsOnly;
    query.displayReplacesFolded = output == Output::text;  // --json callers keep the folded snippet
    query.mail = Settings::shared().mailSourceEnabled();
    const service::SearchPage page = searches.run(query);
    searches.closeStores();

    std::string note;
    if (page.textTooShort) {
        const auto minimum = query.minimumCharacters.value_or(Settings::shared().minSearchCharCount());
        note = "the search text needs at least " + std::to_string(minimum) +
               " characters (startSearchCharacterCountKey)";
    } else if (query.limit && page.totalCount > static_cast<int64_t>(page.hits.size())) {
        note = "showing the first " + std::to_string(page.hits.size()) + " of " + std::to_string(page.totalCount) +
               " hits; --limit 0 shows all";
    }
    std::vector<std::string> hints;
    if (page.ignoredCharacters) hints.emplace_back(search::kSpecialCharactersHint);
    if (page.indexBeingBuilt) hints.emplace_back(search::kIndexBeingBuiltHint);

    if (output == Output::json) {
        std::cout << search::searchResultsJson(query.text, page.hits, page.hits.size(), hints) << '\n';
    } else if (pathsOnly) {
        // Only paths on standard output, as other commands open them: the file's own spelling of a name,
        // not the composed form the index keeps.
        const char end = output == Output::nullEndedPaths ? '\0' : '\n';
        for (const search::SearchHit& hit : page.hits) {
            const NanItem& item = hit.item;
            std::cout << (item.type == NanItemTypes::file ? folders::onDiskPath(item.urlString) : item.urlString) << end;
        }
        for (const std::string& hint : hints) std::cerr << "lumidex search: " << hint << '\n';
    } else {
        printHits(page.hits, emphasisForStdout());
        if (!page.hits.empty()) std::cout << '\n';
        std::cout << search::resultCountText(static_cast<int64_t>(page.hits.size())) << '\n';
        for (const std::string& hint : hints) std::cout << hint << '\n';
    }
    if (!note.empty()) std::cerr << "lumidex search: " << note << '\n';
    if (page.unreadableFolders.empty()) return true;
    std::string unreadable;
    for (const std::string& folder : page.unreadableFolders) unreadable += (unreadable.empty() ? "" : ", ") + folder;
    std::cerr << "lumidex search: " << unreadable << " could not be read (damaged); documents may be missing "
              << "from these results. `lumidex scan` rebuilds them.\n";
    return false;
}

void runSearch(const SearchCommandOptions& o, const search::FolderListFunction& listFolders,
               const MailSourceFunction& mail) {
    const Settings settings = Settings::shared();
    const service::SearchService searches(listFolders, mail);
    service::SearchQuery query = buildQuery(o, searches);
    query.filter = buildFilter(o);
    const int64_t limit = *o.limitOption ? std::max<int64_t>(o.limit, 0) : settings.resultLimit().value_or(0);
    const Output output = o.json    ? Output::json
                          : o.null  ? Output::nullEndedPaths
                          : o.paths ? Output::paths
                                    : Output::text;
    if (!executeSearch(std::move(query), limit, output, searches)) throw CLI::RuntimeError(2);
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
    service::SearchQuery request;
    request.text = query;
    executeSearch(std::move(request), Settings::shared().resultLimit().value_or(0), Output::text,
                  service::SearchService(listFolders));
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
    CLI::Option* json = sub->add_flag("--json", options->json, "Print the results as JSON");
    CLI::Option* paths =
        sub->add_flag("--paths", options->paths,
                      "Print only the paths of the documents found, one per line (mail:<id> for a message)")
            ->excludes(json);
    sub->add_flag("--null", options->null, "With --paths: end each path with a NUL byte instead (for xargs -0)")
        ->needs(paths);
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
            const auto folder = service::SearchService([&all] { return all; }).findFolder(*folderArgument);
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
