// One search over the index as every way in asks it (command line, local API, window): the words of
// the sort orders, the date range, the narrowing filters and the paging are read and applied here, so
// that the same request gives the same documents whichever door it came through.
//
// Thread-safety: a SearchService is immutable after construction; run() may be called from any number
// of threads at once (the search engine and the stores serialise their own work). Failure behaviour:
// nothing throws for any search text; a folder whose index cannot be read contributes nothing and is
// named in SearchPage::unreadableFolders.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/date.h"
#include "core/model/search_parameters.h"
#include "search/search_engine.h"
#include "search/search_filter.h"
#include "search/searchable_folder.h"

namespace lumidex::service {

using MailSourceFunction = std::function<std::shared_ptr<search::MailSearchSource>()>;

// The sort order for a word, compared case-insensitively: "newest"/"new2old", "oldest"/"old2new",
// "a2z"/"name_asc", "z2a"/"name_desc", "relevance". Anything else (and no word) is newest first.
SortOrders sortOrderFromWord(std::string_view word);
// The same, but nullopt for a word that names no order (the command line refuses those).
std::optional<SortOrders> knownSortOrder(std::string_view word);

// "yyyy-MM-dd" as the first instant of that UTC day, or with `endOfDay` its last (23:59:59.999), so a
// range ending on a day includes everything dated that day. nullopt for anything else.
std::optional<Date> parseDay(std::string_view text, bool endOfDay);
// A day as above, or a full ISO-8601 date and time.
std::optional<Date> parseDayOrTime(std::string_view text, bool endOfDay);

// The date fields a range applies to: "created", "modified", "content_created" (other words are
// ignored); all three when no word names one.
DateSearchParameters dateFieldsFromWords(const std::vector<std::string>& words);

struct SearchQuery {
    std::string text;
    // Searchable folder paths; empty searches every folder. A path that names no searchable folder
    // contributes nothing.
    std::set<std::string> folders;
    std::optional<std::string> inside;  // only documents in this folder or below
    std::optional<SortOrders> sortOrder;  // nullopt: the sortOrderKey setting
    // A range needs at least one end; the open end reaches to the beginning or end of time.
    std::optional<Date> from;
    std::optional<Date> to;
    DateSearchParameters dateFields{};
    bool exactPhrase = false;
    std::optional<bool> fuzzy;                   // nullopt: as a new search starts
    std::optional<int64_t> minimumCharacters;  // nullopt: the startSearchCharacterCountKey setting
    search::SearchFilterState filter;  // narrows the hits found (types, tags, sizes, pages, matches)
    bool files = true;                 // search the documents of the folders
    bool mail = false;                 // also the mail index, when one is available
    // Paging over the ranked hits: `offset` skipped, then at most `limit` (nullopt: all). `rowCap`
    // bounds how many ranked hits are considered at all (and so the total reported).
    int64_t offset = 0;
    std::optional<int64_t> limit;
    std::optional<int64_t> rowCap;
    bool namesIgnoreCase = false;  // a2z/z2a by lower-cased name instead of the stores' byte order
    bool withSnippets = true;
    bool withDisplaySnippets = false;
    bool displayReplacesFolded = false;
};

struct SearchPage {
    std::vector<search::SearchHit> hits;  // the requested page
    int64_t totalCount = 0;               // hits before paging (after the row cap and the filters)
    // The search text has fewer characters than the minimum word length and no date range was given:
    // nothing was searched.
    bool textTooShort = false;
    bool indexBeingBuilt = false;
    bool ignoredCharacters = false;
    // "<n> of the index files of <folder>" for each folder whose index is damaged in part.
    std::vector<std::string> unreadableFolders;
};

// What a search for an outside client (local API, AI tools) answers: a refusal message, or the page.
struct ClientSearchOutcome {
    std::optional<std::string> refusal;
    SearchPage page;
};

class SearchService {
public:
    static constexpr int64_t clientRowCap = 500;
    static constexpr int64_t clientMinimumCharacters = 3;

    // `folders` lists the configured folders at call time; `mail` yields the mail index or null.
    explicit SearchService(search::FolderListFunction folders, MailSourceFunction mail = {});

    SearchPage run(const SearchQuery& query) const;
    // run() under the rules outside clients are promised: a text of at least 3 user-perceived
    // characters ("Query must be at least 3 characters"), every folder when none is named ("No search
    // folders available" when there is none), words from 3 characters, at most 500 ranked hits, names
    // ordered without regard to case.
    ClientSearchOutcome runForClient(SearchQuery query) const;
    // The configured folders' paths, as SearchQuery::folders names them.
    std::vector<std::string> folderPaths() const;
    // The configured folder for a path in any spelling (relative, trailing slash, not NFC), or null.
    std::shared_ptr<search::SearchableFolderIndex> findFolder(const std::string& path) const;
    // Releases the stores' connections (the one-shot commands do so before printing).
    void closeStores() const;

    const search::FolderListFunction& folders() const { return folders_; }

private:
    search::FolderListFunction folders_;
    MailSourceFunction mail_;
};

// A path as the search compares folder paths: absolute, NFC, lexically normal, no trailing "/"; a
// leading "file://" is dropped.
std::string normalizedSearchPath(const std::string& path);

}  // namespace lumidex::service
