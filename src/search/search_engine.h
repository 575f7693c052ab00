// Runs one search over the full-text stores of the selected searchable folders (each over its 20
// shards, folders concurrently) and the optional mail index, and returns one ranked, limited list.
//
// Selection: a folder takes part when its root path is in SearchParameters::rootFolderUrlStrings (an
// empty set selects every configured folder); with `searchInsideUrl` set, only the folder containing
// that path takes part and the stores keep only documents below it.
// Order: the SQL order of the sort order, applied across folders and mail; `relevance` orders by match
// count, highest first, equal counts staying newest first. Rows that rank equal keep the order in which
// folders and stores delivered them, so a limited search returns exactly the first rows of the unlimited
// one. Hits are ranked by their sort keys alone (SearchableFolderIndex::sortKeysForCombinedHashes) where
// the folder offers them; only the rows that survive the limit are read whole and given snippets.
//
// Thread-safety: run() may be called from any thread, also concurrently; it blocks while the stores
// work. Failure behaviour: never throws for any search text. A folder that throws, or that was removed
// while the search ran, contributes nothing; a failing shard contributes nothing (the stores log it).
// Cancellation is checked between stages; a cancelled run returns `cancelled` and no hits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "core/model/nan_item.h"
#include "core/model/search_parameters.h"
#include "search/display_snippet.h"
#include "search/searchable_folder.h"

namespace lumidex {
class ThreadPool;
}

namespace lumidex::search {

struct SearchRunOptions {
    std::optional<int64_t> resultLimit;  // nullopt: keep every hit
    bool withSnippets = true;
    // With snippets: also the passage in the document's own words, for hits whose original text is
    // stored and holds a search word (the others keep only the folded snippet).
    bool withDisplaySnippets = false;
    // A hit with a display passage gets no folded snippet: for readers who see only one of them, it
    // saves the full-text store's snippet work.
    bool displayReplacesFolded = false;
    // With snippets: only the first this many rows get them (nullopt: every row). A list that shows a
    // screenful at a time asks for the others with SearchEngine::snippets when they come into view.
    std::optional<size_t> snippetRows;
    bool includeMail = false;            // the "mailSourceEnabled" setting
    // a2z and z2a compare lower-cased names (the order outside clients are promised) instead of the
    // stores' byte order.
    bool namesIgnoreCase = false;
};

struct SearchHit {
    NanItem item;
    std::optional<std::string> snippet;  // folded spelling, from the full-text store
    std::optional<DisplaySnippet> displaySnippet;
    int64_t matchCount = 1;
};

using MatchCounts = std::unordered_map<uint32_t, int64_t>;  // combinedHash -> match count

struct SearchOutcome {
    bool cancelled = false;
    std::vector<SearchHit> hits;
    size_t countBeforeLimit = 0;
    bool indexBeingBuilt = false;    // a searched folder was still indexing
    bool ignoredCharacters = false;  // words or characters were left out of the query

    std::vector<NanItem> items() const;
    MatchCounts matchCounts() const;
};

// The log line written when the result limit cuts the list.
std::string resultLimitLogLine(size_t count, int64_t limit);

// Mail results are keyed like documents: combinedHash is the FNV-1a hash of the "mail:" URL string.
NanItem mailResultItem(const MailSearchHit& hit, const std::string& mailRootFolderUrl);

class SearchEngine {
public:
    // `pool`: where folder and shard queries fan out (the shared pool when null); must outlive the engine.
    explicit SearchEngine(FolderListFunction folders, std::shared_ptr<MailSearchSource> mail = nullptr,
                          ThreadPool* pool = nullptr);

    SearchOutcome run(const SearchParameters& parameters, const SearchRunOptions& options,
                      const CancellationToken& token) const;

    // The snippets run() would have given these results of a search with the same parameters and
    // options: one hit per item, in the given order, with `item` copied and `snippet`/`displaySnippet`
    // filled where there is one (mail results get theirs only from run()). Items are matched to folders
    // by their rootFolderUrl; an item of a folder no longer searched gets none. Same thread-safety and
    // failure behaviour as run(); a cancelled call returns no hits.
    std::vector<SearchHit> snippets(const SearchParameters& parameters, const std::vector<NanItem>& items,
                                    const SearchRunOptions& options, const CancellationToken& token) const;

    // The configured folders that run() would search for these parameters.
    std::vector<std::shared_ptr<SearchableFolderIndex>> selectedFolders(const SearchParameters& parameters) const;

    const FolderListFunction& folders() const { return folders_; }

private:
    // preselect: a folder's rows beyond the first resultLimit of the order are left out before ranking
    // (run() ranks every row again when rows kept went away and left-out ones would have followed).
    SearchOutcome run(const SearchParameters& parameters, const SearchRunOptions& options,
                      const CancellationToken& token, bool preselect) const;

    FolderListFunction folders_;
    std::shared_ptr<MailSearchSource> mail_;
    ThreadPool* pool_;
};

}  // namespace lumidex::search
