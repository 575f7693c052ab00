#include "search/search_engine.h"

#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/app_log.h"
#include "core/concurrency/task_group.h"
#include "core/concurrency/thread_pool.h"
#include "core/hashing.h"
#include "platform/compression.h"
#include "platform/unicode.h"
#include "search/search_text.h"
#include "storage/fts_balancer.h"
#include "storage/fts_tools.h"

namespace lumidex::search {
namespace {

constexpr std::string_view kNoSubject = "(no subject)";

std::string normalizedRoot(std::string_view path) {
    std::string root = platform::toNfc(path);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

// A hit with what ranks it and the folder it came from (-1 for mail), so snippets can be fetched later.
// A common word brings hundreds of thousands of rows: those of folders read from disk hold only their
// sort keys until they survive the limit, and no item of their own.
struct Ranked {
    std::string_view name;  // views hit->item.fileName, or the source's sort keys while hit is null
    Date modified{};
    int64_t matchCount = 1;
    uint32_t combinedHash = 0;
    std::ptrdiff_t folder = -1;
    size_t arrival = 0;  // rows that rank equal keep their order of arrival (folders, then stores)
    std::unique_ptr<SearchHit> hit;

    static Ranked of(SearchHit hit, std::ptrdiff_t folder) {
        Ranked r;
        r.hit = std::make_unique<SearchHit>(std::move(hit));
        r.folder = folder;
        r.refreshKeys();
        return r;
    }
    void refreshKeys() {
        name = hit->item.fileName;
        modified = hit->item.fileModifiedDate;
        matchCount = hit->matchCount;
        combinedHash = hit->item.combinedHash;
    }
};

struct SourceRows {
    std::vector<Ranked> rows;
    size_t leftOut = 0;  // rows found but not made: beyond the first a limited search can show
    std::vector<std::shared_ptr<const std::string>> names;  // what keys-only rows' names view
    std::string root;
    bool indexing = false;
};

NanItem fileResultItem(NanItem known, const std::string& root) {
    NanItem item = std::move(known);
    item.type = NanItemTypes::file;
    item.searchResultType = SearchResultTypes::normal;
    item.rootFolderUrl = root;
    item.mailbox.reset();
    return item;
}

// The full-text row's path, name and dates take precedence over the item's.
NanItem fileResultItem(const FtsSearchResult& row, NanItem known, const std::string& root) {
    NanItem item = fileResultItem(std::move(known), root);
    item.urlString = row.urlPath;
    item.fileName = row.fileName;
    item.combinedHash = row.combinedHash;
    item.fileCreatedDate = row.creationDate;
    item.fileModifiedDate = row.modificationDate;
    item.fileContentCreatedDate = row.contentCreated;
    return item;
}

// The order one shard's SQL produces, applied to the rows of every folder and of mail.
bool sqlOrderLess(std::string_view aName, Date aModified, std::string_view bName, Date bModified, SortOrders order) {
    switch (order) {
        case SortOrders::a2z: return aName < bName;
        case SortOrders::z2a: return aName > bName;
        case SortOrders::old2New:
            if (aModified != bModified) return aModified < bModified;
            return aName < bName;
        case SortOrders::new2Old:
        case SortOrders::relevance: break;
    }
    if (aModified != bModified) return aModified > bModified;
    return aName < bName;
}

bool sqlOrderLess(const Ranked& a, const Ranked& b, SortOrders order) {
    return sqlOrderLess(a.name, a.modified, b.name, b.modified, order);
}

// The matches of a folder whose items are read from disk, with only what ranks them: the whole items
// of the few rows kept are read after the limit (readKeptItems). With `keep`, only the first `keep`
// rows of the order become rows (the others are counted in leftOut): no more can be shown, and a common
// word's hundreds of thousands of rows are not made to be ranked.
bool addKeyedMatches(SearchableFolderIndex& folder, std::ptrdiff_t index, const std::vector<FtsMatch>& matches,
                     const std::vector<uint32_t>& hashes, std::optional<size_t> keep, SortOrders order,
                     SourceRows& result) {
    auto keys = folder.sortKeysForCombinedHashes(hashes);
    if (!keys || keys->keys.size() != matches.size()) return false;
    std::vector<uint32_t> chosen;
    size_t leftOut = 0;
    chosen.reserve(matches.size());
    for (size_t i = 0; i < matches.size(); ++i) {
        if (keys->keys[i].found) chosen.push_back(static_cast<uint32_t>(i));
    }
    if (keep && chosen.size() > *keep) {
        // Ranking's order: match counts first for relevance, then the stores' order, then arrival.
        const auto precedes = [&](uint32_t a, uint32_t b) {
            if (order == SortOrders::relevance && matches[a].matchCount != matches[b].matchCount) {
                return matches[a].matchCount > matches[b].matchCount;
            }
            const ItemSortKeys::Key& x = keys->keys[a];
            const ItemSortKeys::Key& y = keys->keys[b];
            if (sqlOrderLess(x.fileName, x.fileModifiedDate, y.fileName, y.fileModifiedDate, order)) return true;
            if (sqlOrderLess(y.fileName, y.fileModifiedDate, x.fileName, x.fileModifiedDate, order)) return false;
            return a < b;
        };
        std::nth_element(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(*keep), chosen.end(), precedes);
        leftOut = chosen.size() - *keep;
        chosen.resize(*keep);
        std::sort(chosen.begin(), chosen.end());  // in arrival order, as if every row had been made
    }
    result.rows.reserve(chosen.size());
    for (const uint32_t i : chosen) {
        const ItemSortKeys::Key& key = keys->keys[i];
        Ranked ranked;
        ranked.name = key.fileName;
        ranked.modified = key.fileModifiedDate;
        ranked.matchCount = matches[i].matchCount;
        ranked.combinedHash = matches[i].combinedHash;
        ranked.folder = index;
        result.rows.push_back(std::move(ranked));
    }
    result.names = std::move(keys->nameBuffers);  // the keys themselves were copied into the rows
    result.leftOut = leftOut;  // only now: a folder that failed on the way contributes nothing
    return true;
}

SourceRows searchFolder(SearchableFolderIndex& folder, std::ptrdiff_t index, const SearchParameters& parameters,
                        std::optional<size_t> keep, const CancellationToken& token, ThreadPool& workers) {
    SourceRows result;
    std::string root;
    try {
        root = normalizedRoot(folder.rootPath());
        result.root = root;
        folder.waitForInitToComplete();
        result.indexing = folder.isIndexing();
        if (token.isCancelled()) return result;
        if (auto matches = folder.matchesWithoutRows(parameters, workers)) {
            std::vector<uint32_t> hashes;
            hashes.reserve(matches->size());
            for (const FtsMatch& match : *matches) hashes.push_back(match.combinedHash);
            if (addKeyedMatches(folder, index, *matches, hashes, keep, parameters.sortOrder, result)) return result;
            std::unordered_map<uint32_t, NanItem> known = folder.itemsForCombinedHashes(hashes);
            for (const FtsMatch& match : *matches) {
                auto item = known.find(match.combinedHash);
                if (item == known.end()) continue;
                SearchHit hit;
                hit.matchCount = match.matchCount;
                hit.item = fileResultItem(std::move(item->second), root);
                result.rows.push_back(Ranked::of(std::move(hit), index));
            }
            return result;
        }
        auto rows = folder.ftsBalancer().search(parameters, -1, false, true, &workers);
        std::vector<uint32_t> hashes;
        hashes.reserve(rows.size());
        for (const FtsSearchResult& row : rows) hashes.push_back(row.combinedHash);
        std::unordered_map<uint32_t, NanItem> known = folder.itemsForCombinedHashes(hashes);
        for (FtsSearchResult& row : rows) {
            auto item = known.find(row.combinedHash);
            if (item == known.end()) continue;
            SearchHit hit;
            hit.matchCount = row.matchCount;
            hit.item = fileResultItem(row, std::move(item->second), root);
            result.rows.push_back(Ranked::of(std::move(hit), index));
        }
    } catch (const std::exception& e) {
        appLog("search folder " + root + " failed: " + e.what());
        result.rows.clear();
    } catch (...) {
        appLog("search folder " + root + " failed");
        result.rows.clear();
    }
    return result;
}

SourceRows searchMail(MailSearchSource& mail, const SearchParameters& parameters, const CancellationToken& token) {
    SourceRows result;
    try {
        const std::string root = mail.rootFolderUrl();
        for (const MailSearchHit& hit : mail.search(parameters, -1, token)) {
            SearchHit found;
            found.item = mailResultItem(hit, root);
            found.snippet = hit.snippet;
            found.matchCount = std::max<int64_t>(hit.matchCount, 1);
            result.rows.push_back(Ranked::of(std::move(found), -1));
        }
    } catch (const std::exception& e) {
        appLog(std::string("search mail failed: ") + e.what());
        result.rows.clear();
    } catch (...) {
        appLog("search mail failed");
        result.rows.clear();
    }
    return result;
}

// Passages in the documents' own words, for the documents whose original text holds a search word.
std::vector<std::pair<uint32_t, DisplaySnippet>> displaySnippets(storage::FtsSqlite& store,
                                                                 const std::vector<uint32_t>& hashes,
                                                                 const std::vector<std::string>& queryWords) {
    std::vector<std::pair<uint32_t, DisplaySnippet>> out;
    // A few texts at a time: whole documents, of which only a passage is kept.
    constexpr size_t kTextsAtOnce = 16;
    for (size_t at = 0; at < hashes.size(); at += kTextsAtOnce) {
        const std::vector<uint32_t> some(
            hashes.begin() + static_cast<std::ptrdiff_t>(at),
            hashes.begin() + static_cast<std::ptrdiff_t>(std::min(hashes.size(), at + kTextsAtOnce)));
        for (auto& [hash, read] : store.originalTexts(some)) {
            // Freed as soon as its passage is taken: the next text inflates into the same memory.
            platform::LazyInflatedText text = std::move(read);
            auto display = buildDisplaySnippet([&text](size_t n) { return text.prefix(n); }, queryWords);
            if (text.damaged()) {
                // What was read of it may be garbage: the folded snippet is shown instead.
                appLog("search original text damaged: " + std::to_string(hash));
            } else if (display) {
                out.emplace_back(hash, std::move(*display));
            }
        }
    }
    return out;
}

// Snippets for the first `rows` rows (those that survived the limit and are wanted now), one store call
// per folder and shard.
void addSnippets(std::vector<Ranked>& ranked, size_t rows,
                 const std::vector<std::shared_ptr<SearchableFolderIndex>>& folders,
                 const SearchParameters& parameters, const SearchRunOptions& options, ThreadPool& workers) {
    struct Batch {
        std::ptrdiff_t folder;
        uint32_t shard;
        std::vector<uint32_t> hashes;
    };
    const auto key = [](std::ptrdiff_t folder, uint32_t hash) {
        return (static_cast<uint64_t>(folder) << 32) | hash;
    };
    std::vector<Batch> batches;
    std::unordered_map<uint64_t, size_t> batchOf;  // (folder, shard) -> index into batches
    std::unordered_map<uint64_t, size_t> rowOf;    // (folder, combinedHash) -> index into ranked
    for (size_t i = 0; i < std::min(rows, ranked.size()); ++i) {
        const Ranked& r = ranked[i];
        if (r.folder < 0 || !r.hit) continue;
        const uint32_t shard = storage::balancerId(r.combinedHash);
        auto [slot, inserted] = batchOf.try_emplace(key(r.folder, shard), batches.size());
        if (inserted) batches.push_back({r.folder, shard, {}});
        batches[slot->second].hashes.push_back(r.combinedHash);
        rowOf.emplace(key(r.folder, r.combinedHash), i);
    }
    // Bounded statements: a store binds one value per document.
    constexpr size_t kMaxHashesPerStatement = 500;
    for (size_t i = 0; i < batches.size(); ++i) {
        while (batches[i].hashes.size() > kMaxHashesPerStatement) {
            Batch rest{batches[i].folder, batches[i].shard, {}};
            rest.hashes.assign(batches[i].hashes.begin() + kMaxHashesPerStatement, batches[i].hashes.end());
            batches[i].hashes.resize(kMaxHashesPerStatement);
            batches.push_back(std::move(rest));
        }
    }
    struct BatchSnippets {
        std::vector<std::pair<uint32_t, std::string>> folded;
        std::vector<std::pair<uint32_t, DisplaySnippet>> display;
    };
    const std::vector<std::string> queryWords =
        options.withDisplaySnippets ? displayQueryWords(parameters) : std::vector<std::string>{};
    auto snippets = parallelMap(
        batches.size(),
        [&](size_t i) -> BatchSnippets {
            BatchSnippets out;
            try {
                const Batch& b = batches[i];
                const auto store = folders[static_cast<size_t>(b.folder)]->ftsBalancer().store(b.shard);
                std::vector<uint32_t> folded = b.hashes;
                if (!queryWords.empty()) {
                    out.display = displaySnippets(*store, b.hashes, queryWords);
                    if (options.displayReplacesFolded) {
                        std::unordered_set<uint32_t> shown;
                        for (const auto& entry : out.display) shown.insert(entry.first);
                        std::erase_if(folded, [&shown](uint32_t hash) { return shown.contains(hash); });
                    }
                }
                if (!folded.empty()) out.folded = store->snippets(parameters, folded);
            } catch (...) {
            }
            return out;
        },
        workers);
    for (size_t i = 0; i < batches.size(); ++i) {
        for (auto& [hash, snippet] : snippets[i].folded) {
            if (auto row = rowOf.find(key(batches[i].folder, hash)); row != rowOf.end()) {
                ranked[row->second].hit->snippet = std::move(snippet);
            }
        }
        for (auto& [hash, display] : snippets[i].display) {
            if (auto row = rowOf.find(key(batches[i].folder, hash)); row != rowOf.end()) {
                ranked[row->second].hit->displaySnippet = std::move(display);
            }
        }
    }
}

// The whole items of the kept rows that have only their sort keys, one look-up per folder. A row whose
// item went away since its keys were read is dropped; returns how many were.
size_t readKeptItems(std::vector<Ranked>& kept, const std::vector<std::shared_ptr<SearchableFolderIndex>>& folders,
                     const std::vector<SourceRows>& sources) {
    std::unordered_map<std::ptrdiff_t, std::vector<uint32_t>> wanted;
    for (const Ranked& r : kept) {
        if (!r.hit) wanted[r.folder].push_back(r.combinedHash);
    }
    if (wanted.empty()) return 0;
    std::unordered_map<std::ptrdiff_t, std::unordered_map<uint32_t, NanItem>> items;
    for (auto& [folder, hashes] : wanted) {
        try {
            items[folder] = folders[static_cast<size_t>(folder)]->itemsForCombinedHashes(hashes);
        } catch (...) {
            items[folder].clear();
        }
    }
    const size_t before = kept.size();
    std::erase_if(kept, [&](Ranked& r) {
        if (r.hit) return false;
        auto& known = items[r.folder];
        auto item = known.find(r.combinedHash);
        if (item == known.end()) return true;
        SearchHit hit;
        hit.item = fileResultItem(std::move(item->second), sources[static_cast<size_t>(r.folder)].root);
        hit.matchCount = r.matchCount;
        r.hit = std::make_unique<SearchHit>(std::move(hit));
        return false;
    });
    return before - kept.size();
}

// Hands out the rows of a search in their order, a few at a time: a heap of the rows wanted next instead of
// sorting every hit. Equal rows keep their arrival order, so the rows and their order are those of a
// stable sort of every hit.
class Ranking {
public:
    Ranking(std::vector<Ranked>& rows, SortOrders order, bool namesIgnoreCase)
        : rows_(rows),
          order_(order),
          lowerCased_(namesIgnoreCase && (order == SortOrders::a2z || order == SortOrders::z2a)) {
        if (lowerCased_) {
            // Lower-cased once per row, not per comparison.
            lowerNames_.reserve(rows.size());
            for (const Ranked& r : rows) lowerNames_.push_back(platform::toLowerCase(r.name));
        }
        // Pointers, not rows, are moved while ranking.
        byRank_.reserve(rows.size());
        for (Ranked& r : rows) byRank_.push_back(&r);
    }

    bool exhausted() const { return next_ >= byRank_.size(); }

    // The next `count` rows of the order (fewer at its end), moved out of the rows.
    std::vector<Ranked> next(size_t count) {
        const auto from = byRank_.begin() + static_cast<std::ptrdiff_t>(next_);
        const size_t take = std::min(count, byRank_.size() - next_);
        const auto before = [this](const Ranked* a, const Ranked* b) { return precedes(a, b); };
        if (next_ + take < byRank_.size()) {
            // The order is total (arrival breaks ties), so selecting the first rows and sorting only
            // them gives what a partial sort does, in linear time over a common word's many rows.
            const auto end = from + static_cast<std::ptrdiff_t>(take);
            std::nth_element(from, end, byRank_.end(), before);
            std::sort(from, end, before);
        } else {
            std::sort(from, byRank_.end(), before);
        }
        std::vector<Ranked> out;
        out.reserve(take);
        for (size_t i = 0; i < take; ++i) out.push_back(std::move(*byRank_[next_ + i]));
        next_ += take;
        return out;
    }

private:
    bool precedes(const Ranked* a, const Ranked* b) const {
        if (order_ == SortOrders::relevance && a->matchCount != b->matchCount) return a->matchCount > b->matchCount;
        if (lowerCased_) {
            const std::string& x = lowerNames_[static_cast<size_t>(a - rows_.data())];
            const std::string& y = lowerNames_[static_cast<size_t>(b - rows_.data())];
            if (x != y) return order_ == SortOrders::a2z ? x < y : x > y;
        } else if (sqlOrderLess(*a, *b, order_)) {
            return true;
        } else if (sqlOrderLess(*b, *a, order_)) {
            return false;
        }
        return a->arrival < b->arrival;
    }

    std::vector<Ranked>& rows_;
    const SortOrders order_;
    const bool lowerCased_;
    std::vector<std::string> lowerNames_;
    std::vector<Ranked*> byRank_;
    size_t next_ = 0;
};

SearchOutcome cancelledOutcome() {
    SearchOutcome outcome;
    outcome.cancelled = true;
    return outcome;
}

}  // namespace

std::vector<NanItem> SearchOutcome::items() const {
    std::vector<NanItem> out;
    out.reserve(hits.size());
    for (const SearchHit& hit : hits) out.push_back(hit.item);
    return out;
}

MatchCounts SearchOutcome::matchCounts() const {
    MatchCounts counts;
    for (const SearchHit& hit : hits) counts[hit.item.combinedHash] = hit.matchCount;
    return counts;
}

std::string resultLimitLogLine(size_t count, int64_t limit) {
    return "Info performance loss search items " + std::to_string(count) + " / " + std::to_string(limit) + " e28hhzt";
}

NanItem mailResultItem(const MailSearchHit& hit, const std::string& mailRootFolderUrl) {
    NanItem item;
    item.urlString = "mail:" + hit.indexId;
    item.id = Uuid::nameBased(item.urlString);
    item.fileName = hit.subject.empty() ? std::string(kNoSubject) : hit.subject;
    item.combinedHash = fnv1a32(item.urlString);
    item.totalPageCount = 1;
    item.fileModifiedDate = hit.receivedDate;
    item.fileCreatedDate = hit.receivedDate;
    item.fileContentCreatedDate = hit.receivedDate;
    item.type = NanItemTypes::emailMessage;
    item.searchResultType = SearchResultTypes::normal;
    item.processingState = NanItemProcessingStates::complete;
    item.rootFolderUrl = mailRootFolderUrl;
    item.mailbox = hit.mailbox;
    return item;
}

SearchEngine::SearchEngine(FolderListFunction folders, std::shared_ptr<MailSearchSource> mail, ThreadPool* pool)
    : folders_(std::move(folders)), mail_(std::move(mail)), pool_(pool) {}

std::vector<SearchHit> SearchEngine::snippets(const SearchParameters& parameters, const std::vector<NanItem>& items,
                                             const SearchRunOptions& options, const CancellationToken& token) const {
    if (token.isCancelled()) return {};
    ThreadPool& workers = pool_ != nullptr ? *pool_ : ThreadPool::shared();
    SearchParameters effective = parameters;
    effective.searchText = withoutIgnoredCharacters(parameters.searchText, parameters.searchWithQuotes).searchText;
    const auto folders = selectedFolders(parameters);
    std::unordered_map<std::string, std::ptrdiff_t> folderOf;
    for (size_t i = 0; i < folders.size(); ++i) {
        try {
            folderOf.emplace(normalizedRoot(folders[i]->rootPath()), static_cast<std::ptrdiff_t>(i));
        } catch (...) {
        }
    }
    std::vector<Ranked> ranked;
    ranked.reserve(items.size());
    for (const NanItem& item : items) {
        std::ptrdiff_t index = -1;
        const bool file = item.type != NanItemTypes::emailMessage;
        if (auto folder = folderOf.find(item.rootFolderUrl); file && folder != folderOf.end()) index = folder->second;
        SearchHit hit;
        hit.item = item;
        ranked.push_back(Ranked::of(std::move(hit), index));
    }
    try {
        addSnippets(ranked, ranked.size(), folders, effective, options, workers);
    } catch (const std::exception& e) {
        appLog(std::string("search snippets failed: ") + e.what());
    }
    if (token.isCancelled()) return {};
    std::vector<SearchHit> hits;
    hits.reserve(ranked.size());
    for (Ranked& r : ranked) hits.push_back(std::move(*r.hit));
    return hits;
}

std::vector<std::shared_ptr<SearchableFolderIndex>> SearchEngine::selectedFolders(
    const SearchParameters& parameters) const {
    std::vector<std::shared_ptr<SearchableFolderIndex>> all;
    try {
        if (folders_) all = folders_();
    } catch (...) {
        return {};
    }
    std::set<std::string> wanted;
    for (const std::string& root : parameters.rootFolderUrlStrings) wanted.insert(normalizedRoot(root));
    std::vector<std::shared_ptr<SearchableFolderIndex>> selected;
    for (auto& folder : all) {
        if (!folder) continue;
        const std::string root = normalizedRoot(folder->rootPath());
        const bool take = parameters.searchInsideUrl
                              ? storage::FtsTools::isInsideFolder(*parameters.searchInsideUrl, root)
                              : wanted.empty() || wanted.contains(root);
        if (take) selected.push_back(std::move(folder));
    }
    return selected;
}

SearchOutcome SearchEngine::run(const SearchParameters& parameters, const SearchRunOptions& options,
                                const CancellationToken& token) const {
    return run(parameters, options, token, true);
}

SearchOutcome SearchEngine::run(const SearchParameters& parameters, const SearchRunOptions& options,
                                const CancellationToken& token, bool preselect) const {
    // A search overtaken while still queued touches no folder.
    if (token.isCancelled()) return cancelledOutcome();
    SearchOutcome outcome;
    ThreadPool& workers = pool_ != nullptr ? *pool_ : ThreadPool::shared();
    const CleanedSearchText cleaned = withoutIgnoredCharacters(parameters.searchText, parameters.searchWithQuotes);
    outcome.ignoredCharacters = cleaned.ignoredSomething;
    SearchParameters effective = parameters;
    effective.searchText = cleaned.searchText;

    const auto folders = selectedFolders(parameters);
    const bool withMail = options.includeMail && mail_ != nullptr;
    // Names lower-cased for the order are not among a folder's keys: such a search ranks every row.
    const bool lowerCasedNames =
        options.namesIgnoreCase && (parameters.sortOrder == SortOrders::a2z || parameters.sortOrder == SortOrders::z2a);
    std::optional<size_t> keep;
    if (preselect && !lowerCasedNames && options.resultLimit && *options.resultLimit >= 0) {
        keep = static_cast<size_t>(*options.resultLimit);
    }
    std::vector<SourceRows> sources;
    try {
        sources = parallelMap(
            folders.size() + (withMail ? 1 : 0),
            [&](size_t i) {
                if (token.isCancelled()) return SourceRows{};
                if (i == folders.size()) return searchMail(*mail_, effective, token);
                return searchFolder(*folders[i], static_cast<std::ptrdiff_t>(i), effective, keep, token, workers);
            },
            workers);
    } catch (const std::exception& e) {
        appLog(std::string("search failed: ") + e.what());
        sources.clear();
    }
    if (token.isCancelled()) return cancelledOutcome();

    // A folder removed while its query ran contributes nothing.
    std::vector<std::shared_ptr<SearchableFolderIndex>> current;
    try {
        if (folders_) current = folders_();
    } catch (...) {
    }
    std::vector<Ranked> ranked;
    size_t leftOut = 0;
    size_t rows = 0;
    for (const SourceRows& source : sources) rows += source.rows.size();
    for (size_t i = 0; i < sources.size(); ++i) {
        if (i < folders.size()) {
            const bool stillConfigured = std::find(current.begin(), current.end(), folders[i]) != current.end();
            if (!stillConfigured || folders[i]->isRemoved()) continue;
            outcome.indexBeingBuilt = outcome.indexBeingBuilt || sources[i].indexing;
        }
        leftOut += sources[i].leftOut;
        if (ranked.empty()) {
            // The first source's rows are taken as they are: a common word's hundreds of thousands of rows
            // are not copied once more.
            ranked = std::move(sources[i].rows);
            ranked.reserve(rows);  // grown once, not doubled
            for (size_t k = 0; k < ranked.size(); ++k) ranked[k].arrival = k;
            continue;
        }
        for (Ranked& r : sources[i].rows) {
            r.arrival = ranked.size();
            ranked.push_back(std::move(r));
        }
    }

    const size_t found = ranked.size() + leftOut;
    size_t limit = found;
    if (options.resultLimit && *options.resultLimit >= 0 && found > static_cast<size_t>(*options.resultLimit)) {
        appLog(resultLimitLogLine(found, *options.resultLimit));
        limit = static_cast<size_t>(*options.resultLimit);
    }
    outcome.countBeforeLimit = found;
    // A row whose item went away since its keys were read (a folder being indexed) is dropped, and the
    // next rows of the order take its place, so a limited search still fills its limit when it can.
    std::vector<Ranked> kept;
    size_t wentAway = 0;
    {
        Ranking ranking(ranked, parameters.sortOrder, options.namesIgnoreCase);
        while (kept.size() < limit && !ranking.exhausted()) {
            std::vector<Ranked> more = ranking.next(limit - kept.size());
            wentAway += readKeptItems(more, folders, sources);
            for (Ranked& r : more) kept.push_back(std::move(r));
        }
    }
    if (wentAway > 0 && leftOut > 0) {
        // Rows left out before ranking may be among those that take the places of the rows gone, even
        // when another folder's rows filled the limit meanwhile.
        return run(parameters, options, token, false);
    }
    outcome.countBeforeLimit -= wentAway;
    ranked = std::move(kept);
    if (options.withSnippets && !ranked.empty()) {
        try {
            addSnippets(ranked, options.snippetRows.value_or(ranked.size()), folders, effective, options, workers);
        } catch (const std::exception& e) {
            appLog(std::string("search snippets failed: ") + e.what());
        }
    }
    if (token.isCancelled()) return cancelledOutcome();

    outcome.hits.reserve(ranked.size());
    for (Ranked& r : ranked) outcome.hits.push_back(std::move(*r.hit));
    return outcome;
}

}  // namespace lumidex::search
